#include "NoticeCenter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>
#include <climits>

#include "QtSupport.h"

namespace tovi {

namespace {

const char* EventTitle(NoticeEvent e) {
    switch (e) {
        case NoticeEvent::ServerFound:
            return "Server found";
        case NoticeEvent::ServerLost:
            return "Server lost";
        case NoticeEvent::NotHosting:
            return "Server not hosting for a while";
        case NoticeEvent::MatchEnd:
            return "Match end, with the top players";
        case NoticeEvent::PlayerBanned:
            return "Player banned";
        case NoticeEvent::PlayerPunted:
            return "Player punted";
        case NoticeEvent::PlayerWarned:
            return "Player warned";
        case NoticeEvent::BanEnforced:
            return "Ban enforced on a returning player";
        case NoticeEvent::WatchedWord:
            return "Watched word in chat";
        case NoticeEvent::ReportFailing:
            return "Status report or upload failing";
        case NoticeEvent::ReportRecovered:
            return "Status report or upload recovered";
        case NoticeEvent::Test:
            return "Test";
    }
    return "";
}

QListWidget* EventList(const QString& name, QWidget* parent) {
    auto* list = new QListWidget(parent);
    list->setObjectName(name);
    for (NoticeEvent e : AllEvents()) {
        auto* item = new QListWidgetItem(QString::fromLatin1(EventTitle(e)), list);
        item->setData(Qt::UserRole, static_cast<int>(e));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    list->setMaximumHeight(120);
    return list;
}

void SetEvents(QListWidget* list, const std::set<NoticeEvent>& events) {
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        item->setCheckState(events.count(static_cast<NoticeEvent>(item->data(Qt::UserRole).toInt()))
                                ? Qt::Checked
                                : Qt::Unchecked);
    }
}

std::set<NoticeEvent> CheckedEvents(const QListWidget* list) {
    std::set<NoticeEvent> events;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem* item = list->item(i);
        if (item->checkState() == Qt::Checked)
            events.insert(static_cast<NoticeEvent>(item->data(Qt::UserRole).toInt()));
    }
    return events;
}

QPushButton* TestButton(const QString& name, QWidget* parent) {
    auto* button = new QPushButton(QObject::tr("Send test"), parent);
    button->setObjectName(name);
    return button;
}

}  // namespace

NoticeCenter::NoticeCenter(Scheduler& scheduler, LogSink& log, Dialogs& dialogs, QSystemTrayIcon& tray,
                           std::filesystem::path settingsFile, QObject* parent)
    : QObject(parent),
      m_scheduler(scheduler),
      m_log(log),
      m_dialogs(dialogs),
      m_tray(tray),
      m_settingsFile(std::move(settingsFile)),
      m_settings(DefaultNoticeSettings()),
      m_queue(std::make_unique<MemoryNoticeQueue>()),
      m_events([this](Notice n) { m_notifier->Post(std::move(n)); },
               [] { return QDateTime::currentSecsSinceEpoch(); }) {
    m_warningIcon = QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    m_desktop = std::make_unique<DesktopSink>(*this, m_scheduler);
    MakeNotifier();
}

NoticeCenter::~NoticeCenter() {
    m_notifier.reset();
}

void NoticeCenter::MakeNotifier() {
    m_notifier.reset();
    m_notifier = std::make_unique<Notifier>(
        *m_queue, m_scheduler, [] { return QDateTime::currentMSecsSinceEpoch(); }, m_log);
    m_notifier->troubleChanged = [this] { TroubleChanged(); };
    Apply(m_settings);
}

