// The main window on Qt's offscreen platform, over in-process game images and a virtual clock.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QApplication>
#include <QWheelEvent>
#include <QSlider>
#include <QScrollBar>
#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#if TOVI_PLAYERS_CHART
#include <QChart>
#include <QChartView>
#include <QXYSeries>
#endif
#include <sqlite3.h>

#include <fstream>
#include <iterator>

#include "ActionFeedback.h"
#include "ActivityLog.h"
#include "Application.h"
#include "BansStrip.h"
#include "GameAddresses.h"
#include "HistoryStrip.h"
#include "LogDialog.h"
#include "NoticeCenter.h"
#include "PlayerHistoryDialog.h"
#include "QtHttpClient.h"
#include "QtSupport.h"
#include "QuietFakes.h"
#include "SqliteHistoryStore.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

using namespace tovi;
using tovi::testing::NoDialogs;

namespace {

// What an Application needs besides its folders, for a second copy beside a fixture's.
struct Parts {
    image::ImageBackend backend;
    NoDialogs dialogs;
    VirtualScheduler scheduler;
    QtHttpClient http;
};

struct Fixture {
    image::ImageBackend backend;
    image::GameImage server;
    NoDialogs dialogs;
    VirtualScheduler scheduler;
    QTemporaryDir folder;
    QtHttpClient http;
    Application app{backend, dialogs, scheduler, http, folder.path(), folder.filePath("tovistats.lock")};

    frmMain& Start() {
        app.Start();
        return *app.Window();
    }
    template <typename T> T* Find(const char* name) { return app.Window()->findChild<T*>(QString::fromLatin1(name)); }
    QString Panel(int n) { return Find<QLabel>(qPrintable(QStringLiteral("StatusBarPanel%1").arg(n)))->text(); }
    void HostServer(uint8_t state) {
        backend.AddServer(4711, server);
        server.SetByte(game::kGameState, state);
        server.SetText(game::kServerName, game::kServerNameLength, "  |QX| Proving Ground");
        server.SetByte(game::kGameType, 9);
        server.SetText(game::kMapName, game::kMapNameLength, "Tidal Wave");
        server.SetText(game::kMapFile, game::kMapFileLength, "JOTR_TIDALWAVE.BMS");
        server.SetByte(game::kMaxPlayers, 32);
        server.SetByte(game::kPlayerCount, 12);
        server.SetDWord(game::kMatchClock, 10 * 3600 * 62);
    }
};

// The visible top-level window of type T, if any: message and input boxes are opened without a parent.
template <typename T> T* OpenBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<T*>(w); box && box->isVisible()) return box;
    }
    return nullptr;
}

const char* const kServerControls[] = {"txtType", "cmdSendText", "cmdHide", "cmdMapResetGames", "cmdGameTimeInc",
                                       "cmdGameTimeDec"};

}  // namespace

class frmMainTest : public QObject {
    Q_OBJECT
private slots:
    // Start-up on the Status and Chat tab with the server controls off; a server as it comes and goes.
    void startsOnStatusAndChatAndShowsTheServerAsItComesAndGoes() {
        Fixture f;
        frmMain& window = f.Start();
        QVERIFY(window.isVisible());
        QCOMPARE(window.windowTitle(), QStringLiteral("|QX| Tovi stats for JO:TR 1.5.1.5"));
        QCOMPARE(window.CurrentStrip(), 3);
        for (const char* name : kServerControls) QVERIFY2(!f.Find<QWidget>(name)->isEnabled(), name);
        QVERIFY(f.app.GetService()->PollTimerObject().isActive());

        window.Timer_Timer();  // no game running: words, not blank panels
        QCOMPARE(QStringList({f.Panel(1), f.Panel(2), f.Panel(3), f.Panel(4)}),
                 QStringList({"No players", "No server", "Game not running", "No match"}));
        QVERIFY(f.Find<QPlainTextEdit>("txtDebugLog")->isHidden());
        // The settings file's warnings (no file here) reach the window's dialogs, and nothing else.
        QCOMPARE(f.dialogs.asked.size(), 3);

        f.HostServer(3);
        window.Timer_Timer();
        QCOMPARE(f.Find<QLabel>("lblServerName")->text(), QStringLiteral("Servername: |QX| Proving Ground (AAS)"));
        QCOMPARE(f.Panel(1) + f.Panel(2) + f.Panel(3), QStringLiteral("12 of 32PID: 4711 Hosting mission"));
        for (const char* name : kServerControls) QVERIFY2(f.Find<QWidget>(name)->isEnabled(), name);

        // The server stops hosting, then goes: the Map tab's clock goes with it.
        f.server.SetByte(game::kGameState, 0);
        window.Timer_Timer();
        QVERIFY(!f.Find<QLabel>("lblGameTime")->text().isEmpty());
        f.backend.RemoveProcess(4711);
        window.Timer_Timer();
        QCOMPARE(f.Find<QLabel>("lblGameTime")->text(), QString());
    }

    void exitAsksFirstAndShowsAHiddenGameWindow() {
        Fixture f;
        frmMain& window = f.Start();
        f.HostServer(3);
        window.Timer_Timer();
        f.Find<QPushButton>("cmdHide")->click();
        QVERIFY(!f.backend.Find(4711)->visible);

        f.dialogs.answers = {false};
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QCOMPARE(f.dialogs.asked.last(), QStringLiteral("Are you sure you want to exit?"));
        QVERIFY(f.app.GetService()->PollTimerObject().isActive());
        // Matches the stats file refused are named first, and kept in a file of their own on exit.
        QDir(f.folder.path()).mkdir("stats.stats");
        window.GetService().WriteStats(false, 1, 10);
        window.close();
        QVERIFY(f.dialogs.asked.last().startsWith("The stats of 1 match could not be saved to stats.stats yet"));

        f.dialogs.answers = {true};
        window.close();
        QVERIFY(!window.isVisible());
        QCOMPARE(QDir(f.folder.path()).entryList({QStringLiteral("unsaved-*.stats")}).size(), 1);
        QVERIFY(f.backend.Find(4711)->visible);
        QVERIFY(!window.Tray().isVisible());
        QVERIFY(!f.app.GetService()->PollTimerObject().isActive());
    }

    // A second copy asks first and No ends it; a copy on a data folder in use is refused, saying why.
    void aSecondCopyAsksAndNoEndsIt() {
        QTemporaryDir folder;
        QLockFile running(folder.filePath("tovistats.lock"));
        QVERIFY(running.tryLock(0));
        Parts p;
        Application second(p.backend, p.dialogs, p.scheduler, p.http, folder.path(), folder.filePath("tovistats.lock"));
        bool started = true;
        p.dialogs.answers = {false};
        second.Start([&](bool s) { started = s; });
        QVERIFY(!started);
        QCOMPARE(p.dialogs.asked,
                 QStringList{"There is another instance of Tovi running. Are you sure you want to start another one?"});
        QVERIFY(second.Window() == nullptr);  // no window, so no second tray icon

        Application third(p.backend, p.dialogs, p.scheduler, p.http, folder.path(), folder.filePath("tovistats.lock"));
        p.dialogs.answers = {true};
        third.Start([&](bool s) { started = s; });
        QVERIFY(started);
        QVERIFY(third.Window()->isVisible());

        QTemporaryDir elsewhere;  // its own instance lock, the same data folder
        Application fourth(p.backend, p.dialogs, p.scheduler, p.http, folder.path(),
                           elsewhere.filePath("tovistats.lock"));
        fourth.Start([&](bool s) { started = s; });
        QVERIFY(!started && fourth.Window() == nullptr);
        QVERIFY(p.dialogs.asked.last().startsWith("Another copy of Tovi stats is using the data folder " +
                                                  folder.path()));
    }

