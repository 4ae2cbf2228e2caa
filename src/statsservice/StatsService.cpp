#include "StatsService.h"

#include <sys/socket.h>
#include <unistd.h>

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
#include <algorithm>
#include <limits>
#include <optional>

#include "StatsPages.h"
#include "Windows1252.h"

namespace tovi {

namespace {

using StatusCode = QHttpServerResponder::StatusCode;

// What every page carries: no framing, no scripts or styles from elsewhere, no guessing of types.
const std::pair<QByteArray, QByteArray> kPageHeaders[] = {
    {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

// A page written through a responder, which the after-request hook does not see.
void WritePage(QHttpServerResponder&& responder, const QByteArray& html, StatusCode status,
               const QByteArray& location = {}) {
    QHttpServerResponse response(QByteArrayLiteral("text/html; charset=utf-8"), html, status);
    for (const auto& [name, value] : kPageHeaders) response.setHeader(name, value);
    if (!location.isEmpty()) response.setHeader("Location", location);
    response.write(std::move(responder));
}

// A query parameter as the bytes it was sent as: names are Windows-1252 bytes, which a decoding
// to Unicode would not keep.
QByteArray QueryBytes(const QHttpServerRequest& request, const QByteArray& name) {
    const QByteArray query = request.url().query(QUrl::FullyEncoded).toLatin1();
    for (const QByteArray& pair : query.split('&')) {
        // A form sends blanks as "+"; the pages' own links write "+" as "%2B".
        if (pair.startsWith(name + '='))
            return QByteArray::fromPercentEncoding(pair.mid(name.size() + 1).replace('+', ' '));
    }
    return {};
}

}  // namespace

// What a served connection has sent of its current request, counted before QHttpServer reads it.
struct GuardedTcpServer::Connection {
    QByteArray Address;
    int64_t Start = 0;  // when the current request began (or the connection, before any)
    size_t Bytes = 0;
    size_t HeadBytes = 0;
    bool HeadDone = false;
    QByteArray Head;  // the head so far, to find its end and its wishes across reads
    bool InRequest = true;
    bool CloseAfter = false;
    std::optional<size_t> Length;  // head and body, once the head says; none for chunked bodies
    bool Idle = false;  // answered, kept alive, nothing new yet
    int64_t IdleSince = 0;

    // The next request on this connection is counted afresh.
    void Restart(int64_t now, bool idle) {
        Start = now;
        Bytes = HeadBytes = 0;
        HeadDone = CloseAfter = false;
        Length.reset();
        Head.clear();
        InRequest = !idle;
        Idle = idle;
        IdleSince = now;
    }
};

namespace {

// Connections are shared per host: an IPv4 address, or an IPv6 /64, which one host usually has
// whole.
QByteArray AddressKey(qintptr handle) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return {};
    const QHostAddress peer(reinterpret_cast<const sockaddr*>(&storage));
    bool v4 = false;
    const quint32 ip4 = peer.toIPv4Address(&v4);
    if (v4) return QByteArray::number(ip4);
    const Q_IPV6ADDR ip6 = peer.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(ip6.c), 8);
}

// The body's length as the head gives it: 0 without one, none when it comes in chunks.
std::optional<size_t> BodyLength(const QByteArray& head) {
    size_t length = 0;
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "transfer-encoding") return std::nullopt;
        if (name == "content-length") length = line.mid(colon + 1).trimmed().toULongLong();
    }
    return length;
}

// Whether the client asked for the connection to end with this answer. Keep-alive on HTTP/1.0
// is an extension the service does not offer.
bool WantsClose(const QByteArray& head) {
    const QList<QByteArray> lines = head.split('\n');
    if (lines.value(0).trimmed().endsWith("HTTP/1.0")) return true;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0 || lines[i].left(colon).trimmed().toLower() != "connection") continue;
        for (const QByteArray& token : lines[i].mid(colon + 1).split(','))
            if (token.trimmed().toLower() == "close") return true;
    }
    return false;
}

}  // namespace

GuardedTcpServer::~GuardedTcpServer() {
    for (const Held& held : m_held) ::close(static_cast<int>(held.Handle));
}

bool GuardedTcpServer::Crowded() const {
    return m_served.size() >= maxConnections - std::max(1, maxConnections / 8);
}

void GuardedTcpServer::incomingConnection(qintptr handle) {
    const QByteArray address = AddressKey(handle);
    if (m_heldPerAddress.value(address) >= 3 * maxPerAddress) {
        Refuse(handle);
        return;
    }
    m_held.push_back({handle, address});
    ++m_heldPerAddress[address];
    Pump();
}

