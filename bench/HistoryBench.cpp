// What keeping the record costs, on a real SQLite file in a private temporary folder:
// - the insert rate of the per-tick batch: 32 players' stints and statistics and a chat line;
// - a chat search over 1,000,000 lines (full text), which the History tab runs on the
//   user-interface thread and so must stay well under a frame (goal < 50 ms);
// - the poll tick against a simulated server of 32 players with no record and with the SQLite
//   record, side by side (goal: < 10% more CPU), and the longest event-loop turn (goal < 16 ms):
//   the flush runs on the event loop, so one slow commit is a frozen window for as long as it takes;
// - a WAL checkpoint alone, which is why it does not run on the event loop;
// - every search kind the window and the panel run, over a record of 1,000,000 chat lines, 100,000
//   admin actions and 100,000 events in each engine, before and after the schema that keeps names
//   folded and times indexed (goal < 50 ms a search or a player's record, < 10 ms the size figure);
// - the export for scripts over the chat corpus: read and written in pieces, so the memory it
//   takes stays flat however long the record is (holding every row took 367 MB at 1.45M rows);
// - the longest event-loop turn while the window's and the panel's searches run over the chat
//   corpus, read on the event loop and through the history reader (goal < 16 ms).
// The figures with their goals are summed up at the end of the output.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "GameAddresses.h"
#include "HistoryExport.h"
#include "HistoryRecorder.h"
#include "LogSink.h"
#include "MatchState.h"
#include "MemoryClass.h"
#include "PlayerClass.h"
#include "PlayerReader.h"
#include "PlayerTable.h"
#include "PollCycle.h"
#include "QuietPollView.h"
#include "Scheduler.h"
#include "ServerStatus.h"
#include "SimProcess.h"
#include "SqliteHistoryStore.h"
#if defined(TOVI_BENCH_READER)
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "HistoryReader.h"
#endif
#if defined(TOVI_STORE_POSTGRES)
#include "PgCluster.h"
#include "PgHistoryStore.h"
#endif
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"

using namespace tovi;
namespace fs = std::filesystem;

namespace {

constexpr int kPlayers = 32;
constexpr int kCorpusLines = 1'000'000;

// The summary printed at the end: one line per figure, with its goal. A benchmark may run more
// than once (Google Benchmark sizes its runs); its last run's line stands.
std::map<std::string, std::string>& SummaryLines() {
    static std::map<std::string, std::string> lines;
    return lines;
}
void Summary(const std::string& key, const std::string& line) {
    SummaryLines()[key] = line;
}
const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

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
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (int p = 0; p < kPlayers; ++p) store->PlayerJoined(time, PlayerName(p), p, 1 + p % 2);
        for (int p = 0; p < kPlayers; ++p) store->PlayerStats(PlayerName(p), 1 + p % 2, stats);
        store->ChatRead(time, PlayerName(int(time % kPlayers)), "gg all, nice round on tidal");
        store->Flush();
        entries += kPlayers + kPlayers * int64_t(stats.size()) + 1;
        ++time;
    }
    store->Drain();  // the rate counts what the writer committed
    if (store->Pending() != 0 || store->Failing()) state.SkipWithError("the batch was not written");
    state.counters["entries_per_s"] = benchmark::Counter(double(entries), benchmark::Counter::kIsRate);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Summary("a insert", "insert rate: " + std::to_string(int64_t(double(entries) / seconds)) +
                            " entries/s in batches of a tick (no goal)");
    state.counters["entries_per_tick"] = double(kPlayers + kPlayers * int64_t(stats.size()) + 1);
}
BENCHMARK(BM_InsertBatch)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// ---- chat search ---------------------------------------------------------------------------

// Words of the corpus: a common few, many ordinary ones, and marker words at known rates.
const char* const kCommon[] = {"gg", "lol", "the", "go", "base", "nice", "shot", "team"};

// 1,000,000 chat lines, a second apart from 1,000,000 on, 5,000 to a match, said by 500 players:
// "tidalwave" is in one line of 100, "zzrare" in one of 100,000. `keyed`: with the folded sender
// of the schema that keeps it.
void FillChat(sqlite3* db, bool keyed) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       keyed ? "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw,"
                               " player_key) VALUES (?,?,0,?,?,?,?,lower(?3))"
                             : "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw)"
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
}

