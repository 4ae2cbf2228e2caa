#include "SqliteHistoryStore.h"

#include <sqlite3.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "HistoryRowSql.h"
#include "Windows1252.h"
#include "WriteReport.h"

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
    // 4: the ban list: the program's own bans and the warnings given to players (SqliteBanStore).
    "CREATE TABLE bans(id INTEGER PRIMARY KEY, name TEXT NOT NULL, name_key TEXT NOT NULL, name_raw BLOB,"
    " exact_case INTEGER NOT NULL DEFAULT 0, reason TEXT, issued_by TEXT, issued_at INTEGER, expires_at INTEGER,"
    " notes TEXT, lifted_at INTEGER, lifted_by TEXT, lift_reason TEXT);"
    "CREATE INDEX bans_name ON bans(name_key);"
    "CREATE TABLE warnings(id INTEGER PRIMARY KEY, name TEXT NOT NULL, name_key TEXT NOT NULL, name_raw BLOB,"
    " time INTEGER, issued_by TEXT, text TEXT);"
    "CREATE INDEX warnings_name ON warnings(name_key, time);",
    // 5: notices not yet delivered, one row per notice and sink (SqliteNoticeQueue).
    "CREATE TABLE notice_queue(seq INTEGER PRIMARY KEY AUTOINCREMENT, sink BLOB NOT NULL, uid BLOB NOT NULL,"
    " event BLOB NOT NULL, created INTEGER NOT NULL, title BLOB, fields BLOB);"
    "CREATE INDEX notice_queue_sink ON notice_queue(sink, seq);",
    // 6: the web panel's accounts and their API tokens, both only as hashes (SqliteAccountStore).
    "CREATE TABLE accounts(id INTEGER PRIMARY KEY, name TEXT NOT NULL, name_key TEXT NOT NULL UNIQUE,"
    " role TEXT NOT NULL, password_hash TEXT NOT NULL, created INTEGER NOT NULL, last_login INTEGER);"
    "CREATE TABLE account_tokens(id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL, token_hash BLOB NOT NULL"
    " UNIQUE, created INTEGER NOT NULL);",
    // 7: history batches for a shared database that it has not yet confirmed (PgHistoryStore),
    // in the order they are to be written, each with the key the database knows it by.
    // (In parentheses: clang takes a two-piece literal beside a one-piece one for a missing
    // comma; the static_assert below counts the entries.)
    ("CREATE TABLE shared_outbox(seq INTEGER PRIMARY KEY AUTOINCREMENT, instance INTEGER NOT NULL,"
     " batch INTEGER NOT NULL, rows BLOB NOT NULL);"),
    // 8: what the shared database's history must know of this server before it answers: the next
    // match's number, so that a program that starts while the database is away numbers on.
    "CREATE TABLE shared_state(name TEXT PRIMARY KEY, value INTEGER NOT NULL);",
    // 9: a panel session holds its account to the stamp it logged in under; accounts made before
    // carry 1 until their next change.
    "ALTER TABLE accounts ADD COLUMN credential_version INTEGER NOT NULL DEFAULT 1;",
    // 10: the shared database's accounts as last read from it, with the hashes it keeps, so that
    // the panel starts and lets them in while that database is away (SharedAccountStore), and
    // which database that was; and which accounts the running program's panel checks, so that the
    // account commands can tell when their change does not reach it.
    "CREATE TABLE shared_accounts(id INTEGER PRIMARY KEY, name TEXT NOT NULL, name_key TEXT NOT NULL UNIQUE,"
    " role TEXT NOT NULL, password_hash TEXT NOT NULL, created INTEGER NOT NULL, last_login INTEGER,"
    " credential_version INTEGER NOT NULL);"
    "CREATE TABLE shared_account_tokens(id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL,"
    " token_hash BLOB NOT NULL UNIQUE, created INTEGER NOT NULL);"
    "CREATE TABLE shared_accounts_source(description TEXT NOT NULL);"
    "CREATE TABLE panel_accounts(store TEXT NOT NULL, process INTEGER NOT NULL);",
    // 11: searches by player and by time read only the rows they find. A chat line's sender and an
    // admin action's target are kept folded, as stints keep their names (rows kept before get
    // theirs here); chat, admin actions and events are indexed by their time. Each table's rows
    // are counted as they come and go, so that the record's size is known without counting them.
    "ALTER TABLE chat ADD COLUMN player_key TEXT;"
    "UPDATE chat SET player_key = tovi_fold(coalesce(player_raw, player));"
    "CREATE INDEX chat_player ON chat(player_key);"
    "CREATE INDEX chat_time ON chat(time);"
    "ALTER TABLE admin_actions ADD COLUMN target_key TEXT;"
    "UPDATE admin_actions SET target_key = tovi_fold(target);"
    "CREATE INDEX admin_actions_target ON admin_actions(target_key);"
    "CREATE INDEX admin_actions_time ON admin_actions(time);"
    "CREATE INDEX server_events_time ON server_events(time);"
    "CREATE TABLE row_counts(name TEXT PRIMARY KEY, n INTEGER NOT NULL);"
    "INSERT INTO row_counts SELECT 'matches', count(*) FROM matches UNION ALL SELECT 'stints', count(*) FROM stints"
    " UNION ALL SELECT 'chat', count(*) FROM chat UNION ALL SELECT 'admin_actions', count(*) FROM admin_actions"
    " UNION ALL SELECT 'server_events', count(*) FROM server_events;"
    "CREATE TRIGGER matches_counted AFTER INSERT ON matches BEGIN"
    " UPDATE row_counts SET n = n + 1 WHERE name = 'matches'; END;"
    "CREATE TRIGGER matches_uncounted AFTER DELETE ON matches BEGIN"
    " UPDATE row_counts SET n = n - 1 WHERE name = 'matches'; END;"
    "CREATE TRIGGER stints_counted AFTER INSERT ON stints BEGIN"
    " UPDATE row_counts SET n = n + 1 WHERE name = 'stints'; END;"
    "CREATE TRIGGER stints_uncounted AFTER DELETE ON stints BEGIN"
    " UPDATE row_counts SET n = n - 1 WHERE name = 'stints'; END;"
    "CREATE TRIGGER chat_counted AFTER INSERT ON chat BEGIN"
    " UPDATE row_counts SET n = n + 1 WHERE name = 'chat'; END;"
    "CREATE TRIGGER chat_uncounted AFTER DELETE ON chat BEGIN"
    " UPDATE row_counts SET n = n - 1 WHERE name = 'chat'; END;"
    "CREATE TRIGGER admin_actions_counted AFTER INSERT ON admin_actions BEGIN"
    " UPDATE row_counts SET n = n + 1 WHERE name = 'admin_actions'; END;"
    "CREATE TRIGGER admin_actions_uncounted AFTER DELETE ON admin_actions BEGIN"
    " UPDATE row_counts SET n = n - 1 WHERE name = 'admin_actions'; END;"
    "CREATE TRIGGER server_events_counted AFTER INSERT ON server_events BEGIN"
    " UPDATE row_counts SET n = n + 1 WHERE name = 'server_events'; END;"
    "CREATE TRIGGER server_events_uncounted AFTER DELETE ON server_events BEGIN"
    " UPDATE row_counts SET n = n - 1 WHERE name = 'server_events'; END;",
    // 12: a line the program sent keeps when the game was seen showing it (its read-back). (The
    // shared database's words index has the same number.)
    "ALTER TABLE chat ADD COLUMN read_back_at INTEGER;",
};
static_assert(std::size(kMigrations) == SqliteHistoryStore::kSchemaVersion);

