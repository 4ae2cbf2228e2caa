// The program as an operator runs it: the real window and the real process backend, watching a
// simulator process through its window on the X server.
#include <sys/resource.h>

#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Application.h"
#include "PlatformBackend.h"
#include "QtHttpClient.h"
#include "QtSupport.h"
#include "SimProcess.h"

using namespace tovi;

namespace {

class SilentDialogs : public Dialogs {
public:
    QStringList shown;
    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        shown << QString::fromStdString(question);
        answer(true);
    }
    void Warn(const std::string& text) override { shown << QString::fromStdString(text); }
    void Inform(const std::string& text) override { shown << QString::fromStdString(text); }
    void InputBox(const std::string&, const std::string&, std::function<void(std::optional<std::string>)> answer) override {
        answer(std::nullopt);
    }
};

// The stats web service: takes every upload, answers with its header, and keeps the server line
// of each block it was sent, in the order it got them.
class StatsService {
public:
    QStringList received;
    StatsService() {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            QTcpSocket* socket = server.nextPendingConnection();
            auto* request = new QByteArray;
            QObject::connect(socket, &QTcpSocket::destroyed, [request] { delete request; });
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
                request->append(socket->readAll());
                const qsizetype headerEnd = request->indexOf("\r\n\r\n");
                if (headerEnd < 0) return;
                const QByteArray header = request->left(headerEnd).toLower();
                const qsizetype at = header.indexOf("content-length:");
                const qsizetype length =
                    at < 0 ? 0
                           : header.mid(at + 15, header.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
                if (request->size() < headerEnd + 4 + length) return;
                const QByteArray body = request->mid(headerEnd + 4, length);
                if (request->startsWith("POST /tovistats/import.php")) {
                    const QByteArray file =
                        QByteArray::fromBase64(QByteArray::fromPercentEncoding(body.mid(5)));
                    for (const QByteArray& line : file.split('\n')) {
                        if (line.startsWith("ServerInfo ")) received << QString::fromLatin1(line.trimmed());
                    }
                }
                socket->write(
                    "HTTP/1.1 200 OK\r\nToviResponse: Thank you\r\nContent-Length: 0\r\nConnection: "
                    "close\r\n\r\n");
                socket->disconnectFromHost();
            });
        });
    }
    QString Url(const char* page) const {
        return QStringLiteral("http://127.0.0.1:%1/tovistats/%2").arg(server.serverPort()).arg(page);
    }
    // The result byte of each block received: the scenario gives every match its own.
    QStringList Results() const {
        QStringList results;
        for (const QString& line : received) results << line.section(QStringLiteral("|**QX**|"), 3, 3);
        return results;
    }

private:
    QTcpServer server;
};

// Sets how large this process may make a file; writes beyond fail as on a full disk.
void LimitFileSize(rlim_t bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = std::min(bytes, limit.rlim_max);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

}  // namespace

class LiveServerTest : public QObject {
    Q_OBJECT
private slots:
    void showsTheSimulatorsServerAndItsPlayers() {
        // The program watches the window with the default caption: on a display of the test's own
        // that is only this test's simulator, whatever else runs on the machine.
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        testing::SimProcess sim("C:\\Games\\JO\\jointops.exe", {"--state", "3", "--players", "6", "--maxplayers", "16"});
        auto backend = MakePlatformBackend();
        SilentDialogs dialogs;
        QtScheduler scheduler;
        QtHttpClient http;
        QTemporaryDir folder;
        Application app(*backend, dialogs, scheduler, http, folder.path(), folder.filePath("tovistats.lock"));
        app.Start();
        frmMain& window = *app.Window();
        auto panel3 = [&] { return window.findChild<QLabel*>("StatusBarPanel3")->text(); };

        QTRY_COMPARE_WITH_TIMEOUT(panel3(), QStringLiteral("Hosting mission"), 10000);
        QCOMPARE(window.findChild<QLabel*>("lblServerName")->text(), QStringLiteral("Servername: Tovi test server (DM)"));
        QVERIFY(window.findChild<QLabel*>("lblCurrentMap")->text().startsWith("Map: "));
        QCOMPARE(window.findChild<QLabel*>("StatusBarPanel2")->text(), QStringLiteral("PID: %1 ").arg(sim.pid()));
        QCOMPARE(window.findChild<QLabel*>("StatusBarPanel1")->text(), QStringLiteral("6 of 16"));
        // Players are read every fifth hosting tick.
        QTRY_COMPARE_WITH_TIMEOUT(window.findChild<QTreeWidget*>("lstPlayers")->topLevelItemCount(), 6, 15000);
        QCOMPARE(window.Status().PlayerNames.substr(0, 7), std::string("Player1"));

        sim.Stop();
        QTRY_COMPARE_WITH_TIMEOUT(panel3(), QStringLiteral("Game not running"), 5000);
        QCOMPARE(window.findChild<QTreeWidget*>("lstPlayers")->topLevelItemCount(), 0);
    }