// A file of the schema `version` holding the chat corpus, written once in one transaction (the
// store's own flush keeps at most its bounded backlog, so the lines go in beside it, through the
// same table and its full-text trigger), and what `more` adds in the same transaction.
fs::path MakeChatFile(const std::string& name, int version, const std::function<void(sqlite3*)>& more) {
    {
        const fs::path f = FreshFile(name);
        SqliteHistoryStore::Open(f.string(), {}, version).Store.reset();  // the schema
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
        FillChat(db, version >= 11);
        if (more) more(db);
        // As the move to schema 3 leaves an index: rebuilt, and its segments merged into one.
        sqlite3_exec(db,
                     "INSERT INTO chat_fts(chat_fts) VALUES('rebuild'); INSERT INTO chat_fts(chat_fts) "
                     "VALUES('optimize')",
                     nullptr, nullptr, nullptr);
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
        std::fprintf(stderr, "%s: %d chat lines written in %.1f s\n", name.c_str(), kCorpusLines,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return f;
    }
}

const fs::path& Corpus() {
    static const fs::path file = MakeChatFile("corpus.db", SqliteHistoryStore::kSchemaVersion, {});
    return file;
}

// A search as the History tab runs it: newest first, at most 1,000 rows.
void ChatSearch(benchmark::State& state, const char* text, size_t expectRows, const char* what) {
    auto store = OpenStore(Corpus());
    if (!store) {
        state.SkipWithError("the corpus could not be opened");
        return;
    }
    size_t rows = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        rows = store->Search({HistoryKind::Chat, text, "", 0, 0, 1000, "", ""}).size();
        benchmark::DoNotOptimize(rows);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count() /
        double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    char line[300];
    std::snprintf(line, sizeof line, "chat search of \"%s\" (%s) over %d lines: %.2f ms (goal < 50 ms): %s",
                  text, what, kCorpusLines, ms, Verdict(ms < 50));
    Summary(std::string("b search ") + text, line);
    if (rows != expectRows) state.SkipWithError(("found " + std::to_string(rows) + " rows").c_str());
    state.counters["rows"] = double(rows);
    state.counters["corpus_lines"] = kCorpusLines;
}

// One line in 100,000: 10 rows.
void BM_ChatSearch_Rare(benchmark::State& state) {
    ChatSearch(state, "zzrare", 10, "a rare word");
}
BENCHMARK(BM_ChatSearch_Rare)->Unit(benchmark::kMillisecond);

// One line in 100: 10,000 matches, the newest 1,000 shown.
void BM_ChatSearch_Map(benchmark::State& state) {
    ChatSearch(state, "tidalwave", 1000, "a word in 1 line of 100");
}
BENCHMARK(BM_ChatSearch_Map)->Unit(benchmark::kMillisecond);

// A word in about one line in 8 ("gg"), and two words together.
void BM_ChatSearch_Common(benchmark::State& state) {
    ChatSearch(state, "gg", 1000, "a word in 1 line of 8");
}
BENCHMARK(BM_ChatSearch_Common)->Unit(benchmark::kMillisecond);

void BM_ChatSearch_TwoWords(benchmark::State& state) {
    ChatSearch(state, "nice shot", 1000, "two words");
}
BENCHMARK(BM_ChatSearch_TwoWords)->Unit(benchmark::kMillisecond);

// A prefix as typed so far: "word1" matches word1, word10..word19999 (about 1 in 2 lines).
void BM_ChatSearch_Prefix(benchmark::State& state) {
    ChatSearch(state, "word1", 1000, "a prefix of half the lines");
}
BENCHMARK(BM_ChatSearch_Prefix)->Unit(benchmark::kMillisecond);

// A prefix longer than the indexed ones (2 to 5 characters): its words are gathered one by one,
// here the 1,111 words from word12 to word12999.
void BM_ChatSearch_LongPrefix(benchmark::State& state) {
    ChatSearch(state, "word12", 1000, "a prefix longer than the indexed ones");
}
BENCHMARK(BM_ChatSearch_LongPrefix)->Unit(benchmark::kMillisecond);

// ---- the full log ---------------------------------------------------------------------------

constexpr int kLogLines = 100'000;

// A record whose events are 100,000 log lines among as many other events, a second apart: one
// line in ten says "Status received", one in 100,000 names "zzrare".
const fs::path& LogCorpus() {
    static const fs::path file = [] {
        const fs::path f = FreshFile("log.db");
        auto store = OpenStore(f);
        for (int i = 0; i < kLogLines; ++i) {
            const int64_t time = 1'700'000'000 + i;
            store->ServerEvent(time, "state", "Hosting mission " + std::to_string(i));
            store->ServerEvent(time, "log",
                               (i % 10 == 0 ? "Status received " : "Punting player in slot 3 (Bob) ") +
                                   std::to_string(i) + (i == 777 ? " zzrare" : ""));
            if (i % 5000 == 4999) store->Flush();
        }
        store->Flush();
        return f;
    }();
    return file;
}

// A page of the full log window as it reads them: newest first, 200 at a time, from the newest
// or from an older second on.
void LogPage(benchmark::State& state, const char* text, int64_t to, size_t expectRows, const char* what) {
    auto store = OpenStore(LogCorpus());
    if (!store) {
        state.SkipWithError("the corpus could not be opened");
        return;
    }
    const HistoryQuery query{HistoryKind::Events, text, "", 0, to, 200, "", "log"};
    size_t rows = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        rows = store->Search(query).size();
        benchmark::DoNotOptimize(rows);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count() /
        double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    char line[300];
    std::snprintf(line, sizeof line, "full log, a page (%s) of %d lines: %.2f ms (goal < 16 ms): %s", what,
                  kLogLines, ms, Verdict(ms < 16));
    Summary(std::string("c log ") + what, line);
    if (rows != expectRows) state.SkipWithError(("found " + std::to_string(rows) + " rows").c_str());
}

void BM_LogPage_Newest(benchmark::State& state) {
    LogPage(state, "", 0, 200, "the newest");
}
BENCHMARK(BM_LogPage_Newest)->Unit(benchmark::kMillisecond);

void BM_LogPage_Oldest(benchmark::State& state) {
    LogPage(state, "", 1'700'000'000 + 200, 200, "the oldest");
}
BENCHMARK(BM_LogPage_Oldest)->Unit(benchmark::kMillisecond);

void BM_LogPage_Common(benchmark::State& state) {
    LogPage(state, "STATUS RECEIVED", 0, 200, "a text in one line of ten");
}
BENCHMARK(BM_LogPage_Common)->Unit(benchmark::kMillisecond);

void BM_LogPage_Rare(benchmark::State& state) {
    LogPage(state, "zzrare", 0, 1, "a text in one line of all");
}
BENCHMARK(BM_LogPage_Rare)->Unit(benchmark::kMillisecond);

// ---- tick cost, history off and on, side by side ------------------------------------------

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

    void Tick() {
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
    }

    int64_t now = 1'700'000'000;
    int64_t ticks = 0;
    ServerStatus status;
    PlayerTable players;
    std::vector<PresentPlayer> present;
    HistoryRecorder recorder;
};

using QuietView = bench::QuietPollView;

class PlayerHooks : public PollHooks {
public:
    explicit PlayerHooks(PlayerReader& reader) : m_reader(reader) {}
    void ClearPlayerTable() override { m_reader.Clear(); }
    void ReadPlayers(bool dedicated, uint8_t maxPlayers) override {
        m_reader.ReadPlayers(dedicated, maxPlayers);
    }

private:
    PlayerReader& m_reader;
};

// The poll tick the record is weighed against: the simulator hosting 32 players, read as
// --headless reads it (no display: the server's process is checked every tick), the server-wide
// reads and the player read.
struct PolledServer {
    PolledServer() {
        platform.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(platform));
        ready = testing::WaitFor([&] {
            return memory.SetProcID(sim.pid()) && memory.ReadAByte(game::kGameState) == kStateHosting &&
                   memory.ReadAByte(game::kPlayerCount) == kPlayers;
        });
        if (ready) poll.Timer_Timer();  // past the first tick, which finds the server in a new state
    }
    testing::SimProcess sim{"C:\\GAMES\\JO\\jointops.exe",
                            {"--no-window", "--transcript", "/dev/null", "--state", "3", "--players",
                             std::to_string(kPlayers), "--maxplayers", std::to_string(kPlayers)}};
    linux_backend::LinuxProcessBackend platform;
    MemoryClass memory{platform};
    ServerStatus status;
    PlayerTable table;
    bench::QuietPlayerList rows;
    bench::QuietLog log;
    PlayerReader reader{memory, status, table, rows, log};
    PlayerHooks hooks{reader};
    QuietView view;
    VirtualScheduler clock;
    PollCycle poll{memory, status, view, hooks, clock};
    bool ready = false;
};

