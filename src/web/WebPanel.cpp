#include "WebPanel.h"

#include <sodium.h>

#include <QDirIterator>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonParseError>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>

#include "LimitedServer.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace tovi {

namespace {

// Set on a connection while its request waits for an answer that comes later.
constexpr char kAnswering[] = "tovi_answering";

// The chart library sets style attributes on the elements it makes; styles in attributes cannot
// run anything, so only they are let through (style-src-attr), never inline script or <style>.
constexpr const char* kCsp =
    "default-src 'self'; script-src 'self'; style-src 'self'; style-src-attr 'unsafe-inline'; img-src 'self' "
    "data:; "
    "connect-src 'self'; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";
constexpr const char* kLivePath = "/api/v1/live";

bool StateChanging(QHttpServerRequest::Method method) {
    return method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head &&
           method != QHttpServerRequest::Method::Options;
}

QByteArray MethodName(QHttpServerRequest::Method method) {
    switch (method) {
        case QHttpServerRequest::Method::Get:
            return "GET";
        case QHttpServerRequest::Method::Post:
            return "POST";
        case QHttpServerRequest::Method::Put:
            return "PUT";
        case QHttpServerRequest::Method::Delete:
            return "DELETE";
        case QHttpServerRequest::Method::Head:
            return "HEAD";
        case QHttpServerRequest::Method::Patch:
            return "PATCH";
        case QHttpServerRequest::Method::Options:
            return "OPTIONS";
        default:
            return "OTHER";
    }
}

// An upgrade as Qt's parser reads one: "Upgrade: websocket" alone is an ordinary request, which
// must keep its connection's limits.
bool IsUpgrade(const QHttpServerRequest& request) {
    bool upgrade = false, connection = false;
    for (const auto& [key, value] : request.headers()) {
        if (key.compare("Upgrade", Qt::CaseInsensitive) == 0 && value.trimmed().toLower() == "websocket")
            upgrade = true;
        if (key.compare("Connection", Qt::CaseInsensitive) == 0) {
            for (const QByteArray& token : value.split(','))
                connection = connection || token.trimmed().compare("upgrade", Qt::CaseInsensitive) == 0;
        }
    }
    return upgrade && connection;
}

bool EqualSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

QByteArray ContentTypeOf(const QString& path) {
    if (path.endsWith(QLatin1String(".html"))) return "text/html; charset=utf-8";
    if (path.endsWith(QLatin1String(".js"))) return "text/javascript; charset=utf-8";
    if (path.endsWith(QLatin1String(".css"))) return "text/css; charset=utf-8";
    if (path.endsWith(QLatin1String(".svg"))) return "image/svg+xml";
    return "application/octet-stream";
}

// The host part of a Host header or of an Origin's authority, lower case, without the port.
QByteArray HostName(QByteArray authority) {
    authority = authority.trimmed().toLower();
    if (authority.startsWith('[')) {
        const qsizetype end = authority.indexOf(']');
        return end < 0 ? QByteArray() : authority.mid(1, end - 1);
    }
    const qsizetype colon = authority.indexOf(':');
    return colon < 0 ? authority : authority.left(colon);
}

}  // namespace