constexpr const char* kInsertMatch =
    "INSERT INTO matches(id, started, server_name, map_name, map_file, game_type) VALUES (?,?,?,?,?,?)";
constexpr const char* kEndMatch =
    "UPDATE matches SET ended=?, result=?, players_at_end=?, stats_written=?, stats_refused=? WHERE id=?";
constexpr const char* kUploaded =
    "UPDATE matches SET upload_time = ?, upload_outcome = 'uploaded' WHERE id IN (SELECT id FROM matches"
    " WHERE stats_written = 1 AND upload_outcome IS NULL ORDER BY id LIMIT ?)";
constexpr const char* kSavedLater =
    "UPDATE matches SET stats_written = 1, stats_refused = NULL WHERE id IN (SELECT id FROM matches"
    " WHERE stats_written = 0 AND stats_refused = ? ORDER BY id LIMIT ?)";
constexpr const char* kCloseStints = "UPDATE stints SET left_at=? WHERE match_id=? AND left_at IS NULL";
constexpr const char* kInsertStint =
    "INSERT INTO stints(match_id, name, name_key, slot, team, joined) VALUES (?,?,?,?,?,?)";
constexpr const char* kEndStint =
    "UPDATE stints SET left_at=? WHERE match_id=? AND name=? AND left_at IS NULL";
