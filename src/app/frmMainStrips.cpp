// The window's strips, status bar and tray menu: the controls, named as the core and the tests
// know them, and their layout. What the controls do is in frmMain.cpp.
#include <QCheckBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTabBar>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "GameText.h"
#include "ListViews.h"
#include "StoreChoice.h"
#include "frmMain.h"

namespace tovi {

namespace {

// A spin box whose text box can carry a name of its own (txtScoringSeconds, txtMinPlayers).
class NamedSpinBox : public QSpinBox {
public:
    NamedSpinBox(const QString& name, const QString& textName, int minimum, int maximum, int value, QWidget* parent)
        : QSpinBox(parent) {
        setObjectName(name);
        lineEdit()->setObjectName(textName);
        setRange(minimum, maximum);
        setSingleStep(1);
        setValue(value);
    }
};

QToolButton* MakePictureButton(const QString& name, QStyle::StandardPixmap pixmap, const QString& tip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setIcon(parent->style()->standardIcon(pixmap));
    button->setIconSize(QSize(24, 24));
    button->setToolTip(tip);
    button->setAccessibleName(tip);
    button->setAutoRaise(false);
    return button;
}

// A save button: its picture, and what it saves beside it.
QToolButton* MakeSaveButton(const QString& name, const QString& caption, QWidget* parent) {
    QToolButton* button = MakePictureButton(name, QStyle::SP_DialogSaveButton, caption, parent);
    button->setText(caption);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    return button;
}

}  // namespace

// ---- strips -------------------------------------------------------------------------------

QWidget* frmMain::BuildNewsStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QVBoxLayout(strip);
    m_webBrowser = new QTextBrowser(strip);
    m_webBrowser->setObjectName(QStringLiteral("WebBrowser"));
    m_webBrowser->setOpenExternalLinks(true);
    auto* row = new QHBoxLayout;
    m_lblNewsStatus = MakeLabel(QStringLiteral("lblNewsStatus"), QString(), strip);
    m_lblNewsStatus->setWordWrap(true);
    m_cmdOpenNews = new QPushButton(tr("Open in &browser"), strip);
    m_cmdOpenNews->setObjectName(QStringLiteral("cmdOpenNews"));
    m_cmdOpenNews->setEnabled(false);
    connect(m_cmdOpenNews, &QPushButton::clicked, this, [this] { QDesktopServices::openUrl(m_newsUrl); });
    row->addWidget(m_lblNewsStatus, 1);
    row->addWidget(m_cmdOpenNews);
    layout->addWidget(m_webBrowser, 1);
    layout->addLayout(row);
    return strip;
}

