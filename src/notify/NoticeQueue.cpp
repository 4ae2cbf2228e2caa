#include "NoticeQueue.h"

namespace tovi {

bool MemoryNoticeQueue::Add(const Notice& notice, const std::vector<std::string>& sinks, std::string&) {
    for (const std::string& sink : sinks) {
        const int64_t seq = m_nextSeq++;
        m_entries[seq] = QueuedNotice{seq, sink, notice};
    }
    return true;
}

std::optional<QueuedNotice> MemoryNoticeQueue::Next(const std::string& sink) {
    for (const auto& [seq, entry] : m_entries)
        if (entry.sink == sink) return entry;
    return std::nullopt;
}

std::vector<QueuedNotice> MemoryNoticeQueue::RemoveOlderThan(int64_t createdBeforeMs) {
    std::vector<QueuedNotice> removed;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.notice.createdMs < createdBeforeMs) {
            removed.push_back(std::move(it->second));
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    return removed;
}

}  // namespace tovi