PolledServer& Polled() {
    static PolledServer server;
    return server;
}

double CpuUs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

// The turns of one kind: their event-loop thread's CPU time, and the longest by the wall clock.
struct Turns {
    template <typename Work>
    void Time(Work work) {
        const double cpuStart = CpuUs(CLOCK_THREAD_CPUTIME_ID);
        const auto start = std::chrono::steady_clock::now();
        work();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const double cpu = CpuUs(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
        cpuUs += cpu;
        if (ms > longestMs) {
            longestMs = ms;
            longestCpuMs = cpu / 1000;
        }
        mostCpuMs = std::max(mostCpuMs, cpu / 1000);
        if (ms >= 16) ++over16ms;
        ++count;
    }
    double cpuUs = 0, longestMs = 0, longestCpuMs = 0, mostCpuMs = 0;
    int64_t over16ms = 0, count = 0;
};

// Each iteration is two poll ticks of the same server, one with no record and one with the SQLite
// record, in turn first, so that whatever else the machine does weighs on both alike. The record's
// cost is counted on the event loop's thread (building the rows and handing them over), and with
// the writer thread's CPU time added (the commit, the chat index, merges and checkpoints).
void SideBySide(benchmark::State& state, const fs::path& file, const std::string& what) {
    PolledServer& server = Polled();
    if (!server.ready) {
        state.SkipWithError("the simulator could not be attached");
        return;
    }
    auto store = OpenStore(file);
    if (!store) {
        state.SkipWithError("the store could not be opened");
        return;
    }
    NoHistory none;
    TickDriver off(none), on(*store);
    Turns offTurns, onTurns;
    const uint64_t checkpointsBefore = store->CheckpointsDone();
    const double processStart = CpuUs(CLOCK_PROCESS_CPUTIME_ID), threadStart = CpuUs(CLOCK_THREAD_CPUTIME_ID);
    bool offFirst = true;
    for (auto _ : state) {
        auto tickOff = [&] {
            offTurns.Time([&] {
                server.poll.Timer_Timer();
                off.Tick();
            });
        };
        auto tickOn = [&] {
            onTurns.Time([&] {
                server.poll.Timer_Timer();
                on.Tick();
            });
        };
        if (offFirst) {
            tickOff();
            tickOn();
        } else {
            tickOn();
            tickOff();
        }
        offFirst = !offFirst;
        // The program ticks once a second, and the writer's commit, merge step and checkpoint end
        // long before the next tick; these ticks come back to back, so the second between them is
        // granted here, outside the turns. (A checkpoint that never ends between two commits would
        // never let the WAL start over.)
        while (store->WriterBusy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double otherThreadsUs =
        (CpuUs(CLOCK_PROCESS_CPUTIME_ID) - processStart) - (CpuUs(CLOCK_THREAD_CPUTIME_ID) - threadStart);
    store->Drain();
    if (store->Pending() != 0 || store->Failing()) state.SkipWithError("the ticks were not written");
    if (server.status.PlayerCount != kPlayers) state.SkipWithError("the poll lost the server");
    const double n = double(std::max<int64_t>(onTurns.count, 1));
    const double offUs = offTurns.cpuUs / n, onUs = onTurns.cpuUs / n, writerUs = otherThreadsUs / n;
    const double mainPct = 100 * (onUs - offUs) / offUs, processPct = 100 * (onUs - offUs + writerUs) / offUs;
    state.counters["tick_off_cpu_us"] = offUs;
    state.counters["tick_on_cpu_us"] = onUs;
    state.counters["writer_thread_cpu_us_per_tick"] = writerUs;
    state.counters["more_cpu_pct_loop_thread"] = mainPct;
    state.counters["more_cpu_pct_process"] = processPct;
    state.counters["longest_turn_on_ms"] = onTurns.longestMs;
    state.counters["longest_turn_on_cpu_ms"] = onTurns.longestCpuMs;
    state.counters["most_cpu_of_a_turn_on_ms"] = onTurns.mostCpuMs;
    state.counters["most_cpu_of_a_turn_off_ms"] = offTurns.mostCpuMs;
    state.counters["longest_turn_off_ms"] = offTurns.longestMs;
    state.counters["turns_16ms_on"] = double(onTurns.over16ms);
    state.counters["turns_16ms_off"] = double(offTurns.over16ms);
    state.counters["checkpoints"] = double(store->CheckpointsDone() - checkpointsBefore);
    char line[400];
    std::snprintf(
        line, sizeof line,
        "tick cost with history on vs off, %s: %.0f us vs %.0f us of CPU per tick; on the event loop's "
        "thread +%.1f%% (goal < 10%%): %s; the whole process, with the writer thread, +%.1f%% (< 10%%): %s",
        what.c_str(), onUs, offUs, mainPct, Verdict(mainPct < 10), processPct, Verdict(processPct < 10));
    Summary("c tick " + what, line);
    std::snprintf(
        line, sizeof line,
        "longest event-loop turn with history on, %s: %.1f ms (%.1f ms of it CPU; with history off "
        "%.1f ms), turns of 16 ms or more: %lld on, %lld off; the most CPU of a turn: %.1f ms on, %.1f ms "
        "off (goal < 16 ms): %s",
        what.c_str(), onTurns.longestMs, onTurns.longestCpuMs, offTurns.longestMs,
        static_cast<long long>(onTurns.over16ms), static_cast<long long>(offTurns.over16ms),
        onTurns.mostCpuMs, offTurns.mostCpuMs, Verdict(onTurns.longestMs < 16));
    Summary("c turn " + what, line);
}

// 6,000 ticks of each: dozens of checkpoints (every 1,000 WAL pages) and 20 match ends.
constexpr int kTicks = 6'000;

void BM_Tick_SideBySide_NewFile(benchmark::State& state) {
    SideBySide(state, FreshFile("ticks.db"), "new file");
}
BENCHMARK(BM_Tick_SideBySide_NewFile)->Iterations(kTicks)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same on the 1,000,000-line record, whose full-text index has large segments to merge.
void BM_Tick_SideBySide_LargeFile(benchmark::State& state) {
    SideBySide(state, Corpus(), "1,000,000-line file");
}
BENCHMARK(BM_Tick_SideBySide_LargeFile)->Iterations(kTicks)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What a WAL checkpoint takes, the work the store leaves to a thread of its own: the WAL is filled
// with small commits (chat lines with their full-text entries) to the 1,000 pages at which the
// store asks for one, or to a few pages, then that checkpoint alone is timed, its copy and its
// two fsyncs. Were it on the event loop, its longest would be a turn.
void BM_WalCheckpoint(benchmark::State& state) {
    const int target = int(state.range(0));
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
    double pages = 0, longestMs = 0;
    for (auto _ : state) {
        walPages = 0;
        while (walPages < target) {
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
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        longestMs = std::max(longestMs, seconds * 1000);
        if (rc != SQLITE_OK || copied != logFrames) state.SkipWithError("the checkpoint did not complete");
    }
    state.counters["wal_pages"] = benchmark::Counter(pages, benchmark::Counter::kAvgIterations);
    state.counters["longest_ms"] = longestMs;
    char text[300];
    std::snprintf(text, sizeof text,
                  "a WAL checkpoint of %d pages, on the writer thread: longest %.1f ms of %lld (on the event "
                  "loop it would count against the 16 ms turn)",
                  target, longestMs, static_cast<long long>(state.iterations()));
    Summary("d checkpoint " + std::to_string(1'000'000 + target), text);
    sqlite3_finalize(st);
    sqlite3_close(db);
}
BENCHMARK(BM_WalCheckpoint)
    ->Arg(1000)
    ->Arg(10)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A figure of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 where there is none.
long StatusKb(const std::string& key) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::string(line).rfind(key + ":", 0) == 0) kb = std::atol(line + key.size() + 1);
    }
    std::fclose(status);
    return kb;
}

void BM_ExportHistory(benchmark::State& state) {
    auto opened = SqliteHistoryStore::OpenForReading(Corpus().string());
    if (!opened.Store) {
        state.SkipWithError(opened.Error.c_str());
        return;
    }
    const fs::path csv = Folder() / "export.csv";
    size_t rows = 0;
    long grewKb = 0;
    double seconds = 0;
    for (auto _ : state) {
        // The peak is counted from here: writing 5 to clear_refs starts VmHWM again at VmRSS.
        if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", clear);
            std::fclose(clear);
        }
        const long before = StatusKb("VmRSS");
        const auto start = std::chrono::steady_clock::now();
        std::string error;
        bool readFailed = false;
        const std::optional<size_t> written = WriteHistoryCsv(*opened.Store, 0, csv, error, readFailed);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!written) {
            state.SkipWithError(error.c_str());
            return;
        }
        rows = *written;
        grewKb = std::max(grewKb, StatusKb("VmHWM") - before);
    }
    state.counters["rows"] = double(rows);
    state.counters["peak_growth_mb"] = double(grewKb) / 1024;
    char line[300];
    std::snprintf(line, sizeof line,
                  "the export of %zu rows: %.1f s, the process's peak memory %.1f MB above where it began "
                  "(goal: a few MB, whatever the rows)",
                  rows, seconds, double(grewKb) / 1024);
    Summary("e export", line);
    std::error_code ignored;
    fs::remove(csv, ignored);
}
BENCHMARK(BM_ExportHistory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- the record's searches over both engines ---------------------------------------------------
// A record of 1,000,000 chat lines (the corpus above), 100,000 admin actions and 100,000 events,
// ten seconds apart, with 200 matches of 32 players, in each engine. Every search kind the window
// and the panel run is timed on the schema before the folded names and time indexes (10), then
// once the store has brought it forward (11): goal < 50 ms for a search and the player record,
// < 10 ms for the size figure.

constexpr int kRecordRows = 100'000;
const char* const kRecordPlayer = "[QX]Player123";

// The rows beside the chat, in SQL both engines run the same way but for the numbers' source.
std::string RecordRowsSql(const std::string& numbers, const std::string& server) {
    const std::string srv = server.empty() ? "" : "'" + server + "', ";
    const std::string col = server.empty() ? "" : "server, ";
    return "INSERT INTO admin_actions(" + col + "time, who, action, target, reason, detail, outcome, why) SELECT " +
           srv +
           "1000000 + i * 10, 'operator at the window', CASE i % 3 WHEN 0 THEN 'punt' WHEN 1 THEN 'ban' ELSE 'say'"
           " END, '[QX]Player' || (i % 500), 'spam', 'punt ' || (i % 32), CASE i % 10 WHEN 0 THEN 'refused' ELSE"
           " 'sent' END, '' FROM " + numbers + ";"
           "INSERT INTO server_events(" + col + "time, kind, detail) SELECT " + srv +
           "1000000 + i * 10, CASE i % 2 WHEN 0 THEN 'log' ELSE 'state' END, 'Hosting mission ' || i FROM " +
           numbers + ";"
           "INSERT INTO matches(" + col + "id, started, ended, server_name, map_name, map_file, game_type, result,"
           " players_at_end, stats_written) SELECT " + srv +
           "i + 1, 1000000 + i * 5000, 1004900 + i * 5000, 'Srv', 'Island', 'isl.bms', 'TDM', 'Red won', 32, 1"
           " FROM " + numbers + " WHERE i < 200;"
           "INSERT INTO stints(" + col + "match_id, name, name_key, slot, team, joined, left_at) SELECT " + srv +
           "1 + i / 32, '[QX]Player' || (i % 500), '[qx]player' || (i % 500), i % 32, 1 + i % 2,"
           " 1000000 + (i / 32) * 5000, 1004900 + (i / 32) * 5000 FROM " + numbers + " WHERE i < 6400;"
           "INSERT INTO player_stats(" + col + "match_id, name, team, stat, value) SELECT " + srv +
           "1 + (i / 5) / 32, '[QX]Player' || ((i / 5) % 500), 1 + (i / 5) % 2, 'Kills', i % 50 FROM " + numbers +
           " WHERE i < 32000;";
}

struct RecordCase {
    const char* Key;
    const char* What;
    std::function<size_t(HistoryStore&)> Run;
    double GoalMs = 50;
};

HistoryQuery Query(HistoryKind kind, const std::string& text, const std::string& player, int64_t from = 0,
                   int64_t to = 0) {
    HistoryQuery q;
    q.Kind = kind;
    q.Text = text;
    q.Player = player;
    q.From = from;
    q.To = to;
    return q;
}

std::vector<RecordCase> RecordCases() {
    auto search = [](HistoryQuery q) { return [q](HistoryStore& store) { return store.Search(q).size(); }; };
    const int64_t hour = 1'500'000, oldHour = 1'100'000, day = 1'000'000;
    HistoryQuery ofKind = Query(HistoryKind::Events, "mission 4", "");
    ofKind.Limit = 200;
    ofKind.EventKind = "state";
    return {
        {"a", "chat by a player", search(Query(HistoryKind::Chat, "", kRecordPlayer))},
        {"b", "chat by a player who said nothing", search(Query(HistoryKind::Chat, "", "[QX]Quiet"))},
        {"c", "chat in an hour", search(Query(HistoryKind::Chat, "", "", hour, hour + 3600))},
        {"d", "chat in the oldest day", search(Query(HistoryKind::Chat, "", "", day, day + 86400))},
        {"e", "a common word in an old hour", search(Query(HistoryKind::Chat, "gg", "", oldHour, oldHour + 3600))},
        {"f", "a rare word in a day", search(Query(HistoryKind::Chat, "zzrare", "", day, day + 86400))},
        {"g", "a common word by a player", search(Query(HistoryKind::Chat, "gg", kRecordPlayer))},
        {"h", "a rare word", search(Query(HistoryKind::Chat, "zzrare", ""))},
        {"i", "admin actions aimed at a player", search(Query(HistoryKind::Admin, "", kRecordPlayer))},
        {"j", "admin actions in an hour", search(Query(HistoryKind::Admin, "", "", hour, hour + 3600))},
        {"k", "admin actions holding a text", search(Query(HistoryKind::Admin, "refused", ""))},
        {"l", "events in an hour", search(Query(HistoryKind::Events, "", "", hour, hour + 3600))},
        {"m", "events of a kind holding a text", search(ofKind)},
        {"n", "a player's record",
         [](HistoryStore& store) {
             const PlayerHistory record = store.PlayerRecord(kRecordPlayer);
             return record.Stints.size() + record.Actions.size();
         }},
        {"o", "the size figure", [](HistoryStore& store) { return size_t(store.Size().Chat); }, 10},
    };
}

// Each engine's record, at the older schema until the first search of the newer one, which
// opens it again and so brings it forward (how long that takes is said too).
struct RecordEngine {
    std::string Name;
    std::function<std::unique_ptr<HistoryStore>(int version)> Open;
    std::unique_ptr<HistoryStore> Store;
    int Version = 0;
};

RecordEngine& SqliteRecord() {
    static RecordEngine engine{"SQLite", [](int version) -> std::unique_ptr<HistoryStore> {
                                   static const fs::path file = MakeChatFile("record.db", 10, [](sqlite3* db) {
                                       const std::string numbers =
                                           "(WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                           std::to_string(kRecordRows - 1) + ") SELECT i FROM n)";
                                       sqlite3_exec(db, RecordRowsSql(numbers, "").c_str(), nullptr, nullptr, nullptr);
                                   });
                                   auto opened = SqliteHistoryStore::Open(file.string(), {}, version);
                                   if (!opened.Store) std::fprintf(stderr, "%s\n", opened.Error.c_str());
                                   return std::move(opened.Store);
                               }, nullptr, 0};
    return engine;
}

