// The program as a process of its own against a simulator process. Without a window it follows
// the server, writes a match's stats, refuses a second copy on its folder, and on SIGTERM stops
// with exit code 0, its record complete and its folder free. With its window, SIGTERM runs the
// window's exit steps.
#include <QDir>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "DataFolderLock.h"
#include "LocalService.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"
#include "SqliteHistoryStore.h"

using namespace tovi;

namespace {

QStringList Rows(HistoryStore& store, HistoryKind kind) {
    HistoryQuery query;
    query.Kind = kind;
    QStringList rows;
    for (const HistoryRow& row : store.Search(query))
        rows << QString::fromStdString(row.Player + " | " + row.Text + " | " + row.Detail);
    return rows;
}

}  // namespace

class HeadlessTest : public QObject {
    Q_OBJECT
private slots:
    void runsAMatchAndStopsCleanlyOnSigterm() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        // At twice real speed: 10 s of match (time to start and attach, even on a busy machine), 3 s
        // of scores, then a match that lasts.
        std::ofstream(folder.filePath("headless.scn").toStdString())
            << "name \"Headless test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 6\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime 20\nresult 2\n"
               "at 0 join 1 \"Alice\" team=1 kills=3\nat 0 join 2 \"Bob\" team=2\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
               "at 0 join 1 \"Alice\" team=1\n";
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=QX1\r\n[settings]\r\nminplayers=0\r\n";
        testing::SimProcess sim(
            "C:\\Games\\JO\\jointops.exe",
            {"--scenario", folder.filePath("headless.scn").toStdString(), "--time-scale", "2"});

