#pragma once
// Keeps the ban list as the shared database holds it. A change made on any server is announced by
// the database; the announcement wakes the event loop through the connection's socket, and the
// list is read again. Should an announcement be missed (the connection broke, or it came in while
// another statement ran), the list is read again every kRereadMs anyway, connecting again when
// needed. A connection is never waited for: one being made is carried on whenever its socket is
// ready, and once it stands the list is read and its announcements listened to.
#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BanList.h"
#include "Scheduler.h"

class QSocketNotifier;

namespace tovi {

class PgBanStore;

class SharedBanWatcher : public QObject {
    Q_OBJECT
public:
    // A shared ban list is read again at least this often, whether or not a change was announced.
    static constexpr int kRereadMs = 5000;

    // `store` is the list's; `log` hears when the database fails and comes back; `changed` runs
    // when a reading changed the list.
    SharedBanWatcher(PgBanStore& store, BanList& list, Scheduler& scheduler,
                     std::function<void(const std::string&)> log, std::function<void()> changed,
                     QObject* parent = nullptr);
    ~SharedBanWatcher() override;

    // Starts watching, saying once when the database cannot be reached.
    void Start();

private:
    void Watch();
    void WatchConnecting();
    void DropNotifier();
    void Reload();

    PgBanStore& m_store;
    BanList& m_list;
    Scheduler& m_scheduler;
    std::function<void(const std::string&)> m_log;
    std::function<void()> m_changed;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::optional<Scheduler::TimerId> m_rereadTimer;
    bool m_failing = false;
};

}  // namespace tovi
