#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <csignal>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#endif

#include "DurableFile.h"
#include "ReportFakes.h"
#include "StatsFile.h"
#include "UnsavedStats.h"
#include "DataFolderLock.h"
#include <sstream>

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

TEST_F(StatsFileTest, AnEmptyTableWritesTheServerLineAloneAndAGameTypeOutsideTheTableNothing) {
    settings.ServerCode = "";
    status.GameType = 32;  // the table's last entry, without a name
    ASSERT_TRUE(Writer().WriteStats(false, 255, 32768));
    EXPECT_EQ(
        StatsOnDisk(),
        "ServerInfo |**QX**|Jungle Siege|**QX**||**QX**|255|**QX**|2004-06-12 21:05:09|**QX**|32768\r\n");
    // A result that could not be read is left empty, never written as 0.
    ASSERT_TRUE(Writer().WriteStats(false, std::nullopt, 7));
    EXPECT_TRUE(StatsOnDisk().ends_with("||**QX**||**QX**|2004-06-12 21:05:10|**QX**|7\r\n")) << StatsOnDisk();

    fs::remove(dir / "stats.stats");
    status.GameType = 33;
    EXPECT_FALSE(Writer().WriteStats(true, 1, 10));
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_TRUE(http.requests.empty());
    EXPECT_EQ(log.lines,
              Strings{"Stats of this match not written: game type 33 is not one the stats service takes"});
}

TEST_F(StatsFileTest, TheArchiveIsMadeOnlyWhenAskedAndTakesEveryBlockOfItsSecond) {
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    EXPECT_FALSE(fs::exists(dir / "Archives"));

    other.KeepArchive = true;
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

TEST_F(StatsFileTest, ControlBytesAndSeparatorsInTextsAreBlankedSoEveryLineReadsOneWay) {
    settings.ServerCode = "A|**QX**";      // would run on into the tag that follows it
    status.MapName = "**QX**|x|**QX**|y\n";  // with the tag before it: "|**QX**|**QX**|x..."
    players.Replace({.P_Name = "Bob&end& 1 2", .P_Team = 1});
    players.Replace({.P_Name = "Al&end", .P_Team = 2});  // with the closing tag: "Al&end&end& "
    players.Replace({.P_Name = "Tom&Jerry", .P_Team = 1});
    players.Replace({.P_Name = "Evil\r\nServerInfo x", .P_Team = 1});
    players.Replace({.P_Name = "Tab\tBell\x07\xF6", .P_Team = 2});  // bytes above 127 stay as they are
    ASSERT_TRUE(Writer().WriteStats(false, 0, 1));
    const std::string text = StatsOnDisk();
    EXPECT_TRUE(text.starts_with("ServerInfo A **QX**|**QX**| *QX**|x **QX**|y |**QX**|TDM|")) << text;
    for (const char* line : {"Bob end& 1 2&end& 1 ", "Al end&end& 2 ", "Tom&Jerry&end& 1 ",
                             "Evil  ServerInfo x&end& 1 ", "Tab Bell \xF6&end& 2 "})
        EXPECT_NE(text.find("\r\n  PlayerStats " + std::string(line)), std::string::npos) << line;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 6);
    const std::string server = text.substr(0, text.find("\r\n"));
    size_t tags = 0;
    for (size_t at = server.find("|**QX**|"); at != std::string::npos; at = server.find("|**QX**|", at + 1))
        ++tags;
    EXPECT_EQ(tags, 5u);
}

TEST_F(StatsFileTest, AWriteAppendsTheBlockAndLeavesWhatItDidNotMakeAlone) {
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    const std::string first = StatsOnDisk();
    // Anything of the temporary file's name belongs to someone else: it stays, and the block is
    // appended to the file as it is: a second name of the file sees it, a file put in its
    // place would not.
    fs::create_directory(dir / "stats.stats.tovistats.tmp");
    fs::create_hard_link(dir / "stats.stats", dir / "watch");
    ASSERT_TRUE(stats.WriteStats(false, 2, 20));
    EXPECT_TRUE(fs::is_directory(dir / "stats.stats.tovistats.tmp"));
    EXPECT_EQ(ReadBytes(dir / "watch"), StatsOnDisk());
    EXPECT_TRUE(StatsOnDisk().starts_with(first));
    EXPECT_TRUE(StatsOnDisk()
                    .substr(first.size())
                    .starts_with("ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|2|"));
    EXPECT_TRUE(dialogs.warnings.empty());
}

