#include "ServiceHost.h"

#include <QDir>
#include <QStandardPaths>

#include "GameText.h"
#include "QtFileWork.h"

namespace tovi {

ServiceHost::ServiceHost(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
                         QString dataDir, QString lockPath)
    : m_memory(backend),
      m_dialogs(dialogs),
      m_scheduler(scheduler),
      m_http(http),
      m_dataDir(std::move(dataDir)),
      m_lock(lockPath) {
    // A lock left by a copy that crashed is taken over at once.
    m_lock.setStaleLockTime(0);
}

ServiceHost::~ServiceHost() {
    m_companion.reset();
}

QString ServiceHost::DefaultLockPath() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("tovistats.lock"));
}

void ServiceHost::Start(std::function<void(Service&)> open, std::function<void(bool started)> started) {
    if (m_lock.fileName().isEmpty() || m_lock.tryLock(0) || m_lock.error() != QLockFile::LockFailedError) {
        const bool opened = Open(open);
        if (started) started(opened);
        return;
    }
    m_dialogs.Ask("There is another instance of Tovi running. Are you sure you want to start another one?",
                  [this, open = std::move(open), started = std::move(started)](bool yes) {
                      const bool opened = yes && Open(open);
                      if (started) started(opened);
                  });
}

bool ServiceHost::Open(const std::function<void(Service&)>& open) {
    std::string error;
    bool inUse = false;
    if (!m_folderLock.Acquire(std::filesystem::path(m_dataDir.toStdU16String()), error, inUse)) {
        m_dialogs.Warn(
            inUse ? "Another copy of Tovi stats is using the data folder " + ToGameText(m_dataDir) +
                        ".\r\nTwo copies must not share one folder: close the other copy, or start this "
                        "one with --data-dir and a folder of its own."
                  : "The data folder " + ToGameText(m_dataDir) + " cannot be locked for this copy: " + error);
        return false;
    }
    m_service = std::make_unique<Service>(m_memory, m_dialogs, m_scheduler, m_http, m_dataDir, nullptr,
                                          std::make_unique<QtFileWork>());
    if (open) open(*m_service);
    if (m_makeCompanion) m_companion = m_makeCompanion(*m_service);
    return true;
}

}  // namespace tovi
