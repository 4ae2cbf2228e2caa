#pragma once
// An operator action as any face hands it in (the window, the web panel, the copy without a
// window, the game's chat), and what it came to. The service checks every order by the same rules
// whoever gives it: the texts, the server's state, the player still in his slot, the role.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "AccountStore.h"
#include "ActionKind.h"
#include "ConsoleChannel.h"
#include "PlayerListLookup.h"

namespace tovi {

struct ActionOrder {
    // Chat, Command, Talk, Warn, Punt, Ban (the game's own), BanListed, BanLifted, BanEdited,
    // MatchTime, ResetGames.
    ActionKind Kind = ActionKind::Chat;
    std::string Actor = kOperatorAtWindow;
    Role ActorRole = Role::Admin;  // the operator at the desktop may do everything
    // Someone away from the desktop: the order's questions take its answers, then No; nothing
    // waits on a dialog. At the desktop the face asks what the order does not answer.
    bool Unattended = false;
    // The player aimed at, by slot and name; none: the one selected in the face's list.
    std::optional<ListedPlayer> Player = {};
    // The chat line or command, what to tell or warn, the reason of a punt, ban or lift. Empty:
    // asked for (at the desktop), or none (a punt without a reason).
    std::string Text = {};
    bool WithReason = false;  // Punt, Ban without a text: a reason is asked for, not a yes
    std::string Name = {};    // BanListed: the name to list, when no player is aimed at
    int64_t BanId = 0;        // BanLifted, BanEdited
    int64_t Seconds = 0;      // BanListed, BanEdited: how long from now; 0: for good
    std::optional<size_t> Preset = {};  // BanListed at the desktop: one of the list's presets
    bool More = false;        // MatchTime: a minute more (else less)
    std::deque<bool> Answers = {};  // to the order's yes/no questions, in the order asked
};

struct ActionResult {
    enum class Status {
        Done,         // carried out; at the desktop: started, its questions and outcome follow
        Refused,      // not done, `Why` says why
        NeedsAnswer,  // not done: `Question` must be answered yes first
    };
    Status State = Status::Done;
    std::string Why;
    std::string Question;
    bool Ok() const { return State == Status::Done; }
};

}  // namespace tovi
