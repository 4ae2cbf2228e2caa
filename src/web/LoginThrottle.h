#pragma once
// The brake on guessing passwords, on the panel's clock.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

#include "SessionStore.h"

namespace tovi {

// Failed logins counted per account name and client address, and per address. A name is locked
// for the address that guessed it after kFreeFailures, an address guessing across names after
// kFreeFailuresPerAddress; each failure past those locks for twice as long as the one before,
// from a minute up to the window. Only the failures of the last kWindowMs count, so every count
// fades. A stranger's failures lock the stranger's address, never the admin at hers; a success
// clears the account's count for its address.
class LoginThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr int kFreeFailuresPerAddress = 20;
    static constexpr int64_t kWindowMs = 15 * 60 * 1000;
    explicit LoginThrottle(PanelClock clock) : m_clock(std::move(clock)) {}

    // Milliseconds until a login for this account from this address may be tried; 0: now.
    int64_t WaitMs(const std::string& accountKey, const std::string& address);
    void Failed(const std::string& accountKey, const std::string& address);
    void Succeeded(const std::string& accountKey, const std::string& address);

private:
    using Failures = std::deque<int64_t>;  // times within the window, oldest first
    static int64_t Wait(Failures& failures, int freeFailures, int64_t now);
    static void Note(Failures& failures, int freeFailures, int64_t now);

    PanelClock m_clock;
    std::map<std::pair<std::string, std::string>, Failures> m_accounts;
    std::map<std::string, Failures> m_addresses;
};

}  // namespace tovi
