#include "ListViews.h"

#include <QDateTime>
#include <QHeaderView>
#include <QPainter>
#include <QStyle>
#include <algorithm>

#include "QtSupport.h"

namespace tovi {

QTreeWidget* MakeReportList(const QString& name, const QStringList& headers, QWidget* parent) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setHeaderLabels(headers);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAlternatingRowColors(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->header()->setStretchLastSection(true);
    return list;
}

QLabel* MakeLabel(const QString& name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QSize ElidedLabel::minimumSizeHint() const {
    QSize hint = QLabel::minimumSizeHint();
    hint.setWidth(std::min(hint.width(), fontMetrics().horizontalAdvance(QStringLiteral("MMM…"))));
    return hint;
}

void ElidedLabel::paintEvent(QPaintEvent* event) {
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    if (fontMetrics().horizontalAdvance(text()) <= area.width()) {
        QLabel::paintEvent(event);  // fits: the label's own painting, selection and all
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    const auto flags = static_cast<int>(QStyle::visualAlignment(layoutDirection(), alignment()).toInt());
    style()->drawItemText(&painter, area, flags, palette(), isEnabled(),
                          fontMetrics().elidedText(text(), Qt::ElideRight, area.width()), foregroundRole());
}

ElidedLabel* MakeElidedLabel(const QString& name, QWidget* parent) {
    auto* label = new ElidedLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void FitColumns(QTreeWidget* list, std::initializer_list<int> fitted, int stretched) {
    QHeaderView* header = list->header();
    for (int column : fitted) header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    if (stretched >= 0) {
        header->setStretchLastSection(false);
        header->setSectionResizeMode(stretched, QHeaderView::Stretch);
    }
}

QString HistoryTime(int64_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool TimedItem::operator<(const QTreeWidgetItem& other) const {
    const auto* row = dynamic_cast<const TimedItem*>(&other);
    if (!row) return QTreeWidgetItem::operator<(other);
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    if (column > 0) {
        const int order = text(column).localeAwareCompare(other.text(column));
        if (order != 0) return order < 0;
    }
    if (m_time != row->m_time) return m_time < row->m_time;
    return m_newness > row->m_newness;
}

int PlayerListAdapter::RowCount() {
    return m_list->topLevelItemCount();
}

std::string PlayerListAdapter::Text(int row, PlayerColumn column) {
    const QTreeWidgetItem* item = m_list->topLevelItem(row);
    return item ? ToGameText(item->text(static_cast<int>(column))) : std::string();
}

int PlayerListAdapter::SlotPosition(int row) {
    const QTreeWidgetItem* item = m_list->topLevelItem(row);
    const QVariant position = item ? item->data(0, Qt::UserRole) : QVariant();
    return position.isValid() ? position.toInt() : -1;
}

std::optional<int> PlayerListAdapter::SelectedRow() {
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    return m_list->indexOfTopLevelItem(selected.first());
}

void PlayerListAdapter::ClearRows() {
    m_list->clear();
}

void PlayerListAdapter::AddRow(const PlayerRow& row) {
    auto* item = new QTreeWidgetItem(m_list);
    const std::string* cells[] = {&row.Slot,  &row.Player, &row.Ping,     &row.Team,
                                  &row.Kills, &row.Deaths, &row.ExpPoints};
    for (int column = 0; column < 7; ++column) {
        item->setText(column, FromGameText(*cells[column]));
        if (column != 1) item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    }
    // A name cut short by a narrow column is there whole.
    item->setToolTip(1, item->text(1));
    item->setData(0, Qt::UserRole, row.Position);
}

void PlayerListAdapter::SelectRow(int row) {
    if (QTreeWidgetItem* item = m_list->topLevelItem(row)) {
        m_list->setCurrentItem(item);
        m_list->scrollToItem(item);
    }
}

void ChatListAdapter::InsertRowAtTop(const std::string& Player, const std::string& Text,
                                     const std::string& Time) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, FromGameText(Player));
    item->setText(1, FromGameText(Text));
    item->setText(2, FromGameText(Time));
    item->setToolTip(0, item->text(0));
    item->setToolTip(1, item->text(1));
    m_list->insertTopLevelItem(0, item);
}

void ChatListAdapter::RemoveBottomRow() {
    if (const int count = m_list->topLevelItemCount(); count > 0) delete m_list->takeTopLevelItem(count - 1);
}

int ChatListAdapter::RowCount() {
    return m_list->topLevelItemCount();
}

void ChatListAdapter::Clear() {
    m_list->clear();
}

}  // namespace tovi