TEST_F(StatsFileTest, NoCutOfTheFileEverTakesACompleteBlockOutOfTheQueue) {
    players.Replace({.P_Name = "Bob", .P_Team = 1, .P_Kills = 3});
    players.Replace({.P_Name = "Al", .P_Team = 2});
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    const size_t firstBlock = StatsOnDisk().size();
    ASSERT_TRUE(stats.WriteStats(false, 2, 20));
    const std::string whole = StatsOnDisk();
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        const std::string content = whole.substr(0, cut);
        const size_t kept = CompleteStatsLength(content);
        SCOPED_TRACE(cut);
        ASSERT_LE(kept, cut);
        if (cut >= firstBlock) {
            ASSERT_GE(kept, firstBlock);
        }
        ASSERT_TRUE(kept == 0 || content.substr(0, kept).ends_with("\r\n"));
        if (content.empty() || content.ends_with("\r\n")) {
            ASSERT_EQ(kept, cut);
        }
    }

    // Through the file: a cut in the first bytes of a server line moves only those bytes aside,
    // and the operator hears of it; the next block follows the complete ones.
    WriteBytes(dir / "stats.stats", whole + "Ser");
    ASSERT_TRUE(stats.WriteStats(false, 3, 30));
    EXPECT_EQ(StatsOnDisk().substr(0, whole.size()), whole);
    EXPECT_TRUE(StatsOnDisk().substr(whole.size()).starts_with("ServerInfo QX1|"));
    EXPECT_EQ(ReadBytes(stats.DamagedPath()), "Ser");
    ASSERT_EQ(dialogs.warnings.size(), 1u);
    EXPECT_NE(dialogs.warnings[0].find("stats.stats.damaged"), std::string::npos);

    // A cut player line takes its unfinished block aside, from its server line on.
    const std::string cut =
        "ServerInfo QX1|**QX**|B|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:30:00|**QX**|9\r\n"
        "  PlayerStats Zed&end& 1 0 0 0";
    const std::string before = StatsOnDisk();
    WriteBytes(dir / "stats.stats", before + cut);
    EXPECT_TRUE(stats.Recover());
    EXPECT_EQ(StatsOnDisk(), before);
    EXPECT_EQ(ReadBytes(stats.DamagedPath()), "Ser" + cut);
}

TEST_F(StatsFileTest, WhatAStoppedRunWasWritingNeitherBlocksTheQueueNorOutlivesTheNextStart) {
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    // A run killed while it rewrote the upload's record, and one of an earlier version; a folder
    // of the temporary files' name is not the program's own.
    for (const char* name : {"stats.stats.upload.tovistats.tmp", "stats.stats.upload.tmp", "stats.stats.tmp"})
        WriteBytes(dir / name, "sending 0 9");
    fs::create_directory(dir / "notes.tovistats.tmp");
    EXPECT_TRUE(stats.Recover());
    for (const char* name : {"stats.stats.upload.tovistats.tmp", "stats.stats.upload.tmp", "stats.stats.tmp"})
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::is_directory(dir / "notes.tovistats.tmp"));

    // Killed again mid-record: the next upload records its batch all the same and is delivered.
    WriteBytes(dir / "stats.stats.upload.tovistats.tmp", "sending 0");
    ASSERT_TRUE(stats.WriteStats(true, 2, 20));
    ASSERT_EQ(http.requests.size(), 1u);
    EXPECT_EQ(ReadBytes(dir / "stats.stats.upload").substr(0, 10), "sending 0 ");
    http.Answer("ok");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    for (const std::string& line : log.lines) EXPECT_EQ(line.find("in the way"), std::string::npos) << line;

    // A batch whose record cannot be written is not sent: after a restart it could go again cut
    // otherwise, under another id. It goes, with the next match, once the record can be written.
    fs::create_directory(dir / "stats.stats.upload");
    ASSERT_TRUE(stats.WriteStats(true, 3, 30));
    EXPECT_EQ(http.requests.size(), 1u);
    EXPECT_TRUE(log.lines.back().starts_with("Stats upload not sent: ")) << log.lines.back();
    fs::remove(dir / "stats.stats.upload");
    ASSERT_TRUE(stats.WriteStats(true, 4, 40));
    ASSERT_EQ(http.requests.size(), 2u);
    http.Answer("ok");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
}

