// The whole program against a simulator process playing short matches at a high time scale,
// reporting to a local stats web service that fails at random in every way a service, a proxy or
// the network fails: over a hundred matches, each must reach the service byte for byte, and
// every copy of a match must carry the same upload id.
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "QtSupport.h"
#include "RunningProgram.h"
#include "SimProcess.h"

using namespace tovi;
using namespace tovi::testing;
namespace fs = std::filesystem;

class DeliveryTest : public QObject {
    Q_OBJECT
private slots:
    void soakAgainstAServiceFailingAtRandom() {
        if (!std::getenv("DISPLAY")) QSKIP("needs an X display for the simulator's window");
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(name);
        // Two players, matches of 6 seconds, 4 seconds of scores, on seven maps with their own
        // results, for ever: no two matches ending within the same second write the same block.
        std::string scenario =
            "name \"Delivery test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 4\n";
        for (int map = 1; map <= 7; ++map) {
            scenario += "round \"Map " + std::to_string(map) + "\" \"MAP" + std::to_string(map) + ".BMS\"\n" +
                        "loading 0.5\nwaiting 0.5\nmatchtime 6\nresult " + std::to_string(map) + "\n" +
                        "at 0.2 join 1 \"Alice\" team=1 ping=40\nat 0.3 join 2 \"Bob Smith\" team=2 ping=75\n"
                        "at 3 add 1 shots=12 kills=1 exp=10\nat 3 add 2 deaths=1\n";
        }
        QTemporaryDir folder;
        const fs::path dir = folder.path().toStdString();
        LocalService service;
        std::ofstream(dir / "delivery.scn") << scenario << "repeat\n";
        std::ofstream(dir / "settings.ini", std::ios::binary)
            << "[server]\r\nservercode=QX1\r\nupdateurl=" << service.Url("/tovistats/update.php")
            << "\r\nimporturl=" << service.Url("/tovistats/import.php")
            << "\r\n[settings]\r\nminplayers=0\r\nkeeparchive=1\r\n";
        constexpr int kScale = 40;
        SimProcess sim("C:\\Games\\JO\\jointops.exe", {"--scenario", (dir / "delivery.scn").string(),
                                                       "--time-scale", std::to_string(kScale)});
        RunningProgram program(folder.path(), kScale, 1000 / kScale);
        WebReporter& reporter = program.Window().GetService().Reporter();
        reporter.SetTransferTimeoutMs(1000);
        // Every block the program wrote, in order: the archive keeps each one.
        auto written = [&] {
            std::vector<fs::path> files;
            if (fs::exists(dir / "Archives"))
                for (const auto& entry : fs::directory_iterator(dir / "Archives"))
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            std::string all;
            for (const fs::path& file : files) {
                std::ifstream in(file, std::ios::binary);
                all.append(std::istreambuf_iterator<char>(in), {});
            }
            return all;
        };
        auto matchesWritten = [&] { return LocalService::Blocks(written()).size(); };

        std::mt19937 random(20261206);
        const Answer kinds[] = {Answer::Accept,        Answer::Down,           Answer::Hold,
                                Answer::Error500,      Answer::Redirect,       Answer::CloseEarly,
                                Answer::StoreThenDrop, Answer::AcceptNoHeader, Answer::Error500Header};
        bool failing = true;
        service.uploadAnswer = [&](int) {
            return failing ? kinds[std::uniform_int_distribution<size_t>(0, std::size(kinds) - 1)(random)]
                           : Answer::Accept;
        };
        QTRY_VERIFY_WITH_TIMEOUT(matchesWritten() >= 100, 100000);
        // The service comes right; the next match end sends what waits.
        failing = false;
        const size_t before = matchesWritten();
        QTRY_VERIFY_WITH_TIMEOUT(matchesWritten() > before, 10000);
        // The reporter's word reaches the window's log box (cleared once the server goes); its
        // wording: QtHttpClientTest.
        auto* log = program.Window().findChild<QPlainTextEdit*>("txtLog");
        QTRY_VERIFY_WITH_TIMEOUT(log->toPlainText().contains("] Imported"), 10000);
        sim.Stop();
        QTRY_VERIFY_WITH_TIMEOUT(!reporter.UploadRunning() && !fs::exists(dir / "stats.stats"), 30000);

        QCOMPARE(service.StoredStats(), written());
        QVERIFY(service.taken.size() > service.stored.size());  // there were failures and repeats
        QCOMPARE(service.redirectsFollowed, 0);
        for (const auto& [block, ids] : service.IdsPerBlock()) QCOMPARE(ids.size(), size_t{1});
        for (const TakenRequest& request : service.taken) QVERIFY(request.body.size() <= (1 << 20));
    }
};

QTEST_MAIN(DeliveryTest)
#include "DeliveryTest.moc"