#if defined(TOVI_STORE_POSTGRES)
testing::PgCluster& Cluster() {
    static testing::PgCluster cluster;
    return cluster;
}

// The same record in a database of the bench's own cluster, written by the database itself.
RecordEngine& PgRecord() {
    static RecordEngine engine{"PostgreSQL", [](int version) -> std::unique_ptr<HistoryStore> {
                                   static std::string conninfo;
                                   if (!Cluster().Ok()) {
                                       std::fprintf(stderr, "%s\n", Cluster().Error().c_str());
                                       return nullptr;
                                   }
                                   if (conninfo == "-") return nullptr;
                                   const bool fresh = conninfo.empty();
                                   if (fresh) conninfo = Cluster().NewDatabase();
                                   auto opened = PgHistoryStore::Open(conninfo, "EU1", {}, version);
                                   if (!opened.Store) {
                                       std::fprintf(stderr, "%s\n", opened.Error.c_str());
                                       return nullptr;
                                   }
                                   std::string error;
                                   auto conn = PgConnection::Connect(conninfo, error);
                                   if (!conn) return nullptr;
                                   conn->SetDeadlineMs(30 * 60 * 1000);
                                   if (fresh) {
                                       const auto start = std::chrono::steady_clock::now();
                                       const std::string chat =
                                           "INSERT INTO chat(server, time, match_id, sent, player, message, player_raw,"
                                           " message_raw, words) SELECT 'EU1', 1000000 + i, 1 + i / 5000, 0, p, m,"
                                           " convert_to(p, 'UTF8'), convert_to(m, 'UTF8'), ' ' || m || ' ' FROM (SELECT i,"
                                           " '[QX]Player' || ((i * 7919) % 500) AS p, (ARRAY['gg', 'lol', 'the', 'go',"
                                           " 'base', 'nice', 'shot', 'team'])[1 + (i / 3) % 8] || ' word' || ((i * 7) %"
                                           " 20000) || ' word' || ((i * 13) % 20000) || CASE WHEN i % 100 = 50 THEN"
                                           " ' tidalwave' ELSE '' END || CASE WHEN i % 100000 = 777 THEN ' zzrare' ELSE"
                                           " '' END AS m FROM generate_series(0::bigint, " +
                                           std::to_string(kCorpusLines - 1) + ") i) g;";
                                       const std::string numbers =
                                           "generate_series(0::bigint, " + std::to_string(kRecordRows - 1) + ") i";
                                       PgResult r = conn->ExecScript("SET statement_timeout = 0;" + chat +
                                                                     RecordRowsSql(numbers, "EU1"));
                                       if (!r.Ok()) {
                                           std::fprintf(stderr, "the record could not be written: %s\n", r.Error().c_str());
                                           conninfo = "-";  // and is not searched
                                           return nullptr;
                                       }
                                       std::fprintf(stderr, "PostgreSQL record written in %.1f s\n",
                                                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                                                        .count());
                                   }
                                   // What autovacuum would have found by the time anyone searches.
                                   conn->Run("SET statement_timeout = 0");
                                   conn->Run("VACUUM ANALYZE");
                                   return std::move(opened.Store);
                               }, nullptr, 0};
    return engine;
}
#endif

