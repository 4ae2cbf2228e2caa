#pragma once
// The web panel beside the running program: the accounts from the record's file, the panel over
// the service, started as the [web] section of settings.ini says. It ends with the program.
#include <QObject>
#include <memory>

#include "AccountStore.h"
#include "Service.h"
#include "ServicePanelBackend.h"
#include "WebPanel.h"

namespace tovi {

class ServicePanel final : public QObject {
    Q_OBJECT
public:
    // Null when the panel is off, or could not start (the service's log says why; the program
    // runs on without it).
    static std::unique_ptr<QObject> Start(Service& service);
    ~ServicePanel() override;

    quint16 Port() const { return m_panel ? m_panel->Port() : 0; }

private:
    ServicePanel() = default;
    std::unique_ptr<AccountStore> m_accounts;
    std::unique_ptr<ServicePanelBackend> m_backend;
    std::unique_ptr<WebPanel> m_panel;
};

}  // namespace tovi
