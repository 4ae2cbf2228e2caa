#include "SharedBanWatcher.h"

#include <QSocketNotifier>
#include <utility>

#include "PgBanStore.h"

namespace tovi {

SharedBanWatcher::SharedBanWatcher(PgBanStore& store, BanList& list, Scheduler& scheduler,
                                   std::function<void(const std::string&)> log, std::function<void()> changed,
                                   QObject* parent)
    : QObject(parent),
      m_store(store),
      m_list(list),
      m_scheduler(scheduler),
      m_log(std::move(log)),
      m_changed(std::move(changed)) {}

SharedBanWatcher::~SharedBanWatcher() {
    // The scheduler outlives the watcher.
    if (m_rereadTimer) m_scheduler.Cancel(*m_rereadTimer);
    if (m_deadlineTimer) m_scheduler.Cancel(*m_deadlineTimer);
}

void SharedBanWatcher::Start() {
    if (m_store.Offline()) {
        m_log(m_store.OfflineReason() + ": the bans last read from it are enforced");
        m_failing = true;
    }
    Step();
}

void SharedBanWatcher::Step() {
    std::vector<BanEntry> bans;
    std::vector<PlayerWarning> warnings;
    std::string error;
    const PgBanStore::Reread step = m_store.Step(bans, warnings, error);
    switch (step) {
    case PgBanStore::Reread::Waiting:
        break;
    case PgBanStore::Reread::Read:
        if (m_failing) m_log("The shared ban list is read again");
        m_failing = false;
        Apply(std::move(bans), std::move(warnings));
        break;
    case PgBanStore::Reread::FromCache:
        if (!m_failing) m_log(m_store.OfflineReason() + ": the bans last read from it are enforced");
        m_failing = true;
        Apply(std::move(bans), std::move(warnings));
        break;
    case PgBanStore::Reread::Failed:
        // A list that cannot be read stays as last read: those bans are still enforced.
        if (!m_failing) m_log("The shared ban list cannot be read (" + error + "): the bans last read are enforced");
        m_failing = true;
        break;
    }
    if (step != PgBanStore::Reread::Waiting) {
        // Announcements that came in while it was read may be of changes it did not see.
        if (step == PgBanStore::Reread::Read && m_again < 3 && m_store.TakeChanged()) {
            ++m_again;
            Step();
            return;
        }
        m_again = 0;
    }
    Follow();
}

void SharedBanWatcher::Follow() {
    DropNotifier();
    const int socket = m_store.Socket();
    if (socket >= 0) {
        const bool write = m_store.Connecting() && m_store.WantsWrite();
        m_notifier = std::make_unique<QSocketNotifier>(socket, write ? QSocketNotifier::Write : QSocketNotifier::Read,
                                                       this);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
            // A read or a connection under way goes on; otherwise the socket brought an
            // announcement, or the connection's end (the next re-read connects again).
            if (m_store.Reading() || m_store.Connecting() || m_store.TakeChanged() || m_store.Socket() < 0) Step();
        });
    }
    // What is under way is looked at once more at its deadline, should the socket stay silent.
    if (!m_deadlineTimer && (m_store.Reading() || m_store.Connecting())) {
        m_deadlineTimer = m_scheduler.Schedule(m_store.DeadlineMs() + 10, [this] {
            m_deadlineTimer.reset();
            Step();
        });
    }
    if (!m_rereadTimer) {
        m_rereadTimer = m_scheduler.Schedule(kRereadMs, [this] {
            m_rereadTimer.reset();
            // A read still under way is the re-read.
            if (!m_store.Reading()) Step();
            else Follow();
        });
    }
}

// The notifier may be the one whose signal is being handled: it goes once that is over (or with
// the watcher, its parent).
void SharedBanWatcher::DropNotifier() {
    if (!m_notifier) return;
    m_notifier->setEnabled(false);
    m_notifier.release()->deleteLater();
}

void SharedBanWatcher::Apply(std::vector<BanEntry> bans, std::vector<PlayerWarning> warnings) {
    const bool changed = bans != m_list.Entries() || warnings.size() != m_list.Warnings().size();
    m_list.Replace(std::move(bans), std::move(warnings));
    if (changed) m_changed();
}

}  // namespace tovi
