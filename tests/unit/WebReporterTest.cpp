#include <gtest/gtest.h>

#include <string>

#include "ReportFakes.h"
#include "StatsFile.h"
#include "WebReporter.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class WebReporterTest : public ::testing::Test {
protected:
    WebReporterTest() : http(clock), reporter(dir.Path(), settings, status, http, log) {
        settings.ServerCode = "QX1";
        settings.UpdateURL = "http://stats.example.org/tovistats/update.php";
        settings.ImportURL = "http://stats.example.org/tovistats/import.php";
        status.State = 3;
        status.Dedicated = true;
        status.GameType = 1;
        status.MaxPlayers = 32;
        status.ServerName = "Caf\xE9 Server";
        status.MapName = "Jungle Siege";
        status.CountryCode = "US";
        status.Expansion = "EOC";
        status.ServerMessage = "Welcome!";
        status.PlayerCount = 2;
        status.PlayerNames = "Bob\r\nAl \xC9migr\xE9";
        status.PlayerTeams = "1\r\n2";
    }

    StatsFile Stats() {
        return StatsFile(dir.Path(), settings, status, players, view, reporter,
                         [] { return LocalTime{2004, 6, 12, 21, 5, 9}; });
    }
    // The stats file as the service receives it in an upload body.
    static std::string UploadedFile(const std::string& body) {
        EXPECT_TRUE(body.starts_with("data=")) << body;
        return Base64Decode(FormDecode(body.substr(5)));
    }

    TempFolder dir;
    Settings settings;
    ServerStatus status;
    PlayerTable players;
    FakeSettingsView view;
    VirtualScheduler clock;
    FakeHttpClient http;
    RecordingLog log;
    WebReporter reporter;
};

}  // namespace

TEST_F(WebReporterTest, TheStatusReportCarriesThirteenFieldsInOrder) {
    reporter.SendStatusReport();
    ASSERT_EQ(http.requests.size(), 1U);
    const FakeHttpClient::Request& request = http.Last();
    EXPECT_EQ(request.url, settings.UpdateURL);
    EXPECT_EQ(request.contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(request.timeoutMs, 60000);
    // The texts' Base64 forms, computed apart: "Café Server" with é as the single byte 0xE9.
    EXPECT_EQ(request.body,
              "servercode=QX1&status=3&dedicated=True&gametype=TDM&maxplayers=32"
              "&servername=Q2Fm6SBTZXJ2ZXI%3D&map=SnVuZ2xlIFNpZWdl&countrycode=US&expansion=EOC"
              "&servermsg=V2VsY29tZSE%3D&players=2&playernames=Qm9iDQpBbCDJbWlncuk%3D&playerteams=MQ0KMg%3D%3D");
    const auto fields = FormFields(request.body);
    ASSERT_EQ(fields.size(), 13U);
    EXPECT_EQ(Base64Decode(fields[5].second), "Caf\xE9 Server");
    EXPECT_EQ(Base64Decode(fields[11].second), status.PlayerNames);
}

TEST_F(WebReporterTest, AnEmptyServerSendsEmptyListsAndPlainWords) {
    status.Dedicated = false;
    status.State = 2;
    status.GameType = 12;  // no name in GameTypes
    status.PlayerCount = 0;
    status.PlayerNames.clear();
    status.PlayerTeams.clear();
    status.ServerMessage.clear();
    reporter.SendStatusReport();
    const std::string& body = http.Last().body;
    EXPECT_NE(body.find("&status=2&dedicated=False&gametype=&maxplayers=32&"), std::string::npos) << body;
    EXPECT_NE(body.find("&servermsg=&players=0&"), std::string::npos) << body;
    EXPECT_TRUE(body.ends_with("&players=0&playernames=&playerteams=")) << body;
}

TEST_F(WebReporterTest, EveryValueIsFormEncodedSoTheServiceReadsItBack) {
    settings.ServerCode = "a&b=c d+";
    status.CountryCode = "D&";
    status.ServerName = "\xFB\xFF";  // Base64 "+/8=", all three of its special characters
    reporter.SendStatusReport();
    const auto fields = FormFields(http.Last().body);
    ASSERT_EQ(fields.size(), 13U);
    EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"servercode", "a&b=c d+"}));
    EXPECT_EQ(fields[5], (std::pair<std::string, std::string>{"servername", "+/8="}));
    EXPECT_EQ(fields[7], (std::pair<std::string, std::string>{"countrycode", "D&"}));
}

