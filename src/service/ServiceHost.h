#pragma once
// The program as a whole, whatever its face: the single-instance question, the data folder's
// lock, then the service. The locks are released when the host ends.
#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

#include "DataFolderLock.h"
#include "Dialogs.h"
#include "HttpClient.h"
#include "MemoryClass.h"
#include "Scheduler.h"
#include "Service.h"

namespace tovi {

class ServiceHost {
public:
    // `lockPath` names the per-user lock that tells a running copy from none; empty, no copy is
    // asked about and only the data folder's lock keeps two copies apart.
    ServiceHost(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
                QString dataDir, QString lockPath);
    ~ServiceHost();

    // Asks first when another copy runs, and refuses a data folder that another copy uses; then
    // builds the service and hands it to `open`, which gives it its face and starts it. `started`
    // learns whether it came up.
    void Start(std::function<void(Service&)> open, std::function<void(bool started)> started = {});
    Service* GetService() { return m_service.get(); }
    // What runs beside the service once its face has started it (the web panel), made by `make`
    // and ended before the service. Set before Start.
    using Companion = std::function<std::unique_ptr<QObject>(Service&)>;
    void SetCompanion(Companion make) { m_makeCompanion = std::move(make); }
    const QString& DataDir() const { return m_dataDir; }

    // The lock of the running user's copies, in the user's own runtime folder.
    static QString DefaultLockPath();

private:
    bool Open(const std::function<void(Service&)>& open);

    MemoryClass m_memory;
    Dialogs& m_dialogs;
    Scheduler& m_scheduler;
    HttpClient& m_http;
    QString m_dataDir;
    QLockFile m_lock;
    DataFolderLock m_folderLock;
    std::unique_ptr<Service> m_service;
    Companion m_makeCompanion;
    std::unique_ptr<QObject> m_companion;  // after the service, so that it goes first
};

}  // namespace tovi
