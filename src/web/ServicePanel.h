#pragma once
// The web panel beside the running program: the accounts from the record's file, or on a shared
// database from the program's mirror of them, the panel over the service, started as the [web]
// section of settings.ini says. A panel that cannot start (its port taken, its accounts not
// readable) is tried again every few seconds. It ends with the program.
#include <QObject>
#include <memory>
#include <optional>
#include <string>

#include "AccountStore.h"
#include "Service.h"
#include "ServicePanelBackend.h"
#include "WebPanel.h"
#include "WebPanelSettings.h"

namespace tovi {

class ServicePanel final : public QObject {
    Q_OBJECT
public:
    static constexpr int kRetryMs = 5000;

    // Null when the panel is off, or cannot start at all (the service's log says why; the program
    // runs on without it).
    static std::unique_ptr<QObject> Start(Service& service);
    ~ServicePanel() override;

    quint16 Port() const { return m_panel ? m_panel->Port() : 0; }

private:
    ServicePanel(Service& service, WebPanelSettings settings)
        : m_service(service), m_settings(std::move(settings)) {}
    // Opens the accounts and starts listening; when either fails, says why (once for each reason)
    // and tries again later.
    void Open();
    bool OpenAccounts(std::string& error);
    void Retry(const std::string& error);

    Service& m_service;
    WebPanelSettings m_settings;
    std::unique_ptr<AccountStore> m_accounts;
    std::unique_ptr<QObject> m_watcher;  // keeps a shared database's accounts mirrored
    bool m_settled = true;               // the accounts were read once (or found unreachable)
    std::unique_ptr<ServicePanelBackend> m_backend;
    std::unique_ptr<WebPanel> m_panel;
    std::optional<Scheduler::TimerId> m_retry;
    std::string m_lastError;
};

}  // namespace tovi
