#include "frmMain.h"

#include <algorithm>

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkReply>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStringDecoder>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>

#include "ActionFeedback.h"
#include "BansStrip.h"
#include "GameAddresses.h"
#include "HistoryStrip.h"
#include "LogDialog.h"
#include "NoticeCenter.h"
#include "QtSupport.h"
#include "ScrollingPage.h"
#include "ServerList.h"

namespace tovi {

namespace {

QIcon MakeStatusIcon(const QColor& fill) {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(fill.darker(160), std::max(1, size / 16)));
        painter.setBrush(fill);
        painter.drawEllipse(QRectF(1, 1, size - 2, size - 2));
        painter.setPen(Qt::white);
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(size * 6 / 10);
        painter.setFont(font);
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("T"));
        icon.addPixmap(pixmap);
    }
    return icon;
}

// Display text of the core's CR LF separated log text.
QString LogDisplay(const std::string& text) {
    QString shown = FromGameText(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (shown.endsWith(QLatin1Char('\n'))) shown.chop(1);
    return shown;
}

// Whether a transfer's last try was confirmed, or none was made yet.
bool Fine(const TransferOutcome& outcome) {
    return outcome.Time == 0 || outcome.Confirmed;
}

}  // namespace

QUrl NewsUrl(const std::string& updateUrl) {
    const QUrl update(QString::fromLatin1(updateUrl).trimmed(), QUrl::StrictMode);
    if (!update.isValid() || update.host().isEmpty()) return {};
    const QString scheme = update.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return {};
    QUrl news;
    news.setScheme(scheme);
    news.setHost(update.host());
    news.setPort(update.port());
    news.setPath(QStringLiteral("/tovistats/news.php"));
    return news;
}