    void aDiskThatFillsAndFreesAgainLosesNoMatch() {
        if (!std::getenv("DISPLAY")) QSKIP("needs an X display for the simulator's window");
        QTemporaryDir folder;
        StatsService service;
        // Eight matches, each with its own result byte, at 40 times real speed: a second of play
        // and a second and a half of scores in real time, so the program, polling ten times a
        // second, sees every match end even when it stalls for a while. The first match waits
        // three seconds for the program to find the server.
        constexpr int kMatches = 8;
        std::string scenario = "name \"Disk test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 60\n";
        for (int match = 1; match <= kMatches; ++match) {
            scenario += "round \"Map " + std::to_string(match) + "\" \"MAP.BMS\"\nloading 5\nwaiting " +
                        (match == 1 ? "120" : "5") + "\nmatchtime 40\nresult " + std::to_string(match) +
                        "\nat 1 join 1 \"Alice\" team=1\nat 2 join 2 \"Bob\" team=2\n";
        }
        std::ofstream(folder.filePath("disk.scn").toStdString()) << scenario;
        std::ofstream(folder.filePath("settings.ini").toStdString())
            << "[server]\r\nservercode=QX1\r\nupdateurl=" << service.Url("update.php").toStdString()
            << "\r\nimporturl=" << service.Url("import.php").toStdString() << "\r\n";
        testing::SimProcess sim("C:\\Games\\JO\\jointops.exe",
                                {"--scenario", folder.filePath("disk.scn").toStdString(), "--time-scale",
                                 "40", "--transcript", folder.filePath("transcript.txt").toStdString()});

        auto backend = MakePlatformBackend();
        SilentDialogs dialogs;
        QtScheduler scheduler;
        QtHttpClient http;
        Application app(*backend, dialogs, scheduler, http, folder.path(), folder.filePath("tovistats.lock"));
        app.Start();
        frmMain& window = *app.Window();
        window.findChild<QTimer*>("Timer")->setInterval(100);
        window.Stats().SetRetryIntervalMs(300);
        const std::filesystem::path stats = window.Stats().Path();

        QTRY_VERIFY_WITH_TIMEOUT(service.received.size() >= 2 && !std::filesystem::exists(stats), 20000);
        // The disk fills: no file of this process may grow. Two matches end meanwhile.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        LimitFileSize(0);
        QTRY_VERIFY_WITH_TIMEOUT(window.Stats().PendingBlocks() >= 2, 20000);
        LimitFileSize(before.rlim_cur);

        QTRY_COMPARE_WITH_TIMEOUT(service.received.size(), kMatches, 40000);
        QStringList expected;
        for (int match = 1; match <= kMatches; ++match) expected << QString::number(match);
        QCOMPARE(service.Results(), expected);
        QCOMPARE(dialogs.shown.filter("could not be saved to stats.stats").size(), 1);
        QCOMPARE(dialogs.shown.filter("stats.stats can be written again").size(), 1);
    }
};

QTEST_MAIN(LiveServerTest)
#include "LiveServerTest.moc"