    // A click that ends the match asks first, and the Map tab says what became of it.
    void clicksThatEndTheMatchAskFirst() {
        Fixture f;
        frmMain& window = f.Start();
        f.HostServer(3);
        window.Timer_Timer();
        f.dialogs.asked.clear();
        f.server.SetDWord(game::kMatchClock, 3000);
        f.Find<QToolButton>("cmdGameTimeDec")->click();
        f.Find<QToolButton>("cmdMapResetGames")->click();
        QCOMPARE(f.Find<QLabel>("lblMapFeedback")->text(), QStringLiteral("not sent: not confirmed"));
        f.scheduler.Advance(ActionFeedback::kShowMs);
        QCOMPARE(f.dialogs.asked, (QStringList{MatchTime::kEndMatchByClockQuestion, MatchTime::kResetGamesQuestion}));
        QCOMPARE(f.Find<QLabel>("lblMapFeedback")->text(), QString());
    }

    void theServerListTracksOnlyTheSupportedVersion() {
        Fixture f;
        image::GameImage older;
        f.HostServer(3);
        f.backend.AddServer(5150, older, "V1.5.1.4");
        older.SetByte(game::kGameState, 3);
        frmMain& window = f.Start();
        auto* list = f.Find<QTreeWidget>("lstServers");
        auto* track = f.Find<QPushButton>("cmdTrackServer");
        auto* useList = f.Find<QCheckBox>("chkUseDefaultWindow");
        QCOMPARE(list->topLevelItemCount(), 2);  // listed once at start-up
        QCOMPARE(list->topLevelItem(1)->text(2), QStringLiteral("V1.5.1.4"));
        QVERIFY(!list->isEnabled() && !f.Find<QPushButton>("cmdRefreshList")->isEnabled());

        window.Timer_Timer();  // attached by caption
        useList->click();
        QVERIFY(list->isEnabled() && !track->isEnabled());
        list->setCurrentItem(list->topLevelItem(1));
        emit list->itemClicked(list->topLevelItem(1), 0);
        QVERIFY(track->isEnabled());
        track->click();
        QCOMPARE(f.dialogs.asked.last(), QStringLiteral("Wrong version"));

        // Nothing tracked yet in list mode: the id left by the last caption attach is kept.
        window.Timer_Timer();
        QCOMPARE(f.Panel(2), QStringLiteral("PID: 4711 "));

        list->setCurrentItem(list->topLevelItem(0));
        track->click();
        QVERIFY(f.dialogs.asked.last().startsWith(QStringLiteral("Stats of process 4711 ")));

        f.Find<QPushButton>("cmdRefreshList")->click();
        QVERIFY(!track->isEnabled());
    }

