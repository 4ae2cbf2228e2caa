// A hosting tick with 32 players against a running simulator, the per-field way beside the
// batched way, with a display and without: calls into the process backend, memory transfers (the
// system calls that move the game's memory) and CPU time per tick. The tick measured is one that
// also reads the players and the chat, the heaviest of the ordinary ticks. The per-field way is
// the same program with the backend's batched and tracked calls hidden, so that every range is
// one read and every attach walks the windows or scans /proc, as with a backend without them; its
// players are read field by field, every value of every slot a read of its own, as a reader that
// knows no pieces would read them.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "ActivityLog.h"
#include "ChatReader.h"
#include "ConsoleChannel.h"
#include "CountingBackend.h"
#include "GameAddresses.h"
#include "MatchState.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PlayerListLookup.h"
#include "PlayerReader.h"
#include "PollCycle.h"
#include "PuntBan.h"
#include "QuietPollView.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"
#include "linux/X11WindowSystem.h"

using namespace tovi;

namespace {

constexpr int kPlayers = 32;

using bench::CountingBackend;

class QuietChat : public ChatView {
public:
    void InsertRowAtTop(const std::string& Player, const std::string& Text, const std::string&) override {
        benchmark::DoNotOptimize(Player.data());
        benchmark::DoNotOptimize(Text.data());
    }
    void RemoveBottomRow() override {}
    int RowCount() override { return 0; }
    void Clear() override {}
};

// The window: what the poll shows, the player list and the logs.
class QuietView : public bench::QuietPollView, public bench::QuietPlayerList, public bench::QuietLog {};

// The player list read one value at a time: the slot table's pointer, then in each slot the
// name and, for a slot that holds a player, each of his fields. The rows are those the pieced
// reader lists.
void ReadPlayersFieldByField(MemoryClass& memory, bench::QuietPlayerList& list, bool Dedicated,
                             uint8_t MaxPlayers) {
    namespace slot = game::slot;
    list.ClearRows();
    const auto slot0 = static_cast<uint32_t>(memory.ReadDWord(game::kSlotTablePointer));
    for (int i = Dedicated ? 1 : 0; i <= MaxPlayers; ++i) {
        const uint32_t S = slot0 + static_cast<uint32_t>(i) * game::kSlotStride;
        const std::string name =
            CutAtNull(memory.ReadMemory(S + slot::kName, static_cast<int16_t>(slot::kNameLength)));
        if (name.empty()) continue;
        PlayerRow row;
        row.Slot = std::to_string(memory.ReadAByte(S + slot::kNumber));
        row.Player = name;
        row.Team = std::to_string(memory.ReadAByte(S + slot::kTeam));
        row.Ping = std::to_string(memory.ReadDWord(S + slot::kPing));
        row.Kills = std::to_string(memory.ReadDWord(S + slot::kKills));
        row.Deaths = std::to_string(memory.ReadDWord(S + slot::kDeaths));
        row.ExpPoints = std::to_string(memory.ReadDWord(S + slot::kExpPoints));
        int64_t others = 0;
        for (uint32_t field : {slot::kShotsFired, slot::kMurders, slot::kSuicides, slot::kTargets, slot::kPspTakes,
                               slot::kHeadShots, slot::kKnifes, slot::kZoneAttackKills, slot::kZoneDefendKills,
                               slot::kSecondsInZone})
            others += memory.ReadDWord(S + field);
        benchmark::DoNotOptimize(others);
        row.Position = i;
        list.AddRow(row);
    }
}

// One program over one backend: its poll, player reader and chat reader.
struct Program : PollHooks {
    Program(ProcessBackend& platform, bool batched) : counted(platform, batched), fieldByField(!batched) {}
    void ReadPlayers(bool Dedicated, uint8_t MaxPlayers) override {
        if (fieldByField) {
            ReadPlayersFieldByField(memory, view, Dedicated, MaxPlayers);
        } else {
            players.ReadPlayers(Dedicated, MaxPlayers);
        }
    }
    void ReadChat() override { chat.ReadChat(); }

