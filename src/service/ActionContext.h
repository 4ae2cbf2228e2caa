#pragma once
// Who acts now, on which player, and with which answers: set for the length of one action, so
// that the console, the record and the questions it asks all speak of the same one. A face hands
// an action in; the service runs it inside an Acting.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Dialogs.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"

namespace tovi {

// What an action run for someone away from the desktop came to.
struct UnattendedOutcome {
    std::vector<std::string> Warnings;    // what the face's dialogs would have warned of
    std::vector<std::string> Notes;       // what they would have told
    std::vector<std::string> Unanswered;  // questions answered No and input boxes cancelled
};

class ActionContext : public PlayerRowLookup {
public:
    // `face` asks the questions no action answered; `list` is the face's player list;
    // `actorChanged` hears who acts from now on (empty: nobody).
    ActionContext(Dialogs& face, PlayerListLookup& list, std::function<void(const std::string&)> actorChanged);
    ~ActionContext() override;
    ActionContext(const ActionContext&) = delete;
    ActionContext& operator=(const ActionContext&) = delete;

    // The dialogs every part of the service asks through.
    Dialogs& Questions();
    Dialogs& Face() { return m_face; }
    // Who acts now; empty outside an action.
    const std::string& Actor() const { return m_actor; }

    // Runs `action` for someone away from the desktop: its questions take the answers its own
    // request brings, then `answers`, then No; input boxes without a text are cancelled; warnings
    // and notes come back here. Nothing pops up at the desktop, nothing waits.
    UnattendedOutcome RunUnattended(const std::function<void()>& action, std::deque<bool> answers = {});

    // PlayerRowLookup: the player the action names, or else the one selected in the face's list.
    std::optional<ListedPlayer> SelectedPlayer() override;
    bool HasPlayerRow(const ListedPlayer& player) override { return m_list.HasPlayerRow(player); }

    // For the length of one action. Answers it did not use do not reach the next one.
    class Acting {
    public:
        Acting(ActionContext& context, const std::string& actor, std::optional<ListedPlayer> player = {},
               std::deque<bool> answers = {}, std::deque<std::string> inputs = {});
        ~Acting();
        Acting(const Acting&) = delete;
        Acting& operator=(const Acting&) = delete;

    private:
        ActionContext& m_context;
    };

private:
    class Answering;

    Dialogs& m_face;
    PlayerListLookup& m_list;
    std::function<void(const std::string&)> m_actorChanged;
    std::string m_actor;
    std::optional<ListedPlayer> m_chosen;
    std::unique_ptr<Answering> m_answering;
};

}  // namespace tovi
