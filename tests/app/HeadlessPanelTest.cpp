// The web panel of the program without a window, over real HTTP, against a simulator process:
// accounts added with the program's own command, a chat line and a punt that reach the
// simulator's console, the audit log naming the account, a viewer refused, and a slot that no
// longer holds the player left alone, an action refused once the server is gone, a refused login in
// the audit log, the players chart read from the record after a restart, an account removed with
// the command refused by the running program; and a port that another program holds is logged
// while the program runs on, which starts its panel once the port is free. The panel takes any free port and the test
// reads from the log which one.
#include <QJsonArray>
#include <QTcpServer>
#include <QTemporaryDir>
#include <fstream>

#include "HeadlessPanel.h"
#include "SimProcess.h"

using namespace tovi;

namespace {

// One browser, and the players its panel lists, as "slot name".
struct Browser : testing::PanelClient {
    QStringList Players() {
        QStringList names;
        for (const QJsonValue& p : Call("GET", "/api/v1/players").second.value("players").toArray())
            names << QString::number(p["slot"].toInt()) + " " + p["name"].toString();
        return names;
    }
};

// The simulator's console outcomes (chat, commands, punts), in order, without their times.
QStringList Outcomes(const QString& transcript) {
    QFile file(transcript);
    QStringList outcomes;
    if (!file.open(QIODevice::ReadOnly)) return outcomes;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QString action = QString::fromUtf8(line.mid(line.indexOf(' ') + 1));
        if (action.startsWith("chat ") || action.startsWith("command ") || action.startsWith("punt "))
            outcomes << action;
    }
    return outcomes;
}

}  // namespace

class HeadlessPanelTest : public QObject {
    Q_OBJECT
private slots:
    void moderatorChatsAndPuntsThroughThePanel() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        const QString transcript = folder.filePath("transcript.txt");
        // Any free port: the program says which one it took.
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=QX1\r\n[settings]\r\nminplayers=0\r\n[web]\r\nenabled=1\r\n"
               "bind=127.0.0.1\r\nport=0\r\n";
        QVERIFY(testing::AddPanelUser(folder.path(), "mia", "moderator"));
        QVERIFY(testing::AddPanelUser(folder.path(), "vic", "viewer"));

        testing::SimProcess sim("C:\\Games\\JO\\jointops.exe",
                                {"--state", "3", "--players", "4", "--transcript", transcript.toStdString()});
        QVERIFY(sim.pid() > 0);
        QProcess program;
        QByteArray log;
        const QString base = testing::StartHeadless(program, folder.path(), log);
        QVERIFY2(!base.isEmpty(), log.constData());

        Browser mia, vic;
        mia.base = vic.base = base;
        // A refused login is in the audit log with its address, never with the password tried.
        vic.Call("POST", "/api/v1/login", {{"name", "vic"}, {"password", "not the password"}});
        QVERIFY(mia.LogIn("mia"));
        QVERIFY(vic.LogIn("vic"));
        QTRY_COMPARE_WITH_TIMEOUT(vic.Players(), (QStringList{"1 Player1", "2 Player2", "3 Player3", "4 Player4"}),
                                  30000);

        const QJsonObject status = vic.Call("GET", "/api/v1/status").second;
        QCOMPARE(status.value("serverName").toString(), QStringLiteral("Tovi test server"));
        QCOMPARE(status.value("maxPlayers").toInt(), 32);
        QCOMPARE(mia.Call("POST", "/api/v1/chat", {{"text", "hello from the panel"}}).first, 200);
        // A viewer may not punt; a slot that holds someone else is not acted on.
        QCOMPARE(vic.Call("POST", "/api/v1/players/punt", {{"slot", 2}, {"name", "Player2"}, {"reason", "x"}}).first,
                 403);
        const auto wrong = mia.Call("POST", "/api/v1/players/punt", {{"slot", 3}, {"name", "Player2"}, {"reason", "x"}});
        QCOMPARE(wrong.first, 409);
        QVERIFY2(wrong.second.value("error").toString().contains("no longer holds"),
                 qPrintable(wrong.second.value("error").toString()));
        QCOMPARE(mia.Call("POST", "/api/v1/players/punt", {{"slot", 2}, {"name", "Player2"}, {"reason", "camping"}})
                     .first,
                 200);

