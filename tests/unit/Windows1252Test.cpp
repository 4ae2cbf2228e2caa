#include <gtest/gtest.h>

#include "MemoryClass.h"
#include "Windows1252.h"

using namespace tovi;

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