// Hands waiting connections to the HTTP server as their address's share and the global cap
// allow, and stops or resumes accepting.
void GuardedTcpServer::Pump() {
    if (m_pumping) return;
    m_pumping = true;
    for (auto it = m_held.begin(); it != m_held.end();) {
        const QByteArray address = it->Address;
        if (m_servedPerAddress.value(address) >= maxPerAddress) CloseOldestIdle(&address);
        if (m_servedPerAddress.value(address) >= maxPerAddress || m_served.size() >= maxConnections) {
            ++it;
            continue;
        }
        if (Crowded()) CloseOldestIdle(nullptr);
        const qintptr handle = it->Handle;
        it = m_held.erase(it);
        if (--m_heldPerAddress[address] == 0) m_heldPerAddress.remove(address);
        Admit(handle, address);
    }
    m_pumping = false;
    // Connections waiting for their address's share do not count against the others: an
    // address at its share must not fill the service. They are bounded on their own.
    const bool full = m_served.size() >= maxConnections || static_cast<int>(m_held.size()) >= maxConnections;
    if (full && !m_paused) pauseAccepting();
    if (!full && m_paused) resumeAccepting();
    m_paused = full;
}

bool GuardedTcpServer::CloseOldestIdle(const QByteArray* address) {
    QTcpSocket* oldest = nullptr;
    int64_t since = 0;
    for (auto it = m_served.cbegin(); it != m_served.cend(); ++it) {
        const Connection& c = *it.value();
        if (!c.Idle || (address && c.Address != *address)) continue;
        if (!oldest || c.IdleSince < since) {
            oldest = it.key();
            since = c.IdleSince;
        }
    }
    if (!oldest) return false;
    oldest->disconnectFromHost();
    Forget(oldest);
    return true;
}

void GuardedTcpServer::Forget(QTcpSocket* socket) {
    const auto found = m_served.find(socket);
    if (found == m_served.end()) return;
    const QByteArray address = found.value()->Address;
    m_served.erase(found);
    if (--m_servedPerAddress[address] == 0) m_servedPerAddress.remove(address);
    Pump();
}

void GuardedTcpServer::Refuse(qintptr handle) {
    ++connectionsRefused;
    // Refusals that linger are bounded too: beyond that many, a refusal is a plain close.
    if (m_refusing >= maxConnections) {
        ::close(static_cast<int>(handle));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        ::close(static_cast<int>(handle));
        return;
    }
    ++m_refusing;
    connect(socket, &QObject::destroyed, this, [this] { --m_refusing; });
    const QByteArray body = "Too many connections from your address: try again shortly.\n";
    socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
                  "Connection: close\r\nRetry-After: 5\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
    // The answer is followed by the end of sending only; what the client sent meanwhile is read
    // and dropped until it closes, so that no reset overtakes the answer.
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0) ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    });
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
}

void GuardedTcpServer::Admit(qintptr handle, const QByteArray& address) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        ::close(static_cast<int>(handle));
        return;
    }
    auto c = std::make_shared<Connection>();
    c->Address = address;
    c->Start = Now();
    m_served.insert(socket, c);
    ++m_servedPerAddress[address];
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { Forget(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { Forget(socket); });
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    const QPointer<QTcpSocket> weak(socket);
    auto cut = [this, weak] {
        if (!weak) return;
        ++connectionsCut;
        weak->abort();
    };
    auto arm = [timer](int64_t ms) {
        timer->start(static_cast<int>(std::clamp<int64_t>(ms, 0, std::numeric_limits<int>::max())));
    };
    connect(timer, &QTimer::timeout, socket, [c, weak, cut] {
        if (weak && c->Idle)
            weak->disconnectFromHost();
        else
            cut();
    });
    arm(pace.DeadlineMs(c->Start, 0) - c->Start);
    // Connected before QHttpServer connects its own: this runs first and sees the new bytes
    // still unread.
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, c, cut, arm] {
        const qint64 available = socket->bytesAvailable();
        const int64_t now = Now();
        if (!c->InRequest) c->Restart(now, false);
        c->Bytes += static_cast<size_t>(available);
        if (!c->HeadDone) {
            c->Head += socket->peek(available);
            const qsizetype end = c->Head.indexOf("\r\n\r\n");
            if (end >= 0) {
                c->HeadDone = true;
                c->HeadBytes = static_cast<size_t>(end + 4);
                c->CloseAfter = WantsClose(c->Head.left(end));
                if (const auto body = BodyLength(c->Head.left(end))) c->Length = c->HeadBytes + *body;
                c->Head.clear();
            } else {
                c->HeadBytes = static_cast<size_t>(c->Head.size());
            }
        }
        if (c->Bytes > maxRequestBytes || c->HeadBytes > maxHeaderBytes) {
            cut();
            return;
        }
        // A whole request waits for its answer (a page is read on another thread) without a
        // pace to keep.
        const bool whole = c->Length && c->Bytes == *c->Length;
        arm(whole ? idleTimeoutMs : pace.DeadlineMs(c->Start, c->Bytes) - now);
    });
    connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket, c, arm] {
        // While the answer drains, the reader has the idle time between its reads.
        arm(idleTimeoutMs);
        if (socket->bytesToWrite() > 0) return;
        if (c->CloseAfter || Crowded()) {
            socket->disconnectFromHost();
            return;
        }
        c->Restart(Now(), true);
    });
    addPendingConnection(socket);
    emit newConnection();
}

