#pragma once
// A listening socket whose connections are cut as soon as they send more than one request may
// hold, or take longer than a time-out to send one. Qt's HTTP server reads a whole request into
// memory before it hands it over and keeps an idle connection for ever; without this a client
// could make it buffer without end, or hold connections open a byte at a time.
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace tovi {

// What one connection sent since its last request was answered, and how long it has taken.
class ConnectionLimits : public QObject {
public:
    ConnectionLimits(QTcpSocket* socket, qint64 maxBytes, int timeoutMs)
        : QObject(socket), m_socket(socket), m_maxBytes(maxBytes) {
        m_timer.setSingleShot(true);
        m_timer.setInterval(timeoutMs);
        connect(&m_timer, &QTimer::timeout, socket, &QAbstractSocket::abort);
        m_timer.start();
    }
    // Runs before the HTTP server reads, which reads all that has arrived.
    void Arrived() {
        m_count += m_socket->bytesAvailable();
        if (m_count > m_maxBytes) m_socket->abort();
    }
    // A request was answered: the next one starts afresh.
    void Answered() {
        m_count = 0;
        m_timer.start();
    }
    // The connection became a live feed, which lives as long as its session.
    void Release() {
        m_timer.stop();
        disconnect(m_socket, nullptr, this, nullptr);
    }

private:
    QTcpSocket* m_socket;
    qint64 m_maxBytes;
    qint64 m_count = 0;
    QTimer m_timer;
};

template <typename Server>
class LimitedServer final : public Server {
public:
    LimitedServer(qint64 maxBytes, int timeoutMs) : m_maxBytes(maxBytes), m_timeoutMs(timeoutMs) {}
    QTcpSocket* nextPendingConnection() override {
        QTcpSocket* socket = Server::nextPendingConnection();
        if (socket) {
            // Connected before the HTTP server connects its own reader, so it runs first.
            auto* limits = new ConnectionLimits(socket, m_maxBytes, m_timeoutMs);
            limits->setObjectName(QStringLiteral("tovi_limits"));
            QObject::connect(socket, &QIODevice::readyRead, limits, &ConnectionLimits::Arrived);
        }
        return socket;
    }

private:
    qint64 m_maxBytes;
    int m_timeoutMs;
};

inline ConnectionLimits* LimitsOf(QTcpSocket* socket) {
    return socket->findChild<ConnectionLimits*>(QStringLiteral("tovi_limits"), Qt::FindDirectChildrenOnly);
}

}  // namespace tovi