WebPanel::WebPanel(PanelBackend& backend, AccountStore& accounts, WebPanelSettings settings, PanelClock clock,
                   QObject* parent)
    : QAbstractHttpServer(parent),
      m_backend(backend),
      m_accounts(accounts),
      m_settings(std::move(settings)),
      m_clock(std::move(clock)),
      m_sessions(m_clock, m_settings.IdleSeconds, m_settings.AbsoluteSeconds),
      m_throttle(m_clock),
      m_auth(backend, accounts, m_sessions, m_throttle, m_clock, m_settings.SecureCookie()),
      m_servers(backend),
      m_status(backend, m_servers, [this] { return m_clock() / 1000; }, this),
      m_players(backend),
      m_chat(backend),
      m_bans(backend, [this] { return m_clock() / 1000; }),
      m_history(backend, m_servers, this),
      m_audit(backend, m_servers, this),
      m_server(backend),
      m_settingsApi(backend) {
    using R = Role;
    auto on = [](auto* controller,
                 ApiReply (std::remove_pointer_t<decltype(controller)>::*method)(const ApiCall&)) {
        return [controller, method](const ApiCall& call) { return (controller->*method)(call); };
    };
    auto later = [](auto* controller,
                    void (std::remove_pointer_t<decltype(controller)>::*method)(const ApiCall&, ApiAnswer)) {
        return [controller, method](const ApiCall& call, ApiAnswer answer) {
            (controller->*method)(call, std::move(answer));
        };
    };
    // The whole API: the only public endpoint is the login; the role is the least that may call.
    m_endpoints = {
        {"POST", "/api/v1/login", true, R::Viewer, on(&m_auth, &AuthController::Login)},
        {"POST", "/api/v1/logout", false, R::Viewer, on(&m_auth, &AuthController::Logout)},
        {"GET", "/api/v1/session", false, R::Viewer, on(&m_auth, &AuthController::Current)},
        {"GET", "/api/v1/status", false, R::Viewer, on(&m_status, &StatusController::Get)},
        {"GET", "/api/v1/status/players-over-time", false, R::Viewer,
         {}, later(&m_status, &StatusController::PlayersOverTime)},
        {"GET", "/api/v1/players", false, R::Viewer, on(&m_players, &PlayersController::List)},
        {"POST", "/api/v1/players/talk", false, R::Moderator, on(&m_players, &PlayersController::Talk)},
        {"POST", "/api/v1/players/warn", false, R::Moderator, on(&m_players, &PlayersController::Warn)},
        {"POST", "/api/v1/players/punt", false, R::Moderator, on(&m_players, &PlayersController::Punt)},
        {"GET", "/api/v1/chat", false, R::Viewer, on(&m_chat, &ChatController::Recent)},
        {"POST", "/api/v1/chat", false, R::Moderator, on(&m_chat, &ChatController::Send)},
        {"GET", "/api/v1/bans", false, R::Viewer, on(&m_bans, &BansController::List)},
        {"POST", "/api/v1/bans", false, R::Moderator, on(&m_bans, &BansController::Add)},
        {"POST", "/api/v1/bans/lift", false, R::Admin, on(&m_bans, &BansController::Lift)},
        {"POST", "/api/v1/bans/edit", false, R::Admin, on(&m_bans, &BansController::Edit)},
        {"POST", "/api/v1/bans/import", false, R::Admin, on(&m_bans, &BansController::Import)},
        {"GET", "/api/v1/bans/export", false, R::Admin, on(&m_bans, &BansController::Export)},
        {"GET", "/api/v1/history", false, R::Viewer, {}, later(&m_history, &HistoryController::Search)},
        {"GET", "/api/v1/audit", false, R::Viewer, {}, later(&m_audit, &AuditController::List)},
        {"GET", "/api/v1/servers", false, R::Viewer, on(&m_servers, &ServersController::List)},
        {"POST", "/api/v1/console", false, R::Admin, on(&m_server, &ServerController::Console)},
        {"POST", "/api/v1/match/time", false, R::Admin, on(&m_server, &ServerController::MatchTime)},
        {"POST", "/api/v1/match/reset", false, R::Admin, on(&m_server, &ServerController::ResetGames)},
        {"GET", "/api/v1/automessages", false, R::Viewer, on(&m_server, &ServerController::AutoMessages)},
        {"POST", "/api/v1/automessages", false, R::Admin, on(&m_server, &ServerController::SetAutoMessages)},
        {"GET", "/api/v1/settings", false, R::Admin, on(&m_settingsApi, &SettingsController::Get)},
        {"POST", "/api/v1/settings", false, R::Admin, on(&m_settingsApi, &SettingsController::Save)},
    };
    // The pages: exactly the files compiled in, nothing found by joining paths.
    QDirIterator assets(QStringLiteral(":/web"), QDir::Files, QDirIterator::Subdirectories);
    while (assets.hasNext()) {
        const QString resource = assets.next();
        m_assets.emplace(resource.mid(5), resource);  // ":/web/app.js" -> "/app.js"
    }
    m_assets.emplace(QStringLiteral("/"), QStringLiteral(":/web/index.html"));
    m_publicAssets = {QStringLiteral("/login.html"), QStringLiteral("/login.js"),
                      QStringLiteral("/style.css")};

    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebPanel::AcceptLive);
    m_backend.SetListener(this);
}

