// The ban list against a running simulator: a listed player is told why and punted through the
// console, again when he comes back, until his ban ends; players whose names only resemble his
// stay. The virtual clock follows the wall clock, never ahead of it; the ban's own clock (Unix
// seconds) is the test's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../unit/Fakes.h"
#include "BanEnforcer.h"
#include "ConsoleChannel.h"
#include "GameAddresses.h"
#include "HistoryRecorder.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"
#include "Scheduler.h"
#include "SimConsole.h"
#include "SimProcess.h"
#include "SqliteHistoryStore.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class NoPoll : public PollTimer {
public:
    void SetPollEnabled(bool) override {}
};

Strings Outcomes(const fs::path& transcript) {
    return TranscriptOutcomes(transcript, {"chat ", "command ", "punt ", "ban ", "resetgames", "join 1 "});
}

}  // namespace

TEST(BanListWithSimulator, ABannedNameIsPuntedOnEveryReturnUntilItsBanEndsAndNobodyElseIsTouched) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        GTEST_SKIP() << "keys reach the simulator through its X window";
    TempFolder folder;
    const fs::path transcript = folder / "transcript.txt";
    const fs::path scenario = folder / "bans.scn";
    // He sits in slot 1 beside two look-alikes; a reset of the games brings him back.
    WriteBytes(scenario,
               "name \"Ban list test\"\nmaxplayers 8\ndedicated 1\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
               "at 0.2 join 1 \"Cheater\" team=1\nat 0.2 join 2 \"Cheater2\" team=2\nat 0.2 join 3 "
               "\"[QX]Cheater\" team=1\n");
    SimProcess sim("C:\\GAMES\\JO\\JOINTOPS.EXE", {"--scenario", scenario.string(), "--version", OwnVersion(),
                                                   "--transcript", transcript.string()});
    ASSERT_GT(sim.pid(), 0);
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] {
        return memory.SetProcID(sim.pid()) && memory.ReadAByte(game::kGameState) == 3 &&
               PlayerIn(memory, 3) == "[QX]Cheater";
    }));

    VirtualScheduler clock;
    RecordingLog log;
    FakeDialogs dialogs;
    ServerStatus status;
    PlayerTable table;
    FakePlayerList list;
    PlayerReader reader(memory, status, table, list, log);
    PlayerListLookup rows(list);
    NoPoll poll;
    ConsoleChannel channel(memory, clock, log);
    PuntBan puntBan(memory, channel, clock, log, dialogs, rows, poll);
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
    const auto start = std::chrono::steady_clock::now();
    auto drive = [&](auto condition) {
        return WaitFor(
            [&] {
                const auto elapsed = std::chrono::steady_clock::now() - start;
                clock.Advance(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() -
                              clock.Now());
                return condition();
            },
            40000);
    };
    auto punted = [&] { return !enforcer.Busy() && !channel.Busy() && PlayerIn(memory, 1).empty(); };
    auto resetGames = [&] {
        channel.SendServerCommand("command", "resetgames");
        return drive([&] { return !channel.Busy() && PlayerIn(memory, 1) == "Cheater"; });
    };

    read();
    ASSERT_TRUE(enforcer.Busy());
    ASSERT_TRUE(drive(punted)) << "not punted within 40 s";
    read();  // he is gone
    ASSERT_TRUE(resetGames());
    read();
    ASSERT_TRUE(enforcer.Busy());
    ASSERT_TRUE(drive(punted)) << "not punted again within 40 s";

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
    EXPECT_TRUE(WaitFor([&] { return Outcomes(transcript).size() >= expected.size(); }));
    EXPECT_EQ(Outcomes(transcript), expected);

    // The record holds each announcement and punt as the program's action, newest first.
    Strings audit;
    for (const HistoryRow& row : opened.Store->Search({HistoryKind::Admin, "ban list", "", 0, 0, 20}))
        audit.push_back(row.Player + ": " + row.Text + ", " + row.Detail);
    EXPECT_EQ(audit,
              (Strings{"Cheater: ban list punt sent, the program wallhack command punt 1",
                       "Cheater: ban list announcement sent, the program wallhack gtalk Cheater is banned: "
                       "wallhack (1 hour left)",
                       "Cheater: ban list punt sent, the program wallhack command punt 1",
                       "Cheater: ban list announcement sent, the program wallhack gtalk Cheater is banned: "
                       "wallhack (1 hour left)"}));
}
