#include <gtest/gtest.h>

#include <string>

#include "TextEncodings.h"

using namespace tovi;
using namespace std::literals;

TEST(Base64Encode, PadsByTheRemainderOfThree) {
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode(""), "");
    // RFC 4648's own vectors, across group boundaries.
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
}

TEST(Base64Encode, EncodesEachByteAsItsOwnCode) {
    // Windows-1252 "é" is the one byte 0xE9, not UTF-8's two.
    EXPECT_EQ(Base64Encode("Caf\xE9 Server"), "Q2Fm6SBTZXJ2ZXI=");
    // The top of the alphabet, and bytes 0 and 255, which a signed char would get wrong.
    EXPECT_EQ(Base64Encode("\xFB\xFF"), "+/8=");
    EXPECT_EQ(Base64Encode("\0\0\0"sv), "AAAA");
    EXPECT_EQ(Base64Encode("\xFF\xFF\xFF"), "////");
    EXPECT_EQ(Base64Encode("1\r\n2"), "MQ0KMg==");
}

TEST(AscOrZero, FirstByteOrZero) {
    EXPECT_EQ(AscOrZero(""), 0);
    EXPECT_EQ(AscOrZero("\0x"sv), 0);
    EXPECT_EQ(AscOrZero("A"), 65);
    EXPECT_EQ(AscOrZero("\xE9"), 233);
}

TEST(FormEncode, KeepsOnlyTheUnreservedBytes) {
    EXPECT_EQ(FormEncode("AZaz09-._~"), "AZaz09-._~");
    // What a form parser would otherwise read as a blank or a field boundary.
    EXPECT_EQ(FormEncode("+/="), "%2B%2F%3D");
    EXPECT_EQ(FormEncode("a&b=c"), "a%26b%3Dc");
    EXPECT_EQ(FormEncode("two words"), "two%20words");
    EXPECT_EQ(FormEncode("%"), "%25");
    // Bytes above 127 stay single bytes.
    EXPECT_EQ(FormEncode("\xE9\x80\xFF"), "%E9%80%FF");
    EXPECT_EQ(FormEncode("\0\r\n"sv), "%00%0D%0A");
    EXPECT_EQ(FormEncode(""), "");
}