constexpr const char* kInsertStat =
    "INSERT INTO player_stats(match_id, name, team, stat, value) VALUES (?,?,?,?,?)";
constexpr const char* kInsertChat =
    "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw, player_key)"
    " VALUES (?,?,?,?,?,?,?,?)";
constexpr const char* kInsertAdmin =
    "INSERT INTO admin_actions(time, who, action, target, reason, detail, outcome, why, target_key) VALUES "
    "(?,?,?,?,?,?,?,?,?)";
// Before the folded names (schema 11): only tests open a store at an older schema to write it.
constexpr const char* kInsertChatUnkeyed =
    "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw) VALUES (?,?,?,?,?,?,?)";
constexpr const char* kInsertAdminUnkeyed =
    "INSERT INTO admin_actions(time, who, action, target, reason, detail, outcome, why) VALUES "
    "(?,?,?,?,?,?,?,?)";
constexpr const char* kInsertEvent = "INSERT INTO server_events(time, kind, detail) VALUES (?,?,?)";
// The newest line sent at that time with that text and not yet seen read back.
constexpr const char* kReadBack =
    "UPDATE chat SET read_back_at = ? WHERE id = (SELECT id FROM chat WHERE time = ? AND sent = 1 AND message_raw = ?"
    " AND read_back_at IS NULL ORDER BY id DESC LIMIT 1)";
constexpr const char* kMergeStep = "INSERT INTO chat_fts(chat_fts, rank) VALUES('merge', ?)";

