#pragma once
// The running program without a face: the poll and what it reads, the console channel, punt and
// ban, the ban list and its enforcement, automatic messages, match time, the stats file and the
// web reporting, the record and the notices, and the timers that drive them. The window, the web
// panel and the headless mode all show it through its signals and read accessors, and act through
// its action methods, each of which names who acts so that the record keeps it.
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ActionContext.h"
#include "ActionOrder.h"
#include "AutoMessages.h"
#include "BanEnforcer.h"
#include "BanList.h"
#include "BanSettings.h"
#include "ChatReader.h"
#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "FileWork.h"
#include "HistoryReader.h"
#include "HistoryRecorder.h"
#include "HistoryRetention.h"
#include "HistoryStore.h"
#include "HttpClient.h"
#include "ListModels.h"
#include "LogSink.h"
#include "MatchTime.h"
#include "MemoryClass.h"
#include "NoticeSettings.h"
#include "PlayerListLookup.h"
#include "PlayerReader.h"
#include "PlayerTable.h"
#include "PollCycle.h"
#include "PollView.h"
#include "PuntBan.h"
#include "Scheduler.h"
#include "ServerList.h"
#include "ServerStatus.h"
#include "ServiceView.h"
#include "SettingsFile.h"
#include "SharedBanWatcher.h"
#include "StatsFile.h"
#include "TimeOfDay.h"
#include "WebReporter.h"