        const QStringList expected{"chat \"Host: hello from the panel\"", "chat \"Host: Punting Player2, camping\"",
                                   "command \"punt 2\"", "punt 2 \"Player2\""};
        QTRY_VERIFY_WITH_TIMEOUT(Outcomes(transcript).size() >= expected.size(), 40000);
        QCOMPARE(Outcomes(transcript), expected);
        QTRY_COMPARE_WITH_TIMEOUT(vic.Players(), (QStringList{"1 Player1", "3 Player3", "4 Player4"}), 30000);
        QByteArray audit;
        auto punted = [&] {
            const QJsonObject rows = vic.Call("GET", "/api/v1/audit").second;
            audit = QJsonDocument(rows).toJson();
            for (const QJsonValue& row : rows.value("rows").toArray()) {
                const QString text = QString::fromUtf8(QJsonDocument(row.toObject()).toJson());
                if (text.contains("mia") && text.contains("punt") && text.contains("Player2")) return true;
            }
            return false;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(punted(), audit.constData(), 20000);
        QVERIFY2(audit.contains("login failed") && audit.contains("from 127.0.0.1"), audit.constData());
        QVERIFY(!audit.contains("not the password"));

        // With the server gone, an action says so instead of claiming success.
        sim.Stop();
        QTRY_VERIFY_WITH_TIMEOUT(!vic.Call("GET", "/api/v1/status").second.value("attached").toBool(), 20000);
        const auto alone = mia.Call("POST", "/api/v1/chat", {{"text", "anyone?"}});
        QCOMPARE(alone.first, 409);
        QVERIFY2(alone.second.value("error").toString().contains("No game server"),
                 qPrintable(alone.second.value("error").toString()));

        program.terminate();
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 0);

        // The players chart is the record's: started again, the program shows whom it saw before.
        QProcess again;
        QByteArray againLog;
        Browser later;
        later.base = testing::StartHeadless(again, folder.path(), againLog);
        QVERIFY2(!later.base.isEmpty(), againLog.constData());
        QVERIFY(later.LogIn("vic"));
        const QJsonObject chart = later.Call("GET", "/api/v1/status/players-over-time").second;
        QVERIFY2(chart.value("day").toObject().value("peak").toInt() == 4,
                 QJsonDocument(chart).toJson().constData());

        // An account removed with the command while the program runs: the command names the file
        // it acted on, and the running program refuses the account's session from then on.
        QByteArray out, err;
        QCOMPARE(testing::AccountCommand(folder.path(), {"--remove-user", "vic"}, out, err), 0);
        QVERIFY2(out.contains("Removed vic and its tokens from the file ") && out.contains("tovistats.db"),
                 out.constData());
        QVERIFY2(!err.contains("web panel"), err.constData());
        QTRY_COMPARE_WITH_TIMEOUT(later.Call("GET", "/api/v1/session").first, 401, 5000);
        again.terminate();
        QVERIFY(again.waitForFinished(20000));
        QCOMPARE(again.exitCode(), 0);
    }

    // A port another program holds: the panel says so, the program runs on, and the panel starts
    // once the port is free.
    void portTakenIsLoggedAndTheProgramRunsOn() {
        QTemporaryDir folder;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[web]\r\nenabled=1\r\nbind=127.0.0.1\r\nport=" << holder.serverPort() << "\r\n";
        QProcess program;
        program.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder.path()});
        QVERIFY(program.waitForStarted());
        QByteArray log;
        auto said = [&](const char* text) { return (log += program.readAllStandardError()).contains(text); };
        QTRY_VERIFY2_WITH_TIMEOUT(said("The web panel cannot listen on 127.0.0.1:"), log.constData(), 30000);
        QCOMPARE(program.state(), QProcess::Running);
        holder.close();
        QTRY_VERIFY2_WITH_TIMEOUT(said("The web panel listens on http://127.0.0.1:"), log.constData(), 30000);
        program.terminate();
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(HeadlessPanelTest)
#include "HeadlessPanelTest.moc"
