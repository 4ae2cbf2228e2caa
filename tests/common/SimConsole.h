#pragma once
// What the administration tests against a running simulator share: a simulator with a window,
// attached by its id, and the administration over it (the player list as a read fills it, the
// console channel, punt and ban); what they read back from it: the name in a slot, and the
// console's outcomes from its transcript. The virtual clock follows the wall clock, never ahead
// of it, so every wait between keys lasts at least as long as it does in the program.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Fakes.h"
#include "ConsoleChannel.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"
#include "Scheduler.h"
#include "SimProcess.h"

namespace tovi::testing {

inline std::string PlayerIn(MemoryClass& memory, int slot) {
    const auto first = static_cast<uint32_t>(memory.ReadDWord(game::kSlotTablePointer));
    const uint32_t address = first + static_cast<uint32_t>(slot) * game::kSlotStride + game::slot::kName;
    return CutAtNull(memory.ReadMemory(address, static_cast<int16_t>(game::slot::kNameLength)));
}

// The transcript's lines that begin with one of `kinds`, in order, without their times.
inline Strings TranscriptOutcomes(const fs::path& transcript, std::initializer_list<const char*> kinds) {
    Strings outcomes;
    std::ifstream file(transcript);
    std::string line;
    while (std::getline(file, line)) {
        const std::string action = line.substr(line.find(' ') + 1);
        for (const char* kind : kinds) {
            if (action.rfind(kind, 0) == 0) outcomes.push_back(action);
        }
    }
    return outcomes;
}

class SimAdminTest : public ::testing::Test {
protected:
    class PollSwitch : public PollTimer {
    public:
        Strings switches;
        void SetPollEnabled(bool enabled) override { switches.push_back(enabled ? "on" : "off"); }
    };

    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0')
            GTEST_SKIP() << "keys reach the simulator through its X window";
    }
    // Starts the simulator, writing its transcript, and waits until it hosts and `ready` holds.
    template <typename Ready>
    void Start(std::vector<std::string> args, Ready ready) {
        args.insert(args.end(), {"--transcript", transcript.string()});
        sim = std::make_unique<SimProcess>("C:\\GAMES\\JO\\JOINTOPS.EXE", std::move(args));
        ASSERT_GT(sim->pid(), 0);
        ASSERT_TRUE(WaitFor([&] {
            return memory.SetProcID(sim->pid()) && memory.ReadAByte(game::kGameState) == 3 && ready();
        }));
        start = std::chrono::steady_clock::now();
    }
    // Runs the virtual clock along the wall clock until `condition` holds, for at most 40 s.
    template <typename Condition>
    bool Drive(Condition condition) {
        return WaitFor(
            [&] {
                const auto elapsed = std::chrono::steady_clock::now() - start;
                clock.Advance(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() -
                              clock.Now());
                return condition();
            },
            40000);
    }

    TempFolder folder;
    const fs::path transcript = folder / "transcript.txt";
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    MemoryClass memory{*backend};
    VirtualScheduler clock;
    RecordingLog log;
    FakeDialogs dialogs;
    ServerStatus status;
    PlayerTable table;
    FakePlayerList list;
    PlayerReader reader{memory, status, table, list, log};
    PlayerListLookup rows{list};
    PollSwitch poll;
    ConsoleChannel channel{memory, clock, log};
    PuntBan puntBan{memory, channel, clock, log, dialogs, rows, poll};
    std::chrono::steady_clock::time_point start;
};

}  // namespace tovi::testing
