#include "HistoryStrip.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSaveFile>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "HistoryCsv.h"
#include "ListViews.h"
#include "PlayerHistoryDialog.h"
#include "PlayersChart.h"
#include "QtSupport.h"

namespace tovi {

namespace {

// The detail of a row; a stint's end as the list shows times.
QString RowDetail(const HistoryRow& row) {
    if (row.LeftAt) return HistoryStrip::tr("left %1").arg(HistoryTime(*row.LeftAt));
    return FromGameText(row.Detail);
}

}  // namespace

HistoryStrip::HistoryStrip(Service& service, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_service(service), m_dialogs(dialogs) {
    QWidget* strip = this;
    auto* layout = new QVBoxLayout(strip);
    auto* row = new QHBoxLayout();
    auto* label = new QLabel(tr("Loo&k for:"), strip);
    label->setObjectName(QStringLiteral("lblHistorySearch"));
    m_txtHistorySearch = new QLineEdit(strip);
    m_txtHistorySearch->setObjectName(QStringLiteral("txtHistorySearch"));
    m_txtHistorySearch->setPlaceholderText(tr("Words said, part of a name, an action"));
    label->setBuddy(m_txtHistorySearch);
    m_cboHistoryKind = new QComboBox(strip);
    m_cboHistoryKind->setObjectName(QStringLiteral("cboHistoryKind"));
    // In the order of HistoryKind.
    m_cboHistoryKind->addItems(
        {tr("Chat"), tr("Players"), tr("Admin actions"), tr("Matches"), tr("Server events")});
    m_cmdHistorySearch = new QPushButton(tr("Fin&d"), strip);
    m_cmdHistorySearch->setObjectName(QStringLiteral("cmdHistorySearch"));
    row->addWidget(label);
    row->addWidget(m_txtHistorySearch, 1);
    row->addWidget(m_cboHistoryKind);
    row->addWidget(m_cmdHistorySearch);

    // The filters: a player, and a time range whose ends are open until ticked.
    auto* filters = new QHBoxLayout();
    auto* playerLabel = new QLabel(tr("Player:"), strip);
    playerLabel->setObjectName(QStringLiteral("lblHistoryPlayer"));
    m_txtHistoryPlayer = new QLineEdit(strip);
    m_txtHistoryPlayer->setObjectName(QStringLiteral("txtHistoryPlayer"));
    m_txtHistoryPlayer->setPlaceholderText(tr("any player"));
    playerLabel->setBuddy(m_txtHistoryPlayer);
    auto makeEnd = [&](const QString& check, const QString& caption, const QString& edit, QCheckBox*& box,
                       QDateTimeEdit*& time) {
        box = new QCheckBox(caption, strip);
        box->setObjectName(check);
        time = new QDateTimeEdit(strip);
        time->setObjectName(edit);
        time->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        time->setCalendarPopup(true);
        time->setEnabled(false);
        // Open ends show as "any"; a ticked end starts at today's beginning or the present minute.
        time->setMinimumDateTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0)));
        time->setSpecialValueText(tr("any"));
        time->setDateTime(time->minimumDateTime());
        connect(box, &QCheckBox::toggled, time, [time, box, this](bool ticked) {
            time->setEnabled(ticked);
            if (!ticked) {
                time->setDateTime(time->minimumDateTime());
            } else if (time->dateTime() == time->minimumDateTime()) {
                const QDateTime now = QDateTime::currentDateTime();
                time->setDateTime(box == m_chkHistoryFrom
                                      ? QDateTime(now.date(), QTime(0, 0))
                                      : QDateTime(now.date(), QTime(now.time().hour(), now.time().minute())));
            }
        });
    };
    makeEnd(QStringLiteral("chkHistoryFrom"), tr("Fr&om:"), QStringLiteral("dtpHistoryFrom"),
            m_chkHistoryFrom, m_dtpHistoryFrom);
    makeEnd(QStringLiteral("chkHistoryTo"), tr("Unt&il:"), QStringLiteral("dtpHistoryTo"), m_chkHistoryTo,
            m_dtpHistoryTo);
    m_cmdHistoryExport = new QPushButton(tr("E&xport..."), strip);
    m_cmdHistoryExport->setObjectName(QStringLiteral("cmdHistoryExport"));
    m_cmdHistoryExport->setToolTip(tr("Write the rows found to a CSV file"));
    filters->addWidget(playerLabel);
    filters->addWidget(m_txtHistoryPlayer, 1);
    filters->addWidget(m_chkHistoryFrom);
    filters->addWidget(m_dtpHistoryFrom);
    filters->addWidget(m_chkHistoryTo);
    filters->addWidget(m_dtpHistoryTo);
    filters->addWidget(m_cmdHistoryExport);

    m_lstHistory = MakeReportList(QStringLiteral("lstHistory"),
                                  {tr("Time"), tr("Kind"), tr("Player"), tr("Text"), tr("Detail")}, strip);
    m_lstHistory->setColumnWidth(0, 140);
    m_lstHistory->setColumnWidth(1, 60);
    m_lstHistory->setColumnWidth(2, 140);
    m_lstHistory->setColumnWidth(3, 260);
    m_lstHistory->setSortingEnabled(true);
    m_lstHistory->sortByColumn(0, Qt::DescendingOrder);
    m_lstHistory->setToolTip(tr("Double-click a row that names a player to see his history"));
    m_lblHistorySize = MakeLabel(QStringLiteral("lblHistorySize"), QString(), strip);
    // Why the last search found nothing it could show: the record could not be read.
    m_lblHistoryError = MakeLabel(QStringLiteral("lblHistoryError"), QString(), strip);
    m_lblHistoryError->setVisible(false);
    m_lblHistorySearching = MakeLabel(QStringLiteral("lblHistorySearching"), tr("Searching..."), strip);
    m_lblHistorySearching->setVisible(false);
    layout->addLayout(row);
    layout->addLayout(filters);
    layout->addWidget(m_lblHistoryError);
    layout->addWidget(m_lblHistorySearching);
    layout->addWidget(m_lstHistory, 1);
    layout->addWidget(MakePlayersChart(m_service.Reader(), strip));
    layout->addWidget(m_lblHistorySize);
    connect(m_cmdHistorySearch, &QPushButton::clicked, this, &HistoryStrip::cmdHistorySearch_Click);
    connect(m_txtHistorySearch, &QLineEdit::returnPressed, this, &HistoryStrip::cmdHistorySearch_Click);
    connect(m_txtHistoryPlayer, &QLineEdit::returnPressed, this, &HistoryStrip::cmdHistorySearch_Click);
    connect(m_lstHistory, &QTreeWidget::itemDoubleClicked, this, &HistoryStrip::lstHistory_DoubleClick);
    connect(m_cmdHistoryExport, &QPushButton::clicked, this, &HistoryStrip::cmdHistoryExport_Click);
    // Server events name no player.
    connect(m_cboHistoryKind, &QComboBox::currentIndexChanged, m_txtHistoryPlayer,
            [this](int kind) { m_txtHistoryPlayer->setEnabled(kind != 4); });
}

