#pragma once
// The main window: nine strips behind a row of tabs, the status bar, the tray icon. It shows the
// service (the poll as it happens, and the settings, bound to their controls) and hands the
// operator's actions and edits to it.
#include <QIcon>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVariantList>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "Dialogs.h"
#include "ListViews.h"
#include "Service.h"
#include "ServiceView.h"
#include "ToviVersion.h"

class QAction;
class QCheckBox;
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

namespace tovi {

class ActionFeedback;
class BansStrip;
class HistoryStrip;
class LogDialog;
class NoticeCenter;
class PageWheel;

// The page of news on the stats web service: the host of the update URL, a fixed path.
QUrl NewsUrl(const std::string& updateUrl);

class frmMain : public QMainWindow, public ServiceView {
    Q_OBJECT
public:
    frmMain(Service& service, Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmMain() override;

    // The start-up sequence: tray icon, blank display, About texts, tabs, news, poll timer.
    void Form_Load();
    // The exit steps without the exit question, for an end that nobody at the window asked for
    // (a stop signal, the desktop session's end); false when they have run already.
    bool EndWithoutAsking();

    // Appends a time-stamped line to txtLog or txtDebugLog, keeping the box short.
    void AddLine(const std::string& Message, QPlainTextEdit* TxtObject, int16_t MaxLines = 5);

    Service& GetService() { return m_service; }
    int CurrentStrip() const { return m_currentStrip; }
    int CurrentChatList() const { return m_currentChatList; }
    QSystemTrayIcon& Tray() { return m_tray; }
    // Whether the tray shows the warning picture: no server found, memory access refused, a
    // report or upload failing, or a notice in trouble.
    bool TrayWarns() const;
    // The game server was found but reading its memory was refused.
    bool AccessRefused() const;
    // Shows the news page of the given address, or says why there is none.
    void ShowNews(const QUrl& url);
    HistoryStrip& HistoryTab() { return *m_historyStrip; }
    // The record's log lines in a window of their own, beside this one; the one open is brought to
    // the front.
    void ShowFullLog();
    LogDialog* FullLog() const;
    BansStrip& BansTab() { return *m_bansStrip; }
    NoticeCenter& Notices() { return *m_notices; }

    // ServiceView
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

    PlayerListView* PlayerList() override { return m_playerList.get(); }
    ChatView* PublicChat() override { return m_chatList.get(); }

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
    void BuildStatusBar();
    void BuildTray();
    // The tray's picture, tip and menu from what the window knows now.
    void RefreshTray();
    // The settings as their controls hold them, and the service's settings into the controls.
    Settings ServerShown() const;
    OtherSettings OtherShown() const;
    std::string AutoMessagesShown() const;
    void ShowSettings(SettingsGroup group);
    // Which groups hold edits that are not saved, by SettingsGroup.
    std::array<bool, 5> ChangedSettings() const;
    bool SettingsChanged() const;
    // The edits not saved are dropped: every group shows what is saved, and is in effect.
    void DropChangedSettings();
    int TabIndex(const QString& key) const;
    // Saves each group of settings that changed; true when all of them were saved.
    bool SaveChangedSettings();
    // Leaving with changed settings: `choice` gets Yes (saved), No or Cancel; at once when none changed.
    void AskToSaveSettings(std::function<void(Dialogs::Choice)> choice);
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
    void BuildBanControls();
    // A ban from the "Ban for" entries: its feedback, and the player's row shows it pending.
    void BanForStarted();
    void BuildFeedback();

    Service& m_service;
    Dialogs& m_dialogs;
    std::unique_ptr<PlayerListAdapter> m_playerList;
    std::unique_ptr<ChatListAdapter> m_chatList;
    BansStrip* m_bansStrip = nullptr;
    std::unique_ptr<NoticeCenter> m_notices;
    ActionFeedback* m_feedback = nullptr;
    int m_currentStrip = 3;
    int m_currentChatList = 1;
    bool m_exitConfirmed = false;
    bool m_exitAsked = false;
    bool m_settingsAsked = false;
    bool m_showingSettings = false;  // the controls are being filled: their changes are no edits
    Settings m_serverShown;             // as the service's were last shown
    std::string m_autoMessagesShown;

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
    QPointer<LogDialog> m_logDialog;

    QTabBar* m_tabChat = nullptr;
    QStackedWidget* m_chatLists = nullptr;
    QTreeWidget* m_lstChatMes1 = nullptr;
    QLineEdit* m_txtType = nullptr;
    QToolButton* m_cmdSendText = nullptr;
    std::optional<QString> m_chatSending;  // the chat line on its way, until it ends

    QTreeWidget* m_lstPlayers = nullptr;
    QPlainTextEdit* m_txtDebugLog = nullptr;
    QMenu* m_mnuPlayers = nullptr;
    bool m_playerColumnsFitted = false;

    QCheckBox* m_chkEnableAutoMessages = nullptr;
    QPlainTextEdit* m_txtAutoMes = nullptr;
    QSlider* m_slideAutoMes = nullptr;
    QToolButton* m_cmdSaveSettingsAutoMes = nullptr;
    QCheckBox* m_chkScoringTime = nullptr;
    QSpinBox* m_upDown1 = nullptr;
    QCheckBox* m_chkDisplayNextMap = nullptr;
    QCheckBox* m_chkKeepArchive = nullptr;
    QCheckBox* m_chkPeriodicChat = nullptr;
    QLineEdit* m_txtPeriodicChat = nullptr;
    QSpinBox* m_upDown = nullptr;
    QLineEdit* m_txtServerCode = nullptr;
    QLineEdit* m_txtUpdateURL = nullptr;
    QLineEdit* m_txtImportURL = nullptr;

    HistoryStrip* m_historyStrip = nullptr;
    PageWheel* m_settingsWheel = nullptr;  // the Settings page's wheel goes to the page
    QSpinBox* m_txtHistoryDays = nullptr;  // on the Settings tab: days the record keeps
    QLineEdit* m_txtSharedStore = nullptr;  // on the Settings tab: where the record is kept

    QSystemTrayIcon m_tray;
    QIcon m_trayIcon;   // TrayIcon: a hosting server
    QIcon m_trayIcon2;  // TrayIcon2: anything else
    TrayPicture m_trayPicture = TrayPicture::Hosting;
    // A match was refused for good since the operator last had the window in front.
    bool m_rejectionUnseen = false;
    QMenu* m_mnuTray = nullptr;
    QAction* m_mnuTrayStatus = nullptr;
    QAction* m_mnuTrayServerWindow = nullptr;
    std::string m_trayTip;      // the tip as the poll words it
};

}  // namespace tovi