TEST_F(WebReporterTest, TheAnswerHeaderIsLoggedOrRequestTimeout) {
    reporter.SendStatusReport();
    http.Answer("Status updated");
    reporter.SendStatusReport();
    http.Answer(std::nullopt);
    reporter.SendStatusReport();
    http.Answer("");
    reporter.SendStatusReport();
    http.Fail("Connection refused (http://stats.example.org/tovistats/update.php)");
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "Status updated", "Request timeout", "Request timeout",
                             "Status report failed: Connection refused (http://stats.example.org/tovistats/update.php)"}));
}

TEST_F(WebReporterTest, AServiceThatNeverAnswersTimesOut) {
    reporter.SetTransferTimeoutMs(2000);
    reporter.SendStatusReport();
    EXPECT_EQ(http.Last().timeoutMs, 2000);
    clock.Advance(1999);
    EXPECT_TRUE(log.lines.empty());
    clock.Advance(1);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Request timeout"});
    // The transfer is free again for the next report.
    reporter.SendStatusReport();
    EXPECT_EQ(http.requests.size(), 2U);
}

TEST_F(WebReporterTest, AnUnknownGameTypeSendsNothingAndSaysWhy) {
    status.GameType = 40;
    reporter.SendStatusReport();
    EXPECT_TRUE(http.requests.empty());
    EXPECT_EQ(log.lines, std::vector<std::string>{"Status report not sent: game type 40 is unknown"});
}

TEST_F(WebReporterTest, TheUploadSendsTheWholeFileAndDeletesItOnConfirmation) {
    const std::string file = "ServerInfo QX1|**QX**|A|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|9\r\n"
                             "  PlayerStats J\xF6rg&end& 1 0 0 0 0 0 3 2 0 0 0 0 0 0 0 0 0 0 0 0 0 150 0 600\r\n";
    WriteBytes(dir / "stats.stats", file);
    reporter.UploadStats();
    ASSERT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.Last().url, settings.ImportURL);
    EXPECT_EQ(http.Last().contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(UploadedFile(http.Last().body), file);
    EXPECT_EQ(http.Last().body.find_first_of("+/="), 4U);  // only the "=" after "data"
    EXPECT_TRUE(reporter.UploadRunning());
    http.Answer("3 matches imported");
    EXPECT_EQ(log.lines, std::vector<std::string>{"3 matches imported"});
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_FALSE(reporter.UploadRunning());
}

TEST_F(WebReporterTest, AnEmptyFileIsSentAsDataAlone) {
    WriteBytes(dir / "stats.stats", "");
    reporter.UploadStats();
    EXPECT_EQ(http.Last().body, "data=");
    http.Answer("ok");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
}

TEST_F(WebReporterTest, WithoutConfirmationTheFileStays) {
    WriteBytes(dir / "stats.stats", "ServerInfo x\r\n");
    reporter.SetTransferTimeoutMs(500);
    reporter.UploadStats();
    http.Answer(std::nullopt);
    reporter.UploadStats();
    clock.Advance(500);  // never answered
    reporter.UploadStats();
    http.Fail("Host stats.example.org not found");
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Import timeout", "Import timeout",
                                                   "Stats upload failed: Host stats.example.org not found"}));
    EXPECT_EQ(ReadBytes(dir / "stats.stats"), "ServerInfo x\r\n");
}

TEST_F(WebReporterTest, AMissingFileIsLoggedAndNothingIsSent) {
    reporter.UploadStats();
    EXPECT_TRUE(http.requests.empty());
    ASSERT_EQ(log.lines.size(), 1U);
    EXPECT_TRUE(log.lines[0].starts_with("Stats upload failed: ")) << log.lines[0];
    EXPECT_NE(log.lines[0].find("stats.stats"), std::string::npos) << log.lines[0];
}

