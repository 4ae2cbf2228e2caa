#include "ServicePanel.h"

#include <QDateTime>
#include <QDir>

#include <filesystem>

#include "SqliteAccountStore.h"
#include "StoreChoice.h"
#if defined(TOVI_STORE_POSTGRES)
#include "PgAccountStore.h"
#endif

namespace tovi {

ServicePanel::~ServicePanel() {
    // The panel reads the backend and the accounts until it goes.
    m_panel.reset();
    m_backend.reset();
}

std::unique_ptr<QObject> ServicePanel::Start(Service& service) {
    const WebPanelSettings settings = WebPanelSettings::Read([&service](const std::string& key, const std::string& fallback) {
        return service.SettingsStore().ReadSettingValue("web", key, fallback, 1024);
    });
    if (!settings.Enabled) return nullptr;
    if (!service.HistoryKept()) {
        service.Log("The web panel is not started: its accounts live in tovistats.db, which could not be opened.");
        return nullptr;
    }
    std::unique_ptr<ServicePanel> panel(new ServicePanel());
#if defined(TOVI_STORE_POSTGRES)
    // On a shared database the accounts are the community's, one set for every server.
    if (const StoreChoice choice = ReadStoreChoice(std::filesystem::path(service.DataDir().toStdU16String()));
        choice.Shared()) {
        auto shared = PgAccountStore::Open(choice.Postgres);
        if (!shared.Store) {
            service.Log("The web panel is not started: its accounts cannot be read: " + shared.Error);
            return nullptr;
        }
        panel->m_accounts = std::move(shared.Store);
    }
#endif
    if (!panel->m_accounts) {
        // SQLite takes file names in UTF-8 on every platform.
        const std::string file = QDir(service.DataDir()).filePath(QStringLiteral("tovistats.db")).toStdString();
        auto opened = SqliteAccountStore::Open(file);
        if (!opened.Store) {
            service.Log("The web panel is not started: its accounts cannot be read: " + opened.Error);
            return nullptr;
        }
        panel->m_accounts = std::move(opened.Store);
    }
    service.SetModeratorBanSeconds(settings.ModeratorBanMinutes * 60);
    panel->m_backend = std::make_unique<ServicePanelBackend>(service);
    panel->m_panel = std::make_unique<WebPanel>(*panel->m_backend, *panel->m_accounts, settings,
                                                [] { return QDateTime::currentMSecsSinceEpoch(); });
    const std::string where = settings.Bind + ":" + std::to_string(settings.Port);
    std::string error;
    if (!panel->m_panel->Start(error)) {
        service.Log("The web panel cannot listen on " + where + ": " + error + ". The program runs on without it.");
        return nullptr;
    }
    service.Log(std::string("The web panel listens on ") + (settings.Https() ? "https://" : "http://") +
                settings.Bind + ":" + std::to_string(panel->Port()) + "/");
    if (panel->m_accounts->Accounts().empty())
        service.Log("No account can log in to the web panel yet: add one with tovistats --add-user NAME --role admin.");
    return panel;
}

}  // namespace tovi
