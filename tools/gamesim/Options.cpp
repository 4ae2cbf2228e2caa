#include "Options.h"

#include <charconv>
#include <cmath>

namespace tovi::gamesim {

namespace {

constexpr std::string_view kUsage = R"(Usage: gamesim [OPTIONS]
A stand-in for a Joint Operations: Typhoon Rising 1.5.1.5 game server: it keeps the game's
values at the game's own addresses, changes them as a server would, and answers the game's
console keys in its window.

  --scenario FILE     play the scenario in FILE (default: the built-in scenario)
  --state N           a server holding match state N for ever (0 to 255)
  --players N         N players, in slots 1 to N (0 to 64)
  --version TEXT      the server's version text (at most 8 characters; the caption follows it)
  --dedicated 0|1     a dedicated server or not
  --maxplayers N      maximum number of players (1 to 255)
  --time-scale X      simulated time runs X times as fast as real time (default 1)
  --transcript FILE   write the transcript to FILE (default: standard output)
  --no-window         open no window, even when DISPLAY is set
  --help              show this text

--state and --players build a one-round server on their own; they can't go with --scenario.
Exit status: 0 when stopped or when the scenario exits, 1 on a failure, 2 on a bad command
line or scenario.
)";

int ParseInt(const std::string& flag, const std::string& text, int low, int high) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        throw UsageError(flag + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not '" + text + "'");
    }
    return value;
}

double ParseScale(const std::string& text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value <= 0 || value > 1e6) {
        throw UsageError("--time-scale needs a number above 0 and at most 1000000, not '" + text + "'");
    }
    return value;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> attached;  // --flag=value
        if (const size_t eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
            attached = flag.substr(eq + 1);
            flag.resize(eq);
        }
        const auto value = [&]() -> std::string {
            if (attached) return *attached;
            if (i + 1 >= args.size()) throw UsageError(flag + " needs a value");
            return args[++i];
        };
        const auto noValue = [&] {
            if (attached) throw UsageError(flag + " takes no value");
        };
        if (flag == "--help" || flag == "-h") {
            noValue();
            options.help = true;
        } else if (flag == "--no-window") {
            noValue();
            options.noWindow = true;
        } else if (flag == "--scenario") {
            options.scenarioFile = value();
        } else if (flag == "--state") {
            options.state = ParseInt(flag, value(), 0, 255);
        } else if (flag == "--players") {
            options.players = ParseInt(flag, value(), 0, 64);
        } else if (flag == "--version") {
            std::string text = value();
            if (text.size() > kMaxVersionLength) {
                throw UsageError("--version takes at most " + std::to_string(kMaxVersionLength) + " characters");
            }
            options.version = std::move(text);
        } else if (flag == "--dedicated") {
            options.dedicated = ParseInt(flag, value(), 0, 1) == 1;
        } else if (flag == "--maxplayers") {
            options.maxPlayers = ParseInt(flag, value(), 1, 255);
        } else if (flag == "--time-scale") {
            options.timeScale = ParseScale(value());
        } else if (flag == "--transcript") {
            options.transcriptFile = value();
        } else {
            throw UsageError("unknown option '" + args[i] + "' (see --help)");
        }
    }
    if (options.scenarioFile && (options.state || options.players)) {
        throw UsageError("--scenario can't go with --state or --players");
    }
    return options;
}

std::string_view UsageText() { return kUsage; }

Scenario FlagScenario(std::optional<int> state, int players) {
    Scenario scenario;
    Round round;
    round.mapName = "Tidal Wave";
    round.mapFile = "JOTR_TIDALWAVE.BMS";
    round.loadingMs = 0;
    round.waitingMs = 0;
    round.matchTicks.reset();
    for (int i = 1; i <= players; ++i) {
        Event join;
        join.kind = EventKind::Join;
        join.slot = i;
        join.text = "Player" + std::to_string(i);
        // Counters that differ from player to player, so that a mix-up between slots shows.
        join.values = {{PlayerField::Team, 1 + (i + 1) % 2},  {PlayerField::Ping, 30 + 7 * i},
                       {PlayerField::Kills, i},               {PlayerField::Deaths, i / 2},
                       {PlayerField::Shots, 25 * i},          {PlayerField::HeadShots, i / 3},
                       {PlayerField::Exp, 10 * i + 5},        {PlayerField::ZoneSecs, 3 * i}};
        round.events.push_back(std::move(join));
    }
    if (state) {
        Event hold;
        hold.kind = EventKind::State;
        hold.state = *state;
        hold.hold = true;
        round.events.push_back(hold);
    }
    scenario.rounds.push_back(std::move(round));
    return scenario;
}

Scenario BuildScenario(const Options& options) {
    Scenario scenario;
    if (options.scenarioFile) {
        scenario = LoadScenarioFile(*options.scenarioFile);
    } else if (options.state || options.players) {
        scenario = FlagScenario(options.state, options.players.value_or(0));
    } else {
        scenario = ParseScenario(DefaultScenarioText());
    }
    ServerSettings& server = scenario.server;
    if (options.version) server.version = *options.version;
    if (options.dedicated) server.dedicated = *options.dedicated;
    if (options.maxPlayers) server.maxPlayers = *options.maxPlayers;
    return scenario;
}

}  // namespace tovi::gamesim
