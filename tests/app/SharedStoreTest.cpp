// Two copies of the program on one shared PostgreSQL database (a throw-away cluster of the
// test's own), each over its own in-process game on a virtual clock: a ban made through one is
// announced by the database and enforced by the other before its clock has moved at all; with
// the announcements cut off, a lifted ban still stops everywhere at the next re-read. Neither
// copy waits for a connection: each is made through the event loop.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <fstream>

#include "GameAddresses.h"
#include "PgCluster.h"
#include "PgHistoryStore.h"
#include "QuietFakes.h"
#include "Service.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

// One copy of the program: its data folder, its game with Mallory seated, its clock.
struct Copy {
    QTemporaryDir folder;
    image::ImageBackend backend;
    image::GameImage server;
    MemoryClass memory{backend};
    YesDialogs dialogs;
    VirtualScheduler scheduler;
    NoHttp http;
    std::unique_ptr<Service> service;
    std::vector<std::string> punts;

    Copy(const std::string& code, const std::string& conninfo) {
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=" << code
            << "\r\nupdateurl=http://127.0.0.1:9/u\r\nimporturl=http://127.0.0.1:9/i\r\n[store]\r\npostgres="
            << conninfo << "\r\n";
        backend.AddServer(4711, server);
        server.SetByte(game::kGameState, 3);
        server.SetByte(game::kMaxPlayers, 16);
        server.SetByte(game::kDedicated, 1);
        server.SetText(image::GameImage::SlotAddress(2) + game::slot::kName, game::slot::kNameLength,
                       "Mallory");
        service = std::make_unique<Service>(memory, dialogs, scheduler, http, folder.path());
        QObject::connect(service.get(), &Service::adminActionRecorded, [this](const AdminAction& a) {
            if (a.Action == ActionKind::BanEnforced && a.Result == Outcome::Sent) punts.push_back(a.Target);
        });
        service->OpenRecord();
        service->Load();
        service->Timer_Timer();
    }
    bool Banned(const std::string& name) {
        return service->Bans().ActiveBanFor(name, QDateTime::currentSecsSinceEpoch()) != nullptr;
    }
    // A player read, then time for the console's sends.
    void Enforce() {
        service->ReadPlayers(true, 16);
        scheduler.Advance(20000);
    }
};

int64_t Number(const std::string& conninfo, const std::string& sql) {
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error, 5);
    if (!conn) return -1;
    PgResult r = conn->Exec(sql);
    return r.Ok() && r.Rows() == 1 ? r.Int(0, 0) : -1;
}

}  // namespace

class SharedStoreTest : public QObject {
    Q_OBJECT
private slots:
    void aBanMadeOnOneServerIsEnforcedOnAllAndALiftStopsEverywhere() {
        PgCluster cluster;
        QVERIFY2(cluster.Ok(), cluster.Error().c_str());
        const std::string conninfo = cluster.NewDatabase();
        Copy eu("EU1", conninfo), us("US1", conninfo);
        QVERIFY2(eu.dialogs.asked.isEmpty(), qPrintable(eu.dialogs.asked.join('\n')));
        QVERIFY(!us.Banned("Mallory"));

        QSignalSpy changed(us.service.get(), &Service::banListChanged);
        QVERIFY(eu.service->AddBan("Mallory", "aimbot", 0, "web: alice"));
        // The database's announcement reaches the other copy through its event loop; the failure
        // bound is generous, the virtual clock says it took no time of the program's own.
        QVERIFY(changed.wait(30000));
        QCOMPARE(us.scheduler.Now(), int64_t{0});
        QVERIFY(us.Banned("Mallory"));
        us.Enforce();
        QCOMPARE(us.punts, std::vector<std::string>{"Mallory"});

        // Every session of the database is cut while a re-read is under way (sent, its answer not
        // yet taken): announcements are lost until the copies listen again.
        us.scheduler.Advance(Service::kBanRereadMs);
        {
            std::string error;
            auto admin = PgConnection::Connect(conninfo, error);
            QVERIFY2(admin, error.c_str());
            QVERIFY(admin->Run(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid()"
                " AND datname = current_database()"));
        }
        const BanEntry* ban = eu.service->Bans().ActiveBanFor("Mallory", QDateTime::currentSecsSinceEpoch());
        QVERIFY(ban);
        QVERIFY(eu.service->LiftBan(ban->Id, "appeal", "web: alice"));
        QVERIFY(us.Banned("Mallory"));
        // The re-read comes within its period of the program's clock; the new connection it needs
        // is made through the event loop, never waited for, and the list is read once it stands.
        const int64_t reread = us.scheduler.Now() + Service::kBanRereadMs;
        us.scheduler.Advance(Service::kBanRereadMs);
        QTRY_VERIFY_WITH_TIMEOUT(!us.Banned("Mallory"), 30000);
        QCOMPARE(us.scheduler.Now(), reread);
        us.punts.clear();
        us.Enforce();
        QVERIFY(us.punts.empty());
    }

