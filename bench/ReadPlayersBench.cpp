// What one player read costs on a full server of 32 players, against a running simulator: the
// wall time of ReadPlayers and how many memory reads it makes (a batch of ranges counts as one).
// Each read is one process_vm_readv, so the count is what a read asks of the system every five
// seconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlayerReader.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"

using namespace tovi;

namespace {

constexpr int kPlayers = 32;

// Passes every call on; counts memory reads and the time they take.
class CountingBackend : public ProcessBackend {
public:
    explicit CountingBackend(ProcessBackend& inner) : m_inner(inner) {}

    int64_t reads = 0;
    std::chrono::nanoseconds readTime{0};

    std::vector<int32_t> ListProcessIds() override { return m_inner.ListProcessIds(); }
    std::optional<std::string> FirstModulePath(int32_t pid) override { return m_inner.FirstModulePath(pid); }
    bool CanOpen(int32_t pid) override { return m_inner.CanOpen(pid); }
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override {
        ++reads;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = m_inner.Read(pid, address, out);
        readTime += std::chrono::steady_clock::now() - start;
        return ok;
    }
    bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) override {
        return m_inner.Write(pid, address, data);
    }
    AccessFailure ReadRanges(int32_t pid, std::span<ReadRange> ranges) override {
        ++reads;
        const auto start = std::chrono::steady_clock::now();
        const AccessFailure failure = m_inner.ReadRanges(pid, ranges);
        readTime += std::chrono::steady_clock::now() - start;
        return failure;
    }
    std::vector<int32_t> TopLevelWindows() override { return m_inner.TopLevelWindows(); }
    int32_t FindWindowByCaption(const std::string& caption) override {
        return m_inner.FindWindowByCaption(caption);
    }
    int32_t WindowProcess(int32_t window) override { return m_inner.WindowProcess(window); }
    std::string WindowCaption(int32_t window) override { return m_inner.WindowCaption(window); }
    bool SetWindowVisible(int32_t window, bool visible) override {
        return m_inner.SetWindowVisible(window, visible);
    }
    bool PostKeystroke(int32_t window, GameKeystroke key) override {
        return m_inner.PostKeystroke(window, key);
    }
    AccessFailure LastFailure() const override { return m_inner.LastFailure(); }

private:
    ProcessBackend& m_inner;
};

// A list view that keeps its rows as a window's list would, so that rebuilding it and looking
// names up in it cost something like what they cost in the program.
class RowList : public PlayerListView {
public:
    std::vector<PlayerRow> rows;
    int RowCount() override { return static_cast<int>(rows.size()); }
    std::string Text(int row, PlayerColumn column) override {
        const PlayerRow& r = rows[static_cast<size_t>(row)];
        return column == PlayerColumn::Slot ? r.Slot : r.Player;
    }
    int SlotPosition(int row) override { return rows[static_cast<size_t>(row)].Position; }
    std::optional<int> SelectedRow() override { return 3; }
    void ClearRows() override { rows.clear(); }
    void AddRow(const PlayerRow& row) override { rows.push_back(row); }
    void SelectRow(int row) override { benchmark::DoNotOptimize(row); }
};

class NoLog : public LogSink {
public:
    void Log(const std::string& message) override { benchmark::DoNotOptimize(message.data()); }
    void DebugLog(const std::string& message) override { benchmark::DoNotOptimize(message.data()); }
};

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
    RowList list;
    NoLog log;
    PlayerReader reader(server.memory, status, table, list, log);
    const bool dedicated = server.memory.ReadAByte(game::kDedicated) != 0;
    const uint8_t maxPlayers = server.memory.ReadAByte(game::kMaxPlayers);
    reader.ReadPlayers(dedicated, maxPlayers);  // the table is full from here on, as in a match
    server.counted.reads = 0;
    server.counted.readTime = {};

    for (auto _ : state) reader.ReadPlayers(dedicated, maxPlayers);

    if (list.rows.size() != static_cast<size_t>(kPlayers)) {
        state.SkipWithError(("found " + std::to_string(list.rows.size()) + " players").c_str());
        return;
    }
    const auto calls = static_cast<double>(state.iterations());
    const auto reads = static_cast<double>(server.counted.reads);
    state.counters["reads"] = reads / calls;
    state.counters["reads_us"] = static_cast<double>(server.counted.readTime.count()) / 1000.0 / calls;
}
BENCHMARK(BM_ReadPlayers_Full32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
