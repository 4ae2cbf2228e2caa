#include "HistoryRetention.h"

#include <utility>

namespace tovi {

HistoryRetention::HistoryRetention(HistoryRecorder& history, Scheduler& scheduler, std::function<int()> days,
                                   std::function<bool()> kept, std::function<int64_t()> now)
    : m_history(history),
      m_scheduler(scheduler),
      m_days(std::move(days)),
      m_kept(std::move(kept)),
      m_now(std::move(now)) {}

HistoryRetention::~HistoryRetention() {
    Stop();
}

void HistoryRetention::Schedule(int delayMs) {
    Stop();
    m_timer = m_scheduler.Schedule(delayMs, [this] {
        m_timer.reset();
        Forget();
    });
}

void HistoryRetention::Stop() {
    if (m_timer) m_scheduler.Cancel(*m_timer);
    m_timer.reset();
}

void HistoryRetention::Forget() {
    const int days = m_days();
    if (days <= 0 || !m_kept()) return Schedule(kCheckMs);
    const int64_t before = m_now() - int64_t{days} * 24 * 60 * 60;
    const int gone = m_history.Store().ForgetBefore(before, kBatchRows);
    Schedule(gone > 0 ? kPauseMs : kCheckMs);
}

}  // namespace tovi
