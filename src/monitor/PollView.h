#pragma once
// What the poll needs of the main window (PollView) and of the parts of the program that it
// hands work to (PollHooks). The window implements the first; later parts fill in the second.
#include <cstdint>
#include <optional>
#include <string>

namespace tovi {

// The controls whose availability follows the server's state.
enum class ServerControl { txtType, cmdSendText, cmdHide, cmdShow, cmdMapResetGames, cmdGameTimeInc, cmdGameTimeDec };

// The status labels the poll fills.
enum class StatusLabel { lblServerName, lblCurrentMap, lblServerMessage, lblCountryCode, lblDedicated, lblHostplayer, lblGameTime };

// The two pictures of the tray icon.
enum class TrayPicture { Hosting, Idle };

class PollView {
public:
    virtual ~PollView() = default;

    // Operator choices that live in controls, read at the moment of use.
    // chkUseDefaultWindow ticked: follow the process picked from the server list.
    virtual bool UseTrackedProcess() = 0;
    // chkScoringTime ticked, and the seconds of UpDown1.
    virtual bool ScoringTimeOn() = 0;
    virtual int ScoringSeconds() = 0;
    // The text of txtMinPlayers as typed.
    virtual std::string MinPlayersText() = 0;
    // slideAutoMes enabled, and its value in minutes.
    virtual bool AutoMessagesOn() = 0;
    virtual int AutoMessageMinutes() = 0;

    // What the poll shows. Texts are single-byte (Windows-1252) as read from the game.
    virtual void SetPanel(int panel, const std::string& text) = 0;  // panels 1 to 4 of StatusBar
    virtual void SetLabel(StatusLabel label, const std::string& text) = 0;
    virtual void SetControlEnabled(ServerControl control, bool enabled) = 0;
    virtual void SetTrayPicture(TrayPicture picture) = 0;
    // Renews the tray icon's tip and hands it the picture selected last.
    virtual void UpdateTray(const std::string& tip) = 0;
    virtual void ClearLog() = 0;         // txtLog
    virtual void ClearDebugLog() = 0;    // txtDebugLog
    virtual void ClearChatInput() = 0;   // txtType
    virtual void ClearPlayerList() = 0;  // lstPlayers
    virtual void ClearPublicChat() = 0;  // lstChatMes 1
};

// Work the poll hands on. Each does nothing until the part that owns it is built.
class PollHooks {
public:
    virtual ~PollHooks() = default;
    // Every record of the player table is removed (a new map cycle begins).
    virtual void ClearPlayerTable() {}
    virtual void ReadPlayers(bool /*Dedicated*/, uint8_t /*MaxPlayers*/) {}
    // The names in the slots alone, on the hosting ticks between two player reads.
    virtual void ReadNames(bool /*Dedicated*/, uint8_t /*MaxPlayers*/) {}
    virtual void ReadChat() {}
    virtual void SendNextAutoMessage() {}
    virtual void SendStatusReport() {}
    // The match's statistics: `upload` asks for the upload afterwards; no result byte when it
    // could not be read.
    virtual void WriteStats(bool /*upload*/, std::optional<uint8_t> /*resultByte*/, int32_t /*pollTicks*/) {}
    // The score screen was just seen and the match counts: its statistics as last read go to disk
    // now, for WriteStats to complete after the pause.
    virtual void MatchEnding(int32_t /*pollTicks*/) {}
    // A line for the activity log, txtLog.
    virtual void Log(const std::string& /*message*/) {}
    // PeriodicChatText to all players, at every third match end.
    virtual void SendPeriodicChat() {}
    // The tick's last step has run; `attached` whether the game's server was there.
    virtual void TickFinished(bool /*attached*/) {}
};

}  // namespace tovi
