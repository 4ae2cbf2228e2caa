// The shared database fails in ways other than being away. It hangs: its server's processes stopped, so that connections are taken by the
// system and nothing is answered; or another session holds the accounts locked. Each part (the
// history, the ban list, the accounts) gives up after one deadline and carries on as while the
// database is away, and finds it again once it answers. The deadline is small here; the bounds
// checked on each call are many deadlines wide, only to fail rather than hang. Or it was written
// by a newer version of the program: each part says so, and none writes to it. Or a second copy
// of the program runs with a server code already in use: it is told, and waits.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "BanList.h"
#include "Fakes.h"
#include "PgBanStore.h"
#include "PgCluster.h"
#include "PgHistoryStore.h"
#include "PgSchema.h"
#include "SqliteHistoryStore.h"
#if defined(TOVI_ACCOUNTS)
#include "PgAccountStore.h"
#include "SharedAccountStore.h"
#endif

using namespace tovi;
using namespace tovi::testing;

namespace {

constexpr int kDeadlineMs = 600;
constexpr auto kBound = std::chrono::seconds(10);

// How long `call` took.
template <typename Call>
std::chrono::steady_clock::duration Took(Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - start;
}

// Ticks, each waiting up to a tenth of a second for the store's socket, until `done`.
template <typename Done>
void Tick(PgHistoryStore& store, Done done) {
    for (int tick = 0; tick < 300 && !done(); ++tick) {
        store.Flush();
        pollfd ready{store.Socket(), static_cast<short>(store.WantsWrite() ? POLLOUT : POLLIN), 0};
        poll(&ready, ready.fd >= 0 ? 1 : 0, 100);
    }
}

Strings Chat(const std::string& conninfo) {
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error);
    Strings lines;
    PgResult r = conn ? conn->Exec("SELECT message FROM chat ORDER BY id") : PgResult();
    for (int i = 0; i < r.Rows(); ++i) lines.push_back(r.Text(i, 0));
    return lines;
}

}  // namespace

TEST(SharedStoreHang, AStoppedServerCostsOneDeadlineAndEachPartCarriesOnAndRecovers) {
    PgCluster cluster;  // its own: this test stops it
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder dir;
    const std::string local = (dir / "tovistats.db").string();
    ASSERT_TRUE(SqliteHistoryStore::Open(local, {}).Store);

    Strings log;
    auto history = PgHistoryStore::Open(
        conninfo, "EU1", [&log](const std::string& line) { log.push_back(line); }, PgHistoryStore::kSchemaVersion,
        local, kDeadlineMs);
    ASSERT_TRUE(history.Store) << history.Error;
    history.Store->ChatRead(1, "Ann", "before");
    Tick(*history.Store, [&] { return history.Store->Pending() == 0; });
    ASSERT_EQ(Chat(conninfo), Strings{"before"});

    auto bans = PgBanStore::Open(conninfo, local, kDeadlineMs);
    ASSERT_TRUE(bans.Store) << bans.Error;
    BanList list(bans.Store.get());
    std::string error;
    ASSERT_TRUE(list.Add({0, "Mallory", false, "aimbot", "admin", 50}, error)) << error;
    ASSERT_TRUE(list.Load(error)) << error;
    ASSERT_FALSE(bans.Store->Offline());
#if defined(TOVI_ACCOUNTS)
    auto accounts = PgAccountStore::Open(conninfo, kDeadlineMs);
    ASSERT_TRUE(accounts.Store) << accounts.Error;
    ASSERT_TRUE(accounts.Store->AddAccount("alice", Role::Admin, "long enough 1", 10, error)) << error;
    const std::string token = accounts.Store->NewToken("alice", 11, error);
    // Read once: known while the database hangs.
    ASSERT_TRUE(accounts.Store->AccountByToken(token));
    ASSERT_TRUE(accounts.Store->Authenticate("alice", "long enough 1", 12));
#endif

    ASSERT_TRUE(cluster.Pause());
    // The ban list comes from what was last read.
    EXPECT_LT(Took([&] { EXPECT_TRUE(list.Load(error)) << error; }), kBound);
    EXPECT_TRUE(list.ActiveBanFor("MALLORY", 60));
    EXPECT_TRUE(bans.Store->Offline());

    // The history waits in the outbox; a flush never waits, and the batch sent is given up once
    // its answer is a deadline late.
    history.Store->ChatRead(2, "Bob", "during");
    EXPECT_LT(Took([&] { Tick(*history.Store, [&] { return history.Store->Failing(); }); }), kBound);
    EXPECT_TRUE(history.Store->Failing());
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("did not answer"), std::string::npos) << log.back();
    EXPECT_EQ(history.Store->Pending(), 1u);

