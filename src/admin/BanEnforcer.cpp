#include "BanEnforcer.h"

#include <algorithm>
#include <set>

#include "GameAddresses.h"
#include "MatchState.h"

namespace tovi {

namespace {

BanEntry NewBan(const std::string& name, const std::string& reason, const std::string& by) {
    BanEntry entry;
    entry.Name = name;
    entry.Reason = reason;
    entry.IssuedBy = by;
    return entry;
}

}  // namespace

BanEnforcer::BanEnforcer(BanList& list, MemoryClass& memory, ConsoleChannel& channel, PuntBan& puntBan,
                         Scheduler& scheduler, LogSink& log, Clock now)
    : m_list(list),
      m_memory(memory),
      m_channel(channel),
      m_puntBan(puntBan),
      m_scheduler(scheduler),
      m_log(log),
      m_now(std::move(now)) {}

BanEnforcer::~BanEnforcer() {
    if (m_timer) m_scheduler.Cancel(*m_timer);
}

std::string BanEnforcer::Announcement(const BanEntry& ban, const std::string& name, int64_t now) {
    std::string text =
        name + " is banned: " + (ban.Reason.empty() ? std::string("no reason given") : ban.Reason);
    if (ban.ExpiresAt != 0) text += " (" + TimeLeftText(ban.ExpiresAt - now) + " left)";
    // What the console line cannot hold is cut: the punt must not fail for a long reason.
    if (text.size() > ConsoleChannel::kMaxTextLength) text.resize(ConsoleChannel::kMaxTextLength);
    return text;
}

bool BanEnforcer::Hosting() {
    return m_memory.ReadAByte(game::kGameState) == kStateHosting;
}

void BanEnforcer::PlayersRead(const std::vector<SeatedPlayer>& players) {
    // Whoever is not there any more is new again when he comes back.
    std::set<std::string> present;
    for (const SeatedPlayer& p : players) present.insert(p.Name);
    std::erase_if(m_done, [&](const auto& done) { return !present.contains(done.first); });
    const int64_t now = m_now();
    for (const SeatedPlayer& p : players) Consider(p, now);
    if (!m_current) Next();
}

void BanEnforcer::Check(const SeatedPlayer& player) {
    m_done.erase(player.Name);
    Consider(player, m_now());
    if (!m_current) Next();
}

void BanEnforcer::Consider(const SeatedPlayer& p, int64_t now) {
    if (p.Position < 0 || !m_list.ActiveBanFor(p.Name, now)) return;
    // Slot 0 of a server with a playing host is the host himself: never punted by the list.
    if (p.Position == 0 && m_memory.ReadAByte(game::kDedicated) == 0) {
        if (m_hostTold.insert(p.Name).second)
            m_log.Log("Ban list: " + p.Name + " is listed but hosts the server, and is not punted");
        return;
    }
    if (m_current && m_current->Player.Name == p.Name) return;
    if (std::ranges::any_of(m_queue, [&](const Job& j) { return j.Player.Name == p.Name; })) return;
    if (auto done = m_done.find(p.Name); done != m_done.end() && now - done->second < kRetrySeconds) return;
    m_queue.push_back({p});
}

void BanEnforcer::Next() {
    while (!m_current && !m_queue.empty()) {
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        // Not while the server loads or waits: the player is looked at again once it hosts.
        if (!Hosting()) continue;
        const int64_t now = m_now();
        const BanEntry* ban = m_list.ActiveBanFor(job.Player.Name, now);
        if (!ban) continue;  // lifted or expired meanwhile
        const std::string name = job.Player.Name;
        const int64_t id = ban->Id;
        m_current = std::move(job);
        const std::weak_ptr<int> life = m_life;
        m_channel.SendServerCommand(
            "gtalk", Announcement(*ban, name, now),
            [this, life, name](SendOutcome outcome) {
                if (life.expired()) return;
                if (outcome != SendOutcome::Sent) {
                    m_log.Log("Ban list: " + name + " was not punted, the announcement could not be sent");
                    return Finish();
                }
                // The punt's console steps run during the reading time: it lands when the time is up.
                m_timer = m_scheduler.Schedule(kReadTimeMs - ConsoleChannel::kArgumentAfterMs, [this] {
                    m_timer.reset();
                    Punt();
                });
            },
            // The entry may be lifted, or the server stop hosting, while the console is busy.
            [this, life, name, id] {
                if (life.expired() || !Hosting()) return false;
                const BanEntry* still = m_list.ActiveBanFor(name, m_now());
                return still && still->Id == id;
            },
            SendNote{ActionKind::BanAnnouncement, name, ban->Reason, true});
        return;
    }
}

void BanEnforcer::Punt() {
    const SeatedPlayer p = m_current->Player;
    const BanEntry* ban = m_list.ActiveBanFor(p.Name, m_now());
    if (!ban || !Hosting()) {
        m_log.Log("Ban list: punt of " + p.Name + " dropped, " +
                  (ban ? "the server is not hosting" : "the ban was lifted or has expired"));
        return Finish();
    }
    QueuedPlayer target{p.Slot, p.Position, p.Name};
    target.Reason = ban->Reason;
    target.Action = ActionKind::BanEnforced;
    target.Automatic = true;
    const std::weak_ptr<int> life = m_life;
    m_puntBan.PuntQueued(std::move(target), [this, life] {
        if (!life.expired()) Finish();
    });
}

void BanEnforcer::Finish() {
    if (m_current) m_done[m_current->Player.Name] = m_now();
    m_current.reset();
    Next();
}

// ---- the player menu's ban and warning entries ------------------------------------------------

BanActions::BanActions(BanList& list, BanEnforcer& enforcer, PuntBan& puntBan, ConsoleChannel& channel,
                       Dialogs& dialogs, PlayerRowLookup& rows, LogSink& log, Scheduler& scheduler, Clock now,
                       Record record)
    : m_list(list),
      m_enforcer(enforcer),
      m_puntBan(puntBan),
      m_channel(channel),
      m_dialogs(dialogs),
      m_rows(rows),
      m_log(log),
      m_scheduler(scheduler),
      m_now(std::move(now)),
      m_record(std::move(record)) {}

BanActions::~BanActions() {
    for (Scheduler::TimerId id : m_pauses) m_scheduler.Cancel(id);
}

std::optional<SeatedPlayer> BanActions::Selected() {
    const std::optional<ListedPlayer> row = m_rows.SelectedPlayer();
    if (!row) return std::nullopt;
    const std::optional<uint8_t> slot = SlotNumber(row->Slot);
    if (!slot || row->Position < 0 || row->Name.empty()) return std::nullopt;
    return SeatedPlayer{row->Name, *slot, row->Position};
}

bool BanActions::AddBan(BanEntry entry, int64_t seconds, const std::vector<SeatedPlayer>& present,
                        const std::string& rule) {
    const int64_t now = m_now();
    entry.IssuedAt = now;
    entry.ExpiresAt = seconds > 0 ? now + seconds : 0;
    std::string error;
    const bool added = m_list.Add(entry, error).has_value();
    if (m_record)
        m_record(ActionKind::BanListed, entry.Name, entry.Reason, ForDuration(seconds), added, error,
                 entry.IssuedBy);
    if (!added) {
        m_dialogs.Warn("The ban of " + entry.Name + " could not be kept: " + error);
        return false;
    }
    m_log.Log("Banned " + entry.Name + " " + ForDuration(seconds) + ": " + entry.Reason +
              ByWhom(rule.empty() ? entry.IssuedBy : rule));
    for (const SeatedPlayer& p : present) {
        if (BanNameMatches(entry, p.Name)) m_enforcer.Check(p);
    }
    return true;
}

void BanActions::BanFor(size_t preset) {
    const std::optional<SeatedPlayer> player = Selected();
    if (!player || preset >= m_presets.size())
        return NotSent(ActionKind::BanListed, player ? player->Name : "", true,
                       player ? "no such ban duration" : "no player selected");
    const BanPreset chosen = m_presets[preset];
    m_dialogs.Ask("Ban " + player->Name + " " + ForDuration(chosen.Seconds) + ": " + chosen.Reason + "?",
                  [this, life = std::weak_ptr<int>(m_life), player, chosen, by = m_issuer()](bool yes) {
                      if (life.expired()) return;
                      if (!yes) return NotSent(ActionKind::BanListed, player->Name, false, "not confirmed");
                      // The name is listed even if he left meanwhile; he is punted only where he still is.
                      AddBan(NewBan(player->Name, chosen.Reason, by), chosen.Seconds, {*player});
                  });
}

void BanActions::BanForOther() {
    const std::optional<SeatedPlayer> player = Selected();
    if (!player) return NotSent(ActionKind::BanListed, "", true, "no player selected");
    const std::weak_ptr<int> life = m_life;
    m_dialogs.LimitedInputBox(
        "Enter reason to ban " + player->Name + "\r\n\r\nPress cancel to exit", "",
        ConsoleChannel::kMaxTextLength, [this, life, player, by = m_issuer()](std::optional<std::string> reason) {
            if (life.expired()) return;
            if (!reason || reason->empty())
                return NotSent(ActionKind::BanListed, player->Name, false, "no reason given");
            m_dialogs.InputBox(
                "Ban " + player->Name + " for how long? (for instance 30m, 2h, 7d, never)", "",
                [this, life, player, reason, by](std::optional<std::string> text) {
                    if (life.expired()) return;
                    if (!text) return NotSent(ActionKind::BanListed, player->Name, false, "no duration given");
                    const std::optional<int64_t> seconds = ParseDuration(*text);
                    if (!seconds) {
                        m_dialogs.Warn("\"" + *text +
                                       "\" is no duration: write for instance 30m, 2h, 7d or never.");
                        return NotSent(ActionKind::BanListed, player->Name, true, "no duration");
                    }
                    AddBan(NewBan(player->Name, *reason, by), *seconds, {*player});
                });
        });
}

void BanActions::MatchStarted() {
    m_matchStart = m_now();
}

void BanActions::Warn() {
    const std::optional<SeatedPlayer> player = Selected();
    if (!player) return NotSent(ActionKind::Warn, "", true, "no player selected");
    const std::string prefix = player->Name + ", warning: ";
    const size_t room =
        ConsoleChannel::kMaxTextLength - std::min(ConsoleChannel::kMaxTextLength, prefix.size());
    // The ladder's punt or ban comes later, when nobody acts any more: it is in the warner's name.
    m_dialogs.LimitedInputBox(
        "Enter warning for " + player->Name, "", room,
        [this, life = std::weak_ptr<int>(m_life), player, prefix, by = m_issuer()](std::optional<std::string> text) {
            if (life.expired()) return;
            if (!text || text->empty()) return NotSent(ActionKind::Warn, player->Name, false, "no text given");
            const int64_t now = m_now();
            std::optional<WarningStep> step;
            std::string reason;
            std::string error;
            if (!m_list.AddWarning({0, player->Name, now, by, *text}, error)) {
                m_log.Log("The warning to " + player->Name + " could not be kept: " + error);
            } else if (m_ladder.On) {
                const int64_t since =
                    m_ladder.WindowMinutes > 0 ? now - int64_t{m_ladder.WindowMinutes} * 60 : m_matchStart;
                const int count = m_list.WarningsSince(player->Name, since);
                step = m_ladder.StepFor(count);
                reason = std::to_string(count) + " warnings, the last: " + *text;
            }
            m_channel.SendServerCommand(
                "gtalk", prefix + *text,
                [this, life, player, step, reason, by](SendOutcome outcome) {
                    if (life.expired() || !step) return;
                    // A player is punted for a warning he was shown, not for one the console refused.
                    if (outcome != SendOutcome::Sent) {
                        m_log.Log("The warning ladder left " + player->Name +
                                  " alone: the warning could not be said");
                        return;
                    }
                    auto id = std::make_shared<Scheduler::TimerId>();
                    *id = m_scheduler.Schedule(kWarningReadMs, [this, id, player = *player, step, reason, by] {
                        m_pauses.erase(*id);
                        LadderStep(player, *step, reason, by);
                    });
                    m_pauses.insert(*id);
                },
                {}, SendNote{.Action = ActionKind::Warn, .Target = player->Name, .Reason = *text, .Who = by});
        });
}

void BanActions::LadderStep(const SeatedPlayer& player, const WarningStep& step, const std::string& reason,
                            const std::string& by) {
    if (step.Ban) {
        // One who left meanwhile stays listed and is punted when he comes back.
        const bool present = m_rows.HasPlayerRow({std::to_string(player.Slot), player.Name, player.Position});
        AddBan(NewBan(player.Name, reason, by), step.BanSeconds,
               present ? std::vector<SeatedPlayer>{player} : std::vector<SeatedPlayer>{}, kByWarningLadder);
        return;
    }
    // The punt's slot check lets it pass only while the slot still holds him.
    QueuedPlayer target{player.Slot, player.Position, player.Name};
    target.Reason = reason;
    target.Action = ActionKind::WarningPunt;
    target.Who = by;
    m_puntBan.PuntQueued(std::move(target), {});
}

}  // namespace tovi
