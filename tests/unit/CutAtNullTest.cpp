#include <gtest/gtest.h>

#include "MemoryClass.h"

using tovi::CutAtNull;

TEST(CutAtNull, KeepsOnlyWhatStandsBeforeTheFirstNul) {
    EXPECT_EQ(CutAtNull(std::string(1, '\0')), "");
    EXPECT_EQ(CutAtNull(std::string("ab\0cd", 5)), "ab");
    // A full field has no NUL at all and is taken whole; blanks are not trimmed.
    EXPECT_EQ(CutAtNull("  full field  "), "  full field  ");
}
