// The web panel over a fake program, for the browser test: makes the accounts given on the
// command line, listens on 127.0.0.1 at a free port and writes that port to a file.
//   tovi_panel_demo DATA_DIR PORT_FILE NAME:ROLE:PASSWORD...
#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <chrono>
#include <iostream>

#include "FakePanelBackend.h"
#include "SqliteAccountStore.h"
#include "SqliteHistoryStore.h"
#include "WebPanel.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::cerr << "usage: tovi_panel_demo DATA_DIR PORT_FILE NAME:ROLE:PASSWORD...\n";
        return 2;
    }
    const std::string db = std::string(argv[1]) + "/tovistats.db";
    if (!tovi::SqliteHistoryStore::Open(db, {}).Store) return 1;
    auto accounts = tovi::SqliteAccountStore::Open(db);
    if (!accounts.Store) return 1;
    for (int i = 3; i < argc; ++i) {
        const QStringList parts = QString::fromUtf8(argv[i]).split(QLatin1Char(':'));
        std::string error;
        if (parts.size() != 3 ||
            !accounts.Store->AddAccount(parts[0].toStdString(), *tovi::ParseRole(parts[1].toStdString()),
                                        parts[2].toStdString(), 0, error)) {
            std::cerr << "bad account " << argv[i] << " " << error << "\n";
            return 2;
        }
    }
    tovi::testing::FakePanelBackend backend;
    tovi::WebPanelSettings settings;
    settings.Enabled = true;
    settings.Port = 0;
    settings.Hosts = {"127.0.0.1", "localhost"};
    const auto clock = [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    };
    tovi::WebPanel panel(backend, *accounts.Store, settings, clock);
    std::string error;
    if (!panel.Start(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    // A player joins now and then, so that the page has something live to show.
    QTimer joins;
    QObject::connect(&joins, &QTimer::timeout, [&backend] {
        const int slot = static_cast<int>(backend.players.size()) + 5;
        backend.players.push_back({slot, "Joiner " + std::to_string(slot), 1, 0, 0, 40});
        backend.status.Players = static_cast<int>(backend.players.size());
        if (backend.listener) {
            backend.listener->PlayersChanged();
            backend.listener->StatusChanged();
        }
    });
    joins.start(1000);
    QFile portFile(QString::fromLocal8Bit(argv[2]));
    if (!portFile.open(QIODevice::WriteOnly)) return 1;
    portFile.write(QByteArray::number(panel.Port()) + "\n");
    portFile.close();
    return app.exec();
}
