#pragma once
// The program with its window: the service's host, then the main window over the service.
#include <QString>
#include <functional>
#include <memory>

#include "Dialogs.h"
#include "HttpClient.h"
#include "MemoryClass.h"
#include "Scheduler.h"
#include "ServiceHost.h"
#include "frmMain.h"

namespace tovi {

class Application {
public:
    // `lockPath` names the per-user lock that tells a running copy from none.
    Application(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http, QString dataDir,
                QString lockPath);
    ~Application();

    // Asks first when another copy runs, and refuses a data folder that another copy uses;
    // `started` learns whether the window came up.
    void Start(std::function<void(bool started)> started = {});
    frmMain* Window() { return m_window.get(); }
    Service* GetService() { return m_host.GetService(); }
    ServiceHost& Host() { return m_host; }

    // The lock of the running user's copies, in the user's own runtime folder.
    static QString DefaultLockPath() { return ServiceHost::DefaultLockPath(); }

private:
    Dialogs& m_dialogs;
    ServiceHost m_host;
    std::unique_ptr<frmMain> m_window;
    // Ends the program the window's way when the end comes from outside the window.
    std::unique_ptr<QObject> m_outsideEnd;
};

}  // namespace tovi
