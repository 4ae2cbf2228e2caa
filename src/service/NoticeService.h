#pragma once
// The notices of the program: the queue (in the record's database once it is open), the sinks with
// their HTTP clients, and the events fed from the poll, the console and the record. Desktop
// notices go to whichever face shows them (the window's tray balloon).
#include <QObject>
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

namespace tovi {

class NoticeService : public QObject, public DesktopNotices {
    Q_OBJECT
public:
    NoticeService(Scheduler& scheduler, LogSink& log, Dialogs& dialogs, std::filesystem::path settingsFile,
                  QObject* parent = nullptr);
    ~NoticeService() override;

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
    // Tries `settings` (saved or not) on one sink ("discord", "webhook", "desktop"); the operator
    // is told when that sink has no address or is off.
    void SendTest(const NoticeSettings& settings, const std::string& sink);
    // Saves and applies; false, with the operator told why, when the file could not be written.
    bool Save(const NoticeSettings& settings);
    // Deliveries are failing: the tray shows the warning picture while this holds.
    bool Trouble() const { return m_notifier->Trouble(); }

    // DesktopNotices
    void ShowNotice(const std::string& titleUtf8, const std::string& textUtf8, bool trouble) override;
    // The last desktop notice's title and text, for tests where no tray exists.
    QString lastTitle, lastText;

signals:
    void desktopNotice(const QString& title, const QString& text, bool trouble);
    void troubleChanged(bool trouble);

private:
    void MakeNotifier();

    Scheduler& m_scheduler;
    LogSink& m_log;
    Dialogs& m_dialogs;
    std::filesystem::path m_settingsFile;
    NoticeSettings m_settings;
    std::unique_ptr<NoticeQueue> m_queue;
    QtJsonPoster m_discordPoster, m_webhookPoster;
    std::unique_ptr<DiscordSink> m_discord;
    std::unique_ptr<WebhookSink> m_webhook;
    std::unique_ptr<DesktopSink> m_desktop;
    std::unique_ptr<Notifier> m_notifier;
    NoticeEvents m_events;
};

}  // namespace tovi
