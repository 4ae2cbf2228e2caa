// The administration against a running simulator with a window: the console keys travel as X
// events to the simulator's window, the lines are written into its memory, and its transcript
// shows what the console carried out. The virtual clock follows the wall clock, never ahead of
// it, so every wait between keys lasts at least as long as it does in the program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../unit/Fakes.h"
#include "ConsoleChannel.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"
#include "Scheduler.h"
#include "SimConsole.h"
#include "SimProcess.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class PollSwitch : public PollTimer {
public:
    Strings switches;
    void SetPollEnabled(bool enabled) override { switches.push_back(enabled ? "on" : "off"); }
};

Strings Outcomes(const fs::path& transcript) {
    return TranscriptOutcomes(transcript, {"chat ", "command ", "punt ", "ban ", "resetgames"});
}

}  // namespace

TEST(AdminWithSimulator, ChatCommandsAndPuntsReachTheServerInOrder) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        GTEST_SKIP() << "keys reach the simulator through its X window";
    TempFolder folder;
    const fs::path transcript = folder / "transcript.txt";
    SimProcess sim("C:\\GAMES\\JO\\JOINTOPS.EXE",
                   {"--state", "3", "--players", "4", "--transcript", transcript.string()});
    ASSERT_GT(sim.pid(), 0);
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] {
        return memory.SetProcID(sim.pid()) && memory.ReadAByte(game::kGameState) == 3 &&
               PlayerIn(memory, 4) == "Player4";
    }));

    VirtualScheduler clock;
    RecordingLog log;
    FakeDialogs dialogs;
    ServerStatus status;
    PlayerTable table;
    FakePlayerList list;
    PlayerReader(memory, status, table, list, log).ReadPlayers(true, 16);
    ASSERT_EQ(list.Players(), (Strings{"Player1", "Player2", "Player3", "Player4"}));
    PlayerListLookup rows(list);
    PollSwitch poll;
    ConsoleChannel channel(memory, clock, log);
    PuntBan puntBan(memory, channel, clock, log, dialogs, rows, poll);

    for (const char* typed : {"hello from the admin test", "/resetgames"}) {
        const auto command = ChatLineCommand(typed);
        ASSERT_TRUE(command);
        channel.SendServerCommand(command->Command, command->Argument);
    }
    list.selected = 1;  // Player2
    puntBan.mnuPlayersPunt_Click();
    dialogs.Answer("");
    list.selected = 2;  // Player3
    puntBan.mnuPlayersPuntReason_Click();
    dialogs.Answer("camping");

    const auto start = std::chrono::steady_clock::now();
    const bool finished = WaitFor(
        [&] {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            clock.Advance(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() -
                          clock.Now());
            return !channel.Busy() && !puntBan.PuntTimerOn() && poll.switches.size() == 4;
        },
        40000);
    ASSERT_TRUE(finished) << "still sending after 40 s";

    const Strings expected{"chat \"Host: hello from the admin test\"",
                           "command \"resetgames\"",
                           "resetgames",
                           "chat \"Host: Player2 has been punted from this server\"",
                           "command \"punt 2\"",
                           "punt 2 \"Player2\"",
                           "chat \"Host: Punting Player3, camping\"",
                           "command \"punt 3\"",
                           "punt 3 \"Player3\""};
    // The last Enter is posted as the last send ends; the simulator takes it a moment later.
    EXPECT_TRUE(WaitFor([&] { return Outcomes(transcript).size() >= expected.size(); }));
    EXPECT_EQ(Outcomes(transcript), expected);
    EXPECT_EQ(PlayerIn(memory, 2), "");
    EXPECT_EQ(PlayerIn(memory, 3), "");
}
