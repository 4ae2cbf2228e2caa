#include "StatsService.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include "StatsPages.h"

namespace tovi {

namespace {

using StatusCode = QHttpServerResponder::StatusCode;

// What a connection has sent of its current request, counted before QHttpServer reads it.
struct RequestGuard {
    size_t bytes = 0;
    size_t headBytes = 0;
    bool headDone = false;
    QByteArray tail;  // the last bytes of the head so far, to find its end across reads
    bool inRequest = false;
};

QHttpServerResponse Html(const QString& html, StatusCode status = StatusCode::Ok) {
    return QHttpServerResponse(QByteArrayLiteral("text/html; charset=utf-8"), html.toUtf8(), status);
}

// A query parameter as the bytes it was sent as: names are Windows-1252 bytes, which a decoding
// to Unicode would not keep.
QByteArray QueryBytes(const QHttpServerRequest& request, const QByteArray& name) {
    const QByteArray query = request.url().query(QUrl::FullyEncoded).toLatin1();
    for (const QByteArray& pair : query.split('&')) {
        if (pair.startsWith(name + '=')) return QByteArray::fromPercentEncoding(pair.mid(name.size() + 1));
    }
    return {};
}

}  // namespace

void GuardedTcpServer::incomingConnection(qintptr handle) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    if (m_open >= maxConnections) {
        ++connectionsCut;
        socket->abort();
        delete socket;
        return;
    }
    ++m_open;
    connect(socket, &QObject::destroyed, this, [this] { --m_open; });
    auto guard = std::make_shared<RequestGuard>();
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    const QPointer<QTcpSocket> weak(socket);
    auto cut = [this, weak] {
        if (!weak) return;
        ++connectionsCut;
        weak->abort();
    };
    connect(timer, &QTimer::timeout, socket, cut);
    timer->start(requestDeadlineMs);
    // Connected before QHttpServer connects its own: this runs first and sees the new bytes
    // still unread.
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, guard, timer, cut] {
        const qint64 available = socket->bytesAvailable();
        if (!guard->inRequest) {
            guard->inRequest = true;
            timer->start(requestDeadlineMs);
        }
        guard->bytes += static_cast<size_t>(available);
        if (!guard->headDone) {
            const QByteArray fresh = socket->peek(available);
            const QByteArray seen = guard->tail + fresh;
            const qsizetype end = seen.indexOf("\r\n\r\n");
            if (end >= 0) {
                guard->headDone = true;
                guard->headBytes += static_cast<size_t>(end + 4 - guard->tail.size());
            } else {
                guard->headBytes += static_cast<size_t>(fresh.size());
                guard->tail = seen.right(3);
            }
        }
        if (guard->bytes > maxRequestBytes || guard->headBytes > maxHeaderBytes) cut();
    });
    // An answer ends the request: the next one on this connection is counted afresh.
    connect(socket, &QTcpSocket::bytesWritten, socket, [this, guard, timer] {
        *guard = RequestGuard{};
        timer->start(idleTimeoutMs);
    });
    addPendingConnection(socket);
}

StatsService::StatsService(StatsServiceStore& store, QString dataDir, Clock clock)
    : m_store(store),
      m_dataDir(std::move(dataDir)),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentSecsSinceEpoch(); })),
      m_tcp(new GuardedTcpServer(this)) {
    Routes();
}

StatsService::~StatsService() = default;

quint16 StatsService::Listen(const QHostAddress& address, quint16 port) {
    if (!m_tcp->listen(address, port)) return 0;
    m_http.bind(m_tcp);
    return m_tcp->serverPort();
}

StatsService::Answer StatsService::HandleStatus(const QByteArray& body) {
    std::string error;
    const auto report =
        ParseStatusReport(std::string_view(body.constData(), static_cast<size_t>(body.size())), error);
    if (!report) return {400, {}, "Status report refused: " + QByteArray::fromStdString(error)};
    if (!m_store.StoreStatus(*report, m_clock(), error)) {
        if (error == "unknown server code")
            return {403, {}, "Status report refused: the server code is not registered"};
        return {500, {}, "Status report not stored: " + QByteArray::fromStdString(error)};
    }
    return {200, "Status received", {}};
}