frmMain::frmMain(Service& service, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), m_service(service), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("|QX| Tovi stats for JO:TR 1.5.1.5"));
    m_trayIcon = MakeStatusIcon(QColor(0x2e, 0x9d, 0x4f));
    m_trayIcon2 = MakeStatusIcon(QColor(0x8a, 0x8f, 0x98));
    setWindowIcon(m_trayIcon);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("Tabs"));
    m_tabs->setDocumentMode(true);
    const std::array<std::pair<QWidget*, std::pair<QString, QString>>, 8> strips = {{
        {BuildNewsStrip(), {QStringLiteral("&News"), QStringLiteral("news")}},
        {BuildServerStrip(), {QStringLiteral("Se&rver && Log"), QStringLiteral("server")}},
        {BuildChatStrip(), {QStringLiteral("Status && &Chat"), QStringLiteral("chat")}},
        {BuildPlayersStrip(), {QStringLiteral("&Players"), QStringLiteral("players")}},
        {BuildMapStrip(), {QStringLiteral("&Map"), QStringLiteral("map")}},
        {BuildSettingsStrip(), {QStringLiteral("&Settings"), QStringLiteral("settings")}},
        {BuildAboutStrip(), {QStringLiteral("&About"), QStringLiteral("about")}},
        {m_historyStrip = new HistoryStrip(m_service, m_dialogs, this), {QStringLiteral("Histor&y"), QStringLiteral("history")}},
    }};
    for (size_t i = 0; i < strips.size(); ++i) {
        QWidget* strip = strips[i].first;
        strip->setObjectName(QStringLiteral("fraStrips%1").arg(i + 1));
        m_strips[i + 1] = strip;
        // The settings outgrow a small window: they scroll rather than squeeze.
        QWidget* page = strip;
        if (i == 5) {
            auto* scrolling = ScrollingPage(strip);
            m_settingsWheel = new PageWheel(scrolling);
            page = scrolling;
        }
        const int index = m_tabs->addTab(page, strips[i].second.first);
        m_tabs->tabBar()->setTabData(index, strips[i].second.second);
    }
    setCentralWidget(m_tabs);
    BuildStatusBar();
    BuildTray();

    m_playerList = std::make_unique<PlayerListAdapter>(m_lstPlayers);
    m_chatList = std::make_unique<ChatListAdapter>(m_lstChatMes1);
    m_notices = std::make_unique<NoticeCenter>(m_service.Notices(), m_tray);
    m_service.SetView(this);
    BuildFeedback();
    connect(&m_service, &Service::logLine, this, [this](const std::string& line) { AddLine(line, m_txtLog); });
    connect(&m_service, &Service::debugLogLine, this,
            [this](const std::string& line) { AddLine(line, m_txtDebugLog); });
    connect(&m_service, &Service::playersUpdated, this, [this] {
        if (m_playerColumnsFitted || m_lstPlayers->topLevelItemCount() == 0) return;
        m_playerColumnsFitted = true;
        for (int column : {0, 2, 3, 4, 5, 6}) m_lstPlayers->resizeColumnToContents(column);
    });
    connect(&m_service, &Service::banListChanged, this, [this] {
        if (m_bansStrip) m_bansStrip->Refresh(true);
    });

    // The removal each entry asks for, which the player's row then shows as pending.
    const std::array<std::tuple<const char*, ActionKind, std::function<void(Service&)>>, 5> menu = {{
        {"mnuPlayersPunt", ActionKind::Punt, [](Service& s) { s.Act({.Kind = ActionKind::Punt}); }},
        {"mnuPlayersBan", ActionKind::Ban, [](Service& s) { s.Act({.Kind = ActionKind::Ban}); }},
        {"mnuPlayersPuntReason", ActionKind::Punt,
         [](Service& s) { s.Act({.Kind = ActionKind::Punt, .WithReason = true}); }},
        {"mnuPlayersBanReason", ActionKind::Ban,
         [](Service& s) { s.Act({.Kind = ActionKind::Ban, .WithReason = true}); }},
        {"mnuPlayersTalk", ActionKind::Talk, [](Service& s) { s.Act({.Kind = ActionKind::Talk}); }},
    }};
    for (const auto& [name, removal, handler] : menu) {
        connect(m_mnuPlayers->findChild<QAction*>(QString::fromLatin1(name)), &QAction::triggered, this,
                [this, removal = removal, handler = handler] {
                    m_feedback->Started(ActionFeedback::Place::Players);
                    const QTreeWidgetItem* item = m_lstPlayers->currentItem();
                    if (RemovesPlayer(removal) && item) m_feedback->RemovalStarted(removal, ToGameText(item->text(1)));
                    handler(m_service);
                });
    }
    const std::array<std::pair<const char*, std::function<void(Service&)>>, 3> clockButtons = {{
        {"cmdGameTimeInc", [](Service& s) { s.Act({.Kind = ActionKind::MatchTime, .More = true}); }},
        {"cmdGameTimeDec", [](Service& s) { s.Act({.Kind = ActionKind::MatchTime}); }},
        {"cmdMapResetGames", [](Service& s) { s.Act({.Kind = ActionKind::ResetGames}); }},
    }};
    for (const auto& [name, handler] : clockButtons) {
        connect(findChild<QToolButton*>(QString::fromLatin1(name)), &QToolButton::clicked, this,
                [this, handler = handler] {
                    m_feedback->Started(ActionFeedback::Place::Map);
                    handler(m_service);
                });
    }
    // The controls are bound to the service's settings: edits of the settings in effect at once go
    // to it as they are made, the others when saved; whatever changed them, the controls show it.
    connect(&m_service, &Service::settingsChanged, this, &frmMain::ShowSettings);
    connect(m_chkUseDefaultWindow, &QCheckBox::toggled, this,
            [this](bool ticked) { m_service.SetFollowPickedServer(ticked); });
    connect(m_chkEnableAutoMessages, &QCheckBox::clicked, this,
            [this](bool ticked) { m_service.SwitchAutoMessages(ticked); });
    connect(m_slideAutoMes, &QSlider::valueChanged, this, [this](int minutes) {
        if (!m_showingSettings) m_service.SetAutoMessageMinutes(minutes);
    });
    connect(m_cmdSaveSettingsAutoMes, &QToolButton::clicked, this,
            [this] { m_service.SaveAutoMessages(AutoMessagesShown(), m_slideAutoMes->value()); });
    auto otherEdited = [this] {
        if (!m_showingSettings) m_service.SetOther(OtherShown());
    };
    for (QCheckBox* box : {m_chkScoringTime, m_chkDisplayNextMap, m_chkKeepArchive, m_chkPeriodicChat})
        connect(box, &QCheckBox::toggled, this, otherEdited);
    for (QSpinBox* spin : {m_upDown1, m_upDown, m_txtHistoryDays})
        connect(spin, &QSpinBox::valueChanged, this, otherEdited);
    connect(m_txtSharedStore, &QLineEdit::textChanged, this, otherEdited);
    connect(m_txtPeriodicChat, &QLineEdit::textChanged, this, otherEdited);
    connect(m_cmdSendText, &QToolButton::clicked, this, &frmMain::cmdSendText_Click);
    connect(m_txtType, &QLineEdit::returnPressed, this, &frmMain::cmdSendText_Click);

    connect(findChild<QToolButton*>(QStringLiteral("cmdSaveSettingsUpdate")), &QToolButton::clicked, this, [this] {
        m_service.SaveServerSettings(ServerShown());
        ShowNews(NewsUrl(m_service.CurrentSettings().UpdateURL));
    });
    connect(findChild<QToolButton*>(QStringLiteral("cmdSaveSettingsOther")), &QToolButton::clicked, this,
            [this] { m_service.SaveOtherSettings(OtherShown()); });

    BuildBanControls();
    m_settingsWheel->Watch();

    connect(&m_service, &Service::tickFinished, this, &frmMain::RefreshTray);
    connect(&m_service, &Service::transferEnded, this, &frmMain::RefreshTray);
    connect(&m_service, &Service::uploadRejected, this, [this](const std::string& reason, const std::string& where) {
        // A lost match needs the operator: the picture warns until the window has been in front.
        m_rejectionUnseen = !isActiveWindow();
        if (m_tray.isVisible())
            m_tray.showMessage(tr("Match refused by the stats service"),
                               tr("%1\nIt was set aside in %2.").arg(QString::fromUtf8(reason), QString::fromStdString(where)),
                               QSystemTrayIcon::Warning);
        RefreshTray();
    });
    connect(&m_service, &Service::serverCodeInUse, this, [this](const std::string& who) {
        if (who.empty() || !m_tray.isVisible()) return;
        m_tray.showMessage(tr("Server code in use by another copy"),
                           tr("Another copy of Tovi stats (%1) keeps this server's history in the shared "
                              "database. This copy's history waits in its own file until that copy stops.")
                               .arg(QString::fromStdString(who)),
                           QSystemTrayIcon::Warning);
    });
    connect(&m_service.Notices(), &NoticeService::troubleChanged, this, [this] { RefreshTray(); });

    // Sized for the tabs' content, but never beyond the screen at large scale factors.
    QSize size(820, 560);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    }
    resize(size);
    setMinimumSize(QSize(640, 440).boundedTo(size));
}

