#pragma once
// gamesim's command line, and the scenario it asks for: a file, one built from flags, or the
// built-in default.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Scenario.h"

namespace tovi::gamesim {

struct Options {
    std::optional<std::string> scenarioFile;
    std::optional<int> state;    // a server holding this state for ever
    std::optional<int> players;  // players in slots 1..N
    std::optional<std::string> version;
    std::optional<bool> dedicated;
    std::optional<int> maxPlayers;
    double timeScale = 1.0;
    std::optional<std::string> transcriptFile;  // none: the transcript goes to standard output
    bool noWindow = false;
    bool help = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `args` leaves the program's name out. Throws UsageError.
Options ParseOptions(const std::vector<std::string>& args);
std::string_view UsageText();

// Throws ScenarioError when the scenario file can't be read or parsed.
Scenario BuildScenario(const Options& options);
// A server in one round that never ends, holding `state` (when given) from time 0, with
// `players` players in slots 1..N.
Scenario FlagScenario(std::optional<int> state, int players);

}  // namespace tovi::gamesim
