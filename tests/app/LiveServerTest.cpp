// The program as an operator runs it: the real window and the real process backend, watching a
// simulator process through its window on an X server of the test's own.
#include <sys/resource.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "QtSupport.h"
#include "RunningProgram.h"
#include "SimProcess.h"

using namespace tovi;

namespace {

// The result byte of each block the service was sent, in the order it got them, repeats included:
// the scenario gives every match its own.
QStringList Results(const testing::LocalService& service) {
    QStringList results;
    for (const testing::TakenRequest& r : service.taken) {
        for (const QByteArray& line : QByteArray::fromStdString(r.stats).split('\n')) {
            if (line.startsWith("ServerInfo "))
                results << QString::fromLatin1(line.trimmed()).section("|**QX**|", 3, 3);
        }
    }
    return results;
}

// Sets how large this process may make a file; writes beyond fail as on a full disk.
void LimitFileSize(rlim_t bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = std::min(bytes, limit.rlim_max);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

// The History tab's rows for one search through its controls, oldest first: "player | text | detail".
QStringList HistorySearch(frmMain& window, int kind, const QString& text, const QString& player = {}) {
    window.findChild<QComboBox*>("cboHistoryKind")->setCurrentIndex(kind);
    window.findChild<QLineEdit*>("txtHistorySearch")->setText(text);
    window.findChild<QLineEdit*>("txtHistoryPlayer")->setText(player);
    window.findChild<QPushButton*>("cmdHistorySearch")->click();
    // Answered off the event loop: the rows are read once the answer came.
    auto* searching = window.findChild<QLabel*>("lblHistorySearching");
    if (!QTest::qWaitFor([searching] { return searching->isHidden(); }, 30000)) return {"no answer came"};
    auto* list = window.findChild<QTreeWidget*>("lstHistory");
    list->sortByColumn(0, Qt::AscendingOrder);
    QStringList rows;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = list->topLevelItem(row);
        // Times differ from run to run: a stint says only whether it ended, a line sent only that
        // it was sent (whether it was read back yet depends on the moment of the search).
        const QString detail = kind == 1 ? item->text(4).section(QLatin1Char(' '), 0, 0)
                                         : item->text(4).section(QStringLiteral(", seen in game"), 0, 0);
        rows << item->text(2) + " | " + item->text(3) + " | " + detail;
    }
    return rows;
}

int RowOf(QTreeWidget* players, const QString& name) {
    for (int row = 0; row < players->topLevelItemCount(); ++row) {
        if (players->topLevelItem(row)->text(1) == name) return row;
    }
    return -1;
}

}  // namespace

