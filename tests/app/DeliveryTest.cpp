// The whole program against a simulator process playing short matches at a high time scale,
// reporting to a local stats web service that fails in every way a service, a proxy or the
// network fails: every match must reach the service, byte for byte, whatever happens on the way.
#include <QCheckBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "Application.h"
#include "LocalService.h"
#include "PlatformBackend.h"
#include "QtHttpClient.h"
#include "QtSupport.h"
#include "SimProcess.h"

using namespace tovi;
using namespace tovi::testing;
namespace fs = std::filesystem;

namespace {

// Two players, matches of 6 seconds, 4 seconds of scores, on seven maps with their own results,
// for ever: no two matches ending within the same second write the same block.
std::string Scenario() {
    std::string scenario = "name \"Delivery test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 4\n";
    for (int map = 1; map <= 7; ++map) {
        scenario += "round \"Map " + std::to_string(map) + "\" \"MAP" + std::to_string(map) + ".BMS\"\n" +
                    "loading 0.5\nwaiting 0.5\nmatchtime 6\nresult " + std::to_string(map) + "\n" +
                    "at 0.2 join 1 \"Alice\" team=1 ping=40\nat 0.3 join 2 \"Bob Smith\" team=2 ping=75\n"
                    "at 3 add 1 shots=12 kills=1 exp=10\nat 3 add 2 deaths=1\n";
    }
    return scenario + "repeat\n";
}

// The program with its data folder, run against a simulator at `scale` times real time.
struct Run {
    explicit Run(int timeScale, int transferTimeoutMs) : scale(timeScale), scheduler(timeScale) {
        std::ofstream(Folder() / "delivery.scn") << Scenario();
        std::ofstream(Folder() / "settings.ini", std::ios::binary)
            << "[server]\r\nservercode=QX1\r\nupdateurl=" << service.Url("/tovistats/update.php")
            << "\r\nimporturl=" << service.Url("/tovistats/import.php")
            << "\r\n[settings]\r\nminplayers=0\r\nkeeparchive=1\r\n";
        sim = std::make_unique<SimProcess>(
            "C:\\Games\\JO\\jointops.exe",
            std::vector<std::string>{"--scenario", (Folder() / "delivery.scn").string(), "--time-scale",
                                     std::to_string(scale), "--transcript", (Folder() / "transcript.txt").string()});
        app.Start();
        frmMain& window = *app.Window();
        window.GetService().PollTimerObject().setInterval(1000 / scale);
        window.GetService().Reporter().SetTransferTimeoutMs(transferTimeoutMs);
        auto* txtLog = window.findChild<QPlainTextEdit*>("txtLog");
        // Every line the log box takes, before it is cut short or cleared.
        QObject::connect(txtLog, &QPlainTextEdit::textChanged, txtLog, [this, txtLog] {
            const QStringList lines = txtLog->toPlainText().split('\n', Qt::SkipEmptyParts);
            if (!lines.isEmpty()) log << lines.last().trimmed();
        });
    }
    fs::path Folder() const { return fs::path(folder.path().toStdString()); }
    fs::path Stats() const { return Folder() / "stats.stats"; }
    std::string ReadFile(const fs::path& file) const {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Every block the program wrote, in order: the archive keeps each one.
    std::string Written() const {
        std::vector<fs::path> files;
        if (fs::exists(Folder() / "Archives"))
            for (const auto& entry : fs::directory_iterator(Folder() / "Archives")) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::string all;
        for (const fs::path& file : files) all += ReadFile(file);
        return all;
    }
    size_t MatchesWritten() const { return LocalService::Blocks(Written()).size(); }
    bool Delivered() {
        return !app.Window()->GetService().Reporter().UploadRunning() && !fs::exists(Stats());
    }
    bool Logged(const QString& text) const {
        return std::any_of(log.begin(), log.end(), [&](const QString& line) { return line.contains(text); });
    }

    int scale;
    QTemporaryDir folder;
    LocalService service;
    ScaledScheduler scheduler;
    SilentDialogs dialogs;
    QtHttpClient http;
    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    Application app{*backend, dialogs, scheduler, http, folder.path(), folder.filePath("tovistats.lock")};
    std::unique_ptr<SimProcess> sim;
    QStringList log;
};

}  // namespace

class DeliveryTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        if (!std::getenv("DISPLAY")) QSKIP("needs an X display for the simulator's window");
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(name);
    }

    // A service that first redirects, then drips, then answers 500 with the header, then takes
    // the stats: nothing goes before its own confirmation, and every match arrives.
    void everyMatchArrivesThroughRedirectDripAnd500() {
        Run run(10, 1500);
        const Answer answers[] = {Answer::Redirect, Answer::Drip, Answer::Error500Header};
        std::string queueAtFirstAccept;
        run.service.uploadAnswer = [&](int upload) {
            if (upload == 3) queueAtFirstAccept = run.ReadFile(run.Stats());
            return upload < 3 ? answers[upload] : Answer::Accept;
        };
        QTRY_VERIFY_WITH_TIMEOUT(run.service.uploads >= 5 && run.MatchesWritten() >= 4, 60000);
        run.sim->Stop();
        QTRY_VERIFY_WITH_TIMEOUT(run.Delivered(), 30000);

        QCOMPARE(run.service.StoredStats(), run.Written());
        // After three failures nothing had left the queue: the first match still led it.
        QVERIFY(queueAtFirstAccept.starts_with(LocalService::Blocks(run.Written()).at(0)));
        QCOMPARE(run.service.redirectsFollowed, 0);
        for (const auto& [block, ids] : run.service.IdsPerBlock()) QCOMPARE(ids.size(), size_t{1});
        // The wording of each failure is checked against the client alone; here that each was told.
        for (const char* told : {"failed: HTTP 301", "Import timeout", "failed: HTTP 500", "] Imported"})
            QVERIFY2(run.Logged(told), qPrintable(run.log.join('\n')));
    }

    // A hundred matches and more against a service that fails at random: afterwards every match
    // is at the service, and every copy of a match carried the same upload id.
    void soakAgainstAServiceFailingAtRandom() {
        Run run(40, 1000);
        std::mt19937 random(20261206);
        const Answer kinds[] = {Answer::Accept,        Answer::Down,       Answer::Hold,
                                Answer::Error500,      Answer::Redirect,   Answer::CloseEarly,
                                Answer::StoreThenDrop, Answer::AcceptNoHeader, Answer::Error500Header};
        bool failing = true;
        run.service.uploadAnswer = [&](int) {
            return failing ? kinds[std::uniform_int_distribution<size_t>(0, std::size(kinds) - 1)(random)]
                           : Answer::Accept;
        };
        QTRY_VERIFY_WITH_TIMEOUT(run.MatchesWritten() >= 100, 100000);
        // The service comes right; the next match end sends what waits.
        failing = false;
        const size_t written = run.MatchesWritten();
        QTRY_VERIFY_WITH_TIMEOUT(run.MatchesWritten() > written, 10000);
        run.sim->Stop();
        QTRY_VERIFY_WITH_TIMEOUT(run.Delivered(), 30000);

        QCOMPARE(run.service.StoredStats(), run.Written());
        QVERIFY(run.service.taken.size() > run.service.stored.size());  // there were failures and repeats
        for (const auto& [block, ids] : run.service.IdsPerBlock()) QCOMPARE(ids.size(), size_t{1});
        for (const TakenRequest& request : run.service.taken) QVERIFY(request.body.size() <= (1 << 20));
    }
};

QTEST_MAIN(DeliveryTest)
#include "DeliveryTest.moc"
