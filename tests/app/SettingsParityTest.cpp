// One settings.ini with every section away from its defaults means the same to every face: the
// window shows in its controls what a copy without a window answers over its web panel.
#include <QCheckBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>

#include "Application.h"
#include "HeadlessPanel.h"
#include "QtHttpClient.h"
#include "QuietFakes.h"
#include "SimProcess.h"
#include "image/ImageBackend.h"

using namespace tovi;

namespace {

const char kSettings[] =
    "[server]\r\nservercode=QX-PARITY\r\nupdateurl=http://127.0.0.1:9/tovistats/update.php\r\n"
    "importurl=http://127.0.0.1:9/tovistats/import.php\r\n"
    "[settings]\r\nuseautomes=7\r\nminplayers=4\r\nscoringtime=33\r\ndisplaynextmapmsg=1\r\nkeeparchive=1\r\n"
    "periodicchat=0\r\nperiodicchattext=Bonne chance \xE0 tous\r\n"
    "[history]\r\nkeepdays=45\r\n"
    "[bans]\r\npresets=2\r\npreset1=7d Cheating\r\npreset2=1h Spawn camping\r\nwarnings=1\r\nwarnwindow=30\r\n"
    "warnladder=2 punt, 3 ban 1d\r\n"
    "[notices]\r\ndesktop=0\r\nwatched=admin|cheat\r\nnot_hosting_minutes=15\r\nreport_failures=5\r\n"
    "max_age_hours=12\r\n"
    "[web]\r\nenabled=1\r\nbind=127.0.0.1\r\nport=0\r\n";

void Prepare(const QString& folder) {
    std::ofstream(QDir(folder).filePath("settings.ini").toStdString(), std::ios::binary) << kSettings;
    std::ofstream(QDir(folder).filePath("automessages.txt").toStdString(), std::ios::binary)
        << "Welcome to the server\r\nNo spawn camping\r\n";
}

QString Lines(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).trimmed();
}

}  // namespace

class SettingsParityTest : public QObject {
    Q_OBJECT
private slots:
    void theWindowAndTheHeadlessPanelShowTheSameSettings() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir windowFolder, headlessFolder;
        Prepare(windowFolder.path());
        Prepare(headlessFolder.path());

        // The window, in this process.
        image::ImageBackend backend;
        testing::NoDialogs dialogs;
        VirtualScheduler scheduler;
        QtHttpClient http;
        Application app(backend, dialogs, scheduler, http, windowFolder.path(),
                        windowFolder.filePath("tovistats.lock"));
        app.Start();
        auto* w = app.Window();
        QVERIFY(w);
        auto find = [w](const char* name) { return w->findChild<QWidget*>(QString::fromLatin1(name)); };
        auto ticked = [&](const char* name) { return qobject_cast<QCheckBox*>(find(name))->isChecked(); };
        auto spin = [&](const char* name) { return qobject_cast<QSpinBox*>(find(name))->value(); };
        auto line = [&](const char* name) { return qobject_cast<QLineEdit*>(find(name))->text(); };
        auto text = [&](const char* name) { return Lines(qobject_cast<QPlainTextEdit*>(find(name))->toPlainText()); };
        const QStringList window{
            "updateUrl " + line("txtUpdateURL"),
            "importUrl " + line("txtImportURL"),
            QStringLiteral("scoring %1 %2").arg(ticked("chkScoringTime")).arg(spin("UpDown1")),
            QStringLiteral("nextMap %1 archive %2").arg(ticked("chkDisplayNextMap")).arg(ticked("chkKeepArchive")),
            QStringLiteral("minPlayers %1 historyDays %2").arg(spin("UpDown")).arg(spin("txtHistoryDays")),
            QStringLiteral("periodic %1 ").arg(ticked("chkPeriodicChat")) + line("txtPeriodicChat"),
            QStringLiteral("automessages %1 %2 ")
                    .arg(ticked("chkEnableAutoMessages"))
                    .arg(qobject_cast<QSlider*>(find("slideAutoMes"))->value()) +
                text("txtAutoMes"),
            "presets " + text("txtBanPresets"),
            QStringLiteral("warnings %1 %2 ").arg(ticked("chkWarnings")).arg(spin("spnWarnWindow")) +
                line("txtWarnLadder"),
            QStringLiteral("notices %1 %2 %3 %4 ")
                    .arg(ticked("chkDesktopNotices"))
                    .arg(spin("spnNotHostingMinutes"))
                    .arg(spin("spnReportFailures"))
                    .arg(spin("spnNoticeMaxAge")) +
                text("txtWatchedWords"),
        };