StatsService::StatsService(StatsServiceStore& store, QString dataDir, Clock clock,
                           std::unique_ptr<StatsServiceStore> reader, Executor executor)
    : m_store(store),
      m_dataDir(std::move(dataDir)),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentSecsSinceEpoch(); })),
      m_reader(std::move(reader)),
      m_executor(std::move(executor)),
      m_tcp(new GuardedTcpServer(this)) {
    // One reader thread: its connection is used by one thread at a time.
    m_readers.setMaxThreadCount(1);
    if (!m_executor) m_executor = [this](std::function<void()> task) { m_readers.start(std::move(task)); };
    Routes();
    auto* periods = new QTimer(this);
    connect(periods, &QTimer::timeout, this, [this] { MovePeriods(); });
    periods->start(60000);
    MovePeriods();
}

void StatsService::MovePeriods() {
    const int64_t today = m_clock() / 86400;
    if (today == m_periodsDay) return;
    std::string error;
    if (m_store.MovePeriodsTo(today, error))
        m_periodsDay = today;
    else
        qWarning().noquote() << "The leaderboards' periods were not moved on:"
                             << QString::fromStdString(error);
}

StatsService::~StatsService() {
    // A page still being read uses the reader; its answer, queued to this object, is dropped.
    m_readers.waitForDone();
}

void StatsService::Serve(Render render, QHttpServerResponder&& responder) {
    auto write = [](QHttpServerResponder& to, const Page& page) {
        WritePage(std::move(to), page.Html, static_cast<StatusCode>(page.Status), page.Location);
    };
    if (!m_reader) {
        write(responder, render(m_store));
        return;
    }
    // The responder stays on this thread; the socket may be gone when the page is ready.
    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    const QPointer<QTcpSocket> socket(held->socket());
    m_executor([this, render = std::move(render), held, socket, write] {
        auto page = std::make_shared<Page>(render(*m_reader));
        QMetaObject::invokeMethod(
            this,
            [held, socket, page, write] {
                if (socket && socket->state() == QAbstractSocket::ConnectedState) write(*held, *page);
            },
            Qt::QueuedConnection);
    });
}

