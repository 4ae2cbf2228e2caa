// Simulator, program and service as they run together: the whole program watches a simulator
// playing two matches on an X server of the test's own and reports to a tovistats-service
// process; afterwards the service's pages, read over HTTP and once in a headless browser, show
// the two matches' totals.
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "QtSupport.h"
#include "RunningProgram.h"
#include "ServiceProcess.h"
#include "SimProcess.h"

using namespace tovi;
using namespace tovi::testing;
namespace fs = std::filesystem;

namespace {

// Two matches, then the server stops hosting. The first lasts long enough for a status report
// (every 30 hosting ticks) even when the program's ticks lag behind the simulator's clock.
constexpr const char* kScenario =
    "name \"<i>E2E</i> server\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 4\n"
    "round \"Map One\" \"MAP1.BMS\"\nloading 0.5\nwaiting 0.5\nmatchtime 80\nresult 1\n"
    "at 0.2 join 1 \"Alice\" team=1\nat 0.3 join 2 \"<b>Bob</b>\" team=2\n"
    "at 3 add 1 kills=2 exp=10 targets=1\nat 3 add 2 deaths=2\n"
    "round \"Map Two\" \"MAP2.BMS\"\nloading 0.5\nwaiting 0.5\nmatchtime 6\nresult 2\n"
    "at 3 add 1 kills=1\nat 3 add 2 kills=3 deaths=1\n";

}  // namespace

class StatsServiceEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void twoMatchesReachTheLeaderboardAndThePlayerPages() {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(name);
        PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        StatsServiceProcess service;
        QVERIFY(service.port != 0);
        const std::string base = "http://127.0.0.1:" + std::to_string(service.port);

        constexpr int kScale = 10;
        QTemporaryDir folder;
        const fs::path dir = folder.path().toStdString();
        std::ofstream(dir / "e2e.scn") << kScenario;
        std::ofstream(dir / "settings.ini", std::ios::binary)
            << "[server]\r\nservercode=QX1\r\nupdateurl=" << base
            << "/tovistats/update.php\r\nimporturl=" << base
            << "/tovistats/import.php\r\n[settings]\r\nminplayers=0\r\n";
        SimProcess sim("C:\\Games\\JO\\jointops.exe",
                       {"--scenario", (dir / "e2e.scn").string(), "--time-scale", std::to_string(kScale)});
        RunningProgram program(folder.path(), kScale, 1000 / kScale);
        frmMain& window = program.Window();

        // Between the two matches nothing is queued either, and a status report may already name
        // the second map: only the players' pages say that both matches arrived.
        auto delivered = [&] {
            return !window.GetService().Reporter().UploadRunning() && !fs::exists(dir / "stats.stats") &&
                   service.Get("/tovistats/leaderboard").body.count("<td class=\"c-score score\">") == 2 &&
                   service.Get("/tovistats/player?name=alice").body.contains(" in 2 matches") &&
                   service.Get("/tovistats/player?name=%3Cb%3Ebob%3C%2Fb%3E").body.contains(" in 2 matches");
        };
        QTRY_VERIFY_WITH_TIMEOUT(delivered(), 60000);

        // Score = 2 × Kills + 3 × Targets + ...: Alice 2 × 3 + 3 × 1 = 9; Bob 2 × 3 = 6.
        const QByteArray board = service.Get("/tovistats/leaderboard").body;
        QVERIFY2(board.contains(
                     "<tr><td>1</td><td class=\"c-name\"><a href=\"/tovistats/player?name=alice\">Alice</a>"
                     "</td><td class=\"c-score score\">9</td><td class=\"c-matches\">2</td>"
                     "<td class=\"c-kills\">3</td><td class=\"c-deaths\">0</td><td class=\"c-kd\">3.00</td>"),
                 board.constData());
        QVERIFY2(
            board.contains(
                "<tr><td>2</td><td class=\"c-name\"><a href=\"/tovistats/player?name=%3Cb%3Ebob%3C%2Fb%3E\">"
                "&lt;b&gt;Bob&lt;/b&gt;</a></td><td class=\"c-score score\">6</td><td "
                "class=\"c-matches\">2</td>"
                "<td class=\"c-kills\">3</td><td class=\"c-deaths\">3</td>"),
            board.constData());
        QVERIFY(service.Get("/tovistats/leaderboard?period=week")
                    .body.contains("<td class=\"c-score score\">9</td>"));
        const QByteArray bob = service.Get("/tovistats/player?name=%3Cb%3Ebob%3C%2Fb%3E").body;
        QVERIFY2(bob.contains("id=\"score\">6</span> in 2 matches"), bob.constData());
        QVERIFY(bob.contains(">Map One<") && bob.contains(">Map Two<"));
        // The status report of the first match named the server and its players.
        const QByteArray servers = service.Get("/tovistats/").body;
        QVERIFY2(servers.contains("<h2>&lt;i&gt;E2E&lt;/i&gt; server</h2>"), servers.constData());
        QVERIFY(!servers.contains("<b>Bob"));
        sim.Stop();

        // And as a browser shows them: the leaderboard, and Alice's page reached by her link.
        const QString browser = QStringLiteral(TOVI_BROWSER_CHECK);
        QProcess check;
        check.start(QStringLiteral("/usr/bin/python3"), {browser, QString::fromStdString(base)});
        QVERIFY(check.waitForFinished(90000));
        QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
        QCOMPARE(check.readAllStandardOutput().trimmed(), QByteArray("Alice 9 2; Alice 9"));
    }
};

QTEST_MAIN(StatsServiceEndToEndTest)
#include "StatsServiceEndToEndTest.moc"
