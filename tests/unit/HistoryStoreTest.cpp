// The record on a real SQLite file in a private folder, and the cases every engine must pass on
// a real PostgreSQL database as well.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "Fakes.h"
#include "HistoryCsv.h"
#include "HistoryExport.h"
#include "HistoryRecorder.h"
#include "SqliteHistoryStore.h"
#include "StoreEngines.h"
#if defined(TOVI_TOVISTATS_PATH)
#include "Tovistats.h"
#endif
#if defined(TOVI_STORE_POSTGRES)
#include "PgCluster.h"
#include "PgHistoryStore.h"
#include "StoreMigration.h"
#endif

using namespace tovi;
using namespace tovi::testing;

namespace {

std::unique_ptr<SqliteHistoryStore> OpenOk(const fs::path& file, SqliteHistoryStore::LogFn log = {},
                                           int version = SqliteHistoryStore::kSchemaVersion) {
    auto opened = SqliteHistoryStore::Open(file.string(), std::move(log), version);
    EXPECT_TRUE(opened.Store) << opened.Error;
    return std::move(opened.Store);
}

Strings Texts(const std::vector<HistoryRow>& rows) {
    Strings texts;
    for (const HistoryRow& row : rows) texts.push_back(row.Text);
    return texts;
}

// Two matches seen by the program, the second still under way: "J\xE9r\xF4me" under three
// spellings, Bob, chat, admin actions and events at known times.
const std::string kJerome = "J\xE9r\xF4me", kJEROME = "J\xC9R\xD4ME", kjerome = "j\xE9r\xF4me";
void RecordTwoMatches(HistoryStore& store) {
    store.ServerEvent(90, "found", "Island server");
    store.MatchStarted({100, "Srv", "Island", "isl.bms", "TDM"});
    store.PlayerJoined(101, kJerome, 1, 1);
    store.PlayerJoined(101, "Bob", 2, 2);
    store.ChatRead(110, kJerome, "gg all");
    store.ChatRead(120, "Bob", "gg fran\xE7ois");
    store.ChatRead(130, kJerome, "gg again");
    store.AdminActionDone({140, "operator at the window", ActionKind::Punt, kJEROME, "spam", "punt 1", Outcome::Sent, ""});
    store.AdminActionDone({141, "operator at the window", ActionKind::Ban, "J\xE9r\xF4me2", "", "", Outcome::Sent, ""});
    store.PlayerLeft(150, kJerome);
    store.PlayerJoined(160, kJEROME, 1, 2);
    store.PlayerStats(kJEROME, 2, {{"Kills", 4}, {"Deaths", 1}});
    store.PlayerStats("Bob", 2, {{"Kills", 9}});
    store.MatchEnded({200, "Red won", 2, true, ""});
    store.ServerEvent(201, "state", "Desert loading");
    store.MatchStarted({300, "Srv", "Desert", "des.bms", "CTF"});
    store.PlayerJoined(301, kjerome, 5, 1);
    store.ChatSent(310, "", "welcome to Desert");
    store.AdminActionDone({320, "operator at the window", ActionKind::Talk, kjerome, "", "hi", Outcome::Refused, "not present"});
    store.Flush();
}

class HistoryStores : public ::testing::TestWithParam<Engine> {
protected:
    StorePlace place{GetParam()};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Engines, HistoryStores, ::testing::ValuesIn(Engines()), EngineName);

// What a session records is written at the flush, survives a reopen and is found again; game
// texts with quotes, SQL and search syntax are stored and found as the bytes they are.
TEST_P(HistoryStores, RecordsPerFlushAndFindsAfterReopen) {
    const std::string hostile = "'; DROP TABLE chat; -- \"OR* NEAR(";
    const std::string accented = "J\xE9r\xF4me";  // Windows-1252
    {
        auto store = place.Open();
        store->MatchStarted({100, "Server", "Island", "island.bms", "TDM"});
        store->PlayerJoined(101, accented, 3, 1);
        store->PlayerJoined(101, "Robert');--", 4, 2);
        store->ChatRead(102, accented, "hello there " + hostile);
        store->ChatSent(103, "", "welcome to the server");
        store->AdminActionDone(
            {104, "operator at the window", ActionKind::Punt, accented, "camping", "", Outcome::Sent, ""});
        store->AdminActionDone(
            {105, "operator at the window", ActionKind::Ban, "Ghost", "", "", Outcome::Refused, "not present"});
        EXPECT_EQ(place.Count("SELECT count(*) FROM chat"), 0) << "written before the tick's flush";
        store->Flush();
        StorePlace::Written(*store);
        EXPECT_EQ(place.Count("SELECT count(*) FROM chat"), 2);
        store->PlayerLeft(106, accented);
        store->PlayerStats(accented, 1, {{"Kills", 7}, {"Deaths", 2}});
        store->MatchEnded({110, "Blue won", 2, true, ""});
    }  // closing writes what is left

    auto store = place.Open();
    auto chat = store->Search({HistoryKind::Chat, "HELLO"});
    ASSERT_EQ(chat.size(), 1u);
    EXPECT_EQ(chat[0].Player, accented);
    EXPECT_EQ(chat[0].Text, "hello there " + hostile);
    EXPECT_EQ(store->Search({HistoryKind::Chat, hostile}).size(), 1u);
    EXPECT_EQ(store->Search({HistoryKind::Chat, ""}).size(), 2u);
    EXPECT_TRUE(store->Search({HistoryKind::Chat, "nobody said this"}).empty());

    auto players = store->Search({HistoryKind::Players, "J\xC9R"});  // another case
    ASSERT_EQ(players.size(), 1u);
    EXPECT_EQ(players[0].Player, accented);
    EXPECT_EQ(players[0].Detail, "left 1970-01-01T00:01:46Z");
    EXPECT_EQ(players[0].LeftAt, 106) << "a stint's end as a time of its own";
    EXPECT_EQ(store->Search({HistoryKind::Players, "');--"}).size(), 1u);
    EXPECT_TRUE(store->Search({HistoryKind::Players, "%"}).empty()) << "a wildcard typed is a character";

    auto admin = store->Search({HistoryKind::Admin, "ghost"});
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_EQ(admin[0].Text, "ban refused: not present");
    // Field by field too, for a face to put in its own words.
    ASSERT_TRUE(admin[0].Action);
    EXPECT_EQ(admin[0].Action->Who, "operator at the window");
    EXPECT_EQ(admin[0].Action->Action, ActionKind::Ban);
    EXPECT_EQ(admin[0].Action->Target, "Ghost");
    EXPECT_EQ(admin[0].Action->Result, Outcome::Refused);
    EXPECT_EQ(admin[0].Action->Why, "not present");
    const auto punt = store->Search({HistoryKind::Admin, "camping"});
    ASSERT_EQ(punt.size(), 1u);
    ASSERT_TRUE(punt[0].Action);
    EXPECT_EQ(punt[0].Action->Target, accented) << "the game's bytes, as kept";
    EXPECT_EQ(punt[0].Action->Reason, "camping");
    EXPECT_EQ(punt[0].Action->Time, 104);
    EXPECT_FALSE(chat[0].Action) << "only admin rows carry an action";
    EXPECT_EQ(store->Search({HistoryKind::Admin, ""}).size(), 2u);

    EXPECT_EQ(place.Count("SELECT count(*) FROM matches WHERE ended = 110 AND stats_written = 1"), 1);
    EXPECT_EQ(place.Count("SELECT sum(value) FROM player_stats"), 9);
    EXPECT_EQ(place.Count("SELECT count(*) FROM stints WHERE left_at = 110"), 1)
        << "match end closes open stints";
    // A second run numbers its matches after the first's.
    store->MatchStarted({200, "Server", "Desert", "desert.bms", "TDM"});
    store->ChatRead(201, "x", "second match");
    StorePlace::Written(*store);
    EXPECT_EQ(place.Count("SELECT match_id FROM chat WHERE time = 201"), 2);
}

// An older database is brought forward and keeps its rows: chat kept before the search index
// existed, or before prefixes were indexed, is found by its words and their beginnings, and so are
// lines written afterwards. A newer database and a file that is no database are refused and left
// unchanged.
TEST(SqliteHistoryStore, MigratesOlderSchemasAndRefusesNewerOrDamagedFiles) {
    for (int version = 1; version < SqliteHistoryStore::kSchemaVersion; ++version) {
        SCOPED_TRACE("from schema " + std::to_string(version));
        TempFolder dir;
        const fs::path file = dir / "tovistats.db";
        {
            auto old = OpenOk(file, {}, version);
            old->MatchStarted({1, "S", "M", "m.bms", "DM"});
            for (int i = 0; i < 300; ++i) old->ChatRead(2, "Ann", "filler line " + std::to_string(i));
            old->ChatRead(2, "Ann", "kept from an earlier version");
            old->ChatRead(3, "Bob", "a word alone");
        }
        ASSERT_EQ(Count(file, "PRAGMA user_version"), version);
#ifndef _WIN32
        // An older version left it readable to everyone: it is made private.
        fs::permissions(file, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
#endif
        auto store = OpenOk(file);
#ifndef _WIN32
        EXPECT_EQ(fs::status(file).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
#endif
        EXPECT_EQ(Count(file, "PRAGMA user_version"), SqliteHistoryStore::kSchemaVersion);
        EXPECT_EQ(store->Search({HistoryKind::Chat, "earlier version"}).size(), 1u);
        EXPECT_EQ(store->Search({HistoryKind::Chat, "ear vers"}).size(), 1u) << "prefixes";
        EXPECT_EQ(store->Search({HistoryKind::Chat, "fill"}).size(), 300u);
        EXPECT_EQ(store->Search({HistoryKind::Chat, "a"}).size(), 1u) << "a single letter is a word";
        store->ChatRead(4, "Cy", "earnest words after the move");
        EXPECT_EQ(store->Search({HistoryKind::Chat, "ear"}).size(), 2u);
    }

    TempFolder dir;
    const fs::path file = dir / "tovistats.db";
    OpenOk(file).reset();

    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA user_version=99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const std::string newer = ReadBytes(file);
    auto refused = SqliteHistoryStore::Open(file.string(), {});
    EXPECT_FALSE(refused.Store);
    EXPECT_NE(refused.Error.find("newer version"), std::string::npos) << refused.Error;
    EXPECT_TRUE(ReadBytes(file) == newer) << "the newer database was changed";
    EXPECT_FALSE(fs::exists(dir / "tovistats.db-wal"));

    const std::string garbage(8192, '\x5A');
    WriteBytes(file, garbage);
    auto damaged = SqliteHistoryStore::Open(file.string(), {});
    EXPECT_FALSE(damaged.Store);
    EXPECT_NE(damaged.Error.find("damaged"), std::string::npos) << damaged.Error;
    EXPECT_TRUE(ReadBytes(file) == garbage) << "the damaged file was changed";
}

// A disk that refuses to grow (a file size limit) fails the tick's write: that is said once, the
// rows wait, and once the disk takes them again they are written and the recovery is said.
TEST(SqliteHistoryStore, FailedWritesAreLoggedOnceKeptAndRecovered) {
    TempFolder dir;
    const fs::path file = dir / "tovistats.db";
    Strings log;
    auto store = OpenOk(file, [&log](const std::string& line) { log.push_back(line); });
    store->MatchStarted({1, "S", "M", "m.bms", "DM"});
    store->Drain();

    struct LimitGuard {
        rlimit saved{};
        void (*savedHandler)(int) = nullptr;
        LimitGuard() {
            getrlimit(RLIMIT_FSIZE, &saved);
            savedHandler = signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails with EFBIG instead
            rlimit small = saved;
            small.rlim_cur = 64 * 1024;
            setrlimit(RLIMIT_FSIZE, &small);
        }
        ~LimitGuard() {
            setrlimit(RLIMIT_FSIZE, &saved);
            signal(SIGXFSZ, savedHandler);
        }
    };
    const std::string line(500, 'w');
    {
        LimitGuard full;
        for (int tick = 0; tick < 5; ++tick) {
            for (int i = 0; i < 100; ++i)
                store->ChatRead(10 + tick, "Ann", line + std::to_string(tick * 100 + i));
            store->Flush();
        }
        store->Drain();  // the writer has tried every batch while the disk was full
        EXPECT_TRUE(store->Failing());
        EXPECT_EQ(store->Pending(), 500u);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("could not be written"), std::string::npos) << log[0];
    }
    store->ChatRead(20, "Ann", "after the disk came back");
    store->Flush();
    store->Drain();
    EXPECT_FALSE(store->Failing());
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "History is written again");
    EXPECT_EQ(Count(file, "SELECT count(*) FROM chat"), 501);
    EXPECT_EQ(store->Search({HistoryKind::Chat, "came back"}).size(), 1u);
}

// A program killed at any moment of its writes leaves a database that opens, is consistent, and
// holds every batch it finished, each one whole; the writer's commits, checkpoints and full-text
// merges run meanwhile.
TEST(SqliteHistoryStore, KillDuringWritesLosesAtMostTheLastBatch) {
    TempFolder dir;
    const fs::path file = dir / "tovistats.db";
    constexpr int kRows = 40;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        auto opened = SqliteHistoryStore::Open(file.string(), {});
        if (!opened.Store) _exit(2);
        opened.Store->MatchStarted({1, "S", "M", "m.bms", "DM"});
        for (int32_t batch = 1;; ++batch) {
            for (int i = 0; i < kRows; ++i) opened.Store->ServerEvent(batch, "batch", std::to_string(i));
            opened.Store->ChatRead(batch, "Ann", "line of batch " + std::to_string(batch));
            opened.Store->Flush();
            // The batch counts as written only once the writer has committed it (and no failure
            // holds it back); meanwhile the kill may land in the writer's commit, merge or checkpoint.
            opened.Store->Drain();
            const int32_t done[2] = {opened.Store->Pending() == 0 ? batch : 0,
                                     static_cast<int32_t>(opened.Store->CheckpointsDone())};
            if (write(pipeFds[1], done, sizeof done) != sizeof done) _exit(3);
        }
    }
    close(pipeFds[1]);
    int32_t reported = 0, done[2] = {0, 0};
    for (int reads = 0; (reported < 25 || done[1] < 2) && reads < 20'000; ++reads) {
        ASSERT_EQ(read(pipeFds[0], done, sizeof done), static_cast<ssize_t>(sizeof done));
        reported = std::max(reported, done[0]);
    }
    EXPECT_GE(done[1], 2) << "no checkpoint was made";
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));

    ASSERT_TRUE(OpenOk(file));
    EXPECT_EQ(Rows(file, "PRAGMA integrity_check"), Strings{"ok"});
    const Strings batches =
        Rows(file, "SELECT time, count(*) FROM server_events GROUP BY time ORDER BY time");
    ASSERT_FALSE(batches.empty());
    const int64_t last = std::stoll(batches.back());
    EXPECT_GE(last, reported) << "a batch the child finished is missing";
    EXPECT_EQ(static_cast<int64_t>(batches.size()), last) << "a batch in the middle is missing";
    for (const std::string& batch : batches)
        EXPECT_TRUE(batch.ends_with("|" + std::to_string(kRows))) << batch << " is not whole";
    EXPECT_EQ(Count(file, "SELECT count(*) FROM chat"), last);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "INSERT INTO chat_fts(chat_fts) VALUES('integrity-check')", nullptr, nullptr,
                           nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    EXPECT_EQ(OpenOk(file)->Search({HistoryKind::Chat, "line of batch " + std::to_string(last)}).size(),
              1u);
}

