// PlayerTable and how ReadPlayers fills it, against an in-process game image.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Fakes.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlayerReader.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace tovi::testing;
using namespace std::literals;
using image::GameImage;
namespace slot = game::slot;

namespace {

// A game image whose reads fail where a test says, as reads of memory the game has unmapped.
class PatchyBackend : public image::ImageBackend {
public:
    std::vector<std::pair<uint32_t, uint32_t>> holes;  // first and last address of each
    int reads = 0;
    int batches = 0;
    AccessFailure ReadRanges(int32_t pid, std::span<ReadRange> ranges) override {
        ++batches;
        return ImageBackend::ReadRanges(pid, ranges);
    }
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override {
        ++reads;
        for (auto [from, to] : holes) {
            if (address <= to && address + out.size() > from) return false;
        }
        return ImageBackend::Read(pid, address, out);
    }
};

class PlayerTableTest : public ::testing::Test {
protected:
    PatchyBackend backend;
    GameImage server;
    MemoryClass memory{backend};
    ServerStatus status;
    PlayerTable table;
    FakePlayerList list;
    RecordingLog log;
    PlayerReader reader{memory, status, table, list, log};

    void SetUp() override {
        backend.AddServer(100, server);
        ASSERT_TRUE(memory.SetProcID(100));
    }
    static uint32_t At(int slotIndex, uint32_t offset) { return GameImage::SlotAddress(slotIndex) + offset; }
    void Join(int slotIndex, std::string_view name, int32_t kills = 0, uint8_t team = 1) {
        server.ClearSlot(slotIndex);
        server.SetText(At(slotIndex, slot::kName), slot::kNameLength, name);
        server.SetDWord(At(slotIndex, slot::kKills), kills);
        server.SetByte(At(slotIndex, slot::kTeam), team);
    }
    void Read(bool dedicated = true, uint8_t maxPlayers = 16) {
        log.debugLines.clear();
        reader.ReadPlayers(dedicated, maxPlayers);
    }
    Strings Order() {
        Strings names;
        for (const PlayerClass& p : table) names.push_back(p.P_Name + (p.P_IsPlaying ? "" : " (out)"));
        return names;
    }
};

}  // namespace

TEST_F(PlayerTableTest, EachSlotFieldGoesToItsOwnColumnAndNothingAroundLeaksIn) {
    auto around = server.Bytes(At(3, 0), slot::kTeam + 8);
    std::fill(around.begin(), around.end(), uint8_t{0xEE});
    const auto name = "  Alice Smith \0junk"sv;
    std::ranges::copy(name, server.Bytes(At(3, slot::kName), name.size()).begin());
    server.SetByte(At(3, slot::kNumber), 7);  // the Slot column shows the game's number, not the place
    server.SetByte(At(3, slot::kTeam), 200);
    server.SetDWord(At(3, slot::kPing), -1);
    server.SetDWord(At(3, slot::kKills), 11);
    server.SetDWord(At(3, slot::kDeaths), 12);
    server.SetDWord(At(3, slot::kExpPoints), 13);
    Join(5, "Bob", 4, 2);
    Join(6, "Al\r\nice");  // a line break would split PlayerNames
    Read();
    EXPECT_EQ(list.rows, (std::vector<PlayerRow>{{"7", "Alice Smith", "-1", "200", "11", "12", "13", 3},
                                                 {"5", "Bob", "0", "2", "4", "0", "0", 5},
                                                 {"6", "Al\r\nice", "0", "1", "0", "0", "0", 6}}));
    EXPECT_EQ(status.PlayerNames, "Alice Smith\r\nBob\r\nAl  ice");
    EXPECT_EQ(status.PlayerTeams, "200\r\n2\r\n1");
    EXPECT_EQ(log.debugLines.front(), "Alice Smith IsPlaying: True");
}

TEST_F(PlayerTableTest, SlotsFirstToMaxPlayersAreReadAndFreeOrBlankNamedOnesSkipped) {
    Join(0, "Host");
    Join(1, "First");
    Join(2, "      ");
    std::ranges::copy("\0Ghost"sv, server.Bytes(At(3, slot::kName), 6).begin());
    Join(16, "Last");
    Join(17, "Beyond");

    backend.batches = 0;
    Read(true, 16);
    EXPECT_EQ(list.Players(), (Strings{"First", "Last"}));
    EXPECT_EQ(backend.batches, 1);  // every slot in one batch
    Read(false, 16);
    EXPECT_EQ(list.Players(), (Strings{"Host", "First", "Last"}));
    EXPECT_EQ(status.PlayerNames, "Host\r\nFirst\r\nLast");
    Read(true, 0);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(Order(), (Strings{"Host (out)", "First (out)", "Last (out)"}));
}

