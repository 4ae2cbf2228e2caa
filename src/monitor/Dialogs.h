#pragma once
// What the operator must see or answer: message boxes captioned with the application's title.
// Answers arrive through callbacks, so that no handler waits inside a dialog.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace tovi {

inline constexpr const char* kApplicationTitle = "|QX| Tovi stats";

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A question with Yes and No and the question icon; `answer` gets true for Yes.
    virtual void Ask(const std::string& question, std::function<void(bool yes)> answer) = 0;
    enum class Choice { Yes, No, Cancel };
    // A question with Yes, No and Cancel and the question icon. Dialogs without a Cancel button
    // ask it as a yes/no question.
    virtual void AskWithCancel(const std::string& question, std::function<void(Choice)> answer) {
        Ask(question, [answer = std::move(answer)](bool yes) { answer(yes ? Choice::Yes : Choice::No); });
    }
    // A warning with the exclamation icon and OK.
    virtual void Warn(const std::string& text) = 0;
    // A notice with the information icon and OK.
    virtual void Inform(const std::string& text) = 0;
    // An input box with OK and Cancel; `answer` gets the text, or nothing for Cancel.
    virtual void InputBox(const std::string& prompt, const std::string& title,
                          std::function<void(std::optional<std::string> text)> answer) = 0;
    // The same box, taking at most `maxLength` characters. A box that cannot limit its text gives
    // what was typed; the caller still checks the length.
    virtual void LimitedInputBox(const std::string& prompt, const std::string& title, size_t /*maxLength*/,
                                 std::function<void(std::optional<std::string> text)> answer) {
        InputBox(prompt, title, std::move(answer));
    }
};

}  // namespace tovi
