// What the shared PostgreSQL store costs in memory where the record is long, on a throw-away
// cluster of the bench's own and real SQLite files in a private temporary folder:
// - an outbox of 100,000 batches that waited while the database was away: the memory the store
//   takes to open it (goal: < 20 MB more; holding every batch took about 105 MB), and the catch-up
//   once the database answers (how long, in how many flushes, at what peak);
// - --migrate-store of 1,000,000 chat lines into the database and back into a new file: the
//   process's peak memory (goal: < 64 MB; reading each table whole took 376 MB at 300,000 lines).
// Each measured step runs in a child process of its own, so that what the bench made before does
// not count and what it freed does not hide a growth. With --tovistats=PATH the copy is measured
// once more as the program itself runs it (its Qt libraries included). The figures are summed up
// at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PgCluster.h"
#include "PgHistoryStore.h"
#include "SqliteHistoryStore.h"
#include "StoreMigration.h"

using namespace tovi;
namespace fs = std::filesystem;

namespace {

constexpr int kOutboxBatches = 100'000;
constexpr int kChatLines = 1'000'000;

std::map<std::string, std::string>& SummaryLines() {
    static std::map<std::string, std::string> lines;
    return lines;
}

fs::path& Folder() {
    static fs::path folder = [] {
        char pattern[] = "/tmp/tovi-sharedbench-XXXXXX";
        return fs::path(mkdtemp(pattern) ? pattern : "/tmp");
    }();
    return folder;
}

testing::PgCluster& Cluster() {
    static testing::PgCluster cluster;
    return cluster;
}

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

// The peak is counted from here: writing 5 to clear_refs starts VmHWM again at VmRSS.
void RestartPeak() {
    if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", clear);
        std::fclose(clear);
    }
}

// Runs `step` in a child process, which answers a line of numbers; empty when it failed.
std::vector<double> InChild(const std::function<std::vector<double>()>& step) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        std::string line;
        for (double n : step()) line += std::to_string(n) + " ";
        line += "\n";
        if (write(pipeFds[1], line.data(), line.size()) < 0) _exit(1);
        _exit(0);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    std::vector<double> numbers;
    std::istringstream in(text);
    for (double x = 0; in >> x;) numbers.push_back(x);
    return numbers;
}

// The program to measure --migrate-store with, when given.
std::string& Program() {
    static std::string path;
    return path;
}

// The program run with `args`, its output dropped; its peak memory in kB, -1 when it failed.
long ProgramPeakKb(std::vector<std::string> args) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        args.insert(args.begin(), Program());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

std::string Away() {
    return "host=" + (Folder() / "none").string() + " port=1 user=tovi dbname=none";
}

std::string Line(int i) {
    return "line " + std::to_string(i) + " gg well played, see you on the next map";
}

