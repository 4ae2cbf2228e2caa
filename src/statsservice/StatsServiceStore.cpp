#include "StatsServiceStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "PlayerClass.h"
#include "SqliteStatement.h"
#include "Windows1252.h"

namespace tovi {

namespace {

std::string TotalsColumns(const char* prefix) {
    std::string columns;
    for (const Statistic& s : kStatisticList) {
        if (!columns.empty()) columns += ", ";
        columns.append(prefix).append("t_").append(s.Name);
    }
    return columns;
}

// Each entry brings the schema from the version before it to its own; entry i makes version i+1.
// Texts from the game are kept as their bytes (blobs), compared byte for byte.
std::string SchemaV1() {
    std::string totals;
    for (const Statistic& s : kStatisticList)
        totals.append(", t_").append(s.Name).append(" INTEGER NOT NULL");
    return "CREATE TABLE svc_servers(code BLOB PRIMARY KEY, added INTEGER NOT NULL);"
           "CREATE TABLE svc_status(code BLOB PRIMARY KEY, received INTEGER NOT NULL, state INTEGER,"
           " dedicated INTEGER, game_type BLOB, max_players INTEGER, server_name BLOB, map_name BLOB,"
           " country_code BLOB, expansion BLOB, server_message BLOB, player_count INTEGER,"
           " player_names BLOB, player_teams BLOB);"
           "CREATE TABLE svc_matches(id INTEGER PRIMARY KEY, code BLOB NOT NULL, received INTEGER NOT NULL,"
           " written TEXT NOT NULL, map_name BLOB, game_type BLOB, result INTEGER, ticks INTEGER,"
           " digest TEXT NOT NULL, block BLOB NOT NULL, UNIQUE(code, digest));"
           "CREATE INDEX svc_matches_received ON svc_matches(received);"
           "CREATE TABLE svc_player_lines(match_id INTEGER NOT NULL REFERENCES svc_matches(id), line INTEGER "
           "NOT NULL,"
           " name BLOB NOT NULL, name_key BLOB NOT NULL, team INTEGER NOT NULL" +
           totals +
           ", PRIMARY KEY(match_id, line));"
           "CREATE INDEX svc_player_lines_key ON svc_player_lines(name_key, match_id);"
           "CREATE TABLE svc_names(name BLOB PRIMARY KEY, name_key BLOB NOT NULL, first_seen INTEGER NOT "
           "NULL,"
           " last_seen INTEGER NOT NULL);"
           "CREATE INDEX svc_names_key ON svc_names(name_key);"
           "CREATE TABLE svc_uploads(upload_id TEXT PRIMARY KEY, received INTEGER NOT NULL, matches INTEGER "
           "NOT NULL);";
}

// Servers get a public id and keep the name of their latest report, so that pages never need
// the code; a removed server stays as a row (its matches still name it), only marked. Servers
// removed before this version come back as such rows. Upload ids become per server and carry
// the content's digest. The ids of svc_uploads, taken before, stay there unread: their matches
// are held by content, so a repeat of such a batch is still confirmed, as held already.
std::string SchemaV2() {
    return "ALTER TABLE svc_servers ADD COLUMN public_id INTEGER;"
           "ALTER TABLE svc_servers ADD COLUMN name BLOB;"
           "ALTER TABLE svc_servers ADD COLUMN removed INTEGER NOT NULL DEFAULT 0;"
           "INSERT INTO svc_servers(code, added, removed) SELECT code, MIN(received), 1 FROM svc_matches"
           " WHERE code NOT IN (SELECT code FROM svc_servers) GROUP BY code;"
           "UPDATE svc_servers SET public_id = rowid,"
           " name = (SELECT st.server_name FROM svc_status st WHERE st.code = svc_servers.code);"
           "CREATE UNIQUE INDEX svc_servers_public_id ON svc_servers(public_id);"
           "CREATE TABLE svc_upload_ids(code BLOB NOT NULL, upload_id TEXT NOT NULL, digest TEXT NOT NULL,"
           " received INTEGER NOT NULL, matches INTEGER NOT NULL, PRIMARY KEY(code, upload_id));";
}

// The play time of a match row (see kOldestPlayedDays): the written time where it is a plausible
// one, else the receipt.
std::string PlayedSql() {
    const std::string written = "CAST(strftime('%s', written) AS INTEGER)";
    return "(CASE WHEN written GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] "
           "[0-9][0-9]:[0-9][0-9]:[0-9][0-9]'"
           " AND " +
           written + " BETWEEN received - " + std::to_string(StatsServiceStore::kOldestPlayedDays * 86400) +
           " AND received + 86400 THEN " + written + " ELSE received END)";
}

std::string TotalsDefinition() {
    std::string totals;
    for (const Statistic& s : kStatisticList)
        totals.append(", t_").append(s.Name).append(" INTEGER NOT NULL");
    return totals;
}

std::string TotalsSums(const char* prefix) {
    std::string sums;
    for (const Statistic& s : kStatisticList)
        sums.append(", SUM(").append(prefix).append("t_").append(s.Name).append(") AS t_").append(s.Name);
    return sums;
}

// Totals kept as matches are stored, so that a leaderboard reads summed rows rather than every
// player line: per player per day of play (clustered by day, so that a period is one range),
// per player for all time, per map and per server. A player counts a match once, whatever
// spellings of the name it holds; their lines are summed. The rows already held are summed in.
std::string SchemaV3() {
    const std::string totals = TotalsDefinition();
    const std::string columns = TotalsColumns("");
    const std::string sums = TotalsSums("p.");
    return "ALTER TABLE svc_matches ADD COLUMN played INTEGER NOT NULL DEFAULT 0;"
           "UPDATE svc_matches SET played = " +
           PlayedSql() +
           ";"
           "CREATE INDEX svc_matches_played ON svc_matches(played);"
           "CREATE INDEX svc_matches_map ON svc_matches(map_name, id);"
           "CREATE INDEX svc_matches_code ON svc_matches(code, id);"
           "CREATE TABLE svc_player_days(day INTEGER NOT NULL, name_key BLOB NOT NULL, matches INTEGER NOT "
           "NULL" +
           totals +
           ", PRIMARY KEY(day, name_key)) WITHOUT ROWID;"
           "INSERT INTO svc_player_days(day, name_key, matches, " +
           columns +
           ")"
           " SELECT m.played / 86400, p.name_key, COUNT(DISTINCT p.match_id)" +
           sums +
           " FROM svc_player_lines p JOIN svc_matches m ON m.id = p.match_id GROUP BY 1, 2;"
           "CREATE TABLE svc_player_totals(name_key BLOB PRIMARY KEY, name BLOB NOT NULL, last_played "
           "INTEGER NOT NULL,"
           " matches INTEGER NOT NULL" +
           totals +
           ");"
           "INSERT INTO svc_player_totals(name_key, name, last_played, matches, " +
           columns +
           ")"
           " SELECT p.name_key, (SELECT q.name FROM svc_player_lines q JOIN svc_matches n ON n.id = "
           "q.match_id"
           " WHERE q.name_key = p.name_key ORDER BY n.played DESC, n.id DESC, q.line LIMIT 1),"
           " MAX(m.played), COUNT(DISTINCT p.match_id)" +
           sums +
           " FROM svc_player_lines p JOIN svc_matches m ON m.id = p.match_id GROUP BY p.name_key;"
           "CREATE TABLE svc_map_totals(map_name BLOB PRIMARY KEY, matches INTEGER NOT NULL, players INTEGER "
           "NOT NULL,"
           " first_played INTEGER NOT NULL, last_played INTEGER NOT NULL);"
           "INSERT INTO svc_map_totals SELECT COALESCE(m.map_name, X''), COUNT(*),"
           " SUM((SELECT COUNT(DISTINCT name_key) FROM svc_player_lines WHERE match_id = m.id)),"
           " MIN(m.played), MAX(m.played) FROM svc_matches m GROUP BY 1;"
           "CREATE TABLE svc_server_totals(code BLOB PRIMARY KEY, matches INTEGER NOT NULL, players INTEGER "
           "NOT NULL,"
           " first_played INTEGER NOT NULL, last_played INTEGER NOT NULL);"
           "INSERT INTO svc_server_totals SELECT m.code, COUNT(*),"
           " SUM((SELECT COUNT(DISTINCT name_key) FROM svc_player_lines WHERE match_id = m.id)),"
           " MIN(m.played), MAX(m.played) FROM svc_matches m GROUP BY 1;"
           // The kept periods start empty, after the last day held: the first upload moves them
           // to end on its day, summing the days they then hold.
           "CREATE TABLE svc_periods(days INTEGER PRIMARY KEY, first_day INTEGER NOT NULL);"
           "INSERT INTO svc_periods SELECT column1, COALESCE((SELECT MAX(day) FROM svc_player_days), 0) + 1"
           " FROM (VALUES " +
           [] {
               std::string values;
               for (int days : StatsServiceStore::kKeptPeriodDays)
                   values += (values.empty() ? "(" : ", (") + std::to_string(days) + ")";
               return values;
           }() +
           ");"
           "CREATE TABLE svc_player_periods(days INTEGER NOT NULL, name_key BLOB NOT NULL, matches INTEGER "
           "NOT NULL" +
           totals + ", PRIMARY KEY(days, name_key)) WITHOUT ROWID;";
}

// The per-day rows of the days [from, to), summed per player, negated when `sign` is -1.
std::string DayRangeSql(int64_t from, int64_t to, int sign) {
    std::string sql = "SELECT name_key, " + std::string(sign < 0 ? "-" : "") + "SUM(matches) AS matches";
    for (const Statistic& s : kStatisticList)
        sql.append(sign < 0 ? ", -SUM(t_" : ", SUM(t_").append(s.Name).append(") AS t_").append(s.Name);
    return sql + " FROM svc_player_days WHERE day >= " + std::to_string(from) + " AND day < " +
           std::to_string(to) + " GROUP BY name_key";
}

// Added to the row already there.
std::string AddExcluded() {
    std::string sql = " matches = matches + excluded.matches";
    for (const Statistic& s : kStatisticList)
        sql.append(", t_")
            .append(s.Name)
            .append(" = t_")
            .append(s.Name)
            .append(" + excluded.t_")
            .append(s.Name);
    return sql;
}

// Equal or not, in a time that does not depend on where two codes differ.
bool SameCode(std::string_view a, std::string_view b) {
    const size_t n = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

std::string ScoreSql(const char* prefix) {
    std::string sql = "(0";
    for (const ScoreWeight& w : kScoreWeights) {
        sql.append(w.Weight < 0 ? " - " : " + ").append(std::to_string(w.Weight < 0 ? -w.Weight : w.Weight));
        sql.append(" * ").append(prefix).append("t_").append(w.Stat);
    }
    return sql + ")";
}

std::string Key(const std::string& name) {
    return LowerCase1252(name);
}

// Matches are read with their server's public id and name, never its code.
constexpr const char* kMatchColumns =
    "m.id, m.received, s.public_id, s.name, m.map_name, m.game_type, m.result, m.written, m.ticks, m.played";
constexpr const char* kMatchFrom = " FROM svc_matches m LEFT JOIN svc_servers s ON s.code = m.code";

MatchSummary ReadMatch(const SqliteStatement& st, int first) {
    MatchSummary m;
    m.Id = st.Int(first);
    m.Received = st.Int(first + 1);
    m.ServerId = st.Int(first + 2);
    m.ServerName = st.Bytes(first + 3);
    m.Block.MapName = st.Bytes(first + 4);
    m.Block.GameType = st.Bytes(first + 5);
    if (sqlite3_column_type(*st, first + 6) != SQLITE_NULL)
        m.Block.Result = static_cast<int>(st.Int(first + 6));
    m.Block.Written = st.Bytes(first + 7);
    m.Block.Ticks = st.Int(first + 8);
    m.Played = st.Int(first + 9);
    return m;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (text.empty()) return lines;
    size_t start = 0;
    for (size_t at = text.find("\r\n"); at != std::string_view::npos; at = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, at - start));
        start = at + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

}  // namespace

int64_t Score(const std::array<int64_t, kStatCount>& totals) {
    int64_t score = 0;
    for (const ScoreWeight& w : kScoreWeights) score += w.Weight * totals[StatIndex(w.Stat)];
    return score;
}

StatsServiceStore::Opened StatsServiceStore::Open(const std::string& path, ContentDigest digest) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return {nullptr, "cannot open " + path + ": " + error};
    }
    std::unique_ptr<StatsServiceStore> store(new StatsServiceStore(db, std::move(digest)));
    std::string error;
    sqlite3_busy_timeout(db, 2000);
    if (!store->Exec("PRAGMA journal_mode=WAL", error) || !store->Exec("PRAGMA foreign_keys=ON", error) ||
        !store->Begin(error) ||
        !store->Exec("CREATE TABLE IF NOT EXISTS svc_schema(version INTEGER NOT NULL)", error))
        return {nullptr, path + " is no database the service can use: " + error};
    int version = 0;
    {
        SqliteStatement st(db, "SELECT MAX(version) FROM svc_schema");
        if (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) version = static_cast<int>(st.Int(0));
    }
    if (version > kSchemaVersion) {
        store->Rollback();
        return {nullptr, path + " was made by a newer version of the service (schema " +
                             std::to_string(version) + ")"};
    }
    const std::string migrations[] = {SchemaV1(), SchemaV2(), SchemaV3()};
    for (int v = version; v < kSchemaVersion; ++v) {
        if (!store->Exec(migrations[v].c_str(), error)) {
            store->Rollback();
            return {nullptr, "cannot set up " + path + ": " + error};
        }
    }
    if (version < kSchemaVersion) {
        const std::string set = "DELETE FROM svc_schema; INSERT INTO svc_schema(version) VALUES (" +
                                std::to_string(kSchemaVersion) + ")";
        if (!store->Exec(set.c_str(), error)) {
            store->Rollback();
            return {nullptr, error};
        }
    }
    if (!store->Commit(error)) return {nullptr, error};
    return {std::move(store), {}};
}