TEST_F(StatsFileTest, AMatchEndIsOnDiskFromTheScoreScreenOnAndAStopAtAnyStepQueuesItOnce) {
    players.Replace({.P_Name = "Bob", .P_Team = 1, .P_Kills = 3});
    auto blocks = [this] {
        const std::string text = StatsOnDisk();
        int count = 0;
        for (size_t at = text.find("ServerInfo "); at != std::string::npos; at = text.find("ServerInfo ", at + 1)) ++count;
        return count;
    };
    // Stopped during the pause: the match as last read is queued, without a result, and said to be.
    {
        StatsFile stats = Writer();
        stats.NoteMatchEnd(10);
        EXPECT_TRUE(fs::exists(stats.UnfinishedPath()));
        EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    }
    {
        StatsFile next = Writer();
        ASSERT_TRUE(next.Recover());
        EXPECT_FALSE(fs::exists(next.UnfinishedPath()));
        EXPECT_NE(StatsOnDisk().find("|**QX**|TDM|**QX**||**QX**|"), std::string::npos) << StatsOnDisk();
        EXPECT_NE(log.lines.back().find("final scores could not be read"), std::string::npos) << log.lines.back();
        // A restart that finds nothing noted adds nothing.
        ASSERT_TRUE(next.Recover());
        EXPECT_EQ(blocks(), 1);
    }
    // Completed: the final block alone is queued and the note goes.
    fs::remove(dir / "stats.stats");
    StatsFile stats = Writer();
    stats.NoteMatchEnd(10);
    ASSERT_TRUE(stats.WriteStats(false, 2, 10));
    EXPECT_FALSE(fs::exists(stats.UnfinishedPath()));
    ASSERT_TRUE(stats.Recover());
    EXPECT_EQ(blocks(), 1);
    EXPECT_NE(StatsOnDisk().find("|**QX**|TDM|**QX**|2|**QX**|"), std::string::npos);

    // Stopped after the completed match was queued but before its note went: nothing doubles.
    const std::string queued = StatsOnDisk();
    WriteBytes(stats.UnfinishedPath(), "finished\r\n" + queued);
    ASSERT_TRUE(stats.Recover());
    EXPECT_EQ(StatsOnDisk(), queued);
    // ... and before it was queued: it is queued once.
    fs::remove(dir / "stats.stats");
    WriteBytes(stats.UnfinishedPath(), "finished\r\n" + queued);
    ASSERT_TRUE(stats.Recover());
    EXPECT_EQ(StatsOnDisk(), queued);
    EXPECT_FALSE(fs::exists(stats.UnfinishedPath()));
    // A note cut by a crash is kept aside, never sent.
    WriteBytes(stats.UnfinishedPath(), "unfinished\r\nServerInfo QX1|**QX**|Cu");
    ASSERT_TRUE(stats.Recover());
    EXPECT_EQ(StatsOnDisk(), queued);
    EXPECT_NE(ReadBytes(stats.DamagedPath()).find("Cu"), std::string::npos);

    // The completed match kept in memory (the file refuses it): the note stays until memory's
    // copy is saved, so a kill meanwhile still leaves the match on disk.
    fs::remove(dir / "stats.stats");
    fs::create_directory(dir / "stats.stats");
    stats.SetRetryIntervalMs(1000);
    stats.NoteMatchEnd(30);
    EXPECT_FALSE(stats.WriteStats(false, 3, 30));
    EXPECT_TRUE(ReadBytes(stats.UnfinishedPath()).starts_with("finished\r\nServerInfo"));
    fs::remove(dir / "stats.stats");
    clock.Advance(1000);
    EXPECT_EQ(stats.PendingBlocks(), 0u);
    EXPECT_FALSE(fs::exists(stats.UnfinishedPath()));
    EXPECT_EQ(blocks(), 1);
}

