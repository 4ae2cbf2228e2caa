#include "SharedAccountWatcher.h"

#include <QSocketNotifier>

#include "SharedAccountStore.h"

namespace tovi {

SharedAccountWatcher::SharedAccountWatcher(SharedAccountStore& store, Scheduler& scheduler,
                                           std::function<void(const std::string&)> log,
                                           std::function<void()> settled, QObject* parent)
    : QObject(parent),
      m_store(store),
      m_scheduler(scheduler),
      m_log(std::move(log)),
      m_settled(std::move(settled)) {}

SharedAccountWatcher::~SharedAccountWatcher() {
    // The scheduler outlives the watcher.
    if (m_timer) m_scheduler.Cancel(*m_timer);
}

void SharedAccountWatcher::Start() {
    m_store.Refresh();
    Step();
    Tick();
}

void SharedAccountWatcher::Tick() {
    m_timer = m_scheduler.Schedule(kRereadMs, [this] {
        m_timer.reset();
        // A reading under way is only carried on (and given up past its deadline).
        if (!m_store.Reading()) m_store.Refresh();
        Step();
        Tick();
    });
}

void SharedAccountWatcher::Step() {
    const SharedAccountStore::Progress progress = m_store.Advance();
    if (progress == SharedAccountStore::Progress::Read) {
        if (m_failing) m_log("The panel's accounts are read from the shared database again");
        m_failing = false;
        m_settled();
    } else if (progress == SharedAccountStore::Progress::Failed) {
        if (!m_failing)
            m_log("The panel's accounts cannot be read from the shared database (" + m_store.Error() +
                  "): the accounts last read from it can log in, and none can be changed");
        m_failing = true;
        // Its connection may be gone, and the next one given the same socket number.
        DropNotifier();
        m_settled();
    }
    Watch();
}

void SharedAccountWatcher::Watch() {
    const int socket = m_store.Socket();
    const bool write = m_store.WantsWrite();
    if (m_notifier && socket == m_watchedSocket && write == m_watchedWrite) return;
    DropNotifier();
    if (socket < 0) return;
    m_watchedSocket = socket;
    m_watchedWrite = write;
    m_notifier = std::make_unique<QSocketNotifier>(
        socket, write ? QSocketNotifier::Write : QSocketNotifier::Read, this);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { Step(); });
}

// The notifier may be the one whose signal is being handled: it goes once that is over (or with
// the watcher, its parent).
void SharedAccountWatcher::DropNotifier() {
    m_watchedSocket = -1;
    if (!m_notifier) return;
    m_notifier->setEnabled(false);
    m_notifier.release()->deleteLater();
}

}  // namespace tovi