StatsServiceStore::Opened StatsServiceStore::OpenForReading(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return {nullptr, "cannot open " + path + " for reading: " + error};
    }
    std::unique_ptr<StatsServiceStore> store(new StatsServiceStore(db, {}));
    sqlite3_busy_timeout(db, 2000);
    SqliteStatement st(db, "SELECT MAX(version) FROM svc_schema");
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_ROW || st.Int(0) != kSchemaVersion)
        return {nullptr, path + " is not set up for this version of the service"};
    return {std::move(store), {}};
}

StatsServiceStore::~StatsServiceStore() {
    sqlite3_close(m_db);
}

bool StatsServiceStore::Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    return false;
}

bool StatsServiceStore::Commit(std::string& error) {
    if (Exec("COMMIT", error)) return true;
    Rollback();
    return false;
}

void StatsServiceStore::Rollback() {
    std::string ignored;
    if (!sqlite3_get_autocommit(m_db)) Exec("ROLLBACK", ignored);
}

bool StatsServiceStore::AddServer(const std::string& code, int64_t now, std::string& error) {
    if (code.empty() || code.size() > kMaxServerCodeBytes ||
        code.find_first_of(std::string_view("&=\r\n|", 5)) != std::string::npos) {
        error = "a server code is 1 to " + std::to_string(kMaxServerCodeBytes) +
                " bytes without \"&\", \"=\", \"|\" or line ends";
        return false;
    }
    // A code registered again after its removal gets its old public id back.
    SqliteStatement st(m_db,
                       "INSERT INTO svc_servers(code, added, public_id)"
                       " VALUES (?, ?, (SELECT COALESCE(MAX(public_id), 0) + 1 FROM svc_servers))"
                       " ON CONFLICT(code) DO UPDATE SET removed = 0");
    st.Blob(1, code);
    st.Int(2, now);
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

bool StatsServiceStore::RemoveServer(const std::string& code, std::string& error) {
    // Its matches stay: they were taken in good faith. Only new data is refused.
    SqliteStatement st(m_db, "UPDATE svc_servers SET removed = 1 WHERE code = ? AND removed = 0");
    st.Blob(1, code);
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    if (sqlite3_changes(m_db) == 0) {
        error = "no server is registered with that code";
        return false;
    }
    SqliteStatement status(m_db, "DELETE FROM svc_status WHERE code = ?");
    status.Blob(1, code);
    sqlite3_step(*status);
    return true;
}

std::vector<StatsServiceStore::Registered> StatsServiceStore::Servers() {
    std::vector<Registered> servers;
    SqliteStatement st(m_db, "SELECT code, public_id FROM svc_servers WHERE removed = 0 ORDER BY public_id");
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) servers.push_back({st.Bytes(0), st.Int(1)});
    return servers;
}

