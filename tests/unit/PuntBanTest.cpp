#include <gtest/gtest.h>

#include "AdminFixture.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

const auto kPunt = &PuntBan::Punt;
const auto kPuntReason = &PuntBan::PuntWithReason;
const auto kBanReason = &PuntBan::BanWithReason;
const auto kTalk = &PuntBan::Talk;
const std::optional<std::string> kYes = "";

// Carol in slot 3, Bob in 5, Dave in 7, each listed in that order.
class PuntBanTest : public PuntBanTestBase {
protected:
    void SetUp() override {
        AdminTest::SetUp();
        for (auto [slot, name] : {std::pair{3, "Carol"}, {5, "Bob"}, {7, "Dave"}}) {
            PutPlayer(slot, name);
            list.rows.push_back({.Slot = std::to_string(slot), .Player = name, .Position = slot});
        }
    }
    // Clicks a menu item with `row` selected and answers the dialog it opens: a text, or kYes;
    // nothing for No or Cancel.
    void Pick(int row, void (PuntBan::*item)(), std::optional<std::string> answer) {
        list.selected = row;
        (puntBan.*item)();
        dialogs.Answer(std::move(answer));
    }
};

}  // namespace

TEST_F(PuntBanTest, AConfirmedBanAnnouncesThenBansWithThePollOffUntilBothSendsEnd) {
    Pick(1, kPunt, std::nullopt);  // No: nothing at all
    list.selected = 0;
    puntBan.Ban();
    clock.Advance(1000);
    EXPECT_TRUE(backend.events.empty());
    dialogs.Answer(kYes);
    clock.Advance(10000);

    EXPECT_EQ(dialogs.asked,
              (Strings{"Are you sure you want to punt Bob?", "Are you sure you want to ban Carol?\r\n\r\nThe name also goes on the ban list, for good, so that the ban outlasts the game server's restart."}));
    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Carol has been banned from this server\"", "ban 3 \"Carol\""}));
    EXPECT_EQ(log.lines, Strings{"Banning player in slot 3 (Carol)"});
    EXPECT_EQ(poll.switches, (Strings{"1000 off", "3400 on"}));
}

TEST_F(PuntBanTest, ReasonsAreAnnouncedAndTheTimerPuntsBeforeItBans) {
    Pick(0, kBanReason, "cheating");
    clock.Advance(3000);
    Pick(2, kPuntReason, "language");
    EXPECT_EQ(dialogs.asked, (Strings{"Enter reason to ban Carol\r\n\r\nPress cancel to exit",
                                      "Enter reason to punt Dave\r\n\r\nPress cancel to exit"}));

    // The timer runs 4000 ms from the end of the first announcement; the second leaves it be.
    clock.Advance(5199 - 3000);
    EXPECT_TRUE(poll.switches.empty());
    clock.Advance(1);
    EXPECT_TRUE(puntBan.PuntQueue().empty() && puntBan.BanQueue().empty());
    clock.Advance(10000);

    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Banning Carol, cheating\"", "chat \"Host: Punting Dave, language\"",
                       "punt 7 \"Dave\"", "ban 3 \"Carol\""}));
    EXPECT_EQ(poll.switches, (Strings{"5200 off", "7600 on"}));
    EXPECT_FALSE(puntBan.PuntTimerOn());
}

TEST_F(PuntBanTest, ThePuntTimerEmptiesTheQueuesAndRestartsThePollWhenSendsFailOrNothingIsQueued) {
    server.SetConsoleWorks(false);
    Pick(2, kPuntReason, "spam");
    clock.Advance(10000);
    EXPECT_EQ(log.lines, (Strings{"Added player in slot 7 (Dave) to punt-queue", "Command gtalk failed",
                                  "Command command failed", "Punting player in slot 7 (Dave)"}));
    EXPECT_TRUE(puntBan.PuntQueue().empty());

    puntBan.tmrPunt_Timer();
    clock.Advance(10000);
    EXPECT_EQ(poll.switches, (Strings{"4100 off", "4200 on", "10000 off", "10000 on"}));
    EXPECT_EQ(backend.events.size(), 2u);  // the two ignored console keys
}

TEST_F(PuntBanTest, APuntOrBanGoesOnlyToThePlayerItWasMeantFor) {
    // Queued: Dave leaves and Eve takes slot 7; Carol is still in 3, with blanks around her name.
    Pick(2, kPuntReason, "afk");
    Pick(0, kBanReason, "tk");
    clock.Advance(3000);
    PutPlayer(7, "Eve");
    PutPlayer(3, "  Carol ");
    clock.Advance(5000);
    EXPECT_EQ(poll.switches, (Strings{"5200 off", "6400 on"}));

    // Confirmed: Bob leaves while his punt is announced, so the command is not sent.
    Pick(1, kPunt, kYes);
    clock.Advance(600);
    PutPlayer(5, "");
    clock.Advance(5000);

    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Punting Dave, afk\"", "chat \"Host: Banning Carol, tk\"",
                       "ban 3 \"  Carol \"", "chat \"Host: Bob has been punted from this server\""}));
    EXPECT_EQ(log.lines,
              (Strings{"Added player in slot 7 (Dave) to punt-queue", "Added player in slot 3 (Carol) to ban-queue",
                       "Punt of Dave skipped: slot 7 no longer holds that player", "Banning player in slot 3 (Carol)",
                       "Punt of Bob skipped: slot 5 no longer holds that player"}));
    EXPECT_EQ(poll.switches.back(), "9200 on");
}