frmMain::~frmMain() {
    // The service outlives the window: it must not call on it any more.
    m_service.SetView(nullptr);
    disconnect(&m_service, nullptr, this, nullptr);
}

// ---- start-up and shutdown ----------------------------------------------------------------

void frmMain::AddTrayIcon() {
    m_tray.setIcon(m_trayIcon);
    m_tray.setToolTip(QString::fromLatin1(kApplicationTitle));
    m_tray.show();
}

void frmMain::RemoveTrayIcon() { m_tray.hide(); }

void frmMain::FillAbout() {
    findChild<QLabel*>(QStringLiteral("lblApplication"))->setText(QString::fromLatin1(kApplicationTitle));
    findChild<QLabel*>(QStringLiteral("lblVersion"))
        ->setText(QStringLiteral("Version: %1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision));
    findChild<QLabel*>(QStringLiteral("lblNotes"))->setText(QStringLiteral("Use with JO:TR 1.5.1.5"));
    const QString about = QStringList{
        QStringLiteral("Tovi stats is written by the |QX| clan's coders; it reads the game's information from the "
                       "server and shows it on your server's web page."),
        QStringLiteral("It has some extra functions like a playerlist where you can kick and ban, automessages and "
                       "chat function."),
        QStringLiteral("At the moment it does not require RAT to be enabled."),
        QString(),
        QStringLiteral("Use this tool at own risk, however, it does not affect the game nor will Novalogic ban you "
                       "for using it."),
    }.join(QStringLiteral("\r\n"));
    findChild<QLabel*>(QStringLiteral("lblAbout"))->setText(about);
    const QString thanks = QStringList{
        QStringLiteral("Many thanks to the members of the JO coding forum for answering our questions. Special "
                       "thanks go to:"),
        QString(),
        QStringLiteral("The |QX| clan members - ideas, graphics and testing"),
        QStringLiteral("The author of the memory access class we started from - the memory access class"),
        QStringLiteral("The JO coding forum's hosts - the forum and its map-management code"),
        QStringLiteral("The forum's memory hackers - how memory addresses work"),
        QStringLiteral("A clan member with a spare machine - a test computer"),
        QStringLiteral("A friendly server admin - a test server"),
        QStringLiteral("The players of the |QX| servers - testing"),
        QStringLiteral("The web team - testing and changing the web pages"),
    }.join(QStringLiteral("\r\n"));
    findChild<QPlainTextEdit*>(QStringLiteral("txtThanksTo"))->setPlainText(thanks);
}

void frmMain::Form_Load() {
    AddTrayIcon();
    FillAbout();
    // The settings, the stats left from last time, the poll timer.
    m_service.Load();

    m_currentStrip = 3;
    m_currentChatList = 1;
    connect(m_tabs, &QTabWidget::currentChanged, this, &frmMain::Tabs_Change, Qt::UniqueConnection);
    m_tabs->setCurrentWidget(m_strips[3]);
    if (m_tabChat->count() == 0) {
        const int index = m_tabChat->addTab(tr("P&ublic chat"));
        m_tabChat->setTabData(index, QStringLiteral("public"));
    }
    m_tabChat->setCurrentIndex(0);
    m_chatLists->setCurrentIndex(m_currentChatList - 1);
    m_txtType->setVisible(true);
    m_cmdSendText->setVisible(true);

    ShowNews(NewsUrl(m_service.CurrentSettings().UpdateURL));
    cmdRefreshList_Click();
    m_historyStrip->RefreshHistorySize();
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (m_exitConfirmed) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_exitAsked) return;  // the question is already open
    m_exitAsked = true;
    // Matches the disk has not taken yet live only in this process.
    const size_t unsaved = m_service.Stats().PendingBlocks();
    const std::string question =
        unsaved == 0
            ? "Are you sure you want to exit?"
            : "The stats of " + std::to_string(unsaved) + (unsaved == 1 ? " match" : " matches") +
                  " could not be saved to stats.stats yet. On exit they are kept in a file of their own (or "
                  "in the log) and queued again at the next start.\r\nAre you sure you want to exit?";
    m_dialogs.Ask(question, [this](bool yes) {
        if (!yes) {
            m_exitAsked = false;
            return;
        }
        // Changed settings are not lost unasked; Cancel (or a save that failed) stays.
        AskToSaveSettings([this](Dialogs::Choice choice) {
            m_exitAsked = false;
            if (choice == Dialogs::Choice::Cancel) return;
            m_exitConfirmed = true;
            Form_Unload();
        });
    });
}

// ---- settings not lost ----------------------------------------------------------------------

Settings frmMain::ServerShown() const {
    return {ToGameText(m_txtServerCode->text()), ToGameText(m_txtUpdateURL->text()),
            ToGameText(m_txtImportURL->text())};
}

OtherSettings frmMain::OtherShown() const {
    return {m_upDown->value(),           m_chkScoringTime->isChecked(), m_upDown1->value(),
            m_chkDisplayNextMap->isChecked(), m_chkKeepArchive->isChecked(), m_txtHistoryDays->value(),
            m_txtSharedStore->text().toStdString(), m_chkPeriodicChat->isChecked(),
            ToGameText(m_txtPeriodicChat->text())};
}

std::string frmMain::AutoMessagesShown() const {
    QString text = m_txtAutoMes->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return ToGameText(text);
}

void frmMain::ShowSettings(SettingsGroup group) {
    const bool showing = std::exchange(m_showingSettings, true);
    switch (group) {
    case SettingsGroup::Server: {
        // An empty value leaves the example text the box was built with.
        const Settings& in = m_service.CurrentSettings();
        if (!in.ServerCode.empty()) m_txtServerCode->setText(FromGameText(in.ServerCode));
        if (!in.UpdateURL.empty()) m_txtUpdateURL->setText(FromGameText(in.UpdateURL));
        if (!in.ImportURL.empty()) m_txtImportURL->setText(FromGameText(in.ImportURL));
        m_serverShown = ServerShown();
        break;
    }
    case SettingsGroup::Other: {
        const OtherSettings& in = m_service.Other();
        m_chkScoringTime->setChecked(in.ScoringTimeOn);
        m_upDown1->setValue(in.ScoringSeconds);
        m_chkDisplayNextMap->setChecked(in.DisplayNextMap);
        m_chkKeepArchive->setChecked(in.KeepArchive);
        m_upDown->setValue(in.MinPlayers);
        m_txtHistoryDays->setValue(in.HistoryDays);
        if (m_txtSharedStore->text().toStdString() != in.SharedStore)
            m_txtSharedStore->setText(QString::fromStdString(in.SharedStore));
        m_chkPeriodicChat->setChecked(in.PeriodicChatOn);
        m_txtPeriodicChat->setEnabled(in.PeriodicChatOn);
        if (ToGameText(m_txtPeriodicChat->text()) != in.PeriodicChatText)
            m_txtPeriodicChat->setText(FromGameText(in.PeriodicChatText));
        break;
    }
    case SettingsGroup::AutoMessages: {
        const AutoMessageSettings& in = m_service.AutoMessageChoice();
        m_chkEnableAutoMessages->setChecked(in.On);
        for (QWidget* control : std::initializer_list<QWidget*>{m_txtAutoMes, m_slideAutoMes, m_cmdSaveSettingsAutoMes})
            control->setEnabled(in.On);
        m_slideAutoMes->setValue(in.Minutes);
        // The messages being typed stay until others are saved.
        if (m_service.AutoMessageText() != m_autoMessagesShown) {
            m_autoMessagesShown = m_service.AutoMessageText();
            QString shown = FromGameText(m_autoMessagesShown);
            shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            m_txtAutoMes->setPlainText(shown);
        }
        break;
    }
    case SettingsGroup::Bans:
        m_bansStrip->ShowSettings(m_service.BanSettingsInUse());
        break;
    case SettingsGroup::Notices:
        m_notices->ShowSettings();
        break;
    }
    m_showingSettings = showing;
}

std::array<bool, 5> frmMain::ChangedSettings() const {
    std::array<bool, 5> changed{};
    auto at = [&changed](SettingsGroup group) -> bool& { return changed[static_cast<size_t>(group)]; };
    at(SettingsGroup::Server) = ServerShown() != m_serverShown;
    at(SettingsGroup::Other) = m_service.Other() != m_service.SavedOther();
    // The automatic messages are saved only while they are on.
    at(SettingsGroup::AutoMessages) =
        m_service.AutoMessageChoice().On && (AutoMessagesShown() != m_service.AutoMessageText() ||
                                             m_slideAutoMes->value() != m_service.SavedAutoMessageMinutes());
    at(SettingsGroup::Bans) = m_bansStrip->SettingsChanged();
    at(SettingsGroup::Notices) = m_notices->SettingsChanged();
    return changed;
}

bool frmMain::SettingsChanged() const {
    const std::array<bool, 5> changed = ChangedSettings();
    return std::find(changed.begin(), changed.end(), true) != changed.end();
}

bool frmMain::SaveChangedSettings() {
    const std::array<bool, 5> changed = ChangedSettings();
    auto at = [&changed](SettingsGroup group) { return changed[static_cast<size_t>(group)]; };
    bool saved = true;
    if (at(SettingsGroup::AutoMessages))
        saved = m_service.SaveAutoMessages(AutoMessagesShown(), m_slideAutoMes->value()) && saved;
    if (at(SettingsGroup::Other)) saved = m_service.SaveOtherSettings(OtherShown()) && saved;
    if (at(SettingsGroup::Server)) {
        saved = m_service.SaveServerSettings(ServerShown()) && saved;
        ShowNews(NewsUrl(m_service.CurrentSettings().UpdateURL));
    }
    if (at(SettingsGroup::Bans)) saved = m_bansStrip->SaveSettings() && saved;
    if (at(SettingsGroup::Notices)) saved = m_notices->SaveSettings() && saved;
    return saved;
}

void frmMain::DropChangedSettings() {
    m_service.SetOther(m_service.SavedOther());
    m_service.SetAutoMessageMinutes(m_service.SavedAutoMessageMinutes());
    m_autoMessagesShown.clear();
    for (SettingsGroup group : {SettingsGroup::Server, SettingsGroup::Other, SettingsGroup::AutoMessages,
                                SettingsGroup::Bans, SettingsGroup::Notices}) {
        // A server value saved empty keeps no example text: what was typed goes.
        if (group == SettingsGroup::Server) {
            const bool showing = std::exchange(m_showingSettings, true);
            m_txtUpdateURL->setText(FromGameText(m_serverShown.UpdateURL));
            m_txtImportURL->setText(FromGameText(m_serverShown.ImportURL));
            m_txtServerCode->setText(FromGameText(m_serverShown.ServerCode));
            m_showingSettings = showing;
            continue;
        }
        ShowSettings(group);
    }
}

void frmMain::AskToSaveSettings(std::function<void(Dialogs::Choice)> choice) {
    if (!SettingsChanged()) return choice(Dialogs::Choice::No);
    // One question names every group whose changes are not saved, in the order of the page.
    const std::array<bool, 5> changed = ChangedSettings();
    std::string groups;
    for (auto [group, name] : {std::pair{SettingsGroup::AutoMessages, "Automessages"},
                               {SettingsGroup::Other, "Other settings"},
                               {SettingsGroup::Server, "Status update settings"},
                               {SettingsGroup::Bans, "Bans and warnings"}, {SettingsGroup::Notices, "Notices"}}) {
        if (!changed[static_cast<size_t>(group)]) continue;
        groups += (groups.empty() ? "" : ", ") + std::string(name);
    }
    m_dialogs.AskWithCancel("These settings have been changed but not saved: " + groups + ". Save them now?",
                            [this, choice = std::move(choice)](Dialogs::Choice answer) {
                                // Not saved after all: what the operator set is kept where he can see it.
                                if (answer == Dialogs::Choice::Yes && !SaveChangedSettings())
                                    answer = Dialogs::Choice::Cancel;
                                choice(answer);
                            });
}

int frmMain::TabIndex(const QString& key) const {
    // By the tab's key: a page may be its strip or a scroll area around it.
    for (int index = 0; index < m_tabs->count(); ++index)
        if (m_tabs->tabBar()->tabData(index).toString() == key) return index;
    return -1;
}

bool frmMain::EndWithoutAsking() {
    if (m_exitConfirmed) return false;
    m_exitConfirmed = true;
    Form_Unload();
    return true;
}

void frmMain::Form_Unload() {
    // The game window shown again, the poll stopped; its buttons follow.
    m_service.Stop();
    cmdShow_Click();
    RemoveTrayIcon();
    hide();
    QCoreApplication::quit();
}

void frmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_rejectionUnseen) {
        m_rejectionUnseen = false;
        RefreshTray();
    }
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        // Hidden from the task bar; the tray icon brings it back.
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
    }
}

