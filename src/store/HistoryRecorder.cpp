#include "HistoryRecorder.h"

#include "MatchState.h"

namespace tovi {

namespace {

bool InMatch(uint8_t state) {
    return state == kStateHosting || state == kStateScoring;
}

const char* SendWhy(SendOutcome outcome) {
    switch (outcome) {
        case SendOutcome::Sent:
            return "";
        case SendOutcome::Skipped:
            return "no longer wanted when its turn came";
        case SendOutcome::TooLong:
            return "the text does not fit the console";
        case SendOutcome::Cycling:
            return "the server was loading a map or not hosting";
        case SendOutcome::Failed:
            return "the console did not stay open";
    }
    return "";
}

}  // namespace

void HistoryRecorder::TickDone(bool attached, const ServerStatus& s, const PlayerTable& players) {
    const int64_t now = m_now();
    if (m_attached != attached) {
        // The first tick without a game is no news.
        if (attached || m_attached) m_store->ServerEvent(now, attached ? "found" : "lost", s.ServerName);
        m_attached = attached;
        if (!attached) {
            if (m_matchOpen) LoseMatch(s);
            // What the server shows when it comes back is news, and a match it hosts then is another.
            m_state.reset();
        }
    }
    if (attached && m_state != s.State) {
        const std::optional<uint8_t> before = m_state;
        m_store->ServerEvent(now, "state", StateText(before.value_or(0)) + " to " + StateText(s.State));
        // A match ends at the switch to scoring, or when the server leaves it some other way.
        if (m_matchOpen && (!InMatch(s.State) || (before == kStateHosting && s.State == kStateScoring))) {
            EndMatch(s, players);
        }
        // A match begins with hosting; one under way when the program starts counts from there. A
        // score screen seen first ends a match the program never watched: none begins.
        if (!m_matchOpen && s.State == kStateHosting) StartMatch(s);
        m_state = s.State;
    }
    m_store->Flush();
}

void HistoryRecorder::StartMatch(const ServerStatus& s) {
    const std::string type = s.GameType < kGameTypeCount ? GameTypes()[s.GameType] : std::string();
    m_store->MatchStarted({m_now(), s.ServerName, s.MapName, s.MapFile, type});
    m_matchOpen = true;
    m_stats.reset();
    m_result.reset();
    m_present.clear();
}

void HistoryRecorder::EndMatch(const ServerStatus& s, const PlayerTable& players) {
    const int64_t now = m_now();
    MatchEnd end{now, m_result ? std::to_string(*m_result) : std::string(), s.PlayerCount, false, ""};
    if (m_stats) {
        end.StatsWritten = m_stats->first;
        end.StatsRefused = m_stats->second;
    } else {
        end.StatsRefused = "not written: too few players, or the match did not end in scoring";
    }
    for (const PlayerClass& p : players) {
        std::vector<PlayerStat> totals;
        totals.reserve(kStatisticList.size());
        for (const Statistic& st : kStatisticList) {
            totals.push_back({std::string(st.Name), int64_t{p.*(st.P)} + int64_t{p.*(st.B)}});
        }
        m_store->PlayerStats(p.P_Name, p.P_Team, totals);
    }
    m_store->MatchEnded(end);
    MatchClosed();
}

void HistoryRecorder::LoseMatch(const ServerStatus& s) {
    // The stints close with it, at the time the server was lost; the scores last read are no
    // final scores.
    m_store->MatchEnded({m_now(), "", s.PlayerCount, false, "the server was lost during the match"});
    MatchClosed();
}

void HistoryRecorder::MatchClosed() {
    m_matchOpen = false;
    m_stats.reset();
    m_result.reset();
    m_present.clear();
}

void HistoryRecorder::PlayersRead(const std::vector<PresentPlayer>& present) {
    // Between matches (loading, waiting) nobody plays yet.
    if (!m_matchOpen) return;
    const int64_t now = m_now();
    std::map<std::string, PresentPlayer> next;
    for (const PresentPlayer& p : present) next.emplace(p.Name, p);
    for (const auto& [name, p] : m_present) {
        auto it = next.find(name);
        if (it == next.end() || it->second.Team != p.Team || it->second.Slot != p.Slot)
            m_store->PlayerLeft(now, name);
    }
    for (const auto& [name, p] : next) {
        auto it = m_present.find(name);
        if (it == m_present.end() || it->second.Team != p.Team || it->second.Slot != p.Slot) {
            m_store->PlayerJoined(now, name, p.Slot, p.Team);
        }
    }
    m_present = std::move(next);
}

void HistoryRecorder::StatsWritten(bool written, const std::string& why, std::optional<uint8_t> result) {
    m_stats.emplace(written, why);
    m_result = result;
}

void HistoryRecorder::ChatRead(const std::string& sender, const std::string& message) {
    const int64_t now = m_now();
    if (auto sent = m_ownChat.ReadBackOf(sender, message, now)) return m_store->ChatReadBack(sent->at, sent->text, now);
    m_store->ChatRead(now, sender, message);
}

void HistoryRecorder::SendFinished(const FinishedSend& send) {
    const int64_t now = m_now();
    const bool chat = send.Command == "gtalk";
    if (chat && send.Outcome == SendOutcome::Sent) {
        m_store->ChatSent(now, send.Note.Target, send.Argument);
        m_ownChat.Sent(send.Argument, now);
    }
    AdminAction a;
    a.Time = now;
    a.Who = send.Note.Automatic ? "the program" : !send.Note.Who.empty() ? send.Note.Who : kOperatorAtWindow;
    a.Action = send.Note.Action != ActionKind::Unnamed ? send.Note.Action : chat ? ActionKind::Chat : ActionKind::Command;
    a.Target = send.Note.Target;
    a.Reason = send.Note.Reason;
    a.Detail = send.Command + " " + send.Argument;
    a.Result = send.Outcome == SendOutcome::Sent      ? Outcome::Sent
               : send.Outcome == SendOutcome::Skipped ? Outcome::Skipped
                                                      : Outcome::Refused;
    // Who dropped a send knows better why than the channel does.
    const bool dropped =
        send.Outcome == SendOutcome::Skipped && send.Note.SkipWhy && !send.Note.SkipWhy->empty();
    a.Why = dropped ? *send.Note.SkipWhy : SendWhy(send.Outcome);
    ActionDone(a);
}

void HistoryRecorder::ActionNotSent(const UnsentAction& u) {
    ActionDone({m_now(), !u.Who.empty() ? u.Who : kOperatorAtWindow, u.Action, u.Target, u.Reason, "",
                u.Refused ? Outcome::Refused : Outcome::Skipped, u.Why});
}

void HistoryRecorder::WindowAction(ActionKind action, const std::string& detail, bool done,
                                   const std::string& why, const std::string& who) {
    ActionDone({m_now(), !who.empty() ? who : kOperatorAtWindow, action, "", "", detail,
                done ? Outcome::Sent : Outcome::Refused, why});
}

void HistoryRecorder::ActionDone(const AdminAction& action) {
    m_store->AdminActionDone(action);
    if (m_observer) m_observer(action);
}

void HistoryRecorder::ServerEvent(const std::string& kind, const std::string& detail) {
    m_store->ServerEvent(m_now(), kind, detail);
}

}  // namespace tovi