TEST_F(PlayerTableTest, APlayerFoundAgainGoesOnAndOneWhoLeavesAndReturnsTwiceKeepsEveryStint) {
    Join(1, "Alice");
    Join(2, "Bob", 2);
    server.SetDWord(At(2, slot::kDeaths), 1);
    Read();
    server.SetDWord(At(2, slot::kKills), 3);  // the game's own counters; five seconds a read
    Read();
    EXPECT_EQ(Stint(table, "Bob"), "in kills 3+0 deaths 1+0 time 5+0");

    server.ClearSlot(2);
    Read();
    EXPECT_EQ(log.debugLines, (Strings{"Bob IsPlaying: False", "Alice IsPlaying: True"}));
    Read();  // still away: nothing is added twice
    EXPECT_EQ(Stint(table, "Bob"), "out kills 3+0 deaths 1+0 time 5+0");

    Join(5, "Bob", 1);  // back in another slot, his counters started again by the game
    Read();
    EXPECT_EQ(Stint(table, "Bob"), "in kills 1+3 deaths 0+1 time 0+5");
    server.SetDWord(At(5, slot::kKills), 4);
    Read();
    Read();
    server.ClearSlot(5);
    Read();
    Join(2, "Bob");
    Read();
    EXPECT_EQ(Stint(table, "Bob"), "in kills 0+7 deaths 0+1 time 0+15");
    EXPECT_EQ(Stint(table, "Alice"), "in kills 0+0 deaths 0+0 time 40+0");

    // A new map: everybody starts afresh.
    reader.Clear();
    Read();
    EXPECT_EQ(Stint(table, "Bob"), "in kills 0+0 deaths 0+0 time 0+0");
}

TEST_F(PlayerTableTest, NamesThatDifferOnlyInLetterCaseAreTwoPlayersWithNoCarryOverBetweenThem) {
    Join(1, "Bob", 5);
    Join(2, "BOB", 1);
    Join(3, "\xC9ric", 2);
    Join(4, "\xE9ric", 3);  // É and é
    Read();
    Read();
    EXPECT_EQ(Order(), (Strings{"Bob", "BOB", "\xC9ric", "\xE9ric"}));
    EXPECT_EQ(Stint(table, "Bob"), "in kills 5+0 deaths 0+0 time 5+0");
    EXPECT_EQ(Stint(table, "BOB"), "in kills 1+0 deaths 0+0 time 5+0");
    EXPECT_EQ(Stint(table, "\xE9ric"), "in kills 3+0 deaths 0+0 time 5+0");

    // Bob leaves and comes back as bob: a new player; Bob keeps what he had.
    server.ClearSlot(1);
    Read();
    Join(1, "bob", 7);
    Read();
    EXPECT_EQ(Order(), (Strings{"Bob (out)", "bob", "BOB", "\xC9ric", "\xE9ric"}));
    EXPECT_EQ(Stint(table, "Bob"), "out kills 5+0 deaths 0+0 time 5+0");
    EXPECT_EQ(Stint(table, "bob"), "in kills 7+0 deaths 0+0 time 0+0");
}

TEST_F(PlayerTableTest, FailedReadsGiveZerosForWhatTheyWouldHaveRead) {
    Join(1, "Alice", 7, 2);
    server.SetDWord(At(1, slot::kPing), 50);
    Join(3, "Carol", 9, 2);
    server.SetByte(At(3, slot::kNumber), 33);
    server.SetDWord(At(3, slot::kPing), 70);
    Read();

    backend.holes = {{At(1, slot::kPing), At(1, slot::kPing)}, {At(3, slot::kKills), At(3, slot::kKills)}};
    Read();
    EXPECT_EQ(list.rows, (std::vector<PlayerRow>{{"1", "Alice", "0", "2", "7", "0", "0", 1},
                                                 {"33", "Carol", "70", "0", "0", "0", "0", 3}}));

    // Without the slot table's address nobody is found, and each stint ends.
    backend.holes = {{game::kSlotTablePointer + 3, game::kSlotTablePointer + 3}};
    backend.reads = 0;
    Read();
    EXPECT_EQ(backend.reads, 1);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(status.PlayerNames + status.PlayerTeams, "");
    EXPECT_EQ(Order(), (Strings{"Alice (out)", "Carol (out)"}));
}

TEST_F(PlayerTableTest, AfterAReadThePlayersNotFoundComeFirstThenTheFoundInSlotOrder) {
    Join(3, "Carol");
    Join(1, "Alice");
    Join(2, "Bob");
    Read();
    EXPECT_EQ(Order(), (Strings{"Alice", "Bob", "Carol"}));
    server.ClearSlot(1);
    Join(2, "Dave");
    Join(4, "Bob");
    Read();
    EXPECT_EQ(Order(), (Strings{"Alice (out)", "Dave", "Carol", "Bob"}));
}
