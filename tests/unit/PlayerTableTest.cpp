// PlayerTable and how ReadPlayers fills it, against an in-process game image.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlayerReader.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace std::literals;
using image::GameImage;
namespace slot = game::slot;

namespace {

// A game image whose reads fail where a test says, as reads of memory the game has unmapped.
class PatchyBackend : public image::ImageBackend {
public:
    std::vector<std::pair<uint32_t, uint32_t>> holes;  // first and last address of each
    int reads = 0;
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override {
        ++reads;
        for (auto [from, to] : holes) {
            if (address <= to && address + out.size() > from) return false;
        }
        return ImageBackend::Read(pid, address, out);
    }
};

// lstPlayers as a list view keeps it: emptying it loses the selection.
class FakePlayerList : public PlayerListView {
public:
    std::vector<PlayerRow> rows;
    std::optional<int> selected;
    int selections = 0;

    int RowCount() override { return static_cast<int>(rows.size()); }
    std::string Text(int row, PlayerColumn column) override {
        static constexpr std::string PlayerRow::*kCells[] = {
            &PlayerRow::Slot,  &PlayerRow::Player, &PlayerRow::Ping,     &PlayerRow::Team,
            &PlayerRow::Kills, &PlayerRow::Deaths, &PlayerRow::ExpPoints};
        return rows.at(static_cast<size_t>(row)).*kCells[static_cast<int>(column)];
    }
    std::optional<int> SelectedRow() override { return selected; }
    void ClearRows() override {
        rows.clear();
        selected.reset();
    }
    void AddRow(const PlayerRow& row) override { rows.push_back(row); }
    void SelectRow(int row) override {
        selected = row;
        ++selections;
    }

    std::vector<std::string> Players() {
        std::vector<std::string> names;
        for (const PlayerRow& r : rows) names.push_back(r.Player);
        return names;
    }
    void SelectSlot(const std::string& slotText) {
        const auto found = std::ranges::find(rows, slotText, &PlayerRow::Slot);
        selected = static_cast<int>(found - rows.begin());
    }
};

class FakeLog : public LogSink {
public:
    std::vector<std::string> debug;
    void Log(const std::string&) override { ADD_FAILURE() << "the player read writes no activity log"; }
    void DebugLog(const std::string& message) override { debug.push_back(message); }
};

class PlayerTableTest : public ::testing::Test {
protected:
    PatchyBackend backend;
    GameImage server;
    MemoryClass memory{backend};
    ServerStatus status;
    PlayerTable table;
    FakePlayerList list;
    FakeLog log;
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
        log.debug.clear();
        reader.ReadPlayers(dedicated, maxPlayers);
    }
    const PlayerClass& Record(const std::string& name) {
        const PlayerClass* p = table.Find(name);
        if (p == nullptr) throw std::runtime_error("no record for " + name);
        return *p;
    }
    // A record in short: present or not, then this stint's value + the earlier stints' for
    // kills, deaths and time.
    std::string Stint(const std::string& name) {
        const PlayerClass& r = Record(name);
        const auto pair = [](int32_t p, int32_t b) { return std::to_string(p) + "+" + std::to_string(b); };
        return (r.P_IsPlaying ? "in"s : "out"s) + " kills " + pair(r.P_Kills, r.B_Kills) + " deaths " +
               pair(r.P_Deaths, r.B_Deaths) + " time " + pair(r.P_TimePlayed, r.B_TimePlayed);
    }
    std::vector<std::string> Order() {
        std::vector<std::string> names;
        for (const PlayerClass& p : table) names.push_back(p.P_Name + (p.P_IsPlaying ? "" : " (out)"));
        return names;
    }
};

}  // namespace

TEST(PlayerTable, KeysIgnoreAsciiLetterCaseAndReplacingAppendsAtTheEnd) {
    PlayerTable table;
    for (const char* name : {"Alice", "Bob", "\xC9ric", "bOB"}) table.Replace({.P_Name = name});
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.Find("BOB")->P_Name, "bOB");
    EXPECT_EQ(table.begin()[2].P_Name, "bOB");
    EXPECT_NE(table.Find("\xC9RIC"), nullptr);
    EXPECT_EQ(table.Find("\xE9ric"), nullptr);  // É and é: not ASCII letters
    EXPECT_EQ(table.Find("Bob "), nullptr);
    EXPECT_FALSE(SamePlayerKey("@", "`"));  // 32 apart like A and a, but no letters
}

