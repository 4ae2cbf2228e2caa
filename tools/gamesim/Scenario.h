#pragma once
// What gamesim plays: the server's settings and its rounds, each round with its phase lengths and
// its timed events. Read from a small line-based text; README.md describes the format.
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tovi::gamesim {

// A player's counters, then the two values a player has that are not counters.
enum class PlayerField {
    Shots,
    Murders,
    Kills,
    Suicides,
    Deaths,
    Targets,
    PspTakes,
    HeadShots,
    Knifes,
    ZoneAttack,
    ZoneDefend,
    Exp,
    ZoneSecs,
    Team,
    Ping,
};

struct FieldInfo {
    PlayerField field;
    std::string_view key;  // as written in a scenario: "kills", "psptakes", ...
    uint32_t offset;       // in a player slot
    bool isByte;           // one byte; otherwise a signed 32-bit word
    bool isCounter;        // zeroed when a round starts
};

std::span<const FieldInfo> PlayerFields();
const FieldInfo& Field(PlayerField field);

struct FieldValue {
    PlayerField field = PlayerField::Kills;
    int32_t value = 0;
    bool operator==(const FieldValue&) const = default;
};

enum class EventKind { Join, Leave, Set, Add, Chat, State, Console, Exit };

struct Event {
    int64_t atMs = 0;  // from the start of the round (its loading phase)
    EventKind kind = EventKind::Exit;
    int slot = 0;                    // join, leave, set, add
    std::string text;                // join: the player's name; chat: the whole line
    std::vector<FieldValue> values;  // join, set, add
    int state = 0;                   // state
    bool hold = false;               // state: stop the phases there
    bool on = true;                  // console
    int line = 0;                    // where it was written
    bool operator==(const Event&) const = default;
};

struct Round {
    std::string mapName;
    std::string mapFile;
    int64_t loadingMs = 3000;
    int64_t waitingMs = 3000;
    std::optional<int32_t> matchTicks = 120 * 62;  // none: hosting never ends by itself
    std::optional<uint8_t> result;                 // written when the match ends
    std::vector<Event> events;                     // by time, then in the order written
    bool operator==(const Round&) const = default;
};

struct ServerSettings {
    std::string name = "Tovi test server";
    int maxPlayers = 32;
    bool dedicated = true;
    int gameType = 0;
    std::string message;
    std::string host;  // written only when the server is not dedicated; "Host" when empty
    std::string country = "US";
    std::string expansion = "TR";
    std::string version = "V1.5.1.5";
    std::optional<uint8_t> result;         // for rounds that set none
    std::optional<int32_t> scoringTicks;  // none: the game's own default
    bool operator==(const ServerSettings&) const = default;
};

struct Scenario {
    ServerSettings server;
    std::vector<Round> rounds;
    bool repeat = false;  // after the last round, play the first again
    bool operator==(const Scenario&) const = default;
};

// The longest text each field takes, its zero byte left out.
inline constexpr size_t kMaxVersionLength = 8;
inline constexpr size_t kMaxExpansionLength = 9;

class ScenarioError : public std::runtime_error {
public:
    // `line` 0: the error concerns the whole text (or the file could not be read). what() is
    // "SOURCE: line N: MESSAGE", the parts that are missing left out.
    ScenarioError(int line, const std::string& message, const std::string& source = {});
    int Line() const { return m_line; }
    const std::string& Message() const { return m_message; }

private:
    int m_line;
    std::string m_message;
};

// Throws ScenarioError, its message starting with "line N: ".
Scenario ParseScenario(std::string_view text);
// Throws ScenarioError, its message starting with the file's path.
Scenario LoadScenarioFile(const std::string& path);
// What gamesim plays when given no scenario (scenarios/default.scn, built in).
std::string_view DefaultScenarioText();

// Seconds, in milliseconds, as 1/62 s ticks, rounded to the nearest.
int32_t MsToTicks(int64_t ms);

}  // namespace tovi::gamesim
