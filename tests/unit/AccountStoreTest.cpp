// The web panel's accounts, made with the real program's command line as an operator would: the
// password comes from standard input, only its Argon2id hash and a token's hash are stored, and
// logins and tokens find the account with its role.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Fakes.h"
#include "StoreEngines.h"
#if defined(TOVI_TOVISTATS_PATH)
#include "Tovistats.h"
#endif

using namespace tovi;
using namespace tovi::testing;

#if defined(TOVI_TOVISTATS_PATH)
namespace {

class AccountStores : public ::testing::TestWithParam<Engine> {
protected:
    StorePlace place{GetParam()};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Engines, AccountStores, ::testing::ValuesIn(Engines()), EngineName);

TEST_P(AccountStores, CommandLineRoundTripStoresOnlyHashesAndLogsIn) {
    TempFolder dir;
    place.WriteSettings();
    const fs::path data = place.DataFolder();
    const std::string folder = data.string();
    const bool sqlite = GetParam() == Engine::Sqlite;

    // Wrong command lines change nothing; a password is never taken from the arguments.
    EXPECT_EQ(Tovistats(dir, {"--add-user", "alice", "--data-dir", folder}, "long enough 1\n").Code, 2);
    EXPECT_EQ(
        Tovistats(dir, {"--add-user", "alice", "--role", "root", "--data-dir", folder}, "long enough 1\n")
            .Code,
        2);
    EXPECT_EQ(
        Tovistats(dir, {"--add-user", "<b>", "--role", "admin", "--data-dir", folder}, "long enough 1\n")
            .Code,
        2);
    EXPECT_EQ(
        Tovistats(dir, {"--add-user", "alice", "--role", "admin", "--data-dir", folder}, "short\n").Code, 2);
    EXPECT_EQ(
        Tovistats(dir, {"--add-user", "alice", "--role", "admin", "--password", "x", "--data-dir", folder})
            .Code,
        2);
    EXPECT_EQ(sqlite ? int64_t{fs::exists(place.File())} : place.Count("SELECT count(*) FROM pg_tables WHERE tablename = 'accounts'"), 0);

    ToolRun added =
        Tovistats(dir, {"--add-user", "Alice", "--role", "admin", "--data-dir", folder}, "correct horse 1\n");
    ASSERT_EQ(added.Code, 0) << added.Output;
    ASSERT_EQ(
        Tovistats(dir, {"--add-user", "bob", "--role=viewer", "--data-dir=" + folder}, "bobs secret\r\n")
            .Code,
        0);
    ToolRun twice =
        Tovistats(dir, {"--add-user", "ALICE", "--role", "viewer", "--data-dir", folder}, "other pass 2\n");
    EXPECT_EQ(twice.Code, 1);
    EXPECT_NE(twice.Output.find("already"), std::string::npos) << twice.Output;

    ToolRun listed = Tovistats(dir, {"--list-users", "--data-dir", folder});
    EXPECT_EQ(listed.Code, 0);
    EXPECT_NE(listed.Output.find("Alice\tadmin"), std::string::npos) << listed.Output;
    EXPECT_NE(listed.Output.find("bob\tviewer"), std::string::npos) << listed.Output;

    const Strings hashes = place.Rows("SELECT password_hash FROM accounts WHERE name_key='alice'");
    ASSERT_EQ(hashes.size(), 1u);
    const std::string& hash = hashes[0];
    EXPECT_TRUE(hash.starts_with("$argon2id$")) << hash;
    EXPECT_EQ(hash.find("correct horse"), std::string::npos);

    ToolRun token = Tovistats(dir, {"--new-token", "alice", "--data-dir", folder});
    ASSERT_EQ(token.Code, 0) << token.Output;
    const std::string tokenText = token.Output.substr(0, token.Output.find('\n'));
    EXPECT_EQ(Tovistats(dir, {"--new-token", "nobody", "--data-dir", folder}).Code, 1);
    EXPECT_EQ(tokenText.size(), 69u);
    if (sqlite) {
        for (const char* file : {"tovistats.db", "tovistats.db-wal"})
            EXPECT_EQ(ReadBytes(data / file).find(tokenText.substr(5)), std::string::npos) << file;
    } else {
        // Only the token's 32-byte hash.
        EXPECT_EQ(place.Count("SELECT count(*) FROM account_tokens WHERE length(token_hash) = 32"), 1);
    }

    {
        std::string error;
        auto opened = place.OpenAccounts(error);
        ASSERT_TRUE(opened) << error;
        AccountStore& store = *opened;
        auto alice = store.Authenticate("aLiCe", "correct horse 1", 5000);
        ASSERT_TRUE(alice);
        EXPECT_EQ(alice->Name, "Alice");
        EXPECT_EQ(alice->AccountRole, Role::Admin);
        EXPECT_TRUE(
            store.Authenticate("bob", "bobs secret", 5000));  // the CR of a Windows line is no part of it
        EXPECT_FALSE(store.Authenticate("alice", "correct horse 2", 5000));
        EXPECT_FALSE(store.Authenticate("nobody", "correct horse 1", 5000));
        EXPECT_EQ(store.Accounts()[0].LastLogin, 5000);
        auto byToken = store.AccountByToken(tokenText);
        ASSERT_TRUE(byToken);
        EXPECT_EQ(byToken->Name, "Alice");
        EXPECT_FALSE(store.AccountByToken(tokenText + "0"));
        EXPECT_FALSE(store.AccountByToken(""));
    }

    EXPECT_EQ(Tovistats(dir, {"--remove-user", "alice", "--data-dir", folder}).Code, 0);
    EXPECT_EQ(Tovistats(dir, {"--remove-user", "alice", "--data-dir", folder}).Code, 1);
    std::string error;
    auto opened = place.OpenAccounts(error);
    ASSERT_TRUE(opened) << error;
    EXPECT_FALSE(opened->Authenticate("alice", "correct horse 1", 6000));
    EXPECT_FALSE(opened->AccountByToken(tokenText));
    EXPECT_EQ(place.Count("SELECT count(*) FROM account_tokens"), 0);
}

// An account made before accounts carried a credential stamp keeps its password and role through
// the schema's step; adding a name again, or another one, draws a stamp of its own, so that a
// panel session of the old account does not pass for the new one.
TEST_P(AccountStores, OlderStoresKeepTheirAccountsAndGainStamps) {
    const bool sqlite = GetParam() == Engine::Sqlite;
    ASSERT_TRUE(place.Open({}, sqlite ? 8 : 7));
    const std::string insert =
        "INSERT INTO accounts(name, name_key, role, password_hash, created) VALUES ('Old', 'old', 'admin', "
        "'" +
        HashPassword("old password") + "', 1)";
    if (sqlite) {
        sqlite3* db = nullptr;  // the place reads only
        ASSERT_EQ(sqlite3_open(place.File().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    } else {
        place.Rows(insert);
    }
    ASSERT_TRUE(place.Open());
    std::string error;
    auto store = place.OpenAccounts(error);
    ASSERT_TRUE(store) << error;
    const auto old = store->Authenticate("old", "old password", 2);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->AccountRole, Role::Admin);
    EXPECT_EQ(old->CredentialVersion, 1);
    ASSERT_TRUE(store->RemoveAccount("old", error));
    ASSERT_TRUE(store->AddAccount("Old", Role::Admin, "old password", 3, error)) << error;
    ASSERT_TRUE(store->AddAccount("new", Role::Viewer, "new password", 3, error)) << error;
    std::vector<Account> accounts;
    ASSERT_TRUE(store->ReadAccounts(accounts));
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_NE(accounts[0].CredentialVersion, accounts[1].CredentialVersion);
    for (const Account& a : accounts) EXPECT_NE(a.CredentialVersion, old->CredentialVersion) << a.Name;
}
#endif

#if defined(TOVI_STORE_POSTGRES)
// The shared database restarted under a running program: the very next account operation, a
// read or a write, connects again instead of failing once.
TEST(PgAccountStoreRestart, NextOperationAfterARestartSucceeds) {
    StorePlace place(Engine::Postgres);
    ASSERT_TRUE(place.Open());  // the record's schema, accounts included
    std::string error;
    auto store = place.OpenAccounts(error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->AddAccount("alice", Role::Admin, "correct horse 1", 1000, error)) << error;
    PgCluster& cluster = SharedPgCluster();
    auto restart = [&] { return cluster.Stop() && cluster.Start(); };

    ASSERT_TRUE(restart()) << cluster.Error();
    const auto alice = store->Authenticate("alice", "correct horse 1", 2000);
    ASSERT_TRUE(alice);
    EXPECT_EQ(store->FindAccount("alice")->LastLogin, 2000);

    ASSERT_TRUE(restart()) << cluster.Error();
    const std::string token = store->NewToken("alice", 3000, error);
    EXPECT_FALSE(token.empty()) << error;
    EXPECT_EQ(place.Count("SELECT count(*) FROM account_tokens"), 1);

    ASSERT_TRUE(restart()) << cluster.Error();
    EXPECT_TRUE(store->RemoveAccount("alice", error)) << error;
    EXPECT_FALSE(store->AccountByToken(token));
}
#endif
