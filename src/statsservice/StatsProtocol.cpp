#include "StatsProtocol.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "PlayerClass.h"
#include "ServerStatus.h"
#include "StatsFormat.h"
#include "TextEncodings.h"

namespace tovi {

namespace {

using namespace stats_format;

constexpr std::string_view kStatusFields[] = {
    "servercode",  "status",    "dedicated", "gametype", "maxplayers",  "servername", "map",
    "countrycode", "expansion", "servermsg", "players",  "playernames", "playerteams"};

// Form fields by name: every pair "name=value", each name once, values decoded.
std::optional<std::map<std::string, std::string, std::less<>>> FormFields(std::string_view body,
                                                                          std::string& error) {
    std::map<std::string, std::string, std::less<>> fields;
    if (body.empty()) {
        error = "the body is empty";
        return std::nullopt;
    }
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view pair = body.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            error = "a form field without a name or \"=\"";
            return std::nullopt;
        }
        std::string name, value;
        if (!FormDecode(pair.substr(0, equals), name) || !FormDecode(pair.substr(equals + 1), value)) {
            error = "a form field with a broken %-escape";
            return std::nullopt;
        }
        if (!fields.emplace(std::move(name), std::move(value)).second) {
            error = "a form field given twice";
            return std::nullopt;
        }
        start = end + 1;
    }
    return fields;
}

// A plain decimal number in [low, high]: an optional "-" and 1 to 19 digits, nothing else.
std::optional<int64_t> Decimal(std::string_view text, int64_t low, int64_t high) {
    if (text.empty() || text.size() > 20 || text.front() == '+') return std::nullopt;
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

bool Texts(std::initializer_list<std::string_view> texts, size_t limit) {
    return std::all_of(texts.begin(), texts.end(), [limit](std::string_view t) { return t.size() <= limit; });
}

bool KnownGameType(std::string_view name) {
    const auto& types = GameTypes();
    return std::find(types.begin(), types.end(), name) != types.end();
}

// "yyyy-mm-dd hh:mm:ss" with a real month, day, hour, minute and second.
bool StatsTime(std::string_view t) {
    if (t.size() != 19 || t[4] != '-' || t[7] != '-' || t[10] != ' ' || t[13] != ':' || t[16] != ':')
        return false;
    auto number = [t](size_t at, size_t length, int low, int high) {
        const auto value = Decimal(t.substr(at, length), low, high);
        return value && t[at] != '-';
    };
    return number(0, 4, 0, 9999) && number(5, 2, 1, 12) && number(8, 2, 1, 31) && number(11, 2, 0, 23) &&
           number(14, 2, 0, 59) && number(17, 2, 0, 59);
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string_view::npos; at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool ParseServerLine(std::string_view line, MatchBlock& block, std::string& error) {
    const std::vector<std::string_view> fields = Split(line.substr(kServerLine.size()), kTag);
    if (fields.size() != 6) {
        error = "a server line without its six fields";
        return false;
    }
    block.ServerCode = fields[0];
    block.MapName = fields[1];
    block.GameType = fields[2];
    if (block.ServerCode.size() > kMaxServerCodeBytes || block.MapName.size() > kMaxTextBytes) {
        error = "a server line with a text too long";
        return false;
    }
    if (!KnownGameType(block.GameType)) {
        error = "a server line with an unknown game type";
        return false;
    }
    if (!fields[3].empty()) {
        const auto result = Decimal(fields[3], 0, 255);
        if (!result) {
            error = "a server line with a result that is no byte";
            return false;
        }
        block.Result = static_cast<int>(*result);
    }
    if (!StatsTime(fields[4])) {
        error = "a server line without a time";
        return false;
    }
    block.Written = fields[4];
    const auto ticks = Decimal(fields[5], INT32_MIN, INT32_MAX);
    if (!ticks) {
        error = "a server line without its match ticks";
        return false;
    }
    block.Ticks = *ticks;
    return true;
}

bool ParsePlayerLine(std::string_view line, PlayerLine& player, std::string& error) {
    const std::string_view rest = line.substr(kPlayerLine.size());
    // The numbers hold no "&": the last "&end& " is the one that closes the name, whatever an
    // older copy of the program let into the name.
    const size_t nameEnd = rest.rfind(kNameEnd);
    if (nameEnd == std::string_view::npos) {
        error = "a player line without \"&end& \"";
        return false;
    }
    player.Name = rest.substr(0, nameEnd);
    if (player.Name.empty() || player.Name.size() > kMaxTextBytes) {
        error = "a player line with an empty or too long name";
        return false;
    }
    const std::vector<std::string_view> numbers = Split(rest.substr(nameEnd + kNameEnd.size()), " ");
    if (numbers.size() != 1 + kStatCount) {
        error = "a player line without its team and " + std::to_string(kStatCount) + " totals";
        return false;
    }
    const auto team = Decimal(numbers[0], INT32_MIN, INT32_MAX);
    if (!team) {
        error = "a player line with a broken team number";
        return false;
    }
    player.Team = *team;
    for (size_t i = 0; i < kStatCount; ++i) {
        // A total is the sum of two 32-bit counters.
        const auto total = Decimal(numbers[i + 1], int64_t{INT32_MIN} * 2, int64_t{INT32_MAX} * 2);
        if (!total) {
            error = "a player line with a broken total";
            return false;
        }
        player.Totals[i] = *total;
    }
    return true;
}

}  // namespace

bool ValidUploadId(std::string_view id) {
    return !id.empty() && id.size() <= kMaxUploadIdBytes &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > 32 && c < 127; });
}

