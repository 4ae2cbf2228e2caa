#include "SqliteHistoryStore.h"

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "Windows1252.h"

namespace tovi {

namespace {

// Each entry brings the schema from the version before it to its own; entry i makes version i+1.
// An entry is never changed once released: a new version adds an entry.
const char* const kMigrations[] = {
    // 1: the record.
    "CREATE TABLE matches(id INTEGER PRIMARY KEY, started INTEGER, ended INTEGER, server_name TEXT,"
    " map_name TEXT, map_file TEXT, game_type TEXT, result TEXT, players_at_end INTEGER,"
    " stats_written INTEGER, stats_refused TEXT, upload_time INTEGER, upload_outcome TEXT);"
    "CREATE TABLE stints(id INTEGER PRIMARY KEY, match_id INTEGER, name TEXT, name_key TEXT,"
    " slot INTEGER, team INTEGER, joined INTEGER, left_at INTEGER);"
    "CREATE INDEX stints_name ON stints(name_key);"
    "CREATE INDEX stints_match ON stints(match_id, name);"
    "CREATE TABLE player_stats(match_id INTEGER, name TEXT, team INTEGER, stat TEXT, value INTEGER);"
    "CREATE INDEX player_stats_match ON player_stats(match_id);"
    "CREATE TABLE chat(id INTEGER PRIMARY KEY, time INTEGER, match_id INTEGER, sent INTEGER,"
    " player TEXT, message TEXT, player_raw BLOB, message_raw BLOB);"
    "CREATE TABLE admin_actions(id INTEGER PRIMARY KEY, time INTEGER, who TEXT, action TEXT,"
    " target TEXT, reason TEXT, detail TEXT, outcome TEXT, why TEXT);"
    "CREATE TABLE server_events(id INTEGER PRIMARY KEY, time INTEGER, kind TEXT, detail TEXT);",
    // 2: full-text search of chat, over the lines already kept too.
    "CREATE VIRTUAL TABLE chat_fts USING fts5(player, message, content='chat', content_rowid='id');"
    "INSERT INTO chat_fts(chat_fts) VALUES('rebuild');"
    "CREATE TRIGGER chat_fts_insert AFTER INSERT ON chat BEGIN"
    " INSERT INTO chat_fts(rowid, player, message) VALUES (new.id, new.player, new.message); END;"
    "CREATE TRIGGER chat_fts_delete AFTER DELETE ON chat BEGIN"
    " INSERT INTO chat_fts(chat_fts, rowid, player, message) VALUES ('delete', old.id, old.player, "
    "old.message); END;",
    // 3: prefixes of 2 to 5 characters get an index of their own: a search as it is typed would
    // otherwise gather the lists of every word that begins so. Segments are merged by the store
    // between commits (automerge off) instead of in bursts inside a tick's commit.
    "DROP TRIGGER chat_fts_insert;"
    "DROP TRIGGER chat_fts_delete;"
    "DROP TABLE chat_fts;"
    "CREATE VIRTUAL TABLE chat_fts USING fts5(player, message, content='chat', content_rowid='id',"
    " prefix='2 3 4 5');"
    "INSERT INTO chat_fts(chat_fts) VALUES('rebuild');"
    "INSERT INTO chat_fts(chat_fts) VALUES('optimize');"
    "INSERT INTO chat_fts(chat_fts, rank) VALUES('automerge', 0);"
    "CREATE TRIGGER chat_fts_insert AFTER INSERT ON chat BEGIN"
    " INSERT INTO chat_fts(rowid, player, message) VALUES (new.id, new.player, new.message); END;"
    "CREATE TRIGGER chat_fts_delete AFTER DELETE ON chat BEGIN"
    " INSERT INTO chat_fts(chat_fts, rowid, player, message) VALUES ('delete', old.id, old.player, "
    "old.message); END;",
};
static_assert(std::size(kMigrations) == SqliteHistoryStore::kSchemaVersion);

constexpr const char* kInsertMatch =
    "INSERT INTO matches(id, started, server_name, map_name, map_file, game_type) VALUES (?,?,?,?,?,?)";
constexpr const char* kEndMatch =
    "UPDATE matches SET ended=?, result=?, players_at_end=?, stats_written=?, stats_refused=? WHERE id=?";
constexpr const char* kUploaded =
    "UPDATE matches SET upload_time = ?, upload_outcome = 'uploaded' WHERE id IN (SELECT id FROM matches"
    " WHERE stats_written = 1 AND upload_outcome IS NULL ORDER BY id LIMIT ?)";
constexpr const char* kCloseStints = "UPDATE stints SET left_at=? WHERE match_id=? AND left_at IS NULL";
constexpr const char* kInsertStint =
    "INSERT INTO stints(match_id, name, name_key, slot, team, joined) VALUES (?,?,?,?,?,?)";
constexpr const char* kEndStint =
    "UPDATE stints SET left_at=? WHERE match_id=? AND name=? AND left_at IS NULL";
constexpr const char* kInsertStat =
    "INSERT INTO player_stats(match_id, name, team, stat, value) VALUES (?,?,?,?,?)";
constexpr const char* kInsertChat =
    "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw) VALUES (?,?,?,?,?,?,?)";
constexpr const char* kInsertAdmin =
    "INSERT INTO admin_actions(time, who, action, target, reason, detail, outcome, why) VALUES "
    "(?,?,?,?,?,?,?,?)";
constexpr const char* kInsertEvent = "INSERT INTO server_events(time, kind, detail) VALUES (?,?,?)";
constexpr const char* kMergeStep = "INSERT INTO chat_fts(chat_fts, rank) VALUES('merge', ?)";

std::string ToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const char32_t c = Windows1252ToUnicode(static_cast<unsigned char>(ch));
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// What the operator typed, as an FTS5 query of its words, each a quoted prefix: the text is
// never taken for the query language's operators. A single letter is a word of its own: as a
// prefix it would gather the lists of a good part of all words, which no prefix index holds.
std::string FtsQuery(const std::string& utf8) {
    std::string query, word;
    auto flush = [&] {
        if (word.empty()) return;
        if (!query.empty()) query += ' ';
        query += '"';
        size_t characters = 0;
        for (char c : word) {
            query += c == '"' ? std::string("\"\"") : std::string(1, c);
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
        }
        query += characters > 1 ? "\"*" : "\"";
        word.clear();
    };
    for (char c : utf8) {
        if (c == ' ' || c == '\t')
            flush();
        else
            word += c;
    }
    flush();
    return query;
}

std::string LikePattern(const std::string& utf8) {
    std::string p = "%";
    for (char c : utf8) {
        if (c == '%' || c == '_' || c == '\\') p += '\\';
        p += c;
    }
    return p + "%";
}

std::string OpenProblem(const std::string& path, sqlite3* db, int rc) {
    const std::string what = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
        return "The history database " + path + " is damaged (" + what +
               "): it is left as it is and no history is kept. Move it away to start a new one.";
    }
    return "The history database " + path + " cannot be opened (" + what + "): no history is kept.";
}

struct Connection {
    sqlite3* Db = nullptr;
    ~Connection() { sqlite3_close_v2(Db); }
    sqlite3* Release() { return std::exchange(Db, nullptr); }
};

// user_version, or the SQLite error code as a negative number.
int SchemaVersion(sqlite3* db, int& rc) {
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr);
    int version = -1;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            version = sqlite3_column_int(st, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(st);
    return version;
}

}  // namespace