TEST(PlayerTable, TheStatisticListIsInTheStatsFileOrder) {
    std::string order;
    for (const Statistic& s : kStatisticList) order += std::string(s.Name) + " ";
    EXPECT_EQ(order,
              "SdAdFriendlyZoneDefendKills SdAdFriendlyZonePolicingKills SdAdEnemyZoneAttackKills "
              "SdAdEnemyZoneSecuringKills Murders Kills Deaths SecondsInZone Targets Suicides ShotsFired "
              "MedicSaves MedicRevives PspAttempt PspTakes HeadShots Knifes SniperKills ZoneAttackKills "
              "ZoneDefendKills ExpPoints Assists TimePlayed ");
}

TEST_F(PlayerTableTest, EverySlotFieldGoesToItsOwnFieldAndAnEndedStintToItsOwnBField) {
    // Bytes around the fields must not leak into them.
    auto around = server.Bytes(At(3, 0), slot::kTeam + 8);
    std::fill(around.begin(), around.end(), uint8_t{0xEE});
    const auto name = "  Alice Smith \0junk"sv;
    std::ranges::copy(name, server.Bytes(At(3, slot::kName), name.size()).begin());
    server.SetByte(At(3, slot::kNumber), 7);  // the Slot column shows the game's number, not the index
    server.SetByte(At(3, slot::kTeam), 200);
    server.SetDWord(At(3, slot::kPing), -1);
    const std::pair<uint32_t, int32_t PlayerClass::*> counters[] = {
        {slot::kShotsFired, &PlayerClass::P_ShotsFired},
        {slot::kMurders, &PlayerClass::P_Murders},
        {slot::kKills, &PlayerClass::P_Kills},
        {slot::kSuicides, &PlayerClass::P_Suicides},
        {slot::kDeaths, &PlayerClass::P_Deaths},
        {slot::kTargets, &PlayerClass::P_Targets},
        {slot::kPspTakes, &PlayerClass::P_PspTakes},
        {slot::kHeadShots, &PlayerClass::P_HeadShots},
        {slot::kKnifes, &PlayerClass::P_Knifes},
        {slot::kZoneAttackKills, &PlayerClass::P_ZoneAttackKills},
        {slot::kZoneDefendKills, &PlayerClass::P_ZoneDefendKills},
        {slot::kExpPoints, &PlayerClass::P_ExpPoints},
        {slot::kSecondsInZone, &PlayerClass::P_SecondsInZone}};
    int32_t value = -100;
    for (auto [offset, field] : counters) server.SetDWord(At(3, offset), value++);
    Join(5, "Bob", 4, 2);

    Read();
    const PlayerClass first = Record("Alice Smith");
    value = -100;
    for (auto [offset, field] : counters) EXPECT_EQ(first.*field, value++) << offset;
    EXPECT_EQ(first.P_Team, 200);
    EXPECT_EQ(first.P_Ping, -1);
    for (const Statistic& s : kStatisticList) {
        // Not kept by the game, or not counted yet; and no earlier stint.
        if (std::ranges::none_of(counters, [&](const auto& c) { return c.second == s.P; })) {
            EXPECT_EQ(first.*s.P, 0) << s.Name;
        }
        EXPECT_EQ(first.*s.B, 0) << s.Name;
    }
    EXPECT_EQ(list.rows, (std::vector<PlayerRow>{{"7", "Alice Smith", "-1", "200", "-98", "-96", "-89"},
                                                 {"5", "Bob", "0", "2", "4", "0", "0"}}));
    EXPECT_EQ(status.PlayerNames, "Alice Smith\r\nBob");
    EXPECT_EQ(status.PlayerTeams, "200\r\n2");
    EXPECT_EQ(log.debug, (std::vector<std::string>{"Alice Smith IsPlaying: True", "Bob IsPlaying: True"}));

    server.ClearSlot(3);
    Read();
    Join(3, "Alice Smith");
    Read();
    for (const Statistic& s : kStatisticList) EXPECT_EQ(Record("Alice Smith").*s.B, first.*s.P) << s.Name;
}

