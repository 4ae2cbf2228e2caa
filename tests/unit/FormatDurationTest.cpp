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
        {0, 1, "0:00:00"},
        {3725, 1, "1:02:05"},
        {36000, 1, "10:00:00"},
        {90061, 1, "1 day, 1:01:01"},
        {2 * 86400, 1, "2 days, 0:00:00"},
        {3661, 2, "1hr 01min 01sec "},
        {7322, 2, "2hrs 02mins 02secs"},
        {90061, 2, "1 day 1hr 01min 01sec "},
        {2 * 86400 + 59, 2, "2 days, 0hrs 00mins 59secs"},
        {3725, 0, "1h 02m 05s"},
        {90061, 7, "1d 1h 01m 01s"},
        {59, -1, "0h 00m 59s"},
        // Negative: one sign in front of the magnitude.
        {-3725, 1, "-1:02:05"},
        {-1, 2, "-0hrs 00mins 01sec "},
        {-90061, 0, "-1d 1h 01m 01s"},
        {std::numeric_limits<int32_t>::max(), 1, "24855 days, 3:14:07"},
        {std::numeric_limits<int32_t>::min(), 1, "-24855 days, 3:14:08"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatDuration(c.seconds, c.style), c.text) << c.seconds << " s, style " << c.style;
    }
}
