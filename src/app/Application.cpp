#include "Application.h"

#include <QDir>
#include <QStandardPaths>

#include "QtSupport.h"

namespace tovi {

Application::Application(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
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

QString Application::DefaultLockPath() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("tovistats.lock"));
}

void Application::Start(std::function<void(bool started)> started) {
    if (m_lock.tryLock(0) || m_lock.error() != QLockFile::LockFailedError) {
        Open();
        if (started) started(true);
        return;
    }
    m_dialogs.Ask("There is another instance of Tovi running. Are you sure you want to start another one?",
                  [this, started = std::move(started)](bool yes) {
                      if (yes) Open();
                      if (started) started(yes);
                  });
}

void Application::Open() {
    m_window = std::make_unique<frmMain>(m_memory, m_dialogs, m_scheduler, m_http, m_dataDir);
    if (auto* qtDialogs = dynamic_cast<QtDialogs*>(&m_dialogs)) qtDialogs->SetParent(m_window.get());
    m_window->Form_Load();
    m_window->show();
}

}  // namespace tovi