std::optional<int64_t> StatsServiceStore::ServerId(const std::string& code) {
    // Every registered code is compared, each in full: how long the answer takes says nothing
    // about how close a guess came.
    std::optional<int64_t> found;
    SqliteStatement st(m_db, "SELECT code, public_id FROM svc_servers WHERE removed = 0");
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) {
        const int64_t id = st.Int(1);
        if (SameCode(st.Bytes(0), code)) found = id;
    }
    return found;
}

bool StatsServiceStore::SeeName(const std::string& name, int64_t now) {
    SqliteStatement st(m_db,
                       "INSERT INTO svc_names(name, name_key, first_seen, last_seen) VALUES (?,?,?,?)"
                       " ON CONFLICT(name) DO UPDATE SET first_seen = MIN(first_seen, excluded.first_seen),"
                       " last_seen = MAX(last_seen, excluded.last_seen)");
    st.Blob(1, name);
    st.Blob(2, Key(name));
    st.Int(3, now);
    st.Int(4, now);
    return st.Ok() && sqlite3_step(*st) == SQLITE_DONE;
}

bool StatsServiceStore::StoreStatus(const StatusReport& r, int64_t now, std::string& error) {
    if (!Begin(error)) return false;
    const std::optional<int64_t> server = ServerId(r.ServerCode);
    if (!server) {
        Rollback();
        error = "unknown server code";
        return false;
    }
    std::string names, teams;
    for (size_t i = 0; i < r.Players.size(); ++i) {
        if (i > 0) {
            names += "\r\n";
            teams += "\r\n";
        }
        names += r.Players[i].Name;
        teams += r.Players[i].Team;
    }
    SqliteStatement st(
        m_db,
        "INSERT OR REPLACE INTO svc_status(code, received, state, dedicated, game_type, max_players,"
        " server_name, map_name, country_code, expansion, server_message, player_count, player_names,"
        " player_teams) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    st.Blob(1, r.ServerCode);
    st.Int(2, now);
    st.Int(3, r.State);
    st.Int(4, r.Dedicated ? 1 : 0);
    st.Blob(5, r.GameType);
    st.Int(6, r.MaxPlayers);
    st.Blob(7, r.ServerName);
    st.Blob(8, r.MapName);
    st.Blob(9, r.CountryCode);
    st.Blob(10, r.Expansion);
    st.Blob(11, r.ServerMessage);
    st.Int(12, r.PlayerCount);
    st.Blob(13, names);
    st.Blob(14, teams);
    SqliteStatement name(m_db, "UPDATE svc_servers SET name = ? WHERE public_id = ?");
    name.Blob(1, r.ServerName);
    name.Int(2, *server);
    bool ok = st.Ok() && sqlite3_step(*st) == SQLITE_DONE && name.Ok() && sqlite3_step(*name) == SQLITE_DONE;
    for (const StatusPlayer& p : r.Players) ok = ok && (p.Name.empty() || SeeName(p.Name, now));
    if (!ok) {
        error = sqlite3_errmsg(m_db);
        Rollback();
        return false;
    }
    return Commit(error);
}

UploadResult StatsServiceStore::StoreUpload(const std::vector<MatchBlock>& blocks,
                                            const std::string& uploadId, int64_t now) {
    UploadResult result;
    if (!Begin(result.Error)) return result;
    auto fail = [&](std::string error) {
        Rollback();
        result.Ok = false;
        result.Stored = result.Repeats = 0;
        result.Error = std::move(error);
        return result;
    };
    // The codes first: nothing about an upload id is answered to a stranger.
    for (const MatchBlock& block : blocks) {
        const std::optional<int64_t> server = ServerId(block.ServerCode);
        if (!server) return fail("unknown server code");
        if (result.ServerId == 0) result.ServerId = *server;
    }
    if (blocks.empty()) return fail("no match");
    std::string content;
    for (const MatchBlock& block : blocks) content += block.Bytes;
    const std::string digest = m_digest(content);
    const std::string& owner = blocks.front().ServerCode;
    if (!uploadId.empty()) {
        SqliteStatement seen(m_db, "SELECT digest FROM svc_upload_ids WHERE code = ? AND upload_id = ?");
        seen.Blob(1, owner);
        seen.Text(2, uploadId);
        if (seen.Ok() && sqlite3_step(*seen) == SQLITE_ROW) {
            const bool same = seen.Bytes(0) == digest;
            Rollback();
            result.Ok = same;
            result.RepeatedId = same;
            result.ConflictingId = !same;
            return result;
        }
    }
    if (!MovePeriods(now / 86400)) return fail(sqlite3_errmsg(m_db));
    const std::string lineSql = "INSERT INTO svc_player_lines(match_id, line, name, name_key, team, " +
                                TotalsColumns("") + ") VALUES (?,?,?,?,?" +
                                [] {
                                    std::string marks;
                                    for (size_t i = 0; i < kStatCount; ++i) marks += ",?";
                                    return marks;
                                }() +
                                ")";
    for (const MatchBlock& block : blocks) {
        SqliteStatement match(
            m_db,
            "INSERT INTO svc_matches(code, received, written, map_name, game_type, result, ticks,"
            " digest, block) VALUES (?,?,?,?,?,?,?,?,?) ON CONFLICT(code, digest) DO NOTHING");
        match.Blob(1, block.ServerCode);
        match.Int(2, now);
        match.Text(3, block.Written);
        match.Blob(4, block.MapName);
        match.Blob(5, block.GameType);
        if (block.Result) match.Int(6, *block.Result);
        match.Int(7, block.Ticks);
        match.Text(8, m_digest(block.Bytes));
        match.Blob(9, block.Bytes);
        if (!match.Ok() || sqlite3_step(*match) != SQLITE_DONE) return fail(sqlite3_errmsg(m_db));
        if (sqlite3_changes(m_db) == 0) {
            ++result.Repeats;
            continue;
        }
        ++result.Stored;
        const int64_t matchId = sqlite3_last_insert_rowid(m_db);
        SqliteStatement line(m_db, lineSql.c_str());
        if (!line.Ok()) return fail(sqlite3_errmsg(m_db));
        for (size_t i = 0; i < block.Players.size(); ++i) {
            const PlayerLine& p = block.Players[i];
            sqlite3_reset(*line);
            line.Int(1, matchId);
            line.Int(2, static_cast<int64_t>(i));
            line.Blob(3, p.Name);
            line.Blob(4, Key(p.Name));
            line.Int(5, p.Team);
            for (size_t s = 0; s < kStatCount; ++s) line.Int(static_cast<int>(6 + s), p.Totals[s]);
            if (sqlite3_step(*line) != SQLITE_DONE || !SeeName(p.Name, now))
                return fail(sqlite3_errmsg(m_db));
        }
        if (!AddToTotals(matchId, block)) return fail(sqlite3_errmsg(m_db));
    }
    if (!uploadId.empty()) {
        SqliteStatement id(
            m_db, "INSERT INTO svc_upload_ids(code, upload_id, digest, received, matches) VALUES (?,?,?,?,?)");
        id.Blob(1, owner);
        id.Text(2, uploadId);
        id.Text(3, digest);
        id.Int(4, now);
        id.Int(5, static_cast<int64_t>(blocks.size()));
        if (!id.Ok() || sqlite3_step(*id) != SQLITE_DONE) return fail(sqlite3_errmsg(m_db));
    }
    if (!Commit(result.Error)) return fail(result.Error);
    result.Ok = true;
    return result;
}

bool StatsServiceStore::MovePeriodsTo(int64_t today, std::string& error) {
    if (!Begin(error)) return false;
    if (!MovePeriods(today)) {
        error = sqlite3_errmsg(m_db);
        Rollback();
        return false;
    }
    return Commit(error);
}

bool StatsServiceStore::MovePeriods(int64_t today) {
    std::vector<std::pair<int64_t, int64_t>> periods;
    {
        SqliteStatement st(m_db, "SELECT days, first_day FROM svc_periods");
        while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) periods.emplace_back(st.Int(0), st.Int(1));
        if (!st.Ok()) return false;
    }
    for (const auto& [days, first] : periods) {
        const int64_t wanted = today - (days - 1);
        if (wanted == first) continue;
        const std::string rows =
            wanted > first ? DayRangeSql(first, wanted, -1) : DayRangeSql(wanted, first, +1);
        const std::string d = std::to_string(days);
        const std::string sql =
            "INSERT INTO svc_player_periods(days, name_key, matches, " + TotalsColumns("") + ") SELECT " + d +
            ", * FROM (" + rows + ") WHERE true ON CONFLICT(days, name_key) DO UPDATE SET" + AddExcluded() +
            "; DELETE FROM svc_player_periods WHERE days = " + d +
            " AND matches <= 0; UPDATE svc_periods SET first_day = " + std::to_string(wanted) +
            " WHERE days = " + d;
        std::string error;
        if (!Exec(sql.c_str(), error)) return false;
    }
    return true;
}