void NoticeCenter::UseQueue(std::unique_ptr<NoticeQueue> queue) {
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

void NoticeCenter::Load() {
    Apply(LoadNoticeSettings(m_settingsFile));
    ToBoxes(m_settings);
}

void NoticeCenter::Apply(const NoticeSettings& settings) {
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

void NoticeCenter::ShowNotice(const std::string& titleUtf8, const std::string& textUtf8, bool trouble) {
    lastTitle = QString::fromStdString(titleUtf8);
    lastText = QString::fromStdString(textUtf8);
    if (QSystemTrayIcon::isSystemTrayAvailable() && m_tray.isVisible())
        m_tray.showMessage(lastTitle, lastText,
                           trouble ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
}

void NoticeCenter::TroubleChanged() {
    // Back to the server's own picture at the next tick.
    if (m_notifier && m_notifier->Trouble()) m_tray.setIcon(m_warningIcon);
}

QGroupBox* NoticeCenter::BuildSettingsGroup(QWidget* parent) {
    auto* group = new QGroupBox(tr("Notices"), parent);
    group->setObjectName(QStringLiteral("fraNotices"));
    auto* layout = new QVBoxLayout(group);
    auto* tabs = new QTabWidget(group);
    tabs->setObjectName(QStringLiteral("tabNotices"));

    auto* discord = new QWidget(tabs);
    auto* discordForm = new QFormLayout(discord);
    m_txtDiscordURL = new QLineEdit(discord);
    m_txtDiscordURL->setObjectName(QStringLiteral("txtDiscordURL"));
    m_txtDiscordURL->setPlaceholderText(QStringLiteral("https://discord.com/api/webhooks/..."));
    m_lstDiscordEvents = EventList(QStringLiteral("lstDiscordEvents"), discord);
    auto* testDiscord = TestButton(QStringLiteral("cmdTestDiscord"), discord);
    discordForm->addRow(tr("Webhook URL:"), m_txtDiscordURL);
    discordForm->addRow(tr("Events:"), m_lstDiscordEvents);
    discordForm->addRow(testDiscord);
    tabs->addTab(discord, tr("Discord"));

    auto* webhook = new QWidget(tabs);
    auto* webhookForm = new QFormLayout(webhook);
    m_txtWebhookURL = new QLineEdit(webhook);
    m_txtWebhookURL->setObjectName(QStringLiteral("txtWebhookURL"));
    m_txtWebhookSecret = new QLineEdit(webhook);
    m_txtWebhookSecret->setObjectName(QStringLiteral("txtWebhookSecret"));
    m_txtWebhookSecret->setEchoMode(QLineEdit::PasswordEchoOnEdit);
    m_lstWebhookEvents = EventList(QStringLiteral("lstWebhookEvents"), webhook);
    auto* testWebhook = TestButton(QStringLiteral("cmdTestWebhook"), webhook);
    webhookForm->addRow(tr("URL:"), m_txtWebhookURL);
    webhookForm->addRow(tr("Secret (signs the body):"), m_txtWebhookSecret);
    webhookForm->addRow(tr("Events:"), m_lstWebhookEvents);
    webhookForm->addRow(testWebhook);
    tabs->addTab(webhook, tr("Webhook"));

    auto* desktop = new QWidget(tabs);
    auto* desktopForm = new QFormLayout(desktop);
    m_chkDesktopNotices = new QCheckBox(tr("Show notices at the tray icon"), desktop);
    m_chkDesktopNotices->setObjectName(QStringLiteral("chkDesktopNotices"));
    m_lstDesktopEvents = EventList(QStringLiteral("lstDesktopEvents"), desktop);
    auto* testDesktop = TestButton(QStringLiteral("cmdTestDesktop"), desktop);
    desktopForm->addRow(m_chkDesktopNotices);
    desktopForm->addRow(tr("Events:"), m_lstDesktopEvents);
    desktopForm->addRow(testDesktop);
    tabs->addTab(desktop, tr("Desktop"));

    auto* watch = new QWidget(tabs);
    auto* watchForm = new QFormLayout(watch);
    m_txtWatchedWords = new QPlainTextEdit(watch);
    m_txtWatchedWords->setObjectName(QStringLiteral("txtWatchedWords"));
    m_txtWatchedWords->setToolTip(tr("One word a line; * stands for any characters, ? for one"));
    m_txtWatchedWords->setMaximumHeight(80);
    m_spnNotHosting = new QSpinBox(watch);
    m_spnNotHosting->setObjectName(QStringLiteral("spnNotHostingMinutes"));
    m_spnNotHosting->setRange(0, 24 * 60);
    m_spnReportFailures = new QSpinBox(watch);
    m_spnReportFailures->setObjectName(QStringLiteral("spnReportFailures"));
    m_spnReportFailures->setRange(0, 1000);
    m_spnNoticeMaxAge = new QSpinBox(watch);
    m_spnNoticeMaxAge->setObjectName(QStringLiteral("spnNoticeMaxAge"));
    m_spnNoticeMaxAge->setRange(1, 24 * 30);
    watchForm->addRow(tr("Watched words:"), m_txtWatchedWords);
    watchForm->addRow(tr("Not hosting for (minutes, 0 = never):"), m_spnNotHosting);
    watchForm->addRow(tr("Failures in a row before telling:"), m_spnReportFailures);
    watchForm->addRow(tr("Drop undelivered notices after (hours):"), m_spnNoticeMaxAge);
    tabs->addTab(watch, tr("Watch"));

    layout->addWidget(tabs);
    auto* save = new QPushButton(tr("Save notice settings"), group);
    save->setObjectName(QStringLiteral("cmdSaveSettingsNotices"));
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(save);
    layout->addLayout(row);

    connect(save, &QPushButton::clicked, this, &NoticeCenter::Save);
    connect(testDiscord, &QPushButton::clicked, this, [this] { SendTest("discord"); });
    connect(testWebhook, &QPushButton::clicked, this, [this] { SendTest("webhook"); });
    connect(testDesktop, &QPushButton::clicked, this, [this] { SendTest("desktop"); });
    ToBoxes(m_settings);
    return group;
}

NoticeSettings NoticeCenter::FromBoxes() const {
    NoticeSettings s = m_settings;
    if (!m_txtDiscordURL) return s;
    s.discord.url = m_txtDiscordURL->text().trimmed().toStdString();
    s.discord.on = !s.discord.url.empty();
    s.discord.events = CheckedEvents(m_lstDiscordEvents);
    s.webhook.url = m_txtWebhookURL->text().trimmed().toStdString();
    s.webhook.on = !s.webhook.url.empty();
    s.webhook.secret = m_txtWebhookSecret->text().toStdString();
    s.webhook.events = CheckedEvents(m_lstWebhookEvents);
    s.desktop.on = m_chkDesktopNotices->isChecked();
    s.desktop.events = CheckedEvents(m_lstDesktopEvents);
    s.watched =
        ToGameText(m_txtWatchedWords->toPlainText().replace(QStringLiteral("\n"), QStringLiteral("\r\n")));
    s.notHostingMinutes = m_spnNotHosting->value();
    s.reportFailures = m_spnReportFailures->value();
    s.maxAgeHours = m_spnNoticeMaxAge->value();
    return s;
}

void NoticeCenter::ToBoxes(const NoticeSettings& s) {
    if (!m_txtDiscordURL) return;
    m_txtDiscordURL->setText(QString::fromStdString(s.discord.url));
    SetEvents(m_lstDiscordEvents, s.discord.events);
    m_txtWebhookURL->setText(QString::fromStdString(s.webhook.url));
    m_txtWebhookSecret->setText(QString::fromStdString(s.webhook.secret));
    SetEvents(m_lstWebhookEvents, s.webhook.events);
    m_chkDesktopNotices->setChecked(s.desktop.on);
    SetEvents(m_lstDesktopEvents, s.desktop.events);
    m_txtWatchedWords->setPlainText(
        FromGameText(s.watched).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    m_spnNotHosting->setValue(s.notHostingMinutes);
    m_spnReportFailures->setValue(s.reportFailures);
    m_spnNoticeMaxAge->setValue(s.maxAgeHours);
}

// Tests what the boxes say now, saved or not: the operator tries an address before keeping it.
void NoticeCenter::SendTest(const std::string& sink) {
    Apply(FromBoxes());
    if (m_notifier->SendTest(sink).empty())
        m_dialogs.Warn(sink == "desktop" ? std::string("Desktop notices are switched off.")
                                         : "No address is set for the " + sink + ".");
}

void NoticeCenter::Save() {
    const NoticeSettings s = FromBoxes();
    std::string error;
    if (!SaveNoticeSettings(m_settingsFile, s, error)) {
        m_dialogs.Warn("The notice settings could not be saved: " + error);
        return;
    }
    Apply(s);
    m_dialogs.Inform("Settings saved");
}

}  // namespace tovi
