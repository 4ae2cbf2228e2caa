#pragma once
// The web panel: the JSON API under /api/v1, the pages compiled into the program, and the live
// feed at /api/v1/live, on Qt's HTTP server on the caller's event loop (no threads).
//
// Every request is checked in this order: framing and size (a connection that sends more than a
// request may hold is cut while it sends; one framed ambiguously is refused), Host (one of the configured names: no DNS rebinding), path (no
// dots, encoded slashes or backslashes), authentication (the public endpoints are declared once;
// everything else needs a session cookie or a Bearer token), Origin and CSRF token for anything
// that changes state under a cookie, then the endpoint's role. A session holds only while its
// account is still the one that logged in (same row, same credential stamp, same role). Every
// answer carries headers that forbid framing, inline script and sniffing; API answers are never
// cached.
#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ApiCall.h"
#include "AuditController.h"
#include "AuthController.h"
#include "BansController.h"
#include "ChatController.h"
#include "HistoryController.h"
#include "LoginThrottle.h"
#include "PanelBackend.h"
#include "PlayersController.h"
#include "ServerController.h"
#include "ServersController.h"
#include "SessionStore.h"
#include "SettingsController.h"
#include "StatusController.h"
#include "WebPanelSettings.h"

class QTcpServer;
class QTimer;
class QWebSocket;

namespace tovi {

class WebPanel final : public QAbstractHttpServer, private PanelListener {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxHeaderBytes = 8 * 1024;
    static constexpr qsizetype kMaxBodyBytes = 64 * 1024;
    // What one connection may send before its request is answered; beyond it, it is cut.
    static constexpr qint64 kMaxRequestBytes = kMaxHeaderBytes + kMaxBodyBytes + 1024;

    struct Endpoint {
        const char* Method;
        const char* Path;
        bool Public;
        Role MinRole;
        std::function<ApiReply(const ApiCall&)> Handler;
        // Instead of Handler, for a call that reads the record: answered once it is read, while
        // the event loop goes on.
        std::function<void(const ApiCall&, ApiAnswer)> Later = {};
    };

    // `clock` answers Unix time in milliseconds (sessions, login brakes, the chart).
    WebPanel(PanelBackend& backend, AccountStore& accounts, WebPanelSettings settings, PanelClock clock,
             QObject* parent = nullptr);
    ~WebPanel() override;

    // Listens as the settings say (port 0: any free port); false with `error` in words.
    bool Start(std::string& error);
    quint16 Port() const;
    const std::vector<Endpoint>& Endpoints() const { return m_endpoints; }
    size_t LiveConnections() const { return m_live.size(); }
    // Connections open now, the live feeds' and those in a TLS handshake included.
    int Connections() const;
    // Ends the sessions, and closes the live feeds, of accounts that were removed, re-added or
    // given another role or password since their login, wherever that was done. Runs every
    // kAccountCheckMs; a change made through this panel is seen at its next request anyway.
    void CheckAccounts();
    static constexpr int kAccountCheckMs = 2000;
    // Live feeds one session may hold at once (a few tabs); more are refused.
    static constexpr size_t kMaxLivePerSession = 4;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Answer {
        int Status = 200;
        QByteArray Body;
        QByteArray ContentType;
        std::vector<std::pair<QByteArray, QByteArray>> Headers;
        bool Api = true;
        bool Known = false;  // the request carried a session or token, or logged in
    };
    // `later` is set, with `call`, when the endpoint answers later (the answer returned is then none).
    Answer Handle(const QHttpServerRequest& request, const Endpoint*& later, ApiCall& call);
    Answer Static(const QString& path) const;
    static Answer JsonAnswer(const ApiReply& reply);
    static Answer ErrorAnswer(int status, const char* why);
    void Send(const QHttpServerRequest& request, QTcpSocket* socket, const Answer& answer);
    void Write(QHttpServerResponder& responder, bool head, const Answer& answer);
    // Runs `endpoint`'s call and answers on `socket` when it is done, if the socket still stands.
    void AnswerLater(const QHttpServerRequest& request, QTcpSocket* socket, const Endpoint& endpoint,
                     const ApiCall& call);

    bool HostAllowed(const QByteArray& host) const;
    // The session is live and its account is still the one that logged in; a session whose
    // account changed is ended with its live feeds.
    const Session* AccountSession(const std::string& id);
    void EndSessions(const std::function<bool(const Session&)>& ends);
    bool SameOrigin(const QHttpServerRequest& request) const;
    bool OriginMatches(const QByteArray& origin, const QByteArray& host) const;
    // The client's address: the peer's, or behind the configured proxy the one it forwarded.
    std::string ClientAddress(const QHttpServerRequest& request) const;
    static QByteArray Header(const QHttpServerRequest& request, const char* name);
    static std::string CookieValue(const QByteArray& cookies, const char* name);

    struct Live {
        std::unique_ptr<QWebSocket> Socket;
        std::string SessionId;
    };
    void AcceptLive();
    void EndLive(const std::function<bool(const Live&)>& ends, const char* why);
    void Broadcast(const QJsonObject& event);

    // PanelListener
    void PlayersChanged() override;
    void StatusChanged() override;
    void ChatLineAdded(const PanelChatLine& line) override;
    void AdminActionDone(const AdminAction& action) override;

    PanelBackend& m_backend;
    AccountStore& m_accounts;
    WebPanelSettings m_settings;
    PanelClock m_clock;
    SessionStore m_sessions;
    LoginThrottle m_throttle;
    AuthController m_auth;
    ServersController m_servers;
    StatusController m_status;
    PlayersController m_players;
    ChatController m_chat;
    BansController m_bans;
    HistoryController m_history;
    AuditController m_audit;
    ServerController m_server;
    SettingsController m_settingsApi;
    std::vector<Endpoint> m_endpoints;
    std::map<QString, QString> m_assets;  // URL path -> resource path
    std::set<QString> m_publicAssets;
    QTcpServer* m_tcp = nullptr;  // owned by the HTTP server once bound
    QTimer* m_accountCheck = nullptr;
    QHostAddress m_proxy;  // null: no proxy trusted
    std::vector<Live> m_live;
};

}  // namespace tovi