    // The boxes come one after another, as plain text (they name players); input boxes take no
    // more than their limit.
    void messageBoxesComeOneAfterAnotherAsPlainText() {
        QtDialogs dialogs;
        auto openBoxes = [] {
            QList<QMessageBox*> boxes;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) boxes << box;
            }
            return boxes;
        };
        dialogs.Warn("No ServerCode defined in settings.ini");
        dialogs.Warn("No update url defined in settings.ini");
        bool answered = false;
        dialogs.Ask("Are you sure you want to punt <u>Bob</u>?", [&](bool yes) { answered = !yes; });
        auto choice = Dialogs::Choice::Yes;
        dialogs.AskWithCancel("Save them now?", [&](Dialogs::Choice c) { choice = c; });
        QStringList seen;
        for (int i = 0; i < 4; ++i) {
            QTRY_COMPARE(openBoxes().size(), 1);
            QMessageBox* box = openBoxes().first();
            QCOMPARE(box->windowTitle(), QStringLiteral("|QX| Tovi stats"));
            QCOMPARE(box->textFormat(), Qt::PlainText);
            seen << box->text();
            if (i < 3) box->button(i < 2 ? QMessageBox::Ok : QMessageBox::No)->click();
            if (i == 3) QTest::keyClick(box, Qt::Key_Escape);  // Cancel
            QTRY_VERIFY(!box->isVisible());
        }
        QCOMPARE(seen, (QStringList{"No ServerCode defined in settings.ini",
                                    "No update url defined in settings.ini",
                                    "Are you sure you want to punt <u>Bob</u>?", "Save them now?"}));
        QVERIFY(answered && choice == Dialogs::Choice::Cancel);
        std::optional<std::string> reason;
        dialogs.LimitedInputBox("Enter reason to punt <u>Bob</u>", "", 5,
                                [&](std::optional<std::string> text) { reason = text; });
        QTRY_VERIFY(OpenBox<QInputDialog>());
        QInputDialog* input = OpenBox<QInputDialog>();
        for (QLabel* label : input->findChildren<QLabel*>()) QCOMPARE(label->textFormat(), Qt::PlainText);
        QTest::keyClicks(input->findChild<QLineEdit*>(), QStringLiteral("abcdefgh"));
        input->accept();
        QCOMPARE(reason, std::optional<std::string>("abcde"));
    }

    // The record outlives the run: after a restart the History tab finds the chat and the admin
    // actions of the session before, game texts shown as the plain text they are.
    void theHistoryTabFindsTheLastSessionAsPlainText() {
        QTemporaryDir folder;
        const QString lock = folder.filePath("tovistats.lock");
        const std::string markup = "<b>gg</b> &amp; <img src=x>";
        {
            Parts p;
            image::GameImage server;
            p.backend.AddServer(4711, server);
            server.SetByte(game::kGameState, 3);
            server.SetText(game::kChatLine, game::kChatLineLength, "Ann: " + markup);
            server.SetText(game::kMapName, game::kMapNameLength, "Tidal Wave");
            Application app{p.backend, p.dialogs, p.scheduler, p.http, folder.path(), lock};
            app.Start();
            app.Window()->Timer_Timer();
            QCOMPARE(app.Window()->findChild<QTreeWidget*>("lstChatMes1")->topLevelItemCount(), 1);
            app.Window()->findChild<QToolButton*>("cmdGameTimeInc")->click();

            // Every player menu action lands in the audit log with its outcome, also when it ends
            // before anything is sent.
            frmMain& window = *app.Window();
            const uint32_t bobName = image::GameImage::SlotAddress(1) + game::slot::kName;
            server.SetText(bobName, game::slot::kNameLength, "Bob");
            window.GetService().ReadPlayers(true, 16);
            auto* players = window.findChild<QTreeWidget*>("lstPlayers");
            auto menu = [&](const char* name) { window.findChild<QAction*>(name)->trigger(); };
            menu("mnuPlayersPunt");
            players->setCurrentItem(players->topLevelItem(0));
            p.dialogs.answers = {false};
            menu("mnuPlayersBan");
            p.dialogs.inputs = {std::nullopt};
            menu("mnuPlayersTalk");
            p.dialogs.inputs = {"cheating"};
            menu("mnuPlayersBanReason");
            server.SetByte(game::kGameState, 1);  // the map cycles before the reason is told
            p.scheduler.Advance(5000);
            server.SetByte(game::kGameState, 3);
            p.dialogs.answers = {true};
            menu("mnuPlayersPunt");
            server.SetText(bobName, game::slot::kNameLength, "");  // Bob leaves before his turn
            p.scheduler.Advance(5000);
            server.SetByte(game::kGameState, 4);  // the match ends
            window.Timer_Timer();
            p.scheduler.Advance(1000);
        }
        // Lines older than the five days the record keeps, more than one batch of them.
        {
            auto opened = SqliteHistoryStore::Open(folder.filePath("tovistats.db").toStdString(), [](const std::string&) {});
            QVERIFY(opened.Store);
            const int64_t old = QDateTime::currentSecsSinceEpoch() - 6 * 24 * 3600;
            for (int i = 0; i < 700; ++i) opened.Store->ChatRead(old, "Zed", "ancient words");
            opened.Store->Flush();
            std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::app) << "[history]\r\nkeepdays=5\r\n";
        }
        Parts p;
        Application app{p.backend, p.dialogs, p.scheduler, p.http, folder.path(), lock};
        app.Start();
        frmMain& window = *app.Window();
        QCOMPARE(window.findChild<QSpinBox*>("txtHistoryDays")->value(), 5);
        p.scheduler.Advance(1000);  // forgotten a batch at a time, on turns of their own
        auto* tabs = window.findChild<QTabWidget*>("Tabs");
        QCOMPARE(tabs->count(), 9);
        QCOMPARE(tabs->tabBar()->tabData(7).toString(), QStringLiteral("history"));
        QCOMPARE(tabs->tabBar()->tabData(8).toString(), QStringLiteral("bans"));
        QCOMPARE(tabs->widget(7)->objectName(), QStringLiteral("fraStrips8"));
        auto* search = window.findChild<QLineEdit*>("txtHistorySearch");
        auto* list = window.findChild<QTreeWidget*>("lstHistory");
        // Searches are answered off the event loop: each waits for its answer.
        auto* searching = window.findChild<QLabel*>("lblHistorySearching");
        search->setText(QStringLiteral("gg"));
        QTest::keyClick(search, Qt::Key_Return);
        QTRY_VERIFY(searching->isHidden());
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(2), QStringLiteral("Ann"));
        QCOMPARE(list->topLevelItem(0)->text(3), QString::fromStdString(markup));
        auto* kind = window.findChild<QComboBox*>("cboHistoryKind");
        auto* find = window.findChild<QPushButton*>("cmdHistorySearch");
        search->setText(QStringLiteral("ancient"));
        find->click();
        QTRY_VERIFY(searching->isHidden());
        QCOMPARE(list->topLevelItemCount(), 0);
        QTRY_VERIFY(window.findChild<QLabel*>("lblHistorySize")->text().contains(QStringLiteral("1 match, 1 stint, 1 chat line")));

        // The previous session's match.
        kind->setCurrentIndex(3);
        search->clear();
        find->click();
        QTRY_VERIFY(searching->isHidden());
        QCOMPARE(list->topLevelItemCount(), 1);
        QVERIFY(list->topLevelItem(0)->text(3).startsWith(QStringLiteral("Tidal Wave")));
        // Bob's stint ends at a time shown as the list shows times, not as the record's seconds.
        kind->setCurrentIndex(1);
        find->click();
        QTRY_VERIFY(searching->isHidden());
        QCOMPARE(list->topLevelItemCount(), 1);
        const QString left = list->topLevelItem(0)->text(4);
        QVERIFY2(left.startsWith(QStringLiteral("left ")) &&
                     QDateTime::fromString(left.mid(5), QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid(),
                 qPrintable(left));

        kind->setCurrentIndex(2);
        find->click();
        QTRY_VERIFY(searching->isHidden());
        QStringList actions;  // oldest first
        for (int row = list->topLevelItemCount() - 1; row >= 0; --row)
            actions << list->topLevelItem(row)->text(2) + " | " + list->topLevelItem(row)->text(3);
        QCOMPARE(actions, (QStringList{
                              " | match time sent",
                              " | punt refused: no player selected",
                              "Bob | ban skipped: not confirmed",
                              "Bob | talk skipped: no text given",
                              "Bob | chat refused: the server was loading a map or not hosting",
                              "Bob | ban refused: its reason could not be announced",
                              "Bob | chat skipped: slot 1 no longer holds that player",
                              "Bob | punt skipped: slot 1 no longer holds that player",
                          }));

        // A row that names a player opens what the record knows of him.
        emit list->itemDoubleClicked(list->topLevelItem(0), 2);
        QTRY_VERIFY(window.findChild<PlayerHistoryDialog*>());
        auto* view = window.findChild<PlayerHistoryDialog*>();
        QVERIFY(view->isVisible());
        QCOMPARE(view->findChild<QTreeWidget*>("lstPlayerNames")->topLevelItemCount(), 1);
        QCOMPARE(view->findChild<QTreeWidget*>("lstPlayerStints")->topLevelItemCount(), 1);
        QCOMPARE(view->findChild<QTreeWidget*>("lstPlayerMatches")->topLevelItemCount(), 1);
        QCOMPARE(view->findChild<QTreeWidget*>("lstPlayerActions")->topLevelItemCount(), 6);
        view->close();

        // The result goes to a file of the operator's choosing, whole; or nowhere, with the reason.
        window.findChild<QPushButton*>("cmdHistoryExport")->click();
        auto* ask = window.findChild<QFileDialog*>("dlgHistoryExport");
        QVERIFY(ask);
        ask->selectFile(folder.filePath("actions.csv"));
        QMetaObject::invokeMethod(ask, "accept");
        QFile csv(folder.filePath("actions.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines.size(), 1 + 8 + 1);  // a heading, the rows, the end of the last line
        QVERIFY(lines[1].contains("punt skipped") && lines[1].endsWith('\r'));
        QVERIFY(!window.HistoryTab().ExportHistory(folder.filePath("missing/actions.csv")));
        QVERIFY(p.dialogs.asked.last().startsWith("The history was not exported to "));

        // A search the record cannot read says why and shows no rows.
        {
            sqlite3* db = nullptr;
            QCOMPARE(sqlite3_open(folder.filePath("tovistats.db").toStdString().c_str(), &db), SQLITE_OK);
            QCOMPARE(sqlite3_exec(db, "DROP TABLE server_events", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        }
        auto* failure = window.findChild<QLabel*>("lblHistoryError");
        QVERIFY(failure && failure->isHidden());
        kind->setCurrentIndex(4);
        search->clear();
        find->click();
        QTRY_VERIFY(searching->isHidden());
        QCOMPARE(list->topLevelItemCount(), 0);
        QVERIFY(!failure->isHidden());
        QVERIFY(failure->text().startsWith(QStringLiteral("Search failed: no such table")));

        // The retention setting is saved with the other settings.
        window.findChild<QSpinBox*>("txtHistoryDays")->setValue(30);
        window.findChild<QToolButton*>("cmdSaveSettingsOther")->click();
        std::ifstream ini(folder.filePath("settings.ini").toStdString());
        QVERIFY(std::string(std::istreambuf_iterator<char>(ini), {}).find("keepdays=30") != std::string::npos);
    }

#if TOVI_PLAYERS_CHART
    // The History tab charts the record's players: the day with its match ends, and the match.
    void theHistoryTabChartsThePlayers() {
        Fixture f;
        const int64_t now = QDateTime::currentSecsSinceEpoch();
        {
            auto opened = SqliteHistoryStore::Open(f.folder.filePath("tovistats.db").toStdString(), {});
            QVERIFY(opened.Store);
            opened.Store->MatchStarted({now - 7200, "Server", "Tidal Wave", "JOTR_TIDALWAVE.BMS", "TDM"});
            opened.Store->PlayerJoined(now - 7000, "Ann", 1, 1);
            opened.Store->PlayerJoined(now - 6000, "Bob", 2, 2);
            opened.Store->MatchEnded({now - 3600, "", 2, false, ""});
        }
        frmMain& window = f.Start();
        auto* tabs = f.Find<QTabWidget>("Tabs");
        tabs->setCurrentIndex(7);
        auto series = [&](const char* view, const char* name) {
            return f.Find<QChartView>(view)->chart()->findChild<QXYSeries*>(QString::fromLatin1(name));
        };
        auto peak = [](QXYSeries* s) {
            qreal top = 0;
            for (const QPointF& p : s->points()) top = std::max(top, p.y());
            return top;
        };
        // Read off the event loop: drawn once the answer came.
        QTRY_COMPARE(series("chtPlayersDay", "serPlayersDay")->name(), QStringLiteral("Last 24 hours"));
        QCOMPARE(peak(series("chtPlayersDay", "serPlayersDay")), 2.0);
        QCOMPARE(series("chtPlayersDay", "serMatchEndsDay")->points(), (QList<QPointF>{{static_cast<qreal>(now - 3600) * 1000, 2}}));
        QCOMPARE(series("chtPlayersMatch", "serPlayersMatch")->name(), QStringLiteral("Last match"));
        QCOMPARE(peak(series("chtPlayersMatch", "serPlayersMatch")), 2.0);

        // A match begins under the window's eyes: shown again, the chart follows it.
        f.HostServer(3);
        window.Timer_Timer();
        dynamic_cast<SqliteHistoryStore&>(window.GetService().History()).Drain();
        tabs->setCurrentIndex(0);
        tabs->setCurrentIndex(7);
        QTRY_COMPARE(series("chtPlayersMatch", "serPlayersMatch")->name(), QStringLiteral("This match"));
        QCOMPARE(peak(series("chtPlayersMatch", "serPlayersMatch")), 0.0);
    }
#endif

    // The Bans tab after History: a ban is listed at once, kept in the record's file across a
    // restart, moved out as CSV and named in the player's history. (The player menu's bans:
    // everyActionSaysWhatBecameOfItOnItsTab; a ban enforced at once: the test below.)
    void theBanListTabKeepsItsBansAndMovesThemAsCsv() {
        QTemporaryDir folder;
        const QString lock = folder.filePath("tovistats.lock");
        const QString csv = folder.filePath("bans.csv");
        {
            Parts p;
            Application app{p.backend, p.dialogs, p.scheduler, p.http, folder.path(), lock};
            app.Start();
            frmMain& window = *app.Window();
            QVERIFY(window.GetService().AddBan("<u>Bob</u>", "Team killing", 24 * 3600));
            auto* bans = window.findChild<QTreeWidget*>("lstBans");
            window.BansTab().Refresh();
            QCOMPARE(bans->topLevelItemCount(), 1);
            QCOMPARE(bans->topLevelItem(0)->text(0), QStringLiteral("<u>Bob</u>"));
            QCOMPARE(bans->topLevelItem(0)->text(1), QStringLiteral("active"));
            QVERIFY(window.BansTab().ExportFile(csv));
        }
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("\r\n<u>Bob</u>,0,Team killing,operator at the window,"));

        Parts p;
        Application app{p.backend, p.dialogs, p.scheduler, p.http, folder.path(), lock};
        app.Start();
        frmMain& window = *app.Window();
        auto* bans = window.findChild<QTreeWidget*>("lstBans");
        QCOMPARE(bans->topLevelItemCount(), 1);
        window.findChild<QComboBox*>("cboBanFilter")->setCurrentIndex(3);  // lifted
        QCOMPARE(bans->topLevelItemCount(), 0);

        // His history names the ban, whatever the letter case asked for.
        window.HistoryTab().ShowPlayerHistory("<U>BOB</U>");
        QTRY_VERIFY(window.findChild<PlayerHistoryDialog*>());
        auto* view = window.findChild<PlayerHistoryDialog*>();
        auto* record = view->findChild<QTreeWidget*>("lstPlayerBans");
        QCOMPARE(record->topLevelItemCount(), 1);
        QCOMPARE(record->topLevelItem(0)->text(1), QStringLiteral("active"));
        QCOMPARE(record->topLevelItem(0)->text(2), QStringLiteral("Team killing"));
    }

    // A ban added on the Bans tab is the service's: logged and recorded in the window's name, and
    // the player it names is punted at once, not at the next read, whatever case was typed.
    void aBanAddedOnTheTabActsAtOnceOnASeatedPlayer() {
        Fixture f;
        frmMain& window = f.Start();
        f.HostServer(3);
        f.server.SetText(image::GameImage::SlotAddress(1) + game::slot::kName, game::slot::kNameLength, "Bob");
        window.Timer_Timer();
        window.GetService().ReadPlayers(true, 16);
        std::vector<std::string> console;
        f.server.onConsoleAction = [&](const std::string& action) { console.push_back(action); };
        std::vector<std::string> recorded;
        connect(&window.GetService(), &Service::adminActionRecorded, this,
                [&](const AdminAction& a) { recorded.push_back(a.Who + " | " + ActionName(a.Action) + " | " + a.Target); });

        f.Find<QPushButton>("cmdBanAdd")->click();
        auto* dialog = window.findChild<QDialog*>("dlgBan");
        QVERIFY(dialog);
        dialog->findChild<QLineEdit*>("txtBanName")->setText(QStringLiteral("bob"));
        dialog->findChild<QLineEdit*>("txtBanReason")->setText(QStringLiteral("wallhack"));
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        f.scheduler.Advance(20000);
        QVERIFY(std::find(console.begin(), console.end(), "punt 1 \"Bob\"") != console.end());
        QCOMPARE(recorded.front(), std::string("operator at the window | ban listed | bob"));
        QVERIFY(f.Find<QPlainTextEdit>("txtLog")->toPlainText().contains(QStringLiteral("Banned bob for 1w: wallhack")));
        QCOMPARE(window.GetService().Bans().Entries().at(0).IssuedBy, std::string("operator at the window"));
    }

    void theChatLineStopsAtItsLimitAndClearsOnlyOnceSent() {
        Fixture f;
        frmMain& window = f.Start();
        f.HostServer(3);
        window.Timer_Timer();
        auto* type = f.Find<QLineEdit>("txtType");
        QTest::keyClicks(type, QString(130, QLatin1Char('a')));
        QCOMPARE(type->text().size(), 123);
        QTest::keyClick(type, Qt::Key_Backspace);  // editing keys still work at the limit
        QCOMPARE(type->text().size(), 122);
        QTest::keyClick(type, Qt::Key_Return);
        QVERIFY(window.GetService().Channel().Busy() || window.GetService().Channel().Waiting() == 1);
        // The line stays until it went out, and the tab says how far it got.
        auto* said = f.Find<QLabel>("lblChatFeedback");
        QCOMPARE(type->text().size(), 122);
        QCOMPARE(said->text(), QStringLiteral("sending…"));
        QTest::keyClick(type, Qt::Key_Return);  // again while it is on its way: sent once

        // The send runs on the clock; the console takes the word and then the text.
        std::vector<std::string> actions;
        f.server.onConsoleAction = [&](const std::string& action) { actions.push_back(action); };
        f.scheduler.Advance(4000);
        QCOMPARE(std::count(actions.begin(), actions.end(), "chat \"Host: " + std::string(122, 'a') + "\""), 1);
        QVERIFY(type->text().isEmpty());
        QCOMPARE(said->text(), QStringLiteral("sent"));
        f.scheduler.Advance(ActionFeedback::kShowMs);
        QCOMPARE(said->text(), QString());

        // Refused while the map cycles: the command stays with the reason, to be sent again.
        f.server.SetByte(game::kGameState, 1);
        QTest::keyClicks(type, QStringLiteral("/restart"));
        QTest::keyClick(type, Qt::Key_Return);
        f.scheduler.Advance(2000);
        QCOMPARE(type->text(), QStringLiteral("/restart"));
        QCOMPARE(said->text(), QStringLiteral("failed: the server was loading a map or not hosting"));
        f.server.SetByte(game::kGameState, 3);
        QTest::keyClick(type, Qt::Key_Return);
        f.scheduler.Advance(2000);
        QVERIFY(type->text().isEmpty());
        // Nor does the server going away take what was typed.
        QTest::keyClicks(type, QStringLiteral("brb"));
        f.backend.RemoveProcess(4711);
        window.Timer_Timer();
        QVERIFY(!type->isEnabled());
        QCOMPARE(type->text(), QStringLiteral("brb"));
    }

    void everyActionSaysWhatBecameOfItOnItsTab() {
        Fixture f;
        frmMain& window = f.Start();
        f.HostServer(3);
        const uint32_t bobName = image::GameImage::SlotAddress(1) + game::slot::kName;
        f.server.SetText(bobName, game::slot::kNameLength, "Bob");
        window.Timer_Timer();
        window.GetService().ReadPlayers(true, 16);
        auto said = [&](const char* name) { return f.Find<QLabel>(name)->text(); };
        // Runs the clock until the tab says something other than that it is sending.
        auto outcome = [&](const char* name) {
            for (int i = 0; i < 100 && said(name) == QStringLiteral("sending…"); ++i) f.scheduler.Advance(100);
            return said(name);
        };

        // A punt: his row shows it pending, then sent, until he is gone.
        auto* players = f.Find<QTreeWidget>("lstPlayers");
        auto bob = [&] { return players->topLevelItem(0); };
        players->setCurrentItem(bob());
        f.dialogs.answers = {true};
        f.Find<QAction>("mnuPlayersPunt")->trigger();
        QCOMPARE(said("lblPlayersFeedback"), QStringLiteral("sending…"));
        QVERIFY(!bob()->icon(1).isNull());
        QCOMPARE(bob()->toolTip(1), QStringLiteral("Bob\nPunt pending: not sent yet"));
        QCOMPARE(outcome("lblPlayersFeedback"), QStringLiteral("sent"));
        QVERIFY(bob()->toolTip(1).endsWith(QStringLiteral("Punt sent: waiting for the player to leave")));
        window.GetService().ReadPlayers(true, 16);  // the game has let him go
        QCOMPARE(players->topLevelItemCount(), 0);
        f.server.SetText(bobName, game::slot::kNameLength, "Bob");  // back later: nothing pending
        window.GetService().ReadPlayers(true, 16);
        QVERIFY(bob()->icon(1).isNull());

        // A ban whose reason cannot be told fails, and his row no longer shows it.
        players->setCurrentItem(bob());
        f.dialogs.inputs = {"cheating"};
        f.Find<QAction>("mnuPlayersBanReason")->trigger();
        QVERIFY(bob()->toolTip(1).endsWith(QStringLiteral("Ban pending: not sent yet")));
        f.server.SetByte(game::kGameState, 1);
        QCOMPARE(outcome("lblPlayersFeedback"), QStringLiteral("failed: its reason could not be announced"));
        QVERIFY(bob()->icon(1).isNull());
        QCOMPARE(f.Find<QLabel>("StatusBarFailures")->text(), QStringLiteral("Failed: 0 punts, 1 ban, 0 reports"));

        // "Warn" and "Ban for" say so too, also when they end at their question.
        f.server.SetByte(game::kGameState, 3);
        f.dialogs.inputs = {std::nullopt, "language"};
        f.Find<QAction>("mnuPlayersWarn")->trigger();
        QCOMPARE(said("lblPlayersFeedback"), QStringLiteral("not sent: no text given"));
        f.Find<QAction>("mnuPlayersWarn")->trigger();
        QCOMPARE(outcome("lblPlayersFeedback"), QStringLiteral("sent"));
        auto* banFor = f.Find<QMenu>("mnuPlayersBanFor");
        emit banFor->aboutToShow();
        f.dialogs.answers = {false, true};
        banFor->findChild<QAction*>("mnuPlayersBanFor1")->trigger();
        QCOMPARE(said("lblPlayersFeedback"), QStringLiteral("not sent: not confirmed"));
        QVERIFY(bob()->icon(1).isNull());
        banFor->findChild<QAction*>("mnuPlayersBanFor1")->trigger();
        QCOMPARE(said("lblPlayersFeedback"), QStringLiteral("sent"));
        QVERIFY(bob()->toolTip(1).endsWith(QStringLiteral("Ban sent: waiting for the player to leave")));
    }

    // The tray menu: the window, the server at a glance, the game window's button, exit as the
    // window's; the picture warns while no server is found, its memory is refused (explained once,
    // in the backend's words) or a report fails (and the status bar counts it).
    void theTrayMenuShowsTheServerAndActsAsTheWindowDoes() {
        Fixture f;
        frmMain& window = f.Start();
        auto* menu = f.Find<QMenu>("mnuTray");
        QStringList entries;
        for (QAction* action : menu->actions()) entries << action->objectName();
        QCOMPARE(entries, (QStringList{"mnuTrayShow", "mnuTrayStatus", "mnuTrayLine1", "mnuTrayServerWindow",
                                       "mnuTrayLine2", "mnuTrayExit"}));
        QCOMPARE(menu->defaultAction()->text(), QStringLiteral("&Show"));
        auto* status = f.Find<QAction>("mnuTrayStatus");
        auto* gameWindow = f.Find<QAction>("mnuTrayServerWindow");
        auto warning = [&] {
            return window.Tray().icon().cacheKey() == window.Notices().WarningIcon().cacheKey();
        };
        window.Timer_Timer();  // no game running
        QVERIFY(warning());
        QCOMPARE(window.Tray().toolTip(), QStringLiteral("Tovi status: Game not running"));
        QCOMPARE(status->text(), QStringLiteral("Game not running"));
        QVERIFY(!status->isEnabled() && !gameWindow->isEnabled());

        f.HostServer(3);
        window.Timer_Timer();
        QVERIFY(!warning());
        QCOMPARE(window.Tray().toolTip(),
                 QStringLiteral("Tovi status: Hosting mission\n|QX| Proving Ground\n12 of 32 players"));
        QCOMPARE(status->text(), QStringLiteral("|QX| Proving Ground: 12 of 32 players, Hosting mission"));
        gameWindow->trigger();
        QVERIFY(!f.backend.Find(4711)->visible && !f.Find<QPushButton>("cmdShow")->isHidden());
        QCOMPARE(gameWindow->text(), QStringLiteral("Show server &window"));
        gameWindow->trigger();
        QVERIFY(f.backend.Find(4711)->visible && f.Find<QPushButton>("cmdShow")->isHidden());

        emit window.GetService().transferEnded("Status report", false, "no answer");
        QVERIFY(warning());
        QVERIFY(
            window.Tray().toolTip().endsWith(QStringLiteral("players\nStatus report failing: no answer")));
        emit window.GetService().transferEnded("Status report", true, "");
        QVERIFY(!warning());
        QCOMPARE(f.Find<QLabel>("StatusBarFailures")->text(),
                 QStringLiteral("Failed: 0 punts, 0 bans, 1 report"));
        // A match refused for good warns until the operator has had the window in front.
        emit window.GetService().uploadRejected("HTTP 400: too many players", "Rejected/ab.stats");
        QVERIFY(warning());
        QVERIFY(window.Tray().toolTip().endsWith(
            QStringLiteral("1 match refused by the stats service, set aside: HTTP 400: too many players")));
        window.activateWindow();
        QTRY_VERIFY(window.isActiveWindow());
        QTRY_VERIFY(!warning());

        f.backend.Find(4711)->accessible = false;
        f.dialogs.asked.clear();
        window.Timer_Timer();
        window.Timer_Timer();
        QCOMPARE(f.dialogs.asked.size(), 1);
        QVERIFY(f.dialogs.asked.first().endsWith(QString::fromStdString(f.backend.AccessRefusedAdvice())));
        QVERIFY(warning() && window.Tray().toolTip().contains(QStringLiteral("memory is refused\n")));
        f.backend.Find(4711)->accessible = true;
        window.Timer_Timer();
        QVERIFY(!warning());

        window.showMinimized();
        QTRY_VERIFY(window.isHidden());
        menu->defaultAction()->trigger();
        QVERIFY(window.isVisible() && !window.isMinimized());
        f.dialogs.answers = {false};
        f.Find<QAction>("mnuTrayExit")->trigger();
        QCOMPARE(f.dialogs.asked.last(), QStringLiteral("Are you sure you want to exit?"));
        QVERIFY(window.isVisible());
    }

    // Leaving the Settings tab or the program with changed settings asks first: Cancel stays,
    // No goes back to what is saved, Yes saves.
    void changedSettingsAreNotLostUnasked() {
        Fixture f;
        frmMain& window = f.Start();
        auto* tabs = f.Find<QTabWidget>("Tabs");
        auto* code = f.Find<QLineEdit>("txtServerCode");
        auto* store = f.Find<QLineEdit>("txtSharedStore");
        QVERIFY(store->toolTip().contains("shared PostgreSQL database") &&
                store->toolTip().contains("starts again"));
        const QString saved = code->text();
        using Choice = Dialogs::Choice;
        f.dialogs.asked.clear();
        tabs->setCurrentIndex(5);
        tabs->setCurrentIndex(0);  // nothing changed, nothing asked

        tabs->setCurrentIndex(5);
        code->setText(QStringLiteral("SHOTS"));
        f.dialogs.choices = {Choice::Cancel, Choice::No};
        tabs->setCurrentIndex(0);
        QCOMPARE(window.CurrentStrip(), 6);
        QVERIFY(f.Find<QWidget>("fraStrips6")->isVisible());
        tabs->setCurrentIndex(1);
        QCOMPARE(window.CurrentStrip(), 2);
        QCOMPARE(code->text(), saved);
        QCOMPARE(f.dialogs.asked,
                 QStringList(2, "These settings have been changed but not saved: Status update settings. Save them now?"));

        // Every group counts, the notices' and the ban settings' too; No puts back what is saved,
        // also in the service, where a changed player minimum was in effect at once.
        Service& service = window.GetService();
        for (auto [name, group] : {std::pair{"spnNotHostingMinutes", "Notices"}, {"spnWarnWindow", "Bans and warnings"},
                                   {"UpDown", "Other settings"}}) {
            tabs->setCurrentIndex(5);
            auto* spin = f.Find<QSpinBox>(name);
            const int before = spin->value();
            spin->setValue(before + 1);
            f.dialogs.asked.clear();
            f.dialogs.choices = {Choice::No};
            tabs->setCurrentIndex(1);
            QCOMPARE(f.dialogs.asked, QStringList{QStringLiteral("These settings have been changed but not saved: %1."
                                                                 " Save them now?").arg(group)});
            QCOMPARE(spin->value(), before);
        }
        // Two groups changed: one question names both.
        tabs->setCurrentIndex(5);
        f.Find<QSpinBox>("UpDown")->setValue(f.Find<QSpinBox>("UpDown")->value() + 1);
        code->setText(QStringLiteral("TWO"));
        f.dialogs.asked.clear();
        f.dialogs.choices = {Choice::No};
        tabs->setCurrentIndex(1);
        QCOMPARE(f.dialogs.asked, QStringList{"These settings have been changed but not saved: Other settings, Status"
                                              " update settings. Save them now?"});
        QCOMPARE(code->text(), saved);
        QCOMPARE(service.MinPlayersText(), std::string("0"));

        code->setText(QStringLiteral("SHOTS"));
#if defined(TOVI_STORE_POSTGRES)
        store->setText(QStringLiteral("host=db.example.net dbname=tovi password=pg-S3cret"));
#endif
        // Another face saving other groups neither saves nor forgets these changes, and the
        // window's boxes show what it saved.
        QVERIFY(service.SaveNoticeSettings(service.Notices().Current(), "alice"));
        QVERIFY(service.SaveBanSettings("1h Spawn camping", true, "2 punt", 5, "alice"));
        QCOMPARE(f.Find<QPlainTextEdit>("txtBanPresets")->toPlainText(), QStringLiteral("1h Spawn camping\n"));
        QCOMPARE(f.Find<QSpinBox>("spnWarnWindow")->value(), 5);
        f.dialogs.answers = {true, true};
        f.dialogs.choices = {Choice::Cancel, Choice::Yes};
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        window.close();
        QVERIFY(!window.isVisible());
        std::ifstream ini(f.folder.filePath("settings.ini").toStdString());
        const std::string file(std::istreambuf_iterator<char>(ini), {});
        QVERIFY(file.find("servercode=SHOTS") != std::string::npos);
#if defined(TOVI_STORE_POSTGRES)
        QVERIFY(file.find("postgres=host=db.example.net dbname=tovi password=pg-S3cret") != std::string::npos);
#endif
    }

    // Scrolling the Settings page with the wheel never changes a value it passes over.
    void theWheelScrollsTheSettingsPageRatherThanItsBoxes() {
        Fixture f;
        frmMain& window = f.Start();
        window.resize(640, 360);
        f.Find<QTabWidget>("Tabs")->setCurrentIndex(5);
        auto* page = f.Find<QScrollArea>("fraStrips6Page");
        QScrollBar* bar = page->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        for (auto* box : {static_cast<QWidget*>(f.Find<QSpinBox>("UpDown")), static_cast<QWidget*>(f.Find<QSlider>("slideAutoMes")),
                          static_cast<QWidget*>(f.Find<QPlainTextEdit>("txtAutoMes"))}) {
            bar->setValue(0);
            auto* spin = qobject_cast<QSpinBox*>(box);
            const int before = spin ? spin->value() : 0;
            auto* target = qobject_cast<QAbstractScrollArea*>(box) ? qobject_cast<QAbstractScrollArea*>(box)->viewport() : box;
            QWheelEvent down(QPointF(2, 2), target->mapToGlobal(QPointF(2, 2)), QPoint(), QPoint(0, -120), Qt::NoButton,
                             Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(target, &down);
            QVERIFY2(bar->value() > 0, qPrintable(box->objectName()));
            if (spin) QCOMPARE(spin->value(), before);
        }
    }

    void gameAndFileTextsAreShownAsPlainText() {
        Fixture f;
        frmMain& window = f.Start();
        f.HostServer(3);
        const std::pair<uint32_t, int> fields[] = {
            {game::kServerName, game::kServerNameLength}, {game::kMapName, game::kMapNameLength},
            {game::kMapFile, game::kMapFileLength},       {game::kServerMessage, game::kServerMessageLength},
            {game::kHostPlayer, game::kHostPlayerLength}, {game::kCountryCode, game::kCountryCodeLength}};
        for (auto [address, length] : fields)
            f.server.SetText(address, static_cast<size_t>(length), "<b>x</b><img src=y>");
        f.server.SetText(image::GameImage::SlotAddress(1) + game::slot::kName, game::slot::kNameLength,
                         "<u>Bob</u>");
        f.server.SetText(game::kChatLine, game::kChatLineLength, "<u>Bob</u>: <a href=z>hi</a>");
        window.Timer_Timer();
        window.GetService().ReadPlayers(true, 16);  // names and chat go to list rows, which are plain text

        QStringList withMarkup;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            if (!label->text().contains(QLatin1Char('<'))) continue;
            withMarkup << label->objectName();
            QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->objectName()));
        }
        withMarkup.sort();
        QCOMPARE(withMarkup, (QStringList{"lblCountryCode", "lblCurrentMap", "lblHostplayer",
                                          "lblServerMessage", "lblServerName"}));
        QCOMPARE(f.Find<QTreeWidget>("lstPlayers")->topLevelItem(0)->text(1), QStringLiteral("<u>Bob</u>"));
        // Long texts are cut where the window ends, and whole in their tooltips.
        f.server.SetText(game::kServerMessage, game::kServerMessageLength, std::string(200, 'W'));
        window.Timer_Timer();
        auto* message = f.Find<QLabel>("lblServerMessage");
        QCOMPARE(message->toolTip(), message->text());
        QVERIFY(message->text().endsWith(QStringLiteral("WWW")) && message->minimumSizeHint().width() < 100);
        QCOMPARE(f.Find<QTreeWidget>("lstPlayers")->topLevelItem(0)->toolTip(1),
                 QStringLiteral("<u>Bob</u>"));
        QCOMPARE(f.Find<QTreeWidget>("lstChatMes1")->topLevelItem(0)->toolTip(1),
                 QStringLiteral("<a href=z>hi</a>"));
    }

    // Only what is shown takes a key: each tab's page with what is outside the pages (the tabs
    // themselves among it) must not give one key twice, so that no control shadows a tab.
    void everyAcceleratorIsUniqueOnItsPageAndInEachMenu() {
        Fixture f;
        frmMain& window = f.Start();
        using Owners = QMap<QString, QStringList>;  // accelerator key: what carries it
        auto note = [](Owners& keys, const QString& text, const QString& owner) {
            const QKeySequence key = QKeySequence::mnemonic(text);
            if (!key.isEmpty()) keys[key.toString()] << owner + " \"" + text + "\"";
        };
        auto check = [](const Owners& keys) {
            for (auto it = keys.begin(); it != keys.end(); ++it)
                QVERIFY2(it.value().size() == 1, qPrintable(it.key() + ": " + it.value().join(", ")));
        };
        auto* tabs = f.Find<QTabWidget>("Tabs");
        auto collect = [&note](Owners& keys, const std::function<bool(QWidget*)>& within, QWidget* root) {
            for (QAbstractButton* button : root->findChildren<QAbstractButton*>())
                if (within(button)) note(keys, button->text(), button->objectName());
            for (QGroupBox* box : root->findChildren<QGroupBox*>())
                if (within(box)) note(keys, box->title(), box->objectName());
            for (QLabel* label : root->findChildren<QLabel*>())
                if (label->buddy() && within(label)) note(keys, label->text(), label->objectName());
            for (QTabBar* bar : root->findChildren<QTabBar*>())
                if (within(bar))
                    for (int tab = 0; tab < bar->count(); ++tab) note(keys, bar->tabText(tab), bar->objectName());
        };
        auto onAPage = [tabs](QWidget* w) {
            for (int page = 0; page < tabs->count(); ++page)
                if (tabs->widget(page)->isAncestorOf(w)) return true;
            return false;
        };
        Owners always;
        collect(always, [&onAPage](QWidget* w) { return !onAPage(w); }, &window);
        QVERIFY(always.size() >= 9);  // the tabs
        size_t all = 0;
        for (int page = 0; page < tabs->count(); ++page) {
            Owners keys = always;
            QWidget* shown = tabs->widget(page);
            collect(keys, [](QWidget*) { return true; }, shown);
            all += static_cast<size_t>(keys.size() - always.size());
            check(keys);
        }
        QVERIFY(all >= 20);

        const QList<QMenu*> menus = window.findChildren<QMenu*>();
        QCOMPARE(menus.size(), 3);  // mnuPlayers, its Ban for entry, and mnuTray
        for (QMenu* menu : menus) {
            Owners entries;
            for (QAction* action : menu->actions()) note(entries, action->text(), action->objectName());
            check(entries);
        }
    }

    // The box keeps the six newest lines, each as the activity log's rule words it, one line each
    // whatever a message holds; emptied, it starts again.
    void theLogBoxKeepsSixLinesAsTheRuleSays() {
        Fixture f;
        frmMain& window = f.Start();
        window.ClearLog();
        auto* box = f.Find<QPlainTextEdit>("txtLog");
        std::string expected;
        for (int i = 0; i < 9; ++i) {
            const std::string message =
                i == 7 ? "Bob\r\nStats upload confirmed" : "line " + std::to_string(i);
            window.GetService().Log(message);
            expected = tovi::AddLine(expected, i == 7 ? "Bob  Stats upload confirmed" : message, 5, "T");
        }
        QString shown = box->toPlainText();
        shown.replace(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]"),
                                         QRegularExpression::MultilineOption),
                      QStringLiteral("[T]"));
        QCOMPARE(shown + "\n", QString::fromStdString(expected).replace("\r\n", "\n"));
        QCOMPARE(box->document()->blockCount(), 6);
        window.ClearLog();
        window.GetService().Log("again");
        QCOMPARE(box->document()->blockCount(), 1);
    }

    // Lines of an action from the web panel name the player and the account, and the whole log is
    // in the record: found by part of a line in any letter case, a page at a time.
    void theFullLogFindsLinesAndPagesAndPanelActionsNameTheirActor() {
        Fixture f;
        frmMain& window = f.Start();
        Service& service = window.GetService();
        f.HostServer(3);
        f.server.SetText(image::GameImage::SlotAddress(1) + game::slot::kName, game::slot::kNameLength,
                         "<b>Bob</b>");
        window.Timer_Timer();
        service.ReadPlayers(true, 16);
        QVERIFY(service.Act({.Kind = ActionKind::Punt, .Actor = "alice", .Unattended = true,
                             .Player = ListedPlayer{"1", "<b>Bob</b>", 1}, .Text = "camping"})
                    .Ok());
        f.scheduler.Advance(20000);
        const QString box = f.Find<QPlainTextEdit>("txtLog")->toPlainText();
        QVERIFY2(box.contains("Added player in slot 1 (<b>Bob</b>) to punt-queue, by alice"), qPrintable(box));
        QVERIFY2(box.contains("Punting player in slot 1 (<b>Bob</b>), by alice"), qPrintable(box));

        for (int i = 0; i < 2 * LogDialog::kPage + 50; ++i) service.Log("Zebra " + std::to_string(i));
        // Its key, on the tab of the log.
        window.findChild<QTabWidget*>("Tabs")->setCurrentIndex(1);
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(window.windowHandle(), Qt::Key_L, Qt::ControlModifier);
        QTRY_VERIFY(window.FullLog() && window.FullLog()->isVisible());  // the button's click is animated
        LogDialog* dialog = window.FullLog();
        auto* list = dialog->findChild<QTreeWidget*>("lstLog");
        auto* more = dialog->findChild<QPushButton*>("cmdLogMore");
        auto* search = dialog->findChild<QLineEdit*>("txtLogSearch");
        // Each page is read off the event loop and shown when its answer comes.
        auto* count = dialog->findChild<QLabel*>("lblLogCount");
        const auto answered = [count] { return !count->text().startsWith(QStringLiteral("Searching")); };
        QTRY_VERIFY(answered());
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("Zebra 449"));
        QTest::keyClicks(search, QStringLiteral("zEBRA"));
        QTest::keyClick(search, Qt::Key_Return);
        QTRY_VERIFY(answered());
        // Many lines of one second: each page takes up where the last ended, none twice.
        QStringList seen;
        for (int page = 1; page <= 3; ++page) {
            QCOMPARE(list->topLevelItemCount(), std::min(page * LogDialog::kPage, 2 * LogDialog::kPage + 50));
            QCOMPARE(more->isEnabled(), page < 3);
            if (page < 3) {
                more->click();
                QTRY_VERIFY(answered());
            }
        }
        for (int row = 0; row < list->topLevelItemCount(); ++row) seen << list->topLevelItem(row)->text(1);
        QCOMPARE(seen.first(), QStringLiteral("Zebra 449"));
        QCOMPARE(seen.last(), QStringLiteral("Zebra 0"));
        QCOMPARE(seen.removeDuplicates(), 0);
        search->clear();
        QTest::keyClicks(search, QStringLiteral("BY ALICE"));
        dialog->Search();
        QTRY_VERIFY(answered());
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("Punting player in slot 1 (<b>Bob</b>), by alice"));
    }

    void newsComeFromTheStatsServiceHost() {
        QCOMPARE(NewsUrl("http://stats.example.org:8080/tovistats/update.php"),
                 QUrl("http://stats.example.org:8080/tovistats/news.php"));
        QCOMPARE(NewsUrl(" https://s.example.org/x "), QUrl("https://s.example.org/tovistats/news.php"));
        QVERIFY(!NewsUrl("").isValid());
        QVERIFY(!NewsUrl("servercode").isValid());

        // A real local web server answers the page.
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost));
        QByteArray requestLine;
        connect(&web, &QTcpServer::newConnection, &web, [&] {
            QTcpSocket* socket = web.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                requestLine = socket->readLine().trimmed();
                const QByteArray page = "<html><body><h1>Map night</h1></body></html>";
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n"
                              "Content-Length: " + QByteArray::number(page.size()) + "\r\n\r\n" + page);
                socket->disconnectFromHost();
            });
        });
        Fixture f;
        frmMain& window = f.Start();
        const QUrl news = NewsUrl("http://127.0.0.1:" + std::to_string(web.serverPort()) + "/tovistats/update.php");
        window.ShowNews(news);
        QTRY_VERIFY(f.Find<QTextBrowser>("WebBrowser")->toPlainText().contains("Map night"));
        QCOMPARE(requestLine, QByteArray("GET /tovistats/news.php HTTP/1.1"));
        QVERIFY(f.Find<QPushButton>("cmdOpenNews")->isEnabled());

        // Nobody listens any more: a short message instead of the page.
        const quint16 port = web.serverPort();
        web.close();
        window.ShowNews(QUrl(QStringLiteral("http://127.0.0.1:%1/tovistats/news.php").arg(port)));
        QTRY_VERIFY(f.Find<QLabel>("lblNewsStatus")->text().startsWith("The news page could not be loaded"));
        QVERIFY(f.Find<QTextBrowser>("WebBrowser")->toPlainText().isEmpty());
    }
};

QTEST_MAIN(frmMainTest)
#include "frmMainTest.moc"
