#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "DurableFile.h"
#include "ReportFakes.h"

using namespace tovi;
using namespace tovi::testing;

using StatsFileTest = ReportTest;

TEST_F(StatsFileTest, WritesTheServerLineAndPlayerLinesByteForByte) {
    players.Replace(
        {.P_Name = "Bob", .P_Team = 1, .P_Kills = 3, .P_Deaths = 2, .P_ExpPoints = 150, .P_TimePlayed = 600});
    // A player who came back: each total is P_ + B_; a name may hold blanks; the ping is not written.
    players.Replace({.P_Name = "Al the Great",
                     .P_Team = 2,
                     .P_SdAdFriendlyZoneDefendKills = 1,
                     .P_Ping = 999,
                     .P_Murders = -2,
                     .P_Kills = 4,
                     .P_TimePlayed = 5,
                     .B_Kills = 6,
                     .B_TimePlayed = 35});
    // A match total of two 32-bit counters needs more than 32 bits.
    players.Replace({.P_Name = "Max", .P_ExpPoints = 2147483647, .B_ExpPoints = 2147483647});
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 7, 1805));
    EXPECT_EQ(
        StatsOnDisk(),
        "ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|7|**QX**|2004-06-12 21:05:09|**QX**|1805\r\n"
        "  PlayerStats Bob&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n"
        "  PlayerStats Al the Great&end& 2 1 0 0 0 -2 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 40\r\n"
        "  PlayerStats Max&end& 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 4294967294 0 0\r\n");
}

TEST_F(StatsFileTest, AnEmptyTableWritesTheServerLineAloneWithItsTrueTickCount) {
    settings.ServerCode = "";
    status.GameType = 12;  // an entry of GameTypes without a name
    ASSERT_TRUE(Writer().WriteStats(false, 255, 32768));
    EXPECT_EQ(
        StatsOnDisk(),
        "ServerInfo |**QX**|Jungle Siege|**QX**||**QX**|255|**QX**|2004-06-12 21:05:09|**QX**|32768\r\n");
    // A result that could not be read is left empty, never written as 0.
    ASSERT_TRUE(Writer().WriteStats(false, std::nullopt, 7));
    EXPECT_TRUE(StatsOnDisk().ends_with("||**QX**||**QX**|2004-06-12 21:05:10|**QX**|7\r\n")) << StatsOnDisk();
}

TEST_F(StatsFileTest, AGameTypeOutsideTheTableWritesNothingAndUploadsNothing) {
    status.GameType = 33;
    EXPECT_FALSE(Writer().WriteStats(true, 1, 10));
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_TRUE(http.requests.empty());
    status.GameType = 32;  // the table's last entry is still in it
    EXPECT_TRUE(Writer().WriteStats(false, 1, 10));
}

TEST_F(StatsFileTest, ControlCharactersInTextsAreWrittenAsBlanks) {
    players.Replace({.P_Name = "Evil\r\nServerInfo x", .P_Team = 1});
    players.Replace({.P_Name = "Tab\tBell\x07\xF6", .P_Team = 2});  // bytes above 127 stay as they are
    status.MapName = "Map\nTwo";
    settings.ServerCode = "QX\r1";
    ASSERT_TRUE(Writer().WriteStats(false, 0, 1));
    const std::string text = StatsOnDisk();
    EXPECT_NE(text.find("  PlayerStats Evil  ServerInfo x&end& 1 "), std::string::npos) << text;
    EXPECT_NE(text.find("  PlayerStats Tab Bell \xF6&end& 2 "), std::string::npos) << text;
    EXPECT_TRUE(text.starts_with("ServerInfo QX 1|**QX**|Map Two|**QX**|")) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
}

TEST_F(StatsFileTest, TheArchiveIsMadeOnlyWhenAskedAndTakesEveryBlockOfItsSecond) {
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    EXPECT_FALSE(fs::exists(dir / "Archives"));

    view.boxes[SettingsBox::chkKeepArchive] = true;
    now = {2004, 6, 12, 21, 5, 9};
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    // The server line has the first reading of the clock, the archive's name the second.
    const fs::path archive = dir / "Archives" / "game2004-06-12_21.05.10.txt";
    const std::string block = ReadBytes(archive);
    EXPECT_TRUE(block.starts_with(
        "ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09|"));
    EXPECT_TRUE(StatsOnDisk().ends_with(block));

    // A second match end in the same second adds to that file.
    now = {2004, 6, 12, 21, 5, 9};
    ASSERT_TRUE(stats.WriteStats(false, 2, 20));
    EXPECT_EQ(ReadBytes(archive), StatsOnDisk().substr(StatsOnDisk().size() - 2 * block.size()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Archives"), fs::directory_iterator()), 1);
}

TEST_F(StatsFileTest, AHalfWrittenBlockNeverStandsInFrontOfLaterOnes) {
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    const std::string first = StatsOnDisk();
    // A crash while the next block was being written leaves its temporary file half full;
    // stats.stats itself was never touched.
    WriteBytes(TemporaryFileFor(dir / "stats.stats"), first + "ServerInfo QX1|**QX**|Jun");
    ASSERT_TRUE(stats.WriteStats(false, 2, 20));
    const std::string text = StatsOnDisk();
    EXPECT_EQ(text.substr(0, first.size()), first);
    EXPECT_TRUE(
        text.substr(first.size()).starts_with("ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|2|"));
    EXPECT_FALSE(fs::exists(TemporaryFileFor(dir / "stats.stats")));

    // A file cut inside a block, as another program's crash or a full disk could leave it: the
    // unfinished block is moved aside for the operator, not thrown away.
    const std::string cut =
        "ServerInfo QX1|**QX**|B|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:30:00|**QX**|9\r\n"
        "  PlayerStats Zed&end& 1 0 0 0";
    WriteBytes(dir / "stats.stats", text + cut);
    ASSERT_TRUE(stats.WriteStats(false, 3, 30));
    EXPECT_EQ(StatsOnDisk().substr(0, text.size()), text);
    EXPECT_TRUE(StatsOnDisk().substr(text.size()).starts_with("ServerInfo QX1|**QX**|Jungle Siege|"))
        << StatsOnDisk();
    EXPECT_EQ(ReadBytes(stats.DamagedPath()), cut);
}