SqliteHistoryStore::Opened SqliteHistoryStore::Open(const std::string& path, LogFn log, int schemaVersion) {
    Opened opened;
    int rc = SQLITE_OK;
    {
        // A first look, read only: a newer or damaged database must not be touched, not even
        // turned to WAL mode.
        Connection probe;
        rc = sqlite3_open_v2(path.c_str(), &probe.Db, SQLITE_OPEN_READONLY, nullptr);
        if (rc == SQLITE_OK) {
            const int version = SchemaVersion(probe.Db, rc);
            if (rc != SQLITE_OK) {
                opened.Error = OpenProblem(path, probe.Db, rc);
                return opened;
            }
            if (version > kSchemaVersion) {
                opened.Error = "The history database " + path +
                               " was written by a newer version of Tovi stats (schema " +
                               std::to_string(version) + ", this version knows up to " +
                               std::to_string(kSchemaVersion) +
                               "): it is left as it is and no history is kept. Use the newer version, or "
                               "move the file away.";
                return opened;
            }
        }
        // A file that is not there yet is made below.
    }

    Connection conn;
    rc = sqlite3_open_v2(path.c_str(), &conn.Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        opened.Error = OpenProblem(path, conn.Db, rc);
        return opened;
    }
    sqlite3_extended_result_codes(conn.Db, 0);
    auto exec = [&](const char* sql) {
        rc = sqlite3_exec(conn.Db, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK;
    };
    // synchronous=NORMAL: a commit in WAL mode survives the program's crash without waiting for
    // the disk at every tick; a power cut may lose the last ticks.
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL")) {
        opened.Error = OpenProblem(path, conn.Db, rc);
        return opened;
    }
    const int version = SchemaVersion(conn.Db, rc);
    if (rc != SQLITE_OK) {
        opened.Error = OpenProblem(path, conn.Db, rc);
        return opened;
    }
    if (version > kSchemaVersion) {  // written in between by a newer version
        opened.Error = "The history database " + path +
                       " was written by a newer version of Tovi stats: no history is kept.";
        return opened;
    }
    for (int v = version; v < schemaVersion; ++v) {
        const std::string setVersion = "PRAGMA user_version=" + std::to_string(v + 1);
        if (!exec("BEGIN IMMEDIATE") || !exec(kMigrations[v]) || !exec(setVersion.c_str()) ||
            !exec("COMMIT")) {
            opened.Error = "The history database " + path + " could not be brought to schema " +
                           std::to_string(v + 1) + " (" + sqlite3_errmsg(conn.Db) + "): no history is kept.";
            sqlite3_exec(conn.Db, "ROLLBACK", nullptr, nullptr, nullptr);
            return opened;
        }
    }
    // A migration that rebuilt an index leaves a large WAL: it goes into the database now, before
    // the first tick.
    if (version > 0 && version < schemaVersion) exec("PRAGMA wal_checkpoint(TRUNCATE)");
    opened.Store.reset(new SqliteHistoryStore(conn.Release(), path, std::move(log)));
    return opened;
}