bool StatsServiceStore::AddToTotals(int64_t matchId, const MatchBlock& block) {
    SqliteStatement played(m_db, "UPDATE svc_matches SET played = " + PlayedSql() + " WHERE id = ?");
    played.Int(1, matchId);
    if (!played.Ok() || sqlite3_step(*played) != SQLITE_DONE) return false;
    SqliteStatement read(m_db, "SELECT played FROM svc_matches WHERE id = ?");
    read.Int(1, matchId);
    if (!read.Ok() || sqlite3_step(*read) != SQLITE_ROW) return false;
    const int64_t when = read.Int(0);

    // One row per player of the match: the lines of all its spellings summed, named as its first.
    struct Summed {
        std::string Name;
        std::array<int64_t, kStatCount> Totals{};
    };
    std::map<std::string, Summed> players;
    for (const PlayerLine& p : block.Players) {
        auto [at, fresh] = players.try_emplace(Key(p.Name));
        if (fresh) at->second.Name = p.Name;
        for (size_t s = 0; s < kStatCount; ++s) at->second.Totals[s] += p.Totals[s];
    }
    std::string marks, added;
    for (const Statistic& s : kStatisticList) {
        marks += ",?";
        added.append(", t_")
            .append(s.Name)
            .append(" = t_")
            .append(s.Name)
            .append(" + excluded.t_")
            .append(s.Name);
    }
    const std::string columns = TotalsColumns("");
    SqliteStatement day(m_db, "INSERT INTO svc_player_days(day, name_key, matches, " + columns +
                                  ") VALUES (?,?,1" + marks +
                                  ") ON CONFLICT(day, name_key) DO UPDATE SET matches = matches + 1" + added);
    SqliteStatement period(m_db, "INSERT INTO svc_player_periods(days, name_key, matches, " + columns +
                                     ") SELECT days, ?, 1" + marks +
                                     " FROM svc_periods WHERE first_day <= ?" +
                                     " ON CONFLICT(days, name_key) DO UPDATE SET" + AddExcluded());
    SqliteStatement all(
        m_db, "INSERT INTO svc_player_totals(name_key, name, last_played, matches, " + columns +
                  ") VALUES (?,?,?,1" + marks +
                  ") ON CONFLICT(name_key) DO UPDATE SET matches = matches + 1,"
                  " name = CASE WHEN excluded.last_played >= last_played THEN excluded.name ELSE name END,"
                  " last_played = MAX(last_played, excluded.last_played)" +
                  added);
    if (!day.Ok() || !all.Ok() || !period.Ok()) return false;
    for (const auto& [key, p] : players) {
        sqlite3_reset(*day);
        sqlite3_reset(*all);
        day.Int(1, when / 86400);
        day.Blob(2, key);
        all.Blob(1, key);
        all.Blob(2, p.Name);
        all.Int(3, when);
        sqlite3_reset(*period);
        period.Blob(1, key);
        for (size_t s = 0; s < kStatCount; ++s) {
            day.Int(static_cast<int>(3 + s), p.Totals[s]);
            all.Int(static_cast<int>(4 + s), p.Totals[s]);
            period.Int(static_cast<int>(2 + s), p.Totals[s]);
        }
        period.Int(static_cast<int>(2 + kStatCount), when / 86400);
        if (sqlite3_step(*day) != SQLITE_DONE || sqlite3_step(*all) != SQLITE_DONE ||
            sqlite3_step(*period) != SQLITE_DONE)
            return false;
    }
    for (const char* table : {"svc_map_totals(map_name", "svc_server_totals(code"}) {
        const std::string key = std::string(table).substr(std::string(table).find('(') + 1);
        SqliteStatement place(m_db, std::string("INSERT INTO ") + table +
                                        ", matches, players, first_played, last_played) VALUES (?,1,?,?,?)"
                                        " ON CONFLICT(" +
                                        key +
                                        ") DO UPDATE SET matches = matches + 1,"
                                        " players = players + excluded.players,"
                                        " first_played = MIN(first_played, excluded.first_played),"
                                        " last_played = MAX(last_played, excluded.last_played)");
        place.Blob(1, key == "code" ? block.ServerCode : block.MapName);
        place.Int(2, static_cast<int64_t>(players.size()));
        place.Int(3, when);
        place.Int(4, when);
        if (!place.Ok() || sqlite3_step(*place) != SQLITE_DONE) return false;
    }
    return true;
}