void frmMain::RestoreWindow() {
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void frmMain::Tabs_Change(int index) {
    const int strip = index + 1;
    if (strip == m_currentStrip) return;
    const bool leftSettings = m_currentStrip == 6;
    m_currentStrip = strip;
    if (strip == 8) m_historyStrip->RefreshHistorySize();
    if (!leftSettings || m_settingsAsked || !SettingsChanged()) return;
    m_settingsAsked = true;
    AskToSaveSettings([this](Dialogs::Choice choice) {
        m_settingsAsked = false;
        if (choice == Dialogs::Choice::No) DropChangedSettings();
        if (choice == Dialogs::Choice::Cancel) m_tabs->setCurrentIndex(TabIndex(QStringLiteral("settings")));
    });
}

void frmMain::TabChat_Change(int index) {
    const int list = index + 1;
    if (index < 0 || list == m_currentChatList) return;
    m_chatLists->setCurrentIndex(index);
    m_txtType->setVisible(true);
    m_cmdSendText->setVisible(true);
    m_currentChatList = list;
}

void frmMain::chkUseDefaultWindow_Click() {
    const bool ticked = m_chkUseDefaultWindow->isChecked();
    m_lstServers->setEnabled(ticked);
    m_cmdRefreshList->setEnabled(ticked);
    if (!ticked) m_cmdTrackServer->setEnabled(false);
}

void frmMain::cmdSendText_Click() {
    const QString typed = m_txtType->text();
    const std::string text = ToGameText(typed);
    // Nothing to send; or the line is still on its way, and Enter pressed again must not send it twice.
    if (!ChatLineCommand(text) || m_chatSending == typed) return;
    m_chatSending = typed;
    // The line stays until it went out: a refused one is there to send again, its reason beside it.
    m_feedback->Started(ActionFeedback::Place::Chat, [this, typed](bool sent, const std::string&) {
        if (m_chatSending == typed) m_chatSending.reset();
        if (sent && m_txtType->text() == typed) m_txtType->clear();
    });
    m_service.Act({.Kind = text.front() == '/' ? ActionKind::Command : ActionKind::Chat, .Text = text});
    m_txtType->setFocus();
}

void frmMain::BuildFeedback() {
    m_feedback = new ActionFeedback(m_service, m_lstPlayers, this);
    using Place = ActionFeedback::Place;
    // Each tab's line under the controls it speaks for.
    qobject_cast<QBoxLayout*>(m_strips[3]->layout())->addWidget(m_feedback->Label(Place::Chat));
    qobject_cast<QBoxLayout*>(m_strips[4]->layout())->insertWidget(1, m_feedback->Label(Place::Players));
    qobject_cast<QBoxLayout*>(m_strips[5]->layout())->insertWidget(2, m_feedback->Label(Place::Map));
    statusBar()->addPermanentWidget(m_feedback->Failures());
    // The clock of a server that has gone says nothing any more.
    connect(&m_service, &Service::tickFinished, this, [this](bool attached) {
        if (!attached) m_labels[StatusLabel::lblGameTime]->clear();
    });
}

void frmMain::lstPlayers_MenuRequested(const QPoint& position) {
    // Only a right-click on a row that names a slot opens the player menu.
    QTreeWidgetItem* item = m_lstPlayers->itemAt(position);
    if (!item || item->text(0).isEmpty()) return;
    m_lstPlayers->setCurrentItem(item);
    m_mnuPlayers->popup(m_lstPlayers->viewport()->mapToGlobal(position));
}

void frmMain::cmdRefreshList_Click() {
    m_cmdTrackServer->setEnabled(false);
    m_lstServers->clear();
    for (const ServerRow& row : m_service.GameServers()) {
        auto* item = new QTreeWidgetItem(m_lstServers);
        item->setText(0, FromGameText(row.ProcID));
        item->setText(1, FromGameText(row.Path));
        item->setText(2, FromGameText(row.Version));
        item->setText(3, FromGameText(row.Expansion));
    }
}

void frmMain::cmdTrackServer_Click() {
    QTreeWidgetItem* item = m_lstServers->currentItem();
    if (!item) return;
    const ServerRow row{ToGameText(item->text(0)), ToGameText(item->text(1)), ToGameText(item->text(2)),
                        ToGameText(item->text(3))};
    switch (m_service.TrackServer(row)) {
    case TrackOutcome::Tracked: m_dialogs.Inform(TrackedMessage(m_service.Memory())); break;
    case TrackOutcome::WrongVersion: m_dialogs.Warn("Wrong version"); break;
    case TrackOutcome::AttachFailed: break;  // the process has gone; the poll will say so
    }
}

void frmMain::cmdHide_Click() {
    m_service.ShowGameWindow(false);
    m_cmdHide->setVisible(false);
    m_cmdShow->setVisible(true);
    RefreshTray();
}

void frmMain::cmdShow_Click() {
    m_service.ShowGameWindow(true);
    m_cmdShow->setVisible(false);
    m_cmdHide->setVisible(true);
    RefreshTray();
}

// ---- news ---------------------------------------------------------------------------------

void frmMain::ShowNews(const QUrl& url) {
    m_newsUrl = url;
    m_cmdOpenNews->setEnabled(url.isValid());
    if (!url.isValid()) {
        m_webBrowser->clear();
        m_lblNewsStatus->setText(tr("No news yet: the news come from the stats web service named by the update URL "
                                    "on the Settings tab."));
        return;
    }
    m_lblNewsStatus->setText(tr("Loading %1 ...").arg(url.toString()));
    QNetworkRequest request(url);
    request.setTransferTimeout(60000);
    QNetworkReply* reply = m_network.get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        if (url != m_newsUrl) return;  // a newer page was asked for meanwhile
        if (reply->error() != QNetworkReply::NoError) {
            m_webBrowser->clear();
            m_lblNewsStatus->setText(tr("The news page could not be loaded (%1).").arg(reply->errorString()));
            return;
        }
        const QByteArray body = reply->readAll();
        QStringDecoder decoder = QStringDecoder::decoderForHtml(body);
        const QString html = decoder.isValid() ? decoder.decode(body) : QString::fromLatin1(body);
        m_webBrowser->document()->setBaseUrl(url);
        m_webBrowser->setHtml(html);
        m_lblNewsStatus->setText(url.toString());
    });
}

