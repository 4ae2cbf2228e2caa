#include <QLabel>
#include <QtTest>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "frmMain.h"
#include "image/ImageBackend.h"

using namespace tovi;

class frmMainTest : public QObject {
    Q_OBJECT
private slots:
    void showsTheStateOfTheServerItFinds() {
        image::ImageBackend backend;
        image::GameImage server;
        MemoryClass memory(backend);
        frmMain window(memory, QDir::tempPath());
        auto* state = window.findChild<QLabel*>("lblState");
        QVERIFY(state);
        QCOMPARE(window.windowTitle(), QString("|QX| Tovi stats for JO:TR 1.5.1.5"));
        QCOMPARE(state->text(), QString("Game not running"));

        backend.AddServer(4711, server);
        server.SetByte(game::kGameState, 3);
        window.Timer_Timer();
        QCOMPARE(state->text(), QString("Hosting mission"));
        QCOMPARE(window.findChild<QLabel*>("lblProcess")->text(), QString("PID: 4711"));

        server.SetByte(game::kGameState, 7);
        window.Timer_Timer();
        QCOMPARE(state->text(), QString("Not hosting"));

        backend.RemoveProcess(4711);
        window.Timer_Timer();
        QCOMPARE(state->text(), QString("Game not running"));
    }

    void explainsARefusedAccessOnce() {
        image::ImageBackend backend;
        image::GameImage server;
        backend.AddServer(4711, server).accessible = false;
        MemoryClass memory(backend);
        frmMain window(memory, QDir::tempPath());
        auto* access = window.findChild<QLabel*>("lblAccess");
        QVERIFY(access->text().contains("cap_sys_ptrace"));
        QVERIFY(!access->isHidden());

        backend.Find(4711)->accessible = true;
        window.Timer_Timer();
        QVERIFY(access->isHidden());
    }
};

QTEST_MAIN(frmMainTest)
#include "frmMainTest.moc"
