// What one poll tick's reads cost against a running simulator: every read opens nothing and
// keeps nothing, so each one is a system call of its own.
#include <benchmark/benchmark.h>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"

using namespace tovi;

namespace {

struct Server {
    testing::SimProcess sim{"C:\\GAMES\\JO\\jointops.exe", {"--no-window", "--state", "3", "--players", "16"}};
    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    MemoryClass memory{*backend};
    Server() {
        testing::WaitFor([&] { return memory.SetProcID(sim.pid()); });
    }
};

Server& TheServer() {
    static Server server;
    return server;
}

void BM_ReadAByte(benchmark::State& state) {
    auto& memory = TheServer().memory;
    for (auto _ : state) benchmark::DoNotOptimize(memory.ReadAByte(game::kGameState));
}
BENCHMARK(BM_ReadAByte);

void BM_ReadServerName(benchmark::State& state) {
    auto& memory = TheServer().memory;
    for (auto _ : state) benchmark::DoNotOptimize(memory.ReadMemory(game::kServerName, game::kServerNameLength));
}
BENCHMARK(BM_ReadServerName);

void BM_AttachById(benchmark::State& state) {
    auto& server = TheServer();
    const int32_t pid = server.sim.pid();
    for (auto _ : state) benchmark::DoNotOptimize(server.memory.SetProcID(pid));
}
BENCHMARK(BM_AttachById);

void BM_ListProcesses(benchmark::State& state) {
    auto& memory = TheServer().memory;
    for (auto _ : state) {
        std::vector<std::string> found;
        memory.ListProcesses(found, std::string(game::kExecutableName));
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_ListProcesses);

}  // namespace

BENCHMARK_MAIN();