// ---- the poll -----------------------------------------------------------------------------

void frmMain::Timer_Timer() { m_service.Timer_Timer(); }

void frmMain::SetPanel(int panel, const std::string& text) {
    if (panel < 1 || panel > 4) return;
    // An empty panel says what it lacks rather than nothing.
    static const std::array<const char*, 5> kNothing = {"", "No players", "No server", "No status yet", "No match"};
    QLabel* label = m_panels[static_cast<size_t>(panel)];
    label->setText(text.empty() ? tr(kNothing[static_cast<size_t>(panel)]) : FromGameText(text));
}

void frmMain::SetLabel(StatusLabel label, const std::string& text) {
    if (QLabel* target = m_labels[label]) {
        target->setText(FromGameText(text));
        // Whole, whatever room the window leaves it.
        target->setToolTip(target->text());
    }
}

void frmMain::SetControlEnabled(ServerControl control, bool enabled) {
    if (QWidget* target = m_controls[control]) target->setEnabled(enabled);
    if (control == ServerControl::cmdHide || control == ServerControl::cmdShow) RefreshTray();
}

void frmMain::SetTrayPicture(TrayPicture picture) { m_trayPicture = picture; }

void frmMain::UpdateTray(const std::string& tip) {
    m_trayTip = tip;
    RefreshTray();
}

