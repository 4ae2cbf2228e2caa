// The administration against a running simulator with a window: the console keys travel as X
// events to the simulator's window, the lines are written into its memory, and its transcript
// shows what the console carried out.
#include <gtest/gtest.h>

#include "SimConsole.h"

using namespace tovi;
using namespace tovi::testing;

using AdminWithSimulator = SimAdminTest;

TEST_F(AdminWithSimulator, ChatCommandsAndPuntsReachTheServerInOrder) {
    Start({"--state", "3", "--players", "4"}, [&] { return PlayerIn(memory, 4) == "Player4"; });
    reader.ReadPlayers(true, 16);
    ASSERT_EQ(list.Players(), (Strings{"Player1", "Player2", "Player3", "Player4"}));

    for (const char* typed : {"hello from the admin test", "/resetgames"}) {
        const auto command = ChatLineCommand(typed);
        ASSERT_TRUE(command);
        channel.SendServerCommand(command->Command, command->Argument);
    }
    list.selected = 1;  // Player2
    puntBan.Punt();
    dialogs.Answer("");
    list.selected = 2;  // Player3
    puntBan.PuntWithReason();
    dialogs.Answer("camping");
    ASSERT_TRUE(Drive([&] { return !channel.Busy() && !puntBan.PuntTimerOn() && poll.switches.size() == 4; }))
        << "still sending after 40 s";

    const Strings expected{"chat \"Host: hello from the admin test\"",
                           "command \"resetgames\"",
                           "resetgames",
                           "chat \"Host: Player2 has been punted from this server\"",
                           "command \"punt 2\"",
                           "punt 2 \"Player2\"",
                           "chat \"Host: Punting Player3, camping\"",
                           "command \"punt 3\"",
                           "punt 3 \"Player3\""};
    const auto outcomes = [&] {
        return TranscriptOutcomes(transcript, {"chat ", "command ", "punt ", "ban ", "resetgames"});
    };
    // The last Enter is posted as the last send ends; the simulator takes it a moment later.
    EXPECT_TRUE(WaitFor([&] { return outcomes().size() >= expected.size(); }));
    EXPECT_EQ(outcomes(), expected);
    EXPECT_EQ(PlayerIn(memory, 2), "");
    EXPECT_EQ(PlayerIn(memory, 3), "");
}