std::string ToUtf8(const std::string& bytes) {
    return Windows1252ToUtf8(bytes);
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

// A column's value as Windows-1252 bytes with small letters, in `out`. Blobs are the game's own
// bytes; text columns hold UTF-8, most of it plain ASCII, which needs no conversion.
void Folded(sqlite3_value* value, std::string& out) {
    const bool blob = sqlite3_value_type(value) == SQLITE_BLOB;
    const auto* data = static_cast<const char*>(blob ? sqlite3_value_blob(value) : sqlite3_value_text(value));
    const auto size = static_cast<size_t>(sqlite3_value_bytes(value));
    out.assign(data ? data : "", data ? size : 0);
    if (!blob && std::any_of(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        out = Utf8ToWindows1252(out);
    for (char& c : out) c = LowerCase1252(c);
}

// tovi_fold(text): the text with its letters small, as LowerCase1252 makes them, in UTF-8.
void FoldFunction(sqlite3_context* context, int, sqlite3_value** args) {
    if (sqlite3_value_type(args[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    std::string folded;
    Folded(args[0], folded);
    folded = ToUtf8(folded);
    sqlite3_result_text64(context, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// tovi_contains(column, part): 1 when the column holds `part` (Windows-1252 bytes, letters
// already small) with its letters made small. Searches run it on every row they look at, so it
// keeps its buffer.
void ContainsFunction(sqlite3_context* context, int, sqlite3_value** args) {
    thread_local std::string haystack;
    if (sqlite3_value_type(args[0]) == SQLITE_NULL) {
        sqlite3_result_int(context, 0);
        return;
    }
    Folded(args[0], haystack);
    const auto* part = static_cast<const char*>(sqlite3_value_blob(args[1]));
    const auto partSize = static_cast<size_t>(sqlite3_value_bytes(args[1]));
    const bool found = haystack.find(std::string_view(part ? part : "", part ? partSize : 0)) != std::string::npos;
    sqlite3_result_int(context, found ? 1 : 0);
}

// A statement made for one query.
struct Prepared {
    sqlite3_stmt* St = nullptr;
    Prepared(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &St, nullptr) != SQLITE_OK) {
            sqlite3_finalize(St);
            St = nullptr;
        }
    }
    ~Prepared() { sqlite3_finalize(St); }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
};

std::string ColumnBytes(sqlite3_stmt* st, int c) {
    const void* data = sqlite3_column_blob(st, c);
    const int size = sqlite3_column_bytes(st, c);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
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
#ifndef _WIN32
    // A record an older version left readable to every local user is its user's alone from now on
    // (SQLite gives its journal files the record's own mode).
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        const std::string file = path + suffix;
        if (::stat(file.c_str(), &st) == 0 && (st.st_mode & 077) != 0) ::chmod(file.c_str(), st.st_mode & 0700);
    }
#endif
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
    // The move to folded names folds the rows kept so far as the program does.
    sqlite3_create_function(conn.Db, "tovi_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FoldFunction,
                            nullptr, nullptr);
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

// The writer: the record's disk work, on a thread of its own with a connection of its own. The
// program keeps to one thread; this is the one exception, because a tick's commit and its chat
// index entries cost more than the poll itself. The event loop only builds the rows and hands each
// tick's batch over; the thread gathers a few ticks' batches (kTicksPerCommit, or what came within
// kCommitDelayMs of the first) and commits them in one transaction, so a kill loses at most the
// batches in hand: a few seconds of history. Most of a commit's cost is per transaction, not per
// row: the pages a tick touches are mostly those the next one touches again, and every commit
// makes the full-text index a new segment that must be merged later. Between commits, on the same thread and so never in a batch's way, it does
// the file's upkeep: a few pages of the full-text index's segment merging after each commit, and
// copying the WAL back into the database (a checkpoint) once it has grown. Either, in a commit,
// would now and then take long: a merge step finishes whole words, and a common word's list in a
// large index takes 100 ms and more to rewrite; a checkpoint waits for two fsyncs.
// A batch that fails is held and written with the next one; the thread only records that it
// fails, and the event loop says so.
class SqliteHistoryStore::Writer {
public:
    // Null when the second connection cannot be had; the store then commits on the event loop.
    static std::unique_ptr<Writer> Start(const std::string& path) {
        sqlite3* db = nullptr;
        // A connection checkpoints only once it has read the database in WAL mode.
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(db);
            return nullptr;
        }
        // Another program's write lock: waited for a while here, off the event loop.
        sqlite3_busy_timeout(db, kLockWaitMs);
        return std::unique_ptr<Writer>(new Writer(db));
    }
    // What was handed over is written (or tried once more) before the thread ends.
    ~Writer() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
        for (auto& [sql, st] : m_statements) sqlite3_finalize(st);
        sqlite3_close_v2(m_db);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // A tick's batch, written with the next few; an empty one asks for a held batch to be tried again.
    void HandOver(std::vector<Write>&& batch) {
        {
            std::lock_guard lock(m_mutex);
            if (!batch.empty()) {
                if (m_queued.empty()) m_firstQueued = std::chrono::steady_clock::now();
                ++m_batches;
            }
            m_queued.insert(m_queued.end(), std::make_move_iterator(batch.begin()),
                            std::make_move_iterator(batch.end()));
            m_dropped += Trim(m_queued);  // a writer stuck on a hung disk costs no more memory
            m_writeDue = true;
        }
        batch.clear();
        m_wake.notify_one();
    }
    // Until everything handed over is written or has failed, and the upkeep after it is done.
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_drain = true;
        m_wake.notify_one();
        m_idle.wait(lock, [this] { return !m_writeDue && !m_running; });
        m_drain = false;
    }
    // Whether the last batch failed, and the entries given up since last taken.
    WriteState Take() {
        std::lock_guard lock(m_mutex);
        WriteState state{m_failing, m_failing ? m_why : std::string(), 0};
        if (!m_failing) state.Dropped = std::exchange(m_dropped, 0);
        return state;
    }
    // Writing, or due to write now; batches gathering for a later commit do not count.
    bool Busy() {
        std::lock_guard lock(m_mutex);
        return m_running || (m_writeDue && CommitDue());
    }
    size_t Held() {
        std::lock_guard lock(m_mutex);
        return m_queued.size() + m_held;
    }
    uint64_t Checkpoints() const { return m_checkpoints.load(); }

private:
    explicit Writer(sqlite3* db) : m_db(db), m_thread([this] { Run(); }) {
        // Replaces SQLite's automatic checkpoint, which would run inside the commit.
        sqlite3_wal_hook(
            m_db,
            [](void* writer, sqlite3*, const char*, int pages) {
                static_cast<Writer*>(writer)->m_walPages = pages;
                return SQLITE_OK;
            },
            this);
    }

    void Run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_writeDue || m_stop; });
            if (!m_writeDue) return;
            m_wake.wait_until(lock, m_firstQueued + std::chrono::milliseconds(kCommitDelayMs),
                              [this] { return CommitDue(); });
            m_writeDue = false;
            m_batches = 0;
            m_inHand.insert(m_inHand.end(), std::make_move_iterator(m_queued.begin()),
                            std::make_move_iterator(m_queued.end()));
            m_queued.clear();
            m_dropped += Trim(m_inHand);
            m_held = m_inHand.size();
            m_running = true;
            lock.unlock();

            std::string why;
            const bool written = m_inHand.empty() || Commit(why);
            if (written) {
                m_inHand.clear();
                // A merge step's own transaction costs as much as its pages: one every few commits
                // still merges more than their chat adds, and holds the lock no longer than before.
                if (++m_commitsSinceMerge >= kCommitsPerMerge) {
                    m_commitsSinceMerge = 0;
                    Merge();
                }
                // A checkpoint that fails (a full disk) leaves the WAL as it is; a later commit asks again.
                int frames = 0, copied = 0;
                if (m_walPages >= kCheckpointPages &&
                    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied) ==
                        SQLITE_OK &&
                    copied > 0)
                    ++m_checkpoints;
            }

            lock.lock();
            m_held = m_inHand.size();
            m_failing = !written;
            if (!written) m_why = why;
            m_running = false;
            m_idle.notify_all();
        }
    }

    // Enough ticks gathered, or the event loop waits for them, or the program ends; a retry of a
    // held batch alone waits for nothing.
    bool CommitDue() const {
        return m_stop || m_drain || m_queued.empty() || m_batches >= kTicksPerCommit;
    }

    // Beyond this many entries waiting for a disk that keeps failing, the oldest go.
    static size_t Trim(std::vector<Write>& writes) {
        if (writes.size() <= kMaxPending) return 0;
        const size_t over = writes.size() - kMaxPending;
        writes.erase(writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(over));
        return over;
    }

    sqlite3_stmt* Statement(const char* sql) {
        auto it = m_statements.find(sql);
        if (it != m_statements.end()) return it->second;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) != SQLITE_OK) return nullptr;
        m_statements.emplace(sql, st);
        return st;
    }
    bool Step(const char* sql, const std::vector<Value>& values = {}) {
        sqlite3_stmt* st = Statement(sql);
        if (!st || !Bind(st, values)) return false;
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return rc == SQLITE_DONE;
    }

    bool Commit(std::string& why) {
        bool ok = Step("BEGIN IMMEDIATE");
        for (size_t i = 0; ok && i < m_inHand.size(); ++i) ok = Step(m_inHand[i].Sql, m_inHand[i].Values);
        ok = ok && Step("COMMIT");
        if (!ok) {
            why = sqlite3_errmsg(m_db);
            if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        return ok;
    }

    // One step of merging (automatic merging is off): steady and small, where SQLite's own would do
    // hundreds of pages in one commit now and then. A step that fails costs no history: the next
    // batch asks again.
    void Merge() {
        if (Step("BEGIN IMMEDIATE")) {
            if (Step(kMergeStep, {int64_t{kMergePages}})) Step("COMMIT");
        }
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }

    sqlite3* m_db;
    std::map<const char*, sqlite3_stmt*> m_statements;  // keyed by the statement text's address
    std::vector<Write> m_inHand;                         // the thread's own: the batch being written
    int m_walPages = 0;                                  // in the WAL after the last commit
    int m_commitsSinceMerge = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    std::vector<Write> m_queued;  // handed over, not yet taken by the thread
    size_t m_held = 0;            // m_inHand's size, for the event loop
    bool m_writeDue = false;
    int m_batches = 0;  // ticks' batches in m_queued
    std::chrono::steady_clock::time_point m_firstQueued;
    bool m_drain = false;  // the event loop waits for everything to be written
    bool m_running = false;
    bool m_failing = false;
    bool m_stop = false;
    std::string m_why;
    uint64_t m_dropped = 0;
    std::atomic<uint64_t> m_checkpoints{0};
    std::thread m_thread;  // last: it starts on the members above
};