#if defined(TOVI_ACCOUNTS)
    // Accounts as last read; a token never seen is refused, without waiting again.
    EXPECT_LT(Took([&] {
                  const auto found = accounts.Store->AccountByToken(token);
                  ASSERT_TRUE(found);
                  EXPECT_EQ(found->Name, "alice");
              }),
              kBound);
    EXPECT_LT(Took([&] { EXPECT_FALSE(accounts.Store->AccountByToken("tovi_made_up")); }), kBound);
    EXPECT_TRUE(accounts.Store->Authenticate("alice", "long enough 1", 20));
    EXPECT_FALSE(accounts.Store->Authenticate("alice", "wrong password", 20));
    EXPECT_FALSE(accounts.Store->AddAccount("bob", Role::Viewer, "long enough 2", 21, error));
#endif

    ASSERT_TRUE(cluster.Resume());
    // The outbox is delivered, once; the list is read again, with a change made meanwhile.
    Tick(*history.Store, [&] { return history.Store->Pending() == 0 && !history.Store->Failing(); });
    EXPECT_EQ(Chat(conninfo), (Strings{"before", "during"}));
    {
        auto other = PgBanStore::Open(conninfo);
        ASSERT_TRUE(other.Store) << other.Error;
        BanList otherList(other.Store.get());
        ASSERT_TRUE(otherList.Load(error)) << error;
        ASSERT_TRUE(otherList.Add({0, "Eve", false, "spam", "admin", 70}, error)) << error;
    }
    for (int reread = 0; reread < 300 && (bans.Store->Offline() || !list.ActiveBanFor("EVE", 80)); ++reread) {
        pollfd ready{bans.Store->Socket(), static_cast<short>(bans.Store->WantsWrite() ? POLLOUT : POLLIN), 0};
        poll(&ready, ready.fd >= 0 ? 1 : 0, 100);
        if (bans.Store->Connecting() && !bans.Store->Advance()) continue;
        list.Load(error);
    }
    EXPECT_FALSE(bans.Store->Offline());
    EXPECT_TRUE(list.ActiveBanFor("EVE", 80));
#if defined(TOVI_ACCOUNTS)
    bool added = false;
    for (int call = 0; call < 300 && !added; ++call) {
        added = accounts.Store->AddAccount("bob", Role::Viewer, "long enough 2", 30, error);
        if (!added) poll(nullptr, 0, 50);
    }
    EXPECT_TRUE(added) << error;
    EXPECT_FALSE(accounts.Store->AccountByToken("tovi_made_up"));
    EXPECT_TRUE(accounts.Store->FindAccount("BOB"));
#endif
}

#if defined(TOVI_ACCOUNTS)
// A lock held on the accounts by another session: a check is answered once the database's own
// lock wait gives up, from the accounts last read, and a write is refused rather than left waiting.
TEST(SharedStoreHang, AccountsLockedElsewhereAnswerWithinTheDeadline) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    std::string error;
    {
        auto admin = PgConnection::Connect(conninfo, error);
        ASSERT_TRUE(admin && pgschema::Migrate(*admin, pgschema::kSchemaVersion, error)) << error;
    }
    auto accounts = PgAccountStore::Open(conninfo, kDeadlineMs);
    ASSERT_TRUE(accounts.Store) << accounts.Error;
    ASSERT_TRUE(accounts.Store->AddAccount("alice", Role::Moderator, "long enough 1", 10, error)) << error;
    ASSERT_TRUE(accounts.Store->FindAccount("alice"));

    auto locker = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(locker && locker->Run("BEGIN") && locker->Run("LOCK TABLE accounts IN ACCESS EXCLUSIVE MODE"))
        << error;
    EXPECT_LT(Took([&] { EXPECT_FALSE(accounts.Store->AccountByToken("tovi_made_up")); }), kBound);
    EXPECT_LT(Took([&] {
                  const auto found = accounts.Store->FindAccount("ALICE");
                  ASSERT_TRUE(found);
                  EXPECT_EQ(found->AccountRole, Role::Moderator);
              }),
              kBound);
    EXPECT_LT(Took([&] { EXPECT_FALSE(accounts.Store->AddAccount("bob", Role::Viewer, "long enough 2", 11, error)); }),
              kBound);
    ASSERT_TRUE(locker->Run("ROLLBACK"));

    // The same connection serves once the lock is gone.
    EXPECT_TRUE(accounts.Store->AddAccount("bob", Role::Viewer, "long enough 2", 12, error)) << error;
    EXPECT_TRUE(accounts.Store->Authenticate("bob", "long enough 2", 13));
}

