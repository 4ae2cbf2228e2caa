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
}

void SharedBanWatcher::Start() {
    if (m_store.Offline()) {
        m_log(m_store.OfflineReason() + ": the bans last read from it are enforced");
        m_failing = true;
    }
    Watch();
}

void SharedBanWatcher::Watch() {
    DropNotifier();
    if (m_store.Listen()) {
        m_notifier = std::make_unique<QSocketNotifier>(m_store.Socket(), QSocketNotifier::Read, this);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
            if (m_store.TakeChanged()) Reload();
            // A broken connection: the notifier goes; the next re-read connects again.
            if (m_store.Socket() < 0) DropNotifier();
        });
    } else if (m_store.Connecting()) {
        WatchConnecting();
    }
    if (m_rereadTimer) m_scheduler.Cancel(*m_rereadTimer);
    m_rereadTimer = m_scheduler.Schedule(kRereadMs, [this] {
        m_rereadTimer.reset();
        // Off the watch while the connection may be made anew.
        DropNotifier();
        Reload();
        Watch();
    });
}

void SharedBanWatcher::WatchConnecting() {
    DropNotifier();
    const int socket = m_store.Socket();
    const bool write = m_store.WantsWrite();
    m_notifier = std::make_unique<QSocketNotifier>(socket, write ? QSocketNotifier::Write : QSocketNotifier::Read,
                                                   this);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this, socket, write] {
        if (m_store.Advance()) {
            Reload();
            Watch();
        } else if (!m_store.Connecting()) {
            DropNotifier();  // refused: the next re-read tries again
        } else if (m_store.Socket() != socket || m_store.WantsWrite() != write) {
            WatchConnecting();
        }
    });
}

// The notifier may be the one whose signal is being handled: it goes once that is over (or with
// the watcher, its parent).
void SharedBanWatcher::DropNotifier() {
    if (!m_notifier) return;
    m_notifier->setEnabled(false);
    m_notifier.release()->deleteLater();
}

void SharedBanWatcher::Reload() {
    std::string error;
    const std::vector<BanEntry> before = m_list.Entries();
    const size_t warningsBefore = m_list.Warnings().size();
    // A list that cannot be read stays as last read: those bans are still enforced.
    bool loaded = m_list.Load(error);
    // Announcements that came in while it was read may be of changes it did not see.
    for (int again = 0; loaded && again < 3 && m_store.TakeChanged(); ++again) loaded = m_list.Load(error);
    if (!loaded) {
        if (!m_failing) m_log("The shared ban list cannot be read (" + error + "): the bans last read are enforced");
        m_failing = true;
        return;
    }
    if (m_store.Offline()) {
        if (!m_failing) m_log(m_store.OfflineReason() + ": the bans last read from it are enforced");
        m_failing = true;
    } else {
        if (m_failing) m_log("The shared ban list is read again");
        m_failing = false;
    }
    if (m_list.Entries() != before || m_list.Warnings().size() != warningsBefore) m_changed();
}

}  // namespace tovi