void BM_OutboxOfManyBatches(benchmark::State& state) {
    if (!Cluster().Ok()) {
        state.SkipWithError(Cluster().Error().c_str());
        return;
    }
    const std::string conninfo = Cluster().NewDatabase();
    const fs::path local = Folder() / "outbox.db";
    fs::remove(local);
    // Ticks while the database is away: each one's batch into the outbox.
    const auto made = InChild([&] {
        if (!SqliteHistoryStore::Open(local.string(), {}).Store) return std::vector<double>{};
        auto opened = PgHistoryStore::Open(Away(), "EU1", {}, PgHistoryStore::kSchemaVersion, local.string());
        if (!opened.Store) return std::vector<double>{};
        opened.Store->MatchStarted({1, "Srv", "Island", "isl.bms", "TDM"});
        for (int i = 0; i < kOutboxBatches; ++i) {
            opened.Store->ChatRead(i, "Ann", Line(i));
            opened.Store->Flush();
        }
        return std::vector<double>{double(opened.Store->Pending())};
    });
    if (made.empty()) {
        state.SkipWithError("the outbox could not be made");
        return;
    }
    std::vector<double> held, caughtUp;
    for (auto _ : state) {
        // Opened while the database is still away: what waits is held, not written.
        held = InChild([&] {
            RestartPeak();
            const long before = StatusKb("VmRSS");
            const auto start = std::chrono::steady_clock::now();
            auto opened = PgHistoryStore::Open(Away(), "EU1", {}, PgHistoryStore::kSchemaVersion, local.string());
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!opened.Store) return std::vector<double>{};
            return std::vector<double>{double(StatusKb("VmRSS") - before), double(StatusKb("VmHWM") - before),
                                       seconds, double(opened.Store->InMemory()), double(opened.Store->Pending())};
        });
        // The database answers: flushes as the ticks make them, each within its catch-up budget.
        caughtUp = InChild([&] {
            RestartPeak();
            const long before = StatusKb("VmRSS");
            const auto start = std::chrono::steady_clock::now();
            auto opened = PgHistoryStore::Open(conninfo, "EU1", {}, PgHistoryStore::kSchemaVersion, local.string());
            if (!opened.Store) return std::vector<double>{};
            PgHistoryStore& store = *opened.Store;
            int flushes = 0;
            while (store.Pending() > 0 && flushes < 1'000'000) {
                store.Flush();
                ++flushes;
                pollfd ready{store.Socket(), static_cast<short>(store.WantsWrite() ? POLLOUT : POLLIN), 0};
                if (ready.fd >= 0 && store.InFlight() == 0) poll(&ready, 1, 10);
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            return std::vector<double>{double(StatusKb("VmHWM") - before), seconds, double(flushes),
                                       double(store.Pending())};
        });
    }
    if (held.size() < 5 || caughtUp.size() < 4) {
        state.SkipWithError("a step failed");
        return;
    }
    state.counters["open_growth_mb"] = held[0] / 1024;
    state.counters["catch_up_peak_mb"] = caughtUp[0] / 1024;
    char line[400];
    std::snprintf(line, sizeof line,
                  "an outbox of %d batches (%.0f rows) opened while the database is away: %.1f MB more (peak"
                  " %.1f MB, goal < 20 MB), %.0f batches in memory, opened in %.2f s",
                  kOutboxBatches, made[0], held[0] / 1024, held[1] / 1024, held[3], held[2]);
    SummaryLines()["a outbox"] = line;
    std::snprintf(line, sizeof line,
                  "its catch-up once the database answers: %.1f s over %.0f flushes, peak %.1f MB more, %.0f rows"
                  " left",
                  caughtUp[1], caughtUp[2], caughtUp[0] / 1024, caughtUp[3]);
    SummaryLines()["b catch-up"] = line;
}
BENCHMARK(BM_OutboxOfManyBatches)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MigrateStore(benchmark::State& state) {
    if (!Cluster().Ok()) {
        state.SkipWithError(Cluster().Error().c_str());
        return;
    }
    const std::string conninfo = Cluster().NewDatabase();
    const fs::path file = Folder() / "chat.db", back = Folder() / "back.db";
    fs::remove(file);
    fs::remove(back);
    const auto made = InChild([&] {
        if (!SqliteHistoryStore::Open(file.string(), {}).Store) return std::vector<double>{};
        sqlite3* db = nullptr;
        if (sqlite3_open(file.string().c_str(), &db) != SQLITE_OK) return std::vector<double>{};
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "INSERT INTO matches(id, started, server_name, map_name) VALUES (1, 1, 'Srv', 'Island')",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO chat(time, match_id, sent, player, message, player_raw, message_raw,"
                           " player_key) VALUES (?, 1, 0, ?, ?, ?, ?, lower(?2))",
                           -1, &st, nullptr);
        for (int i = 0; i < kChatLines; ++i) {
            const std::string player = "Player" + std::to_string(i % 64), message = Line(i);
            sqlite3_bind_int64(st, 1, i);
            sqlite3_bind_text(st, 2, player.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 3, message.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_blob(st, 4, player.data(), static_cast<int>(player.size()), SQLITE_TRANSIENT);
            sqlite3_bind_blob(st, 5, message.data(), static_cast<int>(message.size()), SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok ? std::vector<double>{1} : std::vector<double>{};
    });
    if (made.empty()) {
        state.SkipWithError("the record could not be made");
        return;
    }
    auto migrate = [&](const std::string& from, const std::string& to) {
        return InChild([&] {
            RestartPeak();
            const long before = StatusKb("VmRSS");
            const auto start = std::chrono::steady_clock::now();
            std::ostringstream out, err;
            const int code = MigrateStore({kMigrateStoreOption, from, to, "--server", "EU1"}, Folder().string(), out, err);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (code != 0) {
                std::fprintf(stderr, "%s", err.str().c_str());
                return std::vector<double>{};
            }
            return std::vector<double>{double(before), double(StatusKb("VmHWM")), seconds};
        });
    };
    std::vector<double> there, home;
    for (auto _ : state) {
        there = migrate(file.string(), "postgres:" + conninfo);
        home = migrate("postgres:" + conninfo, back.string());
    }
    if (there.size() < 3 || home.size() < 3) {
        state.SkipWithError("a copy failed");
        return;
    }
    state.counters["to_db_peak_mb"] = there[1] / 1024;
    state.counters["to_file_peak_mb"] = home[1] / 1024;
    char line[400];
    for (const auto& [key, what, figures] :
         {std::tuple{"c to db", "into the database", there}, std::tuple{"d to file", "back into a new file", home}}) {
        std::snprintf(line, sizeof line,
                      "--migrate-store of %d chat lines %s: %.1f s, the process's peak %.1f MB (%.1f MB above where"
                      " it began; goal: < 64 MB)",
                      kChatLines, what, figures[2], figures[1] / 1024, (figures[1] - figures[0]) / 1024);
        SummaryLines()[key] = line;
    }
    if (Program().empty()) return;
    const std::string again = Cluster().NewDatabase();
    const fs::path restored = Folder() / "restored.db";
    const long toDb = ProgramPeakKb({kMigrateStoreOption, file.string(), "postgres:" + again, "--server", "EU1"});
    const long toFile = ProgramPeakKb({kMigrateStoreOption, "postgres:" + again, restored.string(), "--server", "EU1"});
    std::snprintf(line, sizeof line,
                  "the same copies by tovistats itself: its peak %.1f MB into the database, %.1f MB back into a"
                  " file (goal: < 64 MB)",
                  double(toDb) / 1024, double(toFile) / 1024);
    SummaryLines()["e program"] = line;
}
BENCHMARK(BM_MigrateStore)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const std::string option = "--tovistats=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind(option, 0) == 0)
            Program() = argv[i] + option.size();
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nThe shared store's figures and their goals:\n");
    for (const auto& [key, line] : SummaryLines()) std::printf("- %s\n", line.c_str());
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
