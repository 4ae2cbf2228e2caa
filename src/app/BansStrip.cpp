#include "BansStrip.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ListViews.h"
#include "QtSupport.h"
#include "Service.h"
#include "Windows1252.h"

namespace tovi {

namespace {

// The list file is read whole; a ban list is far smaller than this.
constexpr qint64 kMaxImportBytes = 16 * 1024 * 1024;

QString TimeText(int64_t time) {
    return time == 0 ? QString()
                     : QDateTime::fromSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QPushButton* Button(const QString& name, const QString& caption, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    return button;
}

}  // namespace

BansStrip::BansStrip(Service& service, Clock now, QWidget* parent)
    : QWidget(parent),
      m_service(service),
      m_list(service.Bans()),
      m_actions(service.BanMenu()),
      m_dialogs(service.ServiceDialogs()),
      m_now(std::move(now)) {
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    m_txtBanSearch = new QLineEdit(this);
    m_txtBanSearch->setObjectName(QStringLiteral("txtBanSearch"));
    m_txtBanSearch->setPlaceholderText(tr("Part of a name, a reason, who issued it"));
    m_cboBanFilter = new QComboBox(this);
    m_cboBanFilter->setObjectName(QStringLiteral("cboBanFilter"));
    m_cboBanFilter->addItems({tr("All"), tr("Active"), tr("Expired"), tr("Lifted")});
    m_cboBanFilter->setCurrentIndex(1);
    row->addWidget(new QLabel(tr("Look for:"), this));
    row->addWidget(m_txtBanSearch, 1);
    row->addWidget(m_cboBanFilter);
    m_lstBans = MakeReportList(QStringLiteral("lstBans"),
                               {tr("Name"), tr("State"), tr("Reason"), tr("Issued by"), tr("Issued"),
                                tr("Expires"), tr("Lifted"), tr("Notes")},
                               this);
    m_lstBans->setSortingEnabled(true);
    // Names, states and times as wide as they are after the first fill, and again when the operator
    // double-clicks a divider (sizing them to every row at each change costs more than the change);
    // the free texts at a width the operator can change; names and free texts whole in their
    // tooltips, and the list scrolls sideways when it is wider than the tab.
    FitColumns(m_lstBans, {});
    m_lstBans->setColumnWidth(2, m_lstBans->fontMetrics().averageCharWidth() * 30);
    m_lstBans->setColumnWidth(6, m_lstBans->fontMetrics().averageCharWidth() * 30);
    auto* buttons = new QHBoxLayout;
    auto* add = Button(QStringLiteral("cmdBanAdd"), tr("Add &entry..."), this);
    auto* edit = Button(QStringLiteral("cmdBanEdit"), tr("Chan&ge..."), this);
    auto* lift = Button(QStringLiteral("cmdBanLift"), tr("Lift (unban)..."), this);
    auto* import = Button(QStringLiteral("cmdBanImport"), tr("Import CS&V..."), this);
    auto* exportCsv = Button(QStringLiteral("cmdBanExport"), tr("Export CSV..."), this);
    for (QPushButton* b : {add, edit, lift}) buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(import);
    buttons->addWidget(exportCsv);
    layout->addLayout(row);
    layout->addWidget(m_lstBans, 1);
    layout->addLayout(buttons);

    connect(m_txtBanSearch, &QLineEdit::textChanged, this, [this] { Refresh(true); });
    connect(m_cboBanFilter, &QComboBox::currentIndexChanged, this, [this] { Refresh(true); });
    connect(add, &QPushButton::clicked, this, &BansStrip::cmdBanAdd_Click);
    connect(edit, &QPushButton::clicked, this, &BansStrip::cmdBanEdit_Click);
    connect(m_lstBans, &QTreeWidget::itemDoubleClicked, this, &BansStrip::cmdBanEdit_Click);
    connect(lift, &QPushButton::clicked, this, &BansStrip::cmdBanLift_Click);
    connect(import, &QPushButton::clicked, this, [this] {
        const QString path =
            QFileDialog::getOpenFileName(this, tr("Import ban list"), QString(), tr("CSV (*.csv)"));
        if (!path.isEmpty()) ImportFile(path);
    });
    connect(exportCsv, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Export ban list"),
                                                          QStringLiteral("bans.csv"), tr("CSV (*.csv)"));
        if (!path.isEmpty()) ExportFile(path);
    });
    // Bans added from the player menu and entries that expire show without a click.
    auto* refresh = new QTimer(this);
    refresh->setInterval(5000);
    connect(refresh, &QTimer::timeout, this, [this] { Refresh(); });
    refresh->start();
    Refresh(true);
}