TEST_F(PuntBanTest, AnActionWhoseRowWentWhileItsQuestionWasOpenIsDropped) {
    list.selected = 1;
    for (auto item : {kPunt, kBanReason, kTalk}) (puntBan.*item)();
    list.selected = 0;
    puntBan.Ban();
    // The poll rebuilt the list: Bob has gone, and slot 3 now shows another player.
    list.rows = {{.Slot = "3", .Player = "Frank", .Position = 3},
                 {.Slot = "7", .Player = "Dave", .Position = 7}};
    for (const char* answer : {"", "cheating", "hello", ""}) dialogs.Answer(answer);
    clock.Advance(10000);

    EXPECT_EQ(log.lines, (Strings{"Punt of Bob dropped: the player is no longer in the list",
                                  "Ban of Bob dropped: the player is no longer in the list",
                                  "Text to Bob dropped: the player is no longer in the list",
                                  "Ban of Carol dropped: the player is no longer in the list"}));
    EXPECT_TRUE(backend.events.empty());
    EXPECT_TRUE(poll.switches.empty());
}

TEST_F(PuntBanTest, TheCheckReadsTheSlotWhereItLiesAndTheCommandNamesTheGamesNumber) {
    // The game numbers the slot at place 9 as 4, and Erin's at place 4 as 12.
    PutPlayer(9, "Gina");
    server.SetByte(image::GameImage::SlotAddress(9) + game::slot::kNumber, 4);
    PutPlayer(4, "Erin");
    server.SetByte(image::GameImage::SlotAddress(4) + game::slot::kNumber, 12);
    list.rows = {{.Slot = "4", .Player = "Gina", .Position = 9},
                 {.Slot = "12", .Player = "Erin", .Position = 4}};
    Pick(0, kPunt, kYes);
    clock.Advance(5000);
    Pick(1, kBanReason, "cheating");
    clock.Advance(10000);
    EXPECT_EQ(Effects(), (Strings{"chat \"Host: Gina has been punted from this server\"", "punt 4 \"Gina\"",
                                  "chat \"Host: Banning Erin, cheating\"", "ban 12 \"Erin\""}));

    // The game's process has gone by the time a queued punt is due: said as such.
    list.rows = {{.Slot = "7", .Player = "Dave", .Position = 7}};
    Pick(0, kPuntReason, "afk");
    clock.Advance(2000);
    backend.RemoveProcess(100);
    clock.Advance(10000);
    EXPECT_EQ(log.lines.back(), "Punt of Dave skipped: the game server is no longer running");
    EXPECT_EQ(poll.switches.back(), "20200 on");
}

TEST_F(PuntBanTest, ATextOrReasonIsLimitedToTheConsoleLineAndARefusedAnnouncementStopsItsPuntOrBan) {
    // Talk addresses the player by name: the box leaves room for "Dave, " before the text.
    Pick(2, kTalk, "please stop");
    clock.Advance(10000);
    EXPECT_EQ(Effects(), Strings{"chat \"Host: Dave, please stop\""});

    const std::string name(53, 'N');  // the longest the game's name field holds
    PutPlayer(5, name);
    list.rows[1].Player = name;
    Pick(1, kPuntReason, std::string(PuntBan::MaxReasonLength(name), 'r'));
    EXPECT_EQ(dialogs.limits, (std::vector<size_t>{299 - 6, 299 - 10 - 53}));
    clock.Advance(10000);
    EXPECT_EQ(Effects().back(), "punt 5 \"" + name + "\"");

    // A box that lets more through, and a server that starts loading: nobody goes unannounced.
    PutPlayer(5, name);
    console.clear();
    log.lines.clear();
    Pick(1, kBanReason, std::string(PuntBan::MaxReasonLength(name) + 1, 'r'));
    EXPECT_EQ(puntBan.BanQueue().size(), 1u);
    clock.Advance(10000);
    EXPECT_TRUE(puntBan.BanQueue().empty());
    server.SetByte(game::kGameState, 1);
    Pick(0, kPunt, kYes);
    clock.Advance(10000);
    EXPECT_TRUE(Effects().empty());
    EXPECT_EQ(log.lines,
              (Strings{"Added player in slot 5 (" + name + ") to ban-queue",
                       "Command gtalk not sent: the text is 300 characters long, at most 299 fit the console",
                       "Ban of " + name + " dropped: its reason could not be announced",
                       "Can not send command while cycling",
                       "Punt of Carol skipped: its announcement was refused"}));
    EXPECT_FALSE(puntBan.PuntTimerOn());
}