TEST_F(StatsFileTest, AMatchLargerThanASlowLinkCarriesInTheDeadlineGetsTheTimeItNeeds) {
    std::string block = "ServerInfo QX1|**QX**|M|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|9\r\n";
    while (block.size() < 600'000) block += "  PlayerStats Comer&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n";
    WriteBytes(dir / "stats.stats", block);
    reporter.UploadStats();
    ASSERT_EQ(http.requests.size(), 1u);
    // At 2,000 bytes a second (16 kbit/s), however long the usual deadline.
    EXPECT_EQ(http.Last().timeoutMs, static_cast<int>(http.Last().body.size() / 2));
    http.Answer("ok");
    ASSERT_TRUE(Writer().WriteStats(true, 1, 10));
    EXPECT_EQ(http.Last().timeoutMs, reporter.TransferTimeoutMs());
}

TEST_F(StatsFileTest, AStopKeepsTheMatchesMemoryHoldsWhereTheNextStartOrTheOperatorFindsThem) {
    players.Replace({.P_Name = "Ren\xE9 100%", .P_Team = 1, .P_Kills = 3});
    fs::create_directory(dir / "stats.stats");  // takes nothing
    const fs::path outside = dir / "outside";
    {
        StatsFile stats = Writer();
        stats.SetUnsavedFolder(outside);
        EXPECT_FALSE(stats.WriteStats(false, 1, 10));
        EXPECT_FALSE(stats.WriteStats(false, 2, 20));
        stats.KeepBeforeStop();
        EXPECT_EQ(stats.PendingBlocks(), 0u);
        EXPECT_NE(log.lines.back().find("queued again at the next start"), std::string::npos) << log.lines.back();
    }
    // The next start, the folder writable again, queues both in order and leaves no file behind.
    fs::remove(dir / "stats.stats");
    StatsFile next = Writer();
    next.SetUnsavedFolder(outside);
    ASSERT_TRUE(next.Recover());
    const std::string queued = StatsOnDisk();
    EXPECT_EQ(std::count(queued.begin(), queued.end(), '\n'), 4) << queued;
    EXPECT_NE(queued.find("|**QX**|1|"), std::string::npos);
    EXPECT_LT(queued.find("|**QX**|1|"), queued.find("|**QX**|2|"));
    EXPECT_TRUE(UnsavedFiles(dir.Path(), outside).empty());

    // Neither folder takes a file: the blocks become log lines that read back byte for byte,
    // whatever the log puts before them.
    WriteBytes(dir / "plain", "a file, not a folder");
    const UnsavedOutcome logged = KeepUnsaved({queued}, dir / "plain" / "data", dir / "plain" / "out", "1");
    ASSERT_TRUE(logged.Where.empty());
    std::string journal;
    for (const std::string& line : logged.LogLines) journal += "Dec 07 tovistats[42]: " + line + "\n";
    bool cut = true;
    std::vector<std::string> back = RecoveredBlocks(journal, cut);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0] + back[1], queued);
    EXPECT_FALSE(cut);
    // A stats file's unfinished last match is left out, and said to be.
    back = RecoveredBlocks(queued + "ServerInfo QX1|**QX**|Cut", cut);
    EXPECT_EQ(back.size(), 2u);
    EXPECT_TRUE(cut);

    // tovistats --recover queues them, but never beside a running copy.
    const fs::path folder = dir / "recovered";
    fs::create_directory(folder);
    WriteBytes(dir / "journal.txt", journal);
    std::ostringstream out, err;
    {
        DataFolderLock running;
        std::string error;
        bool inUse = false;
        ASSERT_TRUE(running.Acquire(folder, error, inUse)) << error;
        EXPECT_EQ(RecoverStats({"--recover", (dir / "journal.txt").string(), "--data-dir", folder.string()}, "", out,
                               err),
                  1);
        EXPECT_FALSE(fs::exists(folder / "stats.stats"));
    }
    EXPECT_EQ(RecoverStats({"--recover", (dir / "journal.txt").string(), "--data-dir", folder.string()}, "", out, err),
              0)
        << err.str();
    EXPECT_EQ(ReadBytes(folder / "stats.stats"), queued);
    EXPECT_NE(out.str().find("2 matches are queued"), std::string::npos) << out.str();
}

