#pragma once
// /api/v1/login, /logout and /session: logins with the brake on guessing, and the session's
// cookie and CSRF token. Logins, refused logins and logouts go into the audit log with the
// browser's address (never the password tried; an unknown name is not written down, since it may
// be a password typed into the wrong box).
#include "ApiCall.h"
#include "LoginThrottle.h"
#include "PanelBackend.h"
#include "SessionStore.h"

namespace tovi {

class AuthController {
public:
    AuthController(PanelBackend& backend, AccountStore& accounts, SessionStore& sessions,
                   LoginThrottle& throttle, PanelClock clock, bool secureCookie)
        : m_backend(backend),
          m_accounts(accounts),
          m_sessions(sessions),
          m_throttle(throttle),
          m_clock(std::move(clock)),
          m_secureCookie(secureCookie) {}

    ApiReply Login(const ApiCall& call);
    ApiReply Logout(const ApiCall& call);
    ApiReply Current(const ApiCall& call);

    static constexpr const char* kCookie = "tovi_session";

private:
    QByteArray Cookie(const std::string& value, bool expire) const;

    PanelBackend& m_backend;
    AccountStore& m_accounts;
    SessionStore& m_sessions;
    LoginThrottle& m_throttle;
    PanelClock m_clock;
    bool m_secureCookie;
};

}  // namespace tovi
