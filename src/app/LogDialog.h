#pragma once
// The program's whole log as the record keeps it, beside the six lines of the Server & Log tab:
// newest first, a page at a time, with a search for part of a line.
#include <QDialog>
#include <cstdint>
#include <functional>
#include <vector>

#include "HistoryReader.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace tovi {

class LogDialog : public QDialog {
    Q_OBJECT
public:
    // `reader` answers each read, a page at a time, as the record stands then.
    LogDialog(HistoryReader& reader, QWidget* parent);

    // The newest lines again, for what the search box holds now.
    void Search();
    // The next older page after the lines shown.
    void LoadMore();

    // Lines read at a time: a record of many thousand lines is never read at once.
    static constexpr int kPage = 200;

private:
    void Read(bool fromNewest);
    void Show(const HistoryResult& found, bool fromNewest, int skip, int limit);

    HistoryReader& m_reader;
    QLineEdit* m_txtLogSearch = nullptr;
    QTreeWidget* m_lstLog = nullptr;
    QPushButton* m_cmdLogMore = nullptr;
    QLabel* m_lblLogCount = nullptr;
    QTimer* m_typing = nullptr;
    std::string m_searched;  // the text the lines shown were found with
    int64_t m_oldest = 0;    // the time of the oldest line shown
    int m_atOldest = 0;      // lines shown of that second
};

}  // namespace tovi