StatsService::Answer StatsService::HandleUpload(const QByteArray& body, const QByteArray& uploadId) {
    std::string error;
    if (!uploadId.isEmpty() && !ValidUploadId(uploadId.toStdString()))
        return {400, {}, "Stats refused: the upload id is not one the service keeps"};
    const auto blocks =
        ParseUpload(std::string_view(body.constData(), static_cast<size_t>(body.size())), error);
    if (!blocks) return {400, {}, "Stats refused: " + QByteArray::fromStdString(error)};
    // The program never sends an empty stats file; an empty upload would only take an id.
    if (blocks->empty()) return {400, {}, "Stats refused: the upload holds no match"};
    const UploadResult result = m_store.StoreUpload(*blocks, uploadId.toStdString(), m_clock());
    if (result.ConflictingId) {
        // Never confirmed: the sender would drop a batch the service does not hold.
        qWarning().noquote() << "Stats refused: server #" + QString::number(result.ServerId) +
                                    " sent the upload id " + QString::fromLatin1(uploadId) +
                                    " again with other content";
        return {409, {}, "Stats refused: this upload id came before with other content"};
    }
    if (!result.Ok) {
        if (result.Error == "unknown server code")
            return {403, {}, "Stats refused: a server code is not registered"};
        return {500, {}, "Stats not stored: " + QByteArray::fromStdString(result.Error)};
    }
    if (result.RepeatedId) return {200, "Imported before: nothing new", {}};
    QByteArray text =
        "Imported " + QByteArray::number(result.Stored) + (result.Stored == 1 ? " match" : " matches");
    if (result.Repeats > 0) text += ", " + QByteArray::number(result.Repeats) + " held already";
    return {200, text, {}};
}

QString StatsService::NewsText() const {
    QFile file(QDir(m_dataDir).filePath(QStringLiteral("news.txt")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.read(64 * 1024));
}

void StatsService::Routes() {
    using Method = QHttpServerRequest::Method;
    auto answer = [](const Answer& a) {
        QHttpServerResponse response(QByteArrayLiteral("text/plain; charset=utf-8"),
                                     a.ToviResponse.isEmpty() ? a.Reason + '\n' : a.ToviResponse + '\n',
                                     static_cast<StatusCode>(a.Status));
        if (!a.ToviResponse.isEmpty()) response.setHeader("ToviResponse", a.ToviResponse);
        return response;
    };
    m_http.route("/tovistats/update.php", Method::Post, [this, answer](const QHttpServerRequest& request) {
        return answer(HandleStatus(request.body()));
    });
    m_http.route("/tovistats/import.php", Method::Post, [this, answer](const QHttpServerRequest& request) {
        return answer(HandleUpload(request.body(), request.value("Idempotency-Key")));
    });
    auto servers = [this] {
        return Html(ServersPage(m_store.ServersNow(), m_store.RecentMatches(20), m_clock()));
    };
    m_http.route("/", Method::Get, servers);
    m_http.route("/tovistats/", Method::Get, servers);
    m_http.route("/tovistats/leaderboard", Method::Get, [this](const QHttpServerRequest& request) {
        const QByteArray key = QueryBytes(request, "period");
        const Period period = key == "week" ? Period::Week : key == "month" ? Period::Month : Period::All;
        const int64_t days = period == Period::Week ? 7 : period == Period::Month ? 30 : 0;
        const int64_t since = days == 0 ? 0 : m_clock() - days * 86400;
        return Html(LeaderboardPage(m_store.Leaderboard(since, 100), period));
    });
    m_http.route("/tovistats/player", Method::Get, [this](const QHttpServerRequest& request) {
        const auto page = m_store.Player(QueryBytes(request, "name").toStdString(), 200);
        if (!page) return Html(NotFoundPage(QStringLiteral("No player of that name.")), StatusCode::NotFound);
        return Html(PlayerPageHtml(*page));
    });
    m_http.route("/tovistats/match", Method::Get, [this](const QHttpServerRequest& request) {
        bool ok = false;
        const qlonglong id = QueryBytes(request, "id").toLongLong(&ok);
        const auto match = ok ? m_store.Match(id) : std::nullopt;
        if (!match) return Html(NotFoundPage(QStringLiteral("No such match.")), StatusCode::NotFound);
        return Html(MatchPageHtml(match->first, match->second));
    });
    m_http.route("/tovistats/news.php", Method::Get,
                 [this] { return Html(NewsPageHtml(NewsText(), m_store.RecentMatches(5))); });
    m_http.route("/tovistats/style.css", Method::Get,
                 [] { return QHttpServerResponse(QByteArrayLiteral("text/css"), StyleSheet()); });
    m_http.afterRequest([](QHttpServerResponse&& response) {
        response.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
        response.setHeader("X-Content-Type-Options", "nosniff");
        response.setHeader("X-Frame-Options", "DENY");
        response.setHeader("Referrer-Policy", "no-referrer");
        return std::move(response);
    });
    m_http.setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        responder.write(NotFoundPage(QStringLiteral("No such page.")).toUtf8(),
                        {{"Content-Type", "text/html; charset=utf-8"},
                         {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                         {"X-Content-Type-Options", "nosniff"}},
                        StatusCode::NotFound);
    });
}

}  // namespace tovi
