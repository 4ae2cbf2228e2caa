// What one hosting tick of the poll costs against a running simulator: the wall time, and how
// many calls reach the process backend. Each call is an operating-system call of its own (a
// process_vm_readv, an open of /proc/PID/mem, a read of /proc/PID/cmdline, an X request), so the
// count is what the tick asks of the system every second. The player and chat work is left out:
// the hooks do nothing, so this is the server-wide part of the tick.
#include <benchmark/benchmark.h>

#include <chrono>

#include "CountingBackend.h"
#include "GameAddresses.h"
#include "MatchState.h"
#include "MemoryClass.h"
#include "PollCycle.h"
#include "QuietPollView.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"
#include "linux/X11WindowSystem.h"

using namespace tovi;

namespace {

using bench::CountingBackend;
using QuietView = bench::QuietPollView;

// A hosting server with 16 players and a Linux backend counted at its door. Without a display the
// backend's no-display rule finds the server (its window lookups come back through the counter);
// with one, the simulator opens its window and X11 answers.
struct Server {
    explicit Server(bool withDisplay)
        : sim("C:\\GAMES\\JO\\jointops.exe",
              withDisplay
                  ? std::vector<std::string>{"--transcript", "/dev/null", "--state", "3", "--players", "16"}
                  : std::vector<std::string>{"--no-window", "--transcript", "/dev/null", "--state", "3",
                                             "--players", "16"}) {
        if (withDisplay) {
            platform.SetWindowSystem(linux_backend::X11WindowSystem::Open());
        } else {
            platform.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(counted));
        }
        ready = testing::WaitFor([&] {
            return memory.SetProcID(sim.pid()) && memory.ReadAByte(game::kGameState) == kStateHosting &&
                   memory.ReadAByte(game::kPlayerCount) == 16;
        });
    }
    testing::SimProcess sim;
    linux_backend::LinuxProcessBackend platform;
    CountingBackend counted{platform};
    MemoryClass memory{counted};
    bool ready = false;
};

void Report(benchmark::State& state, const CountingBackend& counted) {
    const auto perTick = [](int64_t n) {
        return benchmark::Counter(static_cast<double>(n), benchmark::Counter::kAvgIterations);
    };
    state.counters["calls"] = perTick(counted.Calls());
    state.counters["memory"] = perTick(counted.memory);
    state.counters["processes"] = perTick(counted.processes);
    state.counters["windows"] = perTick(counted.windows);
    const auto perTickUs = [](std::chrono::nanoseconds t) {
        return benchmark::Counter(static_cast<double>(t.count()) / 1000.0,
                                  benchmark::Counter::kAvgIterations);
    };
    state.counters["attach_us"] = perTickUs(counted.attachTime);
    state.counters["reads_us"] = perTickUs(counted.memoryTime);
}

// Tracked-process mode re-validates the id every tick (open, window lookup), then reads.
void PollTick(benchmark::State& state, Server& server, bool tracked) {
    if (!server.ready) {
        state.SkipWithError("the simulator could not be attached");
        return;
    }
    ServerStatus status;
    QuietView view(tracked);
    PollHooks hooks;
    VirtualScheduler clock;
    PollCycle poll(server.memory, status, view, hooks, clock);
    poll.Timer_Timer();  // past the first tick, which finds the server in a new state
    server.counted.Reset();
    for (auto _ : state) poll.Timer_Timer();
    if (poll.Panel3() != "Hosting mission") state.SkipWithError(("not hosting: " + poll.Panel3()).c_str());
    Report(state, server.counted);
}

// The attach alone, to tell its share of the tick from the server-wide reads.
void ReAttach(benchmark::State& state, Server& server) {
    if (!server.ready) {
        state.SkipWithError("the simulator could not be attached");
        return;
    }
    server.counted.Reset();
    for (auto _ : state) benchmark::DoNotOptimize(server.memory.SetProcID(server.memory.GetProcID()));
    Report(state, server.counted);
}

Server& Headless() {
    static Server server(false);
    return server;
}

void BM_PollTick_Tracked_NoDisplay(benchmark::State& state) {
    PollTick(state, Headless(), true);
}
BENCHMARK(BM_PollTick_Tracked_NoDisplay)->Unit(benchmark::kMicrosecond);

void BM_ReAttach_NoDisplay(benchmark::State& state) {
    ReAttach(state, Headless());
}
BENCHMARK(BM_ReAttach_NoDisplay)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // With a display (xvfb-run will do), the program's usual setting too: the window found by
    // its caption over X11.
    std::unique_ptr<Server> desktop;
    if (linux_backend::X11WindowSystem::Open()) {
        desktop = std::make_unique<Server>(true);
        benchmark::RegisterBenchmark("BM_PollTick_Caption_X11", [&](benchmark::State& state) {
            PollTick(state, *desktop, false);
        })->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_PollTick_Tracked_X11", [&](benchmark::State& state) {
            PollTick(state, *desktop, true);
        })->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_ReAttach_X11", [&](benchmark::State& state) {
            ReAttach(state, *desktop);
        })->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