void BansStrip::Refresh(bool always) {
    const int64_t now = m_now();
    // Redrawn only on a change, or when an entry expired: a redraw loses the operator's place.
    const auto active = static_cast<size_t>(std::ranges::count_if(
        m_list.Entries(), [now](const BanEntry& e) { return StateOf(e, now) == BanState::Active; }));
    if (!always && m_shownRevision == m_list.Revision() && m_shownActive == active) return;
    m_shownRevision = m_list.Revision();
    m_shownActive = active;
    const int filter = m_cboBanFilter->currentIndex();
    const std::string search = LowerCase1252(ToGameText(m_txtBanSearch->text()));
    const int64_t selected = SelectedId();
    m_lstBans->setSortingEnabled(false);
    m_lstBans->clear();
    for (const BanEntry& e : m_list.Entries()) {
        const BanState state = StateOf(e, now);
        if (filter == 1 && state != BanState::Active) continue;
        if (filter == 2 && state != BanState::Expired) continue;
        if (filter == 3 && state != BanState::Lifted) continue;
        if (!search.empty()) {
            const std::string hay =
                LowerCase1252(e.Name + "\n" + e.Reason + "\n" + e.IssuedBy + "\n" + e.Notes);
            if (hay.find(search) == std::string::npos) continue;
        }
        auto* item = new QTreeWidgetItem(m_lstBans);
        item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(e.Id));
        item->setText(0, FromGameText(e.Name) + (e.ExactCase ? tr(" (exact case)") : QString()));
        item->setText(1, QString::fromLatin1(BanStateText(state)));
        item->setText(2, FromGameText(e.Reason));
        item->setText(3, FromGameText(e.IssuedBy));
        item->setText(4, TimeText(e.IssuedAt));
        item->setText(5, e.ExpiresAt == 0 ? tr("never") : TimeText(e.ExpiresAt));
        item->setText(6, e.LiftedAt == 0
                             ? QString()
                             : TimeText(e.LiftedAt) + QStringLiteral(" ") + FromGameText(e.LiftedBy) +
                                   QStringLiteral(": ") + FromGameText(e.LiftReason));
        item->setText(7, FromGameText(e.Notes));
        for (int column : {0, 2, 6, 7}) item->setToolTip(column, item->text(column));
        if (e.Id == selected) m_lstBans->setCurrentItem(item);
    }
    m_lstBans->setSortingEnabled(true);
    if (!m_columnsFitted && m_lstBans->topLevelItemCount() > 0) {
        m_columnsFitted = true;
        for (int column : {0, 1, 3, 4, 5}) m_lstBans->resizeColumnToContents(column);
    }
    // An empty list has nothing to scroll to: its headings alone may be wider than the tab.
    m_lstBans->setHorizontalScrollBarPolicy(m_lstBans->topLevelItemCount() == 0 ? Qt::ScrollBarAlwaysOff
                                                                                  : Qt::ScrollBarAsNeeded);
}

int64_t BansStrip::SelectedId() const {
    const QTreeWidgetItem* item = m_lstBans->currentItem();
    return item ? item->data(0, Qt::UserRole).toLongLong() : 0;
}

void BansStrip::cmdBanAdd_Click() {
    OpenEditor(BanEntry{});
}

void BansStrip::cmdBanEdit_Click() {
    if (const BanEntry* e = m_list.Find(SelectedId())) OpenEditor(*e);
}

