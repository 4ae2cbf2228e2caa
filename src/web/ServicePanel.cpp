#include "ServicePanel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <filesystem>

#include "SqliteAccountStore.h"
#include "StoreChoice.h"
#if defined(TOVI_STORE_POSTGRES)
#include "SharedAccountStore.h"
#include "SharedAccountWatcher.h"
#endif

namespace tovi {

ServicePanel::~ServicePanel() {
    if (m_retry) m_service.Clock().Cancel(*m_retry);
    // The panel reads the backend and the accounts until it goes, and the watcher the accounts.
    m_panel.reset();
    m_backend.reset();
    m_watcher.reset();
}

std::unique_ptr<QObject> ServicePanel::Start(Service& service) {
    WebPanelSettings settings =
        WebPanelSettings::Read([&service](const std::string& key, const std::string& fallback) {
            return service.SettingsStore().ReadSettingValue("web", key, fallback, 1024);
        });
    if (!settings.Enabled) return nullptr;
    if (!service.HistoryKept()) {
        service.Log(
            "The web panel is not started: its accounts live in tovistats.db, which could not be opened.");
        return nullptr;
    }
    service.SetModeratorBanSeconds(settings.ModeratorBanMinutes * 60);
    std::unique_ptr<ServicePanel> panel(new ServicePanel(service, std::move(settings)));
    panel->Open();
    return panel;
}

bool ServicePanel::OpenAccounts(std::string& error) {
    // SQLite takes file names in UTF-8 on every platform.
    const std::string file = QDir(m_service.DataDir()).filePath(QStringLiteral("tovistats.db")).toStdString();
#if defined(TOVI_STORE_POSTGRES)
    // On a shared database the accounts are the community's, one set for every server; they are
    // checked against the copy kept here, so that the panel needs the database neither to start
    // nor to answer.
    if (const StoreChoice choice =
            ReadStoreChoice(std::filesystem::path(m_service.DataDir().toStdU16String()));
        choice.Shared()) {
        auto shared = SharedAccountStore::Open(choice.Postgres, file);
        if (!shared.Store) {
            error = shared.Error;
            return false;
        }
        SharedAccountStore& store = *shared.Store;
        m_accounts = std::move(shared.Store);
        m_settled = false;
        auto watcher = std::make_unique<SharedAccountWatcher>(
            store, m_service.Clock(), [this](const std::string& line) { m_service.Log(line); },
            [this] {
                // The panel listens once the accounts were read, or found out of reach: a
                // login at once sees the accounts as they are.
                if (m_settled) return;
                m_settled = true;
                Open();
            });
        // Before the first reading, whose end may open the panel at once.
        NotePanelAccounts(file, {StoreDescription(choice.Postgres), QCoreApplication::applicationPid()});
        watcher->Start();
        m_watcher = std::move(watcher);
        return true;
    }
#endif
    auto opened = SqliteAccountStore::Open(file);
    if (!opened.Store) {
        error = opened.Error;
        return false;
    }
    m_accounts = std::move(opened.Store);
    // The account commands say so when they act on other accounts than these.
    NotePanelAccounts(file, {"", QCoreApplication::applicationPid()});
    return true;
}

void ServicePanel::Retry(const std::string& error) {
    if (error != m_lastError) m_service.Log(error + " The panel is tried again every few seconds.");
    m_lastError = error;
    if (m_retry) return;
    m_retry = m_service.Clock().Schedule(kRetryMs, [this] {
        m_retry.reset();
        Open();
    });
}

void ServicePanel::Open() {
    if (m_panel) return;
    std::string error;
    if (!m_accounts && !OpenAccounts(error)) {
        Retry("The web panel is not started: its accounts cannot be read: " + error + ".");
        return;
    }
    // The watcher opens it once the first reading ended (which may have been at once).
    if (m_panel || !m_settled) return;
    if (!m_backend) m_backend = std::make_unique<ServicePanelBackend>(m_service);
    auto panel = std::make_unique<WebPanel>(*m_backend, *m_accounts, m_settings,
                                            [] { return QDateTime::currentMSecsSinceEpoch(); });
    if (!panel->Start(error)) {
        Retry("The web panel cannot listen on " + m_settings.Bind + ":" + std::to_string(m_settings.Port) +
              ": " + error + " The program runs on without it for now.");
        return;
    }
    m_panel = std::move(panel);
    m_service.Log(std::string("The web panel listens on ") + (m_settings.Https() ? "https://" : "http://") +
                  m_settings.Bind + ":" + std::to_string(Port()) + "/");
    if (m_accounts->Accounts().empty())
        m_service.Log(
            "No account can log in to the web panel yet: add one with tovistats --add-user NAME --role "
            "admin.");
}

}  // namespace tovi
