#pragma once
// The window's message boxes for the core's dialogs (timers and text conversion come from the
// service, which the window shares with the other faces).
#include <QDialog>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <string>
#include <string_view>

#include "Dialogs.h"
#include "GameText.h"
#include "QtScheduler.h"

namespace tovi {

// A count with its noun as one says it: "1 match", "2 matches".
inline QString Counted(qint64 count, const QString& one, const QString& many) {
    return QString::number(count) + QLatin1Char(' ') + (count == 1 ? one : many);
}

// Window-modal message boxes over `parent`, captioned with the application's title. One box is
// open at a time; the next opens when it closes, so several come to the operator in order.
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QWidget* parent = nullptr) : m_parent(parent) {}
    void SetParent(QWidget* parent) { m_parent = parent; }
    void Ask(const std::string& question, std::function<void(bool yes)> answer) override;
    void AskWithCancel(const std::string& question, std::function<void(Choice)> answer) override;
    void Warn(const std::string& text) override;
    void Inform(const std::string& text) override;
    void InputBox(const std::string& prompt, const std::string& title,
                  std::function<void(std::optional<std::string> text)> answer) override;
    void LimitedInputBox(const std::string& prompt, const std::string& title, size_t maxLength,
                         std::function<void(std::optional<std::string> text)> answer) override;

private:
    void Enqueue(std::function<QDialog*()> open);
    void OpenNext();

    QPointer<QWidget> m_parent;
    QObject m_context;  // what the boxes' calls back into this object hang on; they end with it
    std::deque<std::function<QDialog*()>> m_waiting;
    bool m_open = false;
};

}  // namespace tovi
