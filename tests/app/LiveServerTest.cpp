// The program as an operator runs it: the real window and the real process backend, watching a
// simulator process through its window on the X server.
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

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
};

QTEST_MAIN(LiveServerTest)
#include "LiveServerTest.moc"
