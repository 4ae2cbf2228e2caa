#pragma once
// The notices still to deliver, one entry per notice and sink, oldest first. Durable in the
// record's database (SqliteNoticeQueue); in memory where the program keeps no record.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Notice.h"

namespace tovi {

struct QueuedNotice {
    int64_t seq = 0;  // the entry's place in the queue
    std::string sink;
    Notice notice;
};

class NoticeQueue {
public:
    virtual ~NoticeQueue() = default;
    // One entry for each sink, in one step: either all are kept or none.
    virtual bool Add(const Notice& notice, const std::vector<std::string>& sinks, std::string& error) = 0;
    // The sink's oldest entry.
    virtual std::optional<QueuedNotice> Next(const std::string& sink) = 0;
    virtual bool Remove(int64_t seq) = 0;
    // Removes the entries of notices made before `createdBeforeMs` and answers them.
    virtual std::vector<QueuedNotice> RemoveOlderThan(int64_t createdBeforeMs) = 0;
    virtual size_t Size() = 0;
};

class MemoryNoticeQueue final : public NoticeQueue {
public:
    bool Add(const Notice& notice, const std::vector<std::string>& sinks, std::string& error) override;
    std::optional<QueuedNotice> Next(const std::string& sink) override;
    bool Remove(int64_t seq) override { return m_entries.erase(seq) > 0; }
    std::vector<QueuedNotice> RemoveOlderThan(int64_t createdBeforeMs) override;
    size_t Size() override { return m_entries.size(); }

private:
    std::map<int64_t, QueuedNotice> m_entries;
    int64_t m_nextSeq = 1;
};

}  // namespace tovi
