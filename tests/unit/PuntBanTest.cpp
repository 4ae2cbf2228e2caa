#include <gtest/gtest.h>

#include <algorithm>

#include "AdminFixture.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"

using namespace tovi;
using namespace tovi::admin_test;

namespace {

class FakeRows : public PlayerRowLookup {
public:
    std::vector<ListedPlayer> rows;
    std::optional<size_t> selected;
    std::optional<ListedPlayer> SelectedPlayer() override {
        if (!selected || *selected >= rows.size()) return std::nullopt;
        return rows[*selected];
    }
    bool HasPlayerRow(const std::string& slot, const std::string& name) override {
        return std::find(rows.begin(), rows.end(), ListedPlayer{slot, name}) != rows.end();
    }
};

class FakePoll : public PollTimer {
public:
    explicit FakePoll(const VirtualScheduler& clock) : m_clock(clock) {}
    Strings switches;  // "<ms> off", "<ms> on"
    void SetPollEnabled(bool on) override {
        switches.push_back(std::to_string(m_clock.Now()) + (on ? " on" : " off"));
    }

private:
    const VirtualScheduler& m_clock;
};

// Carol in slot 3, Bob in 5, Dave in 7, each listed in that order.
class PuntBanTest : public AdminTest {
protected:
    FakeRows rows;
    FakePoll poll{clock};
    PuntBan puntBan{memory, channel, clock, log, dialogs, rows, poll};

    void SetUp() override {
        AdminTest::SetUp();
        for (auto [slot, name] : {std::pair{3, "Carol"}, {5, "Bob"}, {7, "Dave"}}) {
            PutPlayer(slot, name);
            rows.rows.push_back({std::to_string(slot), name});
        }
    }
    void Select(size_t row) { rows.selected = row; }
    static std::optional<std::string> Text(const char* text) { return std::string(text); }
};

}  // namespace

TEST_F(PuntBanTest, AConfirmedBanAnnouncesThenBansWithThePollOffUntilBothSendsEnd) {
    Select(1);
    puntBan.mnuPlayersPunt_Click();
    dialogs.Answer(false);  // No: nothing at all
    Select(0);
    puntBan.mnuPlayersBan_Click();
    clock.Advance(1000);
    EXPECT_TRUE(backend.events.empty());
    dialogs.Answer(true);
    clock.Advance(10000);

    EXPECT_EQ(dialogs.asked,
              (Strings{"Are you sure you want to punt Bob?", "Are you sure you want to ban Carol?"}));
    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Carol has been banned from this server\"", "ban 3 \"Carol\""}));
    EXPECT_EQ(log.lines, Strings{"Banning player in slot 3"});
    EXPECT_EQ(poll.switches, (Strings{"1000 off", "3400 on"}));
    EXPECT_TRUE(server.IsBanned("Carol"));
}

TEST_F(PuntBanTest, ReasonsAreAnnouncedAndTheTimerPuntsBeforeItBans) {
    Select(0);
    puntBan.mnuPlayersBanReason_Click();
    dialogs.Answer(Text("cheating"));
    clock.Advance(500);
    Select(2);
    puntBan.mnuPlayersPuntReason_Click();
    dialogs.Answer(Text("language"));
    EXPECT_EQ(dialogs.asked, (Strings{"Enter reason to ban Carol\r\n\r\nPress cancel to exit",
                                      "Enter reason to punt Dave\r\n\r\nPress cancel to exit"}));
    EXPECT_EQ(puntBan.BanQueue(), (std::vector<QueuedPlayer>{{3, "Carol"}}));
    EXPECT_EQ(puntBan.PuntQueue(), (std::vector<QueuedPlayer>{{7, "Dave"}}));

    // The timer runs 4000 ms from the end of the first announcement; the second leaves it be.
    clock.Advance(5199 - 500);
    EXPECT_TRUE(puntBan.PuntTimerOn());
    EXPECT_TRUE(poll.switches.empty());
    clock.Advance(1);
    EXPECT_TRUE(puntBan.PuntQueue().empty());
    EXPECT_TRUE(puntBan.BanQueue().empty());
    clock.Advance(10000);

    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Banning Carol, cheating\"", "chat \"Host: Punting Dave, language\"",
                       "punt 7 \"Dave\"", "ban 3 \"Carol\""}));
    EXPECT_EQ(log.lines,
              (Strings{"Added player in slot 3 to ban-queue", "Added player in slot 7 to punt-queue",
                       "Punting player in slot 7", "Banning player in slot 3"}));
    EXPECT_EQ(poll.switches, (Strings{"5200 off", "7600 on"}));
    EXPECT_FALSE(puntBan.PuntTimerOn());
}

