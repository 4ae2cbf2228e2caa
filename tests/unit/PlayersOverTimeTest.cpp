#include <gtest/gtest.h>

#include <tuple>

#include "PlayersOverTime.h"

using namespace tovi;

namespace {

std::vector<std::pair<int64_t, int>> Pairs(const std::vector<PlayerCount>& counts) {
    std::vector<std::pair<int64_t, int>> pairs;
    for (const PlayerCount& c : counts) pairs.emplace_back(c.Time, c.Players);
    return pairs;
}

}  // namespace

// A finished match whose stints its end closed, one the program stopped in (its end unknown), and
// the match under way with a stint still open and a team change.
TEST(PlayersOverTimeTest, CountsOverlappingStintsAcrossMatchBoundariesAndOpenStints) {
    PlayerActivity activity;
    activity.Matches = {{1, 0, 100, false}, {2, 110, 0, false}, {3, 200, 0, true}};
    activity.Stints = {{1, -50, 30}, {1, 10, 0},  {1, 20, 50},  {2, 120, 0},
                       {2, 130, 150}, {3, 210, 0}, {3, 220, 260}, {3, 260, 0}};
    const PlayerCountSeries day = PlayersOverTime(activity, 0, 300);
    using P = std::vector<std::pair<int64_t, int>>;
    EXPECT_EQ(Pairs(day.Points), (P{{0, 1}, {10, 2}, {20, 3}, {30, 2}, {50, 1}, {100, 0}, {120, 1}, {130, 2},
                                    {150, 0}, {210, 1}, {220, 2}, {300, 2}}));
    EXPECT_EQ(day.Peak, 3);
    EXPECT_EQ(Pairs(day.MatchEnds), (P{{100, 1}}));

    // A window cuts the stints at its edges.
    EXPECT_EQ(Pairs(PlayersOverTime(activity, 40, 125).Points), (P{{40, 2}, {50, 1}, {100, 0}, {120, 1}, {125, 1}}));

    const std::optional<MatchSpan> now = LatestMatch(activity, 300);
    ASSERT_TRUE(now);
    EXPECT_EQ(std::make_tuple(now->From, now->To, now->UnderWay), std::make_tuple(200, 300, true));
    activity.Matches.pop_back();  // no match under way: the last one that ended
    const std::optional<MatchSpan> last = LatestMatch(activity, 300);
    ASSERT_TRUE(last);
    EXPECT_EQ(std::make_tuple(last->From, last->To, last->UnderWay), std::make_tuple(0, 100, false));
    EXPECT_FALSE(LatestMatch({}, 300));
}