bool frmMain::AccessRefused() const {
    return m_service.Snapshot().AccessRefused;
}

bool frmMain::TrayWarns() const {
    const ServerSnapshot& server = m_service.Snapshot();
    // Nothing is missed before the first tick.
    return (server.Ticked && !server.Found) || AccessRefused() || !Fine(server.LastReport) ||
           !Fine(server.LastUpload) || m_rejectionUnseen || m_notices->Trouble();
}

void frmMain::RefreshTray() {
    if (!m_notices) return;
    // The poll's tip first, as it is; what the operator wants to know at a glance after it.
    QStringList tip{FromGameText(m_trayTip)};
    const QString state = FromGameText(m_service.PanelText(3));
    QString status = state.isEmpty() ? tr("No status yet") : state;
    const ServerSnapshot& snapshot = m_service.Snapshot();
    if ((snapshot.Found || !snapshot.Ticked) && m_trayPicture == TrayPicture::Hosting) {
        const QString server = FromGameText(m_service.Status().ServerName).trimmed();
        const QString players = tr("%1 players").arg(FromGameText(m_service.PanelText(1)));
        tip << server << players;
        status = server + QStringLiteral(": ") + players + QStringLiteral(", ") + status;
    }
    if (AccessRefused()) tip << tr("Reading the game server's memory is refused");
    for (const auto& [what, outcome] :
         {std::pair{"Status report", &snapshot.LastReport}, {"Stats upload", &snapshot.LastUpload}})
        if (!Fine(*outcome)) tip << tr("%1 failing: %2").arg(QString::fromLatin1(what), FromGameText(outcome->Why));
    if (snapshot.RejectedMatches > 0)
        tip << tr("%1 refused by the stats service, set aside: %2")
                   .arg(Counted(snapshot.RejectedMatches, tr("match"), tr("matches")),
                        QString::fromUtf8(snapshot.LastRejection));
    // Before the first tick the icon stays as it was added.
    if (!m_trayTip.empty()) {
        m_tray.setIcon(TrayWarns()                             ? m_notices->WarningIcon()
                       : m_trayPicture == TrayPicture::Hosting ? m_trayIcon
                                                               : m_trayIcon2);
        m_tray.setToolTip(tip.join(QLatin1Char('\n')));
    }
    // Menu entries show "&" as an accelerator: a server name's own stays as typed.
    m_mnuTrayStatus->setText(status.replace(QLatin1Char('&'), QStringLiteral("&&")));
    const bool shown = !m_cmdHide->isHidden();
    m_mnuTrayServerWindow->setText(shown ? tr("&Hide server window") : tr("Show server &window"));
    m_mnuTrayServerWindow->setEnabled(shown ? m_cmdHide->isEnabled() : m_cmdShow->isEnabled());
}

