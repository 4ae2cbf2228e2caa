#include "NoticeEvents.h"

#include <algorithm>

#include "BanList.h"
#include "MatchState.h"
#include "Windows1252.h"

namespace tovi {

namespace {

bool InMatch(uint8_t state) {
    return state == kStateHosting || state == kStateScoring;
}

// Glob match of `pattern` against `text` from its start: * any run, ? any one byte.
bool Glob(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<RankedPlayer> Top(const PlayerTable& players, int64_t (*value)(const PlayerClass&)) {
    std::vector<RankedPlayer> ranked;
    for (const PlayerClass& p : players)
        if (!p.P_Name.empty()) ranked.push_back({p.P_Name, value(p)});
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const RankedPlayer& a, const RankedPlayer& b) { return a.value > b.value; });
    if (ranked.size() > 3) ranked.resize(3);
    return ranked;
}

}  // namespace

void WatchedWords::SetList(const std::string& lines) {
    m_entries.clear();
    std::string entry;
    auto flush = [&] {
        while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.pop_back();
        const size_t start = entry.find_first_not_of(" \t");
        if (start != std::string::npos) m_entries.push_back(LowerCase1252(entry.substr(start)));
        entry.clear();
    };
    for (char c : lines) {
        if (c == '\r' || c == '\n') {
            flush();
        } else {
            entry += c;
        }
    }
    flush();
}

std::optional<std::string> WatchedWords::Match(const std::string& message) const {
    const std::string text = LowerCase1252(message);
    for (const std::string& entry : m_entries) {
        if (entry.find_first_of("*?") == std::string::npos) {
            if (text.find(entry) != std::string::npos) return entry;
        } else if (Glob("*" + entry + "*", text)) {
            return entry;
        }
    }
    return std::nullopt;
}

void NoticeEvents::TickDone(bool attached, const ServerStatus& s, const PlayerTable& players, ServerLoss loss) {
    const int64_t now = m_now();
    if (m_attached != attached) {
        // The program starting without a game is no news.
        if (attached) {
            m_post(ServerFoundNotice(s.ServerName));
        } else if (m_attached) {
            m_post(ServerLostNotice(s.ServerName, loss == ServerLoss::Window
                                                      ? "the game's window can't be found; its process still runs"
                                                      : "the game's process is gone or cannot be read"));
        }
        m_attached = attached;
        m_state.reset();
        m_matchOpen = false;
        m_idleSince = attached ? now : 0;
        m_idleTold = false;
    }
    if (!attached) return;
    if (m_state != s.State) {
        const std::optional<uint8_t> before = m_state;
        if (m_matchOpen && (!InMatch(s.State) || (before == kStateHosting && s.State == kStateScoring))) {
            auto kills = [](const PlayerClass& p) { return int64_t{p.P_Kills} + int64_t{p.B_Kills}; };
            auto time = [](const PlayerClass& p) {
                return int64_t{p.P_TimePlayed} + int64_t{p.B_TimePlayed};
            };
            m_post(MatchEndNotice(m_mapName, m_result ? "game's code " + std::to_string(*m_result) : "-",
                                  now - m_matchStart, Top(players, kills), Top(players, time)));
            m_matchOpen = false;
            m_result.reset();
        }
        // A score screen seen first ends a match that was not watched: none begins, as in the record.
        if (!m_matchOpen && s.State == kStateHosting) {
            m_matchOpen = true;
            m_matchStart = now;
            m_mapName = s.MapName;
            m_result.reset();
        }
        m_state = s.State;
    }
    if (InMatch(s.State)) {
        m_idleSince = 0;
        m_idleTold = false;
    } else if (m_idleSince == 0) {
        m_idleSince = now;
    } else if (!m_idleTold && m_settings.notHostingMinutes > 0 &&
               now - m_idleSince >= m_settings.notHostingMinutes * 60) {
        m_idleTold = true;
        m_post(NotHostingNotice(s.ServerName, m_settings.notHostingMinutes));
    }
}

void NoticeEvents::ChatRead(const std::string& sender, const std::string& message) {
    if (m_ownChat.ReadBack(sender, message, m_now())) return;
    if (const std::optional<std::string> word = m_watched.Match(message))
        m_post(WatchedWordNotice(sender, message, *word));
}

void NoticeEvents::SendFinished(const FinishedSend& send) {
    const ActionKind action = send.Note.Action;
    // The punt that carries out a ban just listed is that ban's, told already. Once that first
    // enforcement has ended (punted, or dropped because he left or the ban was lifted), a punt
    // is of a player who came back.
    const bool punt = action == ActionKind::BanEnforced;
    if (punt || (action == ActionKind::BanAnnouncement && send.Outcome != SendOutcome::Sent)) {
        if (auto fresh = m_freshBans.find(BanNameKey(send.Note.Target)); fresh != m_freshBans.end()) {
            const bool same =
                punt && send.Outcome == SendOutcome::Sent && m_now() - fresh->second <= kFreshBanSeconds;
            m_freshBans.erase(fresh);
            if (same) return;
        }
    }
    if (send.Outcome != SendOutcome::Sent) return;
    if (send.Command == "gtalk") {
        m_ownChat.Sent(send.Argument, m_now());
    }
    const std::string who = send.Note.Automatic ? "the program"
                            : send.Note.Who.empty() ? std::string(kOperatorAtWindow)
                                                    : send.Note.Who;
    if (action == ActionKind::Ban) {
        m_post(AdminActionNotice(NoticeEvent::PlayerBanned, send.Note.Target, who, send.Note.Reason));
    } else if (action == ActionKind::Punt || action == ActionKind::WarningPunt) {
        m_post(AdminActionNotice(NoticeEvent::PlayerPunted, send.Note.Target, who, send.Note.Reason));
    } else if (action == ActionKind::Warn) {
        m_post(AdminActionNotice(NoticeEvent::PlayerWarned, send.Note.Target, who, send.Note.Reason));
    } else if (action == ActionKind::BanEnforced) {
        m_post(
            AdminActionNotice(NoticeEvent::BanEnforced, send.Note.Target, "the ban list", send.Note.Reason));
    }
}

void NoticeEvents::BanListAction(ActionKind action, const std::string& target,
                                 const std::string& reason, bool done, const std::string& who) {
    if (done && action == ActionKind::BanListed) {
        m_post(AdminActionNotice(NoticeEvent::PlayerBanned, target, who, reason));
        const int64_t now = m_now();
        std::erase_if(m_freshBans, [&](const auto& fresh) { return now - fresh.second > kFreshBanSeconds; });
        // The punt names the player as the game spells him, whatever case the ban was typed in.
        m_freshBans[BanNameKey(target)] = now;
    }
}

void NoticeEvents::ReportOutcome(const std::string& what, bool delivered, const std::string& error) {
    auto it =
        std::find_if(m_failures.begin(), m_failures.end(), [&](const Failures& f) { return f.what == what; });
    if (it == m_failures.end()) it = m_failures.insert(m_failures.end(), Failures{what});
    if (delivered) {
        if (it->told) m_post(ReportNotice(true, what, it->count, ""));
        it->count = 0;
        it->told = false;
        return;
    }
    ++it->count;
    if (!it->told && m_settings.reportFailures > 0 && it->count >= m_settings.reportFailures) {
        it->told = true;
        m_post(ReportNotice(false, what, it->count, error));
    }
}

}  // namespace tovi