TEST_F(PuntBanTest, ThePuntTimerEmptiesTheQueuesAndRestartsThePollWhenSendsFailOrNothingIsQueued) {
    server.SetConsoleWorks(false);
    Select(2);
    puntBan.mnuPlayersPuntReason_Click();
    dialogs.Answer(Text("spam"));
    clock.Advance(10000);
    EXPECT_EQ(log.lines, (Strings{"Added player in slot 7 to punt-queue", "Command gtalk failed",
                                  "Command command failed", "Punting player in slot 7"}));
    EXPECT_TRUE(puntBan.PuntQueue().empty());

    puntBan.tmrPunt_Timer();
    clock.Advance(10000);
    EXPECT_EQ(poll.switches, (Strings{"4100 off", "4200 on", "10000 off", "10000 on"}));
    EXPECT_EQ(backend.events.size(), 2u);  // the two ignored console keys
}

TEST_F(PuntBanTest, APuntOrBanGoesOnlyToThePlayerItWasMeantFor) {
    // Queued: Dave leaves and Eve takes slot 7; Carol is still in 3, with blanks around her name.
    Select(2);
    puntBan.mnuPlayersPuntReason_Click();
    dialogs.Answer(Text("afk"));
    Select(0);
    puntBan.mnuPlayersBanReason_Click();
    dialogs.Answer(Text("tk"));
    clock.Advance(3000);
    PutPlayer(7, "Eve");
    PutPlayer(3, "  Carol ");
    clock.Advance(5000);
    EXPECT_EQ(Effects().back(), "ban 3 \"  Carol \"");
    EXPECT_EQ(PlayerIn(7), "Eve");
    EXPECT_EQ(poll.switches, (Strings{"5200 off", "6400 on"}));

    // Confirmed: Bob leaves while his punt is announced, so the command is not sent.
    Select(1);
    puntBan.mnuPlayersPunt_Click();
    dialogs.Answer(true);
    clock.Advance(600);
    PutPlayer(5, "");
    clock.Advance(5000);
    // Confirmed: Eve's slot shows "eve" by the time of the answer; names compare exactly, nothing is sent.
    rows.rows[2].Name = "Eve";
    Select(2);
    puntBan.mnuPlayersBan_Click();
    PutPlayer(7, "eve");
    dialogs.Answer(true);
    clock.Advance(5000);

    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Punting Dave, afk\"", "chat \"Host: Banning Carol, tk\"",
                       "ban 3 \"  Carol \"", "chat \"Host: Bob has been punted from this server\""}));
    EXPECT_EQ(log.lines,
              (Strings{"Added player in slot 7 to punt-queue", "Added player in slot 3 to ban-queue",
                       "Punt of Dave skipped: slot 7 no longer holds that player", "Banning player in slot 3",
                       "Punt of Bob skipped: slot 5 no longer holds that player",
                       "Ban of Eve skipped: slot 7 no longer holds that player"}));
    EXPECT_EQ(poll.switches.back(), "13600 on");
}

