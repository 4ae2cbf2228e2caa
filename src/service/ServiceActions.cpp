// The operator's actions on the game server, each in the name of whoever asked for it.
#include <QDateTime>

#include "GameText.h"
#include "Service.h"
#include "SettingsFile.h"

namespace tovi {

// One action, with the player, answers and texts its request brings.
class Service::RequestActing : public ActionContext::Acting {
public:
    RequestActing(ActionContext& context, ActionRequest& request)
        : Acting(context, request.Actor, std::move(request.Player), std::move(request.Answers),
                 std::move(request.Inputs)) {}
};

namespace {

bool GoesThroughConsole(ActionKind kind) {
    switch (kind) {
        case ActionKind::Chat:
        case ActionKind::Command:
        case ActionKind::Talk:
        case ActionKind::Warn:
        case ActionKind::Punt:
        case ActionKind::Ban:
        case ActionKind::MatchTime:
        case ActionKind::ResetGames:
            return true;
        default:
            return false;
    }
}

// The console line a text given with the order becomes, to be checked as the console checks it.
std::string ConsoleLineOf(const ActionOrder& order, const std::string& name) {
    switch (order.Kind) {
        case ActionKind::Talk: return name + ", " + order.Text;
        case ActionKind::Warn: return name + ", warning: " + order.Text;
        case ActionKind::Punt: return "Punting " + name + ", " + order.Text;
        case ActionKind::Ban: return "Banning " + name + ", " + order.Text;
        default: return order.Text;
    }
}

}  // namespace

std::string Service::OrderRefusal(const ActionOrder& order, const std::optional<ListedPlayer>& target) const {
    const ActionKind kind = order.Kind;
    const bool listsBan = kind == ActionKind::BanListed || kind == ActionKind::BanEdited;
    int64_t seconds = order.Seconds;
    if (kind == ActionKind::BanListed && order.Preset) {
        const BanSettings bans = BanSettingsInUse();
        if (*order.Preset >= bans.Presets.size()) return "There is no such ban duration.";
        seconds = bans.Presets[*order.Preset].Seconds;
    }
    if (std::string refused = RoleRefusal(order.ActorRole, kind, seconds, m_moderatorBanSeconds); !refused.empty())
        return refused;
    if (listsBan && seconds < 0) return "A ban cannot last less than nothing.";
    if (kind == ActionKind::BanLifted || kind == ActionKind::BanEdited) {
        const BanEntry* entry = m_banList.Find(order.BanId);
        if (!entry) return "There is no such ban.";
        if (kind == ActionKind::BanLifted && entry->LiftedAt != 0) return "That ban was lifted already.";
    }
    if (kind == ActionKind::BanListed && !order.Preset && !target) {
        if (order.Name.empty()) return order.Unattended ? "No name was given." : "No player is selected.";
        if (HasControlBytes(order.Name)) return "The name holds control characters.";
    }
    if (kind == ActionKind::Chat || kind == ActionKind::Command) {
        if (order.Text.empty()) return "There is nothing to send.";
        // A line that begins with "/" runs a command: from the chat, only what the window's chat box
        // would run as one.
        if (kind == ActionKind::Chat && order.Text.front() == '/' && order.Unattended)
            return "A line that begins with / is a server command, not chat.";
    }
    if (!order.Text.empty()) {
        if (GoesThroughConsole(kind)) {
            if (std::string problem = ConsoleLineProblem(ConsoleLineOf(order, target ? target->Name : ""));
                !problem.empty())
                return problem;
        } else if (HasControlBytes(order.Text)) {
            return "The reason holds control characters.";
        }
    } else if (order.Unattended && (kind == ActionKind::Talk || kind == ActionKind::Warn)) {
        return "No text was given.";
    }
    if (GoesThroughConsole(kind)) {
        // The console refuses these states as it sends, after the face has answered: they are
        // refused first, as the last tick saw them.
        using Phase = ServerSnapshot::Phase;
        if (!m_snapshot.Found) return "No game server is running.";
        if (m_snapshot.State == Phase::None || m_snapshot.State == Phase::Loading)
            return "The server takes no commands while a map is loading.";
        if (!m_snapshot.ConsoleReady) return "The server hosts no map now and takes no commands.";
    }
    if (order.Player && AimsAtPlayer(kind)) {
        // A slot named with its player: whoever took the slot meanwhile is not acted on.
        const bool seated = std::any_of(m_playerList.Rows().begin(), m_playerList.Rows().end(), [&](const PlayerRow& row) {
            return row.Slot == order.Player->Slot && row.Player == order.Player->Name;
        });
        if (!seated) return "Slot " + order.Player->Slot + " no longer holds " + order.Player->Name + ".";
    }
    return {};
}

ActionResult Service::Act(ActionOrder order) {
    // The player the order aims at: the one it names, else the face's selection.
    const std::optional<ListedPlayer> target =
        order.Player ? order.Player : AimsAtPlayer(order.Kind) ? m_context->SelectedPlayer() : std::nullopt;
    if (const std::string why = OrderRefusal(order, target); !why.empty()) {
        m_history.ActionNotSent({order.Kind, target ? target->Name : order.Name, "", true, why, order.Actor});
        if (!order.Unattended) m_context->Questions().Warn(why + " Nothing was done.");
        return {ActionResult::Status::Refused, why + " Nothing was done.", {}};
    }
    std::vector<AdminAction> recorded;
    std::vector<AdminAction>* const outer = std::exchange(m_recording, &recorded);
    bool done = true;
    auto run = [&] {
        ActionRequest request{order.Actor, order.Player, order.Answers, {}};
        if (!order.Text.empty()) request.Inputs.push_back(order.Text);
        switch (order.Kind) {
            case ActionKind::Chat:
            case ActionKind::Command: {
                const std::string line =
                    order.Kind == ActionKind::Command && !order.Text.starts_with('/') ? "/" + order.Text : order.Text;
                done = SendChatLine(line, order.Actor);
                break;
            }
            case ActionKind::Talk: Talk(std::move(request)); break;
            case ActionKind::Warn: Warn(std::move(request)); break;
            case ActionKind::Punt:
            case ActionKind::Ban: {
                const bool punt = order.Kind == ActionKind::Punt;
                if (order.Text.empty() && !order.WithReason) {
                    punt ? Punt(std::move(request)) : Ban(std::move(request));
                } else {
                    punt ? PuntWithReason(std::move(request)) : BanWithReason(std::move(request));
                }
                break;
            }
            case ActionKind::BanListed:
                if (order.Preset) {
                    BanFor(*order.Preset, std::move(request));
                } else if (!order.Player && !order.Name.empty()) {
                    done = AddBan(order.Name, order.Text, order.Seconds, order.Actor);
                } else {
                    BanForOther(std::move(request));
                }
                break;
            case ActionKind::BanLifted: done = LiftBan(order.BanId, order.Text, order.Actor); break;
            case ActionKind::BanEdited: done = EditBan(order.BanId, order.Text, order.Seconds, order.Actor); break;
            case ActionKind::MatchTime:
                if (order.More) {
                    done = MatchTimeMore(std::move(request));
                } else {
                    MatchTimeLess(std::move(request));
                }
                break;
            case ActionKind::ResetGames: ResetGames(std::move(request)); break;
            default: done = false; break;
        }
    };
    ActionResult result;
    if (!order.Unattended) {
        // At the desktop the face asks what the order does not answer; its outcome follows.
        run();
        m_recording = outer;
        return result;
    }
    const UnattendedOutcome outcome = m_context->RunUnattended(run);
    m_recording = outer;
    if (!outcome.Unanswered.empty()) {
        result.State = ActionResult::Status::NeedsAnswer;
        result.Question = outcome.Unanswered.front();
        result.Why = "Not done, it needs an answer first: " + result.Question;
        return result;
    }
    for (const AdminAction& a : recorded) {
        if (a.Result != Outcome::Sent) {
            result.State = ActionResult::Status::Refused;
            result.Why = "Not done: " + (a.Why.empty() ? std::string(ActionName(a.Action)) : a.Why) + ".";
            return result;
        }
    }
    if (!outcome.Warnings.empty()) return {ActionResult::Status::Refused, outcome.Warnings.front(), {}};
    if (!done) return {ActionResult::Status::Refused, "Not done (the program's log says why).", {}};
    return result;
}

bool Service::SendChatLine(const std::string& text, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    const std::optional<ConsoleCommand> command = ChatLineCommand(text);
    if (!command) return false;
    m_channel->SendServerCommand(command->Command, command->Argument);
    return true;
}

void Service::Punt(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->Punt();
}

void Service::Ban(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->Ban();
}

void Service::PuntWithReason(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->PuntWithReason();
}

void Service::BanWithReason(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->BanWithReason();
}

void Service::Talk(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->Talk();
}

void Service::Warn(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_banActions->Warn();
}

void Service::BanFor(size_t preset, ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_banActions->BanFor(preset);
}

void Service::BanForOther(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_banActions->BanForOther();
}

void Service::RecordClock(const std::string& what, bool written, const std::string& actor) {
    m_history.WindowAction(ActionKind::MatchTime, what, written, written ? "" : "the clock could not be written",
                           actor);
}

void Service::RecordDeclined(ActionKind action, const std::string& detail, const std::string& actor) {
    // As a punt that was not confirmed: whoever waits on the action learns it ended.
    m_history.ActionDone({QDateTime::currentSecsSinceEpoch(), actor.empty() ? kOperatorAtWindow : actor,
                          action, "", "", detail, Outcome::Skipped, "not confirmed"});
}

bool Service::MatchTimeMore(ActionRequest request) {
    const std::string actor = request.Actor;
    RequestActing acting(*m_context, request);
    const bool written = m_matchTime->OneMinuteMore();
    RecordClock("one minute more", written, actor);
    return written;
}

void Service::MatchTimeLess(ActionRequest request) {
    const std::string actor = request.Actor;
    RequestActing acting(*m_context, request);
    // A clock that holds no more than a minute asks first; nothing is recorded on No.
    m_matchTime->OneMinuteLess(
        [this, actor](bool written) { RecordClock("one minute less", written, actor); },
        [this, actor] { RecordDeclined(ActionKind::MatchTime, "one minute less", actor); });
}

void Service::ResetGames(ActionRequest request) {
    const std::string actor = request.Actor;
    RequestActing acting(*m_context, request);
    m_matchTime->ResetGames([this, actor] { RecordDeclined(ActionKind::ResetGames, "", actor); });
}

void Service::RecordFaceAction(const std::string& who, ActionKind action, const std::string& detail,
                               bool done, const std::string& why) {
    m_history.ActionDone({QDateTime::currentSecsSinceEpoch(), who, action, "", "", detail,
                          done ? Outcome::Sent : Outcome::Refused, why});
}

std::vector<ServerRow> Service::GameServers() {
    return ListGameServers(m_memory, m_memory.Backend());
}

TrackOutcome Service::TrackServer(const ServerRow& row) {
    return tovi::TrackServer(m_memory, row);
}

void Service::ShowGameWindow(bool shown) {
    m_memory.ShowGameWindow(shown);
}

}  // namespace tovi
