// The operator's actions on the game server, each in the name of whoever asked for it.
#include <QDateTime>

#include "GameText.h"
#include "Service.h"

namespace tovi {

// One action, with the player, answers and texts its request brings.
class Service::RequestActing : public ActionContext::Acting {
public:
    RequestActing(ActionContext& context, ActionRequest& request)
        : Acting(context, request.Actor, std::move(request.Player), std::move(request.Answers),
                 std::move(request.Inputs)) {}
};

bool Service::SendChatLine(const std::string& text, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    const std::optional<ConsoleCommand> command = ChatLineCommand(text);
    if (!command) return false;
    if (const std::string problem = ConsoleLineProblem(text); !problem.empty()) {
        m_history.ActionNotSent({command->Command == "gtalk" ? ActionKind::Chat : ActionKind::Command, "", "", true, problem, actor});
        m_context->Questions().Warn(problem + " Nothing was sent.");
        return false;
    }
    m_channel->SendServerCommand(command->Command, command->Argument);
    return true;
}

void Service::Punt(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->mnuPlayersPunt_Click();
}

void Service::Ban(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->mnuPlayersBan_Click();
}

void Service::PuntWithReason(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->mnuPlayersPuntReason_Click();
}

void Service::BanWithReason(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->mnuPlayersBanReason_Click();
}

void Service::Talk(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_puntBan->mnuPlayersTalk_Click();
}

void Service::Warn(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_banActions->mnuPlayersWarn_Click();
}

void Service::BanFor(size_t preset, ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_banActions->mnuPlayersBanFor_Click(preset);
}

void Service::BanForOther(ActionRequest request) {
    RequestActing acting(*m_context, request);
    m_banActions->mnuPlayersBanForOther_Click();
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

bool Service::MatchTimeMore(const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    const bool written = m_matchTime->cmdGameTimeInc_Click();
    RecordClock("one minute more", written, actor);
    return written;
}

void Service::MatchTimeLess(const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    // A clock that holds no more than a minute asks first; nothing is recorded on No.
    m_matchTime->cmdGameTimeDec_Click(
        [this, actor](bool written) { RecordClock("one minute less", written, actor); },
        [this, actor] { RecordDeclined(ActionKind::MatchTime, "one minute less", actor); });
}

void Service::ResetGames(const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    m_matchTime->cmdMapResetGames_Click([this, actor] { RecordDeclined(ActionKind::ResetGames, "", actor); });
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