void frmMain::ClearLog() {
    m_txtLog->clear();
}

void frmMain::ClearDebugLog() {
    m_txtDebugLog->clear();
}

// What the operator typed outlives the server's absence: he can send it when it is back.
void frmMain::ClearChatInput() {}
void frmMain::ClearPlayerList() { m_lstPlayers->clear(); }
void frmMain::ClearPublicChat() { m_lstChatMes1->clear(); }

void frmMain::AddLine(const std::string& Message, QPlainTextEdit* TxtObject, int16_t MaxLines) {
    if (TxtObject != m_txtLog && TxtObject != m_txtDebugLog) return;
    // The box keeps MaxLines + 1 lines, as the activity log's rule does, by dropping its oldest
    // block as each line comes: setting the whole text again would lay out the whole box for every
    // line.
    if (TxtObject->maximumBlockCount() != MaxLines + 1) TxtObject->setMaximumBlockCount(MaxLines + 1);
    TxtObject->appendPlainText(LogDisplay("[" + m_service.TimeOfDayNow() + "] " + Message));
    TxtObject->moveCursor(QTextCursor::End);
}

void frmMain::ShowFullLog() {
    if (!m_logDialog) {
        m_logDialog = new LogDialog(m_service.Reader(), this);
        m_logDialog->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        m_logDialog->Search();
    }
    m_logDialog->show();
    m_logDialog->raise();
    m_logDialog->activateWindow();
}

