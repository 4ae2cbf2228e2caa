#pragma once
// What became of the operator's actions at the window: a line beside the controls of the tab he
// acted on ("sending…", then "sent" or "failed: why" for a few seconds), the players a punt or ban
// is pending for, and the punts, bans and reports that failed this session. All of it is read from
// the outcomes the service records, never kept apart from them.
#include <QIcon>
#include <QObject>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "ActionKind.h"
#include "Scheduler.h"

class QLabel;
class QTreeWidget;
class QWidget;

namespace tovi {

struct AdminAction;
class Service;

class ActionFeedback : public QObject {
    Q_OBJECT
public:
    enum class Place { Chat, Players, Map };
    // Told whether the action was sent, and why not.
    using Done = std::function<void(bool sent, const std::string& why)>;

    ActionFeedback(Service& service, QTreeWidget* players, QWidget* parent);
    ~ActionFeedback() override;
    ActionFeedback(const ActionFeedback&) = delete;
    ActionFeedback& operator=(const ActionFeedback&) = delete;

    // The line that speaks for a tab; the window places it.
    QLabel* Label(Place place) const { return m_labels[static_cast<size_t>(place)]; }
    // The count of failures, for the status bar.
    QLabel* Failures() const { return m_failures; }

    // The operator started an action there; it ends with the next outcome of its kind the record
    // learns of for the operator at the window.
    void Started(Place place, Done done = {});
    // A punt or ban of this player was asked for: his row says so until he is gone or it failed.
    void RemovalStarted(ActionKind action, const std::string& name);
    bool RemovalPending(const std::string& name) const { return m_removals.count(name) != 0; }

    // How long an outcome stays shown.
    static constexpr int kShowMs = 5000;

private:
    struct Removal {
        ActionKind Action = ActionKind::Punt;
        bool Sent = false;
    };

    // Says what the tab's action waits for: the operator's answer to its question, or its send.
    void Settle(size_t place);
    void ActionRecorded(const AdminAction& action);
    void Finish(Place place, bool sent, const std::string& text, const std::string& why);
    void PlayersRead();
    void MarkRows();
    void CountFailure(size_t kind);

    Service& m_service;
    Scheduler& m_clock;
    QTreeWidget* m_players;
    std::array<QLabel*, 3> m_labels{};
    std::array<std::deque<Done>, 3> m_waiting;
    std::array<std::optional<Scheduler::TimerId>, 3> m_hide;
    std::map<std::string, Removal> m_removals;  // by name as read
    QIcon m_pendingIcon;                        // beside a player whose punt or ban is pending
    QLabel* m_failures = nullptr;
    std::array<int, 3> m_failed{};  // punts, bans, reports
};

}  // namespace tovi