TEST_F(PuntBanTest, AnActionWhoseRowWentWhileItsQuestionWasOpenIsDropped) {
    Select(1);
    puntBan.mnuPlayersPunt_Click();
    puntBan.mnuPlayersBanReason_Click();
    puntBan.mnuPlayersTalk_Click();
    Select(0);
    puntBan.mnuPlayersBan_Click();
    // The poll rebuilt the list: Bob has gone, and slot 3 now shows another player.
    rows.rows = {{"3", "Frank"}, {"7", "Dave"}};
    dialogs.Answer(true);
    dialogs.Answer(Text("cheating"));
    dialogs.Answer(Text("hello"));
    dialogs.Answer(true);
    clock.Advance(10000);

    EXPECT_EQ(log.lines, (Strings{"Punt of Bob dropped: the player is no longer in the list",
                                  "Ban of Bob dropped: the player is no longer in the list",
                                  "Text to Bob dropped: the player is no longer in the list",
                                  "Ban of Carol dropped: the player is no longer in the list"}));
    EXPECT_TRUE(backend.events.empty());
    EXPECT_FALSE(puntBan.PuntTimerOn());
    EXPECT_TRUE(poll.switches.empty());
}

TEST_F(PuntBanTest, TalkAddressesThePlayerByNameAndCancelOrNothingTypedDoesNothing) {
    Select(2);
    puntBan.mnuPlayersTalk_Click();
    dialogs.Answer(Text("please stop"));
    puntBan.mnuPlayersTalk_Click();
    dialogs.Answer(std::nullopt);
    puntBan.mnuPlayersPuntReason_Click();
    dialogs.Answer(std::nullopt);
    puntBan.mnuPlayersBanReason_Click();
    dialogs.Answer(Text(""));
    clock.Advance(10000);

    EXPECT_EQ(dialogs.asked.front(), "Enter text to address to Dave");
    EXPECT_EQ(Effects(), Strings{"chat \"Host: Dave, please stop\""});
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(puntBan.PuntTimerOn());
}

TEST_F(PuntBanTest, OverlappingPausesKeepThePollOffUntilTheLastEnds) {
    Select(0);
    puntBan.mnuPlayersBanReason_Click();
    dialogs.Answer(Text("cheating"));
    clock.Advance(5000);
    Select(1);
    puntBan.mnuPlayersPunt_Click();  // under way when the punt timer fires at 5200
    dialogs.Answer(true);
    clock.Advance(10000);
    EXPECT_EQ(Effects().back(), "ban 3 \"Carol\"");
    EXPECT_EQ(poll.switches, (Strings{"5000 off", "8600 on"}));
}

TEST_F(PuntBanTest, TheMenuNeedsASelectedRowWithASlotNumber) {
    puntBan.mnuPlayersPunt_Click();
    rows.rows = {{"", "Ghost"}, {"256", "Big"}, {"1a", "Odd"}};
    for (size_t row = 0; row < rows.rows.size(); ++row) {
        Select(row);
        puntBan.mnuPlayersBan_Click();
        puntBan.mnuPlayersPuntReason_Click();
        puntBan.mnuPlayersTalk_Click();
    }
    EXPECT_EQ(dialogs.Open(), 0u);
    EXPECT_EQ(SlotNumber("255"), uint8_t{255});
    EXPECT_EQ(SlotNumber("007"), uint8_t{7});
}

TEST(PlayerListLookup, AnswersFromTheSlotAndPlayerColumns) {
    struct List : PlayerListView {
        std::vector<PlayerRow> rows{{.Slot = "2", .Player = "Alice", .Ping = "2"},
                                    {.Slot = "9", .Player = "Bob"}};
        int RowCount() override { return static_cast<int>(rows.size()); }
        std::string Text(int row, PlayerColumn column) override {
            const PlayerRow& r = rows.at(static_cast<size_t>(row));
            return column == PlayerColumn::Slot ? r.Slot : column == PlayerColumn::Player ? r.Player : r.Ping;
        }
        std::optional<int> SelectedRow() override { return 1; }
        void ClearRows() override {}
        void AddRow(const PlayerRow&) override {}
        void SelectRow(int) override {}
    } list;
    PlayerListLookup lookup(list);
    EXPECT_EQ(lookup.SelectedPlayer(), (ListedPlayer{"9", "Bob"}));
    EXPECT_TRUE(lookup.HasPlayerRow("2", "Alice"));
    EXPECT_FALSE(lookup.HasPlayerRow("2", "Bob"));
    EXPECT_FALSE(lookup.HasPlayerRow("9", "bob"));
    EXPECT_FALSE(lookup.HasPlayerRow("2", "2"));
}