QWidget* frmMain::BuildServerStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QVBoxLayout(strip);

    auto* fraSelectServer = new QGroupBox(tr("Servers"), strip);
    fraSelectServer->setObjectName(QStringLiteral("fraSelectServer"));
    auto* servers = new QVBoxLayout(fraSelectServer);
    m_chkUseDefaultWindow =
        new QCheckBox(tr("Don't use default window, select one here (use in case of multiple servers)"), fraSelectServer);
    m_chkUseDefaultWindow->setObjectName(QStringLiteral("chkUseDefaultWindow"));
    connect(m_chkUseDefaultWindow, &QCheckBox::clicked, this, &frmMain::chkUseDefaultWindow_Click);
    m_lstServers = MakeReportList(QStringLiteral("lstServers"),
                                  {tr("ProcID"), tr("Path to exe"), tr("Game version"), tr("Expansion")}, fraSelectServer);
    m_lstServers->setEnabled(false);
    m_lstServers->setColumnWidth(0, 80);
    m_lstServers->setColumnWidth(1, 360);
    m_lstServers->setColumnWidth(2, 110);
    auto* buttons = new QHBoxLayout;
    m_cmdRefreshList = new QPushButton(tr("Re&fresh list"), fraSelectServer);
    m_cmdRefreshList->setObjectName(QStringLiteral("cmdRefreshList"));
    m_cmdRefreshList->setEnabled(false);
    m_cmdTrackServer = new QPushButton(tr("&Track server"), fraSelectServer);
    m_cmdTrackServer->setObjectName(QStringLiteral("cmdTrackServer"));
    m_cmdTrackServer->setEnabled(false);
    // Hide and show share one place: only one of them is visible at a time.
    m_cmdHide = new QPushButton(tr("&Hide server window"), fraSelectServer);
    m_cmdHide->setObjectName(QStringLiteral("cmdHide"));
    m_cmdHide->setEnabled(false);
    m_cmdShow = new QPushButton(tr("Show server &window"), fraSelectServer);
    m_cmdShow->setObjectName(QStringLiteral("cmdShow"));
    m_cmdShow->setEnabled(false);
    m_cmdShow->setVisible(false);
    connect(m_cmdRefreshList, &QPushButton::clicked, this, &frmMain::cmdRefreshList_Click);
    connect(m_cmdTrackServer, &QPushButton::clicked, this, &frmMain::cmdTrackServer_Click);
    connect(m_lstServers, &QTreeWidget::itemClicked, this, [this] { m_cmdTrackServer->setEnabled(true); });
    connect(m_cmdHide, &QPushButton::clicked, this, &frmMain::cmdHide_Click);
    connect(m_cmdShow, &QPushButton::clicked, this, &frmMain::cmdShow_Click);
    buttons->addWidget(m_cmdRefreshList);
    buttons->addWidget(m_cmdTrackServer);
    buttons->addStretch();
    buttons->addWidget(m_cmdHide);
    buttons->addWidget(m_cmdShow);
    servers->addWidget(m_chkUseDefaultWindow);
    servers->addWidget(m_lstServers, 1);
    servers->addLayout(buttons);

    auto* fraLog = new QGroupBox(tr("Log messages"), strip);
    fraLog->setObjectName(QStringLiteral("fraLog"));
    auto* log = new QVBoxLayout(fraLog);
    m_txtLog = new QPlainTextEdit(fraLog);
    m_txtLog->setObjectName(QStringLiteral("txtLog"));
    m_txtLog->setReadOnly(true);
    log->addWidget(m_txtLog);
    // The box keeps six lines; the record keeps them all.
    auto* cmdShowLog = new QPushButton(tr("Show full log..."), fraLog);
    cmdShowLog->setObjectName(QStringLiteral("cmdShowLog"));
    // Every letter of its caption is another control's Alt key already: a key of its own, live
    // while the tab is shown.
    cmdShowLog->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    cmdShowLog->setToolTip(tr("The log's every line the record keeps, newest first (%1)")
                               .arg(cmdShowLog->shortcut().toString(QKeySequence::NativeText)));
    connect(cmdShowLog, &QPushButton::clicked, this, &frmMain::ShowFullLog);
    auto* logButtons = new QHBoxLayout;
    logButtons->addStretch();
    logButtons->addWidget(cmdShowLog);
    log->addLayout(logButtons);

    layout->addWidget(fraSelectServer, 3);
    layout->addWidget(fraLog, 2);
    m_controls[ServerControl::cmdHide] = m_cmdHide;
    m_controls[ServerControl::cmdShow] = m_cmdShow;
    return strip;
}

