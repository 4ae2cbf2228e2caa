// Two copies of the program on one shared PostgreSQL database (a throw-away cluster of the
// test's own), each over its own in-process game on a virtual clock: a ban made through one is
// announced by the database and enforced by the other before its clock has moved at all; with
// the announcements cut off, a lifted ban still stops everywhere at the next re-read. Neither
// copy waits for a connection: each is made through the event loop.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>

#include "GameAddresses.h"
#include "PgCluster.h"
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

        // Every session of the database is cut: announcements are lost until the copies listen again.
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
};

QTEST_GUILESS_MAIN(SharedStoreTest)
#include "SharedStoreTest.moc"