WebPanel::~WebPanel() {
    m_backend.SetListener(nullptr);
    for (Live& l : m_live) l.Socket->disconnect(this);
}

void WebPanel::EndLive(const std::function<bool(const Live&)>& ends, const char* why) {
    // Taken out of the list first: closing a socket may call back into the panel at once.
    std::vector<std::unique_ptr<QWebSocket>> ending;
    for (auto it = m_live.begin(); it != m_live.end();) {
        if (ends(*it)) {
            ending.push_back(std::move(it->Socket));
            it = m_live.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& socket : ending) {
        socket->disconnect(this);
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QString::fromLatin1(why));
        socket.release()->deleteLater();
    }
}

bool WebPanel::Start(std::string& error) {
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(m_settings.Bind))) {
        error = "The web panel's bind address " + m_settings.Bind + " is no IP address.";
        return false;
    }
    QTcpServer* server = nullptr;
    std::optional<QSslConfiguration> tls;
    if (m_settings.Https()) {
        QFile certFile(QString::fromStdString(m_settings.CertFile)),
            keyFile(QString::fromStdString(m_settings.KeyFile));
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            error = "The web panel's certificate or key file cannot be read.";
            return false;
        }
        const auto certs = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
        const QByteArray keyPem = keyFile.readAll();
        QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
        if (key.isNull()) key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
        if (certs.isEmpty() || key.isNull()) {
            error = "The web panel's certificate or key is not in PEM form.";
            return false;
        }
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificateChain(certs);
        config.setPrivateKey(key);
        config.setProtocol(QSsl::TlsV1_2OrLater);
        tls = config;
    }
    ConnectionCaps caps;
    caps.Total = m_settings.MaxConnections;
    caps.PerAddress = m_settings.MaxConnectionsPerAddress;
    caps.Anonymous = m_settings.MaxAnonymousConnections;
    caps.AnonymousPerAddress = m_settings.MaxAnonymousPerAddress;
    caps.HandshakeMs = m_settings.HandshakeTimeoutMs;
#ifndef _WIN32
    // Sockets take at most half the open files, whatever the limit, so that the program's own
    // files always open.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        const int half = static_cast<int>(std::min<rlim_t>(files.rlim_cur / 2, 1 << 20));
        caps.Total = std::min(caps.Total, half);
        caps.Anonymous = std::min(caps.Anonymous, half);
    }
#endif
    if (!m_settings.Proxy.empty()) {
        if (!m_proxy.setAddress(QString::fromStdString(m_settings.Proxy))) {
            error = "The web panel's proxy address " + m_settings.Proxy + " is no IP address.";
            return false;
        }
        caps.Shared = m_proxy.toString();
    }
    server =
        new LimitedServer(kMaxRequestBytes, kMaxHeaderBytes + 1024, m_settings.RequestTimeoutMs, caps, tls);
    if (!server->listen(address, m_settings.Port)) {
        error = "The web panel cannot listen on " + m_settings.Bind + ":" + std::to_string(m_settings.Port) +
                " (" + server->errorString().toStdString() + ").";
        delete server;
        return false;
    }
    bind(server);
    m_tcp = server;
    m_accountCheck = new QTimer(this);
    connect(m_accountCheck, &QTimer::timeout, this, &WebPanel::CheckAccounts);
    m_accountCheck->start(kAccountCheckMs);
    return true;
}

const Session* WebPanel::AccountSession(const std::string& id) {
    const Session* s = m_sessions.Find(id);
    if (!s) return nullptr;
    if (SessionStore::SameIdentity(*s, m_accounts.FindAccount(s->Account))) return s;
    EndSessions([&](const Session& other) { return other.Id == id; });
    return nullptr;
}