QWidget* frmMain::BuildChatStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QVBoxLayout(strip);
    auto* status = new QGroupBox(tr("Server"), strip);
    status->setObjectName(QStringLiteral("fraStatus"));
    auto* grid = new QGridLayout(status);
    const std::array<std::pair<StatusLabel, QString>, 6> labels = {{
        {StatusLabel::lblServerName, QStringLiteral("lblServerName")},
        {StatusLabel::lblCurrentMap, QStringLiteral("lblCurrentMap")},
        {StatusLabel::lblServerMessage, QStringLiteral("lblServerMessage")},
        {StatusLabel::lblHostplayer, QStringLiteral("lblHostplayer")},
        {StatusLabel::lblCountryCode, QStringLiteral("lblCountryCode")},
        {StatusLabel::lblDedicated, QStringLiteral("lblDedicated")},
    }};
    for (size_t i = 0; i < labels.size(); ++i) {
        // Names and messages are long: cut where the window ends, whole in their tooltips.
        QLabel* label = i < 4 ? MakeElidedLabel(labels[i].second, status)
                              : MakeLabel(labels[i].second, QString(), status);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setMinimumHeight(label->fontMetrics().height());
        m_labels[labels[i].first] = label;
        // Names and messages are long: they take the whole row; the short values share one.
        if (i < 4) {
            grid->addWidget(label, static_cast<int>(i), 0, 1, 2);
        } else {
            grid->addWidget(label, 4, static_cast<int>(i - 4));
        }
    }
    QFont bold = m_labels[StatusLabel::lblServerName]->font();
    bold.setBold(true);
    m_labels[StatusLabel::lblServerName]->setFont(bold);

    m_tabChat = new QTabBar(strip);
    m_tabChat->setObjectName(QStringLiteral("TabChat"));
    m_tabChat->setDocumentMode(true);
    m_chatLists = new QStackedWidget(strip);
    m_lstChatMes1 = MakeReportList(QStringLiteral("lstChatMes1"), {tr("Player"), tr("Text"), tr("Time")}, strip);
    FitColumns(m_lstChatMes1, {0, 2}, 1);
    m_chatLists->addWidget(m_lstChatMes1);
    connect(m_tabChat, &QTabBar::currentChanged, this, &frmMain::TabChat_Change);

    auto* row = new QHBoxLayout;
    m_txtType = new QLineEdit(strip);
    m_txtType->setObjectName(QStringLiteral("txtType"));
    m_txtType->setPlaceholderText(tr("Chat to all players, or / and a server command"));
    // Typing stops at the limit while Backspace, Delete and the arrow keys keep working.
    m_txtType->setMaxLength(kChatLineMaxLength);
    m_cmdSendText = MakePictureButton(QStringLiteral("cmdSendText"), QStyle::SP_ArrowForward, tr("Send"), strip);
    row->addWidget(m_txtType, 1);
    row->addWidget(m_cmdSendText);

    layout->addWidget(status);
    layout->addWidget(m_tabChat);
    layout->addWidget(m_chatLists, 1);
    layout->addLayout(row);
    m_labels[StatusLabel::lblGameTime] = nullptr;  // placed on the Map strip
    m_controls[ServerControl::txtType] = m_txtType;
    m_controls[ServerControl::cmdSendText] = m_cmdSendText;
    return strip;
}

QWidget* frmMain::BuildPlayersStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QVBoxLayout(strip);
    m_lstPlayers = MakeReportList(
        QStringLiteral("lstPlayers"),
        {tr("Slot"), tr("Player"), tr("Ping"), tr("Team"), tr("Kills"), tr("Deaths"), tr("Exp. Points")}, strip);
    // The numbers' columns are sized to their content after the first fill, and again when the
    // operator double-clicks a divider: sizing them at every player read costs more than the read.
    FitColumns(m_lstPlayers, {}, 1);
    m_lstPlayers->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_lstPlayers, &QWidget::customContextMenuRequested, this, &frmMain::lstPlayers_MenuRequested);
    m_txtDebugLog = new QPlainTextEdit(strip);
    m_txtDebugLog->setObjectName(QStringLiteral("txtDebugLog"));
    m_txtDebugLog->setReadOnly(true);
    m_txtDebugLog->setVisible(false);  // for diagnosis only; never shown to the operator
    layout->addWidget(m_lstPlayers, 1);
    layout->addWidget(m_txtDebugLog);

    m_mnuPlayers = new QMenu(tr("&PlayersMenu"), this);
    m_mnuPlayers->setObjectName(QStringLiteral("mnuPlayers"));
    const std::array<std::pair<const char*, QString>, 7> entries = {{
        {"mnuPlayersPunt", tr("&Punt player")},
        {"mnuPlayersBan", tr("&Ban player")},
        {"mnuPlayersLine1", QString()},
        {"mnuPlayersPuntReason", tr("Punt with &reason...")},
        {"mnuPlayersBanReason", tr("Ba&n with reason...")},
        {"mnuPlayersLine2", QString()},
        {"mnuPlayersTalk", tr("&Talk to player...")},
    }};
    for (const auto& [name, caption] : entries) {
        QAction* action = caption.isEmpty() ? m_mnuPlayers->addSeparator() : m_mnuPlayers->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
    }
    return strip;
}

