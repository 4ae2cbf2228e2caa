// Two copies of the program, each with --headless against its own simulator on its own X server,
// on one shared PostgreSQL database of the test's own: a ban made in the community's list is
// enforced by the server where the player is, and while the database is stopped one server's match
// ends and its chat flows on; once the database is back every line is there exactly once.
#include <sqlite3.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <memory>
#include <set>

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
};

QTEST_GUILESS_MAIN(SharedHeadlessTest)
#include "SharedHeadlessTest.moc"