void WebPanel::EndSessions(const std::function<bool(const Session&)>& ends) {
    if (m_sessions.EndIf(ends) == 0) return;
    EndLive([this](const Live& l) { return !m_sessions.Live(l.SessionId); }, "account changed");
}

void WebPanel::CheckAccounts() {
    if (m_sessions.Count() == 0) return;
    std::vector<Account> accounts;
    // A store that cannot be read now ends nobody's session: the request path checks again.
    if (!m_accounts.ReadAccounts(accounts)) return;
    std::map<std::string, Account> byName;
    for (Account& a : accounts) byName.emplace(AccountNameKey(a.Name), std::move(a));
    EndSessions([&](const Session& s) {
        const auto it = byName.find(AccountNameKey(s.Account));
        return !SessionStore::SameIdentity(s, it == byName.end() ? std::nullopt : std::optional(it->second));
    });
}

int WebPanel::Connections() const {
    return m_tcp ? static_cast<const LimitedServer*>(m_tcp)->Connections() : 0;
}

quint16 WebPanel::Port() const {
    return m_tcp ? m_tcp->serverPort() : 0;
}

QByteArray WebPanel::Header(const QHttpServerRequest& request, const char* name) {
    QByteArray value;
    int seen = 0;
    for (const auto& [key, v] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            value = v;
            ++seen;
        }
    }
    // A header given twice is ambiguous: treated as absent.
    return seen == 1 ? value : QByteArray();
}

std::string WebPanel::CookieValue(const QByteArray& cookies, const char* name) {
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray item = part.trimmed();
        const qsizetype eq = item.indexOf('=');
        if (eq > 0 && item.left(eq) == name) return item.mid(eq + 1).toStdString();
    }
    return {};
}

bool WebPanel::HostAllowed(const QByteArray& host) const {
    const QByteArray name = HostName(host);
    if (name.isEmpty()) return false;
    for (const std::string& allowed : m_settings.Hosts) {
        if (name == QByteArray::fromStdString(allowed)) return true;
    }
    return false;
}

std::string WebPanel::ClientAddress(const QHttpServerRequest& request) const {
    const QHostAddress peer = request.remoteAddress();
    if (m_proxy.isNull() || !peer.isEqual(m_proxy, QHostAddress::ConvertV4MappedToIPv4))
        return peer.toString().toStdString();
    // The proxy appends the address it took the request from; whatever comes before that is the
    // client's word and may be made up.
    QByteArray forwarded;
    for (const auto& [key, value] : request.headers()) {
        if (key.compare("X-Forwarded-For", Qt::CaseInsensitive) == 0)
            forwarded += (forwarded.isEmpty() ? "" : ",") + value;
    }
    QHostAddress client;
    if (!client.setAddress(QString::fromLatin1(forwarded.split(',').last().trimmed())))
        return peer.toString().toStdString();
    return client.toString().toStdString();
}

// The page is this panel's: the Origin's scheme is the one the browser sees (https behind a proxy
// that serves it) and its authority is the Host the request went to.
bool WebPanel::OriginMatches(const QByteArray& origin, const QByteArray& host) const {
    const QUrl url(QString::fromLatin1(origin));
    const QLatin1String scheme(m_settings.SecureCookie() ? "https" : "http");
    if (!url.isValid() || url.scheme() != scheme) return false;
    QByteArray authority = url.host().toLower().toLatin1();
    if (authority.contains(':')) authority = "[" + authority + "]";
    if (url.port() != -1) authority += ":" + QByteArray::number(url.port());
    return !authority.isEmpty() && authority == host.trimmed().toLower();
}

// The page that sent the request is this panel: its Origin (or, without one, its Referer).
bool WebPanel::SameOrigin(const QHttpServerRequest& request) const {
    QByteArray source = Header(request, "Origin");
    if (source.isEmpty() || source == "null") source = Header(request, "Referer");
    return OriginMatches(source, Header(request, "Host"));
}

WebPanel::Answer WebPanel::JsonAnswer(const ApiReply& reply) {
    Answer a;
    a.Status = reply.Status;
    a.Body = reply.Body.toJson(QJsonDocument::Compact);
    a.ContentType = "application/json";
    a.Headers = reply.Headers;
    return a;
}

