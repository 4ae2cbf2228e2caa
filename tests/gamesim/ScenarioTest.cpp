#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "Scenario.h"

namespace tovi::gamesim {
namespace {

TEST(ScenarioTest, ReadsSettingsRoundsAndEvents) {
    const Scenario s = ParseScenario(R"(# a comment line
name "Jungle \"Ops\" #1"   # a comment after a line
dedicated 0
country DE
scoringtime 2.5

round "Tidal Wave" "JOTR_TIDALWAVE.BMS"
loading 1.25
waiting 0
matchtime 90
at 10 chat "Bob: hi"
at 4 join 3 "Bob Smith" team=2 ping=120
at 4 add 3 kills=2 exp=-10
at 0.5 state 0 hold
round "Second" "M2.BMS"
matchtime forever
at 1 set 64 zonesecs=5
at 2 console off
repeat
)");
    EXPECT_EQ(s.server.name, "Jungle \"Ops\" #1");
    EXPECT_FALSE(s.server.dedicated);
    EXPECT_EQ(s.server.country, "DE");
    EXPECT_EQ(s.server.scoringTicks, 155);  // 2.5 s
    EXPECT_TRUE(s.repeat);
    ASSERT_EQ(s.rounds.size(), 2u);

    const Round& first = s.rounds[0];
    EXPECT_EQ(first.mapFile, "JOTR_TIDALWAVE.BMS");
    EXPECT_EQ(first.loadingMs, 1250);
    EXPECT_EQ(first.matchTicks, 90 * 62);
    // Events in time order; those at the same time keep their written order.
    ASSERT_EQ(first.events.size(), 4u);
    EXPECT_EQ(first.events[0].kind, EventKind::State);
    EXPECT_EQ(first.events[0].atMs, 500);
    EXPECT_TRUE(first.events[0].hold);
    EXPECT_EQ(first.events[1].kind, EventKind::Join);
    // What the events do with their values: SimulatorTest.
    EXPECT_EQ(first.events[1].text, "Bob Smith");
    EXPECT_EQ(first.events[1].line, 12);
    EXPECT_EQ(first.events[3].text, "Bob: hi");

    const Round& second = s.rounds[1];
    EXPECT_FALSE(second.matchTicks.has_value());
    ASSERT_EQ(second.events.size(), 2u);
    EXPECT_EQ(second.events[0].slot, 64);
    EXPECT_EQ(second.events[1].kind, EventKind::Console);
    EXPECT_FALSE(second.events[1].on);
}

TEST(ScenarioTest, TellsWhichLineIsWrongAndWhy) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"name \"x\"\nbogus 1\n", 2, "unknown keyword 'bogus'"},
        {"maxplayers 300\n", 1, "from 1 to 255"},
        {"version \"V1.5.1.5-beta\"\n", 1, "longer than 8"},
        {"\n\nat 5 leave 1\n", 3, "belongs to a round"},
        {"round \"A\" \"A.BMS\"\nname \"late\"\n", 2, "before the first round"},
        {"round \"A\" \"A.BMS\"\nat 1.2345 leave 1\n", 2, "expected seconds"},
        {"round \"A\" \"A.BMS\"\nat 1 leave 65\n", 2, "slot must be from 0 to 64"},
        {"round \"A\" \"A.BMS\"\nat 1 dance\n", 2, "unknown event 'dance'"},
        {"round \"A\" \"A.BMS\"\nrepeat\n\nloading 1\n", 4, "nothing may follow 'repeat'"},
    };
    for (const auto& [text, line, says] : cases) {
        SCOPED_TRACE(text);
        try {
            ParseScenario(text);
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            EXPECT_EQ(e.Line(), line);
            EXPECT_NE(std::string(e.what()).find("line " + std::to_string(line) + ": "), std::string::npos)
                << e.what();
            EXPECT_NE(e.Message().find(says), std::string::npos) << e.Message();
        }
    }
}

TEST(ScenarioTest, ShippedScenariosParseAndTheBuiltInOneIsDefaultScn) {
    EXPECT_NO_THROW(LoadScenarioFile(GAMESIM_SCENARIO_DIR "/example.scn"));
    EXPECT_EQ(ParseScenario(DefaultScenarioText()), LoadScenarioFile(GAMESIM_SCENARIO_DIR "/default.scn"));
}

}  // namespace
}  // namespace tovi::gamesim
