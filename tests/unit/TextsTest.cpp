// The program's text conversions: Windows-1252 and its letter case, the encodings of the web
// reports, and durations as the window shows them.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "MemoryClass.h"
#include "ServerStatus.h"
#include "TextEncodings.h"
#include "Windows1252.h"

using namespace tovi;
using namespace std::literals;

TEST(Windows1252, TextBecomesSingleBytesAndBack) {
    EXPECT_EQ(Utf8ToWindows1252("K\xC3\xA4se \xE2\x82\xAC"), "K\xE4se \x80");  // ä and the euro sign
    EXPECT_EQ(Utf8ToWindows1252("\xE6\x97\xA5!"), "?!");                       // no byte for it
    EXPECT_EQ(Utf8ToWindows1252("a\xC3"), "a?");                               // cut short

    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        EXPECT_EQ(static_cast<unsigned char>(UnicodeToWindows1252(Windows1252ToUnicode(byte))), byte) << b;
    }
    EXPECT_EQ(Windows1252ToUnicode(0x80), U'\u20AC');
    EXPECT_EQ(UnicodeToWindows1252(U'\u4E2D'), '?');
}

TEST(Windows1252, LetterCaseFoldsTheCodePagesLettersOnly) {
    EXPECT_EQ(LowerCase1252("JOTR_\xC9T\xC9 \x8A\x8C\x8E\x9F \xD7\xDF"),
              "jotr_\xE9t\xE9 \x9A\x9C\x9E\xFF \xD7\xDF");
    EXPECT_TRUE(EqualIgnoringCase("\xC0ngstr\xD6m", "\xE0NGSTR\xF6M"));
    EXPECT_FALSE(EqualIgnoringCase("@[", "`{"));  // 32 apart like A and a, but no letters
    EXPECT_FALSE(EqualIgnoringCase("ab", "abc"));
    // Every comparison that ignores case folds the same way: executable names too.
    EXPECT_TRUE(EndsWithIgnoringCase("C:\\Spiele\\\xC9T\xC9\\JOINTOPS.EXE", "\xE9t\xE9\\jointops.exe"));
    EXPECT_FALSE(EndsWithIgnoringCase("ops.exe", "jointops.exe"));
}

// The status report's body checks most of both encodings; these are the bytes it does not hold.
TEST(Base64Encode, EncodesBytesZeroAndTwoHundredFiftyFiveAndPadsByTheRemainderOfThree) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("\0\0\0"sv), "AAAA");
    EXPECT_EQ(Base64Encode("\xFF\xFF\xFF\xFF"), "/////w==");
}

TEST(FormEncode, KeepsOnlyTheUnreservedBytes) {
    EXPECT_EQ(FormEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(FormEncode("%/"), "%25%2F");
    // Bytes above 127 stay single bytes.
    EXPECT_EQ(FormEncode("\xE9\xFF\0\r"sv), "%E9%FF%00%0D");
}

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
