#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Scenario.h"

namespace tovi::gamesim {
namespace {

TEST(ScenarioTest, ReadsSettingsRoundsAndEvents) {
    const Scenario s = ParseScenario(R"(# a comment line
name "Jungle \"Ops\" #1"   # a comment after a line
maxplayers 24
dedicated 0
gametype 7
message "Be nice"
host "Boss"
country DE
expansion "TR"
version "V1.5.1.4"
result 9
scoringtime 2.5

round "Tidal Wave" "JOTR_TIDALWAVE.BMS"
loading 1.25
waiting 0
matchtime 90
result 2
at 10 chat "Bob: hi"
at 4 join 3 "Bob Smith" team=2 ping=120
at 4 add 3 kills=2 exp=-10
at 0.5 state 0 hold
at 7 console off
round "Second" "M2.BMS"
matchtime forever
at 1 set 64 zonesecs=5 psptakes=1
at 2 exit
repeat
)");
    EXPECT_EQ(s.server.name, "Jungle \"Ops\" #1");
    EXPECT_FALSE(s.server.dedicated);
    EXPECT_EQ(s.server.country, "DE");
    EXPECT_EQ(s.server.version, "V1.5.1.4");
    EXPECT_EQ(s.server.result, 9);
    EXPECT_EQ(s.server.scoringTicks, 155);  // 2.5 s
    EXPECT_TRUE(s.repeat);
    ASSERT_EQ(s.rounds.size(), 2u);

    const Round& first = s.rounds[0];
    EXPECT_EQ(first.mapFile, "JOTR_TIDALWAVE.BMS");
    EXPECT_EQ(first.loadingMs, 1250);
    EXPECT_EQ(first.waitingMs, 0);
    EXPECT_EQ(first.matchTicks, 90 * 62);
    EXPECT_EQ(first.result, 2);
    // Events in time order; those at the same time keep their written order.
    ASSERT_EQ(first.events.size(), 5u);
    EXPECT_EQ(first.events[0].kind, EventKind::State);
    EXPECT_TRUE(first.events[0].hold);
    EXPECT_EQ(first.events[0].atMs, 500);
    EXPECT_EQ(first.events[1].kind, EventKind::Join);
    EXPECT_EQ(first.events[1].text, "Bob Smith");
    EXPECT_EQ(first.events[1].values,
              (std::vector<FieldValue>{{PlayerField::Team, 2}, {PlayerField::Ping, 120}}));
    EXPECT_EQ(first.events[1].line, 20);
    EXPECT_EQ(first.events[2].kind, EventKind::Add);
    EXPECT_EQ(first.events[2].values, (std::vector<FieldValue>{{PlayerField::Kills, 2}, {PlayerField::Exp, -10}}));
    EXPECT_EQ(first.events[3].kind, EventKind::Console);
    EXPECT_FALSE(first.events[3].on);
    EXPECT_EQ(first.events[4].kind, EventKind::Chat);
    EXPECT_EQ(first.events[4].text, "Bob: hi");

    const Round& second = s.rounds[1];
    EXPECT_FALSE(second.matchTicks.has_value());
    EXPECT_EQ(second.loadingMs, Round{}.loadingMs);
    EXPECT_EQ(second.events[0].kind, EventKind::Set);
    EXPECT_EQ(second.events[0].slot, 64);
    EXPECT_EQ(second.events[1].kind, EventKind::Exit);
}

TEST(ScenarioTest, TellsWhichLineIsWrongAndWhy) {
    struct Case {
        const char* text;
        int line;
        const char* says;
    };
    const Case cases[] = {
        {"name \"x\"\nbogus 1\n", 2, "unknown keyword 'bogus'"},
        {"maxplayers 300\n", 1, "from 1 to 255"},
        {"maxplayers\n", 1, "expected: maxplayers N"},
        {"gametype ten\n", 1, "whole number"},
        {"name \"unclosed\n", 1, "not closed"},
        {"name \"this name is far too long for the field\"\n", 1, "longer than 27"},
        {"\n\nat 5 leave 1\n", 3, "belongs to a round"},
        {"round \"A\" \"A.BMS\"\nname \"late\"\n", 2, "before the first round"},
        {"round \"A\" \"A.BMS\"\nat 1.2345 leave 1\n", 2, "expected seconds"},
        {"round \"A\" \"A.BMS\"\nat -1 leave 1\n", 2, "expected seconds"},
        {"round \"A\" \"A.BMS\"\nat 1 leave 65\n", 2, "slot must be from 0 to 64"},
        {"round \"A\" \"A.BMS\"\nat 1 add 2 frags=1\n", 2, "unknown player field 'frags'"},
        {"round \"A\" \"A.BMS\"\nat 1 set 2 team=300\n", 2, "team must be from 0 to 255"},
        {"round \"A\" \"A.BMS\"\nat 1 set 2 kills\n", 2, "expected key=value"},
        {"round \"A\" \"A.BMS\"\nat 1 dance\n", 2, "unknown event 'dance'"},
        {"round \"A\" \"A.BMS\"\nat 1 state 3 later\n", 2, "state N [hold]"},
        {"round \"A\" \"A.BMS\"\nmatchtime 0\n", 2, "at least 1/62 s"},
        {"round \"A\" \"A.BMS\"\nrepeat\n\nloading 1\n", 4, "nothing may follow 'repeat'"},
        {"repeat\n", 1, "needs a round"},
        {"version \"V1.5.1.5-beta\"\n", 1, "longer than 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseScenario(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            EXPECT_EQ(e.Line(), c.line);
            EXPECT_NE(std::string(e.what()).find("line " + std::to_string(c.line) + ": "), std::string::npos)
                << e.what();
            EXPECT_NE(e.Message().find(c.says), std::string::npos) << e.Message();
        }
    }
}

TEST(ScenarioTest, FileErrorsNameTheFile) {
    const auto path = std::filesystem::temp_directory_path() / "gamesim_bad.scn";
    std::ofstream(path) << "name \"ok\"\nround \"A\"\n";
    try {
        LoadScenarioFile(path.string());
        ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(std::string(e.what()), path.string() + ": line 2: expected: round \"Map name\" \"MAPFILE.BMS\"");
    }
    std::filesystem::remove(path);
    EXPECT_THROW(LoadScenarioFile(path.string()), ScenarioError);
}

TEST(ScenarioTest, ShippedScenariosParse) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(GAMESIM_SCENARIO_DIR)) {
        if (entry.path().extension() != ".scn") continue;
        SCOPED_TRACE(entry.path().string());
        EXPECT_NO_THROW(LoadScenarioFile(entry.path().string()));
        ++count;
    }
    EXPECT_GE(count, 1);
    // The built-in scenario is the shipped default.scn.
    EXPECT_EQ(ParseScenario(DefaultScenarioText()),
              LoadScenarioFile(std::string(GAMESIM_SCENARIO_DIR) + "/default.scn"));
}

}  // namespace
}  // namespace tovi::gamesim