// What the program sees and does, turned into the record: a match from hosting to scoring, players
// who join, leave and come back under another case, chat, and console sends with their outcomes.
TEST_P(HistoryStores, RecorderKeepsMatchesStintsChatAndAdminOutcomes) {
    auto store = place.Open();
    // What the ticks handed over, once the writer has committed it.
    auto written = [&](const std::string& sql) {
        StorePlace::Written(*store);
        return place.Count(sql);
    };
    int64_t now = 1000;
    HistoryRecorder rec(*store, [&] { return now; });
    ServerStatus s;
    PlayerTable table;
    s.State = 2;
    s.ServerName = "Srv";
    s.MapName = "Island";
    s.MapFile = "isl.bms";
    s.GameType = 1;
    rec.TickDone(false, s, table);       // no game yet: no news
    rec.TickDone(true, s, table);        // found, waiting
    rec.PlayersRead({{"Early", 1, 1}});  // nobody plays before the match
    s.State = 3;
    rec.TickDone(true, s, table);
    rec.PlayersRead({{"Ann", 1, 1}, {"Bob", 2, 2}});
    ++now;
    rec.ChatRead("Bob", "gg");
    rec.PlayersRead({{"Ann", 1, 1}});
    ++now;
    rec.PlayersRead({{"Ann", 1, 1}, {"bob", 2, 2}});
    rec.SendFinished({"command", "punt 2", SendNote{ActionKind::Punt, "bob", "spam"}, SendOutcome::Sent});
    rec.SendFinished({"gtalk", "too long", SendNote{}, SendOutcome::TooLong});
    rec.SendFinished({"gtalk", "hello all", SendNote{ActionKind::AutomaticMessage, "", "", true}, SendOutcome::Sent});
    rec.ChatRead("Host", "hello all");  // the program's own line read back
    rec.TickDone(true, s, table);
    EXPECT_EQ(written("SELECT count(*) FROM admin_actions"), 3) << "written at the tick's end";

    PlayerClass ann;
    ann.P_Name = "Ann";
    ann.P_Team = 1;
    ann.P_Kills = 3;
    ann.B_Kills = 2;
    table.Replace(ann);
    rec.StatsWritten(true, "");
    s.State = 4;
    s.PlayerCount = 2;
    ++now;
    rec.TickDone(true, s, table);
    s.State = 1;
    rec.TickDone(true, s, table);
    rec.TickDone(false, s, table);

    EXPECT_EQ(written("SELECT count(*) FROM matches WHERE ended = 1003 AND stats_written = 1 AND map_name = 'Island'"),
              1);
    EXPECT_EQ(written("SELECT count(*) FROM matches"), 1);
    EXPECT_TRUE(store->Search({HistoryKind::Players, "early"}).empty());
    const auto bobs = store->Search({HistoryKind::Players, "BOB"});
    ASSERT_EQ(bobs.size(), 2u);
    EXPECT_EQ(bobs[0].Player, "bob");
    EXPECT_EQ(bobs[0].Detail, "left 1970-01-01T00:16:43Z");
    EXPECT_EQ(bobs[1].Detail, "left 1970-01-01T00:16:41Z");
    EXPECT_EQ(store->Search({HistoryKind::Players, "ann"}).size(), 1u);
    EXPECT_EQ(written("SELECT value FROM player_stats WHERE name = 'Ann' AND stat = 'Kills'"), 5);

    const auto chat = store->Search({HistoryKind::Chat, ""});
    ASSERT_EQ(chat.size(), 2u) << "a line the console refused was not sent, and one sent is kept once";
    EXPECT_EQ(chat[0].Text, "hello all");
    EXPECT_EQ(chat[0].Detail, "sent, seen in game at 1970-01-01T00:16:42Z");
    EXPECT_EQ(chat[1].Detail, "read");

    const auto punts = store->Search({HistoryKind::Admin, "punt"});
    ASSERT_EQ(punts.size(), 1u);
    EXPECT_EQ(punts[0].Player, "bob");
    EXPECT_EQ(punts[0].Detail, std::string(kOperatorAtWindow) + " spam command punt 2");
    const auto refused = store->Search({HistoryKind::Admin, "too long"});
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].Text, "chat refused: the text does not fit the console");
    EXPECT_EQ(store->Search({HistoryKind::Admin, "the program"}).size(), 1u);
    EXPECT_EQ(written("SELECT count(*) FROM server_events WHERE kind IN ('found', 'lost')"), 2);

    // Found again, a second match; the service then confirms one match: the older.
    s.State = 3;
    rec.TickDone(true, s, table);
    rec.StatsWritten(true, "");
    s.State = 4;
    rec.TickDone(true, s, table);
    rec.StatsUploaded(1);
    rec.TickDone(true, s, table);
    EXPECT_EQ(written("SELECT count(*) FROM matches WHERE stats_written = 1"), 2);
    EXPECT_EQ(written("SELECT sum(id) FROM matches WHERE upload_outcome = 'uploaded'"), 1);
}