void HistoryStrip::cmdHistorySearch_Click() {
    constexpr HistoryKind kinds[] = {HistoryKind::Chat, HistoryKind::Players, HistoryKind::Admin,
                                     HistoryKind::Matches, HistoryKind::Events};
    HistoryQuery query;
    query.Kind = kinds[std::clamp(m_cboHistoryKind->currentIndex(), 0, 4)];
    query.Text = ToGameText(m_txtHistorySearch->text().trimmed());
    if (m_txtHistoryPlayer->isEnabled()) query.Player = ToGameText(m_txtHistoryPlayer->text().trimmed());
    if (m_chkHistoryFrom->isChecked()) query.From = m_dtpHistoryFrom->dateTime().toSecsSinceEpoch();
    // The end shows minutes: "until 18:30" takes in 18:30's own seconds.
    if (m_chkHistoryTo->isChecked()) query.To = m_dtpHistoryTo->dateTime().toSecsSinceEpoch() + 60;
    query.Limit = kHistoryRows;
    // Answered later, off the event loop; the button stays usable, and a newer search's answer
    // is the only one shown.
    m_lblHistorySearching->setVisible(true);
    m_service.Reader().Search(this, kSearchSlot, query, [this](HistoryResult found) { ShowFound(std::move(found)); });
}

