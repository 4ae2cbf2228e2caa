#pragma once
// The History tab: a search of the record by kind, words, player and time, the rows found as
// plain text, a player's own history on a double-click, the rows found exported as CSV, and the
// record's size.
#include <QString>
#include <QWidget>
#include <string>
#include <vector>

#include "Dialogs.h"
#include "HistoryStore.h"
#include "Service.h"

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tovi {

class HistoryStrip : public QWidget {
    Q_OBJECT
public:
    HistoryStrip(Service& service, Dialogs& dialogs, QWidget* parent);

    // The current result as CSV in `path`, written whole or not at all; false, with the operator
    // told why, when it could not be written.
    bool ExportHistory(const QString& path);
    // What the record knows of a player, in a window of its own.
    void ShowPlayerHistory(const std::string& name);
    void RefreshHistorySize();

private:
    void cmdHistorySearch_Click();
    void lstHistory_DoubleClick(QTreeWidgetItem* item);
    void cmdHistoryExport_Click();
    void ShowFound(HistoryResult found);
    void ShowSize(const HistoryRead<HistorySize>& read);

    // The reads this strip asks for, each answered with the newest question's result.
    enum ReadSlot { kSearchSlot, kPlayerSlot, kSizeSlot };

    Service& m_service;
    Dialogs& m_dialogs;
    // At most this many rows are listed.
    static constexpr int kHistoryRows = 1000;
    QLineEdit* m_txtHistorySearch = nullptr;
    QComboBox* m_cboHistoryKind = nullptr;
    QPushButton* m_cmdHistorySearch = nullptr;
    QTreeWidget* m_lstHistory = nullptr;
    QLineEdit* m_txtHistoryPlayer = nullptr;
    QCheckBox* m_chkHistoryFrom = nullptr;
    QDateTimeEdit* m_dtpHistoryFrom = nullptr;
    QCheckBox* m_chkHistoryTo = nullptr;
    QDateTimeEdit* m_dtpHistoryTo = nullptr;
    QPushButton* m_cmdHistoryExport = nullptr;
    QLabel* m_lblHistorySize = nullptr;
    QLabel* m_lblHistoryError = nullptr;
    QLabel* m_lblHistorySearching = nullptr;  // while a search's answer is awaited
    std::vector<HistoryRow> m_historyRows;  // the current result, as the store gave it
};

}  // namespace tovi