// The program's own line is kept once, as sent, and keeps when the game was seen showing it;
// one not read back yet is only sent.
TEST_P(HistoryStores, OwnChatIsKeptOnceAsSentAndLinkedToItsReadBack) {
    auto store = place.Open();
    int64_t now = 1000;
    HistoryRecorder rec(*store, [&] { return now; });
    rec.SendFinished({"gtalk", "hello all", SendNote{}, SendOutcome::Sent});
    now = 1001;
    rec.SendFinished({"gtalk", "bye", SendNote{}, SendOutcome::Sent});
    now = 1003;
    rec.ChatRead("Host", "hello all");
    store->Flush();
    const auto chat = store->Search({HistoryKind::Chat, ""});
    ASSERT_EQ(Texts(chat), (Strings{"bye", "hello all"}));
    EXPECT_EQ(chat[0].Detail, "sent");
    EXPECT_FALSE(chat[0].SeenAt);
    EXPECT_EQ(chat[1].Detail, "sent, seen in game at 1970-01-01T00:16:43Z");
    EXPECT_EQ(chat[1].SeenAt, 1003);
    EXPECT_EQ(place.Count("SELECT count(*) FROM chat WHERE read_back_at = 1003 AND time = 1000"), 1);
}

// A match keeps the result byte its end read; a server lost during a match ends it there, with
// the stints, and one back already hosting begins another; a start during the score screen
// begins none.
TEST_P(HistoryStores, RecorderKeepsResultsEndsLostMatchesAndBeginsNoneAtTheScoreScreen) {
    auto store = place.Open();
    int64_t now = 1000;
    HistoryRecorder rec(*store, [&] { return now; });
    ServerStatus s;
    PlayerTable table;
    s.GameType = 1;
    auto tick = [&](bool attached, uint8_t state) {
        s.State = state;
        rec.TickDone(attached, s, table);
    };
    tick(true, 4);  // the program starts during the score screen
    tick(true, 1);
    tick(true, 3);
    rec.PlayersRead({{"Ann", 1, 1}});
    now = 1005;
    rec.StatsWritten(true, "", 3);
    tick(true, 4);
    tick(true, 1);
    now = 1010;
    tick(true, 3);
    rec.PlayersRead({{"Bob", 2, 2}});
    now = 1013;
    tick(false, 3);
    now = 1054;
    tick(true, 3);
    StorePlace::Written(*store);

    EXPECT_EQ(place.Rows("SELECT started, coalesce(ended, 0), coalesce(result, '-'),"
                         " CASE WHEN stats_refused IS NULL THEN 1 ELSE 0 END FROM matches ORDER BY id"),
              (Strings{"1000|1005|3|1", "1010|1013|-|0", "1054|0|-|1"}));
    EXPECT_EQ(place.Rows("SELECT name, left_at FROM stints ORDER BY joined"),
              (Strings{"Ann|1005", "Bob|1013"}));
}

// Matches whose statistics waited in memory count as written once the stats file takes them, and
// their upload is then confirmed like any other's; a match the file never took stays unwritten.
TEST_P(HistoryStores, MatchesSavedLaterCountAsWrittenAndUploaded) {
    auto store = place.Open();
    int64_t now = 1000;
    HistoryRecorder rec(*store, [&] { return now; });
    ServerStatus s;
    PlayerTable table;
    s.GameType = 1;
    auto match = [&](bool written, const std::string& why) {
        s.State = 3;
        rec.TickDone(true, s, table);
        ++now;
        rec.StatsWritten(written, why);
        s.State = 4;
        rec.TickDone(true, s, table);
    };
    match(false, "the stats file could not be written");
    match(false, kStatsKeptInMemory);
    match(false, kStatsKeptInMemory);
    rec.StatsSavedLater(2);
    match(true, "");
    rec.StatsUploaded(3);
    rec.TickDone(true, s, table);
    StorePlace::Written(*store);
    EXPECT_EQ(place.Rows("SELECT stats_written, coalesce(upload_outcome, '-') FROM matches ORDER BY id"),
              (Strings{"0|-", "1|uploaded", "1|uploaded", "1|uploaded"}));
}

// Every filter given must hold: kind, words, part of a name in any case, and the time range
// (From inclusive, To exclusive), on each kind; the limit keeps the newest.
TEST_P(HistoryStores, SearchCombinesWordsPlayerAndTimeOnEveryKind) {
    auto store = place.Open();
    RecordTwoMatches(*store);
    auto find = [&](HistoryKind kind, const std::string& text, const std::string& player, int64_t from = 0,
                    int64_t to = 0, int limit = 1000) { return store->Search({kind, text, player, from, to, limit}); };

    EXPECT_EQ(Texts(find(HistoryKind::Chat, "gg", "\xC9R\xD4")), (Strings{"gg again", "gg all"}));
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "gg", "", 110, 130)), (Strings{"gg fran\xE7ois", "gg all"}));
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "", "bo", 0, 121)), Strings{"gg fran\xE7ois"});
    // Words match whatever their case and accents.
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "FRANCOIS", "")), Strings{"gg fran\xE7ois"});
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "fran\xC7", "")), Strings{"gg fran\xE7ois"});
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "gg", "", 0, 0, 1)), Strings{"gg again"});
    EXPECT_TRUE(find(HistoryKind::Chat, "welcome", "bob").empty());
    const auto chat = find(HistoryKind::Chat, "", "", 300);
    ASSERT_EQ(chat.size(), 1u);
    EXPECT_EQ(chat[0].Match, 2);

    const auto stints = find(HistoryKind::Players, "", "J\xC9r\xF4", 101, 301);
    ASSERT_EQ(stints.size(), 2u);
    EXPECT_EQ(stints[0].Player, kJEROME);
    EXPECT_EQ(stints[1].Player, kJerome);
    // Each stint's end: the match's end, his leaving, none while he plays.
    EXPECT_EQ(stints[0].LeftAt, 200);
    EXPECT_EQ(stints[1].LeftAt, 150);
    const auto playing = find(HistoryKind::Players, "", "", 301);
    ASSERT_EQ(playing.size(), 1u);
    EXPECT_EQ(playing[0].LeftAt, std::nullopt);
    EXPECT_EQ(playing[0].Detail, "playing");
    EXPECT_EQ(find(HistoryKind::Players, "bob", "JER").size(), 0u);

    const auto actions = find(HistoryKind::Admin, "punt", kjerome);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].Detail, "operator at the window spam punt 1");
    EXPECT_EQ(find(HistoryKind::Admin, "REFUSED", "", 320, 321).size(), 1u);
    EXPECT_EQ(find(HistoryKind::Admin, "", kjerome, 0, 320).size(), 2u) << "the punt and the ban of J\xE9r\xF4me2";

    const auto matches = find(HistoryKind::Matches, "", "bob");
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].Match, 1);
    EXPECT_EQ(matches[0].Time, 100);
    EXPECT_EQ(matches[0].Text, "Island (isl.bms) TDM, Srv");
    EXPECT_EQ(matches[0].Detail, "Red won, 1:40, 2 players, stats written");
    EXPECT_EQ(matches[0].LeftAt, std::nullopt) << "only a stint ends with a player leaving";
    const auto desert = find(HistoryKind::Matches, "ctf", "\xC9R");
    ASSERT_EQ(desert.size(), 1u);
    EXPECT_EQ(desert[0].Detail, "not ended");

    EXPECT_EQ(Texts(find(HistoryKind::Events, "desert", "")), Strings{"state"});
    EXPECT_EQ(find(HistoryKind::Events, "", "", 90, 91).size(), 1u);
    EXPECT_TRUE(find(HistoryKind::Events, "", "bob").empty()) << "no event names a player";
    HistoryQuery ofKind{HistoryKind::Events, "STATE", ""};
    ofKind.EventKind = "state";
    EXPECT_TRUE(store->Search(ofKind).empty()) << "of one kind, the text is looked for in the detail alone";
    ofKind.Text = "LOADING";
    EXPECT_EQ(Texts(store->Search(ofKind)), Strings{"state"});
    ofKind.EventKind = "found";
    EXPECT_TRUE(store->Search(ofKind).empty());

    // The export reads the same rows in small pieces and merges them into what a sort of every
    // search's rows by time gives.
    std::vector<HistoryRow> all;
    for (HistoryKind kind : {HistoryKind::Matches, HistoryKind::Players, HistoryKind::Chat,
                             HistoryKind::Admin, HistoryKind::Events}) {
        const auto found = find(kind, "", "", 101);
        all.insert(all.end(), found.rbegin(), found.rend());
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.Time < b.Time; });
    TempFolder dir;
    std::string error;
    bool readFailed = false;
    EXPECT_EQ(WriteHistoryCsv(*store, 101, dir / "all.csv", error, readFailed, {2, 64}), all.size()) << error;
    EXPECT_EQ(ReadBytes(dir / "all.csv"), HistoryCsv(all));
}