namespace tovi {

class NoticeService;
class PgBanStore;
class PgHistoryStore;
struct StoreChoice;

// The operator's settings as their save buttons keep them.
enum class SettingsGroup { Server, Other, AutoMessages, Bans, Notices };

// How a status report or a stats upload last ended.
struct TransferOutcome {
    int64_t Time = 0;  // seconds since the epoch; 0: none yet
    bool Confirmed = false;
    std::string Why;  // why not confirmed
};

// The game server as every face shows it, as of the last tick.
struct ServerSnapshot {
    enum class Phase { None, Loading, Waiting, Hosting, Scoring };
    bool Ticked = false;  // a tick has run
    bool Found = false;   // the game server was found and read
    Phase State = Phase::None;
    std::optional<int32_t> ClockSeconds;  // the match clock; none without a server
    TransferOutcome LastReport, LastUpload;
    bool AccessRefused = false;  // found, but reading its memory was refused
    bool ConsoleReady = false;   // it takes console commands now
    // Matches the stats service refused for good in this run, set aside; the last one's reason.
    int RejectedMatches = 0;
    std::string LastRejection;
};

// An operator action as a face hands it in: who acts, on which player, and the answers to the
// questions the action asks. Questions left unanswered go to the face's dialogs.
struct ActionRequest {
    std::string Actor = kOperatorAtWindow;
    // The player the action is for; none: the player selected in the face's list.
    std::optional<ListedPlayer> Player = {};
    // Answers to the action's yes/no questions, in the order asked.
    std::deque<bool> Answers = {};
    // Texts for its input boxes, in the order asked (a reason, a duration, what to tell a player).
    std::deque<std::string> Inputs = {};
};

class Service : public QObject,
                public PollView,
                public PollHooks,
                public AutoMessageView,
                public LogSink,
                public PollTimer,
                public SettingsWriter {
    Q_OBJECT
public:
    // `dialogs` are the face's; `http` carries the status report and the stats upload.
    // `fileWork` takes the stats files' durable writes off the event loop; without one they are
    // made at once, as the tests of a virtual clock need.
    Service(MemoryClass& memory, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http, QString dataDir,
            QObject* parent = nullptr, std::unique_ptr<FileWork> fileWork = nullptr);
    ~Service() override;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    static constexpr int kMaxHistoryDays = kHistoryDays.max;

    // The face that shows the poll as it happens; none: nothing is shown.
    void SetView(ServiceView* view);

    // ---- start and stop --------------------------------------------------------------------
    // The record, the ban list and the notices' queue in tovistats.db of the data folder; without
    // it the program runs on without them and says why.
    void OpenRecord();
    void UseHistory(std::unique_ptr<HistoryStore> store);
    // Says once, loudly, when another live copy holds this server code in the shared database.
    void CheckServerCode();
    static constexpr int kBanRereadMs = SharedBanWatcher::kRereadMs;
    void UseBanStore(std::unique_ptr<BanStore> store);
    // The start-up steps: a blank status, the settings and automatic messages, the stats left
    // from last time, the poll timer, the record's retention.
    void Load();
    // The shutdown steps: the game window shown again, the poll and the retention stopped.
    void Stop();
    // One tick of the poll (the poll timer's).
    void Timer_Timer();

    // ---- what a face reads -----------------------------------------------------------------
    const ServerSnapshot& Snapshot() const { return m_snapshot; }
    ServerStatus& Status() { return m_status; }
    PlayerTable& Players() { return m_playerTable; }
    // The player list as shown: slot, name, ping, team, counters, and where the slot lies.
    const std::vector<PlayerRow>& PlayerRows() const { return m_playerList.Rows(); }
    // The public chat, newest line first.
    const std::deque<ChatRow>& RecentChat() const { return m_chatList.Rows(); }
    BanList& Bans() { return m_banList; }
    HistoryStore& History() { return m_history.Store(); }
    // The operator's reads of the record, away from the event loop when the record allows.
    HistoryReader& Reader() { return m_reader; }
    // "hh:mm:ss" local time now, for the lines the faces stamp.
    std::string TimeOfDayNow() const { return m_timeOfDay.Now(); }
    HistoryRecorder& Recorder() { return m_history; }
    // What the poll shows now: a status label, a status bar panel (1 to 4), the tray's tip.
    std::string LabelText(StatusLabel label) const;
    std::string PanelText(int panel) const;
    const std::string& TrayTip() const { return m_trayTip; }
    // Whether a record was opened; without one nothing is kept.
    bool HistoryKept() const { return m_historyKept; }
    // ---- the operator's settings ------------------------------------------------------------
    // The server values in use: as saved.
    const Settings& CurrentSettings() const { return m_settings; }
    // The other settings and the automatic messages' switch and interval are in effect as soon as
    // a face changes them; the Saved ones are what settings.ini holds.
    const OtherSettings& Other() const { return m_other; }
    const OtherSettings& SavedOther() const { return m_savedOther; }
    const AutoMessageSettings& AutoMessageChoice() const { return m_autoMessageChoice; }
    int SavedAutoMessageMinutes() const { return m_savedAutoMessageMinutes; }
    // The automatic messages as automessages.txt holds them, lines ending in CR LF.
    const std::string& AutoMessageText() const { return m_autoMessageText; }
    BanSettings BanSettingsInUse() const;
    // Puts other settings in effect without saving them; values out of range are refused (false).
    bool SetOther(const OtherSettings& other);
    void SetAutoMessageMinutes(int minutes);
    // Whether the poll follows the game server picked from the list rather than the default caption.
    void SetFollowPickedServer(bool follow) { m_followPicked = follow; }
    MemoryClass& Memory() { return m_memory; }
    WebReporter& Reporter() { return *m_reporter; }
    StatsFile& Stats() { return *m_statsFile; }
    PollCycle& Poll() { return m_poll; }
    ConsoleChannel& Channel() { return *m_channel; }
    PuntBan& Punts() { return *m_puntBan; }
    BanEnforcer& Enforcer() { return *m_banEnforcer; }
    BanActions& BanMenu() { return *m_banActions; }
    NoticeService& Notices() { return *m_notices; }
    SettingsFile& SettingsStore() { return *m_settingsFile; }
    Dialogs& ServiceDialogs();
    Scheduler& Clock() { return m_scheduler; }
    // The line said at every third match end when the operator gives none.
    const std::string& DefaultPeriodicChatText() const { return m_periodicChatText; }
    const QString& DataDir() const { return m_dataDir; }
    QTimer& PollTimerObject() { return *m_timer; }
    // The record's store as settings.ini holds it (a connection string, a secret; empty: the local
    // file).
    const std::string& SavedSharedStore() const { return m_savedOther.SharedStore; }
    // The store this run keeps its record in: a change to the settings takes effect at the next start.
    const std::string& SharedStoreInUse() const { return m_storeInUse; }
    // The server code this server's rows are kept under. A shared record keeps the code it was
    // opened with until the program starts again, whatever is saved meanwhile.
    std::string OwnServerCode() const { return m_recordServerCode ? *m_recordServerCode : m_settings.ServerCode; }

    // ---- operator actions ------------------------------------------------------------------
    using UnattendedOutcome = tovi::UnattendedOutcome;
    // Runs `action` for someone away from the desktop (the web panel), as ActionContext says.
    UnattendedOutcome RunUnattended(const std::function<void()>& action, std::deque<bool> answers = {}) {
        return m_context->RunUnattended(action, std::move(answers));
    }

    // Every order of every face: checked by the same rules whoever gives it, refused with the
    // reason recorded, or carried out in the actor's name (see ActionOrder).
    ActionResult Act(ActionOrder order);
    // A moderator's bans last at most this long (the web panel's setting).
    void SetModeratorBanSeconds(int64_t seconds) { m_moderatorBanSeconds = seconds; }
    int64_t ModeratorBanSeconds() const { return m_moderatorBanSeconds; }
    // Lists a ban by name for `seconds` from now (0: for good); enforced at once on the players
    // present whom it names.
    bool AddBan(const std::string& name, const std::string& reason, int64_t seconds,
                const std::string& actor = kOperatorAtWindow);
    // The same with the entry's letter case rule and notes besides its name and reason.
    bool AddBan(const BanEntry& written, int64_t seconds, const std::string& actor = kOperatorAtWindow);
    // Lifts a ban of the list; false, with the operator told why, when it could not be.
    bool LiftBan(int64_t id, const std::string& reason, const std::string& actor = kOperatorAtWindow);
    // The operator switched the automatic messages on or off: in effect at once.
    void SwitchAutoMessages(bool on, const std::string& actor = kOperatorAtWindow);
    // New messages (lines ending in CR LF) and interval, saved; true when saved.
    bool SaveAutoMessages(const std::string& text, int minutes, const std::string& actor = kOperatorAtWindow);
    // Settings checked, saved into settings.ini and put to use; false, with the operator told why,
    // when not sound or not saved.
    bool SaveServerSettings(const Settings& typed, const std::string& actor = kOperatorAtWindow);
    bool SaveOtherSettings(const OtherSettings& other, const std::string& actor = kOperatorAtWindow);
    // Why SaveOtherSettings would refuse these; empty when it would not.
    std::string OtherSettingsRefusal(const OtherSettings& other) const;
    // The score screen's time: the game's own (none) or this many seconds; saved with the other
    // settings.
    bool SetScoreScreenTime(std::optional<int> seconds, const std::string& actor = kOperatorAtWindow);
    // The notices' settings saved and put to use; true when saved.
    bool SaveNoticeSettings(const NoticeSettings& settings, const std::string& actor = kOperatorAtWindow);
    // The ban settings as typed (presets one a line, the ladder's steps as "2 punt, 3 ban 1d"),
    // checked, saved and put to use; false, with the operator told why, when not sound or not saved.
    bool SaveBanSettings(const std::string& presets, bool warningsOn, const std::string& steps,
                         int windowMinutes, const std::string& actor = kOperatorAtWindow);
    // A ban's reason, and its time from now on (0: for good).
    bool EditBan(int64_t id, const std::string& reason, int64_t seconds,
                 const std::string& actor = kOperatorAtWindow);
    // The entry of the list with `changed`'s Id takes its name, letter case rule, reason and notes,
    // and its time from now on.
    bool EditBan(const BanEntry& changed, int64_t seconds, const std::string& actor = kOperatorAtWindow);
    // The ban list's CSV form: all of a file's entries or none, with `report` saying what came of it.
    bool ImportBans(std::string_view csv, const std::string& source, std::string& report,
                    const std::string& actor = kOperatorAtWindow);
    // The list's CSV form handed to `deliver`, which answers whether it arrived at `destination`
    // (a file written, an answer given); the operator is told when it did not.
    bool ExportBans(const std::string& destination, const std::function<bool(const std::string& csv)>& deliver,
                    const std::string& actor = kOperatorAtWindow);
    // Something done at a face that is no game action (a login to the web panel), for the record.
    void RecordFaceAction(const std::string& who, ActionKind action, const std::string& detail,
                          bool done, const std::string& why);
    // The game servers running on this machine, as the server list shows them; following one of
    // them (when the face's choice says to follow the process picked there).
    std::vector<ServerRow> GameServers();
    TrackOutcome TrackServer(const ServerRow& row);
    // Hides or shows the game server's window.
    void ShowGameWindow(bool shown);
    // An action of the ban list, into the record and the notices.
    void RecordBanAction(ActionKind action, const std::string& target, const std::string& reason,
                         const std::string& detail, bool done, const std::string& why,
                         const std::string& actor = "");

    // PollView: the settings in effect, and what the poll shows, passed on and told.
    bool UseTrackedProcess() override { return m_followPicked; }
    bool ScoringTimeOn() override { return m_other.ScoringTimeOn; }
    int ScoringSeconds() override { return m_other.ScoringSeconds; }
    std::string MinPlayersText() override { return std::to_string(m_other.MinPlayers); }
    bool AutoMessagesOn() override { return m_autoMessageChoice.On; }
    int AutoMessageMinutes() override { return m_autoMessageChoice.Minutes; }
    void SetPanel(int panel, const std::string& text) override;
    void SetLabel(StatusLabel label, const std::string& text) override;
    void SetControlEnabled(ServerControl control, bool enabled) override;
    void SetTrayPicture(TrayPicture picture) override {
        if (m_view) m_view->SetTrayPicture(picture);
    }
    void UpdateTray(const std::string& tip) override;
    void ClearLog() override {
        if (m_view) m_view->ClearLog();
    }
    void ClearDebugLog() override {
        if (m_view) m_view->ClearDebugLog();
    }
    void ClearChatInput() override {
        if (m_view) m_view->ClearChatInput();
    }
    void ClearPlayerList() override;
    void ClearPublicChat() override;

    // PollHooks
    void ClearPlayerTable() override;
    void ReadPlayers(bool Dedicated, uint8_t MaxPlayers) override;
    void ReadNames(bool Dedicated, uint8_t MaxPlayers) override;
    void ReadChat() override;
    void SendStatusReport() override;
    void WriteStats(bool upload, std::optional<uint8_t> resultByte, int32_t pollTicks) override;
    void MatchEnding(int32_t pollTicks) override;
    void SendNextAutoMessage() override;
    void SendPeriodicChat() override;
    void TickFinished(bool attached) override;

    // PollTimer: punts and bans stop the poll while they send.
    void SetPollEnabled(bool enabled) override;
    // SettingsWriter
    void WriteSetting(const std::string& section, const std::string& key, const std::string& value) override;

    // AutoMessageView: the automatic messages' state is the service's own.
    std::string AutoMesText() override { return m_autoMessageText; }
    void SetAutoMesText(const std::string& text) override { m_autoMessageText = text; }
    void SetAutoMesControlsEnabled(bool enabled) override;
    int AutoMesInterval() override { return m_autoMessageChoice.Minutes; }

    // LogSink
    void Log(const std::string& message) override;
    void DebugLog(const std::string& message) override;

signals:
    void logLine(const std::string& line);
    void debugLogLine(const std::string& line);
    void chatLineAdded(const tovi::ChatRow& row);
    // The player list was read again (or emptied).
    void playersUpdated();
    void panelChanged(int panel, const std::string& text);
    void labelChanged(tovi::StatusLabel label, const std::string& text);
    void controlEnabledChanged(tovi::ServerControl control, bool enabled);
    void trayTipChanged(const std::string& tip);
    void tickFinished(bool attached);
    // Every admin action the record keeps: what, who, the outcome.
    void adminActionRecorded(const tovi::AdminAction& action);
    // The program said `text` in the game's chat, as `note` says (the action, whom it addresses).
    void chatSent(const tovi::SendNote& note, const std::string& text);
    // The ban list was loaded from the record or changed here.
    void banListChanged();
    // Settings of a group changed, in effect or saved, whichever face changed them.
    void settingsChanged(tovi::SettingsGroup group);
    // A status report or stats upload ended: "Status report" or "Stats upload", whether the web
    // service confirmed it, and why not.
    void transferEnded(const std::string& what, bool confirmed, const std::string& why);
    // The stats service refused a match for good: `where` holds it now, `reason` is the service's.
    void uploadRejected(const std::string& reason, const std::string& where);
    // Another live copy of the program keeps this server code's history in the shared database
    // (`who`: its host and process); empty once this copy holds the code again.
    void serverCodeInUse(const std::string& who);

private:
    // One action with what its request brings.
    class RequestActing;

    // Why `order` is refused, aiming at `target`; empty when it is not.
    std::string OrderRefusal(const ActionOrder& order, const std::optional<ListedPlayer>& target) const;
    // The chat line: chat to all players, or after "/" a server command. False, with the face told
    // why, when the line was not sent.
    bool SendChatLine(const std::string& text, const std::string& actor);
    // The player menu: each asks its questions (or takes the request's answers) as the window does.
    void Punt(ActionRequest request);
    void Ban(ActionRequest request);
    void PuntWithReason(ActionRequest request);
    void BanWithReason(ActionRequest request);
    void Talk(ActionRequest request);
    void Warn(ActionRequest request);
    void BanFor(size_t preset, ActionRequest request);
    void BanForOther(ActionRequest request);
    // The match clock. A minute more answers whether it was written; a minute less that would end
    // the match asks first, and is recorded once answered.
    bool MatchTimeMore(ActionRequest request);
    void MatchTimeLess(ActionRequest request);
    void ResetGames(ActionRequest request);

    void LoadSettings();
    int LoadHistoryDays();
    void LoadBanSettings();
    // `text` without the passwords of the stores named in this run.
    std::string WithoutStorePasswords(std::string text) const;
    void OpenNoticeQueue(const std::string& file);
#if defined(TOVI_STORE_POSTGRES)
    void OpenSharedRecord(const StoreChoice& choice, const std::string& outbox);
#endif
    void RecordClock(const std::string& what, bool written, const std::string& actor);
    void RecordDeclined(ActionKind action, const std::string& detail, const std::string& actor);
    // The players of the list who sit in a slot now.
    std::vector<SeatedPlayer> SeatedPlayers() const;
    // A ban of the game's sent from the player menu, kept on the program's list as well.
    void ListGameBan(const SendNote& note);
    bool m_listingGameBan = false;
    // Who sits in the slots as of the last read of the names or the players: the ban list acts on
    // them when it changes elsewhere.
    std::vector<SeatedPlayer> m_seatedNow;

    MemoryClass& m_memory;
    Scheduler& m_scheduler;
    QString m_dataDir;
    // Before everything that asks through its dialogs, so that it outlives them.
    std::unique_ptr<ActionContext> m_context;
    // The admin actions recorded while an unattended order runs, which decide its result.
    std::vector<AdminAction>* m_recording = nullptr;
    int64_t m_moderatorBanSeconds = 24 * 3600;
    ServiceView* m_view = nullptr;
    ServerSnapshot m_snapshot;
    int32_t m_attachedPid = 0;  // the server's process while attached, to tell what went when lost
    ServerStatus m_status;
    Settings m_settings;
    OtherSettings m_other;
    OtherSettings m_savedOther;
    AutoMessageSettings m_autoMessageChoice;
    int m_savedAutoMessageMinutes = 1;
    std::string m_autoMessageText;
    bool m_followPicked = false;
    PlayerTable m_playerTable;
    PollCycle m_poll;
    HttpClient& m_http;
    // Before everything that writes to it, so that it outlives them.
    std::unique_ptr<HistoryStore> m_historyStore = std::make_unique<NoHistory>();
    HistoryRecorder m_history;
    bool m_historyKept = false;
    HistoryReader m_reader{[this]() -> HistoryStore& { return History(); }};
    void StartReader(HistoryReader::Opener open, std::function<void()> handOver = {},
                     std::function<void()> settle = {});
    PlayerListModel m_playerList;
    ChatListModel m_chatList;
    std::unique_ptr<NoticeService> m_notices;
    std::unique_ptr<PlayerReader> m_playerReader;
    TimeOfDay m_timeOfDay;
    std::unique_ptr<ChatReader> m_chatReader;
    std::unique_ptr<SettingsFile> m_settingsFile;
    // Before the files' owners, whose work it runs, so that it outlives them.
    std::unique_ptr<FileWork> m_fileWork;
    std::unique_ptr<WebReporter> m_reporter;
    std::unique_ptr<StatsFile> m_statsFile;
    std::unique_ptr<ConsoleChannel> m_channel;
    PlayerListLookup m_listLookup{m_playerList};
    std::unique_ptr<PuntBan> m_puntBan;
    std::unique_ptr<AutoMessages> m_autoMessages;
    std::unique_ptr<MatchTime> m_matchTime;
    std::unique_ptr<BanStore> m_banStore;
    BanList m_banList;
    std::unique_ptr<BanEnforcer> m_banEnforcer;
    std::unique_ptr<BanActions> m_banActions;
    std::string m_periodicChatText;
    bool m_permissionExplained = false;
    std::map<StatusLabel, std::string> m_labels;
    std::array<std::string, 5> m_panels;
    std::string m_trayTip;
    QTimer* m_timer = nullptr;
    HistoryRetention m_retention;
    std::string m_storeInUse;  // the connection string this run opened; empty: the local file
    std::optional<std::string> m_recordServerCode;  // set while a shared record is open
#if defined(TOVI_STORE_POSTGRES)
    PgHistoryStore* m_sharedHistory = nullptr;  // the history store, when it is a shared database's
    std::string m_codeHeldBy;                   // as last said
    std::unique_ptr<SharedBanWatcher> m_banWatcher;  // while the ban list is a shared database's
#endif
};

}  // namespace tovi