LogDialog* frmMain::FullLog() const {
    return m_logDialog;
}

void frmMain::BanForStarted() {
    m_feedback->Started(ActionFeedback::Place::Players);
    if (const QTreeWidgetItem* item = m_lstPlayers->currentItem())
        m_feedback->RemovalStarted(ActionKind::Ban, ToGameText(item->text(1)));
}

void frmMain::BuildBanControls() {
    auto now = [] { return QDateTime::currentSecsSinceEpoch(); };
    // The Bans tab, after History.
    m_bansStrip = new BansStrip(m_service, now, this);
    m_notices->SetSettingsSaver([this](const NoticeSettings& settings) { return m_service.SaveNoticeSettings(settings); });
    m_bansStrip->setObjectName(QStringLiteral("fraStrips9"));
    m_strips[9] = m_bansStrip;
    const int index = m_tabs->addTab(m_bansStrip, tr("Ban &list"));
    m_tabs->tabBar()->setTabData(index, QStringLiteral("bans"));
    if (auto* grid = qobject_cast<QGridLayout*>(m_strips[6]->layout())) {
        grid->addWidget(m_bansStrip->BuildSettingsGroup(m_strips[6]), 2, 0, 1, 2);
        grid->addWidget(m_notices->BuildSettingsGroup(m_strips[6]), 3, 0, 1, 2);
    }
    m_notices->ShowSettings();

    // "Ban for" and "Warn" after the punt and ban entries, before the talk entry.
    QAction* line2 = m_mnuPlayers->findChild<QAction*>(QStringLiteral("mnuPlayersLine2"));
    auto* banFor = new QMenu(tr("Ban &for"), m_mnuPlayers);
    banFor->setObjectName(QStringLiteral("mnuPlayersBanFor"));
    m_mnuPlayers->insertMenu(line2, banFor)->setObjectName(QStringLiteral("mnuPlayersBanForMenu"));
    QAction* warn = new QAction(tr("&Warn..."), m_mnuPlayers);
    warn->setObjectName(QStringLiteral("mnuPlayersWarn"));
    m_mnuPlayers->insertAction(line2, warn);
    connect(warn, &QAction::triggered, this, [this] {
        m_feedback->Started(ActionFeedback::Place::Players);
        m_service.Act({.Kind = ActionKind::Warn});
    });
    // The presets as they are when the menu opens; reasons are shown as typed, never as markup.
    connect(banFor, &QMenu::aboutToShow, this, [this, banFor] {
        banFor->clear();
        const std::vector<BanPreset>& presets = m_service.BanMenu().Presets();
        for (size_t i = 0; i < presets.size(); ++i) {
            QString caption = FromGameText(DurationText(presets[i].Seconds) + " " + presets[i].Reason);
            caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
            QAction* entry = banFor->addAction(caption);
            entry->setObjectName(QStringLiteral("mnuPlayersBanFor%1").arg(i + 1));
            connect(entry, &QAction::triggered, this, [this, i] {
                BanForStarted();
                m_service.Act({.Kind = ActionKind::BanListed, .Preset = i});
            });
        }
        banFor->addSeparator();
        QAction* other = banFor->addAction(tr("&Other reason and duration..."));
        other->setObjectName(QStringLiteral("mnuPlayersBanForOther"));
        connect(other, &QAction::triggered, this, [this] {
            BanForStarted();
            m_service.Act({.Kind = ActionKind::BanListed});
        });
    });
}

}  // namespace tovi