// A player's record gathers every spelling of his name, each stint with its match's map, the
// matches with his statistics, and the admin actions aimed at him, none of another name.
TEST_P(HistoryStores, PlayerRecordGathersNamesStintsMatchesAndActionsAcrossCase) {
    auto store = place.Open();
    RecordTwoMatches(*store);
    const PlayerHistory record = store->PlayerRecord("J\xC9r\xF4ME");
    EXPECT_EQ(record.Names, (Strings{kjerome, kJEROME, kJerome}));
    ASSERT_EQ(record.Stints.size(), 3u);
    EXPECT_EQ(record.Stints[0].MapName, "Desert");
    EXPECT_EQ(record.Stints[0].Left, 0) << "still playing";
    EXPECT_EQ(record.Stints[1].Left, 200) << "the match end closed it";
    EXPECT_EQ(record.Stints[2].Left, 150);
    EXPECT_EQ(record.Stints[2].Slot, 1);
    ASSERT_EQ(record.Matches.size(), 2u);
    EXPECT_EQ(record.Matches[0].MapName, "Desert");
    EXPECT_TRUE(record.Matches[0].Stats.empty());
    EXPECT_EQ(record.Matches[1].Result, "Red won");
    EXPECT_EQ(record.Matches[1].Team, 2);
    ASSERT_EQ(record.Matches[1].Stats.size(), 2u) << "Bob's statistics are not his";
    EXPECT_EQ(record.Matches[1].Stats[0].Value, 4);
    ASSERT_EQ(record.Actions.size(), 2u) << "the ban of J\xE9r\xF4me2 is not his";
    EXPECT_EQ(record.Actions[0].Result, Outcome::Refused);
    EXPECT_EQ(record.Actions[0].Why, "not present");
    EXPECT_EQ(record.Actions[1].Target, kJEROME);
    EXPECT_TRUE(store->PlayerRecord("Jer").Stints.empty()) << "a part of a name is another name";
}

// A record kept before names were kept folded and times indexed is brought forward: its chat and
// admin actions are found by a part of a name whatever its case, with the lines written since,
// and by time; the size counts them all. A read that fails says why, and the next one that works
// says nothing.
TEST_P(HistoryStores, OlderRowsAreFoundByNameAndTimeAfterTheMoveAndAFailedReadIsSaid) {
    {
        auto old = place.Open({}, 10);
        old->MatchStarted({100, "Srv", "Island", "isl.bms", "TDM"});
        old->ChatRead(101, kJerome, "hello");
        old->ChatRead(102, "Bob", "hi");
        old->AdminActionDone({103, "op", ActionKind::Punt, kJEROME, "spam", "", Outcome::Sent, ""});
        old->ServerEvent(104, "state", "Hosting");
        StorePlace::Written(*old);
    }
    auto store = place.Open();
    store->ChatRead(110, kjerome, "again");
    // A name of no letter, and more names holding a part than a list of names takes.
    store->ChatRead(111, "***", "gg stars");
    for (int i = 0; i < 70; ++i) store->ChatRead(112, "zed" + std::to_string(i), "gg zed");
    StorePlace::Written(*store);
    auto find = [&](HistoryKind kind, const std::string& player, int64_t from = 0, int64_t to = 0) {
        return store->Search({kind, "", player, from, to});
    };
    EXPECT_EQ(Texts(store->Search({HistoryKind::Chat, "gg", "**"})), Strings{"gg stars"});
    EXPECT_EQ(store->Search({HistoryKind::Chat, "gg", "ZED"}).size(), 70u);
    EXPECT_EQ(find(HistoryKind::Chat, "zed").size(), 70u);
    EXPECT_EQ(store->Search({HistoryKind::Chat, "gg", "zed1"}).size(), 11u);
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "\xC9R\xD4")), (Strings{"again", "hello"}));
    EXPECT_TRUE(find(HistoryKind::Chat, "nobody").empty());
    EXPECT_EQ(Texts(find(HistoryKind::Chat, "", 102, 111)), (Strings{"again", "hi"}));
    EXPECT_TRUE(find(HistoryKind::Chat, "", 113, 200).empty());
    EXPECT_EQ(find(HistoryKind::Admin, "j\xE9r").size(), 1u);
    EXPECT_EQ(find(HistoryKind::Admin, "", 103, 104).size(), 1u);
    EXPECT_EQ(find(HistoryKind::Events, "", 104, 105).size(), 1u);
    EXPECT_EQ(store->PlayerRecord("J\xE9R\xD4me").Actions.size(), 1u);
    const HistorySize size = store->Size();
    EXPECT_EQ(size.Chat, 74);
    EXPECT_EQ(size.AdminActions, 1);
    EXPECT_EQ(size.Events, 1);
    EXPECT_EQ(size.Matches, 1);
    EXPECT_EQ(store->ReadError(), "");

    // Another program takes a table away under the store.
    if (place.Kind() == Engine::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(place.File().string().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP TABLE server_events", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    } else {
        place.Rows("DROP TABLE server_events");
    }
    EXPECT_TRUE(find(HistoryKind::Events, "").empty());
    EXPECT_NE(store->ReadError(), "");
    EXPECT_EQ(find(HistoryKind::Chat, "").size(), 74u);
    EXPECT_EQ(store->ReadError(), "");
}

