#include <gtest/gtest.h>

#include <limits>

#include "ServerStatus.h"

using tovi::FormatDuration;

TEST(FormatDuration, SplitsIntoDaysHoursMinutesAndSecondsInEachStyle) {
    struct Case {
        int32_t seconds;
        int16_t style;
        const char* text;
    };
    const Case cases[] = {
        {36000, 1, "10:00:00"},
        {90061, 1, "1 day, 1:01:01"},
        {2 * 86400, 1, "2 days, 0:00:00"},
        {90061, 2, "1 day 1hr 01min 01sec "},
        {2 * 86400 + 7322, 2, "2 days, 2hrs 02mins 02secs"},
        {90061, 0, "1d 1h 01m 01s"},
        {59, 7, "0h 00m 59s"},
        // Negative: one sign in front of the magnitude.
        {-3725, 1, "-1:02:05"},
        {std::numeric_limits<int32_t>::min(), 1, "-24855 days, 3:14:08"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatDuration(c.seconds, c.style), c.text) << c.seconds << " s, style " << c.style;
    }
}
