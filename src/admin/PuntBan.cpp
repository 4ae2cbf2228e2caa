#include "PuntBan.h"

#include <algorithm>
#include <string_view>

#include "GameAddresses.h"

namespace tovi {

namespace {

constexpr const char* kNotListed = " dropped: the player is no longer in the list";

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<uint8_t> SlotNumber(const std::string& slotText) {
    if (slotText.empty() || slotText.size() > 3) return std::nullopt;
    int value = 0;
    for (char c : slotText) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 255) return std::nullopt;
    return static_cast<uint8_t>(value);
}

PuntBan::PuntBan(MemoryClass& memory, ConsoleChannel& channel, Scheduler& scheduler, LogSink& log,
                 Dialogs& dialogs, PlayerRowLookup& rows, PollTimer& poll)
    : m_memory(memory),
      m_channel(channel),
      m_scheduler(scheduler),
      m_log(log),
      m_dialogs(dialogs),
      m_rows(rows),
      m_poll(poll) {}

PuntBan::~PuntBan() {
    if (m_tmrPunt) m_scheduler.Cancel(*m_tmrPunt);
}

void PuntBan::PuntPlayer(uint8_t Slot, int Position, std::string PlayerName, bool Announce, bool PausePoll) {
    Remove(Removal::Punt, QueuedPlayer{Slot, Position, std::move(PlayerName)}, Announce, PausePoll, {});
}

void PuntBan::BanPlayer(uint8_t Slot, int Position, std::string PlayerName, bool Announce, bool PausePoll) {
    Remove(Removal::Ban, QueuedPlayer{Slot, Position, std::move(PlayerName)}, Announce, PausePoll, {});
}

void PuntBan::PuntQueued(QueuedPlayer target, std::function<void()> finished) {
    Remove(Removal::Punt, std::move(target), false, false, std::move(finished));
}

size_t PuntBan::MaxReasonLength(const std::string& name) {
    // "Punting " and "Banning " are as long as each other.
    const size_t fixed = std::string_view("Punting , ").size() + name.size();
    return fixed < ConsoleChannel::kMaxTextLength ? ConsoleChannel::kMaxTextLength - fixed : 0;
}

PuntBan::SlotCheck PuntBan::CheckSlot(int position, const std::string& name) {
    // The slot is found by where it lies in the game's table; the number the game gives it and
    // the command names may differ from that place.
    const std::string pointer = m_memory.ReadMemory(game::kSlotTablePointer, 4);
    std::string read;
    if (pointer.size() == 4 && position >= 0) {
        uint32_t first = 0;
        for (size_t i = 0; i < 4; ++i) first |= uint32_t{static_cast<uint8_t>(pointer[i])} << (8 * i);
        const uint64_t address =
            uint64_t{first} + static_cast<uint64_t>(position) * game::kSlotStride + game::slot::kName;
        if (address + game::slot::kNameLength <= uint64_t{1} << 32) {
            read = m_memory.ReadMemory(static_cast<uint32_t>(address),
                                       static_cast<int16_t>(game::slot::kNameLength));
        }
    }
    if (read.empty()) {
        const bool gone = m_memory.GetProcID() <= 0 || m_memory.LastFailure() == AccessFailure::NoSuchProcess;
        return gone ? SlotCheck::GameGone : SlotCheck::Unreadable;
    }
    const std::string cut = CutAtNull(read);
    const std::string_view held = TrimSpaces(cut);
    // A free slot holds nobody, whatever name was asked for.
    return !held.empty() && held == TrimSpaces(name) ? SlotCheck::Holds : SlotCheck::OtherPlayer;
}

void PuntBan::Remove(Removal kind, QueuedPlayer target, bool announce, bool pausePoll,
                     std::function<void()> finished) {
    if (pausePoll) PausePoll();
    const bool punt = kind == Removal::Punt;
    const std::string slotText = std::to_string(target.Slot);
    // The log names who asked: the queue is sent when nobody acts any more.
    const std::string by = ByWhom(target.Action == ActionKind::BanEnforced   ? std::string(kByBanList)
                                  : target.Action == ActionKind::WarningPunt ? std::string(kByWarningLadder)
                                  : !target.Who.empty()                      ? target.Who
                                                                             : m_channel.Actor());
    const std::string action =
        std::string(punt ? "Punt of " : "Ban of ") + target.Name + (by.empty() ? "" : by.substr(1));
    const std::weak_ptr<int> life = m_life;
    // Once the slot is found to hold someone else, or the announcement is refused, the rest of
    // the action is dropped, logged once.
    const std::shared_ptr<bool> dropped = target.Dropped;
    // Why the sends were dropped, for the record of both.
    auto skipWhy = std::make_shared<std::string>();
    ConsoleChannel::Check stillThere = [this, life, dropped, skipWhy, target, action, slotText] {
        if (life.expired() || *dropped) return false;
        const SlotCheck check = CheckSlot(target.Position, target.Name);
        if (check == SlotCheck::Holds) return true;
        *dropped = true;
        *skipWhy = check == SlotCheck::GameGone     ? "the game server is no longer running"
                   : check == SlotCheck::Unreadable ? "slot " + slotText + " could not be read"
                                                    : "slot " + slotText + " no longer holds that player";
        m_log.Log(action + " skipped: " + *skipWhy);
        return false;
    };

    if (announce) {
        m_channel.SendServerCommand(
            "gtalk",
            target.Name + (punt ? " has been punted from this server" : " has been banned from this server"),
            [this, life, dropped, skipWhy, action](SendOutcome outcome) {
                if (life.expired() || *dropped) return;
                // Players are told before they go; what could not be told is not done.
                if (outcome == SendOutcome::TooLong || outcome == SendOutcome::Cycling) {
                    *dropped = true;
                    *skipWhy = "its announcement was refused";
                    m_log.Log(action + " skipped: its announcement was refused");
                }
            },
            stillThere, SendNote{ActionKind::Unnamed, target.Name, target.Reason, false, skipWhy, target.Who});
    }
    m_channel.SendServerCommand(
        "command", (punt ? "punt " : "ban ") + slotText,
        [this, life, punt, slotText, name = target.Name, by, pausePoll,
         finished = std::move(finished)](SendOutcome outcome) {
            if (life.expired()) return;
            // Logged after the send, whether it went through or not; its own failure line comes first.
            if (outcome != SendOutcome::Skipped) {
                m_log.Log((punt ? "Punting player in slot " : "Banning player in slot ") + slotText + " (" +
                          name + ")" + by);
            }
            if (pausePoll) ResumePoll();
            if (finished) finished();
        },
        stillThere,
        SendNote{target.Action != ActionKind::Unnamed ? target.Action : punt ? ActionKind::Punt : ActionKind::Ban, target.Name, target.Reason,
                 target.Automatic, skipWhy, target.Who});
}

void PuntBan::NotSent(ActionKind action, const std::string& target, const std::string& reason,
                      bool refused, const std::string& why) {
    if (m_unsent) m_unsent({action, target, reason, refused, why});
}

std::optional<std::pair<uint8_t, ListedPlayer>> PuntBan::SelectedRow(ActionKind action) {
    std::optional<ListedPlayer> row = m_rows.SelectedPlayer();
    if (!row) {
        NotSent(action, "", "", true, "no player selected");
        return std::nullopt;
    }
    const std::optional<uint8_t> slot = SlotNumber(row->Slot);
    if (!slot || row->Position < 0) {
        NotSent(action, row->Name, "", true, "the selected row names no slot");
        return std::nullopt;
    }
    return std::make_pair(*slot, std::move(*row));
}

void PuntBan::Confirm(Removal kind) {
    const bool punt = kind == Removal::Punt;
    auto selected = SelectedRow(punt ? ActionKind::Punt : ActionKind::Ban);
    if (!selected) return;
    const uint8_t slot = selected->first;
    const ListedPlayer row = std::move(selected->second);
    m_dialogs.Ask(std::string("Are you sure you want to ") + (punt ? "punt " : "ban ") + row.Name + "?" +
                      (punt ? "" : "\r\n\r\nThe name also goes on the ban list, for good, so that the ban outlasts "
                                   "the game server's restart."),
                  [this, life = std::weak_ptr<int>(m_life), kind, slot, row, punt](bool yes) {
                      if (life.expired()) return;
                      if (!yes) return NotSent(punt ? ActionKind::Punt : ActionKind::Ban, row.Name, "", false, "not confirmed");
                      // The poll may have rebuilt the list while the question was open.
                      if (!m_rows.HasPlayerRow(row)) {
                          m_log.Log((punt ? "Punt of " : "Ban of ") + row.Name + kNotListed);
                          return NotSent(punt ? ActionKind::Punt : ActionKind::Ban, row.Name, "", false,
                                         "the player is no longer in the list");
                      }
                      Remove(kind, QueuedPlayer{slot, row.Position, row.Name}, true, true, {});
                  });
}

void PuntBan::AskReason(Removal kind) {
    auto selected = SelectedRow(kind == Removal::Punt ? ActionKind::Punt : ActionKind::Ban);
    if (!selected) return;
    const uint8_t slot = selected->first;
    const ListedPlayer row = std::move(selected->second);
    const bool punt = kind == Removal::Punt;
    const std::string prompt = std::string("Enter reason to ") + (punt ? "punt " : "ban ") + row.Name +
                               "\r\n\r\nPress cancel to exit";
    // The box takes no more than the announcement has room for on the console line.
    m_dialogs.LimitedInputBox(
        prompt, "", MaxReasonLength(row.Name),
        [this, life = std::weak_ptr<int>(m_life), slot, row, punt](std::optional<std::string> reason) {
            if (life.expired()) return;
            const ActionKind action = punt ? ActionKind::Punt : ActionKind::Ban;
            if (!reason || reason->empty()) return NotSent(action, row.Name, "", false, "no reason given");
            if (!m_rows.HasPlayerRow(row)) {
                m_log.Log((punt ? "Punt of " : "Ban of ") + row.Name + kNotListed);
                return NotSent(action, row.Name, *reason, false, "the player is no longer in the list");
            }
            QueuedPlayer entry{slot, row.Position, row.Name};
            entry.Reason = *reason;
            entry.Who = m_channel.Actor();
            (punt ? m_puntQueue : m_banQueue).push_back(entry);
            m_log.Log("Added player in slot " + row.Slot + " (" + row.Name + ")" +
                      (punt ? " to punt-queue" : " to ban-queue") + ByWhom(entry.Who));
            // The timer runs from the end of the announcement, so that players have time to read it.
            m_channel.SendServerCommand(
                "gtalk", (punt ? "Punting " : "Banning ") + row.Name + ", " + *reason,
                [this, life, entry, punt](SendOutcome outcome) {
                    if (life.expired()) return;
                    // A punt or ban whose reason could not be told is not carried out.
                    if (outcome == SendOutcome::TooLong || outcome == SendOutcome::Cycling) {
                        *entry.Dropped = true;
                        std::erase_if(punt ? m_puntQueue : m_banQueue,
                                      [&](const QueuedPlayer& e) { return e.Dropped == entry.Dropped; });
                        m_log.Log((punt ? "Punt of " : "Ban of ") + entry.Name +
                                  " dropped: its reason could not be announced");
                        return NotSent(punt ? ActionKind::Punt : ActionKind::Ban, entry.Name, entry.Reason, true,
                                       "its reason could not be announced");
                    }
                    StartPuntTimer();
                },
                {}, SendNote{ActionKind::Unnamed, row.Name, *reason});
        });
}

void PuntBan::Punt() {
    Confirm(Removal::Punt);
}
void PuntBan::Ban() {
    Confirm(Removal::Ban);
}
void PuntBan::PuntWithReason() {
    AskReason(Removal::Punt);
}
void PuntBan::BanWithReason() {
    AskReason(Removal::Ban);
}

void PuntBan::Talk() {
    auto selected = SelectedRow(ActionKind::Talk);
    if (!selected) return;
    ListedPlayer row = std::move(selected->second);
    const size_t room =
        ConsoleChannel::kMaxTextLength - std::min(ConsoleChannel::kMaxTextLength, row.Name.size() + 2);
    m_dialogs.LimitedInputBox(
        "Enter text to address to " + row.Name, "", room,
        [this, life = std::weak_ptr<int>(m_life), row](std::optional<std::string> text) {
            if (life.expired()) return;
            if (!text || text->empty()) return NotSent(ActionKind::Talk, row.Name, "", false, "no text given");
            if (!m_rows.HasPlayerRow(row)) {
                m_log.Log("Text to " + row.Name + kNotListed);
                return NotSent(ActionKind::Talk, row.Name, "", false, "the player is no longer in the list");
            }
            m_channel.SendServerCommand("gtalk", row.Name + ", " + *text, {}, {}, SendNote{ActionKind::Talk, row.Name, ""});
        });
}

void PuntBan::StartPuntTimer() {
    // A timer already on keeps its time: it fires 4000 ms after it was first switched on.
    if (m_tmrPunt) return;
    m_tmrPunt = m_scheduler.Schedule(kPuntTimerMs, [this] {
        m_tmrPunt.reset();
        tmrPunt_Timer();
    });
}

void PuntBan::tmrPunt_Timer() {
    if (m_tmrPunt) {
        m_scheduler.Cancel(*m_tmrPunt);
        m_tmrPunt.reset();
    }
    PausePoll();
    // Emptied at once: entries queued while these run wait for the next firing.
    const std::vector<QueuedPlayer> punts = std::exchange(m_puntQueue, {});
    const std::vector<QueuedPlayer> bans = std::exchange(m_banQueue, {});
    auto remaining = std::make_shared<size_t>(punts.size() + bans.size());
    if (*remaining == 0) return ResumePoll();
    auto finished = [this, remaining] {
        if (--*remaining == 0) ResumePoll();
    };
    for (const QueuedPlayer& entry : punts) Remove(Removal::Punt, entry, false, false, finished);
    for (const QueuedPlayer& entry : bans) Remove(Removal::Ban, entry, false, false, finished);
}

void PuntBan::PausePoll() {
    if (m_pollPauses++ == 0) m_poll.SetPollEnabled(false);
}

void PuntBan::ResumePoll() {
    if (m_pollPauses > 0 && --m_pollPauses == 0) m_poll.SetPollEnabled(true);
}

}  // namespace tovi
