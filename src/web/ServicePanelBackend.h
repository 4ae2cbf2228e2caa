#pragma once
// The web panel's view of the running program: the service's state read for the panel, and the
// panel's actions handed to the service under the account's name. Nothing an action asks ever
// reaches the desktop: the panel's request is the confirmation, and what the window would have
// warned of comes back to the browser as the action's answer.
#include <QObject>
#include <map>
#include <vector>

#include "OwnChat.h"
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
    HistoryResult SearchHistory(const HistoryQuery& query) override;
    void SearchHistoryLater(const HistoryQuery& query, QObject* asker,
                            std::function<void(HistoryResult)> done) override;
    std::vector<PanelServer> Servers() override;
    PanelAutoMessages AutoMessages() override;
    PanelSettings Settings() override;
    PlayerActivity Activity(int64_t from, const std::string& server) override;
    void ActivityLater(int64_t from, const std::string& server, QObject* asker,
                       std::function<void(PlayerActivity)> done) override;

    PanelResult Chat(const PanelActor& who, const std::string& text) override;
    PanelResult Command(const PanelActor& who, const std::string& line) override;
    PanelResult Talk(const PanelActor& who, int slot, const std::string& name, const std::string& text) override;
    PanelResult Warn(const PanelActor& who, int slot, const std::string& name, const std::string& text) override;
    PanelResult Punt(const PanelActor& who, int slot, const std::string& name, const std::string& reason) override;
    PanelResult Ban(const PanelActor& who, const std::string& name, const std::string& reason,
                    int64_t seconds) override;
    PanelResult LiftBan(const PanelActor& who, int64_t banId, const std::string& reason) override;
    PanelResult EditBan(const PanelActor& who, int64_t banId, const std::string& reason,
                        int64_t seconds) override;
    PanelResult ImportBans(const std::string& who, const std::string& csv) override;
    PanelResult ExportBans(const std::string& who, std::string& csv) override;
    PanelResult MatchTime(const PanelActor& who, bool more, bool confirmed) override;
    PanelResult ResetGames(const PanelActor& who, bool confirmed) override;
    PanelResult SetAutoMessages(const std::string& who, const PanelAutoMessages& messages) override;
    PanelResult SaveSettings(const std::string& who, const PanelSettingsChange& change) override;
    void RecordLogin(const std::string& who, ActionKind action, const std::string& address,
                     const std::string& why) override;

    void SetListener(PanelListener* listener) override { m_listener = listener; }

private:
    // Hands an order to the service in the account's name and says what it came to.
    PanelResult Order(const PanelActor& who, ActionOrder order);
    // The player the browser named by slot and name (not necessarily still there).
    std::optional<ListedPlayer> Seated(int slot, const std::string& name) const;
    // Runs a change that is no order (settings, the ban list's file) with nobody at the desktop to
    // answer: refused when a question went unanswered (naming it) or a warning was raised.
    PanelResult Run(const std::function<bool()>& action, std::deque<bool> answers = {});

    Service& m_service;
    PanelListener* m_listener = nullptr;
    bool m_acting = false;
    std::vector<AdminAction> m_recorded;  // while a change runs
    std::deque<PanelChatLine> m_chat;  // oldest first
    OwnChat m_ownChat;                 // the lines sent, to know them when the game shows them back
    // Each read the panel asks for has a slot of its own: no client's answer overtakes another's.
    int NextRead() { return m_nextRead = (m_nextRead + 1) & 0x3FFFFFFF; }
    int m_nextRead = 0;
};

}  // namespace tovi
