#pragma once
// The stats service's data in an SQLite database: the registered servers, the latest status of
// each, the uploaded matches with every player line, the player names seen, and the upload ids
// already taken. Its tables carry the prefix "svc_" and its schema version sits in a table of
// its own, so that the same file can also hold the program's record (which keeps its version in
// user_version).
//
// Each request is one transaction: its data is stored whole or not at all, and the caller
// answers only after the commit.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "StatsProtocol.h"
#include "UploadQueue.h"

struct sqlite3;

namespace tovi {

// How the leaderboard ranks players: the weighted sum of these match totals, summed over the
// period. Negative weights count against a player.
struct ScoreWeight {
    std::string_view Stat;  // a name of the statistic list
    int Weight;
};
inline constexpr ScoreWeight kScoreWeights[] = {
    {"Kills", 2},      {"Assists", 1},      {"Targets", 3},  {"PspTakes", 3},
    {"MedicSaves", 1}, {"MedicRevives", 1}, {"Murders", -2}, {"Suicides", -1},
};
int64_t Score(const std::array<int64_t, kStatCount>& totals);

// A server as the pages show it: its public id and the name of its latest report. The code is
// its credential and never leaves the store (Report.ServerCode stays empty).
struct ServerNow {
    int64_t Id = 0;
    int64_t Received = 0;  // 0: no report yet
    StatusReport Report;
};

struct PlayerTotals {
    std::string Key;   // the name with small letters: a player's identity
    std::string Name;  // the spelling of the latest match played
    int64_t Matches = 0;  // distinct matches: two spellings in one match count once
    std::array<int64_t, kStatCount> Totals{};
    int64_t Score = 0;
};

struct MatchSummary {
    int64_t Id = 0;
    int64_t Received = 0;
    int64_t Played = 0;      // when the match was played, as the periods count it (kOldestPlayedDays)
    int64_t ServerId = 0;    // the server's public id
    std::string ServerName;  // from its latest report; empty before any
    MatchBlock Block;        // without Bytes and without the server code
};

struct PlayerMatch {
    MatchSummary Match;
    PlayerLine Line;
};

struct NameSeen {
    std::string Name;
    int64_t FirstSeen = 0;
    int64_t LastSeen = 0;
};

struct PlayerPage {
    PlayerTotals Totals;
    std::vector<PlayerMatch> History;  // newest first
    std::vector<NameSeen> Names;
};

// A map's or a server's totals, kept at import.
struct PlaceTotals {
    std::string Name;      // the map's name; for a server, the name of its latest report
    int64_t ServerId = 0;  // a server's public id; 0 for a map
    int64_t Matches = 0;
    int64_t Players = 0;  // players summed over the matches
    int64_t FirstPlayed = 0;
    int64_t LastPlayed = 0;
};

// The columns a leaderboard can be sorted by.
enum class BoardSort {
    Score,
    Matches,
    Kills,
    Deaths,
    KillsPerDeath,
    HeadShots,
    Targets,
    ExpPoints,
    TimePlayed,
    Name
};

struct BoardQuery {
    std::optional<int64_t> FromDay;  // the first day counted (days since 1970, UTC); none: all time
    std::string Search;              // part of the name (Windows-1252 bytes), letter case ignored
    BoardSort Sort = BoardSort::Score;
    bool Ascending = false;
    int Offset = 0;
    int Limit = 50;
};

struct BoardRows {
    int64_t Players = 0;  // players in the period that the search finds, on every page
    std::vector<PlayerTotals> Rows;
};

struct UploadResult {
    bool Ok = false;
    bool RepeatedId = false;   // the server sent this id with this content before: nothing stored
    bool ConflictingId = false;  // the server sent this id with other content: refused, nothing stored
    int64_t ServerId = 0;      // the public id of the server the upload came from
    int Stored = 0;           // matches stored now
    int Repeats = 0;          // matches already held (same server, time and content)
    std::string Error;        // when not Ok
};

class StatsServiceStore {
public:
    static constexpr int kSchemaVersion = 3;
    // A match counts for the periods by the time its server wrote it, taken as UTC (the game
    // server's zone is not known: a day's edge may be off by its offset). A server clock far off
    // would put matches in the wrong period or in none, so a written time more than a day after
    // the upload's receipt, more than kOldestPlayedDays before it, or not a time at all, counts
    // as the receipt.
    static constexpr int64_t kOldestPlayedDays = 30;
    // The periods whose totals are kept summed (today and the days before it), so that their
    // leaderboards read one row a player rather than one a player and day.
    static constexpr int kKeptPeriodDays[] = {7, 30};

