#include <gtest/gtest.h>

#include <limits>

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
    std::vector<bool> written;
    auto dec = [&] {
        matchTime.OneMinuteLess([&](bool w) { written.push_back(w); });
        return written.back();
    };
    auto inc = [&] { return matchTime.OneMinuteMore(); };
    const struct {
        int32_t start;
        bool decrease;
        int32_t after;
    } cases[] = {{0, false, 3720}, {-500, false, 3220}, {kMax - 100, false, kMax},
                 {3721, true, 1},  {std::numeric_limits<int32_t>::min(), true, 0}};
    for (const auto& c : cases) {
        server.SetDWord(game::kMatchClock, c.start);
        EXPECT_TRUE(c.decrease ? dec() : inc());
        EXPECT_EQ(server.DWord(game::kMatchClock), c.after) << c.start;
    }
    // A minute off the match's last minute ends it: asked first, then read afresh.
    server.SetDWord(game::kMatchClock, 1000);
    matchTime.OneMinuteLess([&](bool w) { written.push_back(w); });
    EXPECT_EQ(dialogs.asked, Strings{MatchTime::kEndMatchByClockQuestion});
    server.SetDWord(game::kMatchClock, 900);
    dialogs.Answer("yes");
    EXPECT_EQ(server.DWord(game::kMatchClock), 0);
    EXPECT_EQ(written.size(), 3u);
    EXPECT_TRUE(dialogs.warnings.empty());
    // A No leaves the clock and the match alone, and says so.
    int declined = 0;
    server.SetDWord(game::kMatchClock, 1000);
    matchTime.OneMinuteLess([&](bool w) { written.push_back(w); }, [&] { ++declined; });
    dialogs.Answer(std::nullopt);
    matchTime.ResetGames([&] { ++declined; });
    dialogs.Answer(std::nullopt);
    EXPECT_EQ(server.DWord(game::kMatchClock), 1000);
    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(declined, 2);
    matchTime.ResetGames();
    dialogs.Answer("yes");
    clock.Advance(5000);
    EXPECT_EQ(Effects(), Strings{"resetgames"});

    backend.RemoveProcess(100);
    EXPECT_FALSE(inc());
    EXPECT_FALSE(dec());
    EXPECT_EQ(dialogs.warnings, Strings(2, "Could not set timer"));
}
