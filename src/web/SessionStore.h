#pragma once
// The panel's logins in memory: a session per login, ended by logout, by idleness or by age,
// on a clock the caller gives (tests move it themselves).
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "AccountStore.h"

namespace tovi {

// Milliseconds on a clock that only moves forward.
using PanelClock = std::function<int64_t()>;

struct Session {
    std::string Id;    // the cookie's value
    std::string Csrf;  // sent back in a header by every state-changing request
    std::string Account;
    Role AccountRole = Role::Viewer;
    // The account as it was at the login: a session holds only while the account still is this one.
    int64_t AccountId = 0, CredentialVersion = 0;
    int64_t Created = 0, LastSeen = 0;  // ms
};

class SessionStore {
public:
    SessionStore(PanelClock clock, int64_t idleSeconds, int64_t absoluteSeconds);

    const Session& Create(const Account& account);
    // The live session with this id, its idle time restarted; nothing when it ended or expired.
    const Session* Find(const std::string& id);
    // Whether the session is still live, without restarting its idle time.
    bool Live(const std::string& id);
    void End(const std::string& id);
    // Ends every session `ends` picks; answers how many.
    size_t EndIf(const std::function<bool(const Session&)>& ends);
    size_t Count() const { return m_sessions.size(); }

    // Whether the session still belongs to `account` as the store has it now.
    static bool SameIdentity(const Session& s, const std::optional<Account>& account);

private:
    bool Expired(const Session& s, int64_t now) const;
    void Sweep(int64_t now);

    PanelClock m_clock;
    int64_t m_idleMs, m_absoluteMs;
    std::map<std::string, Session> m_sessions;
};

std::string RandomToken(size_t bytes);

}  // namespace tovi