QWidget* frmMain::BuildMapStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QVBoxLayout(strip);
    auto* clock = new QGroupBox(tr("Match clock"), strip);
    clock->setObjectName(QStringLiteral("fraGameTime"));
    auto* clockRow = new QHBoxLayout(clock);
    auto* lblGameTime = MakeLabel(QStringLiteral("lblGameTime"), QString(), clock);
    QFont big = lblGameTime->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    lblGameTime->setFont(big);
    lblGameTime->setMinimumWidth(lblGameTime->fontMetrics().horizontalAdvance(QStringLiteral("Timer: 10 days, 00:00:00")));
    auto* dec = MakePictureButton(QStringLiteral("cmdGameTimeDec"), QStyle::SP_ArrowDown, tr("One minute less"), clock);
    auto* inc = MakePictureButton(QStringLiteral("cmdGameTimeInc"), QStyle::SP_ArrowUp, tr("One minute more"), clock);
    clockRow->addWidget(lblGameTime, 1);
    clockRow->addWidget(dec);
    clockRow->addWidget(inc);

    auto* map = new QGroupBox(tr("Map"), strip);
    map->setObjectName(QStringLiteral("fraMapControl"));
    auto* mapRow = new QHBoxLayout(map);
    auto* reset =
        MakePictureButton(QStringLiteral("cmdMapResetGames"), QStyle::SP_BrowserReload, tr("Reset games"), map);
    mapRow->addWidget(MakeLabel(QStringLiteral("lblResetGames"), tr("Restart the current map's games"), map), 1);
    mapRow->addWidget(reset);

    layout->addWidget(clock);
    layout->addWidget(map);
    layout->addStretch();
    m_labels[StatusLabel::lblGameTime] = lblGameTime;
    m_controls[ServerControl::cmdGameTimeDec] = dec;
    m_controls[ServerControl::cmdGameTimeInc] = inc;
    m_controls[ServerControl::cmdMapResetGames] = reset;
    return strip;
}