void HistoryStrip::ShowFound(HistoryResult found) {
    m_lblHistorySearching->setVisible(false);
    m_historyRows = std::move(found.Rows);
    const std::string& error = found.Error;
    // A failed read is said, not shown as "nothing found"; what part of it was read is not shown.
    if (!error.empty()) m_historyRows.clear();
    m_lblHistoryError->setText(error.empty() ? QString() : tr("Search failed: %1").arg(FromGameText(error)));
    m_lblHistoryError->setVisible(!error.empty());
    m_lstHistory->setSortingEnabled(false);
    m_lstHistory->clear();
    int newness = 0;
    for (const HistoryRow& r : m_historyRows) {
        // Game texts go in as plain text: an item never interprets markup.
        auto* item = new TimedItem(m_lstHistory, r.Time, newness++);
        item->setText(0, HistoryTime(r.Time));
        item->setText(1, QString::fromStdString(r.Kind));
        item->setText(2, FromGameText(r.Player));
        // The name as the record holds it, which the player window looks up.
        item->setData(2, Qt::UserRole, QByteArray::fromStdString(r.Player));
        item->setText(3, FromGameText(r.Text));
        item->setText(4, RowDetail(r));
    }
    m_lstHistory->setSortingEnabled(true);
    RefreshHistorySize();
}

void HistoryStrip::lstHistory_DoubleClick(QTreeWidgetItem* item) {
    if (!item || item->text(2).trimmed().isEmpty()) return;
    ShowPlayerHistory(item->data(2, Qt::UserRole).toByteArray().toStdString());
}

void HistoryStrip::ShowPlayerHistory(const std::string& name) {
    // The window opens when the record is read; a player asked for since takes its place.
    m_service.Reader().PlayerRecord(this, kPlayerSlot, name, [this, name](HistoryRead<PlayerHistory> read) {
        if (!read.Error.empty()) {
            m_dialogs.Warn("Search failed: " + read.Error);
            return;
        }
        // Shown beside the window, not over it: the poll and the window go on meanwhile.
        auto* view = new PlayerHistoryDialog(name, read.Value, m_service.Bans().EntriesFor(name),
                                             QDateTime::currentSecsSinceEpoch(), this);
        view->setAttribute(Qt::WA_DeleteOnClose);
        view->show();
    });
}

void HistoryStrip::cmdHistoryExport_Click() {
    auto* ask = new QFileDialog(this, tr("Export history"), m_service.DataDir(),
                                tr("CSV files (*.csv);;All files (*)"));
    ask->setObjectName(QStringLiteral("dlgHistoryExport"));
    ask->setAcceptMode(QFileDialog::AcceptSave);
    ask->setDefaultSuffix(QStringLiteral("csv"));
    ask->selectFile(QStringLiteral("history.csv"));
    ask->setAttribute(Qt::WA_DeleteOnClose);
    // Answered later, so that no event loop runs inside this handler.
    connect(ask, &QFileDialog::fileSelected, this, [this](const QString& path) { ExportHistory(path); });
    ask->open();
}

bool HistoryStrip::ExportHistory(const QString& path) {
    // Written beside the file and put in its place when complete, so that a failure leaves any
    // file of that name as it was.
    QSaveFile file(path);
    const std::string csv = HistoryCsv(m_historyRows);
    const bool written =
        file.open(QIODevice::WriteOnly) &&
        file.write(csv.data(), static_cast<qint64>(csv.size())) == static_cast<qint64>(csv.size()) &&
        file.commit();
    if (!written) {
        m_dialogs.Warn("The history was not exported to " + ToGameText(path) + ": " +
                       ToGameText(file.errorString()));
    }
    return written;
}

void HistoryStrip::RefreshHistorySize() {
    if (!m_service.HistoryKept()) {
        m_lblHistorySize->setText(tr("No history is kept: the record could not be opened."));
        return;
    }
    m_service.Reader().Size(this, kSizeSlot, [this](HistoryRead<HistorySize> read) { ShowSize(read); });
}

void HistoryStrip::ShowSize(const HistoryRead<HistorySize>& read) {
    if (!read.Error.empty()) {
        m_lblHistorySize->setText(tr("The record's size could not be read: %1").arg(FromGameText(read.Error)));
        return;
    }
    const HistorySize& size = read.Value;
    m_lblHistorySize->setText(
        tr("tovistats.db: %1; %2, %3, %4, %5, %6")
            .arg(QLocale::system().formattedDataSize(size.Bytes), Counted(size.Matches, tr("match"), tr("matches")),
                 Counted(size.Stints, tr("stint"), tr("stints")), Counted(size.Chat, tr("chat line"), tr("chat lines")),
                 Counted(size.AdminActions, tr("admin action"), tr("admin actions")),
                 Counted(size.Events, tr("server event"), tr("server events"))));
}

}  // namespace tovi
