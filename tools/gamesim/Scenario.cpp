#include "Scenario.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "GameAddresses.h"

namespace tovi::gamesim {

namespace {

constexpr FieldInfo kFields[] = {
    {PlayerField::Shots, "shots", game::slot::kShotsFired, false, true},
    {PlayerField::Murders, "murders", game::slot::kMurders, false, true},
    {PlayerField::Kills, "kills", game::slot::kKills, false, true},
    {PlayerField::Suicides, "suicides", game::slot::kSuicides, false, true},
    {PlayerField::Deaths, "deaths", game::slot::kDeaths, false, true},
    {PlayerField::Targets, "targets", game::slot::kTargets, false, true},
    {PlayerField::PspTakes, "psptakes", game::slot::kPspTakes, false, true},
    {PlayerField::HeadShots, "headshots", game::slot::kHeadShots, false, true},
    {PlayerField::Knifes, "knifes", game::slot::kKnifes, false, true},
    {PlayerField::ZoneAttack, "zoneattack", game::slot::kZoneAttackKills, false, true},
    {PlayerField::ZoneDefend, "zonedefend", game::slot::kZoneDefendKills, false, true},
    {PlayerField::Exp, "exp", game::slot::kExpPoints, false, true},
    {PlayerField::ZoneSecs, "zonesecs", game::slot::kSecondsInZone, false, true},
    {PlayerField::Team, "team", game::slot::kTeam, true, false},
    {PlayerField::Ping, "ping", game::slot::kPing, false, false},
};

// Durations beyond this are surely a slip of the keyboard; it also keeps ticks within 32 bits.
constexpr int64_t kMaxSeconds = 10'000'000;
constexpr int kLastSlot = 64;

struct Token {
    std::string text;
    bool quoted = false;
};

class Parser {
public:
    Scenario Parse(std::string_view text) {
        size_t pos = 0;
        while (pos <= text.size()) {
            const size_t end = std::min(text.find('\n', pos), text.size());
            std::string_view line = text.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            ++m_line;
            ParseLine(line);
            if (end == text.size()) break;
            pos = end + 1;
        }
        for (Round& round : m_scenario.rounds) {
            std::stable_sort(round.events.begin(), round.events.end(),
                             [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
        }
        return std::move(m_scenario);
    }

private:
    [[noreturn]] void Fail(const std::string& message) const { throw ScenarioError(m_line, message); }

    void ParseLine(std::string_view line) {
        std::vector<Token> tokens = Tokenize(line);
        if (tokens.empty()) return;
        if (m_repeatLine != 0) Fail("nothing may follow 'repeat' (line " + std::to_string(m_repeatLine) + ")");
        if (tokens[0].quoted) Fail("a line starts with a keyword, not a quoted text");
        const std::string& word = tokens[0].text;
        if (word == "round") return ParseRound(tokens);
        if (word == "repeat") {
            Count(tokens, 1, "repeat");
            if (m_scenario.rounds.empty()) Fail("'repeat' needs a round before it");
            m_scenario.repeat = true;
            m_repeatLine = m_line;
            return;
        }
        if (word == "result") {
            Count(tokens, 2, "result N");
            const auto value = static_cast<uint8_t>(Integer(tokens[1], 0, 255, "result"));
            if (m_round) {
                m_round->result = value;
            } else {
                m_scenario.server.result = value;
            }
            return;
        }
        if (word == "loading" || word == "waiting" || word == "matchtime" || word == "at") {
            if (!m_round) Fail("'" + word + "' belongs to a round: write a 'round' line before it");
            return ParseRoundLine(tokens);
        }
        if (m_round) Fail(IsServerSetting(word) ? "server setting '" + word + "' must come before the first round"
                                                : "unknown keyword '" + word + "'");
        ParseServerLine(tokens);
    }

    static bool IsServerSetting(const std::string& word) {
        static constexpr std::string_view kWords[] = {"name",    "maxplayers", "dedicated", "gametype",
                                                      "message", "host",       "country",   "expansion",
                                                      "version", "scoringtime"};
        return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
    }

    void ParseServerLine(const std::vector<Token>& tokens) {
        const std::string& word = tokens[0].text;
        ServerSettings& server = m_scenario.server;
        if (word == "name") {
            Count(tokens, 2, "name \"Server name\"");
            server.name = Text(tokens[1], game::kServerNameLength - 1, "server name");
        } else if (word == "maxplayers") {
            Count(tokens, 2, "maxplayers N");
            server.maxPlayers = static_cast<int>(Integer(tokens[1], 1, 255, "maxplayers"));
        } else if (word == "dedicated") {
            Count(tokens, 2, "dedicated 0|1");
            server.dedicated = Integer(tokens[1], 0, 1, "dedicated") == 1;
        } else if (word == "gametype") {
            Count(tokens, 2, "gametype N");
            server.gameType = static_cast<int>(Integer(tokens[1], 0, 9, "gametype"));
        } else if (word == "message") {
            Count(tokens, 2, "message \"text\"");
            server.message = Text(tokens[1], game::kServerMessageLength - 1, "server message");
        } else if (word == "host") {
            Count(tokens, 2, "host \"Name\"");
            server.host = Text(tokens[1], game::kHostPlayerLength - 1, "host name");
        } else if (word == "country") {
            Count(tokens, 2, "country XX");
            server.country = Text(tokens[1], game::kCountryCodeLength, "country code");
        } else if (word == "expansion") {
            Count(tokens, 2, "expansion \"text\"");
            server.expansion = Text(tokens[1], kMaxExpansionLength, "expansion text");
        } else if (word == "version") {
            Count(tokens, 2, "version \"V1.5.1.5\"");
            server.version = Text(tokens[1], kMaxVersionLength, "version text");
        } else if (word == "scoringtime") {
            Count(tokens, 2, "scoringtime SECONDS");
            server.scoringTicks = MsToTicks(Seconds(tokens[1]));
        } else {
            Fail("unknown keyword '" + word + "'");
        }
    }

    void ParseRound(const std::vector<Token>& tokens) {
        Count(tokens, 3, "round \"Map name\" \"MAPFILE.BMS\"");
        Round round;
        round.mapName = Text(tokens[1], game::kMapNameLength - 1, "map name");
        round.mapFile = Text(tokens[2], game::kMapFileLength - 1, "map file name");
        m_scenario.rounds.push_back(std::move(round));
        m_round = &m_scenario.rounds.back();
    }

    void ParseRoundLine(const std::vector<Token>& tokens) {
        const std::string& word = tokens[0].text;
        if (word == "loading") {
            Count(tokens, 2, "loading SECONDS");
            m_round->loadingMs = Seconds(tokens[1]);
        } else if (word == "waiting") {
            Count(tokens, 2, "waiting SECONDS");
            m_round->waitingMs = Seconds(tokens[1]);
        } else if (word == "matchtime") {
            Count(tokens, 2, "matchtime SECONDS|forever");
            if (!tokens[1].quoted && tokens[1].text == "forever") {
                m_round->matchTicks.reset();
                return;
            }
            const int32_t ticks = MsToTicks(Seconds(tokens[1]));
            // A match of no time at all would end the moment it starts.
            if (ticks < 1) Fail("matchtime must be at least 1/62 s, or 'forever'");
            m_round->matchTicks = ticks;
        } else {
            ParseEvent(tokens);
        }
    }

    void ParseEvent(const std::vector<Token>& tokens) {
        if (tokens.size() < 3) Fail("expected: at SECONDS EVENT ...");
        Event event;
        event.line = m_line;
        event.atMs = Seconds(tokens[1]);
        const std::string& verb = tokens[2].text;
        const std::vector<Token> args(tokens.begin() + 3, tokens.end());
        if (tokens[2].quoted) Fail("expected an event after the time, not a quoted text");
        if (verb == "join") {
            if (args.size() < 2) Fail("expected: join SLOT \"Name\" [key=value ...]");
            event.kind = EventKind::Join;
            event.slot = Slot(args[0]);
            event.text = Text(args[1], game::slot::kNameLength - 1, "player name");
            if (event.text.empty()) Fail("a joining player needs a name");
            event.values = Values(args, 2, false);
        } else if (verb == "leave") {
            if (args.size() != 1) Fail("expected: leave SLOT");
            event.kind = EventKind::Leave;
            event.slot = Slot(args[0]);
        } else if (verb == "set" || verb == "add") {
            if (args.size() < 2) Fail("expected: " + verb + " SLOT key=value ...");
            event.kind = verb == "set" ? EventKind::Set : EventKind::Add;
            event.slot = Slot(args[0]);
            event.values = Values(args, 1, verb == "add");
        } else if (verb == "chat") {
            if (args.size() != 1) Fail("expected: chat \"Name: text\"");
            event.kind = EventKind::Chat;
            event.text = Text(args[0], game::kChatLineLength - 1, "chat line");
        } else if (verb == "state") {
            if (args.empty() || args.size() > 2 || (args.size() == 2 && args[1].text != "hold")) {
                Fail("expected: state N [hold]");
            }
            event.kind = EventKind::State;
            event.state = static_cast<int>(Integer(args[0], 0, 255, "state"));
            event.hold = args.size() == 2;
        } else if (verb == "console") {
            if (args.size() != 1 || (args[0].text != "on" && args[0].text != "off")) Fail("expected: console on|off");
            event.kind = EventKind::Console;
            event.on = args[0].text == "on";
        } else if (verb == "exit") {
            if (!args.empty()) Fail("expected: exit");
            event.kind = EventKind::Exit;
        } else {
            Fail("unknown event '" + verb + "'");
        }
        m_round->events.push_back(std::move(event));
    }

    std::vector<FieldValue> Values(const std::vector<Token>& args, size_t from, bool adding) const {
        std::vector<FieldValue> values;
        for (size_t i = from; i < args.size(); ++i) {
            const std::string& arg = args[i].text;
            const size_t eq = arg.find('=');
            if (args[i].quoted || eq == std::string::npos) Fail("expected key=value, found '" + arg + "'");
            const std::string key = arg.substr(0, eq);
            const auto info = std::find_if(std::begin(kFields), std::end(kFields),
                                           [&](const FieldInfo& f) { return f.key == key; });
            if (info == std::end(kFields)) Fail("unknown player field '" + key + "'");
            const Token value{arg.substr(eq + 1), false};
            // A team is one byte; adding to it may go either way, setting it must fit.
            const bool byteRange = info->isByte && !adding;
            values.push_back({info->field, static_cast<int32_t>(Integer(value, byteRange ? 0 : INT32_MIN,
                                                                        byteRange ? 255 : INT32_MAX, key))});
        }
        return values;
    }

    void Count(const std::vector<Token>& tokens, size_t count, const std::string& usage) const {
        if (tokens.size() != count) Fail("expected: " + usage);
    }

    int64_t Integer(const Token& token, int64_t low, int64_t high, const std::string& what) const {
        const std::string& text = token.text;
        int64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
            Fail(what + " must be a whole number, found '" + text + "'");
        }
        if (value < low || value > high) {
            Fail(what + " must be from " + std::to_string(low) + " to " + std::to_string(high) + ", found " + text);
        }
        return value;
    }

    int Slot(const Token& token) const { return static_cast<int>(Integer(token, 0, kLastSlot, "slot")); }

    // SECONDS: a whole number with up to three decimals, in milliseconds.
    int64_t Seconds(const Token& token) const {
        const std::string& text = token.text;
        const size_t dot = text.find('.');
        const std::string whole = text.substr(0, dot);
        const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
        const auto digits = [](const std::string& s) {
            return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        if (whole.empty() || !digits(whole) || !digits(fraction) || fraction.size() > 3 ||
            (dot != std::string::npos && fraction.empty())) {
            Fail("expected seconds (like 12 or 2.5), found '" + text + "'");
        }
        if (whole.size() > 8 || std::stoll(whole) > kMaxSeconds) {
            Fail("seconds must be at most " + std::to_string(kMaxSeconds) + ", found " + text);
        }
        int64_t ms = std::stoll(whole) * 1000;
        int64_t scale = 100;
        for (char c : fraction) {
            ms += (c - '0') * scale;
            scale /= 10;
        }
        return ms;
    }

    std::string Text(const Token& token, size_t maxLength, const std::string& what) const {
        if (token.text.size() > maxLength) {
            Fail(what + " is longer than " + std::to_string(maxLength) + " characters");
        }
        return token.text;
    }

    std::vector<Token> Tokenize(std::string_view line) const {
        std::vector<Token> tokens;
        size_t i = 0;
        while (i < line.size()) {
            const char c = line[i];
            if (c == ' ' || c == '\t') {
                ++i;
            } else if (c == '#') {
                break;
            } else if (c == '"') {
                Token token{"", true};
                ++i;
                bool closed = false;
                while (i < line.size()) {
                    const char d = line[i++];
                    if (d == '"') {
                        closed = true;
                        break;
                    }
                    if (d == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                        token.text.push_back(line[i++]);
                    } else {
                        token.text.push_back(d);
                    }
                }
                if (!closed) Fail("a quoted text is not closed");
                if (i < line.size() && line[i] != ' ' && line[i] != '\t') Fail("a quoted text must end a word");
                tokens.push_back(std::move(token));
            } else {
                Token token;
                while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                    if (line[i] == '"') Fail("a quote inside a word; quote the whole word");
                    token.text.push_back(line[i++]);
                }
                tokens.push_back(std::move(token));
            }
        }
        return tokens;
    }

    Scenario m_scenario;
    Round* m_round = nullptr;  // the round being read
    int m_line = 0;
    int m_repeatLine = 0;
};

}  // namespace

std::span<const FieldInfo> PlayerFields() { return kFields; }

const FieldInfo& Field(PlayerField field) {
    for (const FieldInfo& info : kFields) {
        if (info.field == field) return info;
    }
    return kFields[0];
}

ScenarioError::ScenarioError(int line, const std::string& message, const std::string& source)
    : std::runtime_error((source.empty() ? "" : source + ": ") +
                         (line > 0 ? "line " + std::to_string(line) + ": " : "") + message),
      m_line(line),
      m_message(message) {}

Scenario ParseScenario(std::string_view text) { return Parser().Parse(text); }

Scenario LoadScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(0, "cannot be read", path);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseScenario(text.str());
    } catch (const ScenarioError& e) {
        throw ScenarioError(e.Line(), e.Message(), path);
    }
}

int32_t MsToTicks(int64_t ms) {
    return static_cast<int32_t>((ms * game::kTicksPerSecond + 500) / 1000);
}

}  // namespace tovi::gamesim
