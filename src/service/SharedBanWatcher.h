#pragma once
// Keeps the ban list as the shared database holds it. A change made on any server is announced by
// the database; the announcement wakes the event loop through the connection's socket, and the
// list is read again. Should an announcement be missed (the connection broke, or it came in while
// another statement ran), the list is read again every kRereadMs anyway, connecting again when
// needed. Nothing here waits for the database: a connection being made, and a read sent, are
// carried on whenever the socket is ready, and a read unanswered at its deadline leaves the list
// as the cache holds it, so a database that hangs never holds up the game's reads.
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
    // Carries the re-read on as far as it goes now, then watches for what comes next.
    void Step();
    void Follow();
    void DropNotifier();
    void Apply(std::vector<BanEntry> bans, std::vector<PlayerWarning> warnings);

    PgBanStore& m_store;
    BanList& m_list;
    Scheduler& m_scheduler;
    std::function<void(const std::string&)> m_log;
    std::function<void()> m_changed;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::optional<Scheduler::TimerId> m_rereadTimer;
    std::optional<Scheduler::TimerId> m_deadlineTimer;
    int m_again = 0;  // re-reads in a row for announcements that came during one
    bool m_failing = false;
};

}  // namespace tovi
