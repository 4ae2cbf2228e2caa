#include "PuntBan.h"

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

void PuntBan::PuntPlayer(uint8_t Slot, std::string PlayerName, bool Announce, bool PausePoll) {
    Remove(Removal::Punt, Slot, std::move(PlayerName), Announce, PausePoll, {});
}

void PuntBan::BanPlayer(uint8_t Slot, std::string PlayerName, bool Announce, bool PausePoll) {
    Remove(Removal::Ban, Slot, std::move(PlayerName), Announce, PausePoll, {});
}

bool PuntBan::SlotHolds(uint8_t slot, const std::string& name) {
    const auto first = static_cast<uint32_t>(m_memory.ReadDWord(game::kSlotTablePointer));
    if (first == 0) return false;
    const uint32_t address = first + static_cast<uint32_t>(slot) * game::kSlotStride + game::slot::kName;
    const std::string read =
        CutAtNull(m_memory.ReadMemory(address, static_cast<int16_t>(game::slot::kNameLength)));
    const std::string_view held = TrimSpaces(read);
    // A free slot holds nobody, whatever name was asked for.
    return !held.empty() && held == TrimSpaces(name);
}

void PuntBan::Remove(Removal kind, uint8_t slot, std::string name, bool announce, bool pausePoll,
                     std::function<void()> finished) {
    if (pausePoll) PausePoll();
    const bool punt = kind == Removal::Punt;
    const std::string slotText = std::to_string(slot);
    const std::weak_ptr<int> life = m_life;
    // Once the slot is found to hold someone else, the rest of the action is dropped, logged once.
    auto gone = std::make_shared<bool>(false);
    ConsoleChannel::Check stillThere = [this, life, gone, slot, name, punt, slotText] {
        if (life.expired() || *gone) return false;
        if (SlotHolds(slot, name)) return true;
        *gone = true;
        m_log.Log(std::string(punt ? "Punt of " : "Ban of ") + name + " skipped: slot " + slotText +
                  " no longer holds that player");
        return false;
    };

    if (announce) {
        m_channel.SendServerCommand(
            "gtalk",
            name + (punt ? " has been punted from this server" : " has been banned from this server"), {},
            stillThere);
    }
    m_channel.SendServerCommand(
        "command", (punt ? "punt " : "ban ") + slotText,
        [this, life, punt, slotText, pausePoll, finished = std::move(finished)](SendOutcome outcome) {
            if (life.expired()) return;
            // Logged after the send, whether it went through or not; its own failure line comes first.
            if (outcome != SendOutcome::Skipped) {
                m_log.Log((punt ? "Punting player in slot " : "Banning player in slot ") + slotText);
            }
            if (pausePoll) ResumePoll();
            if (finished) finished();
        },
        stillThere);
}

std::optional<std::pair<uint8_t, ListedPlayer>> PuntBan::SelectedRow() {
    std::optional<ListedPlayer> row = m_rows.SelectedPlayer();
    if (!row) return std::nullopt;
    const std::optional<uint8_t> slot = SlotNumber(row->Slot);
    if (!slot) return std::nullopt;
    return std::make_pair(*slot, std::move(*row));
}

void PuntBan::Confirm(Removal kind) {
    auto selected = SelectedRow();
    if (!selected) return;
    const uint8_t slot = selected->first;
    const ListedPlayer row = std::move(selected->second);
    const bool punt = kind == Removal::Punt;
    m_dialogs.Ask(std::string("Are you sure you want to ") + (punt ? "punt " : "ban ") + row.Name + "?",
                  [this, life = std::weak_ptr<int>(m_life), kind, slot, row, punt](bool yes) {
                      if (life.expired() || !yes) return;
                      // The poll may have rebuilt the list while the question was open.
                      if (!m_rows.HasPlayerRow(row.Slot, row.Name)) {
                          m_log.Log((punt ? "Punt of " : "Ban of ") + row.Name + kNotListed);
                          return;
                      }
                      Remove(kind, slot, row.Name, true, true, {});
                  });
}

void PuntBan::AskReason(Removal kind) {
    auto selected = SelectedRow();
    if (!selected) return;
    const uint8_t slot = selected->first;
    const ListedPlayer row = std::move(selected->second);
    const bool punt = kind == Removal::Punt;
    const std::string prompt = std::string("Enter reason to ") + (punt ? "punt " : "ban ") + row.Name +
                               "\r\n\r\nPress cancel to exit";
    m_dialogs.InputBox(
        prompt, "",
        [this, life = std::weak_ptr<int>(m_life), slot, row, punt](std::optional<std::string> reason) {
            if (life.expired() || !reason || reason->empty()) return;
            if (!m_rows.HasPlayerRow(row.Slot, row.Name)) {
                m_log.Log((punt ? "Punt of " : "Ban of ") + row.Name + kNotListed);
                return;
            }
            (punt ? m_puntQueue : m_banQueue).push_back(QueuedPlayer{slot, row.Name});
            m_log.Log("Added player in slot " + row.Slot + (punt ? " to punt-queue" : " to ban-queue"));
            // The timer runs from the end of the announcement, so that players have time to read it.
            m_channel.SendServerCommand("gtalk", (punt ? "Punting " : "Banning ") + row.Name + ", " + *reason,
                                        [this, life](SendOutcome) {
                                            if (!life.expired()) StartPuntTimer();
                                        });
        });
}

void PuntBan::mnuPlayersPunt_Click() {
    Confirm(Removal::Punt);
}
void PuntBan::mnuPlayersBan_Click() {
    Confirm(Removal::Ban);
}
void PuntBan::mnuPlayersPuntReason_Click() {
    AskReason(Removal::Punt);
}
void PuntBan::mnuPlayersBanReason_Click() {
    AskReason(Removal::Ban);
}

void PuntBan::mnuPlayersTalk_Click() {
    auto selected = SelectedRow();
    if (!selected) return;
    ListedPlayer row = std::move(selected->second);
    m_dialogs.InputBox("Enter text to address to " + row.Name, "",
                       [this, life = std::weak_ptr<int>(m_life), row](std::optional<std::string> text) {
                           if (life.expired() || !text || text->empty()) return;
                           if (!m_rows.HasPlayerRow(row.Slot, row.Name)) {
                               m_log.Log("Text to " + row.Name + kNotListed);
                               return;
                           }
                           m_channel.SendServerCommand("gtalk", row.Name + ", " + *text);
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
    for (const QueuedPlayer& entry : punts)
        Remove(Removal::Punt, entry.Slot, entry.Name, false, false, finished);
    for (const QueuedPlayer& entry : bans)
        Remove(Removal::Ban, entry.Slot, entry.Name, false, false, finished);
}

void PuntBan::PausePoll() {
    if (m_pollPauses++ == 0) m_poll.SetPollEnabled(false);
}

void PuntBan::ResumePoll() {
    if (m_pollPauses > 0 && --m_pollPauses == 0) m_poll.SetPollEnabled(true);
}

}  // namespace tovi
