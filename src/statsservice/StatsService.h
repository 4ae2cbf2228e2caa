#pragma once
// The stats web service: takes the program's status reports (/tovistats/update.php) and stats
// uploads (/tovistats/import.php), answers with the "ToviResponse" header once the data is
// committed, and serves read-only pages: the servers now, the leaderboard, players, matches and
// the news page the program shows on its News tab.
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QHttpServer>
#include <QTcpServer>
#include <QThreadPool>
#include <deque>
#include <functional>
#include <memory>

#include "RequestPace.h"
#include "StatsServiceStore.h"

namespace tovi {

// A listening socket shared fairly among strangers. Connections are cut as soon as a request
// grows beyond the limits (QHttpServer buffers a whole request before a route sees it, so the
// bound must act on the socket, before the bytes pile up) or falls behind the request pace.
// One address (an IPv6 /64) is served on at most `maxPerAddress` connections at once; more of
// its connections wait their turn unread, and beyond that they are refused with 503, so one
// client cannot crowd out the others. At `maxConnections` the service stops accepting and new
// connections wait in the kernel's backlog; near it, idle keep-alive connections are closed
// first. A request that asks for it (`Connection: close`, HTTP/1.0) is answered and closed.
class GuardedTcpServer : public QTcpServer {
public:
    explicit GuardedTcpServer(QObject* parent = nullptr) : QTcpServer(parent) { m_clock.start(); }
    ~GuardedTcpServer() override;
    size_t maxRequestBytes = kMaxUploadBodyBytes + kMaxHeaderBytes;
    size_t maxHeaderBytes = kMaxHeaderBytes;
    RequestPace pace;
    int idleTimeoutMs = 120000;
    int maxConnections = 256;
    int maxPerAddress = 16;
    int connectionsCut = 0;      // ended for a limit, for the log and the tests
    int connectionsRefused = 0;  // turned away for their address's share
    int Served() const { return static_cast<int>(m_served.size()); }

    struct Connection;

protected:
    void incomingConnection(qintptr handle) override;

private:
    struct Held {
        qintptr Handle;
        QByteArray Address;
    };
    void Admit(qintptr handle, const QByteArray& address);
    void Refuse(qintptr handle);
    void Forget(QTcpSocket* socket);
    bool CloseOldestIdle(const QByteArray* address);
    void Pump();
    bool Crowded() const;
    int64_t Now() const { return m_clock.elapsed(); }

    QHash<QTcpSocket*, std::shared_ptr<Connection>> m_served;
    QHash<QByteArray, int> m_servedPerAddress;
    QHash<QByteArray, int> m_heldPerAddress;
    std::deque<Held> m_held;  // accepted, not yet read: waiting for a share
    int m_refusing = 0;  // refused connections still closing
    bool m_paused = false;
    bool m_pumping = false;
    QElapsedTimer m_clock;
};

class StatsService : public QObject {
public:
    using Clock = std::function<int64_t()>;  // seconds since 1970, UTC

    // Runs a page's reading and rendering away from the event loop.
    using Executor = std::function<void(std::function<void()>)>;

    // `dataDir` may hold news.txt, the news the operator writes for the News tab. Reports and
    // uploads are stored through `store` on the event loop; pages are read through `reader`
    // (a connection of its own, see StatsServiceStore::OpenForReading) on `executor`'s thread
    // (by default one thread of the service's own), so that a write never waits behind a page.
    // Without a reader, pages are read through `store` on the event loop.
    StatsService(StatsServiceStore& store, QString dataDir, Clock clock = {},
                 std::unique_ptr<StatsServiceStore> reader = nullptr, Executor executor = {});
    ~StatsService() override;

    // Listens on `address`:`port` (0: any free port); answers the port, 0 when it cannot.
    quint16 Listen(const QHostAddress& address, quint16 port);
    GuardedTcpServer& Socket() { return *m_tcp; }

    // What a report or an upload is answered: a success carries the ToviResponse text, sent
    // only after the commit; a refusal carries no header (so no copy of the program takes it for
    // a confirmation), only a status code and the reason in the body.
    struct Answer {
        int Status = 200;
        QByteArray ToviResponse;
        QByteArray Reason;
    };
    Answer HandleStatus(const QByteArray& body);
    Answer HandleUpload(const QByteArray& body, const QByteArray& uploadId);

    struct Page {
        QByteArray Html;
        int Status = 200;
        QByteArray Location;  // where a redirect sends the visitor
    };
    using Render = std::function<Page(StatsServiceStore&)>;

private:
    void Routes();
    // Keeps the store's summed periods ending today, so that a leaderboard after midnight need
    // not correct them.
    void MovePeriods();
    // Answers with the page `render` reads, on the reader's thread when there is one.
    void Serve(Render render, QHttpServerResponder&& responder);

    StatsServiceStore& m_store;
    QString m_dataDir;
    Clock m_clock;
    std::unique_ptr<StatsServiceStore> m_reader;
    QThreadPool m_readers;
    Executor m_executor;
    QHttpServer m_http;
    GuardedTcpServer* m_tcp;
    int64_t m_periodsDay = -1;
};

}  // namespace tovi
