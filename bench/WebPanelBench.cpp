// What the web panel adds to a poll tick: the tick tells the panel that the players and the
// status changed and that a chat line came, and the panel sends each event to every open live
// feed. With 20 browsers watching (goal: < 1 ms a tick). Only the calls the tick makes are timed;
// the event loop delivers the frames between ticks, as it does in the program.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <memory>
#include <vector>

#include "FakePanelBackend.h"
#include "SqliteAccountStore.h"
#include "SqliteHistoryStore.h"
#include "WebPanel.h"

namespace {

void Spin(const std::function<bool()>& done) {
    QElapsedTimer guard;
    guard.start();
    while (!done() && guard.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
}

void BM_TickWithLiveFeeds(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("tovistats.db")).toStdString();
    tovi::SqliteHistoryStore::Open(db, {});
    auto accounts = tovi::SqliteAccountStore::Open(db);
    std::string error;
    accounts.Store->AddAccount("viewer", tovi::Role::Viewer, "viewer password", 0, error);
    tovi::testing::FakePanelBackend backend;
    for (int slot = 4; slot < 32; ++slot)
        backend.players.push_back({slot, "Player " + std::to_string(slot), 1, 3, 2, 60});
    tovi::WebPanelSettings settings;
    settings.Port = 0;
    settings.Hosts = {"127.0.0.1"};
    int64_t now = 1'700'000'000'000;
    tovi::WebPanel panel(backend, *accounts.Store, settings, [&now] { return now; });
    panel.Start(error);

    // Logged in through the API as a page would, then 20 feeds opened with that session.
    QTcpSocket login;
    QByteArray answer;
    QObject::connect(&login, &QTcpSocket::readyRead, [&] { answer += login.readAll(); });
    login.connectToHost(QHostAddress::LocalHost, panel.Port());
    const QByteArray body = R"({"name":"viewer","password":"viewer password"})";
    const QByteArray host = "127.0.0.1:" + QByteArray::number(panel.Port());
    login.write("POST /api/v1/login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    Spin([&] { return answer.contains("tovi_session="); });
    const qsizetype at = answer.indexOf("tovi_session=");
    const QByteArray cookie = answer.mid(at, answer.indexOf(';', at) - at);

    const int feeds = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int64_t received = 0;
    for (int i = 0; i < feeds; ++i) {
        auto socket = std::make_unique<QWebSocket>(QStringLiteral("http://") + QString::fromLatin1(host));
        QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&received] { ++received; });
        QNetworkRequest request(QUrl(QStringLiteral("ws://%1/api/v1/live").arg(QString::fromLatin1(host))));
        request.setRawHeader("Cookie", cookie);
        socket->open(request);
        sockets.push_back(std::move(socket));
    }
    Spin([&] { return panel.LiveConnections() == static_cast<size_t>(feeds); });
    if (panel.LiveConnections() != static_cast<size_t>(feeds)) {
        state.SkipWithError("the live feeds did not open");
        return;
    }
    const tovi::PanelChatLine line{1000, "Bob", "good game all", false};
    for (auto _ : state) {
        backend.listener->PlayersChanged();
        backend.listener->StatusChanged();
        backend.listener->ChatLineAdded(line);
        state.PauseTiming();
        const int64_t expected = received + 3 * feeds;
        Spin([&] { return received >= expected; });
        state.ResumeTiming();
    }
    state.counters["feeds"] = feeds;
}
BENCHMARK(BM_TickWithLiveFeeds)->Arg(0)->Arg(20)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