QWidget* frmMain::BuildSettingsStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QGridLayout(strip);

    auto* fraAutomes = new QGroupBox(tr("Automessages"), strip);
    fraAutomes->setObjectName(QStringLiteral("fraAutomes"));
    auto* automes = new QVBoxLayout(fraAutomes);
    m_chkEnableAutoMessages = new QCheckBox(tr("Ena&ble automessages"), fraAutomes);
    m_chkEnableAutoMessages->setObjectName(QStringLiteral("chkEnableAutoMessages"));
    m_txtAutoMes = new QPlainTextEdit(fraAutomes);
    m_txtAutoMes->setObjectName(QStringLiteral("txtAutoMes"));
    m_txtAutoMes->setEnabled(false);
    auto* interval = new QHBoxLayout;
    m_slideAutoMes = new QSlider(Qt::Horizontal, fraAutomes);
    m_slideAutoMes->setObjectName(QStringLiteral("slideAutoMes"));
    m_slideAutoMes->setRange(kAutoMessageMinutes.min, kAutoMessageMinutes.max);
    m_slideAutoMes->setSingleStep(1);
    m_slideAutoMes->setPageStep(5);
    m_slideAutoMes->setTickPosition(QSlider::TicksBelow);
    m_slideAutoMes->setTickInterval(1);
    m_slideAutoMes->setEnabled(false);
    auto* minutes = MakeLabel(QStringLiteral("lblAutoMesMinutes"), tr("1 min"), fraAutomes);
    minutes->setMinimumWidth(minutes->fontMetrics().horizontalAdvance(QStringLiteral("20 min")));
    connect(m_slideAutoMes, &QSlider::valueChanged, minutes, [minutes](int value) { minutes->setText(tr("%1 min").arg(value)); });
    m_cmdSaveSettingsAutoMes =
        MakeSaveButton(QStringLiteral("cmdSaveSettingsAutoMes"), tr("Save automessa&ges"), fraAutomes);
    m_cmdSaveSettingsAutoMes->setEnabled(false);
    interval->addWidget(m_slideAutoMes, 1);
    interval->addWidget(minutes);
    interval->addWidget(m_cmdSaveSettingsAutoMes);
    automes->addWidget(m_chkEnableAutoMessages);
    automes->addWidget(m_txtAutoMes, 1);
    automes->addWidget(MakeLabel(QStringLiteral("lblTimeInterval"), tr("Select time interval"), fraAutomes));
    automes->addLayout(interval);

    auto* fraOtherSettings = new QGroupBox(tr("Other settings"), strip);
    fraOtherSettings->setObjectName(QStringLiteral("fraOtherSettings"));
    auto* other = new QVBoxLayout(fraOtherSettings);
    m_chkScoringTime = new QCheckBox(tr("Change scoring time (game de&fault is 45 seconds)"), fraOtherSettings);
    m_chkScoringTime->setObjectName(QStringLiteral("chkScoringTime"));
    auto* scoring = new QHBoxLayout;
    m_upDown1 = new NamedSpinBox(QStringLiteral("UpDown1"), QStringLiteral("txtScoringSeconds"), kScoringSeconds.min,
                                 kScoringSeconds.max, OtherSettings{}.ScoringSeconds, fraOtherSettings);
    m_upDown1->setEnabled(false);
    scoring->addSpacing(24);
    scoring->addWidget(m_upDown1);
    scoring->addWidget(MakeLabel(QStringLiteral("lblScoringSeconds"), tr("seconds"), fraOtherSettings));
    scoring->addStretch();
    connect(m_chkScoringTime, &QCheckBox::toggled, m_upDown1, &QWidget::setEnabled);
    m_chkDisplayNextMap = new QCheckBox(tr("(disabled) Display next map message"), fraOtherSettings);
    m_chkDisplayNextMap->setObjectName(QStringLiteral("chkDisplayNextMap"));
    m_chkKeepArchive = new QCheckBox(tr("Save a copy of stats to Archi&ves directory"), fraOtherSettings);
    m_chkKeepArchive->setObjectName(QStringLiteral("chkKeepArchive"));
    auto* minPlayers = new QHBoxLayout;
    m_upDown = new NamedSpinBox(QStringLiteral("UpDown"), QStringLiteral("txtMinPlayers"), kMinPlayers.min, kMinPlayers.max,
                                OtherSettings{}.MinPlayers, fraOtherSettings);
    auto* minPlayersLabel =
        MakeLabel(QStringLiteral("lblMinPlayers0"), tr("&Only track stats when there are at least "), fraOtherSettings);
    minPlayersLabel->setBuddy(m_upDown);
    minPlayers->addWidget(minPlayersLabel);
    minPlayers->addWidget(m_upDown);
    minPlayers->addWidget(MakeLabel(QStringLiteral("lblMinPlayers1"), tr("players (zero for no minimum)"), fraOtherSettings));
    minPlayers->addStretch();
    // How long the record keeps what it holds; stored in settings.ini under [history].
    auto* keep = new QHBoxLayout;
    m_txtHistoryDays = new QSpinBox(fraOtherSettings);
    m_txtHistoryDays->setObjectName(QStringLiteral("txtHistoryDays"));
    m_txtHistoryDays->setRange(kHistoryDays.min, kHistoryDays.max);
    auto* keepLabel = MakeLabel(QStringLiteral("lblHistoryDays0"), tr("&Keep history for"), fraOtherSettings);
    keepLabel->setBuddy(m_txtHistoryDays);
    keep->addWidget(keepLabel);
    keep->addWidget(m_txtHistoryDays);
    keep->addWidget(
        MakeLabel(QStringLiteral("lblHistoryDays1"), tr("days (0 = for ever)"), fraOtherSettings));
    keep->addStretch();
    // Where the record is kept; stored in settings.ini under [store]. A connection string, which
    // may hold the database's password: shown only here, in the operator's own window.
    auto* storeRow = new QHBoxLayout;
    m_txtSharedStore = new QLineEdit(fraOtherSettings);
    m_txtSharedStore->setObjectName(QStringLiteral("txtSharedStore"));
    m_txtSharedStore->setMaxLength(static_cast<int>(kMaxConninfoBytes));
    m_txtSharedStore->setPlaceholderText(tr("empty: the local file tovistats.db"));
    m_txtSharedStore->setToolTip(
        tr("A shared PostgreSQL database that several game servers keep their history, bans and web panel "
           "accounts in, as a libpq connection string (host=... dbname=... user=... password=...) or a "
           "postgresql:// address. Each server is known there by its server code. Empty: the record stays in "
           "the local file tovistats.db. A change takes effect when the program starts again."));
    auto* storeLabel = MakeLabel(QStringLiteral("lblSharedStore"), tr("Share&d store:"), fraOtherSettings);
    storeLabel->setBuddy(m_txtSharedStore);
    storeLabel->setToolTip(m_txtSharedStore->toolTip());
    storeRow->addWidget(storeLabel);
    storeRow->addWidget(m_txtSharedStore, 1);
    // The line said to all players at every third match end.
    auto* periodicRow = new QHBoxLayout;
    m_chkPeriodicChat = new QCheckBox(tr("At every third matc&h end say:"), fraOtherSettings);
    m_chkPeriodicChat->setObjectName(QStringLiteral("chkPeriodicChat"));
    m_txtPeriodicChat = new QLineEdit(fraOtherSettings);
    m_txtPeriodicChat->setObjectName(QStringLiteral("txtPeriodicChat"));
    m_txtPeriodicChat->setMaxLength(static_cast<int>(kPeriodicChatBytes));
    m_txtPeriodicChat->setPlaceholderText(FromGameText(m_service.DefaultPeriodicChatText()));
    m_txtPeriodicChat->setToolTip(tr("Said to all players at every third match end. Empty: the text shown greyed."));
    connect(m_chkPeriodicChat, &QCheckBox::toggled, m_txtPeriodicChat, &QWidget::setEnabled);
    periodicRow->addWidget(m_chkPeriodicChat);
    periodicRow->addWidget(m_txtPeriodicChat, 1);
    auto* otherSave = new QHBoxLayout;
    otherSave->addStretch();
    otherSave->addWidget(
        MakeSaveButton(QStringLiteral("cmdSaveSettingsOther"), tr("Save o&ther settings"), fraOtherSettings));
    other->addWidget(m_chkScoringTime);
    other->addLayout(scoring);
    other->addWidget(m_chkDisplayNextMap);
    other->addWidget(m_chkKeepArchive);
    other->addLayout(minPlayers);
    other->addLayout(keep);
    other->addLayout(storeRow);
    other->addLayout(periodicRow);
    other->addStretch();
    other->addLayout(otherSave);

    auto* fraStatusSettings = new QGroupBox(tr("Status update settings"), strip);
    fraStatusSettings->setObjectName(QStringLiteral("fraStatusSettings"));
    auto* statusForm = new QFormLayout(fraStatusSettings);
    m_txtServerCode = new QLineEdit(QStringLiteral("servercode"), fraStatusSettings);
    m_txtServerCode->setObjectName(QStringLiteral("txtServerCode"));
    m_txtServerCode->setMaxLength(static_cast<int>(kSettingsServerCodeBytes));
    m_txtUpdateURL = new QLineEdit(QStringLiteral("http://stats.example.net/tovistats/update.php"), fraStatusSettings);
    m_txtUpdateURL->setObjectName(QStringLiteral("txtUpdateURL"));
    m_txtUpdateURL->setMaxLength(static_cast<int>(kSettingsUrlBytes));
    m_txtImportURL = new QLineEdit(QStringLiteral("http://stats.example.net/tovistats/import.php"), fraStatusSettings);
    m_txtImportURL->setObjectName(QStringLiteral("txtImportURL"));
    m_txtImportURL->setMaxLength(static_cast<int>(kSettingsUrlBytes));
    statusForm->addRow(MakeLabel(QStringLiteral("lblServerCode"), tr("Server cod&e:"), fraStatusSettings), m_txtServerCode);
    statusForm->addRow(MakeLabel(QStringLiteral("lblUpdateURL"), tr("&Update URL:"), fraStatusSettings), m_txtUpdateURL);
    statusForm->addRow(MakeLabel(QStringLiteral("lblImportURL"), tr("&Import URL:"), fraStatusSettings), m_txtImportURL);
    auto* statusSave = new QHBoxLayout;
    statusSave->addStretch();
    statusSave->addWidget(MakeSaveButton(QStringLiteral("cmdSaveSettingsUpdate"),
                                         tr("Save status update settings"), fraStatusSettings));
    statusForm->addRow(statusSave);

    layout->addWidget(fraAutomes, 0, 0, 2, 1);
    layout->addWidget(fraOtherSettings, 0, 1);
    layout->addWidget(fraStatusSettings, 1, 1);
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(1, 1);
    return strip;
}

