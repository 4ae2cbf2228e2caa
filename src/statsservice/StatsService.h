#pragma once
// The stats web service: takes the program's status reports (/tovistats/update.php) and stats
// uploads (/tovistats/import.php), answers with the "ToviResponse" header once the data is
// committed, and serves read-only pages: the servers now, the leaderboard, players, matches and
// the news page the program shows on its News tab.
#include <QHostAddress>
#include <QHttpServer>
#include <QTcpServer>
#include <functional>
#include <memory>

#include "StatsServiceStore.h"

namespace tovi {

// A listening socket whose connections are cut as soon as a request grows beyond the limits:
// QHttpServer buffers a whole request before a route sees it, so the bound must act on the
// socket, before the bytes pile up. Each connection also has a deadline for its request and an
// idle time-out.
class GuardedTcpServer : public QTcpServer {
public:
    explicit GuardedTcpServer(QObject* parent = nullptr) : QTcpServer(parent) {}
    size_t maxRequestBytes = kMaxUploadBodyBytes + kMaxHeaderBytes;
    size_t maxHeaderBytes = kMaxHeaderBytes;
    int requestDeadlineMs = 30000;
    int idleTimeoutMs = 120000;
    int maxConnections = 256;  // open at once; more are closed as they come
    int connectionsCut = 0;    // connections ended for a limit, for the log and the tests

protected:
    void incomingConnection(qintptr handle) override;

private:
    int m_open = 0;
};

class StatsService : public QObject {
public:
    using Clock = std::function<int64_t()>;  // seconds since 1970, UTC

    // `dataDir` may hold news.txt, the news the operator writes for the News tab.
    StatsService(StatsServiceStore& store, QString dataDir, Clock clock = {});
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

private:
    void Routes();
    QString NewsText() const;

    StatsServiceStore& m_store;
    QString m_dataDir;
    Clock m_clock;
    QHttpServer m_http;
    GuardedTcpServer* m_tcp;
};

}  // namespace tovi
