#pragma once
// What the web panel reads from the running program and asks it to do. The program implements
// this over its service; tests implement it with a fake. Texts from the game (server and map
// names, player names, chat, ban reasons) are the game's bytes (Windows-1252), as everywhere in
// the core; the panel converts them for the browser. Times are Unix seconds.
//
// Every action names the account that asks for it (`who`), so that the program records it in
// the audit log; the panel has already checked that the account's role allows it.
#include <cstdint>
#include <string>
#include <vector>

#include "BanList.h"
#include "HistoryStore.h"

namespace tovi {

struct PanelStatus {
    bool Attached = false;  // a game server is found and read
    std::string ServerName, MapName;
    std::string State;  // "playing", "ended", ...: as the window shows it
    std::string Clock;  // the match clock as the window shows it, e.g. "12:34"
    int Players = 0, MaxPlayers = 0;
    int64_t LastReport = 0;  // 0: none yet
    std::string LastReportOutcome;
    int64_t LastUpload = 0;
    std::string LastUploadOutcome;
};

struct PanelPlayer {
    int Slot = 0;  // the game's slot: actions name it with the name, so that a slot taken by
                   // someone else in between is not acted on
    std::string Name;
    int Team = 0;
    int Kills = 0, Deaths = 0, Ping = 0;
};

struct PanelChatLine {
    int64_t Time = 0;
    std::string Sender;  // for a line sent from the program: whom it was sent to, or empty
    std::string Text;
    bool Sent = false;  // sent by the program, not read from the game
};

struct PanelAutoMessages {
    bool Enabled = false;
    int IntervalMinutes = 0;
    std::vector<std::string> Lines;
};

// What an action came to: refused (Ok false) with words for the person who asked.
struct PanelResult {
    bool Ok = true;
    std::string Why;
};

// Told of changes as they happen; the panel pushes them to the browsers.
class PanelListener {
public:
    virtual ~PanelListener() = default;
    virtual void PlayersChanged() = 0;
    virtual void StatusChanged() = 0;
    virtual void ChatLineAdded(const PanelChatLine& line) = 0;
    virtual void AdminActionDone(const AdminAction& action) = 0;
};

class PanelBackend {
public:
    virtual ~PanelBackend() = default;

    virtual PanelStatus Status() = 0;
    virtual std::vector<PanelPlayer> Players() = 0;
    virtual std::vector<PanelChatLine> RecentChat(int maxLines) = 0;  // oldest first
    virtual std::vector<BanEntry> Bans() = 0;
    // The record; the audit log is its admin actions (HistoryKind::Admin).
    virtual std::vector<HistoryRow> SearchHistory(const HistoryQuery& query) = 0;
    virtual PanelAutoMessages AutoMessages() = 0;

    virtual PanelResult Chat(const std::string& who, const std::string& text) = 0;
    virtual PanelResult Command(const std::string& who, const std::string& line) = 0;
    virtual PanelResult Talk(const std::string& who, int slot, const std::string& name,
                             const std::string& text) = 0;
    virtual PanelResult Warn(const std::string& who, int slot, const std::string& name,
                             const std::string& text) = 0;
    virtual PanelResult Punt(const std::string& who, int slot, const std::string& name,
                             const std::string& reason) = 0;
    // `seconds` 0: for good.
    virtual PanelResult Ban(const std::string& who, const std::string& name, const std::string& reason,
                            int64_t seconds) = 0;
    virtual PanelResult LiftBan(const std::string& who, int64_t banId, const std::string& reason) = 0;
    // A minute more (true) or less on the match clock.
    virtual PanelResult MatchTime(const std::string& who, bool more) = 0;
    virtual PanelResult ResetGames(const std::string& who) = 0;
    virtual PanelResult SetAutoMessages(const std::string& who, const PanelAutoMessages& messages) = 0;

    // One listener at a time; null stops the calls.
    virtual void SetListener(PanelListener* listener) = 0;
};

}  // namespace tovi
