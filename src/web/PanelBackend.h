#pragma once
// What the web panel reads from the running program and asks it to do. The program implements
// this over its service; tests implement it with a fake. Texts from the game (server and map
// names, player names, chat, ban reasons) are the game's bytes (Windows-1252), as everywhere in
// the core; the panel converts them for the browser. Times are Unix seconds.
//
// Every action names the account that asks for it (`who`), so that the program records it in
// the audit log, and carries its role, which the program checks the action against (the panel
// refuses what the role never allows before it asks).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AccountStore.h"
#include "BanList.h"
#include "HistoryStore.h"
#include "NoticeSettings.h"

class QObject;

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
    // Where this run keeps its record: the shared database's connection string, a secret the panel
    // masks; empty for the local file.
    std::string Store;
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
    // For a line sent: who sent it, in words (an account, the operator at the window, the program).
    std::string By = {};
};

struct PanelAutoMessages {
    bool Enabled = false;
    int IntervalMinutes = 0;
    std::vector<std::string> Lines;
};

// The Settings tab's values, grouped as its save buttons save them. Secrets (the server code,
// the shared store's connection string, the notice addresses and the webhook's key) are here in
// full: the panel masks them.
struct PanelStatusSettings {
    std::string ServerCode, UpdateURL, ImportURL;
};
struct PanelOtherSettings {
    bool ScoringTimeOn = false;
    int ScoringSeconds = 25;
    bool DisplayNextMap = false;
    bool KeepArchive = false;
    int MinPlayers = 0;
    int HistoryDays = 0;  // 0: for ever
    // The record's store: the shared database's connection string (a secret), empty for the local
    // file; in use from the next start. In a change, none keeps the one saved.
    std::optional<std::string> SharedStore;
    // The line at every third match end (Windows-1252, empty: the program's own); in a change,
    // none keeps the one saved.
    std::optional<bool> PeriodicChatOn;
    std::optional<std::string> PeriodicChatText;
};
struct PanelBanSettings {
    std::string Presets;  // as the window's box: one "7d Cheating" a line (CR LF)
    bool WarningsOn = false;
    std::string WarningSteps;  // "2 punt, 3 ban 1d"
    int WarningWindowMinutes = 0;
};
struct PanelSettings {
    PanelStatusSettings Status;
    PanelOtherSettings Other;
    NoticeSettings Notices;
    PanelBanSettings Bans;
};
// The groups to save; each one given is checked and saved as its save button would.
struct PanelSettingsChange {
    std::optional<PanelStatusSettings> Status;
    std::optional<PanelOtherSettings> Other;
    std::optional<NoticeSettings> Notices;
    std::optional<PanelBanSettings> Bans;
};

// One game server whose record the panel can show: this program's own, or another of the community
// sharing its store. The code is the one the stats service knows the server by, a secret: it never
// leaves the program.
struct PanelServer {
    std::string Code;
    std::string Name;  // as its newest match recorded it; may be empty
    bool Own = false;
};

// Who asks for an action: the account's name and role.
struct PanelActor {
    std::string Name;
    Role AccountRole = Role::Viewer;
};

// What an action came to: refused (Ok false) with words for the person who asked. An action
// that needs a yes first names the question; asked again with the answer, it goes ahead.
struct PanelResult {
    bool Ok = true;
    std::string Why;
    std::string Question;
    bool Forbidden = false;  // refused because the account's role does not allow it
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
    // Oldest first; the program's own lines once, as sent (their read-back is not a line of its own).
    virtual std::vector<PanelChatLine> RecentChat(int maxLines) = 0;
    virtual std::vector<BanEntry> Bans() = 0;
    // The record; the audit log is its admin actions (HistoryKind::Admin). `query.Server` is one
    // of Servers()' codes, or empty for this server's own.
    virtual HistoryResult SearchHistory(const HistoryQuery& query) = 0;
    // The same search answered later, on the event loop, so that a large record never holds it;
    // `done` runs only while `asker` stands. A backend without a reader of its own answers at once.
    virtual void SearchHistoryLater(const HistoryQuery& query, QObject* asker,
                                    std::function<void(HistoryResult)> done) {
        (void)asker;
        done(SearchHistory(query));
    }
    // The servers whose record can be shown, this one first: only this one unless the store is
    // shared.
    virtual std::vector<PanelServer> Servers() = 0;
    virtual PanelAutoMessages AutoMessages() = 0;
    virtual PanelSettings Settings() = 0;
    // The players on the server from `from` on, as the record counts them (the chart); `server`
    // as in SearchHistory.
    virtual PlayerActivity Activity(int64_t from, const std::string& server) = 0;
    // The same answered later, as SearchHistoryLater answers.
    virtual void ActivityLater(int64_t from, const std::string& server, QObject* asker,
                               std::function<void(PlayerActivity)> done) {
        (void)asker;
        done(Activity(from, server));
    }

    virtual PanelResult Chat(const PanelActor& who, const std::string& text) = 0;
    virtual PanelResult Command(const PanelActor& who, const std::string& line) = 0;
    virtual PanelResult Talk(const PanelActor& who, int slot, const std::string& name,
                             const std::string& text) = 0;
    virtual PanelResult Warn(const PanelActor& who, int slot, const std::string& name,
                             const std::string& text) = 0;
    virtual PanelResult Punt(const PanelActor& who, int slot, const std::string& name,
                             const std::string& reason) = 0;
    // `seconds` 0: for good.
    virtual PanelResult Ban(const PanelActor& who, const std::string& name, const std::string& reason,
                            int64_t seconds) = 0;
    virtual PanelResult LiftBan(const PanelActor& who, int64_t banId, const std::string& reason) = 0;
    // A ban's reason and time left from now (`seconds` 0: for good).
    virtual PanelResult EditBan(const PanelActor& who, int64_t banId, const std::string& reason,
                                int64_t seconds) = 0;
    // The ban list in its CSV form (UTF-8): all of the file's entries or none.
    virtual PanelResult ImportBans(const std::string& who, const std::string& csv) = 0;
    virtual PanelResult ExportBans(const std::string& who, std::string& csv) = 0;
    // A minute more (true) or less on the match clock. `confirmed` answers the question an
    // action asks first (a minute less that ends the match, resetting the games).
    virtual PanelResult MatchTime(const PanelActor& who, bool more, bool confirmed) = 0;
    virtual PanelResult ResetGames(const PanelActor& who, bool confirmed) = 0;
    virtual PanelResult SetAutoMessages(const std::string& who, const PanelAutoMessages& messages) = 0;
    virtual PanelResult SaveSettings(const std::string& who, const PanelSettingsChange& change) = 0;
    // A login to the panel or a logout, for the audit log: `address` is the browser's; `why` says
    // why a login was refused (empty: it was not).
    virtual void RecordLogin(const std::string& who, ActionKind action, const std::string& address,
                             const std::string& why) = 0;

    // One listener at a time; null stops the calls.
    virtual void SetListener(PanelListener* listener) = 0;
};

}  // namespace tovi
