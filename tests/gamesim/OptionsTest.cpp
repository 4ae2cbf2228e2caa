#include <gtest/gtest.h>

#include "GameAddresses.h"
#include "Options.h"
#include "Simulator.h"

namespace tovi::gamesim {
namespace {

using image::GameImage;

TEST(OptionsTest, ReadsFlagsInBothForms) {
    const Options o = ParseOptions({"--state", "4", "--players=3", "--version", "V1.5.0.9", "--dedicated=0",
                                    "--maxplayers", "40", "--time-scale", "2.5", "--transcript", "t.txt",
                                    "--no-window"});
    EXPECT_EQ(o.state, 4);
    EXPECT_EQ(o.players, 3);
    EXPECT_EQ(o.version, "V1.5.0.9");
    EXPECT_EQ(o.dedicated, false);
    EXPECT_EQ(o.maxPlayers, 40);
    EXPECT_DOUBLE_EQ(o.timeScale, 2.5);
    EXPECT_EQ(o.transcriptFile, "t.txt");
    EXPECT_TRUE(o.noWindow);
    EXPECT_FALSE(o.help);
    EXPECT_TRUE(ParseOptions({"--help"}).help);
    EXPECT_FALSE(ParseOptions({}).scenarioFile.has_value());
}

TEST(OptionsTest, RefusesWhatMakesNoSense) {
    const std::vector<std::vector<std::string>> bad = {
        {"--frobnicate"},          {"--state"},          {"--state", "256"},        {"--players", "65"},
        {"--players", "x"},        {"--dedicated", "2"}, {"--time-scale", "0"},     {"--time-scale", "fast"},
        {"--no-window=1"},         {"--version", "V1.5.1.5.1"},
        {"--scenario", "a.scn", "--state", "3"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        EXPECT_THROW(ParseOptions(args), UsageError);
    }
}

TEST(OptionsTest, StateFlagMakesAServerHoldThatStateForEver) {
    for (const int state : {0, 1, 2, 3, 4, 7}) {
        SCOPED_TRACE(state);
        GameImage img;
        Simulator sim(img, BuildScenario(ParseOptions({"--state", std::to_string(state)})));
        EXPECT_EQ(sim.State(), state);
        sim.Advance(24LL * 3600 * 1000);
        EXPECT_EQ(sim.State(), state);
        EXPECT_EQ(img.Byte(game::kPlayerCount), 0);
    }
}

TEST(OptionsTest, PlayersFlagFillsSlotsOneToN) {
    GameImage img;
    Simulator sim(img, BuildScenario(ParseOptions({"--players", "5", "--version", "V1.5.0.9", "--dedicated", "0",
                                                   "--maxplayers", "8"})));
    EXPECT_EQ(sim.State(), 3);
    EXPECT_EQ(img.Byte(game::kPlayerCount), 5);
    EXPECT_EQ(img.Text(GameImage::SlotAddress(0) + game::slot::kName, 54), "");
    EXPECT_EQ(img.Text(GameImage::SlotAddress(6) + game::slot::kName, 54), "");
    std::vector<int32_t> kills;
    for (int slot = 1; slot <= 5; ++slot) {
        EXPECT_EQ(img.Text(GameImage::SlotAddress(slot) + game::slot::kName, 54), "Player" + std::to_string(slot));
        kills.push_back(img.DWord(GameImage::SlotAddress(slot) + game::slot::kKills));
    }
    std::sort(kills.begin(), kills.end());
    EXPECT_EQ(std::adjacent_find(kills.begin(), kills.end()), kills.end()) << "every player scores differently";
    EXPECT_EQ(img.Text(game::kVersionText, 10), "V1.5.0.9");
    EXPECT_EQ(img.Byte(game::kDedicated), 0);
    EXPECT_EQ(img.Byte(game::kMaxPlayers), 8);
    EXPECT_EQ(img.Text(game::kHostPlayer, 54), "Host");
}

}  // namespace
}  // namespace tovi::gamesim
