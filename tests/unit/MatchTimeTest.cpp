#include <gtest/gtest.h>

#include <limits>

#include "AdminFixture.h"
#include "MatchTime.h"

using namespace tovi;
using namespace tovi::admin_test;

namespace {

class MatchTimeTest : public AdminTest {
protected:
    MatchTime matchTime{memory, channel, dialogs};

    int32_t ClockAfter(int32_t start, void (MatchTime::*click)()) {
        server.SetDWord(game::kMatchClock, start);
        (matchTime.*click)();
        return server.DWord(game::kMatchClock);
    }
};

}  // namespace

TEST_F(MatchTimeTest, AMinuteMoreOrLessNeverTakesTheClockBelowZero) {
    const auto inc = &MatchTime::cmdGameTimeInc_Click;
    const auto dec = &MatchTime::cmdGameTimeDec_Click;
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(ClockAfter(0, inc), 3720);
    EXPECT_EQ(ClockAfter(-500, inc), 3220);
    EXPECT_EQ(ClockAfter(kMax - 100, inc), kMax);  // stops at the word's limit instead of turning negative
    EXPECT_EQ(ClockAfter(1000, dec), 0);
    EXPECT_EQ(ClockAfter(3721, dec), 1);
    EXPECT_EQ(ClockAfter(std::numeric_limits<int32_t>::min(), dec), 0);
    // Each click reads the clock afresh: two quick clicks are two minutes.
    matchTime.cmdGameTimeInc_Click();
    matchTime.cmdGameTimeInc_Click();
    EXPECT_EQ(server.DWord(game::kMatchClock), 7440);
    EXPECT_TRUE(dialogs.warnings.empty());

    backend.RemoveProcess(100);
    matchTime.cmdGameTimeInc_Click();
    matchTime.cmdGameTimeDec_Click();
    EXPECT_EQ(dialogs.warnings, (Strings{"Could not set timer", "Could not set timer"}));
}

TEST_F(MatchTimeTest, ResetGamesIsAServerCommandThroughTheConsole) {
    int resets = 0;
    server.onResetGames = [&] { ++resets; };
    matchTime.cmdMapResetGames_Click();
    clock.Advance(5000);
    EXPECT_EQ(console, (Strings{"key console", "key enter", "line \"command\"", "key enter",
                                "line \"resetgames\"", "command \"resetgames\"", "resetgames"}));
    EXPECT_EQ(resets, 1);
}
