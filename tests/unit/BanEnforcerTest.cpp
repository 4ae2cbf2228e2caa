// Enforcing the ban list on a game server in memory, on the virtual clock: who is announced and
// punted, when, and who is never touched.
#include <gtest/gtest.h>

#include <algorithm>

#include "AdminFixture.h"
#include "BanEnforcer.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

constexpr int64_t kEpoch = 1'800'000'000;

class BanEnforcerTest : public PuntBanTestBase {
protected:
    BanList bans;
    BanEnforcer::Clock now = [this] { return kEpoch + clock.Now() / 1000; };
    BanEnforcer enforcer{bans, memory, channel, puntBan, clock, log, now};
    Strings record;  // every send as the record sees it: "<who> <action> <target>: <outcome>", the
                     // program's own as "program"
    std::vector<SeatedPlayer> seated;

    void SetUp() override {
        AdminTest::SetUp();
        channel.SetObserver([this](const FinishedSend& s) {
            static const char* const kOutcomes[] = {"sent", "skipped", "too long", "cycling", "failed"};
            record.push_back((s.Note.Automatic ? "program" : s.Note.Who) + " " +
                             (s.Note.Action == ActionKind::Unnamed ? s.Command : std::string(ActionName(s.Note.Action))) + " " + s.Note.Target +
                             ": " + kOutcomes[static_cast<int>(s.Outcome)]);
        });
    }
    void Seat(int slot, const std::string& name) {
        PutPlayer(slot, name);
        std::erase_if(seated, [&](const SeatedPlayer& p) { return p.Position == slot; });
        if (!name.empty()) seated.push_back({name, static_cast<uint8_t>(slot), slot});
        list.rows.clear();
        for (const SeatedPlayer& p : seated)
            list.rows.push_back({.Slot = std::to_string(p.Slot), .Player = p.Name, .Position = p.Position});
    }
    // A player read: the slots as the game holds them now.
    void Read() {
        std::erase_if(seated, [&](const SeatedPlayer& p) {
            return CutAtNull(server.Text(image::GameImage::SlotAddress(p.Position) + game::slot::kName,
                                         game::slot::kNameLength)) != p.Name;
        });
        enforcer.PlayersRead(seated);
    }
    void AddBan(const std::string& name, int64_t seconds, bool exact = false) {
        BanEntry e;
        e.Name = name;
        e.ExactCase = exact;
        e.Reason = "wallhack";
        e.IssuedAt = now();
        e.ExpiresAt = seconds ? now() + seconds : 0;
        std::string error;
        ASSERT_TRUE(bans.Add(e, error)) << error;
    }
};

}  // namespace

TEST_F(BanEnforcerTest, ABannedPlayerIsToldWhyAndPuntedEachTimeHeComesBackUntilTheBanEnds) {
    AddBan("Cheater", 600);
    Seat(3, "cHEATER ");  // the game's trailing blank, another case
    Seat(5, "Cheater2");
    Seat(7,
         "Ch\xE9"
         "ater");
    Read();
    clock.Advance(20000);
    EXPECT_EQ(Effects(), (Strings{"chat \"Host: cHEATER  is banned: wallhack (10 minutes left)\"",
                                  "punt 3 \"cHEATER \""}));
    EXPECT_EQ(record, (Strings{"program ban list announcement cHEATER : sent",
                               "program ban list punt cHEATER : sent"}));
    // Players read the reason for four seconds before the punt is typed.
    const auto firstKey = std::ranges::find_if(backend.events, [](const std::string& e) {
        return e.find("write ConsoleLine \"punt 3") != std::string::npos;
    });
    ASSERT_NE(firstKey, backend.events.end());
    EXPECT_EQ(std::stoll(*firstKey), 1200 + BanEnforcer::kReadTimeMs);

    // Gone at the next read; back at the one after, under the case he was banned with.
    Read();
    Seat(4, "Cheater");
    console.clear();
    Read();
    clock.Advance(20000);
    EXPECT_EQ(Effects(), (Strings{"chat \"Host: Cheater is banned: wallhack (9 minutes 40 seconds left)\"",
                                  "punt 4 \"Cheater\""}));

    // While the server loads nothing is sent; once it hosts again he goes.
    Seat(4, "Cheater");
    console.clear();
    server.SetByte(game::kGameState, 1);
    const size_t sends = record.size();
    Read();
    clock.Advance(20000);
    EXPECT_TRUE(Effects().empty());
    EXPECT_EQ(record.size(), sends);  // not even tried
    server.SetByte(game::kGameState, 3);
    Read();
    clock.Advance(20000);
    EXPECT_EQ(Effects().size(), 2u);

    // At the second the ban ends he may stay; the look-alikes were never touched.
    clock.Advance((kEpoch + 600 - now()) * 1000);
    Seat(4, "Cheater");
    console.clear();
    Read();
    clock.Advance(20000);
    EXPECT_TRUE(Effects().empty());
    EXPECT_FALSE(enforcer.Busy());
    for (const std::string& line : record) EXPECT_EQ(line.find("Cheater2"), std::string::npos);
}