// Forgetting goes in bounded calls until nothing older is left: rows stamped before the time go,
// rows of that very second stay, a match goes with its stints and statistics once it ended, the
// match under way stays, and the chat index forgets the lines with them.
TEST_P(HistoryStores, ForgetBeforeGoesInBoundedBatchesAndKeepsTheChatIndexTrue) {
    auto store = place.Open();
    RecordTwoMatches(*store);
    for (int i = 0; i < 10; ++i) store->ChatRead(130 + i / 5, "Ann", "filler " + std::to_string(i));
    store->Flush();
    const HistorySize before = store->Size();
    EXPECT_EQ(before.Chat, 14);
    EXPECT_EQ(before.Matches, 2);
    EXPECT_GT(before.Bytes, 0);

    EXPECT_EQ(store->ForgetBefore(90, 4), 0) << "nothing is older than the first row";
    std::vector<int> calls;
    for (int gone = -1; gone != 0 && calls.size() < 20;) calls.push_back(gone = store->ForgetBefore(131, 4));
    ASSERT_GT(calls.size(), 3u);
    for (int gone : calls) EXPECT_LE(gone, 4);
    EXPECT_EQ(place.Count("SELECT min(time) FROM chat"), 131);
    EXPECT_EQ(place.Count("SELECT count(*) FROM chat"), 6) << "five fillers of second 131 and Desert's line";
    EXPECT_EQ(place.Count("SELECT count(*) FROM server_events"), 1);
    EXPECT_EQ(place.Count("SELECT count(*) FROM matches"), 2) << "the Island match ended after 131";
    EXPECT_TRUE(store->Search({HistoryKind::Chat, "all"}).empty());
    EXPECT_EQ(store->Search({HistoryKind::Chat, "filler"}).size(), 5u);

    while (store->ForgetBefore(1000, 4) > 0) {
    }
    EXPECT_EQ(place.Count("SELECT sum(id) FROM matches"), 2) << "the match under way stays";
    EXPECT_EQ(place.Count("SELECT count(*) FROM stints WHERE match_id = 1"), 0);
    EXPECT_EQ(place.Count("SELECT count(*) FROM player_stats"), 0);
    EXPECT_EQ(place.Count("SELECT count(*) FROM stints"), 1);
    EXPECT_TRUE(store->Search({HistoryKind::Chat, "filler"}).empty());
    const HistorySize after = store->Size();
    EXPECT_EQ(after.Chat + after.AdminActions + after.Events + after.Stints, 1);
    store = place.Open();  // the next run, before its first match
    EXPECT_EQ(store->ForgetBefore(1000, 4), 0) << "the newest match stays: the next match's number follows it";

    if (GetParam() == Engine::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(place.File().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "INSERT INTO chat_fts(chat_fts) VALUES('integrity-check')", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
}

// Game texts become CSV that a spreadsheet reads as the texts they are: quotes doubled, control
// bytes that would break the row blanked, formulas disarmed, Windows-1252 turned into UTF-8.
TEST(HistoryCsv, QuotesEncodesAndDisarmsHostileTexts) {
    const std::vector<HistoryRow> rows = {
        {"chat", 1765000000, "J\xE9r\xF4me", "say \"hi\", all", "read", 3},
        {"chat", 0, "=HYPERLINK(\"x\")", "+1", "-2", 0},
        {"admin", 59, "@SUM(A1)", "\tcmd", "line\r\nnext\x01", 0},
        {"event", 86399, " padded", "5\x80 \x9C", "", 0},
        {"event", INT64_MAX, "", "", "", 0},
    };
    EXPECT_EQ(HistoryCsv(rows),
              "Time (UTC),Kind,Player,Text,Detail,Match\r\n"
              "2025-12-06T05:46:40Z,chat,J\xC3\xA9r\xC3\xB4me,\"say \"\"hi\"\", all\",read,3\r\n"
              "1970-01-01T00:00:00Z,chat,\"'=HYPERLINK(\"\"x\"\")\",'+1,'-2,\r\n"
              "1970-01-01T00:00:59Z,admin,'@SUM(A1),' cmd,\"line  next \",\r\n"
              "1970-01-01T23:59:59Z,event,\" padded\",5\xE2\x82\xAC \xC5\x93,,\r\n"
              "9223372036854775807,event,,,,\r\n");

    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
    const std::string csv = HistoryCsv({{"chat", 0, everyByte, everyByte, everyByte, 0}});
    size_t controls = 0;
    for (char c : csv) controls += static_cast<unsigned char>(c) < 32 ? 1 : 0;
    EXPECT_EQ(controls, 4u) << "one row: two CR LF and no other control byte";
}

namespace {

// A record that hands out its rows a piece at a time, oldest first by kind, fails the read it is
// told to, and notes the most rows it held out at once, however it was asked.
class PiecesStore : public NoHistory {
public:
    std::vector<HistoryRow> rows;  // in the order the export must write them
    size_t largest = 0;
    int failingRead = -1;
    int reads = 0;

    bool ReadOldestFirst(HistoryKind kind, int64_t, int64_t& after, int piece, std::vector<HistoryRow>& out,
                         std::string& error) override {
        out.clear();
        if (reads++ == failingRead) {
            error = "disk I/O error";
            return false;
        }
        for (size_t i = static_cast<size_t>(after);
             i < rows.size() && out.size() < static_cast<size_t>(piece); ++i) {
            if (rows[i].Kind != KindName(kind)) continue;
            out.push_back(rows[i]);
            after = static_cast<int64_t>(i + 1);
        }
        largest = std::max(largest, out.size());
        return true;
    }
    std::vector<HistoryRow> Search(const HistoryQuery& q) override {
        std::vector<HistoryRow> found;
        for (const HistoryRow& row : rows)
            if (row.Kind == KindName(q.Kind)) found.insert(found.begin(), row);
        if (found.size() > static_cast<size_t>(q.Limit)) found.resize(static_cast<size_t>(q.Limit));
        largest = std::max(largest, found.size());
        return found;
    }

private:
    static std::string KindName(HistoryKind kind) {
        switch (kind) {
            case HistoryKind::Matches:
                return "match";
            case HistoryKind::Players:
                return "player";
            case HistoryKind::Chat:
                return "chat";
            case HistoryKind::Admin:
                return "admin";
            case HistoryKind::Events:
                return "event";
        }
        return "";
    }
};

}  // namespace

// A long record is exported without ever being held whole: each kind is read a few rows at a
// time and merged in time order, kinds in their order within one second; a read that fails part
// way leaves the old file as it was and no part of the new one.
TEST(HistoryExport, ReadsAndWritesInPiecesAndAFailedReadLeavesTheOldFile) {
    PiecesStore store;
    const char* kinds[] = {"match", "player", "chat", "admin", "event"};
    for (int i = 0; i < 60; ++i) {
        // Every third second has one row of each kind; the others one of a single kind.
        const int64_t time = 1765000000 + i;
        for (int k = 0; k < 5; ++k) {
            if (i % 3 == 0 || k == i % 5)
                store.rows.push_back(
                    {kinds[k], time, "P" + std::to_string(i), "row " + std::to_string(k), "", 0});
        }
    }
    TempFolder dir;
    const fs::path csv = dir / "history.csv";
    {
        std::ofstream old(csv, std::ios::binary);
        old << "the export before";
    }
    std::string error;
    bool readFailed = false;
    store.failingRead = 12;
    EXPECT_FALSE(WriteHistoryCsv(store, 0, csv, error, readFailed, {3, 100}));
    EXPECT_TRUE(readFailed);
    EXPECT_EQ(error, "disk I/O error");
    EXPECT_EQ(ReadBytes(csv), "the export before");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);

    store.failingRead = -1;
    EXPECT_EQ(WriteHistoryCsv(store, 0, csv, error, readFailed, {3, 100}), store.rows.size()) << error;
    EXPECT_EQ(ReadBytes(csv), HistoryCsv(store.rows));
    EXPECT_EQ(store.largest, 3u);
}

#if defined(TOVI_TOVISTATS_PATH)
// The export for scripts, run as the real program beside a store that is still open: a wrong
// date or a missing database fails with a word and no file; a good run writes every kind since
// the day, oldest first, and says how many rows.
TEST(SqliteHistoryStore, ExportHistoryCommandWritesEveryKindSinceTheDay) {
    TempFolder dir;
    const fs::path data = dir / "data", csv = dir / "out.csv";
    fs::create_directories(data);
    auto [missingCode, missing] = Tovistats(dir, {"--export-history", csv.string(), "--data-dir", data.string()});
    EXPECT_EQ(missingCode, 1);
    EXPECT_NE(missing.find("no history database"), std::string::npos) << missing;

    auto store = OpenOk(data / "tovistats.db");
    const int64_t day = 1765000000 - 1765000000 % 86400;  // 2025-12-06
    store->ServerEvent(day - 1, "state", "the day before");
    store->MatchStarted({day, "Srv", "Island", "isl.bms", "TDM"});
    store->PlayerJoined(day + 1, "Bob", 1, 1);
    store->ChatRead(day + 2, "Bob", "=1+1, \"quoted\"");
    store->AdminActionDone({day + 3, "operator at the window", ActionKind::Punt, "Bob", "", "", Outcome::Sent, ""});
    store->ServerEvent(day + 4, "state", "hosting");
    store->Drain();  // committed: the writer gathers a few ticks before it commits

    auto [badCode, bad] = Tovistats(
        dir, {"--export-history", csv.string(), "--since", "2025-02-30", "--data-dir", data.string()});
    EXPECT_EQ(badCode, 2);
    EXPECT_NE(bad.find("YYYY-MM-DD"), std::string::npos) << bad;
    EXPECT_FALSE(fs::exists(csv));

    auto [code, said] =
        Tovistats(dir, {"--export-history=" + csv.string(), "--since=2025-12-06", "--data-dir", data.string()});
    EXPECT_EQ(code, 0) << said;
    EXPECT_EQ(said, "Exported 5 rows to " + csv.string() + ".\n");
    EXPECT_EQ(ReadBytes(csv),
              "Time (UTC),Kind,Player,Text,Detail,Match\r\n"
              "2025-12-06T00:00:00Z,match,,\"Island (isl.bms) TDM, Srv\",not ended,1\r\n"
              "2025-12-06T00:00:01Z,player,Bob,\"slot 1, team 1\",playing,1\r\n"
              "2025-12-06T00:00:02Z,chat,Bob,\"'=1+1, \"\"quoted\"\"\",read,1\r\n"
              "2025-12-06T00:00:03Z,admin,Bob,punt sent,operator at the window,\r\n"
              "2025-12-06T00:00:04Z,event,,state,hosting,\r\n");
}
#endif

#if defined(TOVI_STORE_POSTGRES)
// Flushes, the way the program's ticks do, until everything waiting has reached the database:
// between two, what the connection being made waits for on its socket may come (a tenth of a
// second at most; the number of ticks is only a bound for a failure).
void FlushUntilWritten(PgHistoryStore& store) {
    for (int tick = 0; tick < 600 && (store.Pending() > 0 || store.Failing()); ++tick) {
        store.Flush();
        pollfd ready{store.Socket(), static_cast<short>(store.WantsWrite() ? POLLOUT : POLLIN), 0};
        if (ready.fd >= 0) poll(&ready, 1, 100);
    }
}

// The shared database goes away while the program records: the rows wait in the server's own
// file, through a restart of the program, and arrive in order once the database is back; the bans
// last read are still known, also to a program started meanwhile. A
// program stopped after the database took a batch but before it noted so sends it again, and
// the database takes it no second time.
TEST(PgHistoryStore, WhileTheDatabaseIsAwayRowsWaitAndArriveOnceAndBansLastReadStay) {
    PgCluster cluster;  // its own: this test stops it
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder dir;
    const fs::path local = dir / "tovistats.db", snapshot = dir / "snapshot";
    ASSERT_TRUE(OpenOk(local));
    Strings log;
    auto open = [&] {
        auto opened = PgHistoryStore::Open(conninfo, "EU1", [&log](const std::string& line) { log.push_back(line); },
                                           PgHistoryStore::kSchemaVersion, local.string());
        EXPECT_TRUE(opened.Store) << opened.Error;
        return std::move(opened.Store);
    };
    auto chat = [&] {
        std::string error;
        auto conn = PgConnection::Connect(conninfo, error);
        Strings lines;
        PgResult r = conn->Exec("SELECT message FROM chat ORDER BY id");
        for (int i = 0; i < r.Rows(); ++i) lines.push_back(r.Text(i, 0));
        return lines;
    };

    auto store = open();
    store->MatchStarted({100, "Srv", "Island", "isl.bms", "TDM"});
    store->ChatRead(101, "Ann", "one");
    store->Flush();
    std::string error;
    {
        auto bans = PgBanStore::Open(conninfo, local.string());
        ASSERT_TRUE(bans.Store) << bans.Error;
        BanList list(bans.Store.get());
        ASSERT_TRUE(list.Add({0, "Mallory", false, "aimbot", "admin", 50}, error)) << error;
        ASSERT_TRUE(list.Load(error)) << error;
    }
    ASSERT_TRUE(cluster.Stop());
    {
        // A program that starts while the database is away enforces the bans it last read, and
        // refuses changes it could not share.
        auto bans = PgBanStore::Open(conninfo, local.string());
        ASSERT_TRUE(bans.Store) << bans.Error;
        BanList list(bans.Store.get());
        ASSERT_TRUE(list.Load(error)) << error;
        EXPECT_TRUE(bans.Store->Offline());
        EXPECT_TRUE(list.ActiveBanFor("MALLORY", 60));
        EXPECT_FALSE(list.Add({0, "Eve", false, "spam", "admin", 55}, error));
        EXPECT_EQ(list.Entries().size(), 1u);
    }
    store->ChatRead(102, "Bob", "two");
    store->ChatRead(103, "Ann", "three");
    store->MatchEnded({110, "Red won", 2, true, ""});
    store->Flush();
    EXPECT_TRUE(store->Failing());
    ASSERT_EQ(log.size(), 1u);
    store->ChatRead(111, "Cy", "four");
    store->Flush();
    EXPECT_EQ(log.size(), 1u) << "said once";
    store.reset();  // the program stops while the database is away
    for (const char* suffix : {"", "-wal"}) {
        if (fs::exists(local.string() + suffix)) fs::copy_file(local.string() + suffix, snapshot.string() + suffix);
    }

    ASSERT_TRUE(cluster.Start());
    store = open();
    FlushUntilWritten(*store);
    EXPECT_EQ(chat(), (Strings{"one", "two", "three", "four"}));
    store.reset();

    // As if the program had stopped before it noted the database's answer: the outbox as it was.
    for (const char* suffix : {"", "-wal"}) {
        fs::remove(local.string() + suffix);
        if (fs::exists(snapshot.string() + suffix)) fs::copy_file(snapshot.string() + suffix, local.string() + suffix);
    }
    store = open();
    store->MatchStarted({200, "Srv", "Desert", "des.bms", "CTF"});
    store->ChatRead(201, "Ann", "five");
    FlushUntilWritten(*store);
    EXPECT_EQ(chat(), (Strings{"one", "two", "three", "four", "five"}));
    const auto matches = store->Search({HistoryKind::Matches, ""});
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].Match, 2) << "numbered after the match that waited";
    EXPECT_EQ(matches[1].Detail, "Red won, 0:10, 2 players, stats written");
}