        // The same file for a copy without a window, read back through its panel.
        QVERIFY(testing::AddPanelUser(headlessFolder.path(), "ada", "admin"));
        QProcess program;
        QByteArray log;
        testing::PanelClient panel;
        panel.base = testing::StartHeadless(program, headlessFolder.path(), log);
        QVERIFY2(!panel.base.isEmpty(), log.constData());
        QVERIFY(panel.LogIn("ada"));
        const QJsonObject s = panel.Call("GET", "/api/v1/settings").second;
        const QJsonObject a = panel.Call("GET", "/api/v1/automessages").second;
        const QJsonObject status = s["statusUpdate"].toObject(), other = s["other"].toObject(),
                          bans = s["bans"].toObject(), notices = s["notices"].toObject();
        QStringList messages;
        for (const QJsonValue& m : a["lines"].toArray()) messages << m.toString();
        const QStringList headless{
            "updateUrl " + status["updateUrl"].toString(),
            "importUrl " + status["importUrl"].toString(),
            QStringLiteral("scoring %1 %2").arg(other["scoringTimeOn"].toBool()).arg(other["scoringSeconds"].toInt()),
            QStringLiteral("nextMap %1 archive %2")
                .arg(other["displayNextMap"].toBool())
                .arg(other["keepArchive"].toBool()),
            QStringLiteral("minPlayers %1 historyDays %2").arg(other["minPlayers"].toInt()).arg(other["historyDays"].toInt()),
            QStringLiteral("periodic %1 ").arg(other["periodicChatOn"].toBool()) + other["periodicChatText"].toString(),
            QStringLiteral("automessages %1 %2 ").arg(a["enabled"].toBool()).arg(a["intervalMinutes"].toInt()) +
                messages.join('\n'),
            "presets " + Lines(bans["presets"].toString()),
            QStringLiteral("warnings %1 %2 ").arg(bans["warningsOn"].toBool()).arg(bans["warningWindowMinutes"].toInt()) +
                bans["warningSteps"].toString(),
            QStringLiteral("notices %1 %2 %3 %4 ")
                    .arg(notices["desktop"].toBool())
                    .arg(notices["notHostingMinutes"].toInt())
                    .arg(notices["reportFailures"].toInt())
                    .arg(notices["maxAgeHours"].toInt()) +
                Lines(notices["watched"].toString()),
        };
        program.terminate();
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(headless, window);
        // Every value is the file's, none a default that both might share.
        QCOMPARE(window.join('|'),
                 QStringLiteral("updateUrl http://127.0.0.1:9/tovistats/update.php|"
                                "importUrl http://127.0.0.1:9/tovistats/import.php|scoring 1 33|nextMap 1 archive 1|"
                                "minPlayers 4 historyDays 45|periodic 0 Bonne chance \u00E0 tous|automessages 1 7 Welcome to the server\nNo spawn camping|"
                                "presets 1w Cheating\n1h Spawn camping|warnings 1 30 2 punt, 3 ban 1d|"
                                "notices 0 15 5 12 admin\ncheat"));
        QCOMPARE(line("txtServerCode"), QStringLiteral("QX-PARITY"));
    }
};

QTEST_MAIN(SettingsParityTest)
#include "SettingsParityTest.moc"
