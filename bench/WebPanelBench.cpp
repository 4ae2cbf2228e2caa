// What the web panel adds to a poll tick: the tick tells the panel that the players and the
// status changed and that a chat line came, and the panel sends each event to every open live
// feed. With 20 browsers watching (goal: < 1 ms a tick). The browsers' sockets live on a thread of
// their own; what is timed is the CPU time of the program's thread from the tick's calls until
// every browser has the tick's frames: the calls, and the event loop's turns that write the
// frames to the sockets. The calls alone are counted apart (calls_only_us).
#include <benchmark/benchmark.h>

#include <time.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QWebSocket>
#include <algorithm>
#include <atomic>
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

double ThreadCpuUs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
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

    // Logged in through the API as a page would; a session keeps a few feeds at most, so every
    // few browsers log in anew.
    const QByteArray host = "127.0.0.1:" + QByteArray::number(panel.Port());
    const auto logIn = [&] {
        QTcpSocket login;
        QByteArray answer;
        QObject::connect(&login, &QTcpSocket::readyRead, [&] { answer += login.readAll(); });
        login.connectToHost(QHostAddress::LocalHost, panel.Port());
        const QByteArray body = R"({"name":"viewer","password":"viewer password"})";
        login.write("POST /api/v1/login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                    "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        Spin([&] { return answer.contains("tovi_session="); });
        const qsizetype at = answer.indexOf("tovi_session=");
        return answer.mid(at, answer.indexOf(';', at) - at);
    };

    // The browsers, on a thread of their own: their reading is not the program's work. They come
    // one at a time, as a burst of handshakes from one address meets the panel's limits.
    const int feeds = static_cast<int>(state.range(0));
    QThread browsers;
    browsers.start();
    QObject context;
    context.moveToThread(&browsers);
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::atomic<int64_t> received = 0;
    QByteArray cookie;
    for (int i = 0; i < feeds; ++i) {
        if (i % static_cast<int>(tovi::WebPanel::kMaxLivePerSession) == 0) cookie = logIn();
        QMetaObject::invokeMethod(
            &context,
            [&] {
                auto socket = std::make_unique<QWebSocket>(QStringLiteral("http://") + QString::fromLatin1(host));
                QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&received] { ++received; });
                QNetworkRequest request(QUrl(QStringLiteral("ws://%1/api/v1/live").arg(QString::fromLatin1(host))));
                request.setRawHeader("Cookie", cookie);
                socket->open(request);
                sockets.push_back(std::move(socket));
            },
            Qt::BlockingQueuedConnection);
        Spin([&] { return panel.LiveConnections() == static_cast<size_t>(i + 1); });
    }
    const auto closeBrowsers = [&] {
        QMetaObject::invokeMethod(&context, [&] { sockets.clear(); }, Qt::BlockingQueuedConnection);
        browsers.quit();
        browsers.wait();
    };
    if (panel.LiveConnections() != static_cast<size_t>(feeds)) {
        state.SkipWithError("the live feeds did not open");
        closeBrowsers();
        return;
    }
    const tovi::PanelChatLine line{1000, "Bob", "good game all", false};
    double callsUs = 0, throughUs = 0;
    for (auto _ : state) {
        const int64_t expected = received + 3 * feeds;
        const double start = ThreadCpuUs();
        backend.listener->PlayersChanged();
        backend.listener->StatusChanged();
        backend.listener->ChatLineAdded(line);
        const double called = ThreadCpuUs();
        Spin([&] { return received >= expected; });
        const double through = ThreadCpuUs();
        callsUs += called - start;
        throughUs += through - start;
        state.SetIterationTime((through - start) / 1e6);
    }
    closeBrowsers();
    const double ticks = static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["feeds"] = feeds;
    state.counters["calls_only_us"] = callsUs / ticks;
    state.counters["through_writes_us"] = throughUs / ticks;
}
BENCHMARK(BM_TickWithLiveFeeds)->Arg(0)->Arg(20)->Unit(benchmark::kMicrosecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
