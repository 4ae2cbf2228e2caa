#include <gtest/gtest.h>

#include <string>

#include "DurableFile.h"
#include "ReportFakes.h"
#include "StatsFile.h"
#include "WebReporter.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

PlayerClass Player(const std::string& name, uint8_t team) {
    PlayerClass p;
    p.P_Name = name;
    p.P_Team = team;
    return p;
}

class StatsFileTest : public ::testing::Test {
protected:
    StatsFileTest() : http(clock), reporter(dir.Path(), settings, status, http, log) {
        settings.ServerCode = "QX1";
        settings.ImportURL = "http://stats.example.org/tovistats/import.php";
        status.MapName = "Jungle Siege";
        status.GameType = 1;
    }

    StatsFile Make() {
        return StatsFile(dir.Path(), settings, status, players, view, reporter, [this] {
            LocalTime t = now;
            ++now.Second;  // every reading of the clock is a second later
            return t;
        });
    }
    std::string Stats() const { return ReadBytes(dir / "stats.stats"); }

    TempFolder dir;
    Settings settings;
    ServerStatus status;
    PlayerTable players;
    FakeSettingsView view;
    VirtualScheduler clock;
    FakeHttpClient http;
    RecordingLog log;
    WebReporter reporter;
    LocalTime now{2004, 6, 12, 21, 5, 9};
};

}  // namespace

TEST_F(StatsFileTest, WritesTheServerLineAndPlayerLinesByteForByte) {
    PlayerClass bob = Player("Bob", 1);
    bob.P_Kills = 3;
    bob.P_Deaths = 2;
    bob.P_ExpPoints = 150;
    bob.P_TimePlayed = 600;
    players.Replace(bob);
    // A player who came back: each total is P_ + B_; a name may hold blanks.
    PlayerClass al = Player("Al the Great", 2);
    al.P_Kills = 4;
    al.B_Kills = 6;
    al.P_SdAdFriendlyZoneDefendKills = 1;
    al.B_TimePlayed = 35;
    al.P_TimePlayed = 5;
    al.P_Murders = -2;
    al.P_Ping = 999;  // not written
    players.Replace(al);
    // A match total of two 32-bit counters needs more than 32 bits.
    PlayerClass max = Player("Max", 0);
    max.P_ExpPoints = 2147483647;
    max.B_ExpPoints = 2147483647;
    players.Replace(max);

    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 7, 1805));
    EXPECT_EQ(Stats(),
              "ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|7|**QX**|2004-06-12 21:05:09|**QX**|1805\r\n"
              "  PlayerStats Bob&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n"
              "  PlayerStats Al the Great&end& 2 1 0 0 0 -2 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 40\r\n"
              "  PlayerStats Max&end& 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 4294967294 0 0\r\n");
}

TEST_F(StatsFileTest, BlocksFollowEachOtherOldestFirst) {
    StatsFile stats = Make();
    players.Replace(Player("Bob", 1));
    ASSERT_TRUE(stats.WriteStats(false, 1, 100));
    const std::string first = Stats();
    status.MapName = "Harbour";
    ASSERT_TRUE(stats.WriteStats(false, 2, 200));
    const std::string both = Stats();
    ASSERT_EQ(both.substr(0, first.size()), first);
    EXPECT_TRUE(both.substr(first.size()).starts_with("ServerInfo QX1|**QX**|Harbour|**QX**|TDM|**QX**|2|**QX**|"))
        << both;
    EXPECT_FALSE(fs::exists(TemporaryFileFor(dir / "stats.stats")));
}

TEST_F(StatsFileTest, EmptyTableEmptyCodeAndUnnamedGameType) {
    settings.ServerCode = "";
    status.GameType = 12;  // an entry of GameTypes without a name
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 255, -5));
    EXPECT_EQ(Stats(), "ServerInfo |**QX**|Jungle Siege|**QX**||**QX**|255|**QX**|2004-06-12 21:05:09|**QX**|-5\r\n");
}

TEST_F(StatsFileTest, AGameTypeOutsideTheTableWritesNothingAndUploadsNothing) {
    for (uint8_t type : {uint8_t{33}, uint8_t{255}}) {
        status.GameType = type;
        StatsFile stats = Make();
        EXPECT_FALSE(stats.WriteStats(true, 1, 10));
    }
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_TRUE(http.requests.empty());
    status.GameType = 32;  // the table's last entry is still in it
    StatsFile stats = Make();
    EXPECT_TRUE(stats.WriteStats(false, 1, 10));
}

TEST_F(StatsFileTest, ALongMapCycleWritesItsTrueTickCount) {
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 0, 32768));
    ASSERT_TRUE(stats.WriteStats(false, 0, 40000));
    const std::string text = Stats();
    EXPECT_NE(text.find("|**QX**|32768\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("|**QX**|40000\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("|**QX**|-"), std::string::npos) << text;
}

TEST_F(StatsFileTest, ControlCharactersInTextsAreWrittenAsBlanks) {
    players.Replace(Player("Evil\r\nServerInfo x", 1));
    players.Replace(Player("Tab\tBell\x07", 2));
    status.MapName = "Map\nTwo";
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 0, 1));
    const std::string text = Stats();
    EXPECT_NE(text.find("  PlayerStats Evil  ServerInfo x&end& 1 "), std::string::npos) << text;
    EXPECT_NE(text.find("  PlayerStats Tab Bell &end& 2 "), std::string::npos) << text;
    EXPECT_NE(text.find("|**QX**|Map Two|**QX**|"), std::string::npos) << text;
    // Three lines, each ending in CR LF, and no other line break.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
    // Bytes above 127 stay as they are.
    players.Clear();
    players.Replace(Player("J\xF6rg", 1));
    ASSERT_TRUE(stats.WriteStats(false, 0, 1));
    EXPECT_NE(Stats().find("PlayerStats J\xF6rg&end&"), std::string::npos);
}

