// The ban list in the record's database, on every engine: it survives a restart, byte for byte,
// and a change the database refuses leaves the list as it was.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "BanList.h"
#include "Scheduler.h"
#include "SqliteBanStore.h"
#include "SqliteHistoryStore.h"
#include "Fakes.h"
#include "StoreEngines.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class BanStores : public ::testing::TestWithParam<Engine> {
protected:
    StorePlace place{GetParam()};
};

// Makes the database refuse every change to the list until it goes out of scope.
class RefusedWrites {
public:
    explicit RefusedWrites(const StorePlace& place) {
#if defined(TOVI_STORE_POSTGRES)
        if (place.Kind() == Engine::Postgres) {
            std::string error;
            m_pg = PgConnection::Connect(place.Conninfo(), error);
            // A rule no row passes, checked on every new or changed row.
            EXPECT_TRUE(m_pg && m_pg->Run("ALTER TABLE bans ADD CONSTRAINT refused CHECK (false) NOT VALID"))
                << error;
            return;
        }
#endif
        // Rules no row passes. (A lock another connection holds only delays a change: see below.)
        EXPECT_EQ(sqlite3_open(place.File().c_str(), &m_sqlite), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(m_sqlite,
                               "CREATE TRIGGER refused_ban BEFORE INSERT ON bans BEGIN SELECT RAISE(ABORT, 'refused'); "
                               "END; CREATE TRIGGER refused_warning BEFORE INSERT ON warnings BEGIN "
                               "SELECT RAISE(ABORT, 'refused'); END;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    ~RefusedWrites() {
#if defined(TOVI_STORE_POSTGRES)
        if (m_pg) m_pg->Run("ALTER TABLE bans DROP CONSTRAINT refused");
#endif
        if (m_sqlite) {
            sqlite3_exec(m_sqlite, "DROP TRIGGER refused_ban; DROP TRIGGER refused_warning;", nullptr, nullptr,
                         nullptr);
            sqlite3_close(m_sqlite);
        }
    }

private:
    sqlite3* m_sqlite = nullptr;
#if defined(TOVI_STORE_POSTGRES)
    std::unique_ptr<PgConnection> m_pg;
#endif
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Engines, BanStores, ::testing::ValuesIn(Engines()), EngineName);

TEST_P(BanStores, TheListAndItsWarningsOutliveTheProgramAndAFailedWriteChangesNothing) {
    std::string error;
    // A record made by an older version gains the list's tables when it is opened.
    ASSERT_TRUE(place.Open({}, 2));
    EXPECT_FALSE(place.OpenBans(error));
    ASSERT_TRUE(place.Open());

    int64_t lifted = 0;
    {
        auto store = place.OpenBans(error);
        ASSERT_TRUE(store) << error;
        BanList list(store.get());
        ASSERT_TRUE(list.Load(error)) << error;
        BanEntry e;
        e.Name = "Ren\xC9 \x81";  // a letter and a byte the code page leaves unassigned
        e.Reason = "aimbot \x80 5";
        e.IssuedBy = "operator at the window";
        e.IssuedAt = 1000;
        e.ExpiresAt = 2000;
        ASSERT_TRUE(list.Add(e, error)) << error;
        e.Name = "Mallory";
        e.ExpiresAt = 0;
        lifted = list.Add(e, error).value_or(0);
        ASSERT_TRUE(list.Lift(lifted, 1500, "admin", "appeal", error)) << error;
        ASSERT_TRUE(list.AddWarning({0, "ren\xE9", 1200, "admin", "tk"}, error)) << error;

        // A write the database refuses changes neither the database nor the list.
        RefusedWrites refused(place);
        EXPECT_FALSE(list.Add(e, error));
        EXPECT_FALSE(list.Lift(list.Entries()[0].Id, 1600, "admin", "x", error));
        EXPECT_EQ(list.Entries().size(), 2u);
        EXPECT_EQ(list.Entries()[0].LiftedAt, 0);
    }
    auto store = place.OpenBans(error);
    ASSERT_TRUE(store) << error;
    BanList list(store.get());
    ASSERT_TRUE(list.Load(error));
    ASSERT_EQ(list.Entries().size(), 2u);
    EXPECT_EQ(list.Entries()[0].Name, "Ren\xC9 \x81");
    EXPECT_EQ(list.Entries()[0].Reason, "aimbot \x80 5");
    EXPECT_EQ(list.Entries()[0].ExpiresAt, 2000);
    EXPECT_TRUE(list.ActiveBanFor("REN\xC9 \x81", 1999));
    EXPECT_FALSE(list.ActiveBanFor("REN\xC9 \x81", 2000));
    EXPECT_EQ(list.Entries()[1].Id, lifted);
    EXPECT_EQ(list.Entries()[1].LiftReason, "appeal");
    EXPECT_EQ(list.WarningsSince("Ren\xC9", 0), 1);
}

// The history writer holds the record file's lock through each commit: a ban made meanwhile is
// taken at once, with its id, shown by the list, and lands in the file once the lock is free.
TEST(SqliteBanStore, AHeldLockDelaysAChangeButNeverTheOperator) {
    TempFolder folder;
    const fs::path file = folder / "tovistats.db";
    auto history = SqliteHistoryStore::Open(file.string(), {});
    ASSERT_TRUE(history.Store) << history.Error;
    VirtualScheduler clock;
    auto opened = SqliteBanStore::Open(file.string(), &clock);
    ASSERT_TRUE(opened.Store) << opened.Error;
    BanList list(opened.Store.get());
    std::string error;
    BanEntry e;
    e.Name = "Mallory";
    e.IssuedAt = 1000;
    const int64_t first = list.Add(e, error).value_or(0);
    ASSERT_NE(first, 0) << error;

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    e.Name = "Trudy";
    const int64_t second = list.Add(e, error).value_or(0);
    EXPECT_EQ(second, first + 1) << error;
    EXPECT_TRUE(list.Lift(first, 1500, "admin", "appeal", error)) << error;
    EXPECT_TRUE(list.AddWarning({0, "Eve", 1200, "admin", "tk"}, error)) << error;
    EXPECT_EQ(opened.Store->Unwritten(), 3u);
    clock.Advance(10 * SqliteBanStore::kLockRetryMs);  // still held: nothing lands, nothing is lost
    {
        BanList shown(opened.Store.get());
        ASSERT_TRUE(shown.Load(error)) << error;
        ASSERT_EQ(shown.Entries().size(), 2u);
        EXPECT_EQ(shown.Entries()[0].LiftReason, "appeal");
        EXPECT_EQ(shown.WarningsSince("Eve", 0), 1);
    }
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    clock.Advance(SqliteBanStore::kLockRetryMs);
    EXPECT_EQ(opened.Store->Unwritten(), 0u);
    EXPECT_EQ(clock.Pending(), 0u);
    sqlite3_close(holder);

    // A restart reads from the file alone.
    opened.Store.reset();
    auto again = SqliteBanStore::Open(file.string(), &clock);
    ASSERT_TRUE(again.Store) << again.Error;
    BanList reread(again.Store.get());
    ASSERT_TRUE(reread.Load(error)) << error;
    ASSERT_EQ(reread.Entries().size(), 2u);
    EXPECT_EQ(reread.Entries()[0].LiftedAt, 1500);
    EXPECT_EQ(reread.Entries()[1].Id, second);
    EXPECT_EQ(reread.Entries()[1].Name, "Trudy");
    EXPECT_EQ(reread.WarningsSince("Eve", 0), 1);
}
