#pragma once
// The program as a whole: the single-instance question, then the main window and its start-up.
#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

#include "DataFolderLock.h"
#include "Dialogs.h"
#include "HttpClient.h"
#include "MemoryClass.h"
#include "Scheduler.h"
#include "frmMain.h"

namespace tovi {

class Application {
public:
    // `lockPath` names the per-user lock that tells a running copy from none.
    Application(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http, QString dataDir,
                QString lockPath);

    // Asks first when another copy runs, and refuses a data folder that another copy uses;
    // `started` learns whether the window came up.
    void Start(std::function<void(bool started)> started = {});
    frmMain* Window() { return m_window.get(); }

    // The lock of the running user's copies, in the user's own runtime folder.
    static QString DefaultLockPath();

private:
    // Takes the data folder and opens the window; false when the folder is another copy's.
    bool Open();
    // The record in the data folder; without it the program runs as before and says why.
    void OpenHistory();

    MemoryClass m_memory;
    Dialogs& m_dialogs;
    Scheduler& m_scheduler;
    HttpClient& m_http;
    QString m_dataDir;
    QLockFile m_lock;
    DataFolderLock m_folderLock;
    std::unique_ptr<frmMain> m_window;
};

}  // namespace tovi