    CountingBackend counted;
    bool fieldByField;
    MemoryClass memory{counted};
    ServerStatus status;
    PlayerTable table;
    QuietView view;
    QuietChat chatView;
    VirtualScheduler clock;
    PlayerReader players{memory, status, table, view, view};
    ChatReader chat{memory, status, chatView, nullptr};
    PollCycle poll{memory, status, view, *this, clock};
};

// A simulator with 32 players and, for each way, a backend of its own: the no-display rule or an
// X11 connection (walking, or following events).
struct Server {
    explicit Server(bool withDisplay) : sim("C:\\GAMES\\JO\\jointops.exe", Arguments(withDisplay)) {
        for (int way = 0; way < 2; ++way) {
            auto& backend = platforms[way];
            backend = std::make_unique<linux_backend::LinuxProcessBackend>();
            programs[way] = std::make_unique<Program>(*backend, way == 1);
            if (withDisplay) {
                // The display may refuse a connection at any time (it may even have gone since the
                // last one): this setting is then not measured, rather than the bench crashing.
                auto x11 = linux_backend::X11WindowSystem::Open();
                if (!x11) {
                    problem = "the display refused a connection";
                    return;
                }
                x11->SetTracking(way == 1);
                backend->SetWindowSystem(std::move(x11));
            } else {
                // Its look-ups come back through the counter, as they are calls of the backend.
                backend->SetWindowSystem(
                    std::make_unique<linux_backend::NoDisplayWindowSystem>(programs[way]->counted));
            }
        }
        MemoryClass probe(*platforms[0]);
        ready = testing::WaitFor([&] {
            return probe.SetProcID(sim.pid()) && probe.ReadAByte(game::kGameState) == kStateHosting &&
                   probe.ReadAByte(game::kPlayerCount) == kPlayers;
        });
        for (auto& program : programs) ready = ready && program->memory.SetProcID(sim.pid());
    }
    static std::vector<std::string> Arguments(bool withDisplay) {
        std::vector<std::string> args{"--transcript", "/dev/null",
                                      "--state",      "3",
                                      "--players",    std::to_string(kPlayers),
                                      "--maxplayers", std::to_string(kPlayers)};
        if (!withDisplay) args.push_back("--no-window");
        return args;
    }
    testing::SimProcess sim;
    std::unique_ptr<linux_backend::LinuxProcessBackend> platforms[2];
    std::unique_ptr<Program> programs[2];
    bool ready = false;
    std::string problem = "the simulator could not be attached";
};

struct Figures {
    double calls = 0, transfers = 0, cpuUs = 0;
    size_t players = 0;
};
std::map<std::string, Figures> g_figures;

double ThreadCpuUs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void HostingTick(benchmark::State& state, Server& server, bool batched, const std::string& name) {
    if (!server.ready) {
        state.SkipWithError(server.problem.c_str());
        return;
    }
    Program& program = *server.programs[batched ? 1 : 0];
    program.poll.Timer_Timer();  // past the first tick, which finds the server in a new state
    const int64_t calls = program.counted.Calls();
    const uint64_t transfers = program.counted.InnerTransfers();
    double cpu = 0;
    for (auto _ : state) {
        program.status.PollTicks = 4;  // this tick reads the players
        const double start = ThreadCpuUs();
        program.poll.Timer_Timer();
        cpu += ThreadCpuUs() - start;
    }
    if (program.poll.Panel3() != "Hosting mission")
        state.SkipWithError(("not hosting: " + program.poll.Panel3()).c_str());
    const auto ticks = static_cast<double>(state.iterations());
    Figures f{static_cast<double>(program.counted.Calls() - calls) / ticks,
              static_cast<double>(program.counted.InnerTransfers() - transfers) / ticks, cpu / ticks,
              program.view.rows.size()};
    state.counters["calls"] = f.calls;
    state.counters["transfers"] = f.transfers;
    state.counters["cpu_us"] = f.cpuUs;
    state.counters["players"] = static_cast<double>(f.players);
    g_figures[name] = f;
}

void Goal(const char* figure, double value, const char* goal, bool met) {
    std::printf("  %-52s %10.2f   goal %-22s %s\n", figure, value, goal, met ? "met" : "MISSED");
}

void Summary(const std::string& setting) {
    const auto perField = g_figures.find("per-field " + setting);
    const auto batched = g_figures.find("batched " + setting);
    if (perField == g_figures.end() || batched == g_figures.end()) return;
    const Figures& p = perField->second;
    const Figures& b = batched->second;
    std::printf("A hosting tick with %d players, %s:\n", kPlayers, setting.c_str());
    std::printf("  %-52s %10.2f\n", "per-field way: backend calls", p.calls);
    std::printf("  %-52s %10.2f\n", "per-field way: transfers", p.transfers);
    std::printf("  %-52s %10.2f\n", "per-field way: CPU time (us)", p.cpuUs);
    Goal("batched way: transfers", b.transfers, "<= 3", b.transfers <= 3);
    Goal("batched way: backend calls", b.calls, "<= 4", b.calls <= 4);
    std::printf("  %-52s %10.2f\n", "batched way: CPU time (us)", b.cpuUs);
    Goal("CPU time, per-field / batched", p.cpuUs / b.cpuUs, ">= 10", p.cpuUs >= 10 * b.cpuUs);
    Goal("players listed, batched (same as per-field)", static_cast<double>(b.players), "== per-field",
         b.players == p.players && b.players == static_cast<size_t>(kPlayers));
}

// The program's resident size, from /proc/self/statm.
double ResidentMiB() {
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file) return 0;
    unsigned long size = 0, resident = 0;
    const int got = std::fscanf(file, "%lu %lu", &size, &resident);
    std::fclose(file);
    return got == 2 ? static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) /
                          (1024.0 * 1024.0)
                    : 0;
}