void BansStrip::OpenEditor(const BanEntry& entry) {
    // Not modal for the program: the poll and the console keep running while it is open.
    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("dlgBan"));
    dialog->setWindowTitle(entry.Id == 0 ? tr("Add a ban") : tr("Edit a ban"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* form = new QFormLayout(dialog);
    auto* name = new QLineEdit(FromGameText(entry.Name), dialog);
    name->setObjectName(QStringLiteral("txtBanName"));
    auto* exact = new QCheckBox(tr("Letter case must match exactly"), dialog);
    exact->setObjectName(QStringLiteral("chkBanExactCase"));
    exact->setChecked(entry.ExactCase);
    auto* reason = new QLineEdit(FromGameText(entry.Reason), dialog);
    reason->setObjectName(QStringLiteral("txtBanReason"));
    const int64_t now = m_now();
    auto* duration = new QLineEdit(dialog);
    duration->setObjectName(QStringLiteral("txtBanDuration"));
    duration->setPlaceholderText(tr("30m, 2h, 7d, never"));
    if (entry.Id == 0) {
        duration->setText(QStringLiteral("7d"));
    } else {
        duration->setText(entry.ExpiresAt == 0 ? QStringLiteral("never")
                                               : QString::fromStdString(DurationText(
                                                     std::max<int64_t>(entry.ExpiresAt - now, 1))));
    }
    auto* notes = new QLineEdit(FromGameText(entry.Notes), dialog);
    notes->setObjectName(QStringLiteral("txtBanNotes"));
    form->addRow(tr("Name:"), name);
    form->addRow(QString(), exact);
    form->addRow(tr("Reason:"), reason);
    form->addRow(entry.Id == 0 ? tr("Duration:") : tr("Time left from now:"), duration);
    form->addRow(tr("Notes:"), notes);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    form->addRow(box);
    connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(box, &QDialogButtonBox::accepted, dialog, [=, this] {
        const std::optional<int64_t> seconds = ParseDuration(ToGameText(duration->text()));
        if (!seconds) {
            m_dialogs.Warn("\"" + ToGameText(duration->text()) +
                           "\" is no duration: write for instance 30m, 2h, 7d or never.");
            return;
        }
        BanEntry changed = entry;
        changed.Name = ToGameText(name->text());
        changed.ExactCase = exact->isChecked();
        changed.Reason = ToGameText(reason->text());
        changed.Notes = ToGameText(notes->text());
        // Not kept: the service has told the operator why, and the dialog stays to be corrected.
        if (!(changed.Id == 0 ? m_service.AddBan(changed, *seconds) : m_service.EditBan(changed, *seconds)))
            return;
        dialog->accept();
        Refresh(true);
    });
    dialog->open();
}

void BansStrip::cmdBanLift_Click() {
    const BanEntry* e = m_list.Find(SelectedId());
    if (!e || e->LiftedAt != 0) return;
    const int64_t id = e->Id;
    m_dialogs.InputBox("Why is the ban of " + e->Name + " lifted?", "",
                       [this, id](std::optional<std::string> reason) {
                           if (!reason || reason->empty()) return;
                           m_service.Act({.Kind = ActionKind::BanLifted, .Text = *reason, .BanId = id});
                           Refresh(true);
                       });
}

bool BansStrip::ImportFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxImportBytes) {
        m_dialogs.Warn("The file " + ToGameText(path) +
                       " cannot be read, or is larger than a ban list can be.");
        return false;
    }
    const QByteArray bytes = file.readAll();
    std::string report;
    const bool done = m_service.ImportBans(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                                           ToGameText(path), report);
    Refresh(true);
    return done;
}

bool BansStrip::ExportFile(const QString& path) {
    return m_service.ExportBans(ToGameText(path), [&path](const std::string& csv) {
        // All of it or, if the disk fails, the file as it was.
        QSaveFile file(path);
        return file.open(QIODevice::WriteOnly) &&
               file.write(csv.data(), static_cast<qint64>(csv.size())) == static_cast<qint64>(csv.size()) &&
               file.commit();
    });
}

