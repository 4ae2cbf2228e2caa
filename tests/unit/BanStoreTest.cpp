// The ban list in the record's SQLite file: it survives a restart, byte for byte, and a change
// the file refuses leaves the list as it was.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "BanList.h"
#include "Fakes.h"
#include "SqliteBanStore.h"
#include "SqliteHistoryStore.h"

using namespace tovi;
using namespace tovi::testing;

TEST(SqliteBanStore, TheListAndItsWarningsOutliveTheProgramAndAFailedWriteChangesNothing) {
    TempFolder folder;
    const std::string file = (folder / "tovistats.db").string();
    // A record made by an older version gains the list's tables when it is opened.
    ASSERT_TRUE(SqliteHistoryStore::Open(file, {}, 2).Store);
    EXPECT_FALSE(SqliteBanStore::Open(file).Store);
    ASSERT_TRUE(SqliteHistoryStore::Open(file, {}).Store);

    int64_t lifted = 0;
    {
        auto opened = SqliteBanStore::Open(file);
        ASSERT_TRUE(opened.Store) << opened.Error;
        BanList list(opened.Store.get());
        std::string error;
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

        // A write the file refuses (a second writer holds it) changes neither the file nor the list.
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
        sqlite3_busy_timeout(other, 0);
        ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        EXPECT_FALSE(list.Add(e, error));
        EXPECT_FALSE(list.Lift(list.Entries()[0].Id, 1600, "admin", "x", error));
        EXPECT_EQ(list.Entries().size(), 2u);
        EXPECT_EQ(list.Entries()[0].LiftedAt, 0);
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    }
    auto opened = SqliteBanStore::Open(file);
    ASSERT_TRUE(opened.Store);
    BanList list(opened.Store.get());
    std::string error;
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