    // The operator's searches of a shared record run through a connection of the reader's own,
    // on its thread, and find this server's rows and another's.
    void theSharedRecordIsSearchedOffTheEventLoop() {
        PgCluster cluster;
        QVERIFY2(cluster.Ok(), cluster.Error().c_str());
        const std::string conninfo = cluster.NewDatabase();
        Copy eu("EU1", conninfo), us("US1", conninfo);
        const int64_t now = QDateTime::currentSecsSinceEpoch();
        eu.service->History().ChatRead(now, "Ann", "gg from europe");
        us.service->History().ChatRead(now, "Bob", "gg from america");
        // Written once none waits: a connection still being made holds the batch back, and a
        // drain then has nothing in flight to wait for.
        for (Copy* copy : {&eu, &us}) {
            auto& store = dynamic_cast<PgHistoryStore&>(copy->service->History());
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    store.Flush();
                    return store.Drain() && store.Pending() == 0;
                }(),
                30000);
        }
        QObject asker;
        std::vector<HistoryResult> found;
        for (const char* server : {"", "US1"}) {
            HistoryQuery query;
            query.Text = "gg";
            query.Server = server;
            eu.service->Reader().Search(&asker, server[0] ? 1 : 0, query,
                                        [&](HistoryResult result) { found.push_back(std::move(result)); });
        }
        QTRY_COMPARE_WITH_TIMEOUT(found.size(), size_t{2}, 30000);
        for (const HistoryResult& result : found) QVERIFY2(result.Error.empty(), result.Error.c_str());
        QCOMPARE(found[0].Rows.size(), size_t{1});
        QCOMPARE(found[0].Rows[0].Player, std::string("Ann"));
        QCOMPARE(found[1].Rows.size(), size_t{1});
        QCOMPARE(found[1].Rows[0].Player, std::string("Bob"));
        QVERIFY(eu.service->Reader().Threaded());  // its connection was made, not given up for the event loop's
    }

    // A database that hangs (its server stopped) never holds the game's reads: the re-read is
    // sent and its answer looked for through the socket; at the deadline the list comes from the
    // cache, and once the database answers again a ban made meanwhile arrives. The bound on a
    // turn is generous: a re-read that waited would take the whole deadline.
    void aHungDatabaseNeverHoldsTheGameReads() {
        PgCluster cluster;
        QVERIFY2(cluster.Ok(), cluster.Error().c_str());
        const std::string conninfo = cluster.NewDatabase();
        QStringList log;  // outlives the copy, which logs as it ends
        Copy us("US1", conninfo);
        QVERIFY(us.service->AddBan("Eve", "spam", 0, "web: alice"));
        // The history's first connection is set up (once a run, within one deadline) before the
        // database stops: this copy's ban reached the shared record.
        QTRY_VERIFY_WITH_TIMEOUT(
            Number(conninfo, "SELECT count(*) FROM admin_actions WHERE server = 'US1' AND target = 'Eve'") == 1,
            30000);
        QObject::connect(us.service.get(), &Service::logLine,
                         [&log](const std::string& line) { log << QString::fromStdString(line); });
        auto said = [&log](const char* words) {
            return std::any_of(log.begin(), log.end(), [words](const QString& l) { return l.contains(words); });
        };

        QVERIFY(cluster.Pause());
        qint64 longest = 0;
        QElapsedTimer waited;
        waited.start();
        while (!said("bans last read") && waited.elapsed() < 60000) {
            QElapsedTimer turn;
            turn.start();
            us.scheduler.Advance(1000);
            us.service->Timer_Timer();
            QCoreApplication::processEvents();
            longest = std::max(longest, turn.elapsed());
            QTest::qWait(100);
        }
        QVERIFY2(said("bans last read"), qPrintable(log.join('\n')));
        QVERIFY2(longest < PgConnection::kDeadlineMs / 2, qPrintable(QString::number(longest)));
        QVERIFY(us.Banned("Eve"));

        QVERIFY(cluster.Resume());
        QCOMPARE(Number(conninfo,
                        "INSERT INTO bans(name, name_key, name_raw, reason, issued_by, issued_at) VALUES ('Mallory',"
                        " 'mallory', 'Mallory'::bytea, 'aimbot', 'web: bob', 1) RETURNING 1"),
                 int64_t{1});
        for (int turn = 0; turn < 600 && !us.Banned("Mallory"); ++turn) {
            us.scheduler.Advance(1000);
            QTest::qWait(100);
        }
        QVERIFY(us.Banned("Mallory"));
        QVERIFY(us.Banned("Eve"));
        QVERIFY2(said("read again"), qPrintable(log.join('\n')));
    }
};

QTEST_GUILESS_MAIN(SharedStoreTest)
#include "SharedStoreTest.moc"