namespace {

// Refreshes the panel's mirror of the shared accounts until the reading ends.
SharedAccountStore::Progress Reading(SharedAccountStore& store) {
    store.Refresh();
    for (int tick = 0; tick < 300; ++tick) {
        const auto progress = store.Advance();
        if (progress == SharedAccountStore::Progress::Read || progress == SharedAccountStore::Progress::Failed)
            return progress;
        pollfd ready{store.Socket(), static_cast<short>(store.WantsWrite() ? POLLOUT : POLLIN), 0};
        poll(&ready, ready.fd >= 0 ? 1 : 0, 100);
    }
    return SharedAccountStore::Progress::Waiting;
}

}  // namespace

// The panel's accounts answered from their mirror in the copy's file: nothing before the first
// reading, then what the database said. A lock or a hang fails a reading and changes no answer; a
// removal read from the database does, and a login let in through the mirror is noted there with
// the next reading. Started anew while the database hangs, the copy answers from its file alone;
// set to another database, from none of it.
TEST(SharedStoreHang, PanelAccountsAnswerFromTheirMirrorThroughLocksAndHangs) {
    PgCluster cluster;  // its own: this test stops it
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder dir;
    const std::string local = (dir / "tovistats.db").string();
    ASSERT_TRUE(SqliteHistoryStore::Open(local, {}).Store);
    std::string error;
    {
        auto admin = PgConnection::Connect(conninfo, error);
        ASSERT_TRUE(admin && pgschema::Migrate(*admin, pgschema::kSchemaVersion, error)) << error;
    }
    auto writer = PgAccountStore::Open(conninfo, kDeadlineMs);
    ASSERT_TRUE(writer.Store) << writer.Error;
    ASSERT_TRUE(writer.Store->AddAccount("alice", Role::Moderator, "long enough 1", 10, error)) << error;
    ASSERT_TRUE(writer.Store->AddAccount("bob", Role::Viewer, "long enough 2", 10, error)) << error;
    const std::string token = writer.Store->NewToken("alice", 11, error);
    ASSERT_FALSE(token.empty()) << error;

    auto opened = SharedAccountStore::Open(conninfo, local, kDeadlineMs);
    ASSERT_TRUE(opened.Store) << opened.Error;
    SharedAccountStore& accounts = *opened.Store;
    EXPECT_FALSE(accounts.FindAccount("alice"));
    ASSERT_EQ(Reading(accounts), SharedAccountStore::Progress::Read) << accounts.Error();
    EXPECT_TRUE(accounts.Authenticate("ALICE", "long enough 1", 20));
    EXPECT_FALSE(accounts.Authenticate("alice", "long enough 2", 20));
    ASSERT_TRUE(accounts.AccountByToken(token));
    EXPECT_EQ(accounts.AccountByToken(token)->AccountRole, Role::Moderator);

    auto locker = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(locker && locker->Run("BEGIN") && locker->Run("LOCK TABLE accounts IN ACCESS EXCLUSIVE MODE"))
        << error;
    EXPECT_EQ(Reading(accounts), SharedAccountStore::Progress::Failed);
    EXPECT_TRUE(accounts.Authenticate("bob", "long enough 2", 21));
    EXPECT_TRUE(accounts.AccountByToken(token));
    EXPECT_FALSE(accounts.AccountByToken("tovi_made_up"));
    ASSERT_TRUE(locker->Run("ROLLBACK"));

    ASSERT_TRUE(cluster.Pause());
    EXPECT_EQ(Reading(accounts), SharedAccountStore::Progress::Failed);
    EXPECT_NE(accounts.Error().find("cannot be reached"), std::string::npos) << accounts.Error();
    EXPECT_TRUE(accounts.Authenticate("alice", "long enough 1", 22));
    EXPECT_TRUE(accounts.FindAccount("bob"));
    ASSERT_TRUE(cluster.Resume());

    ASSERT_TRUE(writer.Store->RemoveAccount("bob", error)) << error;
    ASSERT_EQ(Reading(accounts), SharedAccountStore::Progress::Read) << accounts.Error();
    EXPECT_FALSE(accounts.FindAccount("bob"));
    EXPECT_FALSE(accounts.Authenticate("bob", "long enough 2", 23));
    ASSERT_TRUE(writer.Store->FindAccount("alice"));
    EXPECT_EQ(writer.Store->FindAccount("alice")->LastLogin, 22);

    opened.Store.reset();
    ASSERT_TRUE(cluster.Pause());
    auto again = SharedAccountStore::Open(conninfo, local, kDeadlineMs);
    ASSERT_TRUE(again.Store) << again.Error;
    EXPECT_TRUE(again.Store->Authenticate("alice", "long enough 1", 30));
    EXPECT_TRUE(again.Store->AccountByToken(token));
    EXPECT_FALSE(again.Store->FindAccount("bob"));
    ASSERT_TRUE(cluster.Resume());

    // Set to another database, the copy lets in none of the accounts read from this one.
    auto other = SharedAccountStore::Open(cluster.Conninfo("another"), local, kDeadlineMs);
    ASSERT_TRUE(other.Store) << other.Error;
    EXPECT_FALSE(other.Store->Authenticate("alice", "long enough 1", 31));
    EXPECT_FALSE(other.Store->AccountByToken(token));
}
#endif

