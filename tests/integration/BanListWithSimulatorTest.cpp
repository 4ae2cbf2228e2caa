// The ban list against a running simulator: a listed player is told why and punted through the
// console, again when he comes back, until his ban ends; players whose names only resemble his
// stay. The ban's own clock (Unix seconds) is the test's.
#include <gtest/gtest.h>

#include "BanEnforcer.h"
#include "HistoryRecorder.h"
#include "SimConsole.h"
#include "SqliteHistoryStore.h"

using namespace tovi;
using namespace tovi::testing;

using BanListWithSimulator = SimAdminTest;

TEST_F(BanListWithSimulator, ABannedNameIsPuntedOnEveryReturnUntilItsBanEndsAndNobodyElseIsTouched) {
    // He sits in slot 1 beside two look-alikes; a reset of the games brings him back.
    const fs::path scenario = folder / "bans.scn";
    WriteBytes(scenario,
               "name \"Ban list test\"\nmaxplayers 8\ndedicated 1\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
               "at 0.2 join 1 \"Cheater\" team=1\nat 0.2 join 2 \"Cheater2\" team=2\nat 0.2 join 3 "
               "\"[QX]Cheater\" team=1\n");
    Start({"--scenario", scenario.string(), "--version", OwnVersion()},
          [&] { return PlayerIn(memory, 3) == "[QX]Cheater"; });

    int64_t unixNow = 1'800'000'000;
    auto opened = SqliteHistoryStore::Open((folder / "tovistats.db").string(), {});
    ASSERT_TRUE(opened.Store) << opened.Error;
    HistoryRecorder recorder(*opened.Store, [&] { return unixNow; });
    channel.SetObserver([&](const FinishedSend& send) { recorder.SendFinished(send); });

    BanList bans;
    BanEntry entry;
    entry.Name = "CHEATER";
    entry.Reason = "wallhack";
    entry.IssuedAt = unixNow;
    entry.ExpiresAt = unixNow + 3600;
    std::string error;
    ASSERT_TRUE(bans.Add(entry, error)) << error;
    BanEnforcer enforcer(bans, memory, channel, puntBan, clock, log, [&] { return unixNow; });

    auto read = [&] {
        reader.ReadPlayers(true, 8);
        std::vector<SeatedPlayer> seated;
        for (int row = 0; row < list.RowCount(); ++row) {
            seated.push_back({list.Text(row, PlayerColumn::Player),
                              SlotNumber(list.Text(row, PlayerColumn::Slot)).value_or(0),
                              list.SlotPosition(row)});
        }
        enforcer.PlayersRead(seated);
    };
    auto punted = [&] { return !enforcer.Busy() && !channel.Busy() && PlayerIn(memory, 1).empty(); };
    auto resetGames = [&] {
        channel.SendServerCommand("command", "resetgames");
        return Drive([&] { return !channel.Busy() && PlayerIn(memory, 1) == "Cheater"; });
    };

    read();
    ASSERT_TRUE(enforcer.Busy());
    ASSERT_TRUE(Drive(punted)) << "not punted within 40 s";
    read();  // he is gone
    ASSERT_TRUE(resetGames());
    read();
    ASSERT_TRUE(enforcer.Busy());
    ASSERT_TRUE(Drive(punted)) << "not punted again within 40 s";

    // At the second his ban ends he may come back and stay.
    read();
    unixNow = entry.ExpiresAt;
    ASSERT_TRUE(resetGames());
    read();
    EXPECT_FALSE(enforcer.Busy());
    EXPECT_FALSE(channel.Busy());
    EXPECT_EQ(PlayerIn(memory, 1), "Cheater");
    EXPECT_EQ(PlayerIn(memory, 2), "Cheater2");
    EXPECT_EQ(PlayerIn(memory, 3), "[QX]Cheater");

    const Strings expected{
        "join 1 \"Cheater\"",     "chat \"Host: Cheater is banned: wallhack (1 hour left)\"",
        "command \"punt 1\"",     "punt 1 \"Cheater\"",
        "command \"resetgames\"", "resetgames",
        "join 1 \"Cheater\"",     "chat \"Host: Cheater is banned: wallhack (1 hour left)\"",
        "command \"punt 1\"",     "punt 1 \"Cheater\"",
        "command \"resetgames\"", "resetgames",
        "join 1 \"Cheater\""};
    const auto outcomes = [&] {
        return TranscriptOutcomes(transcript,
                                  {"chat ", "command ", "punt ", "ban ", "resetgames", "join 1 "});
    };
    EXPECT_TRUE(WaitFor([&] { return outcomes().size() >= expected.size(); }));
    EXPECT_EQ(outcomes(), expected);

    // The record holds each announcement and punt as the program's action, newest first.
    Strings audit;
    for (const HistoryRow& row : opened.Store->Search({HistoryKind::Admin, "ban list", "", 0, 0, 20, ""}))
        audit.push_back(row.Player + ": " + row.Text + ", " + row.Detail);
    EXPECT_EQ(audit,
              (Strings{"Cheater: ban list punt sent, the program wallhack command punt 1",
                       "Cheater: ban list announcement sent, the program wallhack gtalk Cheater is banned: "
                       "wallhack (1 hour left)",
                       "Cheater: ban list punt sent, the program wallhack command punt 1",
                       "Cheater: ban list announcement sent, the program wallhack gtalk Cheater is banned: "
                       "wallhack (1 hour left)"}));
}
