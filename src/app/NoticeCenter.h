#pragma once
// The notices in the program: the queue (in the record's database once it is open), the sinks
// with their HTTP clients, the events fed from the window, the tray's balloon and warning
// picture, and the Notices group of the Settings tab with a "Send test" button per sink.
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <filesystem>
#include <memory>

#include "Dialogs.h"
#include "LogSink.h"
#include "NoticeEvents.h"
#include "NoticeQueue.h"
#include "NoticeSettings.h"
#include "NoticeSink.h"
#include "Notifier.h"
#include "QtJsonPoster.h"
#include "Scheduler.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QSpinBox;
class QWidget;

namespace tovi {

class NoticeCenter : public QObject, public DesktopNotices {
    Q_OBJECT
public:
    NoticeCenter(Scheduler& scheduler, LogSink& log, Dialogs& dialogs, QSystemTrayIcon& tray,
                 std::filesystem::path settingsFile, QObject* parent = nullptr);
    ~NoticeCenter() override;

    // From now on the notices wait in `queue` (the record's database); what waited in memory
    // moves there first.
    void UseQueue(std::unique_ptr<NoticeQueue> queue);
    NoticeEvents& Events() { return m_events; }
    Notifier& Deliveries() { return *m_notifier; }
    NoticeQueue& Queue() { return *m_queue; }
    // Settings from settings.ini, applied.
    void Load();
    void Apply(const NoticeSettings& settings);
    const NoticeSettings& Current() const { return m_settings; }
    // The tray shows the warning picture while this holds.
    bool Trouble() const { return m_notifier->Trouble(); }
    const QIcon& WarningIcon() const { return m_warningIcon; }
    QGroupBox* BuildSettingsGroup(QWidget* parent);

    // DesktopNotices
    void ShowNotice(const std::string& titleUtf8, const std::string& textUtf8, bool trouble) override;
    // The last balloon's title and text, for the window's tests where no tray exists.
    QString lastTitle, lastText;

private:
    void MakeNotifier();
    NoticeSettings FromBoxes() const;
    void ToBoxes(const NoticeSettings& settings);
    void SendTest(const std::string& sink);
    void Save();
    void TroubleChanged();

    Scheduler& m_scheduler;
    LogSink& m_log;
    Dialogs& m_dialogs;
    QSystemTrayIcon& m_tray;
    std::filesystem::path m_settingsFile;
    NoticeSettings m_settings;
    std::unique_ptr<NoticeQueue> m_queue;
    QtJsonPoster m_discordPoster, m_webhookPoster;
    std::unique_ptr<DiscordSink> m_discord;
    std::unique_ptr<WebhookSink> m_webhook;
    std::unique_ptr<DesktopSink> m_desktop;
    std::unique_ptr<Notifier> m_notifier;
    NoticeEvents m_events;
    QIcon m_warningIcon;

    QPointer<QLineEdit> m_txtDiscordURL, m_txtWebhookURL, m_txtWebhookSecret;
    QPointer<QListWidget> m_lstDiscordEvents, m_lstWebhookEvents, m_lstDesktopEvents;
    QPointer<QCheckBox> m_chkDesktopNotices;
    QPointer<QPlainTextEdit> m_txtWatchedWords;
    QPointer<QSpinBox> m_spnNotHosting, m_spnReportFailures, m_spnNoticeMaxAge;
};

}  // namespace tovi