std::vector<ServerNow> StatsServiceStore::ServersNow() {
    std::vector<ServerNow> servers;
    SqliteStatement st(m_db,
                       "SELECT s.public_id, st.received, st.state, st.dedicated, st.game_type, st.max_players,"
                       " st.server_name, st.map_name, st.country_code, st.expansion, st.server_message,"
                       " st.player_count, st.player_names, st.player_teams FROM svc_servers s"
                       " LEFT JOIN svc_status st ON st.code = s.code WHERE s.removed = 0 ORDER BY s.public_id");
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) {
        ServerNow s;
        s.Id = st.Int(0);
        s.Received = st.Int(1);
        StatusReport& r = s.Report;
        r.State = static_cast<int>(st.Int(2));
        r.Dedicated = st.Int(3) != 0;
        r.GameType = st.Bytes(4);
        r.MaxPlayers = static_cast<int>(st.Int(5));
        r.ServerName = st.Bytes(6);
        r.MapName = st.Bytes(7);
        r.CountryCode = st.Bytes(8);
        r.Expansion = st.Bytes(9);
        r.ServerMessage = st.Bytes(10);
        r.PlayerCount = static_cast<int>(st.Int(11));
        const std::string names = st.Bytes(12), teams = st.Bytes(13);
        const auto nameList = Lines(names), teamList = Lines(teams);
        for (size_t i = 0; i < nameList.size(); ++i)
            r.Players.push_back(
                {std::string(nameList[i]), i < teamList.size() ? std::string(teamList[i]) : ""});
        servers.push_back(std::move(s));
    }
    return servers;
}