void RecordSearch(benchmark::State& state, RecordEngine& engine, int version, const RecordCase& c) {
    if (engine.Version != version) {
        engine.Store.reset();
        const auto start = std::chrono::steady_clock::now();
        engine.Store = engine.Open(version);
        if (engine.Version != 0) {
            char line[200];
            std::snprintf(line, sizeof line, "%s: the record brought to schema %d in %.1f s", engine.Name.c_str(),
                          version,
                          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            Summary("f " + engine.Name + " migration", line);
        }
        engine.Version = version;
    }
    if (!engine.Store) {
        state.SkipWithError("the record could not be opened");
        return;
    }
    size_t rows = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        rows = c.Run(*engine.Store);
        benchmark::DoNotOptimize(rows);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count() /
        double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    char line[300];
    std::snprintf(line, sizeof line, "%s, schema %d, %s: %.2f ms, %zu rows (goal < %.0f ms): %s", engine.Name.c_str(),
                  version, c.What, ms, rows, c.GoalMs, Verdict(ms < c.GoalMs));
    Summary("g " + engine.Name + " " + std::to_string(version) + " " + c.Key, line);
    state.counters["rows"] = double(rows);
}

void RegisterRecordSearches() {
    std::vector<RecordEngine*> engines{&SqliteRecord()};
#if defined(TOVI_STORE_POSTGRES)
    engines.push_back(&PgRecord());
#endif
    static const std::vector<RecordCase> cases = RecordCases();
    for (RecordEngine* engine : engines) {
        for (int version : {11, 12}) {
            for (const RecordCase& c : cases) {
                const std::string name = "BM_RecordSearch/" + engine->Name + "/" + std::to_string(version) + "/" + c.Key;
                benchmark::RegisterBenchmark(name.c_str(), [engine, version, &c](benchmark::State& state) {
                    RecordSearch(state, *engine, version, c);
                })->Unit(benchmark::kMillisecond);
            }
        }
    }
}

}  // namespace

