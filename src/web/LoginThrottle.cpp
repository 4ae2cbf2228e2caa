#include "LoginThrottle.h"

#include <algorithm>

namespace tovi {

int64_t LoginThrottle::WaitMs(const std::string& accountKey, const std::string& address) {
    const int64_t now = m_clock();
    int64_t until = 0;
    if (auto it = m_accounts.find(accountKey); it != m_accounts.end()) until = it->second.LockedUntil;
    if (auto it = m_addresses.find(address); it != m_addresses.end())
        until = std::max(until, it->second.LockedUntil);
    return std::max<int64_t>(0, until - now);
}

void LoginThrottle::Note(Count& count, int freeFailures, int64_t now) {
    ++count.Failures;
    if (count.Failures < freeFailures) return;
    const int doublings = std::min(count.Failures - freeFailures, 6);
    count.LockedUntil = now + std::min<int64_t>(60'000LL << doublings, 3'600'000);
}

void LoginThrottle::Failed(const std::string& accountKey, const std::string& address) {
    const int64_t now = m_clock();
    Note(m_accounts[accountKey], kFreeFailures, now);
    Note(m_addresses[address], kFreeFailuresPerAddress, now);
    // Names tried at random must not grow the map for ever: forget counts long past.
    if (m_accounts.size() > 10000) {
        std::erase_if(m_accounts, [&](const auto& e) { return e.second.LockedUntil < now; });
    }
    if (m_addresses.size() > 10000) {
        std::erase_if(m_addresses, [&](const auto& e) { return e.second.LockedUntil < now; });
    }
}

void LoginThrottle::Succeeded(const std::string& accountKey) {
    m_accounts.erase(accountKey);
}

}  // namespace tovi
