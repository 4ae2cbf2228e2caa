#include <gtest/gtest.h>

#include "AdminFixture.h"
#include "ConsoleChannel.h"
#include "PollCycle.h"

using namespace tovi;
using namespace tovi::admin_test;

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

TEST_F(ConsoleChannelTest, ASendTypesTheWordAndTheArgumentWithItsWaitsInBetween) {
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
}

TEST_F(ConsoleChannelTest, EachStepOfASendMakesAtMostThreeCallsToTheGame) {
    // What bounds the time a send holds the event loop: every step is a few single calls.
    channel.SendServerCommand("gtalk", "hello all");
    std::vector<int> callsPerStep;
    for (int ms = 0; ms <= 1300; ++ms) {
        const int before = backend.calls;
        clock.Advance(ms == 0 ? 0 : 1);
        if (backend.calls != before) callsPerStep.push_back(backend.calls - before);
    }
    EXPECT_EQ(callsPerStep, (std::vector<int>{2, 3, 1, 2}));
}

TEST_F(ConsoleChannelTest, OnlyStatesZeroAndOneAndAGoneServerRefuseASend) {
    for (int state = 0; state <= 255; ++state) {
        server.SetByte(game::kGameState, static_cast<uint8_t>(state));
        const size_t before = backend.events.size();
        channel.SendServerCommand("gtalk", "hi");
        clock.Advance(2000);
        EXPECT_EQ(backend.events.size() - before, state <= 1 ? 0u : 5u) << state;
        EXPECT_EQ(log.lines.size(), state == 0 ? 1u : 2u) << state;
    }
    EXPECT_EQ(log.lines,
              (Strings{"Can not send command while cycling", "Can not send command while cycling"}));

    backend.RemoveProcess(100);
    const size_t before = backend.events.size();
    channel.SendServerCommand("command", "resetgames", Note("reset"));
    clock.Advance(2000);
    EXPECT_EQ(backend.events.size(), before);
    EXPECT_EQ(log.lines.back(), "Can not send command while cycling");
    EXPECT_EQ(outcomes, Strings{std::to_string(clock.Now() - 2000) + " reset Cycling"});
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

TEST_F(ConsoleChannelTest, ThePollRunsDuringASendAndItsMessageWaitsForTheSendToEnd) {
    struct Hooks : PollHooks {
        ConsoleChannel* channel;
        void SendNextAutoMessage() override { channel->SendServerCommand("gtalk", "automatic"); }
    } hooks;
    hooks.channel = &channel;
    QuietPollView view(1);
    ServerStatus status;
    status.PreviousState = 3;
    status.PollTicks = 59;  // the next tick is the 60th: a message falls due
    PollCycle poll(memory, status, view, hooks, clock);
    std::function<void()> tick = [&] {
        poll.Timer_Timer();
        clock.Schedule(1000, tick);
    };
    clock.Schedule(500, tick);

    channel.SendServerCommand("gtalk", "operator");
    clock.Advance(600);
    EXPECT_EQ(status.PollTicks, 60);
    clock.Advance(3000);
    EXPECT_EQ(status.PollTicks, 63);
    EXPECT_EQ(backend.events,
              (Strings{"0 key console", "100 write ConsoleLine \"gtalk\\x00\"", "100 key enter",
                       "1200 write ConsoleLine \"operator\\x00\"", "1200 key enter", "1200 key console",
                       "1300 write ConsoleLine \"gtalk\\x00\"", "1300 key enter",
                       "2400 write ConsoleLine \"automatic\\x00\"", "2400 key enter"}));
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
    EXPECT_EQ(backend.events.at(3), "1200 write ConsoleLine \"" + longest + "\\x00\"");
    EXPECT_EQ(console.at(4), "line \"" + longest + "\"");
    EXPECT_EQ(server.Byte(game::kConsoleOpenFlag), 1);
}

TEST(ChatLineCommand, SlashMakesAServerCommandAnythingElseIsChat) {
    EXPECT_EQ(ChatLineCommand(""), std::nullopt);
    EXPECT_EQ(ChatLineCommand("/resetgames"), (ConsoleCommand{"command", "resetgames"}));
    EXPECT_EQ(ChatLineCommand("/"), (ConsoleCommand{"command", ""}));
    EXPECT_EQ(ChatLineCommand(" /punt 3"), (ConsoleCommand{"gtalk", " /punt 3"}));
}