TEST_F(StatsFileTest, AMatchTheServiceRefusesForGoodIsSetAsideAndTheQueueGoesOn) {
    std::vector<std::string> told;
    reporter.SetOnRejected([&](const std::string& reason, const std::string& where) { told.push_back(reason + " in " + where); });
    StatsFile stats = Writer();
    for (uint8_t result = 1; result <= 3; ++result) ASSERT_TRUE(stats.WriteStats(false, result, 10));
    ASSERT_TRUE(stats.WriteStats(true, 4, 10));
    ASSERT_EQ(http.requests.size(), 1u);
    // Refused whole: the matches go one at a time, and only the one refused is set aside, with
    // the service's words; those before and after it are delivered.
    http.Refuse(400, "too many player lines");
    EXPECT_NE(log.lines.back().find("the service says: too many player lines"), std::string::npos) << log.lines.back();
    for (int match = 1; match <= 4; ++match) {
        ASSERT_EQ(http.requests.size(), static_cast<size_t>(match + 1));
        if (match == 2) {
            http.Refuse(422, "");
        } else {
            http.Answer("ok");
        }
    }
    EXPECT_EQ(http.requests.size(), 5u);
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(dir / "Rejected")) aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 2u);
    std::sort(aside.begin(), aside.end());
    const std::string refused = ReadBytes(aside[0]);
    EXPECT_NE(refused.find("|**QX**|2|"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("ServerInfo", 1), std::string::npos) << "one match only";
    EXPECT_EQ(ReadBytes(aside[1]), "HTTP 422\r\n");
    EXPECT_EQ(told, std::vector<std::string>{"HTTP 422 in " + PathText(aside[0])});
    EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                            [](const std::string& line) { return line.find("it is set aside in") != std::string::npos; }),
              1);
}