#if defined(TOVI_BENCH_READER)
// ---- the faces' searches and the event loop ----------------------------------------------------
// The History tab's and the panel's slow reads over the 1,000,000-line corpus, one after another
// for a few seconds, while the event loop's turns are timed (from waking to its next wait): read
// on the event loop, as the faces did, and through the history reader, as they do now (goal: no
// turn of 16 ms or more).

std::vector<std::function<void(HistoryStore&)>> FacesReads() {
    auto search = [](std::string text, std::string player, int64_t from, int64_t to) {
        return [=](HistoryStore& store) {
            benchmark::DoNotOptimize(store.Search({HistoryKind::Chat, text, player, from, to, 1000, "", ""}));
        };
    };
    return {search("", PlayerName(7), 0, 0),             // a player's chat
            search("", "[QX]Nobody", 0, 0),              // a player who said nothing
            search("", "", 1'400'000, 1'400'600),        // a time window
            search("gg", "", 1'200'000, 1'260'000),      // a common word in a time window
            [](HistoryStore& store) { benchmark::DoNotOptimize(store.PlayerRecord(PlayerName(9))); },
            [](HistoryStore& store) { benchmark::DoNotOptimize(store.Size()); }};
}

// Every event the loop hands out passes here; the time spent in the outermost deliveries between
// two waits is the turn (with GLib a turn's work runs after the dispatcher's signal that it is
// about to wait, so the turn is summed from the deliveries, as the window's loop bench does).
class TimedLoop : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (m_depth++ > 0) {
            const bool done = QCoreApplication::notify(receiver, event);
            --m_depth;
            return done;
        }
        QElapsedTimer clock;
        clock.start();
        const bool done = QCoreApplication::notify(receiver, event);
        --m_depth;
        turnMs += double(clock.nsecsElapsed()) / 1e6;
        return done;
    }
    double turnMs = 0;

