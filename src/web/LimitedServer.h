#pragma once
// A listening socket that assumes strangers. Qt's HTTP server reads a whole request into memory
// before it hands it over and keeps an idle connection for ever; without limits a client could
// make it buffer without end, hold connections open a byte at a time, or open connections until
// the program has no file handles left. So each connection is cut as soon as it sends more than
// one request may hold or takes too long to send one; its bytes are framed strictly before Qt's
// parser sees them; and connections are capped in all and per address, refused at once beyond.
// TLS handshakes run here, each with a deadline, and a connection reaches the HTTP server only
// once encrypted: a client that never finishes its handshake holds one socket for a while, never
// the listen queue.
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <map>
#include <optional>

#include "RequestFraming.h"

namespace tovi {

class LimitedServer;

// What one connection sent since its last request was answered, and how long it has taken.
class ConnectionLimits : public QObject {
public:
    ConnectionLimits(QTcpSocket* socket, LimitedServer* server, const QString& address);
    ~ConnectionLimits() override;
    // Runs before the HTTP server reads, which reads all that has arrived.
    void Arrived();
    // A request was answered: the next one starts afresh.
    void Answered();
    // The connection became a live feed, which lives as long as its session.
    void Release();
    // A request on it carried a session or token: it counts no longer against the caps on
    // connections without one.
    void Known();

private:
    // Answers `status` and closes; what was sent is read away so that Qt's parser never sees it.
    void Refuse(const RequestFraming::Verdict& verdict);

    QTcpSocket* m_socket;
    QPointer<LimitedServer> m_server;
    QString m_address;
    qint64 m_maxBytes;
    qint64 m_count = 0;
    RequestFraming m_framing;
    bool m_refused = false;
    bool m_known = false;
    QTimer m_timer;
};

// Connections without a session yet are held to the lower caps: a stranger fills those alone.
struct ConnectionCaps {
    int Total = 256;
    int PerAddress = 32;
    int Anonymous = 128;
    int AnonymousPerAddress = 8;
    QString Shared;  // a reverse proxy's address: everyone behind it comes from there
    int HandshakeMs = 10 * 1000;
};

class LimitedServer final : public QTcpServer {
public:
    // With `tls` the server speaks only TLS with that configuration.
    LimitedServer(qint64 maxBytes, qsizetype maxHeadBytes, int timeoutMs, ConnectionCaps caps,
                  std::optional<QSslConfiguration> tls);
    int Connections() const { return m_total.All; }

protected:
    void incomingConnection(qintptr handle) override;

private:
    friend class ConnectionLimits;
    // Counts the connection and hands it to the HTTP server.
    void Admit(QTcpSocket* socket);
    void Gone(const QString& address, bool known);
    void Known(const QString& address);

    qint64 m_maxBytes;
    qsizetype m_maxHeadBytes;
    int m_timeoutMs;
    ConnectionCaps m_caps;
    std::optional<QSslConfiguration> m_tls;
    struct Count {
        int All = 0, Anonymous = 0;
    };
    Count m_total;  // admitted and in handshake
    std::map<QString, Count> m_perAddress;
};

inline ConnectionLimits* LimitsOf(QTcpSocket* socket) {
    return socket->findChild<ConnectionLimits*>(QStringLiteral("tovi_limits"), Qt::FindDirectChildrenOnly);
}

}  // namespace tovi
