#include <gtest/gtest.h>

#include <string>

#include "ReportFakes.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class WebReporterTest : public ReportTest {
protected:
    WebReporterTest() {
        status.State = 3;
        status.Dedicated = true;
        status.MaxPlayers = 32;
        status.ServerName = "Caf\xE9 Server";
        status.CountryCode = "D&";
        status.Expansion = "EOC";
        status.ServerMessage = "\xFB\xFF";
        status.PlayerCount = 2;
        status.PlayerNames = "Bob\r\nAl \xC9migr\xE9";
        status.PlayerTeams = "1\r\n2";
    }
};

}  // namespace

TEST_F(WebReporterTest, TheStatusReportCarriesThirteenFieldsInOrderEachPercentEncoded) {
    settings.ServerCode = "Q&X=1 +";  // a field boundary, a blank and a "+" to a form parser
    reporter.SendStatusReport();
    ASSERT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.Last().url, settings.UpdateURL);
    EXPECT_EQ(http.Last().contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(http.Last().timeoutMs, 60000);
    // The texts' Base64 forms, computed apart: "Café Server" with é as the single byte 0xE9, and
    // the message "\xFB\xFF" as "+/8=", the three signs Base64 adds to letters and digits.
    EXPECT_EQ(http.Last().body,
              "servercode=Q%26X%3D1%20%2B&status=3&dedicated=True&gametype=TDM&maxplayers=32"
              "&servername=Q2Fm6SBTZXJ2ZXI%3D&map=SnVuZ2xlIFNpZWdl&countrycode=D%26&expansion=EOC"
              "&servermsg=%2B%2F8%3D&players=2&playernames=Qm9iDQpBbCDJbWlncuk%3D&playerteams=MQ0KMg%3D%3D");
}

TEST_F(WebReporterTest, AnEmptyServerSendsEmptyListsAndAnUnknownGameTypeNothing) {
    status.Dedicated = false;
    status.GameType = 12;  // no name in GameTypes
    status.PlayerCount = 0;
    status.PlayerNames.clear();
    status.PlayerTeams.clear();
    status.ServerMessage.clear();
    reporter.SendStatusReport();
    const std::string& body = http.Last().body;
    EXPECT_NE(body.find("&dedicated=False&gametype=&maxplayers=32&"), std::string::npos) << body;
    EXPECT_TRUE(body.ends_with("&servermsg=&players=0&playernames=&playerteams=")) << body;

    http.Answer("ok");
    status.GameType = 33;
    reporter.SendStatusReport();
    EXPECT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(log.lines.back(), "Status report not sent: game type 33 is unknown");
}

TEST_F(WebReporterTest, OnlyASuccessWithTheHeaderConfirmsAndTheLogSaysWhatHappened) {
    const std::string update = " to " + settings.UpdateURL;
    const std::string import = " to " + settings.ImportURL;
    reporter.SendStatusReport();
    http.Answer("Status updated");
    reporter.SendStatusReport();
    http.Answer(std::nullopt);
    reporter.SendStatusReport();
    http.Fail("Connection refused");
    reporter.SendStatusReport();
    http.Answer("Moved", 301, "https://stats.example.org/tovistats/update.php");
    // A header is shown as text: control bytes as blanks, cut where the log line would overflow.
    reporter.SendStatusReport();
    http.Answer("ok\r\n" + std::string(300, 'x'));
    // The deadline runs on the virtual clock, and frees the transfer for the next report.
    reporter.SetTransferTimeoutMs(2000);
    reporter.SendStatusReport();
    EXPECT_EQ(http.Last().timeoutMs, 2000);
    clock.Advance(2000);
    EXPECT_EQ(log.lines, (Strings{"Status updated",
                                  "Status report" + update + " failed: HTTP 200 without a ToviResponse header, so not confirmed",
                                  "Status report" + update + " failed: Connection refused",
                                  "Status report" + update + " failed: HTTP 301, a redirect to "
                                  "https://stats.example.org/tovistats/update.php (not followed: correct the address "
                                  "in the settings); ToviResponse: Moved",
                                  "ok  " + std::string(196, 'x') + "...",
                                  "Request timeout: the status report" + update + " got no answer"}));

    // The upload: a time-out keeps the match, any 2xx with the header removes it. Each other
    // answer through the real client: QtHttpClientTest.
    const std::string file = "ServerInfo QX1|**QX**|A\r\n";
    WriteBytes(dir / "stats.stats", file);
    reporter.UploadStats();
    clock.Advance(2000);
    EXPECT_EQ(StatsOnDisk(), file);
    EXPECT_EQ(log.lines.back(), "Import timeout: the stats upload (1 match)" + import + " got no answer");
    reporter.UploadStats();
    http.Answer("Imported", 201);
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_EQ(log.lines.back(), "Imported");
}