// The upkeep of the file, on a thread of its own with a connection of its own that never touches
// the store's: the full-text index's segment merging after each flush, and copying the WAL back
// into the database (a checkpoint) once it has grown. Either, on the event loop, would now and
// then freeze the window: a merge step finishes whole words, and a common word's list in a large
// index takes 100 ms and more to rewrite; a checkpoint waits for two fsyncs, 5 to 20 ms on a quiet
// disk even for a few pages and far more on a busy one. A merge step holds the write lock, so it
// starts right after a flush and has the second until the next tick to itself; a flush that still
// finds it under way waits for its end. A PASSIVE checkpoint takes no lock that a commit waits for.
class SqliteHistoryStore::Upkeep {
public:
    // Null when the second connection cannot be had; the store then merges after its flushes and
    // SQLite checkpoints in the commit.
    static std::unique_ptr<Upkeep> Start(const std::string& path) {
        sqlite3* db = nullptr;
        // A connection checkpoints only once it has read the database in WAL mode.
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(db);
            return nullptr;
        }
        return std::unique_ptr<Upkeep>(new Upkeep(db));
    }
    ~Upkeep() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
        sqlite3_finalize(m_merge);
        sqlite3_close_v2(m_db);
    }
    Upkeep(const Upkeep&) = delete;
    Upkeep& operator=(const Upkeep&) = delete;

    // Called after a commit; only flags the work, never waits for it.
    void Request(bool checkpoint) {
        {
            std::lock_guard lock(m_mutex);
            m_mergeDue = true;
            m_checkpointDue = m_checkpointDue || checkpoint;
        }
        m_wake.notify_one();
    }
    bool Busy() {
        std::lock_guard lock(m_mutex);
        return m_mergeDue || m_checkpointDue || m_running;
    }
    uint64_t Checkpoints() const { return m_checkpoints.load(); }

