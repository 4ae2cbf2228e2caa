// What keeping the record costs, on a real SQLite file in a private temporary folder:
// - the insert rate of the per-tick batch: 32 players' stints and statistics and a chat line;
// - a chat search over 1,000,000 lines (full text), which the History tab runs on the
//   user-interface thread and so must stay well under a frame;
// - the poll tick's history work with no record against the SQLite record, side by side, and the
//   longest single tick over many: the flush runs on the event loop, so one slow commit (SQLite's
//   automatic WAL checkpoint, an FTS5 segment merge) is a frozen window for as long as it takes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "HistoryRecorder.h"
#include "MatchState.h"
#include "PlayerClass.h"
#include "PlayerTable.h"
#include "ServerStatus.h"
#include "SqliteHistoryStore.h"

using namespace tovi;
namespace fs = std::filesystem;

namespace {

constexpr int kPlayers = 32;
constexpr int kCorpusLines = 1'000'000;

fs::path& Folder() {
    static fs::path folder = [] {
        fs::path f =
            fs::temp_directory_path() / ("tovi-bench-history-" + std::to_string(std::random_device()()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

std::unique_ptr<SqliteHistoryStore> OpenStore(const fs::path& file) {
    SqliteHistoryStore::Opened opened = SqliteHistoryStore::Open(file.string(), {});
    if (!opened.Store) std::fprintf(stderr, "%s\n", opened.Error.c_str());
    return std::move(opened.Store);
}

// A fresh database file of its own (with its -wal and -shm beside it).
fs::path FreshFile(const std::string& name) {
    const fs::path file = Folder() / name;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
    return file;
}

std::string PlayerName(int i) {
    return "[QX]Player" + std::to_string(i);
}

std::vector<PlayerStat> SomeStats(int seed) {
    std::vector<PlayerStat> stats;
    for (const Statistic& st : kStatisticList) stats.push_back({std::string(st.Name), seed++ % 50});
    return stats;
}

// ---- insert rate ---------------------------------------------------------------------------

// Each iteration is one tick's batch at a match end, the heaviest a tick writes: 32 stints
// opened, 32 players' statistics, one chat line, then the flush.
void BM_InsertBatch(benchmark::State& state) {
    auto store = OpenStore(FreshFile("insert.db"));
    if (!store) {
        state.SkipWithError("the store could not be opened");
        return;
    }
    store->MatchStarted({1, "QX Server", "Tidal Wave", "tidal.bms", "TDM"});
    const std::vector<PlayerStat> stats = SomeStats(0);
    int64_t time = 1000, entries = 0;
    for (auto _ : state) {
        for (int p = 0; p < kPlayers; ++p) store->PlayerJoined(time, PlayerName(p), p, 1 + p % 2);
        for (int p = 0; p < kPlayers; ++p) store->PlayerStats(PlayerName(p), 1 + p % 2, stats);
        store->ChatRead(time, PlayerName(int(time % kPlayers)), "gg all, nice round on tidal");
        store->Flush();
        entries += kPlayers + kPlayers * int64_t(stats.size()) + 1;
        ++time;
    }
    if (store->Pending() != 0 || store->Failing()) state.SkipWithError("the batch was not written");
    state.counters["entries_per_s"] = benchmark::Counter(double(entries), benchmark::Counter::kIsRate);
    state.counters["entries_per_tick"] = double(kPlayers + kPlayers * int64_t(stats.size()) + 1);
}
BENCHMARK(BM_InsertBatch)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// ---- chat search ---------------------------------------------------------------------------

// Words of the corpus: a common few, many ordinary ones, and marker words at known rates.
const char* const kCommon[] = {"gg", "lol", "the", "go", "base", "nice", "shot", "team"};

// The corpus: 1,000,000 chat lines, written once per process in one transaction (the store's own
// flush keeps at most its bounded backlog, so the lines go in beside it, through the same table and
// its full-text trigger). "tidalwave" is in one line of 100, "zzrare" in one of 100,000.
const fs::path& Corpus() {
    static const fs::path file = [] {
        const fs::path f = FreshFile("corpus.db");
        OpenStore(f).reset();  // the schema
        sqlite3* db = nullptr;
        sqlite3_open(f.string().c_str(), &db);
        const auto start = std::chrono::steady_clock::now();
        // Written once, straight to the file (no WAL copy of every page); synchronous=NORMAL has
        // the commit put it on the disk, so no write-back of the corpus lands in a timed tick.
        sqlite3_exec(db,
                     "PRAGMA journal_mode=OFF; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-200000; BEGIN",
                     nullptr, nullptr, nullptr);
        // The full-text index is built once at the end ('rebuild') rather than line by line by the
        // insert trigger, which takes the trigger out for the load and puts the same one back.
        std::string trigger;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name = 'chat_fts_insert'", -1, &st,
                           nullptr);
        if (sqlite3_step(st) == SQLITE_ROW)
            trigger = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        sqlite3_exec(db, "DROP TRIGGER chat_fts_insert", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw)"
                           " VALUES (?,?,0,?,?,?,?)",
                           -1, &st, nullptr);
        std::mt19937 random(14);
        std::string message;
        for (int i = 0; i < kCorpusLines; ++i) {
            message.clear();
            const int words = 3 + int(random() % 8);
            for (int w = 0; w < words; ++w) {
                if (w) message += ' ';
                const auto r = static_cast<uint32_t>(random());
                if (r % 3 == 0)
                    message += kCommon[r % std::size(kCommon)];
                else
                    message += "word" + std::to_string(r % 20000);
            }
            if (i % 100 == 50) message += " tidalwave";
            if (i % 100'000 == 777) message += " zzrare";
            const std::string player = PlayerName(int(random() % 500));
            sqlite3_bind_int64(st, 1, 1'000'000 + i);
            sqlite3_bind_int64(st, 2, 1 + i / 5000);
            sqlite3_bind_text(st, 3, player.data(), int(player.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 4, message.data(), int(message.size()), SQLITE_TRANSIENT);
            sqlite3_bind_blob(st, 5, player.data(), int(player.size()), SQLITE_TRANSIENT);
            sqlite3_bind_blob(st, 6, message.data(), int(message.size()), SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(db, "INSERT INTO chat_fts(chat_fts) VALUES('rebuild')", nullptr, nullptr, nullptr);
        if (trigger.empty() || sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "the corpus's full-text trigger could not be put back\n");
            std::abort();
        }
        // One page rewritten and checkpointed: the checkpoint's fsync puts the whole file on the disk.
        sqlite3_exec(db,
                     "COMMIT; PRAGMA journal_mode=WAL; UPDATE chat SET time = time WHERE id = 1;"
                     " PRAGMA wal_checkpoint(TRUNCATE)",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
        std::fprintf(stderr, "corpus of %d chat lines written in %.1f s\n", kCorpusLines,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return f;
    }();
    return file;
}

// A search as the History tab runs it: newest first, at most 1,000 rows.
void ChatSearch(benchmark::State& state, const char* text, size_t expectRows) {
    auto store = OpenStore(Corpus());
    if (!store) {
        state.SkipWithError("the corpus could not be opened");
        return;
    }
    size_t rows = 0;
    for (auto _ : state) {
        rows = store->Search({HistoryKind::Chat, text, "", 0, 0, 1000}).size();
        benchmark::DoNotOptimize(rows);
    }
    if (rows != expectRows) state.SkipWithError(("found " + std::to_string(rows) + " rows").c_str());
    state.counters["rows"] = double(rows);
    state.counters["corpus_lines"] = kCorpusLines;
}

// One line in 100,000: 10 rows.
void BM_ChatSearch_Rare(benchmark::State& state) {
    ChatSearch(state, "zzrare", 10);
}
BENCHMARK(BM_ChatSearch_Rare)->Unit(benchmark::kMillisecond);

// One line in 100: 10,000 matches, the newest 1,000 shown.
void BM_ChatSearch_Map(benchmark::State& state) {
    ChatSearch(state, "tidalwave", 1000);
}
BENCHMARK(BM_ChatSearch_Map)->Unit(benchmark::kMillisecond);

// A word in about one line in 8 ("gg"), and two words together.
void BM_ChatSearch_Common(benchmark::State& state) {
    ChatSearch(state, "gg", 1000);
}
BENCHMARK(BM_ChatSearch_Common)->Unit(benchmark::kMillisecond);

void BM_ChatSearch_TwoWords(benchmark::State& state) {
    ChatSearch(state, "nice shot", 1000);
}
BENCHMARK(BM_ChatSearch_TwoWords)->Unit(benchmark::kMillisecond);

// A prefix as typed so far: "word1" matches word1, word10..word19999 (about 1 in 2 lines).
void BM_ChatSearch_Prefix(benchmark::State& state) {
    ChatSearch(state, "word1", 1000);
}
BENCHMARK(BM_ChatSearch_Prefix)->Unit(benchmark::kMillisecond);

// ---- tick cost, history off and on ---------------------------------------------------------

// The history work of a hosting tick of 32 players, as the poll hands it to the recorder: the
// players present (one of them leaves or comes back every tick), a chat line, the end of the tick
// with its flush. Every 300 ticks the match ends (32 players' statistics) and the next begins.
struct TickDriver {
    explicit TickDriver(HistoryStore& store) : recorder(store, [this] { return now; }) {
        status.State = kStateHosting;
        status.ServerName = "QX Server";
        status.MapName = "Tidal Wave";
        status.MapFile = "tidal.bms";
        status.PlayerCount = kPlayers;
        for (int p = 0; p < kPlayers; ++p) {
            PlayerClass player;
            player.P_Name = PlayerName(p);
            player.P_Team = uint8_t(1 + p % 2);
            player.P_Kills = p;
            players.Replace(player);
            present.push_back({player.P_Name, p, player.P_Team});
        }
        recorder.TickDone(true, status, players);
    }

    // True when the tick ended a match (its statistics written).
    bool Tick() {
        ++now;
        ++ticks;
        if (ticks % 300 == 0) {
            status.State = kStateScoring;  // the match ends
        } else if (status.State == kStateScoring) {
            status.State = kStateHosting;  // the next begins
        }
        std::vector<PresentPlayer> read = present;
        read.erase(read.begin() + ticks % kPlayers);  // one player away this tick
        recorder.PlayersRead(read);
        recorder.ChatRead(PlayerName(int(ticks % kPlayers)),
                          "gg all, nice round on tidal " + std::to_string(ticks));
        recorder.TickDone(true, status, players);
        return status.State == kStateScoring;
    }

    int64_t now = 1'700'000'000;
    int64_t ticks = 0;
    ServerStatus status;
    PlayerTable players;
    std::vector<PresentPlayer> present;
    HistoryRecorder recorder;
};

// Each iteration is one tick; the longest ordinary tick and the longest match end are reported, with how many
// took over 1 ms (the checkpoints and merges stand out from the ordinary commit).
void Ticks(benchmark::State& state, HistoryStore& store) {
    TickDriver driver(store);
    std::chrono::nanoseconds longest{0}, longestMatchEnd{0};
    int64_t slow = 0, longestAt = 0;
    double longestCpuMs = 0;  // of the longest tick: little means it waited (disk, other programs)
    for (auto _ : state) {
        const std::clock_t cpuStart = std::clock();
        const auto start = std::chrono::steady_clock::now();
        const bool matchEnd = driver.Tick();
        const auto took =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        if (!matchEnd && took > longest) {
            longestAt = driver.ticks;
            longestCpuMs = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        }
        (matchEnd ? longestMatchEnd : longest) = std::max(matchEnd ? longestMatchEnd : longest, took);
        if (took > std::chrono::milliseconds(1)) ++slow;
    }
    state.counters["longest_tick_ms"] = double(longest.count()) / 1e6;
    state.counters["longest_match_end_ms"] = double(longestMatchEnd.count()) / 1e6;
    state.counters["ticks_over_1ms"] = double(slow);
    state.counters["longest_tick_at"] = double(longestAt);
    state.counters["longest_tick_cpu_ms"] = longestCpuMs;
}

// 10,000 ticks each: several automatic checkpoints (every 1,000 WAL pages) and 33 match ends.
constexpr int kTicks = 10'000;

void BM_Tick_NoHistory(benchmark::State& state) {
    NoHistory store;
    Ticks(state, store);
}
BENCHMARK(BM_Tick_NoHistory)->Iterations(kTicks)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Tick_Sqlite_NewFile(benchmark::State& state) {
    auto store = OpenStore(FreshFile("ticks.db"));
    if (!store) {
        state.SkipWithError("the store could not be opened");
        return;
    }
    Ticks(state, *store);
    if (store->Pending() != 0 || store->Failing()) state.SkipWithError("the ticks were not written");
}
BENCHMARK(BM_Tick_Sqlite_NewFile)->Iterations(kTicks)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same on the 1,000,000-line record: a large full-text index merges larger segments.
void BM_Tick_Sqlite_LargeFile(benchmark::State& state) {
    auto store = OpenStore(Corpus());
    if (!store) {
        state.SkipWithError("the corpus could not be opened");
        return;
    }
    Ticks(state, *store);
    if (store->Pending() != 0 || store->Failing()) state.SkipWithError("the ticks were not written");
}
BENCHMARK(BM_Tick_Sqlite_LargeFile)->Iterations(kTicks)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What SQLite's automatic checkpoint adds to the commit that sets it off: the WAL is filled with
// small commits (chat lines with their full-text entries) to the 1,000 pages at which the store's
// connection would checkpoint, then that checkpoint alone is timed, its copy and its fsync.
void BM_WalCheckpoint_1000Pages(benchmark::State& state) {
    const fs::path file = FreshFile("checkpoint.db");
    OpenStore(file).reset();  // the schema
    sqlite3* db = nullptr;
    sqlite3_open(file.string().c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0",
                 nullptr, nullptr, nullptr);
    static int walPages = 0;
    sqlite3_wal_hook(
        db, [](void*, sqlite3*, const char*, int pages) { return walPages = pages, SQLITE_OK; }, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO chat(time, match_id, sent, player, message) VALUES (?,1,0,?,?)", -1,
                       &st, nullptr);
    int64_t line = 0;
    double pages = 0;
    for (auto _ : state) {
        walPages = 0;
        while (walPages < 1000) {
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            for (int i = 0; i < 20; ++i, ++line) {
                const std::string player = PlayerName(int(line % 500));
                const std::string message =
                    "gg all word" + std::to_string(line % 20000) + " line " + std::to_string(line);
                sqlite3_bind_int64(st, 1, line);
                sqlite3_bind_text(st, 2, player.data(), int(player.size()), SQLITE_TRANSIENT);
                sqlite3_bind_text(st, 3, message.data(), int(message.size()), SQLITE_TRANSIENT);
                sqlite3_step(st);
                sqlite3_reset(st);
            }
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        }
        pages += walPages;
        int logFrames = 0, copied = 0;
        const auto start = std::chrono::steady_clock::now();
        const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copied);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (rc != SQLITE_OK || copied != logFrames) state.SkipWithError("the checkpoint did not complete");
    }
    state.counters["wal_pages"] = benchmark::Counter(pages, benchmark::Counter::kAvgIterations);
    sqlite3_finalize(st);
    sqlite3_close(db);
}
BENCHMARK(BM_WalCheckpoint_1000Pages)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