TEST_F(WebReporterTest, TheUploadSendsTheFileByteForByteAndDeletesItOnConfirmation) {
    const std::string file =
        "ServerInfo QX1|**QX**|A|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|9\r\n"
        "  PlayerStats J\xF6rg&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n";
    WriteBytes(dir / "stats.stats", file);
    reporter.UploadStats();
    ASSERT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.Last().url, settings.ImportURL);
    EXPECT_EQ(http.Last().contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(UploadedFile(http.Last().body), file);
    EXPECT_EQ(http.Last().body.find_first_of("+/="), 4U);  // only the "=" after "data"
    http.Answer("3 matches imported");
    EXPECT_EQ(log.lines, Strings{"3 matches imported"});
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_FALSE(reporter.UploadRunning());
    // An empty file goes as an empty upload and is removed on confirmation; a missing one is an error.
    WriteBytes(dir / "stats.stats", "");
    reporter.UploadStats();
    EXPECT_EQ(http.Last().body, "data=");
    http.Answer("nothing imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    reporter.UploadStats();
    EXPECT_TRUE(log.lines.back().starts_with("Stats upload failed: cannot read stats.stats: ")) << log.lines.back();
}

namespace {

// A block of `players` player lines; with `map` in its server line.
std::string Block(const std::string& map, int players) {
    std::string block = "ServerInfo QX1|**QX**|" + map + "|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|9\r\n";
    for (int i = 0; i < players; ++i)
        block += "  PlayerStats P" + std::to_string(i) + "\xFF\xFE&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n";
    return block;
}

std::string IdOf(const HttpRequest& request) {
    for (const auto& [name, value] : request.headers)
        if (name == "Idempotency-Key") return value;
    return {};
}

}  // namespace

TEST_F(WebReporterTest, ABacklogGoesInBatchesOfWholeBlocksOldestFirstEachRemovedOnItsOwnConfirmation) {
    // 6 MB of 1600 blocks: more than a body may carry, and more than is rewritten at once.
    std::string queue;
    for (int i = 0; i < 1600; ++i) queue += Block("M" + std::to_string(i), 40);
    WriteBytes(dir / "stats.stats", queue);
    reporter.UploadStats();
    std::string delivered;
    size_t batches = 0;
    while (http.Busy()) {
        const HttpRequest& sent = http.Last();
        EXPECT_LE(sent.body.size(), size_t{1} << 20);
        const std::string stats = UploadedFile(sent.body);
        EXPECT_TRUE(stats.starts_with("ServerInfo ") && stats.ends_with("\r\n"));
        EXPECT_EQ(IdOf(sent), TestDigest(stats));
        EXPECT_EQ(queue.substr(delivered.size(), stats.size()), stats);
        delivered += stats;
        ++batches;
        http.Answer("imported");
        // What is left on disk is exactly what was not confirmed.
        if (delivered.size() < queue.size() && StatsOnDisk().size() < queue.size()) {
            EXPECT_EQ(StatsOnDisk(), queue.substr(delivered.size()));
        }
    }
    EXPECT_EQ(delivered, queue);
    EXPECT_GE(batches, 6U);
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_FALSE(fs::exists(dir / "stats.stats.upload"));

    // A block larger than a body goes alone; a last block still without its line end waits.
    const std::string huge = Block("Huge", 12000);
    WriteBytes(dir / "stats.stats", huge + Block("Small", 1) + "ServerInfo cut");
    reporter.UploadStats();
    EXPECT_EQ(UploadedFile(http.Last().body), huge);
    http.Answer("imported");
    EXPECT_EQ(UploadedFile(http.Last().body), Block("Small", 1));
    http.Answer("imported");
    EXPECT_FALSE(http.Busy());
    EXPECT_EQ(StatsOnDisk(), "ServerInfo cut");
}

TEST_F(WebReporterTest, ABatchGoesAgainUnchangedWithItsIdUntilConfirmedAlsoAfterARestart) {
    StatsFile stats = Writer();
    status.MapName = "One";
    ASSERT_TRUE(stats.WriteStats(true, 1, 100));
    const HttpRequest first = http.Last();
    http.Answer(std::nullopt);  // stored, but the confirmation got lost on its way
    status.MapName = "Two";
    ASSERT_TRUE(stats.WriteStats(true, 2, 200));
    EXPECT_EQ(http.Last().body, first.body);  // "Two" waits for a later batch
    EXPECT_EQ(IdOf(http.Last()), IdOf(first));
    // The program ends before the answer; after the restart the batch goes unchanged again.
    {
        WebReporter restarted(dir.Path(), settings, status, http, log, TestDigest);
        StatsFile again(dir.Path(), settings, status, players, other, restarted, log, dialogs, clock);
        status.MapName = "Three";
        ASSERT_TRUE(again.WriteStats(true, 3, 300));
        EXPECT_EQ(http.Last().body, first.body);
        EXPECT_EQ(IdOf(http.Last()), IdOf(first));
        http.Answer("imported");
        // Confirmed: the next batch holds the two later matches, with its own id.
        const std::string next = UploadedFile(http.Last().body);
        EXPECT_TRUE(next.starts_with("ServerInfo QX1|**QX**|Two|")) << next;
        EXPECT_NE(next.find("|Three|"), std::string::npos);
        EXPECT_EQ(IdOf(http.Last()), TestDigest(next));
        EXPECT_EQ(StatsOnDisk(), next);
        http.Answer("imported");
        EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    }
    // A record left by a crash after the removal no longer matches the file, and is passed over.
    WriteBytes(dir / "stats.stats.upload", "sending 0 14 " + TestDigest("ServerInfo A\r\n") + "\r\n");
    WriteBytes(dir / "stats.stats", "ServerInfo B\r\n");
    WebReporter(dir.Path(), settings, status, http, log, TestDigest).UploadStats();
    EXPECT_EQ(UploadedFile(http.Last().body), "ServerInfo B\r\n");
}

TEST_F(WebReporterTest, AMatchEndingDuringASlowUploadSurvivesIt) {
    StatsFile stats = Writer();
    status.MapName = "First";
    ASSERT_TRUE(stats.WriteStats(true, 1, 100));
    clock.Advance(20000);
    status.MapName = "Second";
    ASSERT_TRUE(stats.WriteStats(true, 2, 200));  // the upload of "First" still waits
    EXPECT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.cancels, 0);
    EXPECT_EQ(UploadedFile(http.Last().body).find("Second"), std::string::npos);

    http.Answer("imported");
    // Only what was sent is gone; the second match stays, and goes out at once.
    const std::string left = StatsOnDisk();
    EXPECT_TRUE(left.starts_with("ServerInfo QX1|**QX**|Second|")) << left;
    EXPECT_EQ(left.find("First"), std::string::npos);
    ASSERT_EQ(http.requests.size(), 2U);
    EXPECT_EQ(UploadedFile(http.Last().body), left);
    http.Answer("imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
}

TEST_F(WebReporterTest, AReportNeverCancelsAnUploadOrAReportStillWaitingButAnUploadCancelsAReport) {
    reporter.SendStatusReport();
    clock.Advance(30000);
    reporter.SendStatusReport();  // the first one still waits: left to finish
    http.Answer("late but fine");
    WriteBytes(dir / "stats.stats", "ServerInfo A\r\n");
    reporter.UploadStats();
    reporter.SendStatusReport();  // falls due while the upload runs: skipped
    EXPECT_EQ(http.requests.size(), 2U);
    EXPECT_EQ(http.cancels, 0);
    http.Answer("imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));

    reporter.SendStatusReport();  // the next one goes out, and the next upload cuts it short
    EXPECT_EQ(http.Last().url, settings.UpdateURL);
    WriteBytes(dir / "stats.stats", "ServerInfo B\r\n");
    reporter.UploadStats();
    EXPECT_EQ(http.cancels, 1);
    EXPECT_EQ(http.Last().url, settings.ImportURL);
    // A file changed by other hands during the upload is kept whole.
    WriteBytes(dir / "stats.stats", "ServerInfo C\r\n");
    http.Answer("imported");
    EXPECT_EQ(StatsOnDisk(), "ServerInfo C\r\n");
    // The cancelled report logs nothing.
    EXPECT_EQ(log.lines,
              (Strings{"Status report skipped: the last one still waits for its answer", "late but fine",
                       "Status report skipped: the stats upload still runs", "imported", "imported",
                       "stats.stats changed during the upload; it is kept whole for the next upload"}));

    // A reporter that goes away cancels its transfer.
    { WebReporter(dir.Path(), settings, status, http, log, TestDigest).SendStatusReport(); }
    EXPECT_EQ(http.cancels, 2);
}