QWidget* frmMain::BuildAboutStrip() {
    auto* strip = new QWidget(this);
    auto* layout = new QGridLayout(strip);
    auto* imgAbout = MakeLabel(QStringLiteral("imgAbout"), QString(), strip);
    // Drawn for the screen's scale, and given its room whatever the rows beside it take.
    imgAbout->setPixmap(m_trayIcon.pixmap(QSize(64, 64), devicePixelRatioF()));
    imgAbout->setMinimumSize(64, 64);
    imgAbout->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    auto* lblApplication = MakeLabel(QStringLiteral("lblApplication"), QString(), strip);
    QFont title = lblApplication->font();
    title.setPointSizeF(title.pointSizeF() * 1.5);
    title.setBold(true);
    lblApplication->setFont(title);
    auto* lblAbout = MakeLabel(QStringLiteral("lblAbout"), QString(), strip);
    lblAbout->setWordWrap(true);
    auto* txtThanksTo = new QPlainTextEdit(strip);
    txtThanksTo->setObjectName(QStringLiteral("txtThanksTo"));
    txtThanksTo->setReadOnly(true);
    layout->addWidget(imgAbout, 0, 0, 3, 1);
    layout->addWidget(lblApplication, 0, 1);
    layout->addWidget(MakeLabel(QStringLiteral("lblVersion"), QString(), strip), 1, 1);
    layout->addWidget(MakeLabel(QStringLiteral("lblNotes"), QString(), strip), 2, 1);
    layout->addWidget(lblAbout, 3, 1);
    layout->addWidget(txtThanksTo, 4, 1);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(4, 1);
    return strip;
}

