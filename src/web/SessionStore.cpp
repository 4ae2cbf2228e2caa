#include "SessionStore.h"

#include <QRandomGenerator>
#include <algorithm>

namespace tovi {

std::string RandomToken(size_t bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes * 2);
    for (size_t i = 0; i < bytes; ++i) {
        const auto b = QRandomGenerator::system()->generate() & 0xFF;
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
    }
    return out;
}

SessionStore::SessionStore(PanelClock clock, int64_t idleSeconds, int64_t absoluteSeconds)
    : m_clock(std::move(clock)), m_idleMs(idleSeconds * 1000), m_absoluteMs(absoluteSeconds * 1000) {}

bool SessionStore::Expired(const Session& s, int64_t now) const {
    return now - s.LastSeen >= m_idleMs || now - s.Created >= m_absoluteMs;
}

void SessionStore::Sweep(int64_t now) {
    std::erase_if(m_sessions, [&](const auto& entry) { return Expired(entry.second, now); });
}

const Session& SessionStore::Create(const Account& account) {
    const int64_t now = m_clock();
    Sweep(now);
    Session s;
    s.Id = RandomToken(32);
    s.Csrf = RandomToken(32);
    s.Account = account.Name;
    s.AccountRole = account.AccountRole;
    s.AccountId = account.Id;
    s.CredentialVersion = account.CredentialVersion;
    s.Created = s.LastSeen = now;
    return m_sessions.emplace(s.Id, s).first->second;
}

const Session* SessionStore::Find(const std::string& id) {
    if (!Live(id)) return nullptr;
    Session& s = m_sessions.at(id);
    s.LastSeen = m_clock();
    return &s;
}

bool SessionStore::Live(const std::string& id) {
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end()) return false;
    if (Expired(it->second, m_clock())) {
        m_sessions.erase(it);
        return false;
    }
    return true;
}

void SessionStore::End(const std::string& id) {
    m_sessions.erase(id);
}

size_t SessionStore::EndIf(const std::function<bool(const Session&)>& ends) {
    return std::erase_if(m_sessions, [&](const auto& entry) { return ends(entry.second); });
}

bool SessionStore::SameIdentity(const Session& s, const std::optional<Account>& account) {
    return account && account->Id == s.AccountId && account->CredentialVersion == s.CredentialVersion &&
           account->AccountRole == s.AccountRole;
}

}  // namespace tovi
