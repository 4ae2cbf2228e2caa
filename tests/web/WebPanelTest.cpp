// The web panel over real HTTP and WebSocket connections on 127.0.0.1, with real accounts in a
// temporary record and a fake program behind it; sessions and login brakes run on a clock the
// tests move.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <map>
#include <optional>

#include "FakePanelBackend.h"
#include "SqliteAccountStore.h"
#include "SqliteHistoryStore.h"
#include "WebPanel.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

// Runs the event loop until `done` holds; a stuck exchange fails the test instead of hanging it.
template <typename Done>
bool Spin(Done done) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > 20000) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

struct Reply {
    int Status = 0;  // 0: the connection was cut before an answer
    std::map<std::string, std::string> Headers;  // names in lower case
    QByteArray Body;
    QJsonObject Json() const { return QJsonDocument::fromJson(Body).object(); }
    std::string Header(const std::string& name) const {
        auto it = Headers.find(name);
        return it == Headers.end() ? std::string() : it->second;
    }
};

Reply Exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    QByteArray data;
    bool closed = false;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { data += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { closed = true; });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, [&] { closed = true; });
    socket.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(Spin([&] { return socket.state() == QAbstractSocket::ConnectedState || closed; }));
    socket.write(request);
    Reply reply;
    auto complete = [&] {
        const qsizetype end = data.indexOf("\r\n\r\n");
        if (end < 0) return false;
        const QList<QByteArray> lines = data.left(end).split('\n');
        reply.Status = lines[0].split(' ').value(1).toInt();
        reply.Headers.clear();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                reply.Headers[lines[i].left(colon).toLower().toStdString()] = lines[i].mid(colon + 1).trimmed().toStdString();
        }
        const qsizetype length = QByteArray::fromStdString(reply.Header("content-length")).toLongLong();
        if (data.size() - end - 4 < length) return false;
        reply.Body = data.mid(end + 4, length);
        return true;
    };
    EXPECT_TRUE(Spin([&] { return complete() || closed; }));
    if (!complete()) reply.Status = 0;
    return reply;
}

struct Login {
    std::string Cookie, Csrf;
};

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string db = m_dir.filePath(QStringLiteral("tovistats.db")).toStdString();
        ASSERT_TRUE(SqliteHistoryStore::Open(db, {}).Store);
        auto opened = SqliteAccountStore::Open(db);
        ASSERT_TRUE(opened.Store) << opened.Error;
        m_accounts = std::move(opened.Store);
        std::string error;
        for (auto [name, role] : {std::pair{"alice", Role::Admin}, {"mia", Role::Moderator}, {"vic", Role::Viewer}})
            ASSERT_TRUE(m_accounts->AddAccount(name, role, std::string(name) + " password", 0, error)) << error;
        WebPanelSettings settings;
        settings.Port = 0;
        settings.Hosts = {"127.0.0.1", "localhost"};
        settings.ModeratorBanMinutes = 120;
        m_panel = std::make_unique<WebPanel>(backend, *m_accounts, settings, [this] { return now; });
        ASSERT_TRUE(m_panel->Start(error)) << error;
        port = m_panel->Port();
        origin = "http://127.0.0.1:" + QByteArray::number(port);
    }

    // A request as the panel's own page sends it.
    QByteArray Request(const QByteArray& method, const QByteArray& path, const Login* login = nullptr,
                       const QByteArray& body = {}, std::vector<std::pair<QByteArray, QByteArray>> extra = {}) {
        QByteArray r = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
        bool hasOrigin = false;
        for (const auto& [k, v] : extra) hasOrigin = hasOrigin || k == "Origin" || k == "Referer";
        if (method != "GET" && !hasOrigin) r += "Origin: " + origin + "\r\n";
        if (login) {
            r += "Cookie: tovi_session=" + QByteArray::fromStdString(login->Cookie) + "\r\n";
            if (method != "GET") r += "X-CSRF-Token: " + QByteArray::fromStdString(login->Csrf) + "\r\n";
        }
        for (const auto& [k, v] : extra) r += k + ": " + v + "\r\n";
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        return r;
    }
    Reply Call(const QByteArray& method, const QByteArray& path, const Login* login = nullptr,
               const QByteArray& body = {}, std::vector<std::pair<QByteArray, QByteArray>> extra = {}) {
        return Exchange(port, Request(method, path, login, body, std::move(extra)));
    }
    Reply TryLogin(const std::string& name, const std::string& password) {
        const QJsonObject body{{"name", QString::fromStdString(name)}, {"password", QString::fromStdString(password)}};
        return Call("POST", "/api/v1/login", nullptr, QJsonDocument(body).toJson());
    }
    std::optional<Login> LogIn(const std::string& name) {
        const Reply r = TryLogin(name, name + " password");
        if (r.Status != 200) return std::nullopt;
        const std::string cookie = r.Header("set-cookie");
        const size_t start = cookie.find('=') + 1;
        return Login{cookie.substr(start, cookie.find(';') - start), r.Json().value("csrf").toString().toStdString()};
    }

    QTemporaryDir m_dir;
    std::unique_ptr<SqliteAccountStore> m_accounts;
    FakePanelBackend backend;
    int64_t now = 1'700'000'000'000;
    std::unique_ptr<WebPanel> m_panel;
    quint16 port = 0;
    QByteArray origin;
};

}  // namespace