    struct Opened {
        std::unique_ptr<StatsServiceStore> Store;
        std::string Error;
    };
    // `digest` tells a block's content apart from any other (the service gives SHA-256).
    static Opened Open(const std::string& path, ContentDigest digest);
    // A second connection to a database that Open has set up, for reading pages only: in WAL
    // mode it reads while the first one writes.
    static Opened OpenForReading(const std::string& path);
    ~StatsServiceStore();
    StatsServiceStore(const StatsServiceStore&) = delete;
    StatsServiceStore& operator=(const StatsServiceStore&) = delete;

    bool AddServer(const std::string& code, int64_t now, std::string& error);
    bool RemoveServer(const std::string& code, std::string& error);
    struct Registered {
        std::string Code;
        int64_t Id = 0;
    };
    // For the operator's command line only: the registered codes and their public ids.
    std::vector<Registered> Servers();
    // The public id of the registered server with this code, compared in constant time.
    std::optional<int64_t> ServerId(const std::string& code);
    bool KnownServer(const std::string& code) { return ServerId(code).has_value(); }

    // Stores the report as its server's latest; refused for a server not registered.
    bool StoreStatus(const StatusReport& report, int64_t now, std::string& error);
    // Stores the matches of one upload, each once; refused whole when one names a server not
    // registered, before anything else is looked at. An upload id belongs to the server of the
    // first block and is kept with a digest of the content; an empty `uploadId` drops repeats
    // only by content. An upload without a match is refused.
    UploadResult StoreUpload(const std::vector<MatchBlock>& blocks, const std::string& uploadId, int64_t now);

    // Moves the kept periods to end on `today` (days since 1970, UTC): an upload does so too, so
    // this is for the days that turn without one.
    bool MovePeriodsTo(int64_t today, std::string& error);

    std::vector<ServerNow> ServersNow();
    // Players of the period that the search finds, sorted and cut to one page. Read from the
    // totals kept at import: per player per day of play, and per player for all time.
    BoardRows Leaderboard(const BoardQuery& query);
    std::optional<PlayerPage> Player(const std::string& key, int historyLimit);
    std::optional<std::pair<MatchSummary, std::vector<PlayerLine>>> Match(int64_t id);
    std::vector<MatchSummary> RecentMatches(int limit);
    // Every map played, the most played first; one map's totals; one server's, by public id.
    std::vector<PlaceTotals> Maps();
    std::optional<PlaceTotals> Map(const std::string& name);
    std::optional<PlaceTotals> Server(int64_t publicId);
    // The latest matches on a map, or of a server by its public id.
    std::vector<MatchSummary> RecentMatchesOnMap(const std::string& name, int limit);
    std::vector<MatchSummary> RecentMatchesOfServer(int64_t publicId, int limit);

private:
    StatsServiceStore(sqlite3* db, ContentDigest digest) : m_db(db), m_digest(std::move(digest)) {}
    bool Exec(const char* sql, std::string& error);
    bool Begin(std::string& error) { return Exec("BEGIN IMMEDIATE", error); }
    bool Commit(std::string& error);
    void Rollback();
    bool SeeName(const std::string& name, int64_t now);
    // Moves the kept periods to end today, taking out the days that left them (or putting back
    // days, should the clock have gone back).
    bool MovePeriods(int64_t today);
    // Sets a stored match's play time and adds it to the kept totals.
    bool AddToTotals(int64_t matchId, const MatchBlock& block);

    sqlite3* m_db;
    ContentDigest m_digest;
};

}  // namespace tovi