SqliteHistoryStore::SqliteHistoryStore(sqlite3* db, const std::string& path, LogFn log)
    : HistoryReads("instr", "rowid"), m_db(db), m_log(std::move(log)), m_writer(path.empty() ? nullptr : Writer::Start(path)) {
    // Searches fold letter case as the rest of the program does. Used in queries only, never in
    // the schema, so that any SQLite tool can still read and change the file.
    sqlite3_create_function(m_db, "tovi_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FoldFunction,
                            nullptr, nullptr);
    sqlite3_create_function(m_db, "tovi_contains", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            ContainsFunction, nullptr, nullptr);
    int rc = SQLITE_OK;
    m_schema = SchemaVersion(m_db, rc);
    if (sqlite3_stmt* st = Statement("SELECT coalesce(max(id), 0) FROM matches");
        st && sqlite3_step(st) == SQLITE_ROW) {
        m_nextMatchId = sqlite3_column_int64(st, 0) + 1;
        sqlite3_reset(st);
    }
    if (m_writer) {
        // This connection writes only for retention, after the writer has drained; the writer
        // checkpoints, not this commit. A lock held by another program fails it after a while.
        sqlite3_busy_timeout(m_db, kLockWaitMs);
        sqlite3_wal_autocheckpoint(m_db, 0);
    }
}

