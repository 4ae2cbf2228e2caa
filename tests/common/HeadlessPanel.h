#pragma once
// A copy of tovistats without a window, started as a process of its own, and its web panel as a
// browser uses it. For tests that define TOVISTATS_PATH and link Qt Network and Qt Test.
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <utility>

namespace tovi::testing {

// Adds a panel account with the program's own command; its password is "<name> password".
inline bool AddPanelUser(const QString& folder, const QString& name, const char* role, int waitMs = 20000) {
    QProcess add;
    add.start(TOVISTATS_PATH, {"--add-user", name, "--role", QString::fromLatin1(role), "--data-dir", folder});
    add.write((name + " password\n").toUtf8());
    add.closeWriteChannel();
    return add.waitForFinished(waitMs) && add.exitCode() == 0;
}

// Runs one of the program's account commands on `folder`: its exit code, what it printed in `out`
// and what it said on standard error in `err`.
inline int AccountCommand(const QString& folder, QStringList args, QByteArray& out, QByteArray& err,
                          int waitMs = 20000) {
    QProcess command;
    command.start(TOVISTATS_PATH, args << "--data-dir" << folder);
    command.closeWriteChannel();
    if (!command.waitForFinished(waitMs)) return -1;
    out = command.readAllStandardOutput();
    err = command.readAllStandardError();
    return command.exitCode();
}

// Starts the program without a window on `folder`, its panel on whatever port its settings give:
// the panel's address as the program's log names it, or empty when the program ended or never
// said (what it logged so far is in `log`).
inline QString StartHeadless(QProcess& program, const QString& folder, QByteArray& log, int waitMs = 30000) {
    program.start(TOVISTATS_PATH, {"--headless", "--data-dir", folder});
    if (!program.waitForStarted()) return {};
    static const QRegularExpression listens(
        QStringLiteral("The web panel listens on (http://127\\.0\\.0\\.1:[1-9][0-9]*)/"));
    QString base;
    const bool said = QTest::qWaitFor(
        [&] {
            log += program.readAllStandardError();
            base = listens.match(QString::fromUtf8(log)).captured(1);
            return !base.isEmpty() || program.state() != QProcess::Running;
        },
        waitMs);
    return said ? base : QString();
}

// One browser on the panel at `base`: its own cookie jar, the page's Origin and, once logged in,
// its CSRF token on every call.
struct PanelClient {
    QNetworkAccessManager http;
    QString base;
    QByteArray csrf;
    QByteArray bearer;  // an API token, sent instead of the cookie when set
    int waitMs = 20000;  // only keeps a broken run from hanging

    // The answer's status (0 when none came) and its JSON body.
    std::pair<int, QJsonObject> Call(const QByteArray& method, const QString& path, const QJsonObject& body = {}) {
        QNetworkRequest request(QUrl(base + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setRawHeader("Origin", base.toUtf8());
        if (!csrf.isEmpty()) request.setRawHeader("X-CSRF-Token", csrf);
        if (!bearer.isEmpty()) request.setRawHeader("Authorization", "Bearer " + bearer);
        QNetworkReply* reply = method == "GET"
                                   ? http.get(request)
                                   : http.sendCustomRequest(request, method, QJsonDocument(body).toJson());
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, waitMs)) return {0, {}};
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return {status, json};
    }
    // Logs in with the password AddPanelUser gave the account.
    bool LogIn(const QString& name) {
        auto [status, json] = Call("POST", "/api/v1/login", {{"name", name}, {"password", name + " password"}});
        csrf = json.value("csrf").toString().toUtf8();
        return status == 200;
    }
};

}  // namespace tovi::testing
