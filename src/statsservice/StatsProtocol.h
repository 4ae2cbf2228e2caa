#pragma once
// What the program sends the stats service, read back into records: the status report's form
// fields and the stats upload's match blocks. A request is taken whole or not at all: anything
// cut short, misencoded or out of bounds refuses the request, with a reason for the log.
//
// Texts stay the game's single-byte bytes, as the program sent them.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovi {

// Bounds of what the service reads. The program sends at most 1 MiB of upload body per batch
// (UploadQueue::kMaxBodyBytes) and status reports of a few hundred bytes.
inline constexpr size_t kMaxUploadBodyBytes = size_t{4} << 20;
inline constexpr size_t kMaxStatusBodyBytes = size_t{64} << 10;
inline constexpr size_t kMaxHeaderBytes = size_t{16} << 10;
inline constexpr size_t kMaxTextBytes = 256;  // a name, a map, a server text
inline constexpr size_t kMaxServerCodeBytes = 64;
// Names in one status report. A match's player lines have no bound of their own: the body's
// bound already limits them.
inline constexpr size_t kMaxStatusPlayers = 256;
inline constexpr size_t kMaxUploadIdBytes = 128;

inline constexpr size_t kStatCount = 23;

struct StatusPlayer {
    std::string Name;
    std::string Team;  // as the program sent it: the team number's text
};

struct StatusReport {
    std::string ServerCode;
    int State = 0;  // 1 to 4
    bool Dedicated = false;
    std::string GameType;
    int MaxPlayers = 0;
    std::string ServerName;
    std::string MapName;
    std::string CountryCode;
    std::string Expansion;
    std::string ServerMessage;
    int PlayerCount = 0;
    std::vector<StatusPlayer> Players;
};

struct PlayerLine {
    std::string Name;
    int64_t Team = 0;
    std::array<int64_t, kStatCount> Totals{};  // in the order of the statistic list
};

struct MatchBlock {
    std::string ServerCode;
    std::string MapName;
    std::string GameType;
    std::optional<int> Result;  // the result byte; none when the program could not read it
    std::string Written;        // "yyyy-mm-dd hh:mm:ss", the game server's local time
    int64_t Ticks = 0;
    std::vector<PlayerLine> Players;
    std::string Bytes;  // the block exactly as the stats file held it
};

// The status report of a form body, or nothing with `error` saying why.
std::optional<StatusReport> ParseStatusReport(std::string_view body, std::string& error);

// The match blocks of an upload's form body ("data=" and the stats file in Base64), oldest
// first; an empty file gives none. Nothing, with `error`, when any part of it is damaged.
std::optional<std::vector<MatchBlock>> ParseUpload(std::string_view body, std::string& error);

// The match blocks of a stats file's content.
std::optional<std::vector<MatchBlock>> ParseStatsFile(std::string_view content, std::string& error);

// Whether an upload id is one the service keeps: 1 to kMaxUploadIdBytes printable ASCII bytes.
bool ValidUploadId(std::string_view id);

// The statistic's place in a player line's totals, by its name in the statistic list.
size_t StatIndex(std::string_view name);

}  // namespace tovi
