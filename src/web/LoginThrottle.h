#pragma once
// The brake on guessing passwords, on the panel's clock.
#include <cstdint>
#include <map>
#include <string>

#include "SessionStore.h"

namespace tovi {

// Failed logins counted per account name and per address: after kFreeFailures for a name (or
// kFreeFailuresPerAddress from an address, which several people may share), each further failure
// locks it out for twice as long as the one before, from a minute up to an hour. A success clears
// the account's count.
class LoginThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr int kFreeFailuresPerAddress = 20;
    explicit LoginThrottle(PanelClock clock) : m_clock(std::move(clock)) {}

    // Milliseconds until a login for this account from this address may be tried; 0: now.
    int64_t WaitMs(const std::string& accountKey, const std::string& address);
    void Failed(const std::string& accountKey, const std::string& address);
    void Succeeded(const std::string& accountKey);

private:
    struct Count {
        int Failures = 0;
        int64_t LockedUntil = 0;
    };
    static void Note(Count& count, int freeFailures, int64_t now);

    PanelClock m_clock;
    std::map<std::string, Count> m_accounts, m_addresses;
};

}  // namespace tovi