void frmMain::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(true);
    const std::array<int, 4> widths = {110, 110, 0, 170};
    const std::array<QString, 4> tips = {
        tr("Players on the server, of the most it takes"),
        tr("The game server's process id"),
        tr("What the game server is doing"),
        tr("Time left in the match"),
    };
    for (int panel = 1; panel <= 4; ++panel) {
        auto* label = MakeLabel(QStringLiteral("StatusBarPanel%1").arg(panel), QString(), bar);
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        label->setContentsMargins(4, 0, 4, 0);
        const int width = widths[static_cast<size_t>(panel - 1)];
        if (width > 0) label->setMinimumWidth(width);
        bar->addPermanentWidget(label, width == 0 ? 1 : 0);
        label->setToolTip(tips[static_cast<size_t>(panel - 1)]);
        m_panels[static_cast<size_t>(panel)] = label;
        SetPanel(panel, "");
    }
}

void frmMain::BuildTray() {
    m_tray.setObjectName(QStringLiteral("TrayIcon"));
    m_mnuTray = new QMenu(tr("&TrayMenu"), this);
    m_mnuTray->setObjectName(QStringLiteral("mnuTray"));
    QAction* show = m_mnuTray->addAction(tr("&Show"));
    show->setObjectName(QStringLiteral("mnuTrayShow"));
    m_mnuTray->setDefaultAction(show);
    connect(show, &QAction::triggered, this, &frmMain::RestoreWindow);
    // What the server does, to read, not to choose.
    m_mnuTrayStatus = m_mnuTray->addAction(tr("No status yet"));
    m_mnuTrayStatus->setObjectName(QStringLiteral("mnuTrayStatus"));
    m_mnuTrayStatus->setEnabled(false);
    m_mnuTray->addSeparator()->setObjectName(QStringLiteral("mnuTrayLine1"));
    // The Server tab's hide or show button, whichever it shows now.
    m_mnuTrayServerWindow = m_mnuTray->addAction(tr("&Hide server window"));
    m_mnuTrayServerWindow->setObjectName(QStringLiteral("mnuTrayServerWindow"));
    m_mnuTrayServerWindow->setEnabled(false);
    connect(m_mnuTrayServerWindow, &QAction::triggered, this, [this] {
        if (m_cmdHide->isHidden())
            cmdShow_Click();
        else
            cmdHide_Click();
    });
    m_mnuTray->addSeparator()->setObjectName(QStringLiteral("mnuTrayLine2"));
    QAction* quit = m_mnuTray->addAction(tr("E&xit"));
    quit->setObjectName(QStringLiteral("mnuTrayExit"));
    // As the window's close box: the same questions, over the window they are about.
    connect(quit, &QAction::triggered, this, [this] {
        RestoreWindow();
        close();
    });
    m_tray.setContextMenu(m_mnuTray);
    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) RestoreWindow();
    });
}

}  // namespace tovi
