#pragma once
// The main window: nine strips behind a row of tabs, the status bar, the tray icon. It shows
// what the poll reads (it is the poll's view) and carries the operator's controls.
#include <QIcon>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "AutoMessages.h"
#include "BanEnforcer.h"
#include "BanList.h"
#include "ChatReader.h"
#include "ConsoleChannel.h"
#include "HistoryRecorder.h"
#include "HistoryStore.h"
#include "MatchTime.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"
#include "Dialogs.h"
#include "HttpClient.h"
#include "ListViews.h"
#include "LogSink.h"
#include "MemoryClass.h"
#include "PlayerReader.h"
#include "PlayerTable.h"
#include "PollCycle.h"
#include "PollView.h"
#include "Scheduler.h"
#include "ServerStatus.h"
#include "SettingsFile.h"
#include "StatsFile.h"
#include "WebReporter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTabBar;
class QTabWidget;
class QTextBrowser;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QDateTimeEdit;

namespace tovi {

class BansStrip;
class NoticeCenter;

// The application's version: major, minor, revision.
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 5;
inline constexpr int kVersionRevision = 3;

// The page of news on the stats web service: the host of the update URL, a fixed path.
QUrl NewsUrl(const std::string& updateUrl);

class frmMain : public QMainWindow,
                public PollView,
                public PollHooks,
                public SettingsView,
                public LogSink,
                public PollTimer,
                public SettingsWriter,
                public AutoMessageView {
    Q_OBJECT
public:
    // `http` carries the status report and the stats upload to the web service.
    frmMain(MemoryClass& memory, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http, QString dataDir,
            QWidget* parent = nullptr);
    ~frmMain() override;

    // The start-up sequence: tray icon, blank display, About texts, tabs, news, poll timer.
    void Form_Load();

    // Appends a time-stamped line to txtLog or txtDebugLog, keeping the box short.
    void AddLine(const std::string& Message, QPlainTextEdit* TxtObject, int16_t MaxLines = 5);

    ServerStatus& Status() { return m_status; }
    PlayerTable& Players() { return m_playerTable; }
    WebReporter& Reporter() { return *m_reporter; }
    StatsFile& Stats() { return *m_statsFile; }
    Settings& CurrentSettings() { return m_settings; }
    PollCycle& Poll() { return m_poll; }
    const std::string& PeriodicChatText() const { return m_periodicChatText; }
    int CurrentStrip() const { return m_currentStrip; }
    int CurrentChatList() const { return m_currentChatList; }
    QSystemTrayIcon& Tray() { return m_tray; }
    // Shows the news page of the given address, or says why there is none.
    void ShowNews(const QUrl& url);

    // PollView
    bool UseTrackedProcess() override;
    bool ScoringTimeOn() override;
    int ScoringSeconds() override;
    std::string MinPlayersText() override;
    bool AutoMessagesOn() override;
    int AutoMessageMinutes() override;
    void SetPanel(int panel, const std::string& text) override;
    void SetLabel(StatusLabel label, const std::string& text) override;
    void SetControlEnabled(ServerControl control, bool enabled) override;
    void SetTrayPicture(TrayPicture picture) override;
    void UpdateTray(const std::string& tip) override;
    void ClearLog() override;
    void ClearDebugLog() override;
    void ClearChatInput() override;
    void ClearPlayerList() override;
    void ClearPublicChat() override;

    // PollHooks
    void ClearPlayerTable() override;
    void ReadPlayers(bool Dedicated, uint8_t MaxPlayers) override;
    void ReadChat() override;
    void SendStatusReport() override;
    void WriteStats(bool upload, std::optional<uint8_t> resultByte, int32_t pollTicks) override;
    void SendNextAutoMessage() override;
    void SendPeriodicChat() override;
    void TickFinished(bool attached) override;

    // PollTimer: punts and bans stop the poll while they send.
    void SetPollEnabled(bool enabled) override;
    // SettingsWriter
    void WriteSetting(const std::string& section, const std::string& key, const std::string& value) override;
    // AutoMessageView
    std::string AutoMesText() override;
    void SetAutoMesText(const std::string& text) override;
    void SetAutoMesControlsEnabled(bool enabled) override;
    int AutoMesInterval() override;

    ConsoleChannel& Channel() { return *m_channel; }
    // The record this window writes to; none until one is handed in.
    void UseHistory(std::unique_ptr<HistoryStore> store);
    HistoryRecorder& History() { return m_history; }
    // The History tab's current result as CSV in `path`, written whole or not at all; false, with
    // the operator told why, when it could not be written.
    bool ExportHistory(const QString& path);
    // What the record knows of a player, in a window of its own.
    void ShowPlayerHistory(const std::string& name);
    // Days the record keeps; 0 keeps everything.
    int HistoryDays() const;
    PuntBan& Punts() { return *m_puntBan; }
    // The ban list, kept in `store` (the record's database) from now on.
    void UseBanStore(std::unique_ptr<BanStore> store);
    BanList& Bans() { return m_banList; }
    BanEnforcer& Enforcer() { return *m_banEnforcer; }
    BanActions& BanMenu() { return *m_banActions; }
    BansStrip& BansTab() { return *m_bansStrip; }
    NoticeCenter& Notices() { return *m_notices; }

    // SettingsView
    std::string Text(SettingsText box) override;
    void SetText(SettingsText box, const std::string& text) override;
    bool Checked(SettingsBox box) override;
    void SetChecked(SettingsBox box, bool ticked) override;
    void SetValue(SettingsNumber control, int value) override;

    // LogSink
    void Log(const std::string& message) override;
    void DebugLog(const std::string& message) override;

public slots:
    void Timer_Timer();
    void RestoreWindow();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* BuildNewsStrip();
    QWidget* BuildServerStrip();
    QWidget* BuildChatStrip();
    QWidget* BuildPlayersStrip();
    QWidget* BuildMapStrip();
    QWidget* BuildSettingsStrip();
    QWidget* BuildAboutStrip();
    QWidget* BuildHistoryStrip();
    void cmdHistorySearch_Click();
    void lstHistory_DoubleClick(QTreeWidgetItem* item);
    void cmdHistoryExport_Click();
    void RefreshHistorySize();
    // Forgets what is older than the retention setting, a small batch at a time, each on a turn
    // of the event loop of its own; then looks again after a while.
    void ForgetOldHistory();
    void ScheduleForgetting(int delayMs);
    void LoadHistoryDays();
    void BuildStatusBar();
    void BuildTray();
    void AddTrayIcon();
    void RemoveTrayIcon();
    void FillAbout();
    void Tabs_Change(int index);
    void TabChat_Change(int index);
    void chkUseDefaultWindow_Click();
    void cmdRefreshList_Click();
    void cmdTrackServer_Click();
    void cmdHide_Click();
    void cmdShow_Click();
    void lstPlayers_MenuRequested(const QPoint& position);
    void cmdSendText_Click();
    void Form_Unload();
    void RecordClock(const std::string& what, bool written);
    void RecordBanAction(const std::string& action, const std::string& target, const std::string& reason,
                         const std::string& detail, bool done, const std::string& why);
    void BuildBanControls();
    std::string& LogText(QPlainTextEdit* box);

    MemoryClass& m_memory;
    Dialogs& m_dialogs;
    Scheduler& m_scheduler;
    QString m_dataDir;
    ServerStatus m_status;
    Settings m_settings;
    PlayerTable m_playerTable;
    PollCycle m_poll;
    HttpClient& m_http;
    // Before everything that writes to it, so that it outlives them.
    std::unique_ptr<HistoryStore> m_historyStore = std::make_unique<NoHistory>();
    HistoryRecorder m_history;
    std::unique_ptr<PlayerListAdapter> m_playerList;
    std::unique_ptr<ChatListAdapter> m_chatList;
    std::unique_ptr<PlayerReader> m_playerReader;
    std::unique_ptr<ChatReader> m_chatReader;
    std::unique_ptr<SettingsFile> m_settingsFile;
    std::unique_ptr<WebReporter> m_reporter;
    std::unique_ptr<StatsFile> m_statsFile;
    std::unique_ptr<ConsoleChannel> m_channel;
    std::unique_ptr<PlayerListLookup> m_playerLookup;
    std::unique_ptr<PuntBan> m_puntBan;
    std::unique_ptr<AutoMessages> m_autoMessages;
    std::unique_ptr<MatchTime> m_matchTime;
    std::unique_ptr<BanStore> m_banStore;
    BanList m_banList;
    std::unique_ptr<BanEnforcer> m_banEnforcer;
    std::unique_ptr<BanActions> m_banActions;
    BansStrip* m_bansStrip = nullptr;
    std::unique_ptr<NoticeCenter> m_notices;
    std::string m_periodicChatText;
    int m_currentStrip = 3;
    int m_currentChatList = 1;
    bool m_exitConfirmed = false;
    bool m_exitAsked = false;
    bool m_permissionExplained = false;

    QTimer* m_timer = nullptr;
    QTabWidget* m_tabs = nullptr;
    std::array<QWidget*, 10> m_strips{};
    std::array<QLabel*, 5> m_panels{};
    std::map<StatusLabel, QLabel*> m_labels;
    std::map<ServerControl, QWidget*> m_controls;

    QTextBrowser* m_webBrowser = nullptr;
    QLabel* m_lblNewsStatus = nullptr;
    QPushButton* m_cmdOpenNews = nullptr;
    QNetworkAccessManager m_network;
    QUrl m_newsUrl;

    QTreeWidget* m_lstServers = nullptr;
    QPushButton* m_cmdRefreshList = nullptr;
    QPushButton* m_cmdTrackServer = nullptr;
    QCheckBox* m_chkUseDefaultWindow = nullptr;
    QPushButton* m_cmdHide = nullptr;
    QPushButton* m_cmdShow = nullptr;
    QPlainTextEdit* m_txtLog = nullptr;
    std::string m_logText;

    QTabBar* m_tabChat = nullptr;
    QStackedWidget* m_chatLists = nullptr;
    QTreeWidget* m_lstChatMes1 = nullptr;
    QLineEdit* m_txtType = nullptr;
    QToolButton* m_cmdSendText = nullptr;

    QTreeWidget* m_lstPlayers = nullptr;
    QPlainTextEdit* m_txtDebugLog = nullptr;
    std::string m_debugLogText;
    QMenu* m_mnuPlayers = nullptr;

    QCheckBox* m_chkEnableAutoMessages = nullptr;
    QPlainTextEdit* m_txtAutoMes = nullptr;
    QSlider* m_slideAutoMes = nullptr;
    QToolButton* m_cmdSaveSettingsAutoMes = nullptr;
    QCheckBox* m_chkScoringTime = nullptr;
    QSpinBox* m_upDown1 = nullptr;
    QCheckBox* m_chkDisplayNextMap = nullptr;
    QCheckBox* m_chkKeepArchive = nullptr;
    QSpinBox* m_upDown = nullptr;
    QLineEdit* m_txtServerCode = nullptr;
    QLineEdit* m_txtUpdateURL = nullptr;
    QLineEdit* m_txtImportURL = nullptr;

    // The History tab: a search of the record; at most this many rows are listed.
    static constexpr int kHistoryRows = 1000;
    QLineEdit* m_txtHistorySearch = nullptr;
    QComboBox* m_cboHistoryKind = nullptr;
    QPushButton* m_cmdHistorySearch = nullptr;
    QTreeWidget* m_lstHistory = nullptr;
    QLineEdit* m_txtHistoryPlayer = nullptr;
    QCheckBox* m_chkHistoryFrom = nullptr;
    QDateTimeEdit* m_dtpHistoryFrom = nullptr;
    QCheckBox* m_chkHistoryTo = nullptr;
    QDateTimeEdit* m_dtpHistoryTo = nullptr;
    QPushButton* m_cmdHistoryExport = nullptr;
    QLabel* m_lblHistorySize = nullptr;
    QSpinBox* m_txtHistoryDays = nullptr;
    std::vector<HistoryRow> m_historyRows;  // the current result, as the store gave it
    bool m_historyKept = false;             // a record was handed in
    std::optional<Scheduler::TimerId> m_forgetTimer;
    // Retention works through the record this many rows per turn, and looks again this often.
    static constexpr int kForgetBatchRows = 500;
    static constexpr int kMaxHistoryDays = 36500;
    static constexpr int kForgetPauseMs = 20;
    static constexpr int kForgetCheckMs = 60 * 60 * 1000;

    QSystemTrayIcon m_tray;
    QIcon m_trayIcon;   // TrayIcon: a hosting server
    QIcon m_trayIcon2;  // TrayIcon2: anything else
    TrayPicture m_trayPicture = TrayPicture::Hosting;
    QMenu* m_mnuTray = nullptr;
};

}  // namespace tovi
