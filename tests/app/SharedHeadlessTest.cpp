// Two copies of the program, each with --headless against its own simulator on its own X server,
// on one shared PostgreSQL database of the test's own: a ban made in the community's list is
// enforced by the server where the player is, and while the database is stopped one server's match
// ends and its chat flows on; once the database is back every line is there exactly once. And the
// web panel of a copy on that database: its accounts answered from the copy's own file, so that a
// lock on them holds up no request, a session lives through an outage, and a copy started while
// the database hangs lets in an account and a token read before; an account removed with the
// command is refused by the running copy within seconds.
#include <sqlite3.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <memory>
#include <set>

#include "HeadlessPanel.h"
#include "PgCluster.h"
#include "SimProcess.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

int64_t Number(const std::string& conninfo, const std::string& sql, const std::vector<PgValue>& params = {}) {
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error, 2);
    if (!conn) return -1;
    PgResult r = conn->Exec(sql, params);
    return r.Ok() && r.Rows() == 1 ? r.Int(0, 0) : -1;
}

// Batches waiting in a copy's own file for the shared database.
int64_t Waiting(const QString& file) {
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(file.toStdString().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 1000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM shared_outbox", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            count = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return count;
}

// A copy of the program with its own folder, started on the X server that DISPLAY names now.
struct Copy {
    QTemporaryDir folder;
    QProcess program;
    Copy(const std::string& code, const std::string& conninfo) {
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=" << code
            << "\r\n[settings]\r\nminplayers=0\r\n[store]\r\npostgres=" << conninfo << "\r\n";
    }
    void Start() {
        program.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        program.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder.path()});
    }
    ~Copy() {
        program.terminate();
        program.waitForFinished(20000);
    }
};

}  // namespace

class SharedHeadlessTest : public QObject {
    Q_OBJECT
private slots:
    void twoServersShareBansAndKeepEveryRowThroughAnOutage() {
        PgCluster cluster;
        QVERIFY2(cluster.Ok(), cluster.Error().c_str());
        const std::string conninfo = cluster.NewDatabase();
        Copy eu("EU1", conninfo), us("US1", conninfo);

        // EU1 at twice real speed: a match with a chat line every 2 s, then one that lasts.
        std::string scenario =
            "name \"EU one\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 4\n"
            "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime 60\nresult 2\n"
            "at 0 join 1 \"Alice\" team=1 kills=3\n";
        for (int i = 1; i <= 14; ++i)
            scenario += "at " + std::to_string(i * 4) + " chat \"Alice: L" + std::to_string(100 + i) + "\"\n";
        scenario +=
            "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
            "at 0 join 1 \"Alice\" team=1\n";
        for (int i = 1; i <= 30; ++i)
            scenario += "at " + std::to_string(i * 4) + " chat \"Alice: L" + std::to_string(200 + i) + "\"\n";
        std::ofstream(eu.folder.filePath("eu.scn").toStdString()) << scenario;
        std::ofstream(us.folder.filePath("us.scn").toStdString())
            << "name \"US one\"\nmaxplayers 8\ndedicated 1\ngametype 1\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
               "at 0 join 2 \"Mallory\" team=2\n";

        PrivateDisplay euDisplay;
        QVERIFY(!euDisplay.name().empty());
        SimProcess euSim("C:\\Games\\JO\\jointops.exe",
                         {"--scenario", eu.folder.filePath("eu.scn").toStdString(), "--time-scale", "2"});
        eu.Start();
        auto usDisplay = std::make_unique<PrivateDisplay>();
        QVERIFY(!usDisplay->name().empty());
        SimProcess usSim("C:\\Games\\JO\\jointops.exe",
                         {"--scenario", us.folder.filePath("us.scn").toStdString(), "--time-scale", "2"});
        us.Start();

        // Both servers are recorded, each under its code.
        QTRY_VERIFY_WITH_TIMEOUT(Number(conninfo, "SELECT count(*) FROM chat WHERE server = 'EU1'") > 0,
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            Number(conninfo, "SELECT count(*) FROM stints WHERE server = 'US1' AND name = 'Mallory'") > 0,
            60000);

        // A ban made in the community's list (as through any server): the server where Mallory
        // plays punts him.
        QCOMPARE(
            Number(
                conninfo,
                "INSERT INTO bans(name, name_key, name_raw, reason, issued_by, issued_at) VALUES ('Mallory',"
                " 'mallory', 'Mallory'::bytea, 'aimbot', 'web: alice', 1) RETURNING id"),
            int64_t{1});
        QTRY_VERIFY_WITH_TIMEOUT(Number(conninfo,
                                        "SELECT count(*) FROM admin_actions WHERE server = 'US1' AND"
                                        " action = 'ban list punt' AND target = 'Mallory'") > 0,
                                 60000);

        // The database goes away while EU1's match ends and its chat goes on.
        QVERIFY(cluster.Stop());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(eu.folder.filePath("stats.stats")).size() > 0, 90000);
        // The match's end and chat of the next one wait in EU1's own file.
        const QString local = eu.folder.filePath("tovistats.db");
        const int64_t atEnd = Waiting(local);
        QVERIFY(atEnd > 0);
        QTRY_VERIFY_WITH_TIMEOUT(Waiting(local) >= atEnd + 3, 60000);
        QVERIFY(cluster.Start());
        QTRY_VERIFY_WITH_TIMEOUT(Number(conninfo, "SELECT count(*) FROM matches WHERE server = 'EU1'") == 2,
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            Number(conninfo, "SELECT count(*) FROM chat WHERE server = 'EU1' AND message LIKE '%L2%'") >= 6,
            60000);
        eu.program.terminate();
        QVERIFY(eu.program.waitForFinished(20000));

