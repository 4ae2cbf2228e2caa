// The record on a real SQLite file in a private folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "Fakes.h"
#include "HistoryRecorder.h"
#include "SqliteHistoryStore.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

std::unique_ptr<SqliteHistoryStore> OpenOk(const fs::path& file, SqliteHistoryStore::LogFn log = {},
                                           int version = SqliteHistoryStore::kSchemaVersion) {
    auto opened = SqliteHistoryStore::Open(file.string(), std::move(log), version);
    EXPECT_TRUE(opened.Store) << opened.Error;
    return std::move(opened.Store);
}

// A plain query on the file, the way another reader sees it: each row's columns joined by '|'.
Strings Rows(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    Strings rows;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                std::string row;
                for (int c = 0; c < sqlite3_column_count(st); ++c) {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                    row += (c ? "|" : "") + std::string(text ? text : "");
                }
                rows.push_back(row);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

int64_t Count(const fs::path& file, const std::string& sql) {
    const Strings rows = Rows(file, sql);
    return rows.empty() || rows[0].empty() ? -1 : std::stoll(rows[0]);
}

}  // namespace

// What a session records is written at the flush, survives a reopen and is found again; game
// texts with quotes, SQL and search syntax are stored and found as the bytes they are.
TEST(HistoryStore, RecordsPerFlushAndFindsAfterReopen) {
    TempFolder dir;
    const fs::path file = dir / "tovistats.db";
    const std::string hostile = "'; DROP TABLE chat; -- \"OR* NEAR(";
    const std::string accented = "J\xE9r\xF4me";  // Windows-1252
    {
        auto store = OpenOk(file);
        store->MatchStarted({100, "Server", "Island", "island.bms", "TDM"});
        store->PlayerJoined(101, accented, 3, 1);
        store->PlayerJoined(101, "Robert');--", 4, 2);
        store->ChatRead(102, accented, "hello there " + hostile);
        store->ChatSent(103, "", "welcome to the server");
        store->AdminActionDone(
            {104, "operator at the window", "punt", accented, "camping", "", Outcome::Sent, ""});
        store->AdminActionDone(
            {105, "operator at the window", "ban", "Ghost", "", "", Outcome::Refused, "not present"});
        EXPECT_EQ(Count(file, "SELECT count(*) FROM chat"), 0) << "written before the tick's flush";
        store->Flush();
        EXPECT_EQ(Count(file, "SELECT count(*) FROM chat"), 2);
        store->PlayerLeft(106, accented);
        store->PlayerStats(accented, 1, {{"Kills", 7}, {"Deaths", 2}});
        store->MatchEnded({110, "Blue won", 2, true, ""});
    }  // closing writes what is left

    auto store = OpenOk(file);
    auto chat = store->Search(HistoryKind::Chat, "HELLO", 10);
    ASSERT_EQ(chat.size(), 1u);
    EXPECT_EQ(chat[0].Player, accented);
    EXPECT_EQ(chat[0].Text, "hello there " + hostile);
    EXPECT_EQ(store->Search(HistoryKind::Chat, hostile, 10).size(), 1u);
    EXPECT_EQ(store->Search(HistoryKind::Chat, "", 10).size(), 2u);
    EXPECT_TRUE(store->Search(HistoryKind::Chat, "nobody said this", 10).empty());

    auto players = store->Search(HistoryKind::Players, "J\xC9R", 10);  // another case
    ASSERT_EQ(players.size(), 1u);
    EXPECT_EQ(players[0].Player, accented);
    EXPECT_EQ(players[0].Detail, "left 106");
    EXPECT_EQ(store->Search(HistoryKind::Players, "');--", 10).size(), 1u);
    EXPECT_TRUE(store->Search(HistoryKind::Players, "%", 10).empty()) << "a wildcard typed is a character";

    auto admin = store->Search(HistoryKind::Admin, "ghost", 10);
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_EQ(admin[0].Text, "ban refused: not present");
    EXPECT_EQ(store->Search(HistoryKind::Admin, "", 10).size(), 2u);

    EXPECT_EQ(Count(file, "SELECT count(*) FROM matches WHERE ended = 110 AND stats_written = 1"), 1);
    EXPECT_EQ(Count(file, "SELECT sum(value) FROM player_stats"), 9);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM stints WHERE left_at = 110"), 1)
        << "match end closes open stints";
    // A second run numbers its matches after the first's.
    store->MatchStarted({200, "Server", "Desert", "desert.bms", "TDM"});
    store->ChatRead(201, "x", "second match");
    store->Flush();
    EXPECT_EQ(Count(file, "SELECT match_id FROM chat WHERE time = 201"), 2);
}

