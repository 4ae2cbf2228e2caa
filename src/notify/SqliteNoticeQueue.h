#pragma once
// The notice queue in the record's database (table notice_queue, which the record's schema
// brings). A connection of its own, like the ban list's: each notice is committed when it is
// made, so that one the program had not delivered before it was stopped or killed goes out after
// the restart.
//
// The file is shared with the history writer, whose commits hold its lock for a while; the event
// loop must never wait for them. The queue is therefore kept in memory as well (read from the file
// once, at the start) and every change is written at once when the lock is free, or else kept and
// written on a retry a little later, in order, in one transaction. A change the file refuses for
// another reason than its lock (a full disk) makes Add fail as before.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NoticeQueue.h"
#include "Scheduler.h"

struct sqlite3;

namespace tovi {

class SqliteNoticeQueue final : public NoticeQueue {
public:
    struct Opened {
        std::unique_ptr<SqliteNoticeQueue> Queue;  // null when the queue cannot be kept
        std::string Error;
    };
    // The database must already hold the record's schema (SqliteHistoryStore::Open makes it).
    // `retry` runs the writes the file's lock held back; without it they wait for the next change.
    static Opened Open(const std::string& path, Scheduler* retry = nullptr);
    ~SqliteNoticeQueue() override;
    SqliteNoticeQueue(const SqliteNoticeQueue&) = delete;
    SqliteNoticeQueue& operator=(const SqliteNoticeQueue&) = delete;

    bool Add(const Notice& notice, const std::vector<std::string>& sinks, std::string& error) override;
    std::optional<QueuedNotice> Next(const std::string& sink) override;
    bool Remove(int64_t seq) override;
    std::vector<QueuedNotice> RemoveOlderThan(int64_t createdBeforeMs) override;
    size_t Size() override { return m_entries.size(); }

    // Changes made in memory that the file has not taken yet.
    size_t Unwritten() const { return m_unwritten.size(); }
    // How long a write held back by the file's lock waits before it is tried again; a write the
    // file refused otherwise waits longer.
    static constexpr int kLockRetryMs = 50;
    static constexpr int kFailureRetryMs = 5000;

private:
    struct Change {
        bool add = false;  // else a removal of entry.seq
        QueuedNotice entry;
    };
    enum class Outcome { Written, Locked, Failed };

    SqliteNoticeQueue(sqlite3* db, Scheduler* retry) : m_db(db), m_scheduler(retry) {}
    bool Load(std::string& error);
    Outcome Write();
    // Writes what is unwritten now, or schedules the next try.
    void WriteOrRetry();
    void RetryAfter(Outcome outcome);

    sqlite3* m_db;
    Scheduler* m_scheduler;
    Scheduler::TimerId m_retry = 0;
    std::string m_why;  // the last write's failure
    std::map<int64_t, QueuedNotice> m_entries;  // by seq: oldest first
    std::vector<Change> m_unwritten;
    int64_t m_nextSeq = 1;
};

}  // namespace tovi