TEST_F(StatsFileTest, AMatchThatCannotBeWrittenIsKeptAndWrittenInOrderWhenTheFileWorksAgain) {
    other.KeepArchive = true;
    WriteBytes(dir / "Archives", "a plain file where the folder should be");
    StatsFile stats = Writer();
    stats.SetRetryIntervalMs(1000);
    std::vector<size_t> savedLater;
    stats.SetOnSavedLater([&](size_t matches) { savedLater.push_back(matches); });
    ASSERT_TRUE(stats.WriteStats(true, 1, 10));
    EXPECT_FALSE(stats.LastBlockKept());
    // The archive's failure is logged and holds back neither the stats file nor the upload.
    EXPECT_EQ(http.requests.size(), 1u);
    EXPECT_TRUE(log.lines.back().starts_with("No archive copy of this match: ")) << log.lines.back();
    http.Answer("ok");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));

    // stats.stats becomes a folder: two matches are kept, the operator is warned once.
    fs::create_directory(dir / "stats.stats");
    EXPECT_FALSE(stats.WriteStats(true, 2, 20));
    EXPECT_FALSE(stats.WriteStats(true, 3, 30));
    EXPECT_TRUE(stats.LastBlockKept());
    EXPECT_EQ(stats.PendingBlocks(), 2u);
    EXPECT_EQ(dialogs.warnings.size(), 1u);
    EXPECT_NE(dialogs.warnings[0].find("kept in memory"), std::string::npos) << dialogs.warnings[0];
    EXPECT_EQ(http.requests.size(), 1u);  // nothing on disk to send
    clock.Advance(1000);
    EXPECT_EQ(stats.PendingBlocks(), 2u);

    // The folder goes: the next retry writes both, oldest first, says so and uploads them.
    fs::remove(dir / "stats.stats");
    EXPECT_TRUE(savedLater.empty());
    clock.Advance(1000);
    EXPECT_EQ(stats.PendingBlocks(), 0u);
    EXPECT_EQ(savedLater, std::vector<size_t>{2});
    const std::string text = StatsOnDisk();
    const size_t second = text.find("|**QX**|2|**QX**|");
    EXPECT_NE(second, std::string::npos);
    EXPECT_LT(second, text.find("|**QX**|3|**QX**|"));
    EXPECT_EQ(dialogs.notices.size(), 1u);
    EXPECT_NE(dialogs.notices[0].find("can be written again"), std::string::npos);
    EXPECT_EQ(UploadedFile(http.Last().body), text);
}

#ifndef _WIN32
namespace {

int g_steps = 0;
int g_killAt = 0;
void KillAtStep(const char*) {
    if (++g_steps == g_killAt) _exit(3);
}

// Each stats block of a stats file.
std::vector<std::string> Blocks(const std::string& stats) {
    std::vector<std::string> blocks;
    for (size_t at = stats.find("ServerInfo "); at != std::string::npos;) {
        const size_t next = stats.find("ServerInfo ", at + 1);
        blocks.push_back(stats.substr(at, next - at));
        at = next;
    }
    return blocks;
}

}  // namespace

