#include <gtest/gtest.h>

#include "Scheduler.h"

using tovi::VirtualScheduler;

TEST(VirtualScheduler, RunsCallbacksInTimeOrderOnlyWhenTimeReachesThem) {
    VirtualScheduler clock;
    std::vector<std::string> ran;
    auto note = [&](std::string name) {
        return [&, name] { ran.push_back(name + "@" + std::to_string(clock.Now())); };
    };

    clock.Schedule(300, note("late"));
    clock.Schedule(100, note("first"));
    clock.Schedule(100, note("second"));  // same moment: the order they were scheduled in
    const auto cancelled = clock.Schedule(200, note("cancelled"));
    clock.Schedule(-50, note("now"));
    EXPECT_TRUE(ran.empty());  // never from inside Schedule
    clock.Cancel(cancelled);
    EXPECT_EQ(clock.Pending(), 4u);

    clock.Advance(99);
    EXPECT_EQ(ran, (std::vector<std::string>{"now@0"}));
    // A callback that schedules another one inside the window sees it run in the same advance.
    clock.Schedule(1, [&] { clock.Schedule(50, note("chained")); });
    clock.Advance(201);
    EXPECT_EQ(ran, (std::vector<std::string>{"now@0", "first@100", "second@100", "chained@150", "late@300"}));
    EXPECT_EQ(clock.Now(), 300);
    EXPECT_EQ(clock.Pending(), 0u);
}
