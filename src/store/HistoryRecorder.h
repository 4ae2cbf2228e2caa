#pragma once
// Turns what the program sees and does into entries of the record: the poll's ticks (server found
// and lost, state changes, matches starting and ending), the players present at each read, chat
// lines read, console sends with their outcome, and the operator's actions at the window. The
// tick's entries are written together at the end of the tick.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleChannel.h"
#include "HistoryStore.h"
#include "OwnChat.h"
#include "PlayerTable.h"
#include "ServerStatus.h"

namespace tovi {

struct PresentPlayer {
    std::string Name;
    int Slot = -1;
    int Team = 0;
};

class HistoryRecorder {
public:
    using Clock = std::function<int64_t()>;  // Unix seconds
    HistoryRecorder(HistoryStore& store, Clock now) : m_store(&store), m_now(std::move(now)) {}

    void SetStore(HistoryStore& store) { m_store = &store; }
    HistoryStore& Store() { return *m_store; }
    // A match of the record is under way: begun, not yet ended.
    bool MatchOpen() const { return m_matchOpen; }

    // The end of a poll tick: `attached` whether the game was there. Writes the tick's entries.
    void TickDone(bool attached, const ServerStatus& status, const PlayerTable& players);
    // The players present after a player read.
    void PlayersRead(const std::vector<PresentPlayer>& present);
    // A match end's statistics: written or not, and why not; the result byte as read, when it was.
    void StatsWritten(bool written, const std::string& why, std::optional<uint8_t> result = std::nullopt);
    // The service confirmed this many of the oldest matches not yet uploaded.
    void StatsUploaded(int matches) { m_store->StatsUploaded(m_now(), matches); }
    // This many of the oldest matches whose statistics waited in memory reached the stats file.
    void StatsSavedLater(int matches) { m_store->StatsSavedLater(matches); }
    // A line read; the program's own chat read back is kept once, as sent, and not again: the line
    // sent keeps when it was seen.
    void ChatRead(const std::string& sender, const std::string& message);
    void SendFinished(const FinishedSend& send);
    // A menu action that ended before anything was sent.
    void ActionNotSent(const UnsentAction& action);
    // An action of the operator that is no console send (settings saved, the match clock moved).
    void WindowAction(ActionKind action, const std::string& detail, bool done,
                      const std::string& why = "", const std::string& who = "");
    void ServerEvent(const std::string& kind, const std::string& detail);
    // Any admin action, as the record keeps it; the observer learns of each.
    void ActionDone(const AdminAction& action);
    void SetActionObserver(std::function<void(const AdminAction&)> observer) { m_observer = std::move(observer); }

private:
    void StartMatch(const ServerStatus& status);
    void EndMatch(const ServerStatus& status, const PlayerTable& players);
    // The server went away during the match: it ends there, without result or statistics.
    void LoseMatch(const ServerStatus& status);
    void MatchClosed();

    HistoryStore* m_store;
    Clock m_now;
    std::optional<bool> m_attached;
    std::optional<uint8_t> m_state;
    bool m_matchOpen = false;
    std::optional<std::pair<bool, std::string>> m_stats;  // the match end's statistics outcome
    std::optional<uint8_t> m_result;                      // the match end's result byte
    std::map<std::string, PresentPlayer> m_present;       // by name as read
    std::function<void(const AdminAction&)> m_observer;
    OwnChat m_ownChat;
};

}  // namespace tovi
