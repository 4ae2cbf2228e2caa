#include "Scheduler.h"

#include <algorithm>

namespace tovi {

Scheduler::TimerId VirtualScheduler::Schedule(int delayMs, std::function<void()> callback) {
    const TimerId id = m_nextId++;
    m_due.emplace(Key{m_now + std::max(delayMs, 0), id}, std::move(callback));
    return id;
}

void VirtualScheduler::Cancel(TimerId id) {
    std::erase_if(m_due, [id](const auto& entry) { return entry.first.id == id; });
}

void VirtualScheduler::Advance(int64_t ms) {
    const int64_t end = m_now + std::max<int64_t>(ms, 0);
    while (!m_due.empty() && m_due.begin()->first.at <= end) {
        auto first = m_due.begin();
        m_now = first->first.at;
        auto callback = std::move(first->second);
        m_due.erase(first);
        callback();
    }
    m_now = end;
}

}  // namespace tovi
