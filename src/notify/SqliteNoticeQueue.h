#pragma once
// The notice queue in the record's database (table notice_queue, which the record's schema
// brings). A connection of its own, like the ban list's: each notice is committed when it is
// made, so that one the program had not delivered before it was stopped or killed goes out after
// the restart.
#include <memory>
#include <string>

#include "NoticeQueue.h"

struct sqlite3;

namespace tovi {

class SqliteNoticeQueue final : public NoticeQueue {
public:
    struct Opened {
        std::unique_ptr<SqliteNoticeQueue> Queue;  // null when the queue cannot be kept
        std::string Error;
    };
    // The database must already hold the record's schema (SqliteHistoryStore::Open makes it).
    static Opened Open(const std::string& path);
    ~SqliteNoticeQueue() override;
    SqliteNoticeQueue(const SqliteNoticeQueue&) = delete;
    SqliteNoticeQueue& operator=(const SqliteNoticeQueue&) = delete;

    bool Add(const Notice& notice, const std::vector<std::string>& sinks, std::string& error) override;
    std::optional<QueuedNotice> Next(const std::string& sink) override;
    bool Remove(int64_t seq) override;
    std::vector<QueuedNotice> RemoveOlderThan(int64_t createdBeforeMs) override;
    size_t Size() override;

private:
    explicit SqliteNoticeQueue(sqlite3* db) : m_db(db) {}
    sqlite3* m_db;
};

}  // namespace tovi