WebPanel::Answer WebPanel::ErrorAnswer(int status, const char* why) {
    return JsonAnswer(ApiReply::Error(status, QString::fromLatin1(why)));
}

WebPanel::Answer WebPanel::Static(const QString& path) const {
    const auto it = m_assets.find(path);
    QFile file(it == m_assets.end() ? QString() : it->second);
    if (it == m_assets.end() || !file.open(QIODevice::ReadOnly)) {
        Answer a = ErrorAnswer(404, "Not found.");
        a.Api = false;
        return a;
    }
    Answer a;
    a.Body = file.readAll();
    a.ContentType = ContentTypeOf(it->second);
    a.Api = false;
    return a;
}

WebPanel::Answer WebPanel::Handle(const QHttpServerRequest& request, const Endpoint*& later, ApiCall& call) {
    // Sizes: whatever got past the connection's budget is still held to each part's limit.
    qsizetype headerBytes = 0;
    for (const auto& [key, value] : request.headers()) headerBytes += key.size() + value.size() + 4;
    if (headerBytes > kMaxHeaderBytes) return ErrorAnswer(431, "Request headers too large.");
    if (request.body().size() > kMaxBodyBytes) return ErrorAnswer(413, "Request body too large.");

    if (!HostAllowed(Header(request, "Host"))) return ErrorAnswer(421, "Unknown host name.");

    const QByteArray encoded = request.url().toEncoded(QUrl::RemoveQuery | QUrl::RemoveFragment);
    const QString path = request.url().path(QUrl::FullyDecoded);
    const QByteArray lowered = encoded.toLower();
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QLatin1String("..")) ||
        path.contains(QLatin1Char('\\')) || path.contains(QLatin1String("//")) || path.contains(QChar(0)) ||
        path.contains(QLatin1String("/./")) || path.endsWith(QLatin1String("/.")) ||
        lowered.contains("%2e") || lowered.contains("%2f") || lowered.contains("%5c") ||
        lowered.contains("%00")) {
        return ErrorAnswer(400, "Bad path.");
    }

    // HEAD is answered as GET without the body.
    const QByteArray method = request.method() == QHttpServerRequest::Method::Head
                                  ? QByteArray("GET")
                                  : MethodName(request.method());
    const Endpoint* endpoint = nullptr;
    bool pathKnown = false;
    for (const Endpoint& e : m_endpoints) {
        if (path == QLatin1String(e.Path)) {
            pathKnown = true;
            if (method == e.Method) endpoint = &e;
        }
    }
    const bool isPublic = endpoint ? endpoint->Public : (method == "GET" && m_publicAssets.count(path) > 0);

    // Who asks: a session's cookie, or an API token for scripts.
    call.Address = ClientAddress(request);
    bool byCookie = false;
    if (!isPublic) {
        const QByteArray authorization = Header(request, "Authorization");
        if (authorization.startsWith("Bearer ")) {
            const auto account = m_accounts.AccountByToken(authorization.mid(7).trimmed().toStdString());
            if (account) {
                call.Account = account->Name;
                call.AccountRole = account->AccountRole;
            }
        } else if (const Session* s =
                       AccountSession(CookieValue(Header(request, "Cookie"), AuthController::kCookie))) {
            call.Account = s->Account;
            call.AccountRole = s->AccountRole;
            call.SessionId = s->Id;
            byCookie = true;
        }
        if (call.Account.empty()) {
            if (!path.startsWith(QLatin1String("/api/")) && method == "GET") {
                Answer a;
                a.Status = 303;
                a.Headers.push_back({"Location", "/login.html"});
                a.Api = false;
                return a;
            }
            return ErrorAnswer(401, "Log in first.");
        }
    }

    if (!path.startsWith(QLatin1String("/api/"))) {
        if (method != "GET") return ErrorAnswer(405, "Pages are only read.");
        Answer page = Static(path);
        page.Known = !call.Account.empty();
        return page;
    }
    if (!endpoint)
        return ErrorAnswer(pathKnown ? 405 : 404, pathKnown ? "Method not allowed." : "Not found.");

    if (StateChanging(request.method()) && (byCookie || endpoint->Public)) {
        // A cookie goes along with any site's request: only this panel's own pages may act with it.
        if (!SameOrigin(request)) return ErrorAnswer(403, "The request comes from another site.");
        if (byCookie) {
            const Session* s = m_sessions.Find(call.SessionId);
            if (!s || !EqualSecret(Header(request, "X-CSRF-Token").toStdString(), s->Csrf))
                return ErrorAnswer(403, "Missing or wrong CSRF token.");
        }
    }
    if (call.AccountRole < endpoint->MinRole && !endpoint->Public)
        return ErrorAnswer(403, "Your role does not allow this.");

    if (!request.body().isEmpty()) {
        QJsonParseError parsed{};
        const QJsonDocument doc = QJsonDocument::fromJson(request.body(), &parsed);
        if (parsed.error != QJsonParseError::NoError || !doc.isObject())
            return ErrorAnswer(400, "The body is no JSON object.");
        call.Body = doc.object();
    }
    call.Query = QUrlQuery(request.url());
    if (endpoint->Later) {
        later = endpoint;
        return {};
    }
    const ApiReply reply = endpoint->Handler(call);
    if (path == QLatin1String("/api/v1/logout") && !call.SessionId.empty()) {
        // The live feeds of this session end with it.
        EndLive([&](const Live& l) { return l.SessionId == call.SessionId; }, "logged out");
    }
    Answer answer = JsonAnswer(reply);
    answer.Known = !call.Account.empty() || (endpoint->Public && reply.Status == 200);
    return answer;
}

