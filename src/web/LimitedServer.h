#pragma once
// A listening socket whose connections are cut as soon as they send more than one request may
// hold. Qt's HTTP server reads a whole request into memory before it hands it over; without
// this a client could make it buffer without end.
#include <QPointer>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

namespace tovi {

// Counts what each connection sent since its last request was answered (ResetCount).
class ByteBudget : public QObject {
public:
    ByteBudget(QTcpSocket* socket, qint64 limit) : QObject(socket), m_socket(socket), m_limit(limit) {}
    // Runs before the HTTP server reads, which reads all that has arrived.
    void Arrived() {
        m_count += m_socket->bytesAvailable();
        if (m_count > m_limit) m_socket->abort();
    }
    void ResetCount() { m_count = 0; }

private:
    QTcpSocket* m_socket;
    qint64 m_limit;
    qint64 m_count = 0;
};

template <typename Server>
class LimitedServer final : public Server {
public:
    explicit LimitedServer(qint64 limit) : m_limit(limit) {}
    QTcpSocket* nextPendingConnection() override {
        QTcpSocket* socket = Server::nextPendingConnection();
        if (socket) {
            // Connected before the HTTP server connects its own reader, so it runs first.
            auto* budget = new ByteBudget(socket, m_limit);
            budget->setObjectName(QStringLiteral("tovi_budget"));
            QObject::connect(socket, &QIODevice::readyRead, budget, &ByteBudget::Arrived);
        }
        return socket;
    }

private:
    qint64 m_limit;
};

inline void ResetByteBudget(QTcpSocket* socket) {
    if (auto* budget = socket->findChild<ByteBudget*>(QStringLiteral("tovi_budget"), Qt::FindDirectChildrenOnly))
        budget->ResetCount();
}

}  // namespace tovi