class LiveServerTest : public QObject {
    Q_OBJECT
private slots:
    // The record of a session, found again through the History tab, and again after a restart:
    // players join, leave and come back, chat, and the operator punts one and bans another
    // through the player menu.
    void theHistoryTabFindsWhatTheServerSawAndDid() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        // At twice real speed: the players and chat the program must see come seconds apart, Eve's
        // return last; the player menu is used once the scenario has played out.
        std::ofstream(folder.filePath("history.scn").toStdString())
            << "name \"History test\"\nmaxplayers 8\ndedicated 1\ngametype 1\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
               "at 0 join 1 \"Alice\" team=1\nat 0 join 2 \"Bob\" team=2\nat 0 join 3 \"Carol\" team=1\n"
               "at 0 join 4 \"Dave\" team=2\n"
               "at 20 join 5 \"Eve\" team=1\nat 25 chat \"Alice: hello there\"\nat 30 leave 5\n"
               "at 35 chat \"Bob: where is eve\"\nat 40 join 5 \"Eve\" team=1\nat 45 chat \"Eve: back again\"\n";
        auto expectRecord = [](frmMain& window) {
            // Joined in the order read; the first four at the first read, in slot order.
            QCOMPARE(HistorySearch(window, 1, ""),
                     (QStringList{"Alice | slot 1, team 1 | playing", "Bob | slot 2, team 2 | playing",
                                  "Carol | slot 3, team 1 | left", "Dave | slot 4, team 2 | left",
                                  "Eve | slot 5, team 1 | left", "Eve | slot 5, team 1 | playing"}));
            QCOMPARE(HistorySearch(window, 1, "", "eve").size(), 2);
            QCOMPARE(HistorySearch(window, 0, ""),
                     (QStringList{"Alice | hello there | read", "Bob | where is eve | read", "Eve | back again | read",
                                  // The program's own lines are kept once, as sent: read back, they are not news.
                                  "Carol | Carol has been punted from this server | sent",
                                  "Dave | Dave has been banned from this server | sent"}));
            QCOMPARE(HistorySearch(window, 0, "hello"), QStringList{"Alice | hello there | read"});
            QCOMPARE(HistorySearch(window, 0, "", "Bob"), QStringList{"Bob | where is eve | read"});
            // The game's ban is also kept on the program's list, for good.
            QCOMPARE(HistorySearch(window, 2, "").join('\n'),
                     (QStringList{"Carol | chat sent | operator at the window gtalk Carol has been punted from this server",
                                  "Carol | punt sent | operator at the window command punt 3",
                                  "Dave | chat sent | operator at the window gtalk Dave has been banned from this server",
                                  "Dave | ban sent | operator at the window command ban 4",
                                  "Dave | ban listed sent | operator at the window banned from the player menu for good"})
                         .join('\n'));
        };
        {
            testing::SimProcess sim("C:\\Games\\JO\\jointops.exe",
                                    {"--scenario", folder.filePath("history.scn").toStdString(), "--time-scale", "2",
                                     "--transcript", folder.filePath("transcript.txt").toStdString()});
            testing::RunningProgram program(folder.path(), 1, 100);  // its dialogs answer Yes
            frmMain& window = program.Window();
            auto* list = window.findChild<QTreeWidget*>("lstPlayers");
            auto* chat = window.findChild<QTreeWidget*>("lstChatMes1");
            auto label = [&](const char* name) { return window.findChild<QLabel*>(name)->text(); };
            QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 4, 15000);
            QCOMPARE(label("StatusBarPanel3"), QStringLiteral("Hosting mission"));
            QCOMPARE(label("lblServerName"), QStringLiteral("Servername: History test (TDM)"));
            QCOMPARE(label("StatusBarPanel2"), QStringLiteral("PID: %1 ").arg(sim.pid()));
            QTRY_VERIFY_WITH_TIMEOUT(chat->topLevelItemCount() > 0 &&
                                         chat->topLevelItem(0)->text(1) == QStringLiteral("back again"),
                                     40000);
            QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 5, 5000);
            for (const auto& [name, action] : {std::pair{"Carol", "mnuPlayersPunt"}, std::pair{"Dave", "mnuPlayersBan"}}) {
                list->setCurrentItem(list->topLevelItem(RowOf(list, name)));
                window.findChild<QAction*>(action)->trigger();
                QTRY_VERIFY_WITH_TIMEOUT(RowOf(list, name) < 0 && !window.GetService().Channel().Busy(), 15000);
            }
            QTRY_COMPARE_WITH_TIMEOUT(label("StatusBarPanel1"), QStringLiteral("3 of 8"), 5000);
            expectRecord(window);
        }
        // A new window on the same data folder: the session before is all there.
        testing::RunningProgram again(folder.path());
        expectRecord(again.Window());
        QCOMPARE(HistorySearch(again.Window(), 3, "tidal"),
                 QStringList{" | Tidal Wave (JOTR_TIDALWAVE.BMS) TDM, History test | not ended"});
    }

    // A listed name that joins a server running at real time is told why, then punted; how soon is
    // the ban-to-punt bench's to say.
    void aBannedNameThatJoinsIsAnnouncedThenPunted() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        std::ofstream(folder.filePath("ban.scn").toStdString())
            << "maxplayers 8\ndedicated 1\ngametype 1\nround \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\n"
               "loading 0\nwaiting 0\nmatchtime forever\nat 0 join 1 \"Alice\" team=1\nat 6 join 5 \"Mallory\" team=2\n";
        const QString transcript = folder.filePath("transcript.txt");
        testing::RunningProgram program(folder.path());
        QVERIFY(program.Window().GetService().AddBan("Mallory", "wallhack", 0));
        testing::SimProcess sim("C:\\Games\\JO\\jointops.exe",
                                {"--scenario", folder.filePath("ban.scn").toStdString(), "--transcript",
                                 transcript.toStdString()});
        // What the game saw, in its order, without its times.
        auto seen = [&] {
            QFile file(transcript);
            QStringList lines;
            if (file.open(QIODevice::ReadOnly))
                for (const QByteArray& line : file.readAll().split('\n'))
                    if (line.contains("Mallory"))
                        lines << QString::fromLatin1(line).section(QLatin1Char(' '), 1);
            return lines;
        };
        QTRY_VERIFY_WITH_TIMEOUT(seen().filter("punt").size() == 1, 60000);
        // The game shows the line typed, then says it; the punt comes after.
        QCOMPARE(seen().join(" | "),
                 QStringList({"join 5 \"Mallory\"", "line \"Mallory is banned: wallhack\"",
                              "chat \"Host: Mallory is banned: wallhack\"", "punt 5 \"Mallory\""})
                     .join(" | "));
    }

    void aDiskThatFillsAndFreesAgainLosesNoMatch() {
        // Found by the default caption: on a display of its own, only this test's simulator has it.
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        testing::LocalService service;
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
            << "[server]\r\nservercode=QX1\r\nupdateurl=" << service.Url("/tovistats/update.php")
            << "\r\nimporturl=" << service.Url("/tovistats/import.php") << "\r\n";
        testing::SimProcess sim("C:\\Games\\JO\\jointops.exe",
                                {"--scenario", folder.filePath("disk.scn").toStdString(), "--time-scale",
                                 "40", "--transcript", folder.filePath("transcript.txt").toStdString()});

        testing::RunningProgram program(folder.path(), 1, 100);
        frmMain& window = program.Window();
        window.GetService().Stats().SetRetryIntervalMs(300);
        const std::filesystem::path stats = window.GetService().Stats().Path();

        QTRY_VERIFY_WITH_TIMEOUT(Results(service).size() >= 2 && !std::filesystem::exists(stats), 20000);
        // The disk fills: no file of this process may grow. Two matches end meanwhile.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        LimitFileSize(0);
        QTRY_VERIFY_WITH_TIMEOUT(window.GetService().Stats().PendingBlocks() >= 2, 20000);
        LimitFileSize(before.rlim_cur);

        QTRY_COMPARE_WITH_TIMEOUT(Results(service).size(), kMatches, 40000);
        QStringList expected;
        for (int match = 1; match <= kMatches; ++match) expected << QString::number(match);
        QCOMPARE(Results(service), expected);
        QCOMPARE(program.dialogs.asked.filter("could not be saved to stats.stats").size(), 1);
        QCOMPARE(program.dialogs.asked.filter("stats.stats can be written again").size(), 1);

        // The server goes: the window says so and empties its player list.
        sim.Stop();
        QTRY_COMPARE_WITH_TIMEOUT(window.findChild<QLabel*>("StatusBarPanel3")->text(),
                                  QStringLiteral("Game not running"), 5000);
        QCOMPARE(window.findChild<QTreeWidget*>("lstPlayers")->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(LiveServerTest)
#include "LiveServerTest.moc"