void WebPanel::Send(const QHttpServerRequest& request, QTcpSocket* socket, const Answer& answer) {
    QHttpServerResponder responder = makeResponder(request, socket);
    Write(responder, request.method() == QHttpServerRequest::Method::Head, answer);
}

void WebPanel::Write(QHttpServerResponder& responder, bool head, const Answer& answer) {
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.Status));
    responder.writeHeader("Content-Type", answer.ContentType.isEmpty() ? "text/plain" : answer.ContentType);
    responder.writeHeader("Content-Length", QByteArray::number(answer.Body.size()));
    responder.writeHeader("Content-Security-Policy", kCsp);
    responder.writeHeader("X-Frame-Options", "DENY");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Referrer-Policy", "same-origin");
    responder.writeHeader("Cross-Origin-Opener-Policy", "same-origin");
    responder.writeHeader("Cache-Control", answer.Api ? "no-store" : "no-cache");
    if (m_settings.Https()) responder.writeHeader("Strict-Transport-Security", "max-age=31536000");
    for (const auto& [key, value] : answer.Headers) responder.writeHeader(key, value);
    // Written even when empty: it ends the answer, and the connection takes the next request.
    responder.writeBody(head ? QByteArray() : answer.Body);
}

void WebPanel::AnswerLater(const QHttpServerRequest& request, QTcpSocket* socket, const Endpoint& endpoint,
                           const ApiCall& call) {
    // The responder stays on this thread; the socket may be gone when the answer is ready. Until
    // then the connection may send nothing more: its next request would be answered first.
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    const QPointer<QTcpSocket> held(socket);
    socket->setProperty(kAnswering, true);
    endpoint.Later(call, [this, responder, head, held](const ApiReply& reply) {
        if (!held || held->state() != QAbstractSocket::ConnectedState) return;
        held->setProperty(kAnswering, false);
        Answer answer = JsonAnswer(reply);
        answer.Known = true;
        Write(*responder, head, answer);
        if (ConnectionLimits* limits = LimitsOf(held)) {
            limits->Answered();
            limits->Known();
        }
    });
}