BoardRows StatsServiceStore::Leaderboard(const BoardQuery& q) {
    const std::string search = Key(q.Search);
    const std::string found = search.empty() ? "" : " WHERE instr(name_key, ?2) > 0";
    std::string source = "(SELECT * FROM svc_player_totals" + found + ")";
    if (q.FromDay) {
        // The kept period nearest to the one asked for, corrected by the days between them; or
        // the days themselves where no kept period is near.
        const int64_t from = *q.FromDay;
        std::optional<std::pair<int64_t, int64_t>> near;
        SqliteStatement st(m_db, "SELECT days, first_day FROM svc_periods");
        while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) {
            const int64_t days = st.Int(0), first = st.Int(1);
            const int64_t gap = std::abs(first - from);
            if (gap < days && (!near || gap < std::abs(near->second - from))) near = std::pair(days, first);
        }
        const std::string sums = "SELECT name_key, SUM(matches) AS matches" + TotalsSums("") + " FROM ";
        if (near && near->second == from) {
            source = "(SELECT * FROM svc_player_periods WHERE days = " + std::to_string(near->first) +
                     (found.empty() ? "" : " AND" + found.substr(6)) + ")";
        } else if (near && near->second < from) {
            // The usual case after midnight, before the next upload: the days that have left
            // the period taken out. Their players are all in it.
            std::string less;
            for (const Statistic& s : kStatisticList)
                less.append(", p.t_")
                    .append(s.Name)
                    .append(" - COALESCE(d.t_")
                    .append(s.Name)
                    .append(", 0) AS t_")
                    .append(s.Name);
            // One day, the usual gap, is joined by its key; more are summed first.
            const std::string left = from - near->second == 1
                                         ? "svc_player_days d ON d.day = " + std::to_string(near->second) +
                                               " AND d.name_key = p.name_key"
                                         : "(" + DayRangeSql(near->second, from, +1) + ") d ON d.name_key = p.name_key";
            source = "(SELECT p.name_key, p.matches - COALESCE(d.matches, 0) AS matches" + less +
                     " FROM svc_player_periods p LEFT JOIN " + left + " WHERE p.days = " + std::to_string(near->first) +
                     " AND p.matches - COALESCE(d.matches, 0) > 0" +
                     (found.empty() ? "" : " AND instr(p.name_key, ?2) > 0") + ")";
        } else if (near) {
            source = "(" + sums + "(SELECT name_key, matches, " + TotalsColumns("") +
                     " FROM svc_player_periods WHERE days = " + std::to_string(near->first) + " UNION ALL " +
                     DayRangeSql(from, near->second, +1) + ")" + found +
                     " GROUP BY name_key HAVING SUM(matches) > 0)";
        } else {
            source = "(" + sums + "svc_player_days WHERE day >= " + std::to_string(from) +
                     (found.empty() ? "" : " AND" + found.substr(6)) + " GROUP BY name_key)";
        }
    }
    std::string order;
    switch (q.Sort) {
        case BoardSort::Score:
            order = "score";
            break;
        case BoardSort::Matches:
            order = "b.matches";
            break;
        case BoardSort::Kills:
            order = "b.t_Kills";
            break;
        case BoardSort::Deaths:
            order = "b.t_Deaths";
            break;
        case BoardSort::KillsPerDeath:
            order = "CAST(b.t_Kills AS REAL) / MAX(b.t_Deaths, 1)";
            break;
        case BoardSort::HeadShots:
            order = "b.t_HeadShots";
            break;
        case BoardSort::Targets:
            order = "b.t_Targets";
            break;
        case BoardSort::ExpPoints:
            order = "b.t_ExpPoints";
            break;
        case BoardSort::TimePlayed:
            order = "b.t_TimePlayed";
            break;
        case BoardSort::Name:
            order = "b.name_key";
            break;
    }
    const char* direction = q.Ascending ? " ASC" : " DESC";
    const std::string sql = "SELECT b.name_key, b.matches, " + ScoreSql("b.") + " AS score, " +
                            TotalsColumns("b.") + " FROM " + source + " b ORDER BY " + order + direction +
                            ", score DESC, b.name_key LIMIT ?3 OFFSET ?4";
    BoardRows board;
    SqliteStatement st(m_db, sql);
    if (!search.empty()) st.Blob(2, search);
    st.Int(3, std::max(q.Limit, 0));
    st.Int(4, std::max(q.Offset, 0));
    SqliteStatement name(m_db, "SELECT name FROM svc_player_totals WHERE name_key = ?");
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) {
        PlayerTotals t;
        t.Key = st.Bytes(0);
        t.Matches = st.Int(1);
        t.Score = st.Int(2);
        for (size_t i = 0; i < kStatCount; ++i) t.Totals[i] = st.Int(static_cast<int>(3 + i));
        sqlite3_reset(*name);
        name.Blob(1, t.Key);
        if (name.Ok() && sqlite3_step(*name) == SQLITE_ROW) t.Name = name.Bytes(0);
        board.Rows.push_back(std::move(t));
    }
    // Counted apart: a count over the sorted rows would keep every row whole, not just a page.
    {
        SqliteStatement count(m_db, "SELECT COUNT(*) FROM " + source + " b");
        if (!search.empty()) count.Blob(2, search);
        if (count.Ok() && sqlite3_step(*count) == SQLITE_ROW) board.Players = count.Int(0);
    }
    return board;
}