SqliteHistoryStore::~SqliteHistoryStore() {
    if (m_writer) {
        m_writer->HandOver(std::move(m_pending));
        m_writer.reset();
    } else {
        Flush();
    }
    for (auto& [sql, st] : m_statements) sqlite3_finalize(st);
    sqlite3_close_v2(m_db);  // the last connection: it checkpoints what is left
}

uint64_t SqliteHistoryStore::CheckpointsDone() const {
    return m_writer ? m_writer->Checkpoints() : 0;
}

bool SqliteHistoryStore::WriterBusy() const {
    return m_writer && m_writer->Busy();
}

size_t SqliteHistoryStore::Pending() const {
    return m_pending.size() + (m_writer ? m_writer->Held() : 0);
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

bool SqliteHistoryStore::Bind(sqlite3_stmt* st, const std::vector<Value>& values) {
    int i = 1;
    for (const Value& v : values) {
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
            sqlite3_clear_bindings(st);
            return false;
        }
        ++i;
    }
    return true;
}

bool SqliteHistoryStore::Run(const Write& write) {
    sqlite3_stmt* st = Statement(write.Sql);
    if (!st || !Bind(st, write.Values)) return false;
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc == SQLITE_DONE;
}

void SqliteHistoryStore::Flush() {
    if (m_writer) {
        if (!m_pending.empty()) m_writer->HandOver(std::move(m_pending));
        m_pending.clear();
        Report(m_writer->Take());
        return;
    }
    if (m_pending.empty()) return;
    bool ok = Exec("BEGIN IMMEDIATE");
    for (size_t i = 0; ok && i < m_pending.size(); ++i) ok = Run(m_pending[i]);
    ok = ok && Exec("COMMIT");
    if (!ok) {
        const std::string why = LastError();
        Exec("ROLLBACK");
        Report({true, why, 0});
        return;
    }
    m_pending.clear();
    // A few pages of the full-text index's segment merging, in a transaction of its own that may
    // fail at no cost (as the writer does between batches).
    if (sqlite3_stmt* st = Statement(kMergeStep)) {
        sqlite3_bind_int(st, 1, kMergePages);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    Report({});
}

void SqliteHistoryStore::Drain() {
    if (!m_writer) return Flush();
    if (!m_pending.empty()) m_writer->HandOver(std::move(m_pending));
    m_pending.clear();
    m_writer->Wait();
    Report(m_writer->Take());
}

void SqliteHistoryStore::WaitForWriter() {
    if (m_writer) m_writer->Wait();
}

// Said once when writing starts to fail, and once when it works again.
void SqliteHistoryStore::Report(const WriteState& state) {
    m_dropped += state.Dropped;
    ReportWrites(m_log, m_failing, m_dropped, state.Failing,
                 "History could not be written (" + state.Why +
                     "): it is kept in memory and written once the disk allows");
}

void SqliteHistoryStore::MatchStarted(const MatchStart& m) {
    m_matchId = m_nextMatchId++;
    m_matchUnderWay = true;
    Queue(kInsertMatch, {m_matchId, m.Time, ToUtf8(m.ServerName), ToUtf8(m.MapName), ToUtf8(m.MapFile),
                         ToUtf8(m.GameType)});
}

void SqliteHistoryStore::MatchEnded(const MatchEnd& m) {
    if (m_matchId == 0) return;
    m_matchUnderWay = false;
    Queue(kEndMatch, {m.Time, m.Result.empty() ? Value(nullptr) : Value(ToUtf8(m.Result)),
                      int64_t{m.PlayersAtEnd}, int64_t{m.StatsWritten ? 1 : 0},
                      m.StatsRefused.empty() ? Value(nullptr) : Value(ToUtf8(m.StatsRefused)), m_matchId});
    Queue(kCloseStints, {m.Time, m_matchId});
}

void SqliteHistoryStore::StatsUploaded(int64_t time, int matches) {
    Queue(kUploaded, {time, int64_t{matches}});
}

void SqliteHistoryStore::StatsSavedLater(int matches) {
    Queue(kSavedLater, {std::string(kStatsKeptInMemory), int64_t{matches}});
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
    std::vector<Value> values{time, m_matchId, int64_t{0}, ToUtf8(sender), ToUtf8(message), Blob{sender}, Blob{message}};
    if (Keyed()) values.emplace_back(ToUtf8(LowerCase1252(sender)));
    Queue(Keyed() ? kInsertChat : kInsertChatUnkeyed, std::move(values));
}

void SqliteHistoryStore::ChatSent(int64_t time, const std::string& target, const std::string& message) {
    std::vector<Value> values{time, m_matchId, int64_t{1}, ToUtf8(target), ToUtf8(message), Blob{target}, Blob{message}};
    if (Keyed()) values.emplace_back(ToUtf8(LowerCase1252(target)));
    Queue(Keyed() ? kInsertChat : kInsertChatUnkeyed, std::move(values));
}

void SqliteHistoryStore::ChatReadBack(int64_t sentAt, const std::string& message, int64_t seenAt) {
    if (m_schema >= kSeenSchema) Queue(kReadBack, {seenAt, sentAt, Blob{message}});
}

void SqliteHistoryStore::AdminActionDone(const AdminAction& a) {
    std::vector<Value> values{a.Time,           ToUtf8(a.Who),    std::string(ActionName(a.Action)),
                              ToUtf8(a.Target), ToUtf8(a.Reason), ToUtf8(a.Detail),
                              std::string(OutcomeText(a.Result)), ToUtf8(a.Why)};
    if (Keyed()) values.emplace_back(ToUtf8(LowerCase1252(a.Target)));
    Queue(Keyed() ? kInsertAdmin : kInsertAdminUnkeyed, std::move(values));
}

void SqliteHistoryStore::ServerEvent(int64_t time, const std::string& kind, const std::string& detail) {
    Queue(kInsertEvent, {time, kind, ToUtf8(detail)});
}


namespace {

class SqliteRow final : public SqlRow {
public:
    explicit SqliteRow(sqlite3_stmt* st) : m_st(st) {}
    bool IsNull(int c) const override { return sqlite3_column_type(m_st, c) == SQLITE_NULL; }
    int64_t Int(int c) const override { return sqlite3_column_int64(m_st, c); }
    std::string Text(int c) const override { return ColumnBytes(m_st, c); }
    std::string Bytes(int c) const override { return ColumnBytes(m_st, c); }

private:
    sqlite3_stmt* m_st;
};

}  // namespace

bool SqliteHistoryStore::Query(const std::string& sql, const SqlValues& values, const EachRow& row,
                               int64_t* changed) {
    Prepared st(m_db, sql);
    int rc = SQLITE_ROW;
    if (st.St && Bind(st.St, values)) {
        const SqliteRow current(st.St);
        while ((rc = sqlite3_step(st.St)) == SQLITE_ROW)
            if (row) row(current);
        if (changed) *changed = sqlite3_changes64(m_db);
    }
    if (rc == SQLITE_DONE) return true;
    m_queryError = LastError();
    return false;
}

// What waits is written first; the chart reads what is written so far.
bool SqliteHistoryStore::ReadyFor(Purpose purpose, std::string&) {
    if (purpose == Purpose::Chart) return true;
    Drain();
    return purpose == Purpose::Read || (!m_failing && Exec("BEGIN IMMEDIATE"));
}

bool SqliteHistoryStore::EndUpkeep(bool commit) {
    if (commit && Exec("COMMIT")) return true;
    Exec("ROLLBACK");
    return false;
}

// Neither tovi_contains() nor instr() knows wildcards.
std::string SqliteHistoryStore::AnyHolds(std::initializer_list<const char*> columns, const std::string&,
                                         const std::string& folded1252, SqlValues& values) const {
    std::string any;
    for (const char* column : columns) {
        any += std::string(any.empty() ? "(" : " OR ") + "tovi_contains(" + column + ", ?)";
        values.emplace_back(SqlBytes{folded1252});
    }
    return any + ")";
}

std::string SqliteHistoryStore::ChatSql(const ChatPlan& p) {
    std::string words = FtsQuery(ToUtf8(p.Query.Text));
    std::string from = " FROM chat c";
    const bool many = p.ByName && Keyed() && p.Names.empty();
    if (p.ByName && Keyed()) {
        // A few names and words: the words' index finds the lines of both at once, each name a
        // phrase of its own words in the sender's column (the same tokenizer splits them), and the
        // names are then checked whole. A name of no letter or digit makes no phrase: its lines
        // are read through the names' index.
        const bool phrases = !many && std::all_of(p.Names.begin(), p.Names.end(), [](const std::string& name) {
            return std::any_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
        });
        if (!words.empty() && phrases) {
            words += " AND {player}: (";
            for (size_t i = 0; i < p.Names.size(); ++i) {
                words += i ? " OR \"" : "\"";
                for (char c : p.Names[i]) words += c == '"' ? std::string("\"\"") : std::string(1, c);
                words += '"';
            }
            words += ')';
        } else if (words.empty() || !many) {
            from += many ? " NOT INDEXED" : " INDEXED BY chat_player";
            if (!words.empty()) p.Where.Add("c.id IN (SELECT rowid FROM chat_fts WHERE chat_fts MATCH ?)", {words});
        }
    }
    if (words.empty() || from.find("INDEXED BY") != std::string::npos)
        return p.Columns + from + p.Where.Clause() + " ORDER BY c.id DESC LIMIT ?";
    if (p.Where.Sql.empty()) {
        // The index hands out its newest matches first; only those are looked up, so a common
        // word costs the limit, not every line that holds it.
        p.Where.Values = {words};
        return p.Columns +
               " FROM (SELECT rowid FROM chat_fts WHERE chat_fts MATCH ? ORDER BY rowid DESC LIMIT ?) m"
               " JOIN chat c ON c.id = m.rowid ORDER BY c.id DESC";
    }
    // The index still leads, newest first, within the window's keys; each line it names is
    // checked against the other filters until the limit is reached.
    if (p.Hi != INT64_MAX || p.Lo != 0) p.Where.Add("f.rowid BETWEEN ? AND ?", {p.Lo, p.Hi});
    p.Where.Values.insert(p.Where.Values.begin(), words);
    return p.Columns + " FROM chat_fts f JOIN chat c ON c.id = f.rowid WHERE chat_fts MATCH ? AND " + p.Where.Sql +
           " ORDER BY f.rowid DESC LIMIT ?";
}

int64_t SqliteHistoryStore::Bytes() {
    int64_t bytes = 0;
    if (const char* file = sqlite3_db_filename(m_db, "main"); file && *file) {
        for (const std::string& path : {std::string(file), std::string(file) + "-wal"}) {
            std::error_code error;
            const auto size = std::filesystem::file_size(
                std::filesystem::path(std::u8string(path.begin(), path.end())), error);
            if (!error) bytes += static_cast<int64_t>(size);
        }
    }
    return bytes;
}


SqliteHistoryStore::Opened SqliteHistoryStore::OpenForReading(const std::string& path) {
    Opened opened;
    Connection conn;
    int rc = sqlite3_open_v2(path.c_str(), &conn.Db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_CANTOPEN) {
        opened.Error = "There is no history database " + path + ".";
        return opened;
    }
    if (rc != SQLITE_OK) {
        opened.Error = OpenProblem(path, conn.Db, rc);
        return opened;
    }
    sqlite3_extended_result_codes(conn.Db, 0);
    const int version = SchemaVersion(conn.Db, rc);
    if (rc != SQLITE_OK) {
        opened.Error = OpenProblem(path, conn.Db, rc);
        return opened;
    }
    if (version > kSchemaVersion) {
        opened.Error = "The history database " + path + " was written by a newer version of Tovi stats (schema " +
                       std::to_string(version) + ", this version knows up to " + std::to_string(kSchemaVersion) +
                       "): use the newer version.";
        return opened;
    }
    if (version < 1) {
        opened.Error = "The file " + path + " holds no history of Tovi stats.";
        return opened;
    }
    // Read only: no writer.
    opened.Store.reset(new SqliteHistoryStore(conn.Release(), std::string(), {}));
    return opened;
}

}  // namespace tovi
