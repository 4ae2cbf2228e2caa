#pragma once
// The web panel's view of the running program: the service's state read for the panel, and the
// panel's actions handed to the service under the account's name. Nothing an action asks ever
// reaches the desktop: the panel's request is the confirmation, and what the window would have
// warned of comes back to the browser as the action's answer.
#include <QObject>
#include <map>
#include <vector>

#include "PanelBackend.h"
#include "Service.h"

namespace tovi {

class ServicePanelBackend final : public QObject, public PanelBackend {
    Q_OBJECT
public:
    // The chat lines kept for a browser that opens the panel.
    static constexpr size_t kChatLinesKept = 200;

    explicit ServicePanelBackend(Service& service, QObject* parent = nullptr);

    PanelStatus Status() override;
    std::vector<PanelPlayer> Players() override;
    std::vector<PanelChatLine> RecentChat(int maxLines) override;
    std::vector<BanEntry> Bans() override;
    std::vector<HistoryRow> SearchHistory(const HistoryQuery& query) override;
    std::vector<PanelServer> Servers() override;
    PanelAutoMessages AutoMessages() override;
    PanelSettings Settings() override;
    PlayerActivity Activity(int64_t from, const std::string& server) override;

    PanelResult Chat(const std::string& who, const std::string& text) override;
    PanelResult Command(const std::string& who, const std::string& line) override;
    PanelResult Talk(const std::string& who, int slot, const std::string& name, const std::string& text) override;
    PanelResult Warn(const std::string& who, int slot, const std::string& name, const std::string& text) override;
    PanelResult Punt(const std::string& who, int slot, const std::string& name, const std::string& reason) override;
    PanelResult Ban(const std::string& who, const std::string& name, const std::string& reason,
                    int64_t seconds) override;
    PanelResult LiftBan(const std::string& who, int64_t banId, const std::string& reason) override;
    PanelResult EditBan(const std::string& who, int64_t banId, const std::string& reason,
                        int64_t seconds) override;
    PanelResult ImportBans(const std::string& who, const std::string& csv) override;
    PanelResult ExportBans(const std::string& who, std::string& csv) override;
    PanelResult MatchTime(const std::string& who, bool more, bool confirmed) override;
    PanelResult ResetGames(const std::string& who, bool confirmed) override;
    PanelResult SetAutoMessages(const std::string& who, const PanelAutoMessages& messages) override;
    PanelResult SaveSettings(const std::string& who, const PanelSettingsChange& change) override;
    void RecordLogin(const std::string& who, ActionKind action, const std::string& address,
                     const std::string& why) override;

    void SetListener(PanelListener* listener) override { m_listener = listener; }

private:
    // Refused unless a game server is read and takes console commands (none while a map loads).
    std::optional<PanelResult> ServerRefuses() const;
    // The player list's row for the slot, when it still holds this name.
    std::optional<ListedPlayer> StillSeated(int slot, const std::string& name) const;
    // Runs an action with nobody at the desktop to answer, and says what it came to: refused when
    // a question went unanswered (naming it), a warning was raised or the record kept the action
    // as refused.
    PanelResult Run(const std::function<bool()>& action, std::deque<bool> answers = {});

    Service& m_service;
    PanelListener* m_listener = nullptr;
    std::deque<PanelChatLine> m_chat;  // oldest first
    bool m_acting = false;
    std::vector<AdminAction> m_recorded;  // while an action runs
};

}  // namespace tovi