TEST_F(WebReporterTest, ThreeMatchesGoInOneUploadAfterTwoFailures) {
    StatsFile stats = Stats();
    status.MapName = "One";
    ASSERT_TRUE(stats.WriteStats(true, 1, 100));
    http.Answer(std::nullopt);
    status.MapName = "Two";
    ASSERT_TRUE(stats.WriteStats(true, 2, 200));
    http.Fail("Connection refused");
    status.MapName = "Three";
    ASSERT_TRUE(stats.WriteStats(true, 3, 300));
    ASSERT_EQ(http.requests.size(), 3U);
    const std::string sent = UploadedFile(http.Last().body);
    EXPECT_EQ(sent, ReadBytes(dir / "stats.stats"));
    const size_t one = sent.find("|**QX**|One|");
    const size_t two = sent.find("|**QX**|Two|");
    const size_t three = sent.find("|**QX**|Three|");
    EXPECT_TRUE(one < two && two < three && three != std::string::npos) << sent;
    http.Answer("imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    // The next match starts a new file holding only itself.
    status.MapName = "Four";
    ASSERT_TRUE(stats.WriteStats(true, 4, 400));
    EXPECT_EQ(UploadedFile(http.Last().body), ReadBytes(dir / "stats.stats"));
    EXPECT_EQ(ReadBytes(dir / "stats.stats").find("ServerInfo", 1), std::string::npos);
}

TEST_F(WebReporterTest, AMatchEndingDuringASlowUploadSurvivesIt) {
    StatsFile stats = Stats();
    status.MapName = "First";
    ASSERT_TRUE(stats.WriteStats(true, 1, 100));
    const std::string first = ReadBytes(dir / "stats.stats");
    clock.Advance(20000);
    status.MapName = "Second";
    ASSERT_TRUE(stats.WriteStats(true, 2, 200));  // the upload of "First" still waits
    EXPECT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.cancels, 0);
    EXPECT_TRUE(reporter.UploadPending());

    http.Answer("imported");
    // Only what was sent is gone; the second match stays, and goes out at once.
    const std::string left = ReadBytes(dir / "stats.stats");
    EXPECT_TRUE(left.starts_with("ServerInfo QX1|**QX**|Second|")) << left;
    EXPECT_EQ(left.find("First"), std::string::npos);
    ASSERT_EQ(http.requests.size(), 2U);
    EXPECT_EQ(UploadedFile(http.Last().body), left);
    http.Answer("imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"imported", "imported"}));
    EXPECT_EQ(first.find("Second"), std::string::npos);
}

TEST_F(WebReporterTest, AFileChangedByOtherHandsDuringTheUploadIsKeptWhole) {
    WriteBytes(dir / "stats.stats", "ServerInfo A\r\n");
    reporter.UploadStats();
    WriteBytes(dir / "stats.stats", "ServerInfo B\r\n");
    http.Answer("imported");
    EXPECT_EQ(ReadBytes(dir / "stats.stats"), "ServerInfo B\r\n");
    EXPECT_EQ(log.lines.size(), 2U);
}

TEST_F(WebReporterTest, AReportNeverCancelsAnUpload) {
    WriteBytes(dir / "stats.stats", "ServerInfo A\r\n");
    reporter.UploadStats();
    reporter.SendStatusReport();  // falls due while the upload runs: skipped
    EXPECT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.cancels, 0);
    http.Answer("imported");
    EXPECT_FALSE(fs::exists(dir / "stats.stats"));
    reporter.SendStatusReport();  // the next one goes out
    EXPECT_EQ(http.requests.size(), 2U);
    EXPECT_EQ(http.Last().url, settings.UpdateURL);
}

TEST_F(WebReporterTest, AnUploadCancelsARunningReport) {
    reporter.SendStatusReport();
    WriteBytes(dir / "stats.stats", "ServerInfo A\r\n");
    reporter.UploadStats();
    EXPECT_EQ(http.cancels, 1);
    ASSERT_EQ(http.requests.size(), 2U);
    EXPECT_EQ(http.Last().url, settings.ImportURL);
    http.Answer("imported");
    // The cancelled report logs nothing; the upload's answer is the only line.
    EXPECT_EQ(log.lines, std::vector<std::string>{"imported"});
}

TEST_F(WebReporterTest, AReportStillWaitingIsLeftToFinish) {
    reporter.SendStatusReport();
    clock.Advance(30000);
    reporter.SendStatusReport();
    EXPECT_EQ(http.requests.size(), 1U);
    EXPECT_EQ(http.cancels, 0);
    http.Answer("late but fine");
    EXPECT_EQ(log.lines, std::vector<std::string>{"late but fine"});
}

TEST(WebReporterLifetime, AReporterThatGoesAwayCancelsItsTransfer) {
    TempFolder dir;
    Settings settings;
    ServerStatus status;
    VirtualScheduler clock;
    FakeHttpClient http(clock);
    RecordingLog log;
    {
        WebReporter reporter(dir.Path(), settings, status, http, log);
        reporter.SendStatusReport();
    }
    EXPECT_EQ(http.cancels, 1);
    EXPECT_FALSE(http.Busy());
}