std::optional<PlayerPage> StatsServiceStore::Player(const std::string& key, int historyLimit) {
    PlayerPage page;
    SqliteStatement totals(
        m_db, "SELECT name, matches, " + TotalsColumns("") + " FROM svc_player_totals WHERE name_key = ?");
    totals.Blob(1, key);
    if (totals.Ok() && sqlite3_step(*totals) == SQLITE_ROW) {
        page.Totals.Name = totals.Bytes(0);
        page.Totals.Matches = totals.Int(1);
        for (size_t i = 0; i < kStatCount; ++i) page.Totals.Totals[i] = totals.Int(static_cast<int>(2 + i));
    }
    const std::string sql = std::string("SELECT ") + kMatchColumns + ", p.name, p.team, " +
                            TotalsColumns("p.") +
                            " FROM svc_player_lines p JOIN svc_matches m ON m.id = p.match_id"
                            " LEFT JOIN svc_servers s ON s.code = m.code WHERE p.name_key = ?"
                            " ORDER BY m.id DESC, p.line LIMIT ?";
    SqliteStatement st(m_db, sql.c_str());
    st.Blob(1, key);
    st.Int(2, std::max(historyLimit, 0));
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) {
        PlayerMatch row{ReadMatch(st, 0), {}};
        row.Line.Name = st.Bytes(10);
        row.Line.Team = st.Int(11);
        for (size_t i = 0; i < kStatCount; ++i) row.Line.Totals[i] = st.Int(static_cast<int>(12 + i));
        page.History.push_back(std::move(row));
    }
    SqliteStatement names(
        m_db,
        "SELECT name, first_seen, last_seen FROM svc_names WHERE name_key = ? ORDER BY last_seen DESC, name");
    names.Blob(1, key);
    while (names.Ok() && sqlite3_step(*names) == SQLITE_ROW)
        page.Names.push_back({names.Bytes(0), names.Int(1), names.Int(2)});
    if (page.Totals.Matches == 0 && page.Names.empty()) return std::nullopt;
    page.Totals.Key = key;
    if (page.Totals.Name.empty()) page.Totals.Name = page.Names.front().Name;
    page.Totals.Score = Score(page.Totals.Totals);
    return page;
}

