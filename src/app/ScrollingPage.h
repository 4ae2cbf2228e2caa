#pragma once
// A tab page whose content may need more room than a small window (or a large scale factor)
// leaves: it scrolls instead of squeezing its controls over one another.
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <QWidget>

namespace tovi {

// The wheel scrolls the page. A list, box or slider within it takes the wheel only once the
// operator has clicked into it: passing over one while scrolling neither stops the page nor
// changes a setting.
class PageWheel : public QObject {
public:
    explicit PageWheel(QScrollArea* page) : QObject(page), m_page(page) {}

    // Watches every control of the page that would take the wheel; call again after adding some.
    void Watch() {
        for (QWidget* w : m_page->widget()->findChildren<QWidget*>()) {
            QWidget* target = nullptr;
            if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) {
                target = area->viewport();
                w->setFocusPolicy(Qt::StrongFocus);
            } else if (qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QComboBox*>(w) ||
                       (qobject_cast<QAbstractSlider*>(w) && !qobject_cast<QScrollBar*>(w))) {
                target = w;
                w->setFocusPolicy(Qt::StrongFocus);
            }
            if (target) target->installEventFilter(this);
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        // A list's wheel comes to its viewport; the list itself holds the focus.
        QWidget* control =
            widget && qobject_cast<QAbstractScrollArea*>(widget->parentWidget()) ? widget->parentWidget() : widget;
        if (!control || control->hasFocus()) return false;
        QCoreApplication::sendEvent(m_page->verticalScrollBar(), event);
        return true;
    }

private:
    QScrollArea* m_page;
};

inline QScrollArea* ScrollingPage(QWidget* content) {
    auto* page = new QScrollArea;
    page->setObjectName(content->objectName() + QStringLiteral("Page"));
    page->setFrameShape(QFrame::NoFrame);
    page->setWidgetResizable(true);
    page->setWidget(content);
    return page;
}

}  // namespace tovi