// The program killed before every step that changes a file, and halfway through every write,
// while three matches end and go to a service that stores each upload before it answers (and is
// down for one): restarted, it delivers every match it had noted, each stored once: never under
// two ids, never as both its noted and its completed block.
TEST_F(StatsFileTest, AKillAtAnyStepOfAnyFileChangeLosesNoMatchAndStoresNoneUnderTwoIds) {
    players.Replace({.P_Name = "Bob", .P_Team = 1, .P_Kills = 3});
    TempFolder outside;
    const fs::path taken = outside / "taken";
    const fs::path progress = outside / "progress";
    auto serve = [&](FakeHttpClient& client) {
        for (int i = 0; i < 20 && client.Busy(); ++i) {
            std::string id;
            for (const auto& [name, value] : client.Last().headers)
                if (name == kUploadIdHeader) id = value;
            std::ofstream(taken, std::ios::app | std::ios::binary) << id << ' ' << client.Last().body << '\n';
            client.Answer("ok");
        }
    };
    bool finished = false;
    for (g_killAt = 1; !finished && g_killAt < 500; ++g_killAt) {
        SCOPED_TRACE("killed at step " + std::to_string(g_killAt));
        for (const auto& entry : fs::directory_iterator(dir.Path())) fs::remove_all(entry.path());
        fs::remove(taken);
        fs::remove(progress);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            g_steps = 0;
            SetFileStepHook(KillAtStep);
            StatsFile stats = Writer();
            stats.Recover();
            for (int k = 1; k <= 3; ++k) {
                stats.NoteMatchEnd(k * 10);
                std::ofstream(progress, std::ios::app) << k << '\n';
                stats.WriteStats(true, static_cast<uint8_t>(k), k * 10);
                if (k == 2 && http.Busy()) http.Fail("down");
                serve(http);
            }
            _exit(0);
        }
        int exit = 0;
        ASSERT_EQ(waitpid(child, &exit, 0), child);
        ASSERT_TRUE(WIFEXITED(exit));
        finished = WEXITSTATUS(exit) == 0;

        // The restart delivers whatever waits.
        FakeHttpClient client(clock);
        WebReporter restarted(dir.Path(), settings, status, client, log, TestDigest);
        {
            StatsFile stats(dir.Path(), settings, status, players, other, restarted, log, dialogs, clock,
                            [this] { return now; });
            ASSERT_TRUE(stats.Recover());
            for (int i = 0; i < 5 && fs::exists(dir / "stats.stats"); ++i) {
                restarted.UploadStats();
                serve(client);
            }
        }
        EXPECT_FALSE(fs::exists(dir / "stats.stats"));
        EXPECT_FALSE(fs::exists(dir / "stats.stats.unfinished"));

        // What the service stored: each id once.
        std::map<std::string, std::string> stored;
        std::ifstream in(taken, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            stored.emplace(line.substr(0, line.find(' ')), UploadedFile(line.substr(line.find(' ') + 1)));
        std::map<std::string, int> copiesOfMatch;  // by its tick count, the server line's last field
        for (const auto& [id, stats] : stored)
            for (const std::string& block : Blocks(stats))
                ++copiesOfMatch[block.substr(block.rfind("|**QX**|") + 8, block.find("\r\n") - block.rfind("|**QX**|") - 8)];
        for (const auto& [ticks, copies] : copiesOfMatch) EXPECT_EQ(copies, 1) << "the match of " << ticks << " ticks";
        std::ifstream noted(progress);
        for (int k = 0; noted >> k;) EXPECT_EQ(copiesOfMatch.count(std::to_string(k * 10)), 1u) << "match " << k;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_TRUE(finished);
}

namespace {

// File work held until the test lets it run: the event loop's side between a hand-over and the
// disk, as with the program's thread that waits for the disk.
class HeldFileWork : public FileWork {
public:
    void Run(std::function<void()> work, std::function<void()> answer) override {
        m_held.emplace_back(std::move(work), std::move(answer));
    }
    void Finish() override {
        while (!m_held.empty()) Next(true);
    }
    // Runs the oldest piece, and its answer when `answer`.
    void Next(bool answer) {
        auto [work, then] = std::move(m_held.front());
        m_held.pop_front();
        work();
        if (answer) then();
    }
    size_t Held() const { return m_held.size(); }

private:
    std::deque<std::pair<std::function<void()>, std::function<void()>>> m_held;
};

}  // namespace

// The upload of a match's stats starts only once its write is on the disk, and cuts its batch
// after every write handed over before it; a stop finishes what was handed over. A kill while a
// write waits loses only a match never reported as saved; a kill once it is written, before the
// upload, loses nothing.
TEST_F(StatsFileTest, TheUploadStartsOnlyOnceTheWriteIsOnTheDiskAndAKillBetweenLosesNothing) {
    players.Replace({.P_Name = "Bob", .P_Team = 1, .P_Kills = 3});
    {
        HeldFileWork work;
        WebReporter held(dir.Path(), settings, status, http, log, TestDigest, work);
        StatsFile stats(dir.Path(), settings, status, players, other, held, log, dialogs, clock,
                        [this] { return now; }, work);
        std::vector<bool> heard;
        EXPECT_FALSE(stats.WriteStats(true, 1, 10, [&](bool written) { heard.push_back(written); }));
        EXPECT_FALSE(fs::exists(dir / "stats.stats"));
        EXPECT_EQ(stats.PendingBlocks(), 1u);
        EXPECT_TRUE(heard.empty());
        // A second match end while the first write waits goes behind it, in a write of its own.
        stats.WriteStats(true, 2, 20, [&](bool written) { heard.push_back(written); });
        ASSERT_EQ(work.Held(), 1u);
        work.Next(true);
        EXPECT_EQ(heard, std::vector<bool>{true});
        EXPECT_FALSE(http.Busy());
        ASSERT_EQ(work.Held(), 2u);  // the second write, then the upload's cut behind it
        work.Next(true);
        EXPECT_EQ(heard, (std::vector<bool>{true, true}));
        EXPECT_FALSE(http.Busy());
        work.Next(true);
        ASSERT_TRUE(http.Busy());
        EXPECT_EQ(UploadedFile(http.Last().body), StatsOnDisk());
        EXPECT_EQ(Blocks(StatsOnDisk()).size(), 2u);
        // Confirmed: the batch leaves the file through the work as well.
        http.Answer("ok");
        EXPECT_TRUE(fs::exists(dir / "stats.stats"));
        work.Finish();
        EXPECT_FALSE(fs::exists(dir / "stats.stats"));
        // A stop with a write handed over finishes it.
        stats.WriteStats(false, 3, 30);
        stats.KeepBeforeStop();
        EXPECT_EQ(stats.PendingBlocks(), 0u);
        EXPECT_NE(StatsOnDisk().find("|**QX**|30\r\n"), std::string::npos);
    }
    for (const bool written : {false, true}) {
        SCOPED_TRACE(written ? "killed after the write" : "killed while the write waits");
        for (const auto& entry : fs::directory_iterator(dir.Path())) fs::remove_all(entry.path());
        TempFolder outside;
        const fs::path saved = outside / "saved";
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            HeldFileWork work;
            WebReporter held(dir.Path(), settings, status, http, log, TestDigest, work);
            StatsFile stats(dir.Path(), settings, status, players, other, held, log, dialogs, clock,
                            [this] { return now; }, work);
            stats.NoteMatchEnd(40);
            work.Next(true);
            stats.WriteStats(true, 4, 40, [&](bool ok) {
                if (ok) std::ofstream(saved) << "saved";
            });
            if (written) work.Next(true);
            _exit(0);  // the kill: nothing runs after this, no destructor either
        }
        int exit = 0;
        ASSERT_EQ(waitpid(child, &exit, 0), child);
        ASSERT_TRUE(WIFEXITED(exit));
        EXPECT_EQ(fs::exists(saved), written);
        FakeHttpClient client(clock);
        WebReporter restarted(dir.Path(), settings, status, client, log, TestDigest);
        StatsFile stats(dir.Path(), settings, status, players, other, restarted, log, dialogs, clock,
                        [this] { return now; });
        ASSERT_TRUE(stats.Recover());
        restarted.UploadStats();
        ASSERT_TRUE(client.Busy());
        const std::string sent = UploadedFile(client.Last().body);
        // Written, the final scores go; else the scores noted at the score screen do, and once.
        EXPECT_EQ(Blocks(sent).size(), 1u);
        EXPECT_NE(sent.find(written ? "|**QX**|4|**QX**|" : "|**QX**||**QX**|"), std::string::npos) << sent;
    }
}

