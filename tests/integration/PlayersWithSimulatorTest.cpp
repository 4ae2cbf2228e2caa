// The player table and the chat list read from a running simulator whose players join, leave and
// come back during one match. The simulator runs 120 times as fast as real time; each step waits
// for its event in the simulator's transcript and reads before the next event, 0.5 s later.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <sstream>
#include <string>

#include "../unit/Fakes.h"
#include "ChatReader.h"
#include "GameAddresses.h"
#include "PlayerReader.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

constexpr const char* kScenario = R"(maxplayers 8
round "Tidal Wave" "JOTR_TIDALWAVE.BMS"
loading 0
waiting 0
matchtime forever
at 1 join 1 "Alice" team=1 ping=40 kills=2
at 1 join 2 "Bob" team=2 ping=75 kills=3 deaths=1
at 1 chat "Alice: hello"
at 60 leave 2
at 120 join 4 "Bob" team=2 kills=1
at 120 chat "Bob: back again"
)";

class PlayersWithSimulator : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<SimProcess> sim;
    linux_backend::LinuxProcessBackend backend;
    MemoryClass memory{backend};
    ServerStatus status;
    PlayerTable table;
    FakePlayerList list;
    RecordingLog log;
    PlayerReader players{memory, status, table, list, log};
    FakeChatList chatList;
    ChatReader chat{memory, status, chatList, [] { return std::string("21:05:09"); }};
    size_t seen = 0;  // transcript lines when the step's event was found

    void SetUp() override {
        WriteBytes(folder / "players.scn", kScenario);
        sim = std::make_unique<SimProcess>(
            "C:\\GAMES\\JO\\jointops.exe",
            Strings{"--no-window", "--time-scale", "120", "--scenario", (folder / "players.scn").string(),
                    "--transcript", (folder / "transcript").string()});
        // The simulator has no window: the rule for a server without one finds it.
        backend.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(backend));
        ASSERT_TRUE(
            WaitFor([&] { return memory.SetProcID(sim->pid()) && memory.ReadAByte(game::kGameState) == 3; }));
    }
    // The transcript's complete lines, without their time stamps.
    Strings Actions() {
        std::stringstream text(ReadBytes(folder / "transcript"));
        Strings actions;
        for (std::string line; std::getline(text, line);) {
            if (!text.eof()) actions.push_back(line.substr(line.find(' ') + 1));
        }
        return actions;
    }
    // Waits for the event, then reads players `reads` times and the chat once.
    void Step(const std::string& action, int reads = 1) {
        ASSERT_TRUE(WaitFor([&] {
            const auto actions = Actions();
            seen = actions.size();
            return std::ranges::find(actions, action) != actions.end();
        })) << "the simulator never played "
            << action;
        for (int i = 0; i < reads; ++i)
            players.ReadPlayers(memory.ReadAByte(game::kDedicated) != 0, memory.ReadAByte(game::kMaxPlayers));
        chat.ReadChat();
        ASSERT_EQ(Actions().size(), seen)
            << "an event came during the reads: the machine is too slow for the simulator's time scale";
    }
};

}  // namespace

TEST_F(PlayersWithSimulator, PlayersWhoLeaveAndReturnKeepTheirEarlierStints) {
    Step("chat \"Alice: hello\"", 2);
    EXPECT_EQ(list.rows, (std::vector<PlayerRow>{{"1", "Alice", "40", "1", "2", "0", "0", 1},
                                                 {"2", "Bob", "75", "2", "3", "1", "0", 2}}));
    EXPECT_EQ(Stint(table, "Bob"), "in kills 3+0 deaths 1+0 time 5+0");

    Step("leave 2 \"Bob\"");
    EXPECT_EQ(Stint(table, "Bob"), "out kills 3+0 deaths 1+0 time 5+0");

    Step("chat \"Bob: back again\"");
    EXPECT_EQ(Stint(table, "Bob"), "in kills 1+3 deaths 0+1 time 0+5");
    EXPECT_EQ(Stint(table, "Alice"), "in kills 2+0 deaths 0+0 time 15+0");
    EXPECT_EQ(list.rows.back().Slot, "4");
    EXPECT_EQ(chatList.rows, (std::deque<std::string>{"Bob|back again|21:05:09", "Alice|hello|21:05:09"}));
}
