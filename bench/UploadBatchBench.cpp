// What one stats upload costs the event loop with a large backlog waiting: cutting the next batch
// from stats.stats (reading it, its id), building its body, and removing it once confirmed. Each
// runs on the user-interface thread, so each must stay well under a frame (16 ms) however long the
// queue is: a batch carries at most 1 MB of body.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "GameText.h"
#include "UploadQueue.h"

using namespace tovi;
namespace fs = std::filesystem;

namespace {

// A queue of `megabytes` of blocks of 32 players each, in a fresh folder.
fs::path MakeQueue(int megabytes) {
    const fs::path folder = fs::temp_directory_path() / ("tovi-bench-" + std::to_string(std::random_device()()));
    fs::create_directories(folder);
    std::ofstream out(folder / "stats.stats", std::ios::binary);
    std::string block = "ServerInfo QX1|**QX**|Tidal Wave|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|900\r\n";
    for (int i = 0; i < 32; ++i)
        block += "  PlayerStats Player" + std::to_string(i) + "&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n";
    for (size_t written = 0; written < size_t(megabytes) << 20; written += block.size()) out << block;
    return folder;
}

void BM_NextBatchAndBody(benchmark::State& state) {
    const fs::path folder = MakeQueue(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        UploadQueue queue(folder / "stats.stats", Sha256Hex);
        std::string error;
        std::optional<UploadBatch> batch = queue.Next(error);
        benchmark::DoNotOptimize(UploadBody(batch->bytes));
    }
    fs::remove_all(folder);
}
BENCHMARK(BM_NextBatchAndBody)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_ConfirmBatch(benchmark::State& state) {
    const fs::path folder = MakeQueue(static_cast<int>(state.range(0)));
    UploadQueue queue(folder / "stats.stats", Sha256Hex);
    for (auto _ : state) {
        std::string error;
        std::optional<UploadBatch> batch = queue.Next(error);
        if (!batch) break;
        queue.Sending(*batch, error);
        queue.Confirmed(*batch, error);
    }
    fs::remove_all(folder);
}
BENCHMARK(BM_ConfirmBatch)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