quint16 StatsService::Listen(const QHostAddress& address, quint16 port) {
    // Connections beyond the cap wait here while the service does not accept.
    m_tcp->setListenBacklogSize(1024);
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

namespace {

QString NewsText(const QString& folder) {
    QFile file(QDir(folder).filePath(QStringLiteral("news.txt")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.read(64 * 1024));
}

}  // namespace

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
    using Responder = QHttpServerResponder&&;
    auto html = [](const QString& text, StatusCode status = StatusCode::Ok) {
        return Page{text.toUtf8(), static_cast<int>(status), {}};
    };
    auto servers = [this, html](const QHttpServerRequest&, Responder responder) {
        const int64_t now = m_clock();
        Serve([html, now](StatsServiceStore& store) {
            return html(ServersPage(store.ServersNow(), store.RecentMatches(20), now));
        }, std::move(responder));
    };
    m_http.route("/", Method::Get, servers);
    m_http.route("/tovistats/", Method::Get, servers);
    m_http.route("/tovistats/leaderboard", Method::Get,
                 [this, html](const QHttpServerRequest& request, Responder responder) {
                     const BoardView view = BoardViewOf(
                         [&request](const QByteArray& name) { return QueryBytes(request, name); });
                     const BoardQuery query = BoardQueryOf(view, m_clock());
                     Serve(
                         [html, query, view](StatsServiceStore& store) {
                             return html(LeaderboardPage(store.Leaderboard(query), view));
                         },
                         std::move(responder));
                 });
    m_http.route("/tovistats/player", Method::Get,
                 [this, html](const QHttpServerRequest& request, Responder responder) {
                     const QByteArray sent = QueryBytes(request, "name");
                     Serve(
                         [html, sent, name = NameFromUtf8(sent)](StatsServiceStore& store) {
                             if (name) {
                                 if (const auto page = store.Player(LowerCase1252(*name), 200))
                                     return html(PlayerPageHtml(*page));
                             }
                             // Older pages linked the name's own Windows-1252 bytes: such an address is sent
                             // on to the address of today.
                             const std::string old = LowerCase1252(sent.toStdString());
                             if ((!name || *name != sent.toStdString()) && store.Player(old, 0)) {
                                 const QString to = PlayerLink(old);
                                 Page moved = html(
                                     QStringLiteral("<!DOCTYPE html><p>Moved to <a href=\"%1\">%1</a></p>")
                                         .arg(to.toHtmlEscaped()),
                                     StatusCode::MovedPermanently);
                                 moved.Location = to.toLatin1();
                                 return moved;
                             }
                             return html(NotFoundPage(QStringLiteral("No player of that name.")),
                                         StatusCode::NotFound);
                         },
                         std::move(responder));
                 });
    m_http.route("/tovistats/match", Method::Get, [this, html](const QHttpServerRequest& request, Responder responder) {
        bool ok = false;
        const qlonglong id = QueryBytes(request, "id").toLongLong(&ok);
        Serve([html, ok, id](StatsServiceStore& store) {
            const auto match = ok ? store.Match(id) : std::nullopt;
            if (!match) return html(NotFoundPage(QStringLiteral("No such match.")), StatusCode::NotFound);
            return html(MatchPageHtml(match->first, match->second));
        }, std::move(responder));
    });
    m_http.route("/tovistats/maps", Method::Get,
                 [this, html](const QHttpServerRequest&, Responder responder) {
                     Serve([html](StatsServiceStore& store) { return html(MapsPage(store.Maps())); },
                           std::move(responder));
                 });
    m_http.route(
        "/tovistats/map", Method::Get, [this, html](const QHttpServerRequest& request, Responder responder) {
            const QByteArray sent = QueryBytes(request, "name");
            Serve(
                [html, name = NameFromUtf8(sent).value_or(sent.toStdString())](StatsServiceStore& store) {
                    const auto map = store.Map(name);
                    if (!map)
                        return html(NotFoundPage(QStringLiteral("No map of that name.")),
                                    StatusCode::NotFound);
                    return html(PlacePage(*map, store.RecentMatchesOnMap(name, 50)));
                },
                std::move(responder));
        });
    m_http.route("/tovistats/server", Method::Get,
                 [this, html](const QHttpServerRequest& request, Responder responder) {
                     bool ok = false;
                     const qlonglong id = QueryBytes(request, "id").toLongLong(&ok);
                     Serve(
                         [html, ok, id](StatsServiceStore& store) {
                             const auto server = ok ? store.Server(id) : std::nullopt;
                             if (!server)
                                 return html(NotFoundPage(QStringLiteral("No such server.")),
                                             StatusCode::NotFound);
                             return html(PlacePage(*server, store.RecentMatchesOfServer(id, 50)));
                         },
                         std::move(responder));
                 });
    m_http.route("/tovistats/news.php", Method::Get, [this, html](const QHttpServerRequest&, Responder responder) {
        Serve([html, folder = m_dataDir](StatsServiceStore& store) {
            return html(NewsPageHtml(NewsText(folder), store.RecentMatches(5)));
        }, std::move(responder));
    });
    m_http.route("/tovistats/favicon.svg", Method::Get,
                 [] { return QHttpServerResponse(QByteArrayLiteral("image/svg+xml"), Favicon()); });
    m_http.route("/tovistats/style.css", Method::Get,
                 [] { return QHttpServerResponse(QByteArrayLiteral("text/css"), StyleSheet()); });
    m_http.afterRequest([](QHttpServerResponse&& response) {
        // A plain text answer (the program's reports and uploads) is no document a browser runs or
        // frames: it keeps nosniff alone. The program's HTTP client reads an answer's head a byte
        // at a time, so every header costs it a system call a byte.
        const bool plain = response.mimeType().startsWith("text/plain");
        for (const auto& [name, value] : kPageHeaders) {
            if (!plain || name == "X-Content-Type-Options") response.setHeader(name, value);
        }
        return std::move(response);
    });
    m_http.setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        WritePage(std::move(responder), NotFoundPage(QStringLiteral("No such page.")).toUtf8(),
                  StatusCode::NotFound);
    });
}

}  // namespace tovi