TEST_F(StatsFileTest, AFullDiskLeavesNoPartOfTheBlockAndTheNextMatchEndWritesItFirst) {
    StatsFile stats = Writer();
    ASSERT_TRUE(stats.WriteStats(false, 1, 10));
    const std::string first = StatsOnDisk();
    // The file may not grow past a few bytes more: the block is written in part, then cut back.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = first.size() + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = stats.WriteStats(false, 2, 20);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(written);
    EXPECT_EQ(StatsOnDisk(), first);
    EXPECT_EQ(stats.PendingBlocks(), 1u);
    // Only the match kept before is saved later: the one ending now is written as it ends.
    std::vector<size_t> savedLater;
    stats.SetOnSavedLater([&](size_t matches) { savedLater.push_back(matches); });
    EXPECT_TRUE(stats.WriteStats(false, 3, 30));
    EXPECT_EQ(savedLater, std::vector<size_t>{1});
    const std::string text = StatsOnDisk();
    EXPECT_TRUE(
        text.substr(first.size()).starts_with("ServerInfo QX1|**QX**|Jungle Siege|**QX**|TDM|**QX**|2|"));
    EXPECT_LT(text.find("|**QX**|2|**QX**|"), text.find("|**QX**|3|**QX**|"));
    EXPECT_EQ(dialogs.notices.size(), 1u);
}
#endif
