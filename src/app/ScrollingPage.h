#pragma once
// A tab page whose content may need more room than a small window (or a large scale factor)
// leaves: it scrolls instead of squeezing its controls over one another.
#include <QFrame>
#include <QScrollArea>
#include <QWidget>

namespace tovi {

inline QScrollArea* ScrollingPage(QWidget* content) {
    auto* page = new QScrollArea;
    page->setObjectName(content->objectName() + QStringLiteral("Page"));
    page->setFrameShape(QFrame::NoFrame);
    page->setWidgetResizable(true);
    page->setWidget(content);
    return page;
}

}  // namespace tovi
