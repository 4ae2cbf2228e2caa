#include "AuthController.h"

namespace tovi {

QByteArray AuthController::Cookie(const std::string& value, bool expire) const {
    QByteArray cookie =
        QByteArray(kCookie) + "=" + QByteArray::fromStdString(value) + "; Path=/; HttpOnly; SameSite=Strict";
    if (m_secureCookie) cookie += "; Secure";
    if (expire) cookie += "; Max-Age=0";
    return cookie;
}

ApiReply AuthController::Login(const ApiCall& call) {
    const std::string name = call.Body.value(QStringLiteral("name")).toString().toStdString();
    const std::string password = call.Body.value(QStringLiteral("password")).toString().toStdString();
    const std::string key = AccountNameKey(name);
    if (const int64_t wait = m_throttle.WaitMs(key, call.Address); wait > 0) {
        ApiReply reply = ApiReply::Error(429, QStringLiteral("Too many failed logins: try again later."));
        reply.Headers.push_back({"Retry-After", QByteArray::number((wait + 999) / 1000)});
        return reply;
    }
    // An unknown name is checked against a stand-in hash: both failures look and last alike.
    const auto account = m_accounts.Authenticate(name, password, m_clock() / 1000);
    if (!account) {
        m_throttle.Failed(key, call.Address);
        const std::string who = m_accounts.FindAccount(name) ? name : std::string("(unknown account)");
        m_backend.RecordLogin(who, ActionKind::LoginFailed, call.Address, "wrong name or password");
        // Said once, as the lock begins; the refusals while it holds are not written down each.
        if (m_throttle.WaitMs(key, call.Address) > 0)
            m_backend.RecordLogin(who, ActionKind::LoginLockedOut, call.Address, "too many failed logins");
        return ApiReply::Error(401, QStringLiteral("Wrong name or password."));
    }
    m_throttle.Succeeded(key, call.Address);
    m_backend.RecordLogin(account->Name, ActionKind::Login, call.Address, "");
    const Session& session = m_sessions.Create(*account);
    ApiReply reply =
        ApiReply::Json({{QStringLiteral("name"), QString::fromStdString(account->Name)},
                        {QStringLiteral("role"), QString::fromLatin1(RoleText(account->AccountRole))},
                        {QStringLiteral("csrf"), QString::fromStdString(session.Csrf)}});
    reply.Headers.push_back({"Set-Cookie", Cookie(session.Id, false)});
    return reply;
}

ApiReply AuthController::Logout(const ApiCall& call) {
    if (!call.SessionId.empty()) {
        m_sessions.End(call.SessionId);
        m_backend.RecordLogin(call.Account, ActionKind::Logout, call.Address, "");
    }
    ApiReply reply = ApiReply::Ok();
    reply.Headers.push_back({"Set-Cookie", Cookie("", true)});
    return reply;
}

ApiReply AuthController::Current(const ApiCall& call) {
    QJsonObject out{{QStringLiteral("name"), QString::fromStdString(call.Account)},
                    {QStringLiteral("role"), QString::fromLatin1(RoleText(call.AccountRole))}};
    if (const Session* s = call.SessionId.empty() ? nullptr : m_sessions.Find(call.SessionId))
        out.insert(QStringLiteral("csrf"), QString::fromStdString(s->Csrf));
    return ApiReply::Json(out);
}

}  // namespace tovi