std::optional<std::pair<MatchSummary, std::vector<PlayerLine>>> StatsServiceStore::Match(int64_t id) {
    const std::string sql = std::string("SELECT ") + kMatchColumns + kMatchFrom + " WHERE m.id = ?";
    SqliteStatement st(m_db, sql.c_str());
    st.Int(1, id);
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_ROW) return std::nullopt;
    std::pair<MatchSummary, std::vector<PlayerLine>> match{ReadMatch(st, 0), {}};
    const std::string lines =
        "SELECT name, team, " + TotalsColumns("") + " FROM svc_player_lines WHERE match_id = ? ORDER BY line";
    SqliteStatement pl(m_db, lines.c_str());
    pl.Int(1, id);
    while (pl.Ok() && sqlite3_step(*pl) == SQLITE_ROW) {
        PlayerLine line;
        line.Name = pl.Bytes(0);
        line.Team = pl.Int(1);
        for (size_t i = 0; i < kStatCount; ++i) line.Totals[i] = pl.Int(static_cast<int>(2 + i));
        match.second.push_back(std::move(line));
    }
    return match;
}

std::vector<MatchSummary> StatsServiceStore::RecentMatches(int limit) {
    const std::string sql =
        std::string("SELECT ") + kMatchColumns + kMatchFrom + " ORDER BY m.id DESC LIMIT ?";
    SqliteStatement st(m_db, sql.c_str());
    st.Int(1, limit);
    std::vector<MatchSummary> matches;
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) matches.push_back(ReadMatch(st, 0));
    return matches;
}

namespace {

PlaceTotals ReadPlace(const SqliteStatement& st) {
    return {st.Bytes(0), st.Int(1), st.Int(2), st.Int(3), st.Int(4), st.Int(5)};
}

constexpr const char* kMapColumns =
    "SELECT map_name, 0, matches, players, first_played, last_played FROM svc_map_totals";

}  // namespace

std::vector<PlaceTotals> StatsServiceStore::Maps() {
    std::vector<PlaceTotals> maps;
    SqliteStatement st(m_db, std::string(kMapColumns) + " ORDER BY matches DESC, map_name");
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) maps.push_back(ReadPlace(st));
    return maps;
}

std::optional<PlaceTotals> StatsServiceStore::Map(const std::string& name) {
    SqliteStatement st(m_db, std::string(kMapColumns) + " WHERE map_name = ?");
    st.Blob(1, name);
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_ROW) return std::nullopt;
    return ReadPlace(st);
}

std::optional<PlaceTotals> StatsServiceStore::Server(int64_t publicId) {
    // By the public id only: the code is the server's credential.
    SqliteStatement st(
        m_db,
        "SELECT COALESCE(s.name, X''), s.public_id, COALESCE(t.matches, 0), COALESCE(t.players, 0),"
        " COALESCE(t.first_played, 0), COALESCE(t.last_played, 0) FROM svc_servers s"
        " LEFT JOIN svc_server_totals t ON t.code = s.code WHERE s.public_id = ?");
    st.Int(1, publicId);
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_ROW) return std::nullopt;
    return ReadPlace(st);
}

std::vector<MatchSummary> StatsServiceStore::RecentMatchesOnMap(const std::string& name, int limit) {
    SqliteStatement st(m_db, std::string("SELECT ") + kMatchColumns + kMatchFrom +
                                 " WHERE m.map_name = ? ORDER BY m.id DESC LIMIT ?");
    st.Blob(1, name);
    st.Int(2, limit);
    std::vector<MatchSummary> matches;
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) matches.push_back(ReadMatch(st, 0));
    return matches;
}

std::vector<MatchSummary> StatsServiceStore::RecentMatchesOfServer(int64_t publicId, int limit) {
    SqliteStatement st(m_db, std::string("SELECT ") + kMatchColumns + kMatchFrom +
                                 " WHERE m.code = (SELECT code FROM svc_servers WHERE public_id = ?)"
                                 " ORDER BY m.id DESC LIMIT ?");
    st.Int(1, publicId);
    st.Int(2, limit);
    std::vector<MatchSummary> matches;
    while (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) matches.push_back(ReadMatch(st, 0));
    return matches;
}

}  // namespace tovi
