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

TEST_F(WebReporterTest, TheAnswerHeaderIsLoggedOrRequestTimeout) {
    reporter.SendStatusReport();
    http.Answer("Status updated");
    reporter.SendStatusReport();
    http.Answer(std::nullopt);
    reporter.SendStatusReport();
    http.Fail("Connection refused");
    // A shortened time-out runs on the virtual clock, and frees the transfer for the next report.
    reporter.SetTransferTimeoutMs(2000);
    reporter.SendStatusReport();
    EXPECT_EQ(http.Last().timeoutMs, 2000);
    clock.Advance(1999);
    EXPECT_EQ(log.lines.size(), 3U);
    clock.Advance(1);
    reporter.SendStatusReport();
    EXPECT_EQ(http.requests.size(), 5U);
    EXPECT_EQ(log.lines, (Strings{"Status updated", "Request timeout",
                                  "Status report failed: Connection refused", "Request timeout"}));
}

TEST_F(WebReporterTest, TheUploadSendsTheWholeFileAndDeletesItOnConfirmation) {
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
}

TEST_F(WebReporterTest, ThreeMatchesGoInOneUploadAfterTwoFailures) {
    StatsFile stats = Writer();
    status.MapName = "One";
    ASSERT_TRUE(stats.WriteStats(true, 1, 100));
    http.Fail("Connection refused");
    status.MapName = "Two";
    ASSERT_TRUE(stats.WriteStats(true, 2, 200));
    clock.Advance(60000);  // never answered
    EXPECT_EQ(log.lines, (Strings{"Stats upload failed: Connection refused", "Import timeout"}));
    status.MapName = "Three";
    ASSERT_TRUE(stats.WriteStats(true, 3, 300));
    ASSERT_EQ(http.requests.size(), 3U);
    const std::string sent = UploadedFile(http.Last().body);
    EXPECT_EQ(sent, StatsOnDisk());
    const size_t one = sent.find("|**QX**|One|");
    const size_t two = sent.find("|**QX**|Two|");
    const size_t three = sent.find("|**QX**|Three|");
    EXPECT_TRUE(one < two && two < three && three != std::string::npos) << sent;
    http.Answer("imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
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
              (Strings{"late but fine", "imported", "imported",
                       "stats.stats changed during the upload; it is kept whole for the next upload"}));

    // A reporter that goes away cancels its transfer.
    { WebReporter(dir.Path(), settings, status, http, log).SendStatusReport(); }
    EXPECT_EQ(http.cancels, 2);
}
