#include "QtScheduler.h"

#include <algorithm>

namespace tovi {

QtScheduler::~QtScheduler() {
    for (QTimer* timer : std::as_const(m_timers)) delete timer;
}

Scheduler::TimerId QtScheduler::Schedule(int delayMs, std::function<void()> callback) {
    const TimerId id = m_nextId++;
    auto* timer = new QTimer;
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, timer, callback = std::move(callback)] {
        m_timers.remove(id);
        timer->deleteLater();
        callback();
    });
    m_timers.insert(id, timer);
    timer->start(std::max(delayMs, 0));
    return id;
}

void QtScheduler::Cancel(TimerId id) {
    if (QTimer* timer = m_timers.take(id)) {
        timer->stop();
        timer->deleteLater();
    }
}

}  // namespace tovi