private:
    explicit Upkeep(sqlite3* db) : m_db(db), m_thread([this] { Run(); }) {}

    void Run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_mergeDue || m_checkpointDue || m_stop; });
            if (m_stop) return;
            const bool merge = std::exchange(m_mergeDue, false);
            const bool checkpoint = std::exchange(m_checkpointDue, false);
            m_running = true;
            lock.unlock();
            if (merge) Merge();
            // A checkpoint that fails (a full disk) leaves the WAL as it is; a later commit asks again.
            int frames = 0, copied = 0;
            if (checkpoint &&
                sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied) ==
                    SQLITE_OK &&
                copied > 0)
                ++m_checkpoints;
            lock.lock();
            m_running = false;
        }
    }

    // One step of merging. It never waits for the store's lock, and a step that fails costs no
    // history: the next flush asks again.
    void Merge() {
        if (!m_merge && sqlite3_prepare_v2(m_db, kMergeStep, -1, &m_merge, nullptr) != SQLITE_OK) return;
        if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
            sqlite3_bind_int(m_merge, 1, kMergePages);
            const bool ok = sqlite3_step(m_merge) == SQLITE_DONE;
            sqlite3_reset(m_merge);
            if (ok) sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        }
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }

    sqlite3* m_db;
    sqlite3_stmt* m_merge = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_mergeDue = false;
    bool m_checkpointDue = false;
    bool m_stop = false;
    bool m_running = false;
    std::atomic<uint64_t> m_checkpoints{0};
    std::thread m_thread;  // last: it starts on the members above
};

SqliteHistoryStore::SqliteHistoryStore(sqlite3* db, const std::string& path, LogFn log)
    : m_db(db), m_log(std::move(log)), m_upkeep(Upkeep::Start(path)) {
    if (sqlite3_stmt* st = Statement("SELECT coalesce(max(id), 0) FROM matches");
        st && sqlite3_step(st) == SQLITE_ROW) {
        m_nextMatchId = sqlite3_column_int64(st, 0) + 1;
        sqlite3_reset(st);
    }
    if (m_upkeep) {
        // A flush that finds the upkeep thread's merge step under way (it outlasted the second
        // between two ticks, or the flush came between ticks) waits for its end; a lock held by
        // anyone else fails the flush after a while.
        sqlite3_busy_handler(
            m_db,
            [](void* store, int tries) {
                if (tries >= kLockWaitMs && !static_cast<SqliteHistoryStore*>(store)->m_upkeep->Busy())
                    return 0;
                sqlite3_sleep(1);
                return 1;
            },
            this);
        // Replaces SQLite's automatic checkpoint, which would run inside the commit.
        sqlite3_wal_hook(
            m_db,
            [](void* store, sqlite3*, const char*, int pages) {
                static_cast<SqliteHistoryStore*>(store)->m_walPages = pages;
                return SQLITE_OK;
            },
            this);
    }
}

SqliteHistoryStore::~SqliteHistoryStore() {
    sqlite3_wal_hook(m_db, nullptr, nullptr);
    sqlite3_busy_handler(m_db, nullptr, nullptr);
    m_upkeep.reset();
    Flush();
    for (auto& [sql, st] : m_statements) sqlite3_finalize(st);
    sqlite3_close_v2(m_db);  // the last connection: it checkpoints what is left
}

uint64_t SqliteHistoryStore::CheckpointsDone() const {
    return m_upkeep ? m_upkeep->Checkpoints() : 0;
}

bool SqliteHistoryStore::UpkeepBusy() const {
    return m_upkeep && m_upkeep->Busy();
}

sqlite3_stmt* SqliteHistoryStore::Statement(const char* sql) {
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) return it->second;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) != SQLITE_OK) return nullptr;
    m_statements.emplace(sql, st);
    return st;
}

std::string SqliteHistoryStore::LastError() const {
    return sqlite3_errmsg(m_db);
}

void SqliteHistoryStore::Queue(const char* sql, std::vector<Value> values) {
    if (m_pending.size() >= kMaxPending) {
        m_pending.erase(m_pending.begin());
        ++m_dropped;
    }
    m_pending.push_back({sql, std::move(values)});
}

// BEGIN, COMMIT and ROLLBACK come at every tick: prepared once, like the writes.
bool SqliteHistoryStore::Exec(const char* sql) {
    sqlite3_stmt* st = Statement(sql);
    if (!st) return false;
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
}

