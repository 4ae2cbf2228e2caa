#pragma once
// The window's report lists as the core sees them: the player list and a chat list.
#include <QLabel>
#include <QTreeWidget>
#include <initializer_list>

#include "ChatReader.h"
#include "PlayerReader.h"

namespace tovi {

// A read-only report list: one row per item, no tree, one row selected at a time.
QTreeWidget* MakeReportList(const QString& name, const QStringList& headers, QWidget* parent);

// A label that shows texts of the game and of files, which are never markup: "<b>x</b>" as a
// player's name is shown as typed.
QLabel* MakeLabel(const QString& name, const QString& text, QWidget* parent);

// One line of text that may be longer than the window is wide: cut with "…" where it does not
// fit rather than widening the window or being clipped. text() stays the whole text; the owner
// puts it in the tooltip.
class ElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A plain-text ElidedLabel, named.
ElidedLabel* MakeElidedLabel(const QString& name, QWidget* parent);

// Column widths that follow the content: `fitted` columns as wide as their widest cell (and
// heading), `stretched` takes the room that is left; any other column keeps the width the
// operator gives it.
void FitColumns(QTreeWidget* list, std::initializer_list<int> fitted, int stretched = -1);

// A time of the record as the lists show it, in local time.
QString HistoryTime(int64_t seconds);

// A row of a list of the record: sorts by its time as a number in column 0, rows of one second in
// the record's order (`newness` 0 for the newest row the store gave); other columns by their text,
// then by time.
class TimedItem : public QTreeWidgetItem {
public:
    TimedItem(QTreeWidget* list, int64_t time, int newness)
        : QTreeWidgetItem(list), m_time(time), m_newness(newness) {}
    int64_t Time() const { return m_time; }
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    int64_t m_time;
    int m_newness;
};

class PlayerListAdapter : public PlayerListView {
public:
    explicit PlayerListAdapter(QTreeWidget* list) : m_list(list) {}
    int RowCount() override;
    std::string Text(int row, PlayerColumn column) override;
    int SlotPosition(int row) override;
    std::optional<int> SelectedRow() override;
    void ClearRows() override;
    void AddRow(const PlayerRow& row) override;
    void SelectRow(int row) override;

private:
    QTreeWidget* m_list;
};

class ChatListAdapter : public ChatView {
public:
    explicit ChatListAdapter(QTreeWidget* list) : m_list(list) {}
    void InsertRowAtTop(const std::string& Player, const std::string& Text, const std::string& Time) override;
    void RemoveBottomRow() override;
    int RowCount() override;
    void Clear() override;

private:
    QTreeWidget* m_list;
};

}  // namespace tovi