TEST_F(PlayerTableTest, SlotsFirstToMaxPlayersAreReadAndFreeOrBlankNamedOnesSkipped) {
    Join(0, "Host");
    Join(1, "First");
    Join(2, "      ");
    std::ranges::copy("\0Ghost"sv, server.Bytes(At(3, slot::kName), 6).begin());
    Join(16, "Last");
    Join(17, "Beyond");

    backend.reads = 0;
    Read(true, 16);
    EXPECT_EQ(list.Players(), (std::vector<std::string>{"First", "Last"}));
    EXPECT_LE(backend.reads, 1 + 14 + 3 * 2);  // a free slot costs one read, a player at most three
    Read(false, 16);
    EXPECT_EQ(list.Players(), (std::vector<std::string>{"Host", "First", "Last"}));
    EXPECT_EQ(status.PlayerNames, "Host\r\nFirst\r\nLast");
    EXPECT_EQ(Order(), (std::vector<std::string>{"Host", "First", "Last"}));
    Read(false, 0);
    EXPECT_EQ(list.Players(), std::vector<std::string>{"Host"});
    Read(true, 0);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(status.PlayerNames + status.PlayerTeams, "");
    EXPECT_EQ(Order(), (std::vector<std::string>{"First (out)", "Last (out)", "Host (out)"}));
}

TEST_F(PlayerTableTest, APlayerFoundAgainGoesOnAndOneWhoLeavesAndReturnsTwiceKeepsEveryStint) {
    Join(1, "Alice");
    Join(2, "Bob", 2);
    server.SetDWord(At(2, slot::kDeaths), 1);
    Read();
    EXPECT_EQ(Stint("Bob"), "in kills 2+0 deaths 1+0 time 0+0");
    server.SetDWord(At(2, slot::kKills), 3);  // the game's own counters; five seconds a read
    Read();
    EXPECT_EQ(Stint("Bob"), "in kills 3+0 deaths 1+0 time 5+0");

    server.ClearSlot(2);
    Read();
    EXPECT_EQ(Stint("Bob"), "out kills 3+0 deaths 1+0 time 5+0");
    EXPECT_EQ(log.debug, (std::vector<std::string>{"Bob IsPlaying: False", "Alice IsPlaying: True"}));
    Read();  // still away: nothing is added twice
    EXPECT_EQ(Stint("Bob"), "out kills 3+0 deaths 1+0 time 5+0");
    EXPECT_EQ(log.debug, (std::vector<std::string>{"Bob IsPlaying: False", "Alice IsPlaying: True"}));

    Join(5, "Bob", 1);  // back in another slot, his counters started again by the game
    Read();
    EXPECT_EQ(Stint("Bob"), "in kills 1+3 deaths 0+1 time 0+5");
    server.SetDWord(At(5, slot::kKills), 4);
    Read();
    EXPECT_EQ(Stint("Bob"), "in kills 4+3 deaths 0+1 time 5+5");
    Read();
    server.ClearSlot(5);
    Read();
    Join(2, "Bob");
    Read();
    EXPECT_EQ(Stint("Bob"), "in kills 0+7 deaths 0+1 time 0+15");
    EXPECT_EQ(Stint("Alice"), "in kills 0+0 deaths 0+0 time 40+0");

    // A new map: everybody starts afresh.
    reader.Clear();
    EXPECT_TRUE(table.empty());
    Read();
    EXPECT_EQ(Stint("Bob"), "in kills 0+0 deaths 0+0 time 0+0");
}

TEST_F(PlayerTableTest, NamesThatDifferOnlyInLetterCaseShareOneRecordWithNoCarryOver) {
    Join(1, "Bob", 5);
    Join(2, "bob", 1);
    Read();
    Read();
    EXPECT_EQ(Order(), std::vector<std::string>{"bob"});
    EXPECT_EQ(list.Players(), (std::vector<std::string>{"Bob", "bob"}));
    EXPECT_EQ(Stint("BOB"), "in kills 1+0 deaths 0+0 time 0+0");

    server.ClearSlot(1);
    Read();
    EXPECT_EQ(Stint("bob"), "in kills 1+0 deaths 0+0 time 5+0");
}

