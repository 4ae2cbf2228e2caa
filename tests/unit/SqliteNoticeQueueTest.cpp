// The notice queue on a real record file whose lock another connection holds, as the history
// writer holds it through a commit: the event loop's changes never wait for it, and land later.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Fakes.h"
#include "Scheduler.h"
#include "SqliteHistoryStore.h"
#include "SqliteNoticeQueue.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

// The record file's write lock, held by a connection of its own until released.
class HeldLock {
public:
    explicit HeldLock(const fs::path& file) {
        EXPECT_EQ(sqlite3_open(file.c_str(), &m_db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~HeldLock() { Release(); }
    void Release() {
        if (!m_db) return;
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
        m_db = nullptr;
    }

private:
    sqlite3* m_db = nullptr;
};

// The queue's rows as the file holds them, "seq sink uid" each, read by another connection.
Strings RowsInFile(const fs::path& file) {
    sqlite3* db = nullptr;
    Strings rows;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT seq, sink, uid FROM notice_queue ORDER BY seq", -1, &st, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            rows.push_back(std::to_string(sqlite3_column_int64(st, 0)) + " " +
                           reinterpret_cast<const char*>(sqlite3_column_text(st, 1)) + " " +
                           reinterpret_cast<const char*>(sqlite3_column_text(st, 2)));
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

Notice Made(const std::string& id, int64_t createdMs) {
    return {id, NoticeEvent::MatchEnd, createdMs, "Match ended", {{"Map", "Isl\xE9"}}};
}

}  // namespace

TEST(SqliteNoticeQueue, AHeldLockDelaysItsWritesButNeverTheCallerAndTheyLandInOrder) {
    TempFolder folder;
    const fs::path file = folder / "tovistats.db";
    auto history = SqliteHistoryStore::Open(file.string(), {});
    ASSERT_TRUE(history.Store) << history.Error;
    VirtualScheduler clock;
    auto opened = SqliteNoticeQueue::Open(file.string(), &clock);
    ASSERT_TRUE(opened.Queue) << opened.Error;
    SqliteNoticeQueue& queue = *opened.Queue;
    std::string error;
    ASSERT_TRUE(queue.Add(Made("n1", 1000), {"discord"}, error)) << error;
    EXPECT_EQ(RowsInFile(file), (Strings{"1 discord n1"}));

    {
        HeldLock lock(file);
        // Taken at once, though the file can't have it yet; delivered meanwhile from memory.
        ASSERT_TRUE(queue.Add(Made("n2", 2000), {"discord", "webhook"}, error)) << error;
        EXPECT_TRUE(queue.Remove(1));
        EXPECT_EQ(queue.Size(), 2u);
        ASSERT_TRUE(queue.Next("discord"));
        EXPECT_EQ(queue.Next("discord")->notice.id, "n2");
        EXPECT_EQ(queue.Next("webhook")->notice.fields.at(0).value, "Isl\xE9");
        EXPECT_EQ(queue.Unwritten(), 3u);
        clock.Advance(10 * SqliteNoticeQueue::kLockRetryMs);  // tries again, and still finds it held
        EXPECT_EQ(RowsInFile(file), (Strings{"1 discord n1"}));
        ASSERT_TRUE(queue.Add(Made("n3", 3000), {"webhook"}, error)) << error;
        lock.Release();
        // A change made behind held ones waits for their retry, so that the file keeps their order.
        EXPECT_EQ(queue.Unwritten(), 4u);
        clock.Advance(SqliteNoticeQueue::kLockRetryMs);
    }
    EXPECT_EQ(queue.Unwritten(), 0u);
    EXPECT_EQ(RowsInFile(file), (Strings{"2 discord n2", "3 webhook n2", "4 webhook n3"}));
    EXPECT_EQ(clock.Pending(), 0u);

    // A change the file refuses for good (not its lock) is not queued, and the caller hears why.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refused BEFORE INSERT ON notice_queue BEGIN SELECT RAISE(ABORT, 'full'); "
                           "END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(queue.Add(Made("n4", 4000), {"discord"}, error));
    EXPECT_NE(error.find("full"), std::string::npos) << error;
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(sqlite3_exec(db, "DROP TRIGGER refused", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    // What was written is what a restart finds; a notice's number is never given twice, even once
    // the queue has emptied.
    opened.Queue.reset();
    auto again = SqliteNoticeQueue::Open(file.string(), &clock);
    ASSERT_TRUE(again.Queue) << again.Error;
    EXPECT_EQ(again.Queue->Size(), 3u);
    EXPECT_EQ(again.Queue->Next("webhook")->notice.id, "n2");
    EXPECT_EQ(again.Queue->RemoveOlderThan(3500).size(), 3u);
    again.Queue.reset();
    again = SqliteNoticeQueue::Open(file.string(), &clock);
    ASSERT_TRUE(again.Queue) << again.Error;
    ASSERT_TRUE(again.Queue->Add(Made("n5", 5000), {"discord"}, error)) << error;
    EXPECT_EQ(RowsInFile(file), (Strings{"5 discord n5"}));
}
