#include <gtest/gtest.h>

#include <string>

#include "Scheduler.h"

TEST(VirtualScheduler, RunsCallbacksInTimeOrderWhenTimeReachesThemAndNotCancelledOnes) {
    tovi::VirtualScheduler clock;
    std::string ran;
    clock.Schedule(300, [&] { ran += "c"; });
    clock.Schedule(100, [&] { ran += "a"; });
    const auto cancelled = clock.Schedule(200, [&] { ran += "x"; });
    clock.Schedule(100, [&] { ran += "b"; });  // same moment: the order they were scheduled in
    clock.Cancel(cancelled);
    clock.Advance(299);
    EXPECT_EQ(ran, "ab");
    clock.Advance(1);
    EXPECT_EQ(ran, "abc");
}