// Every endpoint of the table against no login and each role: unauthenticated calls are refused,
// each role reaches exactly the endpoints at or below it, and a refused action never reaches
// the program. Tokens for scripts carry their account's role, without cookie or CSRF token.
TEST_F(PanelTest, EveryEndpointAnswersEachRoleExactlyItsOwn) {
    const std::map<std::string, QByteArray> bodies = {
        {"/api/v1/players/talk", R"({"slot":3,"name":"Bob","text":"hi"})"},
        {"/api/v1/players/warn", R"({"slot":3,"name":"Bob","text":"no tk"})"},
        {"/api/v1/players/punt", R"({"slot":3,"name":"Bob","reason":"tk"})"},
        {"/api/v1/chat", R"({"text":"hello"})"},
        {"/api/v1/bans", R"({"name":"Bob","reason":"tk","minutes":60})"},
        {"/api/v1/bans/lift", R"({"id":1,"reason":"appeal"})"},
        {"/api/v1/console", R"({"command":"status"})"},
        {"/api/v1/match/time", R"({"change":"more"})"},
        {"/api/v1/automessages", R"({"enabled":true,"intervalMinutes":5,"lines":["a","b"]})"},
    };
    std::map<Role, Login> logins;
    for (auto [name, role] : {std::pair{"alice", Role::Admin}, {"mia", Role::Moderator}, {"vic", Role::Viewer}}) {
        auto login = LogIn(name);
        ASSERT_TRUE(login) << name;
        logins[role] = *login;
    }
    int checked = 0;
    for (const WebPanel::Endpoint& e : m_panel->Endpoints()) {
        const std::string path = e.Path;
        if (e.Public || path == "/api/v1/logout") continue;  // the login and logout have their own test
        const auto body = bodies.count(path) ? bodies.at(path) : QByteArray(std::string(e.Method) == "GET" ? "" : "{}");
        EXPECT_EQ(Call(e.Method, e.Path, nullptr, body).Status, 401) << path;
        for (auto& [role, login] : logins) {
            const size_t before = backend.actions.size();
            const Reply r = Call(e.Method, e.Path, &login, body);
            if (role >= e.MinRole) {
                EXPECT_EQ(r.Status, 200) << e.Method << " " << path << " as " << RoleText(role) << ": " << r.Body.toStdString();
                if (std::string(e.Method) != "GET") {
                    EXPECT_EQ(backend.actions.size(), before + 1) << path;
                }
            } else {
                EXPECT_EQ(r.Status, 403) << e.Method << " " << path << " as " << RoleText(role);
                EXPECT_EQ(backend.actions.size(), before) << path;
            }
            ++checked;
        }
    }
    EXPECT_GE(checked, 3 * 18);
    // The program learns who acted.
    EXPECT_EQ(backend.actions.front(), "Talk mia 3 Bob hi");
    // Pages are private too, but the login page and its assets.
    EXPECT_EQ(Call("GET", "/").Status, 303);
    EXPECT_EQ(Call("GET", "/app.js").Status, 303);
    EXPECT_EQ(Call("GET", "/login.html").Status, 200);
    EXPECT_EQ(Call("GET", "/app.js", &logins[Role::Viewer]).Status, 200);

    // A moderator bans for a while, never for good nor beyond the limit; an admin may.
    Login& mia = logins[Role::Moderator];
    EXPECT_EQ(Call("POST", "/api/v1/bans", &mia, R"({"name":"Bob","reason":"tk","minutes":0})").Status, 403);
    EXPECT_EQ(Call("POST", "/api/v1/bans", &mia, R"({"name":"Bob","reason":"tk","minutes":121})").Status, 403);
    EXPECT_EQ(Call("POST", "/api/v1/bans", &logins[Role::Admin], R"({"name":"Bob","reason":"tk","minutes":0})").Status, 200);
    EXPECT_EQ(backend.actions.back(), "Ban alice Bob tk 0");
    // Nothing with a control character reaches the program.
    EXPECT_EQ(Call("POST", "/api/v1/chat", &mia, R"({"text":"a\r\nexit"})").Status, 400);

    std::string error;
    const std::string adminToken = m_accounts->NewToken("alice", 0, error);
    const std::string viewerToken = m_accounts->NewToken("vic", 0, error);
    auto bearer = [](const std::string& token) {
        return std::vector<std::pair<QByteArray, QByteArray>>{{"Authorization", "Bearer " + QByteArray::fromStdString(token)}};
    };
    EXPECT_EQ(Call("POST", "/api/v1/chat", nullptr, R"({"text":"from a script"})", bearer(adminToken)).Status, 200);
    EXPECT_EQ(backend.actions.back(), "Chat alice from a script");
    EXPECT_EQ(Call("POST", "/api/v1/chat", nullptr, R"({"text":"x"})", bearer(viewerToken)).Status, 403);
    EXPECT_EQ(Call("GET", "/api/v1/players", nullptr, {}, bearer(viewerToken)).Status, 200);
    EXPECT_EQ(Call("GET", "/api/v1/players", nullptr, {}, bearer(viewerToken + "x")).Status, 401);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
