#include "QtSupport.h"

#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <algorithm>

namespace tovi {

namespace {

QMessageBox* MakeBox(QWidget* parent, QMessageBox::Icon icon, const std::string& text,
                     QMessageBox::StandardButtons buttons) {
    auto* box = new QMessageBox(icon, QString::fromLatin1(kApplicationTitle), FromGameText(text), buttons, parent);
    // Questions and warnings carry player names and file values, which are never markup.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    return box;
}

}  // namespace

void QtDialogs::Enqueue(std::function<QDialog*()> open) {
    m_waiting.push_back(std::move(open));
    if (!m_open) OpenNext();
}

void QtDialogs::OpenNext() {
    if (m_waiting.empty()) return;
    auto open = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_open = true;
    QDialog* box = open();
    QObject::connect(box, &QDialog::finished, &m_context, [this] {
        m_open = false;
        // After the box's own handling, so that an answer that asks again queues behind the rest.
        QMetaObject::invokeMethod(
            &m_context, [this] { if (!m_open) OpenNext(); }, Qt::QueuedConnection);
    });
    box->open();
}

void QtDialogs::Ask(const std::string& question, std::function<void(bool yes)> answer) {
    Enqueue([this, question, answer = std::move(answer)]() mutable -> QDialog* {
        QMessageBox* box = MakeBox(m_parent, QMessageBox::Question, question, QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::No);
        QObject::connect(box, &QMessageBox::finished, box, [box, answer = std::move(answer)](int) {
            answer(box->standardButton(box->clickedButton()) == QMessageBox::Yes);
        });
        return box;
    });
}

void QtDialogs::AskWithCancel(const std::string& question, std::function<void(Choice)> answer) {
    Enqueue([this, question, answer = std::move(answer)]() mutable -> QDialog* {
        QMessageBox* box = MakeBox(m_parent, QMessageBox::Question, question,
                                   QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::Cancel);
        QObject::connect(box, &QMessageBox::finished, box, [box, answer = std::move(answer)](int) {
            const QMessageBox::StandardButton button = box->standardButton(box->clickedButton());
            answer(button == QMessageBox::Yes  ? Choice::Yes
                   : button == QMessageBox::No ? Choice::No
                                               : Choice::Cancel);
        });
        return box;
    });
}

void QtDialogs::Warn(const std::string& text) {
    Enqueue([this, text]() -> QDialog* { return MakeBox(m_parent, QMessageBox::Warning, text, QMessageBox::Ok); });
}

void QtDialogs::Inform(const std::string& text) {
    Enqueue([this, text]() -> QDialog* { return MakeBox(m_parent, QMessageBox::Information, text, QMessageBox::Ok); });
}

void QtDialogs::InputBox(const std::string& prompt, const std::string& title,
                         std::function<void(std::optional<std::string> text)> answer) {
    LimitedInputBox(prompt, title, 0, std::move(answer));
}

void QtDialogs::LimitedInputBox(const std::string& prompt, const std::string& title, size_t maxLength,
                                std::function<void(std::optional<std::string> text)> answer) {
    Enqueue([this, prompt, title, maxLength, answer = std::move(answer)]() mutable -> QDialog* {
        auto* box = new QInputDialog(m_parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(m_parent ? Qt::WindowModal : Qt::ApplicationModal);
        box->setWindowTitle(title.empty() ? QString::fromLatin1(kApplicationTitle) : FromGameText(title));
        box->setLabelText(FromGameText(prompt));
        box->setInputMode(QInputDialog::TextInput);
        // The prompt names a player: plain text, like every game text.
        for (QLabel* label : box->findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
        if (auto* edit = box->findChild<QLineEdit*>(QString(), Qt::FindDirectChildrenOnly);
            edit && maxLength > 0) {
            // One character becomes one byte of the game's code page.
            edit->setMaxLength(static_cast<int>(std::min<size_t>(maxLength, 32767)));
            // Wide enough for a usual reason or line to a player (longer ones scroll), and never
            // wider than the window it belongs to.
            int wide = edit->fontMetrics().averageCharWidth() *
                       static_cast<int>(std::min<size_t>(maxLength + 2, 60));
            if (m_parent) wide = std::min(wide, m_parent->window()->width() * 8 / 10);
            if (const QScreen* screen = box->screen())
                wide = std::min(wide, screen->availableGeometry().width() * 8 / 10);
            edit->setMinimumWidth(wide);
        }
        QObject::connect(box, &QInputDialog::finished, box, [box, answer = std::move(answer)](int result) {
            if (result == QDialog::Accepted) {
                answer(ToGameText(box->textValue()));
            } else {
                answer(std::nullopt);
            }
        });
        return box;
    });
}

}  // namespace tovi
