#include "NoticeCenter.h"

#include <QApplication>
#include <QCheckBox>
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

#include "QtSupport.h"

namespace tovi {

namespace {

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

NoticeCenter::NoticeCenter(NoticeService& notices, QSystemTrayIcon& tray, QObject* parent)
    : QObject(parent), m_notices(notices), m_tray(tray) {
    m_warningIcon = QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    connect(&m_notices, &NoticeService::desktopNotice, this, &NoticeCenter::ShowNotice);
    // Back to the server's own picture at the next tick.
    connect(&m_notices, &NoticeService::troubleChanged, this, [this](bool trouble) {
        if (trouble) m_tray.setIcon(m_warningIcon);
    });
}

void NoticeCenter::ShowNotice(const QString& title, const QString& text, bool trouble) {
    if (QSystemTrayIcon::isSystemTrayAvailable() && m_tray.isVisible())
        m_tray.showMessage(title, text, trouble ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
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

    connect(save, &QPushButton::clicked, this, &NoticeCenter::SaveSettings);
    // Tests what the boxes say now, saved or not: the operator tries an address before keeping it.
    connect(testDiscord, &QPushButton::clicked, this, [this] { m_notices.SendTest(FromBoxes(), "discord"); });
    connect(testWebhook, &QPushButton::clicked, this, [this] { m_notices.SendTest(FromBoxes(), "webhook"); });
    connect(testDesktop, &QPushButton::clicked, this, [this] { m_notices.SendTest(FromBoxes(), "desktop"); });
    ShowSettings();
    return group;
}

NoticeSettings NoticeCenter::FromBoxes() const {
    NoticeSettings s = m_notices.Current();
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

void NoticeCenter::ShowSettings() {
    if (!m_txtDiscordURL) return;
    ToBoxes(m_notices.Current());
    // As the boxes read back, so that only an edit counts as one.
    m_shown = FromBoxes();
}

bool NoticeCenter::SaveSettings() {
    return m_save ? m_save(FromBoxes()) : m_notices.Save(FromBoxes());
}

bool NoticeCenter::SettingsChanged() const {
    return m_shown && !(FromBoxes() == *m_shown);
}

}  // namespace tovi
