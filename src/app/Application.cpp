#include "Application.h"

#include "QtSupport.h"

namespace tovi {

Application::Application(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
                         QString dataDir, QString lockPath)
    : m_dialogs(dialogs), m_host(backend, dialogs, scheduler, http, std::move(dataDir), std::move(lockPath)) {}

Application::~Application() {
    // The window shows the service: it goes first.
    m_window.reset();
}

void Application::Start(std::function<void(bool started)> started) {
    m_host.Start(
        [this](Service& service) {
            m_window = std::make_unique<frmMain>(service, m_dialogs);
            if (auto* qtDialogs = dynamic_cast<QtDialogs*>(&m_dialogs)) qtDialogs->SetParent(m_window.get());
            service.OpenRecord();
            m_window->Form_Load();
            m_window->show();
        },
        std::move(started));
}

}  // namespace tovi