bool WebPanel::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    ConnectionLimits* limits = LimitsOf(socket);
    // Qt's server hands an upgrade that a handler took to the WebSocket server, which answers the
    // handshake: only the live feed's path, for a logged-in page of this panel.
    if (IsUpgrade(request)) {
        const QByteArray host = Header(request, "Host");
        const bool ok = request.url().path() == QLatin1String(kLivePath) && HostAllowed(host) &&
                        OriginMatches(Header(request, "Origin"), host) &&
                        AccountSession(CookieValue(Header(request, "Cookie"), AuthController::kCookie));
        if (!ok) {
            Send(request, socket, ErrorAnswer(403, "No live feed without a session of this site."));
        } else if (limits) {
            limits->Known();
            limits->Release();
        }
        return ok;
    }
    if (socket->property(kAnswering).toBool()) {
        // A request sent before the last one's answer: the answers would cross. The connection
        // ends, after this handler.
        QMetaObject::invokeMethod(socket, &QAbstractSocket::abort, Qt::QueuedConnection);
        return true;
    }
    if (limits) limits->Answered();
    const Endpoint* later = nullptr;
    ApiCall call;
    const Answer answer = Handle(request, later, call);
    if (later) {
        AnswerLater(request, socket, *later, call);
        return true;
    }
    Send(request, socket, answer);
    // Counted again from the answer: a login's hashing may take a while.
    if (limits) {
        limits->Answered();
        if (answer.Known) limits->Known();
    }
    return true;
}

void WebPanel::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (IsUpgrade(request)) return;
    Send(request, socket, ErrorAnswer(404, "Not found."));
}

void WebPanel::AcceptLive() {
    while (auto socket = nextPendingWebSocketConnection()) {
        const QNetworkRequest handshake = socket->request();
        const QByteArray host = handshake.rawHeader("Host");
        const std::string id = CookieValue(handshake.rawHeader("Cookie"), AuthController::kCookie);
        const bool ok = socket->requestUrl().path() == QLatin1String(kLivePath) && HostAllowed(host) &&
                        OriginMatches(socket->origin().toLatin1(), host) && AccountSession(id) &&
                        std::count_if(m_live.begin(), m_live.end(), [&](const Live& l) {
                            return l.SessionId == id;
                        }) < static_cast<std::ptrdiff_t>(kMaxLivePerSession);
        if (!ok) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("refused"));
            socket.release()->deleteLater();
            continue;
        }
        // The feed only talks; whatever a browser sends is small or the connection ends.
        socket->setMaxAllowedIncomingMessageSize(1024);
        socket->setMaxAllowedIncomingFrameSize(1024);
        QWebSocket* raw = socket.get();
        connect(raw, &QWebSocket::disconnected, this,
                [this, raw] { EndLive([raw](const Live& l) { return l.Socket.get() == raw; }, "gone"); });
        m_live.push_back({std::move(socket), id});
    }
}

void WebPanel::Broadcast(const QJsonObject& event) {
    EndLive([this](const Live& l) { return !m_sessions.Live(l.SessionId); }, "session ended");
    const QString text = QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact));
    std::vector<QPointer<QWebSocket>> sockets;
    for (const Live& l : m_live) sockets.emplace_back(l.Socket.get());
    for (const auto& socket : sockets) {
        if (socket) socket->sendTextMessage(text);
    }
}

void WebPanel::PlayersChanged() {
    if (m_live.empty()) return;
    Broadcast({{QStringLiteral("type"), QStringLiteral("players")},
               {QStringLiteral("players"), PlayersJson(m_backend.Players())}});
}

void WebPanel::StatusChanged() {
    if (m_live.empty()) return;
    Broadcast({{QStringLiteral("type"), QStringLiteral("status")},
               {QStringLiteral("status"), StatusJson(m_backend.Status())}});
}

void WebPanel::ChatLineAdded(const PanelChatLine& line) {
    if (m_live.empty()) return;
    Broadcast(
        {{QStringLiteral("type"), QStringLiteral("chat")}, {QStringLiteral("line"), ChatLineJson(line)}});
}

void WebPanel::AdminActionDone(const AdminAction& a) {
    if (m_live.empty()) return;
    Broadcast(
        {{QStringLiteral("type"), QStringLiteral("admin")}, {QStringLiteral("action"), AdminActionJson(a)}});
}

}  // namespace tovi