bool SqliteHistoryStore::Run(const Write& write) {
    sqlite3_stmt* st = Statement(write.Sql);
    if (!st) return false;
    int i = 1;
    for (const Value& v : write.Values) {
        int rc = SQLITE_OK;
        if (std::holds_alternative<std::nullptr_t>(v)) {
            rc = sqlite3_bind_null(st, i);
        } else if (auto* n = std::get_if<int64_t>(&v)) {
            rc = sqlite3_bind_int64(st, i, *n);
        } else if (auto* s = std::get_if<std::string>(&v)) {
            rc = sqlite3_bind_text64(st, i, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        } else {
            const std::string& b = std::get<Blob>(v).Bytes;
            rc = sqlite3_bind_blob64(st, i, b.data(), b.size(), SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK) {
            sqlite3_reset(st);
            return false;
        }
        ++i;
    }
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc == SQLITE_DONE;
}

void SqliteHistoryStore::Flush() {
    if (m_pending.empty()) return;
    bool ok = Exec("BEGIN IMMEDIATE");
    for (size_t i = 0; ok && i < m_pending.size(); ++i) ok = Run(m_pending[i]);
    ok = ok && Exec("COMMIT");
    if (!ok) {
        const std::string why = LastError();
        Exec("ROLLBACK");
        if (!m_failing) {
            m_failing = true;
            if (m_log)
                m_log("History could not be written (" + why +
                      "): it is kept in memory and written once the disk allows");
        }
        return;
    }
    m_pending.clear();
    // A few pages of the full-text index's segment merging after each flush (automatic merging is
    // off): steady and small, where SQLite's own would do hundreds of pages in one commit now and
    // then. Without the upkeep thread, here, in a transaction of its own that may fail at no cost.
    if (m_upkeep) {
        m_upkeep->Request(m_walPages >= kCheckpointPages);
    } else if (sqlite3_stmt* st = Statement(kMergeStep)) {
        sqlite3_bind_int(st, 1, kMergePages);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    if (m_failing) {
        m_failing = false;
        if (m_log) {
            std::string line = "History is written again";
            if (m_dropped > 0)
                line += "; " + std::to_string(m_dropped) + " entries were lost while it could not be";
            m_log(line);
        }
        m_dropped = 0;
    }
}

void SqliteHistoryStore::MatchStarted(const MatchStart& m) {
    m_matchId = m_nextMatchId++;
    Queue(kInsertMatch, {m_matchId, m.Time, ToUtf8(m.ServerName), ToUtf8(m.MapName), ToUtf8(m.MapFile),
                         ToUtf8(m.GameType)});
}

void SqliteHistoryStore::MatchEnded(const MatchEnd& m) {
    if (m_matchId == 0) return;
    Queue(kEndMatch, {m.Time, m.Result.empty() ? Value(nullptr) : Value(ToUtf8(m.Result)),
                      int64_t{m.PlayersAtEnd}, int64_t{m.StatsWritten ? 1 : 0},
                      m.StatsRefused.empty() ? Value(nullptr) : Value(ToUtf8(m.StatsRefused)), m_matchId});
    Queue(kCloseStints, {m.Time, m_matchId});
}

void SqliteHistoryStore::StatsUploaded(int64_t time, int matches) {
    Queue(kUploaded, {time, int64_t{matches}});
}

void SqliteHistoryStore::PlayerJoined(int64_t time, const std::string& name, int slot, int team) {
    Queue(kInsertStint,
          {m_matchId, ToUtf8(name), ToUtf8(LowerCase1252(name)), int64_t{slot}, int64_t{team}, time});
}

void SqliteHistoryStore::PlayerLeft(int64_t time, const std::string& name) {
    Queue(kEndStint, {time, m_matchId, ToUtf8(name)});
}

void SqliteHistoryStore::PlayerStats(const std::string& name, int team,
                                     const std::vector<PlayerStat>& stats) {
    for (const PlayerStat& s : stats)
        Queue(kInsertStat, {m_matchId, ToUtf8(name), int64_t{team}, s.Name, s.Value});
}

void SqliteHistoryStore::ChatRead(int64_t time, const std::string& sender, const std::string& message) {
    Queue(kInsertChat,
          {time, m_matchId, int64_t{0}, ToUtf8(sender), ToUtf8(message), Blob{sender}, Blob{message}});
}

void SqliteHistoryStore::ChatSent(int64_t time, const std::string& target, const std::string& message) {
    Queue(kInsertChat,
          {time, m_matchId, int64_t{1}, ToUtf8(target), ToUtf8(message), Blob{target}, Blob{message}});
}

void SqliteHistoryStore::AdminActionDone(const AdminAction& a) {
    Queue(kInsertAdmin, {a.Time, ToUtf8(a.Who), ToUtf8(a.Action), ToUtf8(a.Target), ToUtf8(a.Reason),
                         ToUtf8(a.Detail), std::string(OutcomeText(a.Result)), ToUtf8(a.Why)});
}

void SqliteHistoryStore::ServerEvent(int64_t time, const std::string& kind, const std::string& detail) {
    Queue(kInsertEvent, {time, kind, ToUtf8(detail)});
}

std::vector<HistoryRow> SqliteHistoryStore::Search(HistoryKind kind, const std::string& text, int limit) {
    // What is still waiting is found too.
    Flush();
    const std::string utf8 = ToUtf8(text);
    const bool all = FtsQuery(utf8).empty();
    const char* sql = nullptr;
    std::vector<std::string> params;
    switch (kind) {
        case HistoryKind::Chat:
            sql = all ? "SELECT 'chat', time, player_raw, message_raw, CASE sent WHEN 1 THEN 'sent' ELSE "
                        "'read' END"
                        " FROM chat ORDER BY id DESC LIMIT ?"
                      : "SELECT 'chat', c.time, c.player_raw, c.message_raw, CASE c.sent WHEN 1 THEN 'sent' "
                        "ELSE 'read' END"
                        // The index hands out its newest matches first; only those are looked up, so a
                        // common word costs the limit, not every line that holds it.
                        " FROM (SELECT rowid FROM chat_fts WHERE chat_fts MATCH ? ORDER BY rowid DESC LIMIT ?) m"
                        " JOIN chat c ON c.id = m.rowid ORDER BY c.id DESC";
            if (!all) params.push_back(FtsQuery(utf8));
            break;
        case HistoryKind::Players:
            sql =
                "SELECT 'player', joined, name, 'slot ' || slot || ', team ' || team,"
                " coalesce('left ' || left_at, 'playing') FROM stints WHERE name_key LIKE ? ESCAPE '\\'"
                " ORDER BY id DESC LIMIT ?";
            params.push_back(LikePattern(ToUtf8(LowerCase1252(text))));
            break;
        case HistoryKind::Admin:
            sql =
                "SELECT 'admin', time, target, action || ' ' || outcome || CASE WHEN why <> '' THEN ': ' || "
                "why ELSE '' END,"
                " who || CASE WHEN reason <> '' THEN ' ' || reason ELSE '' END"
                " || CASE WHEN detail <> '' THEN ' ' || detail ELSE '' END FROM admin_actions"
                " WHERE who LIKE ?1 ESCAPE '\\' OR action LIKE ?1 ESCAPE '\\' OR target LIKE ?1 ESCAPE '\\'"
                " OR reason LIKE ?1 ESCAPE '\\' OR detail LIKE ?1 ESCAPE '\\' ORDER BY id DESC LIMIT ?2";
            params.push_back(LikePattern(utf8));
            break;
    }
    std::vector<HistoryRow> rows;
    sqlite3_stmt* st = Statement(sql);
    if (!st) return rows;
    int i = 1;
    for (const std::string& p : params)
        sqlite3_bind_text64(st, i++, p.data(), p.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    sqlite3_bind_int(st, i, limit);
    auto column = [st](int c) {
        const void* data = sqlite3_column_blob(st, c);
        const int size = sqlite3_column_bytes(st, c);
        return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
    };
    // Blobs are the game's own bytes; text columns hold UTF-8 and go back to the game's bytes.
    auto text1252 = [&](int c) {
        return sqlite3_column_type(st, c) == SQLITE_BLOB ? column(c) : Utf8ToWindows1252(column(c));
    };
    while (sqlite3_step(st) == SQLITE_ROW) {
        rows.push_back({column(0), sqlite3_column_int64(st, 1), text1252(2), text1252(3), text1252(4)});
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rows;
}

}  // namespace tovi
