#include <gtest/gtest.h>

#include "AdminFixture.h"
#include "ConsoleChannel.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class ConsoleChannelTest : public AdminTest {
protected:
    Strings outcomes;  // "<ms> <name> <outcome>" as each send ends

    ConsoleChannel::Done Note(const std::string& name) {
        return [this, name](SendOutcome outcome) {
            static const char* const kNames[] = {"Sent", "Skipped", "TooLong", "Cycling", "Failed"};
            outcomes.push_back(std::to_string(clock.Now()) + " " + name + " " +
                               kNames[static_cast<int>(outcome)]);
        };
    }
};

}  // namespace

TEST_F(ConsoleChannelTest, ASendTypesTheWordAndTheArgumentWithItsWaitsInBetweenControlBytesAsBlanks) {
    channel.SendServerCommand("gtalk", "hello all", Note("chat"));
    EXPECT_TRUE(backend.events.empty());  // it starts on the next turn of the event loop, not inside the call
    clock.Advance(10000);
    EXPECT_EQ(backend.events,
              (Strings{"0 key console", "100 write ConsoleLine \"gtalk\\x00\"", "100 key enter",
                       "1200 write ConsoleLine \"hello all\\x00\"", "1200 key enter"}));
    EXPECT_EQ(console, (Strings{"key console", "key enter", "line \"gtalk\"", "key enter",
                                "line \"hello all\"", "chat \"Host: hello all\""}));
    EXPECT_EQ(outcomes, Strings{"1200 chat Sent"});
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(channel.Busy());

    // Control bytes reach the console as blanks.
    channel.SendServerCommand("gt\talk", std::string("a\rb\nc\x01\x1F\0d \x7F\xE9", 12));
    clock.Advance(2000);
    EXPECT_EQ(backend.events.at(6), "10100 write ConsoleLine \"gt alk\\x00\"");
    EXPECT_EQ(backend.events.at(8), "11200 write ConsoleLine \"a b c   d \\x7f\xE9\\x00\"");
}

TEST_F(ConsoleChannelTest, OnlyStatesZeroAndOneAndAGoneServerRefuseASend) {
    for (uint8_t state : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{4}, uint8_t{255}}) {
        server.SetByte(game::kGameState, state);
        const size_t before = backend.events.size();
        channel.SendServerCommand("gtalk", "hi", Note(std::to_string(state)));
        clock.Advance(2000);
        EXPECT_EQ(backend.events.size() - before, state <= 1 ? 0u : 5u) << int{state};
    }
    backend.RemoveProcess(100);
    channel.SendServerCommand("command", "resetgames", Note("gone"));
    clock.Advance(2000);
    EXPECT_EQ(outcomes, (Strings{"0 0 Cycling", "2000 1 Cycling", "5200 2 Sent", "7200 4 Sent",
                                 "9200 255 Sent", "10000 gone Cycling"}));
    EXPECT_EQ(log.lines, Strings(3, "Can not send command while cycling"));
}

TEST_F(ConsoleChannelTest, AConsoleThatDoesNotStayOpenGetsNoArgument) {
    // The console ignores its key: nothing is written.
    server.SetConsoleWorks(false);
    channel.SendServerCommand("command", "resetgames", Note("reset"));
    clock.Advance(1000);
    // The console closes after the word: the word went in, the argument does not.
    server.SetConsoleWorks(true);
    server.SetConsoleClosesAfterLine(true);
    channel.SendServerCommand("gtalk", "hello", Note("chat"));
    clock.Advance(5000);

    EXPECT_EQ(backend.events, (Strings{"0 key console", "1000 key console",
                                       "1100 write ConsoleLine \"gtalk\\x00\"", "1100 key enter"}));
    EXPECT_EQ(console, (Strings{"key console ignored", "key console", "key enter", "line \"gtalk\""}));
    EXPECT_EQ(log.lines, (Strings{"Command command failed", "Command gtalk failed"}));
    EXPECT_EQ(outcomes, (Strings{"100 reset Failed", "1200 chat Failed"}));
}

TEST_F(ConsoleChannelTest, SendsWaitTheirTurnInTheOrderTheyCame) {
    channel.SendServerCommand("gtalk", "first", Note("first"));
    channel.SendServerCommand("gtalk", "unwanted", Note("unwanted"), [] { return false; });
    channel.SendServerCommand("command", "resetgames", [this](SendOutcome outcome) {
        Note("second")(outcome);
        channel.SendServerCommand("gtalk", "fourth", Note("fourth"));  // behind what already waits
    });
    channel.SendServerCommand("gtalk", "third", Note("third"));
    clock.Advance(600);
    channel.SendServerCommand("gtalk", "fifth", Note("fifth"));
    EXPECT_EQ(channel.Waiting(), 4u);
    clock.Advance(20000);

    EXPECT_EQ(outcomes, (Strings{"1200 first Sent", "1200 unwanted Skipped", "2400 second Sent",
                                 "3600 third Sent", "4800 fifth Sent", "6000 fourth Sent"}));
    EXPECT_EQ(Effects(), (Strings{"chat \"Host: first\"", "resetgames", "chat \"Host: third\"",
                                  "chat \"Host: fifth\"", "chat \"Host: fourth\""}));
    EXPECT_EQ(backend.events.size(), 25u);  // five keys and writes per send, no more
}

TEST_F(ConsoleChannelTest, ATextTooLongForTheConsoleLineIsRefused) {
    const std::string longest(ConsoleChannel::kMaxTextLength, 'x');
    channel.SendServerCommand("gtalk", longest + "y", Note("long"));
    channel.SendServerCommand("gtalk", longest, Note("longest"));
    clock.Advance(5000);
    EXPECT_EQ(
        log.lines,
        Strings{"Command gtalk not sent: the text is 300 characters long, at most 299 fit the console"});
    EXPECT_EQ(outcomes, (Strings{"0 long TooLong", "1200 longest Sent"}));
    // 299 bytes and the zero byte fill the line up to the console's open flag, which stays.
    EXPECT_EQ(console.at(4), "line \"" + longest + "\"");
    EXPECT_EQ(server.Byte(game::kConsoleOpenFlag), 1);
}

TEST(ChatLineCommand, SlashMakesAServerCommandAnythingElseIsChat) {
    EXPECT_EQ(ChatLineCommand(""), std::nullopt);
    EXPECT_EQ(ChatLineCommand("/resetgames"), (ConsoleCommand{"command", "resetgames"}));
    EXPECT_EQ(ChatLineCommand(" /punt 3"), (ConsoleCommand{"gtalk", " /punt 3"}));
}