// A program that starts while the shared database is away keeps everything it records: through a
// restart of the program the rows wait in its own file, the matches numbered on from the last run,
// and once the database answers they arrive in order, each once. The database is made ready then
// (an empty one gets its schema and the server), and where it already holds this server's newest
// match numbers (another copy wrote them), the waiting matches take the next numbers free and
// their rows go along.
TEST(PgHistoryStore, AStartWhileTheDatabaseIsAwayKeepsEverythingAndNumbersAfterTheDatabase) {
    PgCluster cluster;  // its own: this test stops it
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string ahead = cluster.NewDatabase(), empty = cluster.NewDatabase();
    {
        auto other = PgHistoryStore::Open(ahead, "EU1", {});
        ASSERT_TRUE(other.Store) << other.Error;
        other.Store->MatchStarted({10, "Srv", "Old", "old.bms", "DM"});
        other.Store->ChatRead(11, "Zed", "elsewhere");
        other.Store->MatchStarted({20, "Srv", "Older", "older.bms", "DM"});
        other.Store->Flush();
    }
    TempFolder dir;
    const fs::path local = dir / "tovistats.db", fresh = dir / "fresh.db";
    ASSERT_TRUE(OpenOk(local));
    ASSERT_TRUE(OpenOk(fresh));
    Strings log;
    auto open = [&](const std::string& conninfo, const fs::path& outbox) {
        auto opened = PgHistoryStore::Open(
            conninfo, "EU1", [&log](const std::string& line) { log.push_back(line); },
            PgHistoryStore::kSchemaVersion, outbox.string());
        EXPECT_TRUE(opened.Store) << opened.Error;
        return std::move(opened.Store);
    };
    ASSERT_TRUE(cluster.Stop());

    auto store = open(ahead, local);
    ASSERT_TRUE(store);
    store->MatchStarted({100, "Srv", "Island", "isl.bms", "TDM"});
    store->PlayerJoined(101, "Ann", 1, 1);
    store->ChatRead(102, "Ann", "one");
    store->MatchEnded({110, "Red won", 1, true, ""});
    store->Flush();
    EXPECT_TRUE(store->Failing());
    store.reset();  // the program stops while the database is away, and starts again
    store = open(ahead, local);
    ASSERT_TRUE(store);
    store->MatchStarted({200, "Srv", "Desert", "des.bms", "CTF"});
    store->ChatRead(201, "Bob", "two");
    store->Flush();
    auto other = open(empty, fresh);
    ASSERT_TRUE(other);
    other->MatchStarted({300, "Srv", "Harbor", "hb.bms", "DM"});
    other->ChatRead(301, "Cy", "three");
    other->Flush();

    ASSERT_TRUE(cluster.Start());
    log.clear();
    FlushUntilWritten(*store);
    FlushUntilWritten(*other);
    ASSERT_EQ(store->Pending(), 0u);
    ASSERT_EQ(other->Pending(), 0u);
    store->ChatRead(202, "Bob", "after");
    store->Flush();
    StorePlace::Written(*store);

    auto rows = [](const std::string& conninfo, const std::string& sql) {
        std::string error;
        auto conn = PgConnection::Connect(conninfo, error);
        Strings all;
        PgResult r = conn ? conn->Exec(sql) : PgResult();
        for (int i = 0; i < r.Rows(); ++i) {
            std::string row;
            for (int c = 0; c < r.Columns(); ++c) row += (c ? "|" : "") + r.Text(i, c);
            all.push_back(row);
        }
        return all;
    };
    for (const std::string& line : log)
        EXPECT_EQ(line.find("History could not be written"), std::string::npos)
            << "a renumbering is no failure";
    EXPECT_EQ(
        rows(ahead, "SELECT id, started, coalesce(ended, 0) FROM matches WHERE server = 'EU1' ORDER BY id"),
        (Strings{"1|10|0", "2|20|0", "3|100|110", "4|200|0"}));
    EXPECT_EQ(rows(ahead, "SELECT message, match_id FROM chat ORDER BY id"),
              (Strings{"elsewhere|1", "one|3", "two|4", "after|4"}));
    EXPECT_EQ(rows(ahead, "SELECT name, match_id, left_at FROM stints"), (Strings{"Ann|3|110"}));
    EXPECT_EQ(rows(empty, "SELECT version FROM tovi_schema"),
              (Strings{std::to_string(PgHistoryStore::kSchemaVersion)}));
    EXPECT_EQ(rows(empty, "SELECT code FROM servers"), (Strings{"EU1"}));
    EXPECT_EQ(rows(empty, "SELECT message, match_id FROM chat"), (Strings{"three|1"}));
    // The next start numbers on from what the database told.
    store.reset();
    store = open(ahead, local);
    store->MatchStarted({400, "Srv", "Island", "isl.bms", "TDM"});
    store->Flush();
    EXPECT_EQ(store->Search({HistoryKind::Matches, ""}).front().Match, 5);
}

// The tick sends its batch and goes on: the answer is taken at a later flush, and only then does
// the batch count as written and leave the outbox. A batch the database refuses holds back the
// ones sent behind it, which go again with it, in order, once the database takes it.
TEST(PgHistoryStore, ABatchCountsAsWrittenOnlyOnceAnsweredAndARefusedOneHoldsBackThoseBehind) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder dir;
    const fs::path local = dir / "tovistats.db";
    ASSERT_TRUE(OpenOk(local));
    auto opened = PgHistoryStore::Open(conninfo, "EU1", {}, PgHistoryStore::kSchemaVersion, local.string());
    ASSERT_TRUE(opened.Store) << opened.Error;
    PgHistoryStore& store = *opened.Store;
    store.ChatRead(1, "Ann", "first");
    FlushUntilWritten(store);
    ASSERT_EQ(store.Pending(), 0u);

    store.ChatRead(2, "Ann", "sent");
    store.Flush();
    EXPECT_EQ(store.InFlight(), 1u);
    EXPECT_EQ(store.Pending(), 1u) << "not written before the database said so";
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), 1);
    FlushUntilWritten(store);
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), 0);

    std::string error;
    auto admin = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(admin) << error;
    ASSERT_TRUE(admin->Run("ALTER TABLE chat ADD CONSTRAINT refused CHECK (message <> 'bad') NOT VALID"));
    for (const char* line : {"a", "bad", "c"}) {
        store.ChatRead(3, "Bob", line);
        store.Flush();
    }
    store.Drain();
    auto chat = [&] {
        Strings lines;
        PgResult r = admin->Exec("SELECT message FROM chat ORDER BY id");
        for (int i = 0; i < r.Rows(); ++i) lines.push_back(r.Text(i, 0));
        return lines;
    };
    EXPECT_EQ(chat(), (Strings{"first", "sent", "a"}));
    EXPECT_TRUE(store.Failing());
    EXPECT_EQ(store.Pending(), 2u);
    ASSERT_TRUE(admin->Run("ALTER TABLE chat DROP CONSTRAINT refused"));
    FlushUntilWritten(store);
    EXPECT_EQ(chat(), (Strings{"first", "sent", "a", "bad", "c"}));
}