        QProcess program;
        program.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder.path()});
        QVERIFY(program.waitForStarted());
        QByteArray log;
        auto said = [&](const char* text) { return (log += program.readAllStandardError()).contains(text); };
        const QString stats = folder.filePath("stats.stats");
        // The match end's stats are on disk (no import URL: they wait there for the upload).
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(stats).size() > 0, 40000);
        QVERIFY2(said("No update url defined in settings.ini"), log.constData());
        // The journal names the server followed.
        QVERIFY2(said(qPrintable(QStringLiteral("Attached to the game server: process %1, window \"").arg(sim.pid()))),
                 log.constData());

        // A second copy on the same folder is refused, and needs no display to say so.
        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        second.setProcessEnvironment(environment);
        second.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder.path()});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(
            second.readAllStandardError().contains("Another copy of Tovi stats is using the data folder"));

        // Nor does the help, which names the mode.
        QProcess help;
        help.setProcessEnvironment(environment);
        help.start(TOVISTATS_PATH, {"--help"});
        QVERIFY(help.waitForFinished(20000));
        QCOMPARE(help.exitCode(), 0);
        QVERIFY(help.readAllStandardOutput().contains("--headless"));

        program.terminate();  // SIGTERM
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY2(said("Stopping"), log.constData());
        // What the program made is its user's alone.
        const auto open = QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther;
        QCOMPARE(QFile(folder.filePath("tovistats.db")).permissions() & open, QFileDevice::Permissions());

        // The folder is free again, and the record holds the match and the stop.
        DataFolderLock lock;
        std::string error;
        bool inUse = false;
        QVERIFY2(lock.Acquire(std::filesystem::path(folder.path().toStdString()), error, inUse),
                 error.c_str());
        auto record = SqliteHistoryStore::OpenForReading(folder.filePath("tovistats.db").toStdString());
        QVERIFY(record.Store);
        const QStringList matches = Rows(*record.Store, HistoryKind::Matches);
        QVERIFY2(!matches.isEmpty() && matches.last().contains("Tidal Wave"), qPrintable(matches.join('\n')));
        QVERIFY2(Rows(*record.Store, HistoryKind::Events).filter("Stopping").size() == 1,
                 qPrintable(Rows(*record.Store, HistoryKind::Events).join('\n')));
        QFile file(stats);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("Alice"));
    }

    // Killed as the score screen shows, wherever in the match end's writing that lands, and
    // started again while the scores still show: the match is queued once, and no other.
    void aKillAtTheScoreScreenLeavesTheMatchQueuedOnce() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        std::ofstream(folder.filePath("kill.scn").toStdString())
            << "name \"Kill test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 30\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime 20\nresult 2\n"
               "at 0 join 1 \"Alice\" team=1 kills=3\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n";
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=QX1\r\n[settings]\r\nminplayers=0\r\n";
        testing::SimProcess sim(
            "C:\\Games\\JO\\jointops.exe",
            {"--scenario", folder.filePath("kill.scn").toStdString(), "--time-scale", "2"});
        const std::filesystem::path dir = folder.path().toStdString();
        auto run = [&](QProcess& program) {
            program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            program.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder.path()});
            return program.waitForStarted();
        };
        QProcess first;
        QVERIFY(run(first));
        // The kill comes as soon as either file shows the match end: mostly while the note alone
        // holds it, otherwise just after the stats file took it.
        QDeadlineTimer deadline(60000);
        std::error_code ec;
        while (!std::filesystem::exists(dir / "stats.stats.unfinished", ec) &&
               std::filesystem::file_size(dir / "stats.stats", ec) == static_cast<uintmax_t>(-1) && !deadline.hasExpired())
            QThread::msleep(2);
        first.kill();
        QVERIFY(first.waitForFinished(20000));
        QVERIFY(!deadline.hasExpired());

        QProcess second;
        QVERIFY(run(second));
        QTRY_VERIFY_WITH_TIMEOUT(!std::filesystem::exists(dir / "stats.stats.unfinished"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(std::filesystem::file_size(dir / "stats.stats", ec) != static_cast<uintmax_t>(-1), 20000);
        second.terminate();
        QVERIFY(second.waitForFinished(20000));
        QFile file(folder.filePath("stats.stats"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray queued = file.readAll();
        QCOMPARE(queued.count("ServerInfo QX1|**QX**|Tidal Wave"), 1);
        QVERIFY2(queued.contains("Alice"), queued.constData());
    }

    // The disk takes no match (stats.stats cannot be written) when SIGTERM comes, with and without
    // the window: the match kept in memory is saved beside it, and once the disk is right again
    // the next start delivers it.
    void sigtermWithTheStatsFileUnwritableKeepsTheMatchForTheNextStart() {
        for (const bool window : {false, true}) {
            const QString mode = window ? "with the window" : "headless";
            testing::PrivateDisplay display;
            QVERIFY2(!display.name().empty(), "Xvfb could not be started");
            QTemporaryDir folder;
            std::ofstream(folder.filePath("full.scn").toStdString())
                << "name \"Full disk test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 6\n"
                   "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime 20\nresult 2\n"
                   "at 0 join 1 \"Alice\" team=1 kills=3\n"
                   "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n";
            testing::LocalService service;
            std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
                << "[server]\r\nservercode=QX1\r\nupdateurl=" << service.Url("/tovistats/update.php")
                << "\r\nimporturl=" << service.Url("/tovistats/import.php") << "\r\n[settings]\r\nminplayers=0\r\n";
            const std::filesystem::path dir = folder.path().toStdString();
            std::filesystem::create_directory(dir / "stats.stats");  // takes nothing
            testing::SimProcess sim(
                "C:\\Games\\JO\\jointops.exe",
                {"--scenario", folder.filePath("full.scn").toStdString(), "--time-scale", "2"});
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("XDG_RUNTIME_DIR", folder.path());
            environment.insert("XDG_STATE_HOME", folder.filePath("state"));
            environment.insert("QT_QPA_PLATFORM", "offscreen");
            QProcess program;
            program.setProcessEnvironment(environment);
            program.start(TOVISTATS_PATH, window ? QStringList{"--data-dir", folder.path()}
                                                 : QStringList{"--headless", "--data-dir", folder.path()});
            QVERIFY(program.waitForStarted());
            const auto kept = [&] {
                auto record = SqliteHistoryStore::OpenForReading(folder.filePath("tovistats.db").toStdString());
                return record.Store && !Rows(*record.Store, HistoryKind::Events).filter("kept in memory").isEmpty();
            };
            QTRY_VERIFY2_WITH_TIMEOUT(kept(), qPrintable(mode), 40000);
            program.terminate();
            QVERIFY(program.waitForFinished(20000));
            QCOMPARE(program.exitCode(), 0);
            QVERIFY2(QDir(folder.path()).entryList({"unsaved-*.stats"}).size() == 1, qPrintable(mode));

            std::filesystem::remove(dir / "stats.stats");
            QProcess next;
            next.setProcessEnvironment(environment);
            next.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder.path()});
            QVERIFY(next.waitForStarted());
            QTRY_VERIFY2_WITH_TIMEOUT(service.StoredStats().find("Alice") != std::string::npos, qPrintable(mode), 40000);
            next.terminate();
            QVERIFY(next.waitForFinished(20000));
            QCOMPARE(testing::LocalService::Blocks(service.StoredStats()).size(), size_t{1});
            QVERIFY(QDir(folder.path()).entryList({"unsaved-*.stats"}).isEmpty());
        }
    }

    // Nobody is at the window to answer the exit question: a game window hidden stays hidden
    // unless the stop runs the exit steps without it.
    void withItsWindowSigtermShowsAHiddenGameWindowAgain() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=QX1\r\n";
        testing::SimProcess sim("C:\\Games\\JO\\jointops.exe", {"--state", "3"});
        QVERIFY(sim.pid() > 0);

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A lock of its own: about another copy on this machine it would ask, and nobody answers.
        environment.insert("XDG_RUNTIME_DIR", folder.path());
        // Drawn offscreen, as in the window's own tests: the game window is on the X server either way.
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(TOVISTATS_PATH, {"--data-dir", folder.path()});
        QVERIFY(program.waitForStarted());
        const auto found = [&] {
            auto record = SqliteHistoryStore::OpenForReading(folder.filePath("tovistats.db").toStdString());
            const QRegularExpression foundEvent("^ \\| found \\|");
            return record.Store && !Rows(*record.Store, HistoryKind::Events).filter(foundEvent).isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(found(), 40000);

        // Hidden as the window's Hide button does it.
        auto backend = MakePlatformBackend();
        MemoryClass memory(*backend);
        QVERIFY(memory.SetProcID(sim.pid()));
        const int32_t window = memory.GetProcHwnd();
        QVERIFY(memory.ShowGameWindow(false));
        QTRY_VERIFY(!testing::WindowVisible(window));

        program.terminate();  // SIGTERM
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(testing::WindowVisible(window));
    }
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "HeadlessTest.moc"
