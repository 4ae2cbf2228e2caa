#include "PlayerHistoryDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ListViews.h"
#include "QtSupport.h"

namespace tovi {

namespace {

// Items are plain text: names and reasons come from the game and are shown as they were typed.
void Fill(QTreeWidgetItem* item, const QStringList& cells) {
    for (int column = 0; column < cells.size(); ++column) item->setText(column, cells[column]);
}

void SortNewestFirst(QTreeWidget* list) {
    list->setSortingEnabled(true);
    list->sortByColumn(0, Qt::DescendingOrder);
    for (int column = 0; column < list->columnCount() - 1; ++column) list->resizeColumnToContents(column);
}

}  // namespace

PlayerHistoryDialog::PlayerHistoryDialog(const std::string& name, const PlayerHistory& record,
                                         const std::vector<BanEntry>& bans, int64_t now, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("PlayerHistoryDialog"));
    setWindowTitle(tr("History of %1").arg(FromGameText(name)));
    auto* layout = new QVBoxLayout(this);
    auto* summary = new QLabel(this);
    summary->setObjectName(QStringLiteral("lblPlayerHistory"));
    summary->setTextFormat(Qt::PlainText);
    summary->setWordWrap(true);
    auto n = [](size_t count) { return static_cast<qint64>(count); };
    summary->setText(tr("%1: %2, %3, %4, %5 aimed at him, %6")
                         .arg(FromGameText(name), Counted(n(record.Names.size()), tr("name"), tr("names")),
                              Counted(n(record.Stints.size()), tr("stint"), tr("stints")),
                              Counted(n(record.Matches.size()), tr("match"), tr("matches")),
                              Counted(n(record.Actions.size()), tr("action"), tr("actions")),
                              Counted(n(bans.size()), tr("ban list entry"), tr("ban list entries"))));
    auto* pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("tabPlayerHistory"));

    auto* names = MakeReportList(QStringLiteral("lstPlayerNames"), {tr("Name")}, pages);
    for (const std::string& spelling : record.Names)
        Fill(new QTreeWidgetItem(names), {FromGameText(spelling)});

    auto* stints =
        MakeReportList(QStringLiteral("lstPlayerStints"),
                       {tr("Joined"), tr("Left"), tr("Name"), tr("Slot"), tr("Team"), tr("Map")}, pages);
    int newness = 0;
    for (const PlayerStint& s : record.Stints) {
        Fill(new TimedItem(stints, s.Joined, newness++),
             {HistoryTime(s.Joined), s.Left != 0 ? HistoryTime(s.Left) : QString(), FromGameText(s.Name),
              QString::number(s.Slot), QString::number(s.Team), FromGameText(s.MapName)});
    }
    SortNewestFirst(stints);

    // One column per statistic, in the order the record lists them.
    QStringList statNames;
    for (const PlayerMatch& m : record.Matches) {
        for (const PlayerStat& st : m.Stats) {
            if (!statNames.contains(FromGameText(st.Name))) statNames << FromGameText(st.Name);
        }
    }
    auto* matches = MakeReportList(QStringLiteral("lstPlayerMatches"),
                                   QStringList{tr("Started"), tr("Ended"), tr("Server"), tr("Map"),
                                               tr("Game type"), tr("Result"), tr("Team")} +
                                       statNames,
                                   pages);
    newness = 0;
    for (const PlayerMatch& m : record.Matches) {
        QStringList cells{HistoryTime(m.Started),
                          m.Ended != 0 ? HistoryTime(m.Ended) : QString(),
                          FromGameText(m.ServerName),
                          FromGameText(m.MapName),
                          FromGameText(m.GameType),
                          FromGameText(m.Result),
                          m.Team != 0 ? QString::number(m.Team) : QString()};
        for (const QString& stat : statNames) {
            QString value;
            for (const PlayerStat& st : m.Stats) {
                if (FromGameText(st.Name) == stat) value = QString::number(st.Value);
            }
            cells << value;
        }
        Fill(new TimedItem(matches, m.Started, newness++), cells);
    }
    SortNewestFirst(matches);

    auto* actions = MakeReportList(
        QStringLiteral("lstPlayerActions"),
        {tr("Time"), tr("Action"), tr("Outcome"), tr("Reason"), tr("By"), tr("Detail")}, pages);
    newness = 0;
    for (const AdminAction& a : record.Actions) {
        QString outcome = QString::fromLatin1(OutcomeText(a.Result));
        if (!a.Why.empty()) outcome += QStringLiteral(": ") + FromGameText(a.Why);
        Fill(new TimedItem(actions, a.Time, newness++),
             {HistoryTime(a.Time), QString::fromLatin1(ActionName(a.Action)), outcome, FromGameText(a.Reason),
              FromGameText(a.Who), FromGameText(a.Detail)});
    }
    SortNewestFirst(actions);

    // His entries in the ban list, in force or not, as the Ban list tab shows them.
    auto* banList =
        MakeReportList(QStringLiteral("lstPlayerBans"),
                       {tr("Issued"), tr("State"), tr("Reason"), tr("By"), tr("Ends"), tr("Lifted")}, pages);
    newness = 0;
    for (const BanEntry& b : bans) {
        QString lifted;
        if (b.LiftedAt != 0)
            lifted = HistoryTime(b.LiftedAt) + QStringLiteral(", ") + FromGameText(b.LiftedBy) +
                     (b.LiftReason.empty() ? QString() : QStringLiteral(": ") + FromGameText(b.LiftReason));
        Fill(new TimedItem(banList, b.IssuedAt, newness++),
             {HistoryTime(b.IssuedAt), QString::fromLatin1(BanStateText(StateOf(b, now))),
              FromGameText(b.Reason), FromGameText(b.IssuedBy),
              b.ExpiresAt != 0 ? HistoryTime(b.ExpiresAt) : tr("never"), lifted});
    }
    SortNewestFirst(banList);

    pages->addTab(stints, tr("Stints"));
    pages->addTab(matches, tr("Matches"));
    pages->addTab(actions, tr("Punts, bans and messages"));
    pages->addTab(banList, tr("Ban list"));
    pages->addTab(names, tr("Names"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("cmdPlayerHistoryClose"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(summary);
    layout->addWidget(pages, 1);
    layout->addWidget(buttons);
    resize(760, 420);
}

}  // namespace tovi