// A chat list and a debug box that keep what the window keeps: the chat reader trims its list to
// its limit, the debug box holds its last five lines.
class KeptChat : public ChatView {
public:
    std::deque<std::string> rows;
    void InsertRowAtTop(const std::string& Player, const std::string& Text,
                        const std::string& time) override {
        rows.push_front(Player + "\t" + Text + "\t" + time);
    }
    void RemoveBottomRow() override { rows.pop_back(); }
    int RowCount() override { return static_cast<int>(rows.size()); }
    void Clear() override { rows.clear(); }
};

// 24 hours of one-second ticks, run back to back on a virtual clock against the simulator with
// 32 players, a new chat line every second (written into the game's chat line) and the players'
// counters moving. The resident size after the first hour against the size at the end. (Players
// who come and go under new names would each add a record until the next map, by design.)
void Soak() {
    testing::SimProcess sim("C:\\GAMES\\JO\\jointops.exe",
                            {"--no-window", "--transcript", "/dev/null", "--state", "3", "--players",
                             std::to_string(kPlayers), "--maxplayers", std::to_string(kPlayers)});
    linux_backend::LinuxProcessBackend platform;
    Program program(platform, true);
    platform.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(program.counted));
    KeptChat chat;
    std::string debugBox;
    struct DebugBox : LogSink {
        std::string& box;
        explicit DebugBox(std::string& b) : box(b) {}
        void Log(const std::string&) override {}
        void DebugLog(const std::string& message) override { box = AddLine(box, message, 5, "12:00:00"); }
    } debug(debugBox);
    PlayerReader players(program.memory, program.status, program.table, program.view, debug);
    ChatReader reader(program.memory, program.status, chat, [] { return std::string("12:00:00"); });
    struct Hooks : PollHooks {
        PlayerReader& p;
        ChatReader& c;
        Hooks(PlayerReader& pr, ChatReader& cr) : p(pr), c(cr) {}
        void ReadPlayers(bool d, uint8_t m) override { p.ReadPlayers(d, m); }
        void ReadChat() override { c.ReadChat(); }
    } hooks(players, reader);
    VirtualScheduler clock;
    PollCycle poll(program.memory, program.status, program.view, hooks, clock);
    MemoryClass writer(platform);
    if (!testing::WaitFor([&] {
            return writer.SetProcID(sim.pid()) && writer.ReadAByte(game::kPlayerCount) == kPlayers &&
                   program.memory.SetProcID(sim.pid());
        })) {
        std::printf("Memory: the simulator could not be attached\n");
        return;
    }
    const uint32_t slot0 = static_cast<uint32_t>(writer.ReadDWord(game::kSlotTablePointer));
    double firstHour = 0;
    const double start = ResidentMiB();
    for (int second = 1; second <= 24 * 3600; ++second) {
        writer.WriteMemory(game::kChatLine,
                           "Player" + std::to_string(second % kPlayers) + ": line " + std::to_string(second),
                           true);
        // The players' counters move on.
        writer.WriteDWord(
            slot0 + static_cast<uint32_t>(1 + second % kPlayers) * game::kSlotStride + game::slot::kKills,
            second);
        poll.Timer_Timer();
        clock.Advance(1000);
        if (second == 3600) firstHour = ResidentMiB();
    }
    const double end = ResidentMiB();
    std::printf("Memory, 24 simulated hours, %d players, chat every second:\n", kPlayers);
    std::printf("  %-52s %10.2f\n", "resident size at the start (MiB)", start);
    std::printf("  %-52s %10.2f\n", "resident size after the first hour (MiB)", firstHour);
    std::printf("  %-52s %10.2f\n", "resident size after 24 hours (MiB)", end);
    std::printf("  %-52s %10zu\n", "chat rows kept", chat.rows.size());
    std::printf("  %-52s %10zu\n", "player records at the end", program.table.size());
    Goal("growth after the first hour (MiB)", end - firstHour, "<= 0.25 (none)", end - firstHour <= 0.25);
}