// A database whose schema is newer than this program knows is named as such by every part, and
// written to by none.
TEST(SharedStoreNewer, EachPartSaysTheDatabaseIsNewerAndWritesNothing) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    std::string error;
    auto admin = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(admin && pgschema::Migrate(*admin, pgschema::kSchemaVersion, error)) << error;
#if defined(TOVI_ACCOUNTS)
    auto before = PgAccountStore::Open(conninfo);  // opened before a newer version took over
    ASSERT_TRUE(before.Store) << before.Error;
#endif
    const int newer = pgschema::kSchemaVersion + 1;
    ASSERT_TRUE(admin->Run("UPDATE tovi_schema SET version = $1", {int64_t{newer}}));
    auto saysNewer = [&](const std::string& text) {
        EXPECT_NE(text.find("newer version of Tovi stats (schema " + std::to_string(newer) + ")"), std::string::npos)
            << text;
        EXPECT_NE(text.find("knows up to " + std::to_string(pgschema::kSchemaVersion)), std::string::npos) << text;
        EXPECT_EQ(text.find("cannot be reached"), std::string::npos) << text;
    };

    auto history = PgHistoryStore::Open(conninfo, "EU1", {});
    EXPECT_FALSE(history.Store);
    saysNewer(history.Error);
    auto bans = PgBanStore::Open(conninfo);
    EXPECT_FALSE(bans.Store);
    saysNewer(bans.Error);

    // With the server's own file, the bans last read are enforced, and the log says why.
    TempFolder dir;
    const std::string local = (dir / "tovistats.db").string();
    ASSERT_TRUE(SqliteHistoryStore::Open(local, {}).Store);
    auto cached = PgBanStore::Open(conninfo, local, kDeadlineMs);
    ASSERT_TRUE(cached.Store) << cached.Error;
    BanList list(cached.Store.get());
    for (int reread = 0; reread < 300 && !cached.Store->Offline(); ++reread) {
        pollfd ready{cached.Store->Socket(), static_cast<short>(cached.Store->WantsWrite() ? POLLOUT : POLLIN), 0};
        poll(&ready, ready.fd >= 0 ? 1 : 0, 100);
        EXPECT_TRUE(list.Load(error)) << error;
    }
    EXPECT_TRUE(cached.Store->Offline());
    saysNewer(cached.Store->OfflineReason());

