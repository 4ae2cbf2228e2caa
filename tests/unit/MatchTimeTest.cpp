#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "AdminFixture.h"
#include "MatchTime.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class MatchTimeTest : public AdminTest {
protected:
    MatchTime matchTime{memory, channel, dialogs};
};

}  // namespace

TEST_F(MatchTimeTest, AMinuteMoreOrLessStaysInTheWordsRangeAndResetGamesGoesThroughTheConsole) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    const auto inc = &MatchTime::cmdGameTimeInc_Click;
    const auto dec = &MatchTime::cmdGameTimeDec_Click;
    const std::tuple<int32_t, bool (MatchTime::*)(), int32_t> cases[] = {
        {0, inc, 3720}, {-500, inc, 3220}, {kMax - 100, inc, kMax},
        {1000, dec, 0}, {3721, dec, 1},    {std::numeric_limits<int32_t>::min(), dec, 0}};
    for (const auto& [start, click, after] : cases) {
        server.SetDWord(game::kMatchClock, start);
        EXPECT_TRUE((matchTime.*click)());
        EXPECT_EQ(server.DWord(game::kMatchClock), after) << start;
    }
    EXPECT_TRUE(dialogs.warnings.empty());
    matchTime.cmdMapResetGames_Click();
    clock.Advance(5000);
    EXPECT_EQ(Effects(), Strings{"resetgames"});

    backend.RemoveProcess(100);
    EXPECT_FALSE(matchTime.cmdGameTimeInc_Click());
    EXPECT_FALSE(matchTime.cmdGameTimeDec_Click());
    EXPECT_EQ(dialogs.warnings, Strings(2, "Could not set timer"));
}
