#include <gtest/gtest.h>

#include "ActivityLog.h"

using tovi::AddLine;

namespace {

std::string Lines(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines) text += std::string(line) + "\r\n";
    return text;
}

std::string Add(const std::string& box, const std::string& message, int16_t maxLines = 5) {
    return AddLine(box, message, maxLines, "12:00:00");
}

}  // namespace

TEST(AddLine, AppendsUntilTheBoxHoldsMoreThanMaxLinesThenDropsTheOldestHoweverLinesEnd) {
    EXPECT_EQ(Add("", "started"), "[12:00:00] started\r\n");
    const std::string five = Lines({"a", "b", "c", "d", "e"});
    EXPECT_EQ(Add(five, "f"), five + "[12:00:00] f\r\n");
    EXPECT_EQ(Add(Add(five, "f"), "g"), Lines({"b", "c", "d", "e", "[12:00:00] f", "[12:00:00] g"}));

    // Blank lines stay until trimming rewrites the box, then they go.
    EXPECT_EQ(Add(Lines({"a", "", "b", "", "c", "d"}), "x"), Lines({"b", "c", "d", "[12:00:00] x"}));
    // A message of several lines counts as several lines afterwards.
    const std::string twoLines = Add(Lines({"a", "b", "c", "d"}), "x\r\ny");
    EXPECT_EQ(Add(twoLines, "z"), Lines({"b", "c", "d", "[12:00:00] x", "y", "[12:00:00] z"}));

    // The unfinished last piece stands where the empty one would: kept while appending,
    // dropped with the oldest line when trimming.
    EXPECT_EQ(Add("a\r\nb", "m"), "a\r\nb[12:00:00] m\r\n");
    EXPECT_EQ(Add("a\r\nb\r\nc", "m", 1), "b\r\n[12:00:00] m\r\n");
    // A lone CR or LF ends no line.
    EXPECT_EQ(Add("a\rb\nc\r\nd\r\n", "m", 1), "d\r\n[12:00:00] m\r\n");
    EXPECT_EQ(Add("", "m", -5), "[12:00:00] m\r\n");
    EXPECT_EQ(Add(Lines({"a", "b"}), "m", -5), "b\r\n[12:00:00] m\r\n");
}