#if defined(TOVI_ACCOUNTS)
    auto accounts = PgAccountStore::Open(conninfo);
    EXPECT_FALSE(accounts.Store);
    saysNewer(accounts.Error);
    EXPECT_FALSE(before.Store->AddAccount("alice", Role::Admin, "long enough 1", 10, error));
    saysNewer(error);
    PgResult count = admin->Exec("SELECT count(*) FROM accounts");
    EXPECT_EQ(count.Int(0, 0), 0);
#endif
}

// Two copies (two data folders) with one server code: the second is told which holds it, and its
// history waits in its own file until the first stops, then goes in whole; an upload marks only
// the uploading copy's matches.
TEST(SharedStoreLease, ASecondCopyWithTheSameCodeWaitsForTheFirst) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder folderA, folderB;
    const std::string fileA = (folderA / "tovistats.db").string(), fileB = (folderB / "tovistats.db").string();
    ASSERT_TRUE(SqliteHistoryStore::Open(fileA, {}).Store);
    ASSERT_TRUE(SqliteHistoryStore::Open(fileB, {}).Store);
    Strings logA, logB;
    auto open = [&](const std::string& file, Strings& log) {
        return PgHistoryStore::Open(
            conninfo, "EU1", [&log](const std::string& line) { log.push_back(line); },
            PgHistoryStore::kSchemaVersion, file, kDeadlineMs);
    };
    auto a = open(fileA, logA);
    ASSERT_TRUE(a.Store) << a.Error;
    a.Store->MatchStarted({10, "EU", "Map", "MAP.BMS", "TDM"});
    a.Store->ChatRead(11, "Ann", "from A");
    a.Store->MatchEnded({20, "1", 2, true, ""});
    Tick(*a.Store, [&] { return a.Store->Pending() == 0; });
    ASSERT_EQ(Chat(conninfo), Strings{"from A"});

    auto b = open(fileB, logB);
    ASSERT_TRUE(b.Store) << b.Error;
    b.Store->ChatRead(30, "Bob", "from B");
    Tick(*b.Store, [&] { return !b.Store->HeldElsewhere().empty(); });
    EXPECT_NE(b.Store->HeldElsewhere().find("process " + std::to_string(getpid())), std::string::npos)
        << b.Store->HeldElsewhere();
    ASSERT_FALSE(logB.empty());
    EXPECT_NE(logB.back().find("Another copy"), std::string::npos) << logB.back();
    EXPECT_GT(b.Store->Pending(), 0u);
    // The first copy writes on under its lease.
    a.Store->ChatRead(31, "Ann", "A again");
    Tick(*a.Store, [&] { return a.Store->Pending() == 0; });
    EXPECT_EQ(Chat(conninfo), (Strings{"from A", "A again"}));
    EXPECT_TRUE(logA.empty() || logA.back().find("Another copy") == std::string::npos);

    // It stops and gives the code back: the second copy's history goes in, and its upload
    // marks its own match only.
    a.Store.reset();
    b.Store->MatchStarted({40, "EU", "Map", "MAP.BMS", "TDM"});
    b.Store->MatchEnded({50, "2", 2, true, ""});
    b.Store->StatsUploaded(51, 5);
    Tick(*b.Store, [&] { return b.Store->Pending() == 0; });
    EXPECT_TRUE(b.Store->HeldElsewhere().empty());
    EXPECT_TRUE(std::any_of(logB.begin(), logB.end(),
                            [](const std::string& line) { return line.find("the other copy stopped") != std::string::npos; }));
    EXPECT_EQ(Chat(conninfo), (Strings{"from A", "A again", "from B"}));
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(conn) << error;
    PgResult marked = conn->Exec(
        "SELECT started, coalesce(upload_outcome, '-') FROM matches WHERE server = 'EU1' ORDER BY started");
    ASSERT_TRUE(marked.Ok() && marked.Rows() == 2) << marked.Error();
    EXPECT_EQ(marked.Text(0, 1), "-");
    EXPECT_EQ(marked.Text(1, 1), "uploaded");
}
