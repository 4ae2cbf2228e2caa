#pragma once
// The core's timer interface over Qt's precise single-shot timers.
#include <QHash>
#include <QTimer>

#include "Scheduler.h"

namespace tovi {

class QtScheduler : public Scheduler {
public:
    ~QtScheduler() override;
    TimerId Schedule(int delayMs, std::function<void()> callback) override;
    void Cancel(TimerId id) override;

private:
    TimerId m_nextId = 1;
    QHash<TimerId, QTimer*> m_timers;
};

}  // namespace tovi
