#include "LoginThrottle.h"

#include <algorithm>

namespace tovi {

namespace {

// Names tried at random must not grow the maps for ever.
constexpr size_t kMaxKeys = 10000;

void Fade(std::deque<int64_t>& failures, int64_t now) {
    while (!failures.empty() && failures.front() <= now - LoginThrottle::kWindowMs) failures.pop_front();
}

}  // namespace

int64_t LoginThrottle::Wait(Failures& failures, int freeFailures, int64_t now) {
    Fade(failures, now);
    const auto count = static_cast<int>(failures.size());
    if (count < freeFailures) return 0;
    const int64_t lock = std::min<int64_t>(60'000LL << std::min(count - freeFailures, 8), kWindowMs);
    return std::max<int64_t>(0, failures.back() + lock - now);
}

void LoginThrottle::Note(Failures& failures, int freeFailures, int64_t now) {
    Fade(failures, now);
    failures.push_back(now);
    // Past these the lock is the whole window anyway.
    while (failures.size() > static_cast<size_t>(freeFailures) + 8) failures.pop_front();
}

int64_t LoginThrottle::WaitMs(const std::string& accountKey, const std::string& address) {
    const int64_t now = m_clock();
    int64_t wait = 0;
    if (auto it = m_accounts.find({accountKey, address}); it != m_accounts.end())
        wait = Wait(it->second, kFreeFailures, now);
    if (auto it = m_addresses.find(address); it != m_addresses.end())
        wait = std::max(wait, Wait(it->second, kFreeFailuresPerAddress, now));
    return wait;
}

void LoginThrottle::Failed(const std::string& accountKey, const std::string& address) {
    const int64_t now = m_clock();
    Note(m_accounts[{accountKey, address}], kFreeFailures, now);
    Note(m_addresses[address], kFreeFailuresPerAddress, now);
    // The newest failure tells: the map is only pruned, each count fades as it is read.
    const auto faded = [&](const auto& entry) {
        return entry.second.empty() || entry.second.back() <= now - kWindowMs;
    };
    if (m_accounts.size() > kMaxKeys) std::erase_if(m_accounts, faded);
    if (m_addresses.size() > kMaxKeys) std::erase_if(m_addresses, faded);
}

void LoginThrottle::Succeeded(const std::string& accountKey, const std::string& address) {
    m_accounts.erase({accountKey, address});
}

}  // namespace tovi