QGroupBox* BansStrip::BuildSettingsGroup(QWidget* parent) {
    auto* group = new QGroupBox(tr("Bans and warnings"), parent);
    group->setObjectName(QStringLiteral("fraBanSettings"));
    auto* form = new QFormLayout(group);
    m_txtBanPresets = new QPlainTextEdit(group);
    m_txtBanPresets->setObjectName(QStringLiteral("txtBanPresets"));
    m_txtBanPresets->setToolTip(tr("One a line: a duration, a blank, the reason. For instance: 7d Cheating"));
    m_txtBanPresets->setMaximumHeight(80);
    m_chkWarnings = new QCheckBox(tr("Act on repeated warnings"), group);
    m_chkWarnings->setObjectName(QStringLiteral("chkWarnings"));
    m_txtWarnLadder = new QLineEdit(group);
    m_txtWarnLadder->setObjectName(QStringLiteral("txtWarnLadder"));
    m_txtWarnLadder->setToolTip(tr("For instance: 2 punt, 3 ban 1d"));
    m_spnWarnWindow = new QSpinBox(group);
    m_spnWarnWindow->setObjectName(QStringLiteral("spnWarnWindow"));
    m_spnWarnWindow->setRange(0, kMaxWarnWindowMinutes);
    m_spnWarnWindow->setSpecialValueText(tr("this match"));
    m_spnWarnWindow->setSuffix(tr(" min"));
    auto* save = Button(QStringLiteral("cmdSaveSettingsBans"), tr("Save"), group);
    form->addRow(tr("Ban for:"), m_txtBanPresets);
    form->addRow(m_chkWarnings);
    form->addRow(tr("Warnings lead to:"), m_txtWarnLadder);
    form->addRow(tr("Counted within:"), m_spnWarnWindow);
    form->addRow(save);
    connect(save, &QPushButton::clicked, this, &BansStrip::cmdSaveSettingsBans_Click);
    ShowSettings(m_settingsShown);
    return group;
}

// The group's boxes as typed, in the settings' own form.
struct BansStripTyped {
    std::string presets, steps;
    bool warningsOn;
    int windowMinutes;
};

static BansStripTyped Typed(const QPlainTextEdit* presets, const QCheckBox* warnings, const QLineEdit* ladder,
                            const QSpinBox* window) {
    QString text = presets->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return {ToGameText(text), ToGameText(ladder->text()), warnings->isChecked(), window->value()};
}

void BansStrip::ShowSettings(const BanSettings& s) {
    m_settingsShown = s;
    if (!m_txtBanPresets) return;
    m_txtBanPresets->setPlainText(
        FromGameText(BanPresetsText(s.Presets)).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    m_chkWarnings->setChecked(s.Ladder.On);
    m_txtWarnLadder->setText(FromGameText(WarningStepsText(s.Ladder.Steps)));
    m_spnWarnWindow->setValue(s.Ladder.WindowMinutes);
}

bool BansStrip::SettingsChanged() const {
    if (!m_txtBanPresets) return false;
    const BansStripTyped typed = Typed(m_txtBanPresets, m_chkWarnings, m_txtWarnLadder, m_spnWarnWindow);
    const BanSettings& shown = m_settingsShown;
    return typed.presets != BanPresetsText(shown.Presets) || typed.steps != WarningStepsText(shown.Ladder.Steps) ||
           typed.warningsOn != shown.Ladder.On || typed.windowMinutes != shown.Ladder.WindowMinutes;
}

bool BansStrip::SaveSettings() {
    if (!m_txtBanPresets) return false;
    const BansStripTyped typed = Typed(m_txtBanPresets, m_chkWarnings, m_txtWarnLadder, m_spnWarnWindow);
    return m_service.SaveBanSettings(typed.presets, typed.warningsOn, typed.steps, typed.windowMinutes,
                                     kOperatorAtWindow);
}

}  // namespace tovi