size_t StatIndex(std::string_view name) {
    for (size_t i = 0; i < kStatisticList.size(); ++i) {
        if (kStatisticList[i].Name == name) return i;
    }
    return kStatisticList.size();
}

std::optional<StatusReport> ParseStatusReport(std::string_view body, std::string& error) {
    if (body.size() > kMaxStatusBodyBytes) {
        error = "the status report is too large";
        return std::nullopt;
    }
    const auto fields = FormFields(body, error);
    if (!fields) return std::nullopt;
    for (std::string_view name : kStatusFields) {
        if (!fields->contains(name)) {
            error = "the field \"" + std::string(name) + "\" is missing";
            return std::nullopt;
        }
    }
    auto field = [&fields](std::string_view name) -> const std::string& {
        return fields->find(name)->second;
    };
    auto base64 = [&](std::string_view name, std::string& out) {
        if (Base64Decode(field(name), out)) return true;
        error = "the field \"" + std::string(name) + "\" is no Base64";
        return false;
    };
    StatusReport report;
    report.ServerCode = field("servercode");
    report.GameType = field("gametype");
    report.CountryCode = field("countrycode");
    report.Expansion = field("expansion");
    const auto state = Decimal(field("status"), 1, 4);
    const auto maxPlayers = Decimal(field("maxplayers"), 0, 255);
    const auto players = Decimal(field("players"), 0, 255);
    const std::string& dedicated = field("dedicated");
    if (!state || !maxPlayers || !players || (dedicated != "True" && dedicated != "False")) {
        error = "a number or flag of the status report is out of range";
        return std::nullopt;
    }
    report.State = static_cast<int>(*state);
    report.MaxPlayers = static_cast<int>(*maxPlayers);
    report.PlayerCount = static_cast<int>(*players);
    report.Dedicated = dedicated == "True";
    std::string names, teams;
    if (!base64("servername", report.ServerName) || !base64("map", report.MapName) ||
        !base64("servermsg", report.ServerMessage) || !base64("playernames", names) ||
        !base64("playerteams", teams))
        return std::nullopt;
    if (!KnownGameType(report.GameType) || report.ServerCode.size() > kMaxServerCodeBytes ||
        !Texts({report.ServerName, report.MapName, report.CountryCode, report.Expansion}, kMaxTextBytes) ||
        report.ServerMessage.size() > 4 * kMaxTextBytes) {
        error = "a text of the status report is unknown or too long";
        return std::nullopt;
    }
    if (!names.empty() || !teams.empty()) {
        const std::vector<std::string_view> nameList = Split(names, kLineEnd);
        const std::vector<std::string_view> teamList = Split(teams, kLineEnd);
        if (nameList.size() != teamList.size() || nameList.size() > kMaxStatusPlayers) {
            error = "the player names and teams do not pair up";
            return std::nullopt;
        }
        for (size_t i = 0; i < nameList.size(); ++i) {
            if (nameList[i].size() > kMaxTextBytes || teamList[i].size() > 16) {
                error = "a player name or team of the status report is too long";
                return std::nullopt;
            }
            report.Players.push_back({std::string(nameList[i]), std::string(teamList[i])});
        }
    }
    return report;
}

std::optional<std::vector<MatchBlock>> ParseStatsFile(std::string_view content, std::string& error) {
    std::vector<MatchBlock> blocks;
    if (content.empty()) return blocks;
    if (!content.ends_with(kLineEnd)) {
        error = "the stats file ends inside a line";
        return std::nullopt;
    }
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find(kLineEnd, start);
        const std::string_view line = content.substr(start, end - start);
        const size_t next = end + kLineEnd.size();
        if (line.find('\n') != std::string_view::npos || line.find('\r') != std::string_view::npos) {
            error = "a line holds a stray line end";
            return std::nullopt;
        }
        if (line.starts_with(kServerLine)) {
            MatchBlock block;
            if (!ParseServerLine(line, block, error)) return std::nullopt;
            blocks.push_back(std::move(block));
        } else if (line.starts_with(kPlayerLine)) {
            if (blocks.empty()) {
                error = "a player line before the first server line";
                return std::nullopt;
            }
            PlayerLine player;
            if (!ParsePlayerLine(line, player, error)) return std::nullopt;
            blocks.back().Players.push_back(std::move(player));
        } else {
            error = "a line that is neither a server line nor a player line";
            return std::nullopt;
        }
        blocks.back().Bytes.append(content.substr(start, next - start));
        start = next;
    }
    return blocks;
}

std::optional<std::vector<MatchBlock>> ParseUpload(std::string_view body, std::string& error) {
    if (body.size() > kMaxUploadBodyBytes) {
        error = "the upload is too large";
        return std::nullopt;
    }
    const auto fields = FormFields(body, error);
    if (!fields) return std::nullopt;
    const auto data = fields->find(std::string_view("data"));
    if (data == fields->end() || fields->size() != 1) {
        error = "the upload is not one field \"data\"";
        return std::nullopt;
    }
    std::string content;
    if (!Base64Decode(data->second, content)) {
        error = "the upload's data is no Base64";
        return std::nullopt;
    }
    return ParseStatsFile(content, error);
}

}  // namespace tovi
