// What one player read costs on a full server of 32 players, against a running simulator: the
// wall time of ReadPlayers and how many memory reads it makes (a batch of ranges counts as one).
// Each read is one process_vm_readv, so the count is what a read asks of the system every five
// seconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "CountingBackend.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlayerReader.h"
#include "QuietPollView.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"

using namespace tovi;

namespace {

constexpr int kPlayers = 32;

using bench::CountingBackend;

struct Server {
    Server() {
        platform.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(platform));
        ready = testing::WaitFor([&] {
            return memory.SetProcID(sim.pid()) && memory.ReadAByte(game::kGameState) == 3 &&
                   memory.ReadAByte(game::kPlayerCount) == kPlayers;
        });
    }
    testing::SimProcess sim{"C:\\GAMES\\JO\\jointops.exe",
                            {"--no-window", "--transcript", "/dev/null", "--state", "3", "--players",
                             std::to_string(kPlayers), "--maxplayers", std::to_string(kPlayers)}};
    linux_backend::LinuxProcessBackend platform;
    CountingBackend counted{platform};
    MemoryClass memory{counted};
    bool ready = false;
};

void BM_ReadPlayers_Full32(benchmark::State& state) {
    static Server server;
    if (!server.ready) {
        state.SkipWithError("the simulator could not be attached");
        return;
    }
    ServerStatus status;
    PlayerTable table;
    bench::QuietPlayerList list;
    list.selected = 3;
    bench::QuietLog log;
    PlayerReader reader(server.memory, status, table, list, log);
    const bool dedicated = server.memory.ReadAByte(game::kDedicated) != 0;
    const uint8_t maxPlayers = server.memory.ReadAByte(game::kMaxPlayers);
    reader.ReadPlayers(dedicated, maxPlayers);  // the table is full from here on, as in a match
    server.counted.Reset();

    for (auto _ : state) reader.ReadPlayers(dedicated, maxPlayers);

    if (list.rows.size() != static_cast<size_t>(kPlayers)) {
        state.SkipWithError(("found " + std::to_string(list.rows.size()) + " players").c_str());
        return;
    }
    const auto calls = static_cast<double>(state.iterations());
    const auto reads = static_cast<double>(server.counted.memory);
    state.counters["reads"] = reads / calls;
    state.counters["reads_us"] = static_cast<double>(server.counted.memoryTime.count()) / 1000.0 / calls;
}
BENCHMARK(BM_ReadPlayers_Full32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
