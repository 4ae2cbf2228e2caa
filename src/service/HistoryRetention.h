#pragma once
// Forgets what the record holds beyond the days the operator keeps, a small batch at a time, each
// on a turn of the event loop of its own, so that no turn waits long on the record; then looks
// again after a while.
#include <cstdint>
#include <functional>
#include <optional>

#include "HistoryRecorder.h"
#include "Scheduler.h"

namespace tovi {

class HistoryRetention {
public:
    static constexpr int kBatchRows = 500;
    static constexpr int kPauseMs = 20;
    static constexpr int kCheckMs = 60 * 60 * 1000;

    // `days` answers the days kept now (0: everything); `kept` whether a record is open.
    HistoryRetention(HistoryRecorder& history, Scheduler& scheduler, std::function<int()> days,
                     std::function<bool()> kept, std::function<int64_t()> now);
    ~HistoryRetention();
    HistoryRetention(const HistoryRetention&) = delete;
    HistoryRetention& operator=(const HistoryRetention&) = delete;

    // Looks after `delayMs`, and from then on by itself.
    void Schedule(int delayMs);
    void Stop();

private:
    void Forget();

    HistoryRecorder& m_history;
    Scheduler& m_scheduler;
    std::function<int()> m_days;
    std::function<bool()> m_kept;
    std::function<int64_t()> m_now;
    std::optional<Scheduler::TimerId> m_timer;
};

}  // namespace tovi