TEST_F(StatsFileTest, TheArchiveIsMadeOnlyWhenAsked) {
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    EXPECT_FALSE(fs::exists(dir / "Archives"));

    view.boxes[SettingsBox::chkKeepArchive] = true;
    now = {2004, 6, 12, 21, 5, 9};
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    // The server line has the first reading of the clock, the archive's name the second.
    const fs::path archive = dir / "Archives" / "game2004-06-12_21.05.10.txt";
    ASSERT_TRUE(fs::exists(archive));
    const std::string block = ReadBytes(archive);
    EXPECT_TRUE(block.starts_with("ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09|"));
    EXPECT_TRUE(Stats().ends_with(block));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Archives"), fs::directory_iterator()), 1);
}

TEST_F(StatsFileTest, TwoMatchEndsInOneSecondShareTheArchiveFile) {
    view.boxes[SettingsBox::chkKeepArchive] = true;
    StatsFile stats(dir.Path(), settings, status, players, view, reporter, [] {
        return LocalTime{2010, 1, 2, 3, 4, 5};
    });
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    ASSERT_TRUE(stats.WriteStats(false, 2, 20));
    EXPECT_EQ(ReadBytes(dir / "Archives" / "game2010-01-02_03.04.05.txt"), Stats());
}

TEST_F(StatsFileTest, TheUploadStartsOnlyWhenAskedAndAfterEverythingIsWritten) {
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    EXPECT_TRUE(http.requests.empty());

    // An archive that cannot be made: the block waits in stats.stats, no upload.
    view.boxes[SettingsBox::chkKeepArchive] = true;
    WriteBytes(dir / "Archives", "a file where the folder should be");
    EXPECT_FALSE(stats.WriteStats(true, 2, 20));
    EXPECT_TRUE(http.requests.empty());
    EXPECT_NE(Stats().find("|**QX**|2|**QX**|"), std::string::npos);

    fs::remove(dir / "Archives");
    ASSERT_TRUE(stats.WriteStats(true, 3, 30));
    ASSERT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.Last().url, settings.ImportURL);
}

TEST_F(StatsFileTest, AStatsFileThatCannotBeWrittenStopsEverything) {
    fs::create_directory(dir / "stats.stats");  // a folder in the file's place
    view.boxes[SettingsBox::chkKeepArchive] = true;
    StatsFile stats = Make();
    EXPECT_FALSE(stats.WriteStats(true, 1, 10));
    EXPECT_FALSE(fs::exists(dir / "Archives"));
    EXPECT_TRUE(http.requests.empty());
}

TEST_F(StatsFileTest, ACrashDuringAWriteLeavesNoHalfBlockInFrontOfLaterOnes) {
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    const std::string first = Stats();
    // A crash while the next block was being written leaves its temporary file half full;
    // stats.stats itself was never touched.
    WriteBytes(TemporaryFileFor(dir / "stats.stats"), first + "ServerInfo QX1|**QX**|Jun");
    ASSERT_TRUE(stats.WriteStats(false, 2, 20));
    const std::string text = Stats();
    EXPECT_EQ(text.substr(0, first.size()), first);
    EXPECT_TRUE(text.substr(first.size()).starts_with("ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|2|"));
    EXPECT_EQ(text.find("Jun\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(TemporaryFileFor(dir / "stats.stats")));
}

TEST_F(StatsFileTest, AFileCutInsideABlockHasThatBlockMovedAside) {
    // As another program's crash or a full disk could leave it: one whole block, then a block
    // cut in the middle of its second player line.
    const std::string whole = "ServerInfo QX1|**QX**|A|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|9\r\n"
                              "  PlayerStats Bob&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n";
    const std::string cut = "ServerInfo QX1|**QX**|B|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:30:00|**QX**|9\r\n"
                            "  PlayerStats Al&end& 2 0 0 0 0 0 1 1 0 0 0 0 0 0 0 0 0 0 0 0 0 10 0 300\r\n"
                            "  PlayerStats Zed&end& 1 0 0 0";
    WriteBytes(dir / "stats.stats", whole + cut);
    StatsFile stats = Make();
    ASSERT_TRUE(stats.WriteStats(false, 3, 30));
    const std::string text = Stats();
    EXPECT_EQ(text.substr(0, whole.size()), whole);
    EXPECT_TRUE(text.substr(whole.size()).starts_with("ServerInfo QX1|**QX**|Jungle Siege|")) << text;
    // Nothing is thrown away: the unfinished block is kept for the operator.
    EXPECT_EQ(ReadBytes(stats.DamagedPath()), cut);

    // A whole file holding only a cut line goes aside whole.
    WriteBytes(dir / "stats.stats", "ServerInfo QX1|**QX**|C|**QX");
    ASSERT_TRUE(stats.WriteStats(false, 4, 40));
    EXPECT_TRUE(Stats().starts_with("ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|4|"));
    EXPECT_EQ(ReadBytes(stats.DamagedPath()), cut + "ServerInfo QX1|**QX**|C|**QX");
}

TEST(MakePath, CreatesEveryMissingFolderAboveTheFile) {
    TempFolder dir;
    MakePath(dir / "a" / "b" / "c" / "file.txt");
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
    EXPECT_FALSE(fs::exists(dir / "a" / "b" / "c" / "file.txt"));
    // A file in the way stops it silently; the write that follows is what fails.
    WriteBytes(dir / "x", "file");
    MakePath(dir / "x" / "y" / "file.txt");
    EXPECT_FALSE(fs::exists(dir / "x" / "y"));
    MakePath("file-without-folder.txt");  // nothing above it to make
}