// An older database is brought forward and keeps its rows: chat kept before the search index
// existed, or before prefixes were indexed, is found by its words and their beginnings, and so are
// lines written afterwards. A newer database and a file that is no database are refused and left
// unchanged.
TEST(HistoryStore, MigratesOlderSchemasAndRefusesNewerOrDamagedFiles) {
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
        auto store = OpenOk(file);
        EXPECT_EQ(Count(file, "PRAGMA user_version"), SqliteHistoryStore::kSchemaVersion);
        EXPECT_EQ(store->Search(HistoryKind::Chat, "earlier version", 10).size(), 1u);
        EXPECT_EQ(store->Search(HistoryKind::Chat, "ear vers", 10).size(), 1u) << "prefixes";
        EXPECT_EQ(store->Search(HistoryKind::Chat, "fill", 1000).size(), 300u);
        EXPECT_EQ(store->Search(HistoryKind::Chat, "a", 10).size(), 1u) << "a single letter is a word";
        store->ChatRead(4, "Cy", "earnest words after the move");
        EXPECT_EQ(store->Search(HistoryKind::Chat, "ear", 10).size(), 2u);
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
TEST(HistoryStore, FailedWritesAreLoggedOnceKeptAndRecovered) {
    TempFolder dir;
    const fs::path file = dir / "tovistats.db";
    Strings log;
    auto store = OpenOk(file, [&log](const std::string& line) { log.push_back(line); });
    store->MatchStarted({1, "S", "M", "m.bms", "DM"});
    store->Flush();

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
        EXPECT_TRUE(store->Failing());
        EXPECT_EQ(store->Pending(), 500u);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("could not be written"), std::string::npos) << log[0];
    }
    store->ChatRead(20, "Ann", "after the disk came back");
    store->Flush();
    EXPECT_FALSE(store->Failing());
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "History is written again");
    EXPECT_EQ(Count(file, "SELECT count(*) FROM chat"), 501);
    EXPECT_EQ(store->Search(HistoryKind::Chat, "came back", 10).size(), 1u);
}

// A program killed at any moment of its writes leaves a database that opens, is consistent, and
// holds every batch it finished, each one whole; the upkeep thread's checkpoints and full-text
// merges run meanwhile.
TEST(HistoryStore, KillDuringWritesLosesAtMostTheLastBatch) {
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
            // Written (not held back by a merge step), and how many checkpoints so far.
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
    EXPECT_EQ(OpenOk(file)->Search(HistoryKind::Chat, "line of batch " + std::to_string(last), 10).size(),
              1u);
}

// What the program sees and does, turned into the record: a match from hosting to scoring, players
// who join, leave and come back under another case, chat, and console sends with their outcomes.
TEST(HistoryStore, RecorderKeepsMatchesStintsChatAndAdminOutcomes) {
    TempFolder dir;
    const fs::path file = dir / "tovistats.db";
    auto store = OpenOk(file);
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
    rec.SendFinished({"command", "punt 2", SendNote{"punt", "bob", "spam"}, SendOutcome::Sent});
    rec.SendFinished({"gtalk", "too long", SendNote{}, SendOutcome::TooLong});
    rec.SendFinished({"gtalk", "hello all", SendNote{"automatic message", "", "", true}, SendOutcome::Sent});
    rec.TickDone(true, s, table);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM admin_actions"), 3) << "written at the tick's end";

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

    EXPECT_EQ(
        Count(
            file,
            "SELECT count(*) FROM matches WHERE ended = 1003 AND stats_written = 1 AND map_name = 'Island'"),
        1);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM matches"), 1);
    EXPECT_TRUE(store->Search(HistoryKind::Players, "early", 10).empty());
    const auto bobs = store->Search(HistoryKind::Players, "BOB", 10);
    ASSERT_EQ(bobs.size(), 2u);
    EXPECT_EQ(bobs[0].Player, "bob");
    EXPECT_EQ(bobs[0].Detail, "left 1003");
    EXPECT_EQ(bobs[1].Detail, "left 1001");
    EXPECT_EQ(store->Search(HistoryKind::Players, "ann", 10).size(), 1u);
    EXPECT_EQ(Count(file, "SELECT value FROM player_stats WHERE name = 'Ann' AND stat = 'Kills'"), 5);

    const auto chat = store->Search(HistoryKind::Chat, "", 10);
    ASSERT_EQ(chat.size(), 2u) << "a line the console refused was not sent";
    EXPECT_EQ(chat[0].Text, "hello all");
    EXPECT_EQ(chat[0].Detail, "sent");
    EXPECT_EQ(chat[1].Detail, "read");

    const auto punts = store->Search(HistoryKind::Admin, "punt", 10);
    ASSERT_EQ(punts.size(), 1u);
    EXPECT_EQ(punts[0].Player, "bob");
    EXPECT_EQ(punts[0].Detail, std::string(kOperatorAtWindow) + " spam command punt 2");
    const auto refused = store->Search(HistoryKind::Admin, "too long", 10);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].Text, "chat refused: the text does not fit the console");
    EXPECT_EQ(store->Search(HistoryKind::Admin, "the program", 10).size(), 1u);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM server_events WHERE kind IN ('found', 'lost')"), 2);

    // Found again, a second match; the service then confirms one match: the older.
    s.State = 3;
    rec.TickDone(true, s, table);
    rec.StatsWritten(true, "");
    s.State = 4;
    rec.TickDone(true, s, table);
    rec.StatsUploaded(1);
    rec.TickDone(true, s, table);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM matches WHERE stats_written = 1"), 2);
    EXPECT_EQ(Count(file, "SELECT group_concat(id) FROM matches WHERE upload_outcome = 'uploaded'"), 1);
}