// From a player joining in the simulator to his row in the player list, in simulated time: the
// poll ticks every 1000 ms on a virtual clock and reads the players every fifth tick, so the
// figure is that schedule's, measured through the real read. Joins fall at every phase
// of the five-tick cycle and within the second.
void JoinLatency() {
    testing::SimProcess sim("C:\\GAMES\\JO\\jointops.exe",
                            {"--no-window", "--transcript", "/dev/null", "--state", "3", "--players",
                             std::to_string(kPlayers - 1), "--maxplayers", std::to_string(kPlayers)});
    linux_backend::LinuxProcessBackend platform;
    Program program(platform, true);
    platform.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(program.counted));
    MemoryClass writer(platform);
    if (!testing::WaitFor([&] {
            return writer.SetProcID(sim.pid()) && writer.ReadAByte(game::kPlayerCount) == kPlayers - 1 &&
                   program.memory.SetProcID(sim.pid());
        })) {
        std::printf("Latency: the simulator could not be attached\n");
        return;
    }
    const uint32_t name = static_cast<uint32_t>(writer.ReadDWord(game::kSlotTablePointer)) +
                          static_cast<uint32_t>(kPlayers) * game::kSlotStride + game::slot::kName;
    std::function<void()> tick = [&] {
        program.poll.Timer_Timer();
        program.clock.Schedule(1000, tick);
    };
    program.clock.Schedule(1000, tick);
    const auto listed = [&](const std::string& player) {
        return std::ranges::any_of(program.view.rows,
                                   [&](const PlayerRow& row) { return row.Player == player; });
    };
    int64_t least = INT64_MAX, most = 0, sum = 0;
    const int trials = 20;
    for (int trial = 0; trial < trials; ++trial) {
        program.clock.Advance(1000 * (trial % 5) + 250 * (trial / 5) + 1);
        const std::string player = "Joiner" + std::to_string(trial);
        writer.WriteMemory(name, player, true);
        const int64_t joined = program.clock.Now();
        while (!listed(player) && program.clock.Now() - joined < 60000) program.clock.Advance(10);
        const int64_t latency = program.clock.Now() - joined;
        least = std::min(least, latency);
        most = std::max(most, latency);
        sum += latency;
        writer.WriteMemory(name, "", true);
        while (listed(player)) program.clock.Advance(10);
    }
    std::printf(
        "Latency, a player joining in the simulator to his row in the list (simulated ms, %d joins):\n",
        trials);
    std::printf("  %-52s %10lld\n", "least", static_cast<long long>(least));
    std::printf("  %-52s %10.0f\n", "mean", static_cast<double>(sum) / trials);
    std::printf("  %-52s %10lld\n", "most (the five-tick player read's bound: 5000)",
                static_cast<long long>(most));
}

