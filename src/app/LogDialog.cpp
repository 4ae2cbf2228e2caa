#include "LogDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "GameText.h"
#include "ListViews.h"
#include "QtSupport.h"

namespace tovi {

namespace {

// A line as plain text on one line: lines the record kept from older versions may hold breaks.
QString OneLine(const std::string& bytes) {
    QString text = FromGameText(bytes);
    for (QChar& c : text)
        if (c.unicode() < 32) c = QLatin1Char(' ');
    return text;
}

}  // namespace

LogDialog::LogDialog(HistoryReader& reader, QWidget* parent) : QDialog(parent), m_reader(reader) {
    setObjectName(QStringLiteral("dlgLog"));
    setWindowTitle(tr("Log"));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(tr("Loo&k for:"), this);
    m_txtLogSearch = new QLineEdit(this);
    m_txtLogSearch->setObjectName(QStringLiteral("txtLogSearch"));
    m_txtLogSearch->setPlaceholderText(tr("Part of a line, letter case ignored"));
    m_txtLogSearch->setClearButtonEnabled(true);
    label->setBuddy(m_txtLogSearch);
    auto* find = new QPushButton(tr("Fin&d"), this);
    find->setObjectName(QStringLiteral("cmdLogSearch"));
    find->setAutoDefault(false);
    row->addWidget(label);
    row->addWidget(m_txtLogSearch, 1);
    row->addWidget(find);

    m_lstLog = MakeReportList(QStringLiteral("lstLog"), {tr("Time"), tr("Line")}, this);
    m_lstLog->setColumnWidth(0, 150);
    m_lstLog->setUniformRowHeights(true);
    m_lstLog->setTextElideMode(Qt::ElideRight);

    auto* bottom = new QHBoxLayout;
    m_lblLogCount = new QLabel(this);
    m_lblLogCount->setObjectName(QStringLiteral("lblLogCount"));
    m_lblLogCount->setTextFormat(Qt::PlainText);
    m_cmdLogMore = new QPushButton(tr("Load &more"), this);
    m_cmdLogMore->setObjectName(QStringLiteral("cmdLogMore"));
    m_cmdLogMore->setAutoDefault(false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    // Enter in the search box searches: it never closes the window as a default button would.
    buttons->button(QDialogButtonBox::Close)->setAutoDefault(false);
    bottom->addWidget(m_lblLogCount, 1);
    bottom->addWidget(m_cmdLogMore);
    bottom->addWidget(buttons);

    layout->addLayout(row);
    layout->addWidget(m_lstLog, 1);
    layout->addLayout(bottom);
    resize(760, 480);

    // A search once typing pauses, or at once on Enter: each is one page of the record.
    m_typing = new QTimer(this);
    m_typing->setSingleShot(true);
    m_typing->setInterval(400);
    connect(m_typing, &QTimer::timeout, this, &LogDialog::Search);
    connect(m_txtLogSearch, &QLineEdit::textEdited, m_typing, qOverload<>(&QTimer::start));
    connect(m_txtLogSearch, &QLineEdit::returnPressed, this, &LogDialog::Search);
    connect(find, &QPushButton::clicked, this, &LogDialog::Search);
    connect(m_cmdLogMore, &QPushButton::clicked, this, &LogDialog::LoadMore);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    Search();
}

void LogDialog::Search() {
    m_typing->stop();
    m_searched = ToGameText(m_txtLogSearch->text().trimmed());
    Read(true);
}

void LogDialog::LoadMore() {
    Read(false);
}

void LogDialog::Read(bool fromNewest) {
    HistoryQuery query;
    query.Kind = HistoryKind::Events;
    query.EventKind = "log";
    query.Text = m_searched;
    query.Limit = kPage;
    int skip = 0;
    if (!fromNewest) {
        // From the second of the oldest line shown on, passing over the lines of it already shown:
        // the record's times are whole seconds, and many lines may share one.
        query.To = m_oldest + 1;
        skip = m_atOldest;
        query.Limit = kPage + skip;
    }
    // Answered later, off the event loop: a newer read's answer is the only one shown, and no
    // page is asked for after lines that are about to be replaced.
    m_cmdLogMore->setEnabled(false);
    m_lblLogCount->setText(tr("Searching..."));
    m_reader.Search(this, 0, query, [this, fromNewest, skip, limit = query.Limit](HistoryResult found) {
        Show(found, fromNewest, skip, limit);
    });
}

void LogDialog::Show(const HistoryResult& found, bool fromNewest, int skip, int limit) {
    const std::vector<HistoryRow>& rows = found.Rows;
    if (fromNewest) {
        m_lstLog->clear();
        m_atOldest = 0;
    }
    QList<QTreeWidgetItem*> items;
    for (size_t i = static_cast<size_t>(skip); i < rows.size(); ++i) {
        const HistoryRow& r = rows[i];
        auto* item = new QTreeWidgetItem;
        item->setText(0, HistoryTime(r.Time));
        item->setText(1, OneLine(r.Detail));
        item->setToolTip(1, item->text(1));
        items << item;
        m_atOldest = r.Time == m_oldest ? m_atOldest + 1 : 1;
        m_oldest = r.Time;
    }
    m_lstLog->addTopLevelItems(items);
    const bool more = static_cast<int>(rows.size()) == limit;
    m_cmdLogMore->setEnabled(more);
    const int shown = m_lstLog->topLevelItemCount();
    m_lblLogCount->setText(Counted(shown, tr("line"), tr("lines")) +
                           (m_searched.empty() ? tr(", newest first") : tr(" found, newest first")));
    if (more) m_lblLogCount->setText(m_lblLogCount->text() + tr("; older ones follow on \"Load more\""));
    // A read that failed is said, rather than taken for the end of the log.
    if (!found.Error.empty()) {
        m_cmdLogMore->setEnabled(false);
        m_lblLogCount->setText(tr("Search failed: %1").arg(FromGameText(found.Error)));
    }
}

}  // namespace tovi
