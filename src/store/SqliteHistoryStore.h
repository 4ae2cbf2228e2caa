#pragma once
// The record in an embedded SQLite database (tovistats.db in the data folder), in WAL mode so
// that a crash loses at most the batch being written. The schema carries its version in
// user_version and is migrated forward at opening; a database of a newer version is refused and
// left as it is, and so is a file that is no database.
//
// The event loop only queues a tick's rows and hands them over at the flush; a writer thread with
// a connection of its own commits them and keeps the file in shape (see Writer in the .cpp).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "HistoryReads.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tovi {

class SqliteHistoryStore final : public HistoryReads {
public:
    using LogFn = std::function<void(const std::string&)>;

    static constexpr int kSchemaVersion = 12;
    // Beyond this many writes waiting for a disk that keeps failing, the oldest go.
    static constexpr size_t kMaxPending = 20000;
    // A checkpoint is asked for once the WAL holds this many pages (SQLite's own default).
    static constexpr int kCheckpointPages = 1000;
    // The writer commits this many ticks' batches at once, or what it holds this long after the
    // first of them came: what a kill may lose.
    static constexpr int kTicksPerCommit = 4;
    static constexpr int kCommitDelayMs = 4000;
    // Pages of full-text segment merging done after every kCommitsPerMerge-th commit: more than
    // those commits' chat adds.
    static constexpr int kMergePages = 32;
    static constexpr int kCommitsPerMerge = 4;
    // How long a write waits for a write lock that another program holds, in ms.
    static constexpr int kLockWaitMs = 200;

    struct Opened {
        std::unique_ptr<SqliteHistoryStore> Store;  // null when the record cannot be kept
        std::string Error;                          // why, in words for the operator
    };
    // `schemaVersion` below the current one is for tests that build an older database.
    static Opened Open(const std::string& path, LogFn log, int schemaVersion = kSchemaVersion);

    // The record for reading only, beside a program that may be writing it: nothing is created,
    // migrated or written. A missing file, a newer or a damaged one is refused.
    static Opened OpenForReading(const std::string& path);

    ~SqliteHistoryStore() override;
    SqliteHistoryStore(const SqliteHistoryStore&) = delete;
    SqliteHistoryStore& operator=(const SqliteHistoryStore&) = delete;

    void MatchStarted(const MatchStart& match) override;
    void MatchEnded(const MatchEnd& match) override;
    void StatsUploaded(int64_t time, int matches) override;
    void StatsSavedLater(int matches) override;
    void PlayerJoined(int64_t time, const std::string& name, int slot, int team) override;
    void PlayerLeft(int64_t time, const std::string& name) override;
    void PlayerStats(const std::string& name, int team, const std::vector<PlayerStat>& stats) override;
    void ChatRead(int64_t time, const std::string& sender, const std::string& message) override;
    void ChatSent(int64_t time, const std::string& target, const std::string& message) override;
    void ChatReadBack(int64_t sentAt, const std::string& message, int64_t seenAt) override;
    void AdminActionDone(const AdminAction& action) override;
    void ServerEvent(int64_t time, const std::string& kind, const std::string& detail) override;
    void Flush() override;

    // Hands over what is queued and waits until the writer has written it (or failed to), then
    // says so as Flush() does. For reads, retention, tests and benchmarks: a tick never waits.
    void Drain();
    // Waits until what was handed over is written (or failed): another connection reads it then.
    // For a reader on a thread of its own; the event loop may go on flushing meanwhile.
    void WaitForWriter();
    // True while writes fail (they are kept and tried again at the next flush), as the last
    // Flush() or Drain() found.
    bool Failing() const { return m_failing; }
    // Entries not yet written: queued, or handed over and not yet committed.
    size_t Pending() const;
    // Checkpoints completed so far by the writer.
    uint64_t CheckpointsDone() const;
    // Whether the writer has work handed over or under way (for benchmarks, which tick faster
    // than the program's once a second).
    bool WriterBusy() const;

protected:
    // The reads' connection is the event loop's own; the writer has another.
    bool Query(const std::string& sql, const SqlValues& values, const EachRow& row, int64_t* changed) override;
    bool ReadyFor(Purpose purpose, std::string& why) override;
    bool EndUpkeep(bool commit) override;
    int64_t Bytes() override;
    // Chat words through the FTS5 index; other texts through tovi_contains().
    std::string ChatSql(const ChatPlan& plan) override;
    std::string AnyHolds(std::initializer_list<const char*> columns, const std::string& foldedColumn,
                         const std::string& folded1252, SqlValues& values) const override;

private:
    class Writer;
    using Blob = SqlBytes;
    using Value = SqlValue;
    struct Write {
        const char* Sql;
        std::vector<Value> Values;
    };

    SqliteHistoryStore(sqlite3* db, const std::string& path, LogFn log);
    void Queue(const char* sql, std::vector<Value> values);
    sqlite3_stmt* Statement(const char* sql);
    bool Run(const Write& write);
    static bool Bind(sqlite3_stmt* st, const std::vector<Value>& values);
    struct WriteState {
        bool Failing = false;
        std::string Why;
        uint64_t Dropped = 0;
    };
    void Report(const WriteState& state);
    bool Exec(const char* sql);
    std::string LastError() const;

    sqlite3* m_db;
    LogFn m_log;
    std::map<const char*, sqlite3_stmt*> m_statements;  // keyed by the statement text's address
    std::vector<Write> m_pending;
    int64_t m_nextMatchId = 1;
    bool m_failing = false;
    uint64_t m_dropped = 0;
    std::unique_ptr<Writer> m_writer;  // null: commits on the event loop, as the fallback
};

}  // namespace tovi