// Answers every question and input box as soon as it opens: Yes, and the reason given.
class Operator : public Dialogs {
public:
    std::string reason;
    std::function<void()> confirmed;
    void Ask(const std::string&, std::function<void(bool)> answer) override {
        confirmed();
        answer(true);
    }
    void InputBox(const std::string&, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        confirmed();
        answer(reason);
    }
    void Warn(const std::string&) override {}
    void Inform(const std::string&) override {}
};

class PollSwitch : public PollTimer {
public:
    void SetPollEnabled(bool) override {}
};

// From "Punt" confirmed to the player's slot emptied in the simulator, in wall-clock ms: the keys
// travel as X events to the simulator's window; the virtual clock follows the wall clock, so each
// of the console's waits lasts as long as in the program. Without and with a reason (which is queued).
void PuntLatency() {
    if (!linux_backend::X11WindowSystem::Open()) {
        std::printf("Latency, punt: needs a display\n");
        return;
    }
    testing::SimProcess sim("C:\\GAMES\\JO\\jointops.exe",
                            {"--transcript", "/dev/null", "--state", "3", "--players", "4"});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    const auto nameIn = [&](int slot) {
        const auto first = static_cast<uint32_t>(memory.ReadDWord(game::kSlotTablePointer));
        return CutAtNull(
            memory.ReadMemory(first + static_cast<uint32_t>(slot) * game::kSlotStride + game::slot::kName,
                              static_cast<int16_t>(game::slot::kNameLength)));
    };
    if (!testing::WaitFor([&] { return memory.SetProcID(sim.pid()) && nameIn(4) == "Player4"; })) {
        std::printf("Latency, punt: the simulator could not be attached\n");
        return;
    }
    VirtualScheduler clock;
    QuietView view;
    ServerStatus status;
    PlayerTable table;
    PlayerReader(memory, status, table, view, view).ReadPlayers(true, 16);
    PlayerListLookup rows(view);
    PollSwitch poll;
    Operator dialogs;
    ConsoleChannel channel(memory, clock, view);
    PuntBan puntBan(memory, channel, clock, view, dialogs, rows, poll);
    std::printf("Latency, \"Punt\" confirmed to the slot emptied in the simulator (wall-clock ms):\n");
    for (const auto& [slot, reason] : {std::pair{2, std::string()}, std::pair{3, std::string("camping")}}) {
        view.selected = slot - 1;
        dialogs.reason = reason;
        std::chrono::steady_clock::time_point start;
        dialogs.confirmed = [&] { start = std::chrono::steady_clock::now(); };
        const auto wallStart = std::chrono::steady_clock::now();
        const int64_t virtualStart = clock.Now();
        if (reason.empty()) {
            puntBan.Punt();
        } else {
            puntBan.PuntWithReason();
        }
        const bool emptied = testing::WaitFor(
            [&] {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - wallStart);
                clock.Advance(virtualStart + elapsed.count() - clock.Now());
                return nameIn(slot).empty();
            },
            20000);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("  %-52s %10lld%s\n", reason.empty() ? "punt" : "punt with a reason (queued 4000 ms)",
                    static_cast<long long>(took.count()), emptied ? "" : " (not emptied)");
        testing::WaitFor([&] {
            clock.Advance(100);
            return !channel.Busy() && !puntBan.PuntTimerOn();
        });
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line into a pipe too, so that a run that ends badly still shows how far it came.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Server headless(false);
    benchmark::RegisterBenchmark("BM_HostingTick32_PerField_NoDisplay", [&](benchmark::State& state) {
        HostingTick(state, headless, false, "per-field without a display");
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_HostingTick32_Batched_NoDisplay", [&](benchmark::State& state) {
        HostingTick(state, headless, true, "batched without a display");
    })->Unit(benchmark::kMicrosecond);
    std::unique_ptr<Server> desktop;
    if (linux_backend::X11WindowSystem::Open()) {
        desktop = std::make_unique<Server>(true);
        benchmark::RegisterBenchmark("BM_HostingTick32_PerField_X11", [&](benchmark::State& state) {
            HostingTick(state, *desktop, false, "per-field with a display");
        })->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_HostingTick32_Batched_X11", [&](benchmark::State& state) {
            HostingTick(state, *desktop, true, "batched with a display");
        })->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n");
    Summary("without a display");
    Summary("with a display");
    JoinLatency();
    PuntLatency();
    Soak();
    return 0;
}