        // Every line from the first the program read on is there, once, in the order said.
        std::string error;
        auto conn = PgConnection::Connect(conninfo, error);
        QVERIFY(conn);
        PgResult r = conn->Exec("SELECT message FROM chat WHERE server = 'EU1' ORDER BY id");
        QVERIFY(r.Ok() && r.Rows() > 0);
        std::vector<int> said;
        for (int i = 0; i < r.Rows(); ++i) {
            const std::string message = r.Text(i, 0);
            const size_t at = message.find('L');
            QVERIFY2(at != std::string::npos, message.c_str());
            said.push_back(std::stoi(message.substr(at + 1)));
        }
        std::vector<int> expected;
        for (int n = said.front(); n <= said.back(); ++n) {
            if ((n > 100 && n <= 114) || (n > 200 && n <= 230)) expected.push_back(n);
        }
        QCOMPARE(said, expected);
        QCOMPARE(Number(conninfo, "SELECT count(*) FROM matches WHERE server = 'EU1' AND ended IS NOT NULL"),
                 int64_t{1});
    }

    void panelAnswersFromItsMirrorThroughLocksAndOutages() {
        PgCluster cluster;
        QVERIFY2(cluster.Ok(), cluster.Error().c_str());
        const std::string conninfo = cluster.NewDatabase();
        QTemporaryDir folder;
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=EU1\r\n[web]\r\nenabled=1\r\nbind=127.0.0.1\r\nport=0\r\n[store]\r\npostgres="
            << conninfo << "\r\n";
        QVERIFY(AddPanelUser(folder.path(), "mia", "moderator"));
        QVERIFY(AddPanelUser(folder.path(), "vic", "viewer"));
        QByteArray out, err;
        QCOMPARE(AccountCommand(folder.path(), {"--new-token", "mia"}, out, err), 0);
        QVERIFY2(err.contains("in the shared database "), err.constData());
        const QByteArray token = out.trimmed();

        QProcess program;
        QByteArray log;
        auto said = [&](const char* text) { return (log += program.readAllStandardError()).contains(text); };
        const QString base = StartHeadless(program, folder.path(), log, 60000);
        QVERIFY2(!base.isEmpty(), log.constData());
        PanelClient mia, vic, script;
        mia.base = vic.base = script.base = base;
        script.bearer = token;
        QVERIFY(mia.LogIn("mia"));
        QVERIFY(vic.LogIn("vic"));
        QCOMPARE(script.Call("GET", "/api/v1/session").first, 200);

        // Another session holds the accounts locked: the copy's own readings give up at the lock's
        // time-out, and meanwhile every request is answered from the mirror, none waiting for it.
        std::string error;
        auto locker = PgConnection::Connect(conninfo, error);
        QVERIFY(locker && locker->Run("BEGIN") && locker->Run("LOCK TABLE accounts IN ACCESS EXCLUSIVE MODE"));
        log.clear();
        QTRY_VERIFY2_WITH_TIMEOUT(said("cannot be read from the shared database"), log.constData(), 30000);
        QElapsedTimer answered;
        answered.start();
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(mia.Call("GET", "/api/v1/session").first, 200);
            QCOMPARE(script.Call("GET", "/api/v1/status").first, 200);
        }
        PanelClient stranger;
        stranger.base = base;
        stranger.bearer = "tovi_made_up";
        QCOMPARE(stranger.Call("GET", "/api/v1/status").first, 401);
        // Generous: checks that waited for the lock would take 2.5 s each.
        QVERIFY2(answered.elapsed() < 5000, qPrintable(QString::number(answered.elapsed())));
        QVERIFY(locker->Run("ROLLBACK"));
        QTRY_VERIFY2_WITH_TIMEOUT(said("read from the shared database again"), log.constData(), 30000);

        // The database hangs: sessions and tokens hold during the outage and after it.
        QVERIFY(cluster.Pause());
        QTRY_VERIFY2_WITH_TIMEOUT(said("cannot be read from the shared database"), log.constData(), 30000);
        QCOMPARE(mia.Call("GET", "/api/v1/session").first, 200);
        QCOMPARE(script.Call("GET", "/api/v1/session").first, 200);
        QVERIFY(cluster.Resume());
        QTRY_VERIFY2_WITH_TIMEOUT(said("read from the shared database again"), log.constData(), 30000);
        QCOMPARE(mia.Call("GET", "/api/v1/session").first, 200);

        // Removed with the command: the running copy ends the session within seconds.
        QCOMPARE(AccountCommand(folder.path(), {"--remove-user", "vic"}, out, err), 0);
        QVERIFY2(out.contains("Removed vic and its tokens from the shared database "), out.constData());
        QTRY_COMPARE_WITH_TIMEOUT(vic.Call("GET", "/api/v1/session").first, 401, 5000);

        // settings.ini names the file now: the commands act on it, and say that the running
        // copy checks other accounts until it is started again.
        const QString settings = folder.filePath("settings.ini");
        QVERIFY(QFile::rename(settings, settings + ".shared"));
        QCOMPARE(AccountCommand(folder.path(), {"--list-users"}, out, err), 0);
        QVERIFY2(err.contains("The web panel of the program running on this folder checks the accounts of the "
                              "shared database ") &&
                     err.contains("this command acts on the file "),
                 err.constData());
        QVERIFY(QFile::rename(settings + ".shared", settings));
        program.terminate();
        QVERIFY(program.waitForFinished(20000));

        // Started while the database hangs: the panel starts and lets in what it read before.
        QVERIFY(cluster.Pause());
        QProcess again;
        QByteArray againLog;
        const QString againBase = StartHeadless(again, folder.path(), againLog, 60000);
        QVERIFY2(!againBase.isEmpty(), againLog.constData());
        PanelClient mia2, vic2, script2;
        mia2.base = vic2.base = script2.base = againBase;
        script2.bearer = token;
        QVERIFY(mia2.LogIn("mia"));
        QCOMPARE(script2.Call("GET", "/api/v1/session").first, 200);
        QVERIFY(!vic2.LogIn("vic"));
        again.terminate();
        QVERIFY(again.waitForFinished(20000));
        QVERIFY(cluster.Resume());
    }
};

QTEST_GUILESS_MAIN(SharedHeadlessTest)
#include "SharedHeadlessTest.moc"
