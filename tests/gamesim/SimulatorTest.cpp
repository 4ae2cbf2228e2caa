#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <sstream>

#include "GameAddresses.h"
#include "Options.h"
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
        return std::ranges::find(transcript, line) != transcript.end();
    }
    std::string Name(int slot) const {
        return img.Text(GameImage::SlotAddress(slot) + game::slot::kName, 54);
    }
    int32_t Counter(int slot, uint32_t offset) const {
        return img.DWord(GameImage::SlotAddress(slot) + offset);
    }
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

TEST_F(SimulatorTest, GoesThroughThePhasesForTheirLengths) {
    Start("scoringtime 5\nround \"Map\" \"MAP.BMS\"\nloading 2\nwaiting 3\nmatchtime 10\nresult 7\n");
    EXPECT_EQ(img.Text(game::kMapFile, 30), "MAP.BMS");
    sim->Advance(1999);
    EXPECT_EQ(sim->State(), 1);
    sim->Advance(88'001);  // each change at its own time, as the transcript shows
    EXPECT_EQ(sim->State(), 0);
    EXPECT_EQ(img.Byte(game::kResultByte), 7);
    EXPECT_EQ(transcript,
              (std::vector<std::string>{"0.000 round 1 \"Map\" \"MAP.BMS\"", "0.000 state 1", "2.000 state 2",
                                        "5.000 state 3", "15.000 state 4", "20.000 state 0"}));
}

TEST_F(SimulatorTest, MatchClockAndScoringTimeCountAsWritten) {
    Start("round \"M\" \"M.BMS\"\nloading 0\nwaiting 0\nmatchtime 60\n");
    ASSERT_EQ(sim->State(), 3);
    EXPECT_EQ(img.DWord(game::kMatchClock), 3720);
    // Steps shorter than a tick lose nothing: 62 ticks go by in 1000 steps of 1 ms.
    for (int i = 0; i < 1000; ++i) sim->Advance(1);
    EXPECT_EQ(img.DWord(game::kMatchClock), 3720 - 62);

    // One more minute, written the way the program does it: 7378 ticks are left, 119 s.
    img.SetDWord(game::kMatchClock, img.DWord(game::kMatchClock) + 3720);
    sim->Advance(118'999);
    EXPECT_EQ(sim->State(), 3);
    sim->Advance(1);
    EXPECT_EQ(sim->State(), 4);
    EXPECT_EQ(img.DWord(game::kMatchClock), 0);

    // Scoring lasts what the scoring time says when it is read, not when scoring began.
    EXPECT_EQ(img.DWord(game::kScoringTime), 45 * 62);
    sim->Advance(3000);
    img.SetDWord(game::kScoringTime, 10 * 62);
    sim->Advance(6999);
    EXPECT_EQ(sim->State(), 4);
    sim->Advance(1);
    EXPECT_EQ(sim->State(), 0);
    EXPECT_EQ(transcript.back(), "130.000 state 0");
}

TEST_F(SimulatorTest, PlayersJoinScoreLeaveAndAreCounted) {
    Start(R"(
round "A" "A.BMS"
loading 0
waiting 0
matchtime 10
at 1 join 3 "Bob" team=2 ping=80 kills=1
at 1 join 5 "Ann"
at 2 add 3 kills=2 exp=-5 team=1
at 2 set 5 headshots=4 ping=35
at 3 chat "Bob: hi"
at 4 join 5 "Ann"
at 5 join 5 "Cat" ping=90 team=2
at 5.5 join 6 "Bob"
at 6 leave 6
at 7 leave 6
)");
    sim->Advance(2000);
    EXPECT_EQ(Name(3), "Bob");
    EXPECT_EQ(Counter(3, game::slot::kKills), 3);
    EXPECT_EQ(Counter(3, game::slot::kExpPoints), -5);
    EXPECT_EQ(img.Byte(GameImage::SlotAddress(3) + game::slot::kTeam), 3);
    EXPECT_EQ(Counter(5, game::slot::kHeadShots), 4);
    EXPECT_EQ(Players(), 2);
    sim->Advance(1000);
    EXPECT_EQ(img.Text(game::kChatLine, 123), "Bob: hi");

    // Ann joining again changes nothing; Cat taking her slot makes her leave; Bob joining
    // another slot leaves his own; leaving an empty slot does nothing.
    sim->Advance(5000);
    EXPECT_EQ(Name(5), "Cat");
    EXPECT_EQ(Counter(5, game::slot::kHeadShots), 0);
    EXPECT_EQ(Name(3), "");
    EXPECT_EQ(Players(), 1);

    EXPECT_EQ(transcript, (std::vector<std::string>{"0.000 round 1 \"A\" \"A.BMS\"", "0.000 state 3",
                                                    "1.000 join 3 \"Bob\"", "1.000 join 5 \"Ann\"",
                                                    "3.000 chat \"Bob: hi\"", "5.000 leave 5 \"Ann\"",
                                                    "5.000 join 5 \"Cat\"", "5.500 leave 3 \"Bob\"",
                                                    "5.500 join 6 \"Bob\"", "6.000 leave 6 \"Bob\""}));
}

TEST_F(SimulatorTest, ConsoleTalksPuntsBansAndResets) {
    Start(R"(
round "A" "A.BMS"
loading 1
waiting 0
matchtime 100
at 2 join 3 "Bob"
at 2 join 4 "Eve"
at 5 chat "Eve: hi"
)");
    sim->Advance(4000);  // chat typed at the console: MemoryClassWithGamesim and HeadlessPanelTest
    Type("command");
    Type("punt 3");
    EXPECT_EQ(Name(3), "");
    EXPECT_EQ(Players(), 1);
    Type("command");
    Type("ban 4");
    EXPECT_EQ(Players(), 0);

    // The round starts again: its events replay, the banned name is turned away.
    sim->Advance(2000);
    Type("command");
    Type("resetgames");
    EXPECT_EQ(sim->State(), 1);
    sim->Advance(1000);
    EXPECT_EQ(sim->State(), 3);
    EXPECT_EQ(img.DWord(game::kMatchClock), 6200);
    sim->Advance(4000);
    EXPECT_EQ(Name(3), "Bob");
    EXPECT_EQ(Name(4), "");
    EXPECT_EQ(Players(), 1);
    for (const char* line : {"4.000 punt 3 \"Bob\"", "4.000 ban 4 \"Eve\"", "6.000 resetgames",
                             "8.000 join 4 \"Eve\" refused", "11.000 chat \"Eve: hi\""}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
}

TEST_F(SimulatorTest, DefaultScenarioPlaysBothMapsAndStartsOver) {
    Start(DefaultScenarioText());
    sim->Advance(70'000);  // the first map's score screen
    EXPECT_EQ(sim->State(), 4);
    EXPECT_GT(Counter(1, game::slot::kKills), 0);
    sim->Advance(15'000);  // the second map, same players, counters zeroed
    EXPECT_EQ(img.Text(game::kMapFile, 30), "JOTR_ROLLINGTHUNDER.BMS");
    EXPECT_EQ(Counter(1, game::slot::kKills), 0);
    EXPECT_EQ(Players(), 12);
    sim->Advance(100'000);  // a lap takes 166 s; the first map again, nobody joined again
    EXPECT_TRUE(Logged("166.000 round 1 \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\""));
    EXPECT_EQ(Players(), 12);
    EXPECT_EQ(std::ranges::count_if(transcript,
                                    [](const std::string& l) { return l.ends_with("join 1 \"Ghost\""); }),
              1);
}

TEST_F(SimulatorTest, OptionsBuildAServerThatHoldsItsStateAndRefuseWhatMakesNoSense) {
    Start(BuildScenario(ParseOptions(
        {"--players=5", "--version", "V1.5.0.9", "--dedicated=0", "--maxplayers", "8", "--state", "4"})));
    sim->Advance(24LL * 3600 * 1000);
    EXPECT_EQ(sim->State(), 4) << "a day later";
    EXPECT_EQ(Players(), 5);
    std::vector<int32_t> kills;
    for (int slot = 1; slot <= 5; ++slot) {
        EXPECT_EQ(Name(slot), "Player" + std::to_string(slot));
        kills.push_back(Counter(slot, game::slot::kKills));
    }
    std::ranges::sort(kills);
    EXPECT_EQ(std::ranges::adjacent_find(kills), kills.end()) << "every player scores differently";
    EXPECT_EQ(img.Text(game::kVersionText, 10) + std::to_string(img.Byte(game::kDedicated)) + " " +
                  std::to_string(img.Byte(game::kMaxPlayers)),
              "V1.5.0.90 8");

    for (const char* line :
         {"--frobnicate", "--state", "--state 256", "--players 65", "--players x", "--dedicated 2",
          "--time-scale 0", "--no-window=1", "--version V1.5.1.5.1", "--scenario a.scn --state 3"}) {
        std::istringstream words(line);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        EXPECT_THROW(ParseOptions(args), UsageError) << line;
    }
}

}  // namespace
}  // namespace tovi::gamesim
