#include "LimitedServer.h"

#include <QSslSocket>

namespace tovi {

namespace {

// The most header lines a request may carry; Qt's parser loses them all beyond its own limit.
constexpr int kMaxHeaders = 100;

QByteArray ReasonPhrase(int status) {
    switch (status) {
        case 411:
            return "Length Required";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Bad Request";
    }
}

}  // namespace

ConnectionLimits::ConnectionLimits(QTcpSocket* socket, LimitedServer* server, const QString& address)
    : QObject(socket),
      m_socket(socket),
      m_server(server),
      m_address(address),
      m_maxBytes(server->m_maxBytes),
      m_framing(server->m_maxHeadBytes, kMaxHeaders) {
    setObjectName(QStringLiteral("tovi_limits"));
    m_timer.setSingleShot(true);
    m_timer.setInterval(server->m_timeoutMs);
    connect(&m_timer, &QTimer::timeout, socket, &QAbstractSocket::abort);
    m_timer.start();
}

ConnectionLimits::~ConnectionLimits() {
    // The socket goes with it, whoever owned it last (the HTTP server, a live feed).
    if (m_server) m_server->Gone(m_address, m_known);
}

void ConnectionLimits::Arrived() {
    if (!m_socket->isOpen()) return;
    const qint64 available = m_socket->bytesAvailable();
    if (m_refused) {
        m_socket->read(available);
        return;
    }
    m_count += available;
    if (m_count > m_maxBytes) {
        m_socket->abort();
        return;
    }
    const RequestFraming::Verdict verdict = m_framing.Feed(m_socket->peek(available));
    if (verdict.Status == RequestFraming::kCut) {
        m_socket->abort();
    } else if (verdict.Status != 0) {
        Refuse(verdict);
    }
}

void ConnectionLimits::Refuse(const RequestFraming::Verdict& verdict) {
    m_refused = true;
    m_socket->read(m_socket->bytesAvailable());
    const QByteArray body = "{\"error\":\"" + QByteArray(verdict.Why) + "\"}";
    m_socket->write(
        "HTTP/1.1 " + QByteArray::number(verdict.Status) + " " + ReasonPhrase(verdict.Status) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
    m_socket->disconnectFromHost();
}

void ConnectionLimits::Answered() {
    m_count = 0;
    m_timer.start();
}

void ConnectionLimits::Known() {
    if (m_known) return;
    m_known = true;
    if (m_server) m_server->Known(m_address);
}

void ConnectionLimits::Release() {
    m_timer.stop();
    disconnect(m_socket, nullptr, this, nullptr);
}

LimitedServer::LimitedServer(qint64 maxBytes, qsizetype maxHeadBytes, int timeoutMs, ConnectionCaps caps,
                             std::optional<QSslConfiguration> tls)
    : m_maxBytes(maxBytes),
      m_maxHeadBytes(maxHeadBytes),
      m_timeoutMs(timeoutMs),
      m_caps(std::move(caps)),
      m_tls(std::move(tls)) {}

void LimitedServer::incomingConnection(qintptr handle) {
    QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    const QString address = socket->peerAddress().toString();
    const bool shared = !m_caps.Shared.isEmpty() && address == m_caps.Shared;
    Count& here = m_perAddress[address];
    if (m_total.All >= m_caps.Total || m_total.Anonymous >= m_caps.Anonymous ||
        (!shared && (here.All >= m_caps.PerAddress || here.Anonymous >= m_caps.AnonymousPerAddress))) {
        if (here.All == 0) m_perAddress.erase(address);
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_total.All;
    ++m_total.Anonymous;
    ++here.All;
    ++here.Anonymous;
    new ConnectionLimits(socket, this, address);
    if (!m_tls) {
        Admit(socket);
        return;
    }
    auto* ssl = static_cast<QSslSocket*>(socket);
    ssl->setSslConfiguration(*m_tls);
    auto* deadline = new QTimer(ssl);
    deadline->setSingleShot(true);
    const auto drop = [ssl] {
        ssl->abort();
        ssl->deleteLater();
    };
    connect(deadline, &QTimer::timeout, ssl, drop);
    const auto failed = connect(ssl, &QAbstractSocket::disconnected, ssl, drop);
    connect(ssl, &QSslSocket::encrypted, this, [this, ssl, deadline, failed] {
        disconnect(failed);
        delete deadline;
        Admit(ssl);
        Q_EMIT newConnection();
    });
    deadline->start(m_caps.HandshakeMs);
    ssl->startServerEncryption();
}

void LimitedServer::Admit(QTcpSocket* socket) {
    // Connected before the HTTP server connects its own reader, so it runs first.
    if (ConnectionLimits* limits = LimitsOf(socket))
        connect(socket, &QIODevice::readyRead, limits, &ConnectionLimits::Arrived);
    addPendingConnection(socket);
}

void LimitedServer::Gone(const QString& address, bool known) {
    --m_total.All;
    if (!known) --m_total.Anonymous;
    const auto it = m_perAddress.find(address);
    if (it == m_perAddress.end()) return;
    if (!known) --it->second.Anonymous;
    if (--it->second.All <= 0) m_perAddress.erase(it);
}

void LimitedServer::Known(const QString& address) {
    --m_total.Anonymous;
    if (const auto it = m_perAddress.find(address); it != m_perAddress.end()) --it->second.Anonymous;
}

}  // namespace tovi
