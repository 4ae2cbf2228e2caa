#pragma once
// Keeps the panel's mirror of the shared database's accounts up to date: a reading when it starts,
// another whenever a change is announced, and one every kRereadMs anyway (a change made by an
// older version, or an announcement missed while the connection was away). Nothing is waited for:
// the connection's socket wakes the event loop, and a reading the database leaves unanswered is
// given up at its deadline.
#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Scheduler.h"

class QSocketNotifier;

namespace tovi {

class SharedAccountStore;

class SharedAccountWatcher : public QObject {
    Q_OBJECT
public:
    // Short enough that a change nobody announced ends its sessions within a few seconds.
    static constexpr int kRereadMs = 1500;

    // `log` hears when the database fails and comes back; `settled` runs after each reading that
    // ended, read or failed.
    SharedAccountWatcher(SharedAccountStore& store, Scheduler& scheduler,
                         std::function<void(const std::string&)> log, std::function<void()> settled,
                         QObject* parent = nullptr);
    ~SharedAccountWatcher() override;

    void Start();

private:
    void Step();
    void Watch();
    void DropNotifier();
    void Tick();

    SharedAccountStore& m_store;
    Scheduler& m_scheduler;
    std::function<void(const std::string&)> m_log;
    std::function<void()> m_settled;
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_watchedSocket = -1;
    bool m_watchedWrite = false;
    std::optional<Scheduler::TimerId> m_timer;
    bool m_failing = false;
};

}  // namespace tovi
