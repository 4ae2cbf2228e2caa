#pragma once
// The player menu's actions on a row of lstPlayers: talk to the player, punt or ban at once after
// a question, or announce a reason and punt or ban from a queue when tmrPunt fires 4000 ms later.
// Every punt and ban first checks that the slot still holds the player it was meant for, and
// goes out only when the announcement before it was not refused.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "LogSink.h"
#include "MemoryClass.h"
#include "Scheduler.h"

namespace tovi {

// A row of lstPlayers as the player menu sees it: the text of its Slot and Player columns, and
// where the slot lies in the game's slot table.
struct ListedPlayer {
    std::string Slot;
    std::string Name;
    int Position = -1;
    bool operator==(const ListedPlayer&) const = default;
};

// What the player menu needs of lstPlayers. PlayerListLookup answers it from the list itself.
class PlayerRowLookup {
public:
    virtual ~PlayerRowLookup() = default;
    // The selected row; nothing when no row is selected.
    virtual std::optional<ListedPlayer> SelectedPlayer() = 0;
    // Whether some row still shows this player in this slot (the poll rebuilds the list).
    virtual bool HasPlayerRow(const ListedPlayer& player) = 0;
};

// The poll timer `Timer` of the main window.
class PollTimer {
public:
    virtual ~PollTimer() = default;
    virtual void SetPollEnabled(bool enabled) = 0;
};

// A punt or ban to carry out: the game's number for the slot, which the command names; where the
// slot lies in the game's slot table, which the check before the command reads; and the name of
// the player it is meant for.
struct QueuedPlayer {
    uint8_t Slot = 0;
    int Position = -1;
    std::string Name;
    // Set once the punt or ban is dropped; its command then stays unsent.
    std::shared_ptr<bool> Dropped = std::make_shared<bool>(false);
    std::string Reason = {};  // as announced, for the record
    // For the record: what the command is called there (Punt or Ban when Unnamed), and whether
    // the program did it on its own rather than the operator.
    ActionKind Action = ActionKind::Unnamed;
    bool Automatic = false;
    // Who asked for it, for the record: the queue is sent later, when nobody acts any more.
    std::string Who = {};
};

class PuntBan {
public:
    PuntBan(MemoryClass& memory, ConsoleChannel& channel, Scheduler& scheduler, LogSink& log,
            Dialogs& dialogs, PlayerRowLookup& rows, PollTimer& poll);
    // Switches tmrPunt off. Questions still open and sends still queued for it then do nothing.
    ~PuntBan();
    PuntBan(const PuntBan&) = delete;
    PuntBan& operator=(const PuntBan&) = delete;

    // Announce: tell all players first. PausePoll: the poll timer stays off until the command's
    // send has ended. The command is skipped, and so logged, when the slot at Position no longer
    // holds PlayerName by the time it is sent, or the announcement was refused.
    void PuntPlayer(uint8_t Slot, int Position, std::string PlayerName, bool Announce, bool PausePoll);
    void BanPlayer(uint8_t Slot, int Position, std::string PlayerName, bool Announce, bool PausePoll);

    // A punt the program carries out by itself (the ban list, the warning ladder): no
    // announcement, the poll keeps running, the same slot check. `finished` runs once it has ended.
    void PuntQueued(QueuedPlayer target, std::function<void()> finished);

    // Told of every menu action that ends before anything is sent, with why.
    void SetObserver(std::function<void(const UnsentAction&)> observer) { m_unsent = std::move(observer); }

    void Punt();
    void Ban();
    void PuntWithReason();
    void BanWithReason();
    void Talk();
    void tmrPunt_Timer();

    // The longest reason whose announcement for this name fits the console line.
    static size_t MaxReasonLength(const std::string& name);

    const std::vector<QueuedPlayer>& PuntQueue() const { return m_puntQueue; }
    const std::vector<QueuedPlayer>& BanQueue() const { return m_banQueue; }
    bool PuntTimerOn() const { return m_tmrPunt.has_value(); }

    static constexpr int kPuntTimerMs = 4000;

private:
    enum class Removal { Punt, Ban };

    enum class SlotCheck { Holds, OtherPlayer, Unreadable, GameGone };

    void Remove(Removal kind, QueuedPlayer target, bool announce, bool pausePoll,
                std::function<void()> finished);
    void Confirm(Removal kind);
    void AskReason(Removal kind);
    SlotCheck CheckSlot(int position, const std::string& name);
    void PausePoll();
    void ResumePoll();
    void StartPuntTimer();
    // The selected row with its slot as a number; nothing when no row, no slot number or no place,
    // which the record learns as `action` refused.
    std::optional<std::pair<uint8_t, ListedPlayer>> SelectedRow(ActionKind action);
    void NotSent(ActionKind action, const std::string& target, const std::string& reason,
                 bool refused, const std::string& why);

    MemoryClass& m_memory;
    ConsoleChannel& m_channel;
    Scheduler& m_scheduler;
    LogSink& m_log;
    Dialogs& m_dialogs;
    PlayerRowLookup& m_rows;
    PollTimer& m_poll;
    std::vector<QueuedPlayer> m_puntQueue;
    std::vector<QueuedPlayer> m_banQueue;
    std::optional<Scheduler::TimerId> m_tmrPunt;
    std::function<void(const UnsentAction&)> m_unsent;
    // Confirmed actions and the punt timer's work can overlap; the poll restarts when the last ends.
    int m_pollPauses = 0;
    // Callbacks from dialogs and sends hold this weakly, to do nothing once this object is gone.
    std::shared_ptr<int> m_life = std::make_shared<int>(0);
};

// The slot number a Slot cell shows: decimal, 0 to 255.
std::optional<uint8_t> SlotNumber(const std::string& slotText);

}  // namespace tovi
