#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "GameAddresses.h"
#include "Simulator.h"

namespace tovi::gamesim {
namespace {

using image::GameImage;

class SimulatorTest : public ::testing::Test {
protected:
    void Start(std::string_view text) { Start(ParseScenario(text)); }
    void Start(Scenario scenario) {
        sim.reset();  // the old one lets go of the image's console first
        sim = std::make_unique<Simulator>(img, std::move(scenario),
                                          [this](const std::string& line) { transcript.push_back(line); });
    }
    bool Logged(const std::string& line) const {
        return std::find(transcript.begin(), transcript.end(), line) != transcript.end();
    }
    std::string Name(int slot) const { return img.Text(GameImage::SlotAddress(slot) + game::slot::kName, 54); }
    int32_t Counter(int slot, uint32_t offset) const { return img.DWord(GameImage::SlotAddress(slot) + offset); }
    uint8_t Players() const { return img.Byte(game::kPlayerCount); }
    void Type(const std::string& line) {
        sim->PressKey(GameKeystroke::Console);
        img.SetText(game::kConsoleLine, 300, line);
        sim->PressKey(GameKeystroke::Enter);
    }

    GameImage img;
    std::vector<std::string> transcript;
    std::unique_ptr<Simulator> sim;
};

constexpr const char* kShortRound = R"(
scoringtime 5
round "Map" "MAP.BMS"
loading 2
waiting 3
matchtime 10
result 7
)";

TEST_F(SimulatorTest, GoesThroughThePhasesForTheirLengths) {
    Start(kShortRound);
    EXPECT_EQ(img.Text(game::kMapFile, 30), "MAP.BMS");
    const std::pair<int64_t, uint8_t> expected[] = {
        {1999, 1}, {2000, 2}, {4999, 2}, {5000, 3}, {14999, 3}, {15000, 4}, {19999, 4}, {20000, 0}, {90000, 0}};
    for (const auto& [at, state] : expected) {
        sim->Advance(at - sim->Now());
        EXPECT_EQ(sim->State(), state) << "at " << at << " ms";
    }
    EXPECT_EQ(img.Byte(game::kResultByte), 7);
    EXPECT_EQ(transcript, (std::vector<std::string>{"0.000 round 1 \"Map\" \"MAP.BMS\"", "0.000 state 1",
                                                    "2.000 state 2", "5.000 state 3", "15.000 state 4",
                                                    "20.000 state 0"}));
}

TEST_F(SimulatorTest, OneLargeStepDoesWhatManySmallStepsDo) {
    Start(DefaultScenarioText());
    std::vector<std::string> stepped;
    GameImage other;
    {
        Simulator small(other, ParseScenario(DefaultScenarioText()),
                        [&](const std::string& line) { stepped.push_back(line); });
        while (small.Now() < 400'000) small.Advance(17);
        sim->Advance(small.Now());
    }
    EXPECT_EQ(transcript, stepped);
    const auto all = [](const GameImage& i) { return i.Bytes(image::kImageStart, image::kImageEnd - image::kImageStart); };
    EXPECT_TRUE(std::ranges::equal(all(img), all(other)));
}

TEST_F(SimulatorTest, MatchClockCountsDownAndFollowsWhatIsWrittenToIt) {
    Start("round \"M\" \"M.BMS\"\nloading 0\nwaiting 0\nmatchtime 60\n");
    ASSERT_EQ(sim->State(), 3);
    EXPECT_EQ(img.DWord(game::kMatchClock), 3720);
    // Steps shorter than a tick lose nothing: 62 ticks go by in 1000 steps of 1 ms.
    for (int i = 0; i < 1000; ++i) sim->Advance(1);
    EXPECT_EQ(img.DWord(game::kMatchClock), 3720 - 62);
    sim->Advance(500);
    EXPECT_EQ(img.DWord(game::kMatchClock), 3720 - 93);

    // One more minute, written the way the program does it.
    img.SetDWord(game::kMatchClock, img.DWord(game::kMatchClock) + 3720);
    sim->Advance(118'499);
    EXPECT_EQ(sim->State(), 3);
    sim->Advance(1);
    EXPECT_EQ(sim->State(), 4);
    EXPECT_EQ(img.DWord(game::kMatchClock), 0);

    // The match ends when the last tick has gone by in full: one tick is 16.13 ms.
    Start("round \"M\" \"M.BMS\"\nloading 0\nwaiting 0\nmatchtime 60\n");
    img.SetDWord(game::kMatchClock, 1);
    sim->Advance(16);
    EXPECT_EQ(sim->State(), 3);
    sim->Advance(1);
    EXPECT_EQ(sim->State(), 4);
    EXPECT_EQ(img.DWord(game::kMatchClock), 0);

    // A clock taken to zero from outside ends the match at once.
    Start("round \"M\" \"M.BMS\"\nloading 0\nwaiting 0\nmatchtime 60\n");
    img.SetDWord(game::kMatchClock, 0);
    sim->Advance(0);
    EXPECT_EQ(sim->State(), 4);
}

TEST_F(SimulatorTest, ScoringLastsWhatTheScoringTimeSaysWhenItIsRead) {
    Start("round \"M\" \"M.BMS\"\nloading 0\nwaiting 0\nmatchtime 1\n");
    EXPECT_EQ(img.DWord(game::kScoringTime), 45 * 62);
    sim->Advance(1000);
    ASSERT_EQ(sim->State(), 4);
    sim->Advance(3000);
    img.SetDWord(game::kScoringTime, 10 * 62);  // written once scoring is under way
    sim->Advance(6999);
    EXPECT_EQ(sim->State(), 4);
    sim->Advance(1);
    EXPECT_EQ(sim->State(), 0);
    EXPECT_TRUE(Logged("11.000 state 0"));
}

TEST_F(SimulatorTest, PlayersJoinScoreLeaveAndAreCounted) {
    Start(R"(
round "A" "A.BMS"
loading 0
waiting 0
matchtime 10
at 1 join 3 "Bob" team=2 ping=80 kills=1
at 1 join 5 "Ann"
at 2 add 3 kills=2 deaths=1 exp=-5 team=1
at 2 set 5 headshots=4 ping=35
at 3 chat "Bob: hi"
at 4 join 5 "Ann"
at 5 join 5 "Cat" ping=90 team=2
at 5.5 join 6 "Bob"
at 6 leave 3
round "B" "B.BMS"
at 0 join 7 "Dan"
)");
    sim->Advance(2000);
    EXPECT_EQ(Name(3), "Bob");
    EXPECT_EQ(Counter(3, game::slot::kKills), 3);
    EXPECT_EQ(Counter(3, game::slot::kDeaths), 1);
    EXPECT_EQ(Counter(3, game::slot::kExpPoints), -5);
    EXPECT_EQ(img.Byte(GameImage::SlotAddress(3) + game::slot::kTeam), 3);
    EXPECT_EQ(Counter(3, game::slot::kPing), 80);
    EXPECT_EQ(Counter(5, game::slot::kHeadShots), 4);
    EXPECT_EQ(img.Byte(GameImage::SlotAddress(5) + game::slot::kNumber), 5);
    EXPECT_EQ(Players(), 2);

    sim->Advance(1000);
    EXPECT_EQ(img.Text(game::kChatLine, 123), "Bob: hi");
    // Ann joining again changes nothing; Cat taking her slot makes her leave; Bob joining
    // another slot leaves his own.
    sim->Advance(2000);
    EXPECT_EQ(Name(5), "Cat");
    EXPECT_EQ(Counter(5, game::slot::kHeadShots), 0);
    sim->Advance(1000);
    EXPECT_EQ(Name(3), "");
    EXPECT_EQ(Name(6), "Bob");
    EXPECT_EQ(Counter(3, game::slot::kKills), 0);
    EXPECT_EQ(Players(), 2);

    // Scoring, then the next round: Cat stays, her counters zeroed, her ping kept.
    img.SetDWord(GameImage::SlotAddress(5) + game::slot::kKills, 9);
    sim->Advance(60'000);
    EXPECT_EQ(img.Text(game::kMapName, 35), "B");
    EXPECT_EQ(Name(5), "Cat");
    EXPECT_EQ(Counter(5, game::slot::kKills), 0);
    EXPECT_EQ(Counter(5, game::slot::kPing), 90);
    EXPECT_EQ(img.Byte(GameImage::SlotAddress(5) + game::slot::kTeam), 2);
    EXPECT_EQ(Players(), 3);
    EXPECT_EQ(img.Text(game::kChatLine, 123), "Bob: hi");

    EXPECT_TRUE(Logged("5.000 leave 5 \"Ann\""));
    EXPECT_TRUE(Logged("5.500 leave 3 \"Bob\""));
    EXPECT_FALSE(Logged("4.000 join 5 \"Ann\""));
    EXPECT_FALSE(Logged("6.000 leave 3 \"Bob\""));
}

TEST_F(SimulatorTest, ConsoleTalksPuntsBansAndResets) {
    Start(R"(
dedicated 1
round "A" "A.BMS"
loading 1
waiting 0
matchtime 100
at 2 join 3 "Bob"
at 2 join 4 "Eve"
at 3 add 4 kills=5
at 5 chat "Eve: hi"
)");
    sim->Advance(4000);
    Type("gtalk");
    Type("hello all");
    EXPECT_EQ(img.Text(game::kChatLine, 123), "Host: hello all");
    EXPECT_TRUE(Logged("4.000 chat \"Host: hello all\""));

    Type("command");
    Type("punt 3");
    EXPECT_EQ(Name(3), "");
    EXPECT_EQ(Players(), 1);
    Type("command");
    Type("ban 4");
    EXPECT_EQ(Players(), 0);
    EXPECT_TRUE(Logged("4.000 ban 4 \"Eve\""));

    // The round starts again: its events replay, the banned name is turned away.
    sim->Advance(2000);
    Type("command");
    Type("resetgames");
    EXPECT_EQ(sim->State(), 1);
    EXPECT_TRUE(Logged("6.000 resetgames"));
    sim->Advance(1000);
    EXPECT_EQ(sim->State(), 3);
    EXPECT_EQ(img.DWord(game::kMatchClock), 6200);
    sim->Advance(4000);
    EXPECT_EQ(Name(3), "Bob");
    EXPECT_EQ(Name(4), "");
    EXPECT_EQ(Players(), 1);
    EXPECT_TRUE(Logged("8.000 join 4 \"Eve\" refused"));
    EXPECT_TRUE(Logged("11.000 chat \"Eve: hi\""));
}

TEST_F(SimulatorTest, ScenarioCanSwitchTheConsoleOffAndEnd) {
    Start(R"(
round "A" "A.BMS"
at 1 console off
at 2 console on
at 3 exit
at 4 chat "never"
)");
    sim->Advance(1500);
    sim->PressKey(GameKeystroke::Console);
    EXPECT_EQ(img.Byte(game::kConsoleOpenFlag), 0);
    sim->Advance(1000);
    sim->PressKey(GameKeystroke::Console);
    EXPECT_EQ(img.Byte(game::kConsoleOpenFlag), 1);
    sim->Advance(10'000);
    EXPECT_TRUE(sim->Exited());
    EXPECT_EQ(sim->Now(), 3000);
    EXPECT_EQ(transcript.back(), "3.000 exit");
    EXPECT_TRUE(Logged("1.500 key console ignored"));
}

TEST_F(SimulatorTest, ForcedStatesHaltOrMoveThePhases) {
    Start(R"(
round "A" "A.BMS"
loading 1
waiting 1
matchtime 10
at 5 state 0
at 30 chat "still running"
at 40 state 3
at 45 state 4
round "B" "B.BMS"
at 0 state 2 hold
at 30 leave 1
)");
    // Not hosting: nothing ends by itself, yet the round's events go on.
    sim->Advance(35'000);
    EXPECT_EQ(sim->State(), 0);
    EXPECT_TRUE(Logged("30.000 chat \"still running\""));
    // Hosting again with a fresh clock, cut short by scoring, then the next round holds 2.
    sim->Advance(5000);
    EXPECT_EQ(sim->State(), 3);
    EXPECT_EQ(img.DWord(game::kMatchClock), 620);
    sim->Advance(5000);
    EXPECT_EQ(sim->State(), 4);
    sim->Advance(45'000);
    EXPECT_EQ(img.Text(game::kMapName, 35), "B");
    EXPECT_EQ(sim->State(), 2);
    sim->Advance(1'000'000);
    EXPECT_EQ(sim->State(), 2);
}

TEST_F(SimulatorTest, EventsAtOrAfterTheRoundsEndAreDropped) {
    Start(R"(
scoringtime 1
round "A" "A.BMS"
loading 0
waiting 0
matchtime 1
at 2 chat "dropped"
round "B" "B.BMS"
)");
    sim->Advance(10'000);
    EXPECT_EQ(img.Text(game::kChatLine, 123), "");
}

TEST_F(SimulatorTest, WritesTheServerSettings) {
    Start(R"(
name "My server"
country FR
maxplayers 20
dedicated 0
gametype 3
message "Hi"
expansion "TR"
version "V1.5.1.4"
)");
    EXPECT_EQ(img.Text(game::kServerName, 28), "My server");
    EXPECT_EQ(img.Byte(game::kCountryCode), 'F');
    EXPECT_EQ(img.Byte(game::kCountryCode + 1), 'R');
    EXPECT_EQ(img.Byte(game::kMaxPlayers), 20);
    EXPECT_EQ(img.Byte(game::kDedicated), 0);
    EXPECT_EQ(img.Byte(game::kGameType), 3);
    EXPECT_EQ(img.Text(game::kServerMessage, 170), "Hi");
    EXPECT_EQ(img.Text(game::kHostPlayer, 54), "Host");
    EXPECT_EQ(img.Text(game::kExpansionText, 10), "TR");
    EXPECT_EQ(img.Text(game::kVersionText, 10), "V1.5.1.4");
    EXPECT_EQ(img.DWord(game::kSlotTablePointer), static_cast<int32_t>(image::kSlotsStart));
    EXPECT_EQ(sim->State(), 0);  // no rounds: never hosting
}

TEST_F(SimulatorTest, DefaultScenarioPlaysBothMapsAndStartsOver) {
    Start(DefaultScenarioText());
    EXPECT_EQ(img.Byte(game::kDedicated), 1);
    EXPECT_EQ(img.Text(game::kHostPlayer, 54), "");
    sim->Advance(20'000);
    EXPECT_EQ(sim->State(), 3);
    EXPECT_EQ(Players(), 12);

    sim->Advance(50'000);  // the first map's score screen
    EXPECT_EQ(sim->State(), 4);
    EXPECT_EQ(img.Byte(game::kResultByte), 1);
    EXPECT_GT(Counter(1, game::slot::kKills), 0);
    EXPECT_EQ(Name(13), "Hawk");

    sim->Advance(15'000);  // the second map, same players, counters zeroed
    EXPECT_EQ(img.Text(game::kMapFile, 30), "JOTR_ROLLINGTHUNDER.BMS");
    EXPECT_EQ(Counter(1, game::slot::kKills), 0);
    EXPECT_EQ(Players(), 12);

    sim->Advance(70'000);
    EXPECT_EQ(sim->State(), 4);
    EXPECT_EQ(img.Byte(game::kResultByte), 2);

    sim->Advance(15'000);  // the first map again, everyone back in the slot they started from
    EXPECT_EQ(img.Text(game::kMapFile, 30), "JOTR_TIDALWAVE.BMS");
    EXPECT_EQ(Name(9), "Hawk");
    EXPECT_EQ(Players(), 12);
    // A lap later the players are still connected: nobody joined again.
    EXPECT_EQ(std::count_if(transcript.begin(), transcript.end(),
                            [](const std::string& line) { return line.ends_with("join 1 \"Ghost\""); }),
              1);
    EXPECT_TRUE(Logged("166.000 round 1 \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\""));
}

}  // namespace
}  // namespace tovi::gamesim
