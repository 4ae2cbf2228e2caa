#include <gtest/gtest.h>

#include <string>

#include "TextEncodings.h"

using namespace tovi;
using namespace std::literals;

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
