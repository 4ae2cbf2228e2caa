// The player table and the chat list read from a running simulator whose players join, leave and
// come back during one match. The simulator runs 120 times as fast as real time; each step waits
// for its event in the simulator's transcript and reads before the next event, 0.5 s later.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChatReader.h"
#include "GameAddresses.h"
#include "PlayerReader.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"

using namespace tovi;
namespace fs = std::filesystem;

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
at 180 add 4 kills=2
at 180 chat "Bob: back again"
at 240 leave 4
at 300 join 3 "Bob" team=1
at 300 chat "Bob: third time: lucky"
)";

class PlayerRows : public PlayerListView, public LogSink {
public:
    std::vector<PlayerRow> rows;
    std::vector<std::string> debug;
    int RowCount() override { return static_cast<int>(rows.size()); }
    std::string Text(int row, PlayerColumn column) override {
        const PlayerRow& r = rows.at(static_cast<size_t>(row));
        return column == PlayerColumn::Slot ? r.Slot : column == PlayerColumn::Player ? r.Player : "";
    }
    std::optional<int> SelectedRow() override { return std::nullopt; }
    void ClearRows() override { rows.clear(); }
    void AddRow(const PlayerRow& row) override { rows.push_back(row); }
    void SelectRow(int) override {}
    void Log(const std::string&) override {}
    void DebugLog(const std::string& message) override { debug.push_back(message); }
};

class ChatRows : public ChatView {
public:
    std::vector<std::string> rows;  // "Player|Text", the top row first
    void InsertRowAtTop(const std::string& Player, const std::string& Text, const std::string&) override {
        rows.insert(rows.begin(), Player + "|" + Text);
    }
    void RemoveBottomRow() override { rows.pop_back(); }
    int RowCount() override { return static_cast<int>(rows.size()); }
    void Clear() override { rows.clear(); }
};

class PlayersWithSimulator : public ::testing::Test {
protected:
    fs::path folder =
        fs::temp_directory_path() / ("tovi-players-" + std::to_string(tovi::testing::CurrentProcessId()));
    std::unique_ptr<tovi::testing::SimProcess> sim;
    linux_backend::LinuxProcessBackend backend;
    MemoryClass memory{backend};
    ServerStatus status;
    PlayerTable table;
    PlayerRows list;
    PlayerReader players{memory, status, table, list, list};
    ChatRows chatList;
    ChatReader chat{memory, status, chatList, [] { return std::string("21:05:09"); }};
    size_t seen = 0;  // transcript lines when the step's event was found

    void SetUp() override {
        fs::create_directories(folder);
        std::ofstream(folder / "players.scn") << kScenario;
        sim = std::make_unique<tovi::testing::SimProcess>(
            "C:\\GAMES\\JO\\jointops.exe",
            std::vector<std::string>{"--no-window", "--time-scale", "120", "--scenario",
                                     (folder / "players.scn").string(), "--transcript",
                                     (folder / "transcript").string()});
        // The simulator has no window: the rule for a server without one finds it.
        backend.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(backend));
        ASSERT_TRUE(tovi::testing::WaitFor(
            [&] { return memory.SetProcID(sim->pid()) && memory.ReadAByte(game::kGameState) == 3; }));
    }
    void TearDown() override {
        sim.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    // The transcript's complete lines, without their time stamps.
    std::vector<std::string> Actions() {
        std::stringstream text;
        text << std::ifstream(folder / "transcript").rdbuf();
        std::vector<std::string> actions;
        for (std::string line; std::getline(text, line);) {
            if (!text.eof()) actions.push_back(line.substr(line.find(' ') + 1));
        }
        return actions;
    }
    // Waits for the event, then reads players `reads` times and the chat once.
    void Step(const std::string& action, int reads = 1) {
        ASSERT_TRUE(tovi::testing::WaitFor([&] {
            const auto actions = Actions();
            seen = actions.size();
            return std::ranges::find(actions, action) != actions.end();
        })) << "the simulator never played "
            << action;
        for (int i = 0; i < reads; ++i)
            players.ReadPlayers(memory.ReadAByte(game::kDedicated) != 0, memory.ReadAByte(game::kMaxPlayers));
        chat.ReadChat();
        ASSERT_EQ(Actions().size(), seen)
            << "an event came during the reads: the machine is too slow for the "
               "simulator's time scale";
    }
    std::string Stint(const std::string& name) {
        const PlayerClass* r = table.Find(name);
        if (r == nullptr) return "no record";
        const auto pair = [](int32_t p, int32_t b) { return std::to_string(p) + "+" + std::to_string(b); };
        return (r->P_IsPlaying ? "in" : "out") + std::string(" kills ") + pair(r->P_Kills, r->B_Kills) +
               " deaths " + pair(r->P_Deaths, r->B_Deaths) + " time " +
               pair(r->P_TimePlayed, r->B_TimePlayed);
    }
};

}  // namespace

TEST_F(PlayersWithSimulator, PlayersWhoLeaveAndReturnKeepTheirEarlierStints) {
    Step("chat \"Alice: hello\"", 2);
    EXPECT_EQ(list.rows, (std::vector<PlayerRow>{{"1", "Alice", "40", "1", "2", "0", "0"},
                                                 {"2", "Bob", "75", "2", "3", "1", "0"}}));
    EXPECT_EQ(status.PlayerNames, "Alice\r\nBob");
    EXPECT_EQ(status.PlayerTeams, "1\r\n2");
    EXPECT_EQ(Stint("Bob"), "in kills 3+0 deaths 1+0 time 5+0");

    Step("leave 2 \"Bob\"");
    EXPECT_EQ(Stint("Bob"), "out kills 3+0 deaths 1+0 time 5+0");
    EXPECT_EQ(std::vector(list.debug.end() - 2, list.debug.end()),
              (std::vector<std::string>{"Bob IsPlaying: False", "Alice IsPlaying: True"}));
    EXPECT_EQ(status.PlayerNames, "Alice");

    Step("join 4 \"Bob\"");
    EXPECT_EQ(Stint("Bob"), "in kills 1+3 deaths 0+1 time 0+5");
    EXPECT_EQ(list.rows.back().Slot, "4");
    Step("chat \"Bob: back again\"");
    EXPECT_EQ(Stint("Bob"), "in kills 3+3 deaths 0+1 time 5+5");
    Step("leave 4 \"Bob\"");
    EXPECT_EQ(Stint("Bob"), "out kills 3+3 deaths 0+1 time 5+5");

    Step("chat \"Bob: third time: lucky\"");
    EXPECT_EQ(Stint("Bob"), "in kills 0+6 deaths 0+1 time 0+10");
    EXPECT_EQ(Stint("Alice"), "in kills 2+0 deaths 0+0 time 30+0");
    EXPECT_EQ(status.PlayerTeams, "1\r\n1");
    EXPECT_EQ(chatList.rows, (std::vector<std::string>{"Bob|lucky", "Bob|back again", "Alice|hello"}));
}