// A host that takes the connection and then never answers (a machine gone quiet behind a
// firewall) holds up nothing: each flush of a tick and each re-read of the ban list comes back at
// once, though the string tells libpq to wait for ever, the rows wait in the server's file and
// the bans last read are enforced; after some ticks without an answer the database counts as away.
// (A store that waited for the connection would hang here.)
TEST(PgHistoryStore, ASilentHostHoldsUpNeitherTheTickNorTheBanList) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ASSERT_EQ(listen(listener, 16), 0);  // connections are taken by the system, never answered
    const std::string conninfo =
        "host=127.0.0.1 port=" + std::to_string(ntohs(address.sin_port)) +
        " dbname=tovi user=tovi sslmode=disable gssencmode=disable connect_timeout=0";
    TempFolder dir;
    const fs::path local = dir / "tovistats.db";
    ASSERT_TRUE(OpenOk(local));
    {
        auto cache = SqliteBanStore::Open(local.string());
        ASSERT_TRUE(cache.Store) << cache.Error;
        BanList list(cache.Store.get());
        std::string error;
        ASSERT_TRUE(list.Add({0, "Mallory", false, "aimbot", "admin", 50}, error)) << error;
    }

    Strings log;
    auto opened = PgHistoryStore::Open(
        conninfo, "EU1", [&log](const std::string& line) { log.push_back(line); },
        PgHistoryStore::kSchemaVersion, local.string());
    ASSERT_TRUE(opened.Store) << opened.Error;
    PgHistoryStore& store = *opened.Store;
    EXPECT_GE(store.Socket(), 0) << "a connection is being made";
    for (int tick = 1; tick <= PgHistoryStore::kConnectFlushes; ++tick) {
        store.ChatRead(tick, "Ann", "line " + std::to_string(tick));
        store.Flush();
    }
    EXPECT_TRUE(store.Failing());
    EXPECT_EQ(store.Pending(), size_t{PgHistoryStore::kConnectFlushes});
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), PgHistoryStore::kConnectFlushes);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("did not answer"), std::string::npos) << log[0];

    auto bans = PgBanStore::Open(conninfo, local.string());
    ASSERT_TRUE(bans.Store) << bans.Error;
    BanList list(bans.Store.get());
    std::string error;
    for (int reread = 0; reread <= PgBanStore::kConnectLoads; ++reread) {
        ASSERT_TRUE(list.Load(error)) << error;
        EXPECT_TRUE(list.ActiveBanFor("MALLORY", 60));
    }
    EXPECT_TRUE(bans.Store->Offline());
    close(listener);
}

// Everything of every kind a store finds, as text.
Strings Everything(HistoryStore& store) {
    Strings all;
    for (HistoryKind kind :
         {HistoryKind::Chat, HistoryKind::Players, HistoryKind::Admin, HistoryKind::Matches, HistoryKind::Events}) {
        for (const HistoryRow& r : store.Search({kind, ""}))
            all.push_back(r.Kind + "|" + std::to_string(r.Time) + "|" + r.Player + "|" + r.Text + "|" + r.Detail + "|" +
                          std::to_string(r.Match));
    }
    return all;
}

// --migrate-store copies a server's file into the shared database and back: the same record is
// found on either side, the ban list goes along, and a second copy into the same place is
// refused without doubling anything. Tables go in pieces (small ones here, so that some end
// on a piece's edge and some within one), each table's progress said.
TEST(PgHistoryStore, MigrateStoreCopiesAFileIntoTheDatabaseAndBack) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string shared = "postgres:" + cluster.NewDatabase();
    TempFolder dir;
    const fs::path file = dir / "tovistats.db", back = dir / "back.db";
    Strings recorded;
    {
        auto store = OpenOk(file);
        RecordTwoMatches(*store);
        recorded = Everything(*store);
        auto bans = SqliteBanStore::Open(file.string());
        ASSERT_TRUE(bans.Store);
        BanList list(bans.Store.get());
        std::string error;
        ASSERT_TRUE(list.Add({0, "Mallory\x81", false, "aimbot", "admin", 50}, error)) << error;
    }
    auto migrate = [&](const std::vector<std::string>& args) {
        std::ostringstream out, err;
        std::vector<std::string> all = {kMigrateStoreOption};
        all.insert(all.end(), args.begin(), args.end());
        const int code = MigrateStore(all, dir.Path().string(), out, err, 3);
        return std::to_string(code) + " " + out.str() + err.str();
    };
    EXPECT_EQ(migrate({file.string(), back.string(), "--server", "EU1"}).substr(0, 2), "2 ");
    EXPECT_EQ(migrate({file.string()}).substr(0, 2), "2 ");
    EXPECT_EQ(migrate({file.string(), shared}).substr(0, 2), "2 ") << "no server code";
    const std::string done = migrate({file.string(), shared, "--server", "EU1"});
    EXPECT_EQ(done.substr(0, 2), "0 ") << done;
    EXPECT_NE(done.find("\nchat: 4 rows copied\n"), std::string::npos) << done;
    EXPECT_NE(done.find("\nplayer_stats: 3 rows copied\n"), std::string::npos) << done;
    const std::string again = migrate({file.string(), shared, "--server", "EU1"});
    EXPECT_EQ(again.substr(0, 2), "1 ") << again;

    const std::string conninfo = shared.substr(9);
    {
        auto opened = PgHistoryStore::Open(conninfo, "EU1", {});
        ASSERT_TRUE(opened.Store) << opened.Error;
        EXPECT_EQ(Everything(*opened.Store), recorded);
        auto bans = PgBanStore::Open(conninfo);
        ASSERT_TRUE(bans.Store) << bans.Error;
        BanList list(bans.Store.get());
        std::string error;
        ASSERT_TRUE(list.Load(error)) << error;
        ASSERT_EQ(list.Entries().size(), 1u);
        EXPECT_EQ(list.Entries()[0].Name, "Mallory\x81");
    }

    const std::string returned = migrate({shared, back.string(), "--server", "EU1"});
    EXPECT_EQ(returned.substr(0, 2), "0 ") << returned;
    EXPECT_NE(returned.find("\nstints: 4 rows copied\n"), std::string::npos) << returned;
    auto store = OpenOk(back);
    EXPECT_EQ(Everything(*store), recorded);
    EXPECT_EQ(store->Search({HistoryKind::Chat, "gg"}).size(), 3u) << "the chat index holds the lines copied";
    EXPECT_EQ(store->Search({HistoryKind::Chat, "", "\xC9R\xD4"}).size(), 2u) << "found by the folded names copied";
    EXPECT_EQ(store->PlayerRecord(kJEROME).Actions.size(), 2u);
    EXPECT_EQ(store->Size().Chat, 4);
    EXPECT_EQ(Count(back, "SELECT count(*) FROM bans WHERE reason = 'aimbot'"), 1);
}

// Chat words kept by an older version carry their accents; the upgrade takes them off, as the
// search looks for words without them.
TEST(PgHistoryStore, AccentedChatWordsOfAnOlderVersionAreFoundAfterTheUpgrade) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    {
        auto old = PgHistoryStore::Open(conninfo, "EU1", {}, 6);
        ASSERT_TRUE(old.Store) << old.Error;
        old.Store->ChatRead(100, "Bob", "gg J\xC9r\xF4me");
        old.Store->Flush();
    }
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(conn && conn->Run("UPDATE chat SET words = ' gg j\xC3\xA9r\xC3\xB4me '")) << error;
    auto store = PgHistoryStore::Open(conninfo, "EU1", {});
    ASSERT_TRUE(store.Store) << store.Error;
    EXPECT_EQ(Texts(store.Store->Search({HistoryKind::Chat, "jerome"})), Strings{"gg J\xC9r\xF4me"});
}

// Servers sharing a database keep their rows apart: each finds its own, numbers its own matches,
// and any of them is found by its code, as a server picker asks.
TEST(PgHistoryStore, ServersSharingADatabaseKeepTheirRowsApart) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    auto eu = PgHistoryStore::Open(conninfo, "EU1", {}), us = PgHistoryStore::Open(conninfo, "US1", {});
    ASSERT_TRUE(eu.Store && us.Store) << eu.Error << us.Error;
    RecordTwoMatches(*eu.Store);
    StorePlace::Written(*eu.Store);
    us.Store->MatchStarted({500, "Srv", "Harbor", "hb.bms", "DM"});
    us.Store->ChatRead(501, "Zed", "gg from the other side");
    us.Store->Flush();
    EXPECT_EQ(us.Store->Servers(), (Strings{"EU1", "US1"}));
    const auto own = us.Store->Search({HistoryKind::Chat, "gg"});
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].Match, 1) << "each server numbers its own matches";
    HistoryQuery other{HistoryKind::Chat, "gg"};
    other.Server = "EU1";
    EXPECT_EQ(Texts(us.Store->Search(other)), (Strings{"gg again", "gg fran\xE7ois", "gg all"}));
    EXPECT_EQ(eu.Store->Search({HistoryKind::Chat, "other"}).size(), 0u);
    EXPECT_EQ(eu.Store->PlayerRecord("Zed").Stints.size(), 0u);
    // Another server's players chart and name, as the panel shows them: its newest match without
    // an end is the one under way there.
    const PlayerActivity euSeen = us.Store->Activity(0, "EU1");
    ASSERT_EQ(euSeen.Matches.size(), 2u);
    EXPECT_FALSE(euSeen.Matches[0].UnderWay);
    EXPECT_TRUE(euSeen.Matches[1].UnderWay);
    EXPECT_EQ(euSeen.Stints.size(), 4u);
    EXPECT_EQ(us.Store->Activity(0).Stints.size(), 0u);
    EXPECT_EQ(us.Store->ServerName("EU1"), "Srv");
    EXPECT_EQ(us.Store->ServerName("nobody' OR ''='"), "");
    // The export for scripts reads the record where the program keeps it: this server's rows in
    // the shared database that settings.ini names.
    TempFolder dir;
    const fs::path csv = dir / "us.csv";
    {
        std::ofstream ini(dir / "settings.ini", std::ios::binary);
        ini << "[server]\r\nservercode=US1\r\n[store]\r\npostgres=" << conninfo << "\r\n";
    }
    std::ostringstream said, errors;
    ASSERT_EQ(ExportHistory({"--export-history", csv.string()}, dir.Path().string(), said, errors), 0) << errors.str();
    const std::string exported = ReadBytes(csv);
    EXPECT_NE(exported.find("gg from the other side"), std::string::npos) << exported;
    EXPECT_EQ(exported.find("gg j"), std::string::npos) << exported;
    EXPECT_EQ(said.str(), "Exported 2 rows to " + csv.string() + ".\n");
}