TEST_F(PlayerTableTest, FailedReadsGiveZerosForWhatTheyWouldHaveRead) {
    Join(1, "Alice", 7, 2);
    server.SetDWord(At(1, slot::kPing), 50);
    Join(2, "Bob", 8, 2);
    server.SetDWord(At(2, slot::kPing), 60);
    Join(3, "Carol", 9, 2);
    server.SetByte(At(3, slot::kNumber), 33);
    server.SetDWord(At(3, slot::kPing), 70);
    Join(4, "Dave", 10, 2);
    Read();
    Read();

    // Bob's hole lies between his name and his counters: nothing of his is lost.
    backend.holes = {{At(1, slot::kPing), At(1, slot::kPing)},
                     {At(2, slot::kName + slot::kNameLength), At(2, slot::kShotsFired - 1)},
                     {At(3, slot::kKills), At(3, slot::kKills)},
                     {At(4, slot::kName + 10), At(4, slot::kName + 10)}};
    Read();
    EXPECT_EQ(list.rows, (std::vector<PlayerRow>{{"1", "Alice", "0", "2", "7", "0", "0"},
                                                 {"2", "Bob", "60", "2", "8", "0", "0"},
                                                 {"33", "Carol", "70", "0", "0", "0", "0"}}));
    EXPECT_EQ(Stint("Dave"), "out kills 10+0 deaths 0+0 time 5+0");

    // Without the slot table's address nobody is found, and each stint ends.
    backend.holes = {{game::kSlotTablePointer + 3, game::kSlotTablePointer + 3}};
    backend.reads = 0;
    Read();
    EXPECT_EQ(backend.reads, 1);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(status.PlayerNames + status.PlayerTeams, "");
    EXPECT_EQ(Order(), (std::vector<std::string>{"Dave (out)", "Alice (out)", "Bob (out)", "Carol (out)"}));
    backend.holes.clear();
    Read();
    EXPECT_EQ(Stint("Alice"), "in kills 7+7 deaths 0+0 time 0+10");

    // Slots past 4 GiB would wrap round to low addresses, which hold something else.
    const uint32_t slot0 = 0xFFFFFF00;
    const auto wrapped = static_cast<uint32_t>(slot0 + 100 * uint64_t{game::kSlotStride});
    ASSERT_TRUE(server.Contains(wrapped + slot::kName, slot::kNameLength));
    server.SetText(wrapped + slot::kName, slot::kNameLength, "Wrapped");
    server.SetDWord(game::kSlotTablePointer, static_cast<int32_t>(slot0));
    Read(false, 255);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(table.Find("Wrapped"), nullptr);
}

TEST_F(PlayerTableTest, AfterAReadThePlayersNotFoundComeFirstThenTheFoundInSlotOrder) {
    Join(3, "Carol");
    Join(1, "Alice");
    Join(2, "Bob");
    Read();
    EXPECT_EQ(Order(), (std::vector<std::string>{"Alice", "Bob", "Carol"}));
    server.ClearSlot(2);
    Join(5, "Dave");
    Read();
    EXPECT_EQ(Order(), (std::vector<std::string>{"Bob (out)", "Alice", "Carol", "Dave"}));
    server.ClearSlot(1);
    Join(4, "Bob");
    Read();
    EXPECT_EQ(Order(), (std::vector<std::string>{"Alice (out)", "Carol", "Bob", "Dave"}));
    EXPECT_EQ(status.PlayerNames, "Carol\r\nBob\r\nDave");
}

TEST_F(PlayerTableTest, TheSelectedRowIsSelectedAgainByItsSlotText) {
    Join(2, "Bob");
    Join(3, "Carol");
    Read();
    list.SelectSlot("2");
    Join(1, "Alice");  // Bob's row moves down
    Read();
    EXPECT_EQ(list.selected, 1);

    list.SelectSlot("3");
    server.ClearSlot(3);
    Read();
    EXPECT_FALSE(list.selected);
    Read();  // nothing selected before, nothing after
    EXPECT_FALSE(list.selected);
    EXPECT_EQ(list.selections, 1);
}

TEST_F(PlayerTableTest, ControlBytesInANameBreakNoListLineAndNoStint) {
    Join(1, "Al\r\nice");
    Join(2, "Tab\tby ");
    Read();
    Read();
    EXPECT_EQ(status.PlayerNames, "Al  ice\r\nTab by");
    EXPECT_EQ(list.Players(), (std::vector<std::string>{"Al\r\nice", "Tab\tby"}));
    EXPECT_EQ(log.debug, (std::vector<std::string>{"Al  ice IsPlaying: True", "Tab by IsPlaying: True"}));
    EXPECT_EQ(Stint("Al\r\nice"), "in kills 0+0 deaths 0+0 time 5+0");

    // The list is searched to its end, past what a byte counts.
    for (int i = 0; i < 300; ++i) list.rows.push_back({.Player = "P" + std::to_string(i)});
    EXPECT_TRUE(reader.IsPlayerListed("P299"));
    EXPECT_FALSE(reader.IsPlayerListed("p299"));
}
