#include "Application.h"

#if defined(TOVI_HISTORY_SQLITE)
#include "NoticeCenter.h"
#include "SqliteBanStore.h"
#include "SqliteHistoryStore.h"
#include "SqliteNoticeQueue.h"
#endif

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
        const bool opened = Open();
        if (started) started(opened);
        return;
    }
    m_dialogs.Ask("There is another instance of Tovi running. Are you sure you want to start another one?",
                  [this, started = std::move(started)](bool yes) {
                      const bool opened = yes && Open();
                      if (started) started(opened);
                  });
}

bool Application::Open() {
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
    m_window = std::make_unique<frmMain>(m_memory, m_dialogs, m_scheduler, m_http, m_dataDir);
    if (auto* qtDialogs = dynamic_cast<QtDialogs*>(&m_dialogs)) qtDialogs->SetParent(m_window.get());
    OpenHistory();
    m_window->Form_Load();
    m_window->show();
    return true;
}

}  // namespace tovi

namespace tovi {

void Application::OpenHistory() {
#if defined(TOVI_HISTORY_SQLITE)
    // SQLite takes file names in UTF-8 on every platform.
    const std::string file = QDir(m_dataDir).filePath(QStringLiteral("tovistats.db")).toStdString();
    frmMain* window = m_window.get();
    auto opened = SqliteHistoryStore::Open(file, [window](const std::string& line) { window->Log(line); });
    if (!opened.Store) {
        m_dialogs.Warn(opened.Error);
        return;
    }
    window->UseHistory(std::move(opened.Store));
    // The ban list lives in the same file; without it the list is kept in memory only.
    auto bans = SqliteBanStore::Open(file);
    if (!bans.Store) {
        m_dialogs.Warn(bans.Error + ": bans are kept only until the program ends.");
        return;
    }
    window->UseBanStore(std::move(bans.Store));
    // Notices wait in the same file, so that none is lost when the program stops or is killed.
    auto notices = SqliteNoticeQueue::Open(file);
    if (!notices.Queue) {
        window->Log(notices.Error + ": notices wait in memory only.");
        return;
    }
    window->Notices().UseQueue(std::move(notices.Queue));
#endif
}

}  // namespace tovi