// A long outbox (the database was away for many ticks) is not held to a fixed number of batches a
// tick: a flush goes on sending as answers come, within its budget (a generous one here, so that
// the first tick that writes anything writes all).
TEST(PgHistoryStore, ABehindOutboxCatchesUpWithinOneTicksBudget) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder dir;
    const fs::path local = dir / "tovistats.db";
    ASSERT_TRUE(OpenOk(local));
    const int batches = 3 * static_cast<int>(PgHistoryStore::kMaxInFlight);
    {
        // A database that is not there: every tick's batch waits in the outbox.
        auto away = PgHistoryStore::Open("host=" + (dir / "none").string() + " port=1 user=tovi dbname=none", "EU1",
                                         {}, PgHistoryStore::kSchemaVersion, local.string());
        ASSERT_TRUE(away.Store) << away.Error;
        for (int tick = 0; tick < batches; ++tick) {
            away.Store->ChatRead(tick, "Ann", "line " + std::to_string(tick));
            away.Store->Flush();
        }
        ASSERT_EQ(away.Store->Pending(), static_cast<size_t>(batches));
    }
    auto opened = PgHistoryStore::Open(conninfo, "EU1", {}, PgHistoryStore::kSchemaVersion, local.string());
    ASSERT_TRUE(opened.Store) << opened.Error;
    PgHistoryStore& store = *opened.Store;
    store.SetCatchUpBudgetMs(60000);
    // Opening flushed once already, within the usual budget.
    const size_t before = store.Pending();
    for (int tick = 0; tick < 600 && store.Pending() == before; ++tick) {
        store.Flush();
        pollfd ready{store.Socket(), static_cast<short>(store.WantsWrite() ? POLLOUT : POLLIN), 0};
        if (ready.fd >= 0) poll(&ready, 1, 100);
    }
    EXPECT_EQ(store.Pending(), 0u);
    EXPECT_FALSE(store.Failing());
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(conn) << error;
    PgResult rows = conn->Exec("SELECT count(DISTINCT message), count(*) FROM chat");
    EXPECT_EQ(rows.Int(0, 0), batches);
    EXPECT_EQ(rows.Int(0, 1), batches);
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), 0);
}

// An outbox longer than the batches a store holds in memory is read from disk in pieces as they
// are written: in order and each once, through a restart, with what is recorded meanwhile behind
// what waited, and with a match renumbered on disk too where the database had its number. Sent
// again after answers that were lost, the batches are known and written no second time.
TEST(PgHistoryStore, AnOutboxLongerThanItsWindowIsReadInPiecesInOrderAndOnce) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    {
        auto other = PgHistoryStore::Open(conninfo, "EU1", {});
        ASSERT_TRUE(other.Store) << other.Error;
        other.Store->MatchStarted({10, "Srv", "Old", "old.bms", "DM"});
    }
    TempFolder dir;
    const fs::path local = dir / "tovistats.db", snapshot = dir / "snapshot";
    ASSERT_TRUE(OpenOk(local));
    constexpr size_t kWindow = 3;
    const std::string away = "host=" + (dir / "none").string() + " port=1 user=tovi dbname=none";
    auto open = [&](const std::string& where) {
        auto opened = PgHistoryStore::Open(where, "EU1", {}, PgHistoryStore::kSchemaVersion, local.string(),
                                           PgConnection::kDeadlineMs, kWindow);
        EXPECT_TRUE(opened.Store) << opened.Error;
        return std::move(opened.Store);
    };
    Strings said;
    // Lines of the match under way, renumbered to 2, and after a restart lines of none.
    auto say = [&](PgHistoryStore& store, int from, int to, const std::string& match) {
        for (int i = from; i < to; ++i) {
            store.ChatRead(i, "Ann", "line " + std::to_string(i));
            store.Flush();
            said.push_back("line " + std::to_string(i) + "|" + match);
            EXPECT_LE(store.InMemory(), kWindow);
        }
    };
    auto chat = [&] {
        std::string error;
        auto conn = PgConnection::Connect(conninfo, error);
        Strings lines;
        PgResult r = conn ? conn->Exec("SELECT message, match_id FROM chat ORDER BY id") : PgResult();
        for (int i = 0; i < r.Rows(); ++i) lines.push_back(r.Text(i, 0) + "|" + r.Text(i, 1));
        return lines;
    };
    {
        auto store = open(away);
        store->MatchStarted({100, "Srv", "Island", "isl.bms", "TDM"});
        say(*store, 0, 10, "2");
        EXPECT_EQ(store->Pending(), 11u);
    }
    {
        auto store = open(away);
        EXPECT_LE(store->InMemory(), kWindow);
        EXPECT_EQ(store->Pending(), 11u);
        say(*store, 10, 15, "0");
        EXPECT_EQ(store->Pending(), 16u);
    }
    for (const char* suffix : {"", "-wal"}) {
        if (fs::exists(local.string() + suffix)) fs::copy_file(local.string() + suffix, snapshot.string() + suffix);
    }

    auto store = open(conninfo);
    FlushUntilWritten(*store);
    EXPECT_EQ(chat(), said);
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), 0);
    store.reset();

    for (const char* suffix : {"", "-wal"}) {
        fs::remove(local.string() + suffix);
        if (fs::exists(snapshot.string() + suffix)) fs::copy_file(snapshot.string() + suffix, local.string() + suffix);
    }
    store = open(conninfo);
    EXPECT_LE(store->InMemory(), kWindow);
    store->ServerEvent(200, "state", "after");
    FlushUntilWritten(*store);
    EXPECT_EQ(chat(), said);
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), 0);
    EXPECT_EQ(store->Search({HistoryKind::Events, "after"}).size(), 1u);
}

// Batch keys are pruned once old, a few with a batch now and then, and each run's keys that went
// are summed up in a mark: a batch that waited on disk for longer than its key was kept (written,
// but the answer to its commit lost) is still known for written, and is written no second time.
TEST(PgHistoryStore, BatchKeysPrunedByAgeStillKnowABatchThatWaitedLonger) {
    PgCluster& cluster = SharedPgCluster();
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    TempFolder dir;
    const fs::path local = dir / "tovistats.db", snapshot = dir / "snapshot";
    ASSERT_TRUE(OpenOk(local));
    auto open = [&](const std::string& where) {
        auto opened = PgHistoryStore::Open(where, "EU1", {}, PgHistoryStore::kSchemaVersion, local.string());
        EXPECT_TRUE(opened.Store) << opened.Error;
        return std::move(opened.Store);
    };
    {
        auto store = open("host=" + (dir / "none").string() + " port=1 user=tovi dbname=none");
        for (const char* line : {"one", "two"}) {
            store->ChatRead(1, "Ann", line);
            store->Flush();
        }
    }
    for (const char* suffix : {"", "-wal"}) {
        if (fs::exists(local.string() + suffix)) fs::copy_file(local.string() + suffix, snapshot.string() + suffix);
    }
    auto store = open(conninfo);
    FlushUntilWritten(*store);
    store.reset();
    for (const char* suffix : {"", "-wal"}) {
        fs::remove(local.string() + suffix);
        if (fs::exists(snapshot.string() + suffix)) fs::copy_file(snapshot.string() + suffix, local.string() + suffix);
    }

    std::string error;
    auto admin = PgConnection::Connect(conninfo, error);
    ASSERT_TRUE(admin) << error;
    auto count = [&](const std::string& sql) {
        PgResult r = admin->Exec(sql);
        return r.Ok() ? r.Int(0, 0) : -1;
    };
    ASSERT_EQ(count("SELECT count(*) FROM store_batches WHERE server = 'EU1'"), 2);
    ASSERT_TRUE(admin->Run("UPDATE store_batches SET at = now() - make_interval(days => $1::int)",
                           {int64_t{PgHistoryStore::kBatchKeyDays + 1}}));
    {
        // Another server's first batch carries a step of pruning; its own young key stays.
        auto other = PgHistoryStore::Open(conninfo, "US1", {});
        ASSERT_TRUE(other.Store) << other.Error;
        other.Store->ChatRead(2, "Zed", "elsewhere");
        other.Store->Flush();
        ASSERT_TRUE(other.Store->Drain());
    }
    EXPECT_EQ(count("SELECT count(*) FROM store_batches WHERE server = 'EU1'"), 0);
    EXPECT_EQ(count("SELECT count(*) FROM store_batches WHERE server = 'US1'"), 1);
    EXPECT_EQ(count("SELECT upto FROM store_batch_marks WHERE server = 'EU1'"), 2);

    store = open(conninfo);
    FlushUntilWritten(*store);
    EXPECT_EQ(store->Pending(), 0u);
    EXPECT_FALSE(store->Failing());
    EXPECT_EQ(count("SELECT count(*) FROM chat WHERE server = 'EU1'"), 2) << "each written once";
    EXPECT_EQ(Count(local, "SELECT count(*) FROM shared_outbox"), 0);
}
#endif