private:
    int m_depth = 0;
};

TimedLoop& LoopApp() {
    static int argc = 1;
    static char name[] = "tovi_bench_history";
    static char* argv[] = {name, nullptr};
    static TimedLoop app(argc, argv);
    return app;
}

void SearchTurns(benchmark::State& state, bool reader) {
    TimedLoop& app = LoopApp();
    auto own = OpenStore(Corpus());
    if (!own) {
        state.SkipWithError("the corpus could not be opened");
        return;
    }
    HistoryReader history([&own]() -> HistoryStore& { return *own; });
    if (reader) {
        SqliteHistoryStore& writer = *own;
        history.Start(
            [] { return std::unique_ptr<HistoryStore>(SqliteHistoryStore::OpenForReading(Corpus().string()).Store); },
            [&writer] { writer.Flush(); }, [&writer] { writer.WaitForWriter(); });
    }
    const auto reads = FacesReads();
    double longestMs = 0;
    int over16 = 0, done = 0;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    const auto waits = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] {
        longestMs = std::max(longestMs, app.turnMs);
        if (app.turnMs >= 16) ++over16;
        app.turnMs = 0;
    });
    QObject face;
    std::function<void()> next = [&] {
        if (done >= 3 * int(reads.size())) return app.quit();
        const auto& read = reads[size_t(done) % reads.size()];
        history.Ask<int>(
            &face, 0, [read](HistoryStore& store) { return read(store), 0; },
            [&](int) {
                ++done;
                // The next question on a turn of its own, as an operator's next click would be.
                QTimer::singleShot(1, &face, next);
            });
    };
    // The poll's tick goes on meanwhile.
    QTimer tick;
    tick.start(100);
    for (auto _ : state) {
        QTimer::singleShot(0, &face, next);
        app.exec();
    }
    QObject::disconnect(waits);
    history.Stop();
    state.counters["longest_turn_ms"] = longestMs;
    state.counters["turns_16ms"] = over16;
    char line[300];
    std::snprintf(line, sizeof line,
                  "longest event-loop turn while the faces search %d lines, reading %s: %.1f ms, %d turns of "
                  "16 ms or more (goal < 16 ms): %s",
                  kCorpusLines, reader ? "through the history reader" : "on the event loop", longestMs, over16,
                  Verdict(longestMs < 16));
    Summary(std::string("f faces' searches ") + (reader ? "2 reader" : "1 loop"), line);
}
void BM_SearchTurns_OnLoop(benchmark::State& state) {
    SearchTurns(state, false);
}
BENCHMARK(BM_SearchTurns_OnLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SearchTurns_Reader(benchmark::State& state) {
    SearchTurns(state, true);
}
BENCHMARK(BM_SearchTurns_Reader)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

int main(int argc, char** argv) {
    RegisterRecordSearches();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nThe record's figures and their goals:\n");
    for (const auto& [key, line] : SummaryLines()) std::printf("- %s\n", line.c_str());
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
