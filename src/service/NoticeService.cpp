#include "NoticeService.h"

#include <QDateTime>
#include <climits>

namespace tovi {

NoticeService::NoticeService(Scheduler& scheduler, LogSink& log, Dialogs& dialogs,
                             std::filesystem::path settingsFile, QObject* parent)
    : QObject(parent),
      m_scheduler(scheduler),
      m_log(log),
      m_dialogs(dialogs),
      m_settingsFile(std::move(settingsFile)),
      m_settings(DefaultNoticeSettings()),
      m_queue(std::make_unique<MemoryNoticeQueue>()),
      m_events([this](Notice n) { m_notifier->Post(std::move(n)); },
               [] { return QDateTime::currentSecsSinceEpoch(); }) {
    m_desktop = std::make_unique<DesktopSink>(*this, m_scheduler);
    MakeNotifier();
}

NoticeService::~NoticeService() {
    m_notifier.reset();
}

void NoticeService::MakeNotifier() {
    m_notifier.reset();
    m_notifier = std::make_unique<Notifier>(
        *m_queue, m_scheduler, [] { return QDateTime::currentMSecsSinceEpoch(); }, m_log);
    m_notifier->troubleChanged = [this] { emit troubleChanged(m_notifier && m_notifier->Trouble()); };
    Apply(m_settings);
}

void NoticeService::UseQueue(std::unique_ptr<NoticeQueue> queue) {
    // What was noticed before the record opened, kept in order.
    std::vector<QueuedNotice> waiting = m_queue->RemoveOlderThan(LLONG_MAX);
    m_notifier.reset();
    m_queue = std::move(queue);
    for (size_t i = 0; i < waiting.size();) {
        std::vector<std::string> sinks;
        size_t j = i;
        for (; j < waiting.size() && waiting[j].notice.id == waiting[i].notice.id; ++j)
            sinks.push_back(waiting[j].sink);
        std::string error;
        if (!m_queue->Add(waiting[i].notice, sinks, error))
            m_log.Log("Notice \"" + waiting[i].notice.title + "\" lost: " + error);
        i = j;
    }
    MakeNotifier();
}

void NoticeService::Load() {
    Apply(LoadNoticeSettings(m_settingsFile));
}

void NoticeService::Apply(const NoticeSettings& settings) {
    m_settings = settings;
    m_events.SetSettings({settings.notHostingMinutes, settings.reportFailures});
    m_events.Watched().SetList(settings.watched);
    NotifierSettings delivery;
    delivery.maxAgeMs = int64_t{settings.maxAgeHours} * 3600 * 1000;
    m_notifier->SetSettings(delivery);
    m_notifier->SetSinks({});
    m_discord = std::make_unique<DiscordSink>(settings.discord.url, m_discordPoster);
    m_discord->SetEvents(settings.discord.events);
    m_webhook = std::make_unique<WebhookSink>(settings.webhook.url, settings.webhook.secret, m_webhookPoster,
                                              HmacSha256Hex);
    m_webhook->SetEvents(settings.webhook.events);
    m_desktop->SetEvents(settings.desktop.events);
    std::vector<NoticeSink*> sinks;
    if (!settings.discord.url.empty()) sinks.push_back(m_discord.get());
    if (!settings.webhook.url.empty()) sinks.push_back(m_webhook.get());
    if (settings.desktop.on) sinks.push_back(m_desktop.get());
    m_notifier->SetSinks(sinks);
}

void NoticeService::ShowNotice(const std::string& titleUtf8, const std::string& textUtf8, bool trouble) {
    lastTitle = QString::fromStdString(titleUtf8);
    lastText = QString::fromStdString(textUtf8);
    emit desktopNotice(lastTitle, lastText, trouble);
}

void NoticeService::SendTest(const NoticeSettings& settings, const std::string& sink) {
    Apply(settings);
    if (m_notifier->SendTest(sink).empty())
        m_dialogs.Warn(sink == "desktop" ? std::string("Desktop notices are switched off.")
                                         : "No address is set for the " + sink + ".");
}

bool NoticeService::Save(const NoticeSettings& settings) {
    std::string error;
    if (!SaveNoticeSettings(m_settingsFile, settings, error)) {
        m_dialogs.Warn("The notice settings could not be saved: " + error);
        return false;
    }
    Apply(settings);
    m_dialogs.Inform("Settings saved");
    return true;
}

}  // namespace tovi