TEST_F(BanEnforcerTest, ThePuntNeverReachesAnotherPlayerOrALiftedBanAndExactCaseIsExact) {
    AddBan("Bob", 0, true);
    Seat(0, "Bob");  // the playing host of this server: never punted
    server.SetByte(game::kDedicated, 0);
    Seat(2, "bob");  // not the exact case: stays
    Seat(3, "Bob");
    Read();
    clock.Advance(2000);  // announced; the punt waits
    ASSERT_EQ(Effects(), Strings{"chat \"Host: Bob is banned: wallhack\""});
    EXPECT_EQ(log.lines, Strings{"Ban list: Bob is listed but hosts the server, and is not punted"});
    // Bob leaves and someone else takes his slot before the punt: the check finds the wrong name.
    Seat(3, "Alice");
    clock.Advance(10000);
    EXPECT_EQ(Effects().size(), 1u);
    EXPECT_EQ(record.back(), "program ban list punt Bob: skipped");
    EXPECT_EQ(log.lines.back(), "Punt of Bob by ban list skipped: slot 3 no longer holds that player");

    // Back in his slot before a read missed him: looked at again only after a while, so that a
    // punt that did not take is not announced at every read.
    Seat(3, "Bob");
    console.clear();
    Read();
    EXPECT_FALSE(enforcer.Busy());
    clock.Advance(BanEnforcer::kRetrySeconds * 1000);
    // Lifted between announcement and punt: no punt.
    Read();
    ASSERT_TRUE(enforcer.Busy());
    clock.Advance(2000);
    std::string error;
    ASSERT_TRUE(bans.Lift(bans.Entries()[0].Id, now(), "admin", "mistake", error));
    clock.Advance(10000);
    EXPECT_EQ(Effects(), Strings{"chat \"Host: Bob is banned: wallhack\""});
    EXPECT_EQ(log.lines.back(), "Ban list: punt of Bob dropped, the ban was lifted or has expired");
}

TEST_F(BanEnforcerTest, TheMenuBansForAPresetAndTheWarningLadderPuntsThenBansInTheWarnersName) {
    Strings actions;
    BanActions menu(
        bans, enforcer, puntBan, channel, dialogs, rows, log, clock, now,
        [&](ActionKind action, const std::string& target, const std::string& reason,
            const std::string& detail, bool done, const std::string&, const std::string& who) {
            actions.push_back(who + ": " + ActionName(action) + " " + target + " " + reason + " " + detail +
                              (done ? "" : " failed"));
        });
    // Someone acts only while his action runs; its answers and the ladder come after.
    std::string acting;
    menu.SetIssuer([&] { return acting.empty() ? std::string(kOperatorAtWindow) : acting; });
    auto warn = [&](const std::string& text) {
        acting = "kim";
        menu.Warn();
        acting.clear();
        dialogs.Answer(text);
    };
    menu.SetPresets({{"Team killing", 3600}});
    menu.SetLadder({true, 0, {{2, false, 0}, {3, true, 86400}}});
    Seat(5, "Dave");
    Seat(6, "Eve");

    list.selected = 1;  // Eve
    menu.BanFor(0);
    dialogs.Answer("");
    clock.Advance(20000);
    EXPECT_EQ(dialogs.asked.back(), "Ban Eve for 1h: Team killing?");
    EXPECT_EQ(actions, Strings{"operator at the window: ban listed Eve Team killing for 1h"});
    EXPECT_EQ(Effects(),
              (Strings{"chat \"Host: Eve is banned: Team killing (1 hour left)\"", "punt 6 \"Eve\""}));
    Seat(6, "");

    console.clear();
    list.selected = 0;  // Dave
    warn("stop spawn camping");
    clock.Advance(5000);
    EXPECT_EQ(Effects(), Strings{"chat \"Host: Dave, warning: stop spawn camping\""});
    warn("last time");
    // The ladder's punt waits for him to read the warning.
    clock.Advance(1200 + BanActions::kWarningReadMs - 100);
    EXPECT_EQ(Effects().back(), "chat \"Host: Dave, warning: last time\"");
    clock.Advance(2000);
    EXPECT_EQ(Effects().back(), "punt 5 \"Dave\"");
    EXPECT_EQ(record.back(), "kim warning punt Dave: sent");

    // He leaves while he reads the third: listed all the same, punted when he comes back.
    Seat(5, "Dave");
    list.selected = 0;
    warn("bye");
    clock.Advance(3000);
    Seat(5, "");
    clock.Advance(20000);
    ASSERT_TRUE(bans.ActiveBanFor("Dave", now()));
    EXPECT_EQ(bans.ActiveBanFor("Dave", now())->IssuedBy, "kim");
    EXPECT_EQ(actions.back(), "kim: ban listed Dave 3 warnings, the last: bye for 1d");
    EXPECT_EQ(Effects().back(), "chat \"Host: Dave, warning: bye\"");
    Seat(5, "Dave");
    Read();
    clock.Advance(20000);
    EXPECT_EQ(Effects().back(), "punt 5 \"Dave\"");

    // A new match starts the count again; with the ladder off a warning is only said and kept.
    menu.MatchStarted();
    menu.SetLadder({});
    Seat(5, "Dave");
    console.clear();
    menu.Warn();
    dialogs.Answer("hm");
    clock.Advance(5000);
    EXPECT_EQ(bans.Warnings().size(), 4u);
    EXPECT_EQ(bans.WarningsSince("dave", now() - 5), 1);
}
