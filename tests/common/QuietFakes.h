#pragma once
// The service's outside for tests that drive it in-process: dialogs that keep what they showed and
// answer from what the test lined up, else as nobody there would (every question No, or Yes for
// YesDialogs, every input box cancelled), and no network.
#include <QStringList>
#include <deque>

#include "Dialogs.h"
#include "HttpClient.h"

namespace tovi::testing {

class NoDialogs : public Dialogs {
public:
    NoDialogs() = default;
    QStringList asked;  // questions, warnings, notices and input-box prompts, in order
    std::deque<bool> answers;
    std::deque<Choice> choices;  // while none are lined up, three-way questions are asked as yes/no ones
    std::deque<std::optional<std::string>> inputs;

    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        asked << QString::fromStdString(question);
        answer(Next(answers, m_yes));
    }
    void AskWithCancel(const std::string& question, std::function<void(Choice)> answer) override {
        if (choices.empty()) return Dialogs::AskWithCancel(question, std::move(answer));
        asked << QString::fromStdString(question);
        answer(Next(choices, Choice::Cancel));
    }
    void Warn(const std::string& text) override { asked << QString::fromStdString(text); }
    void Inform(const std::string& text) override { asked << QString::fromStdString(text); }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        asked << QString::fromStdString(prompt);
        answer(Next(inputs, std::optional<std::string>()));
    }

protected:
    explicit NoDialogs(bool yes) : m_yes(yes) {}

private:
    template <typename T> static T Next(std::deque<T>& lined, T otherwise) {
        if (lined.empty()) return otherwise;
        T next = std::move(lined.front());
        lined.pop_front();
        return next;
    }
    bool m_yes = false;
};

class YesDialogs : public NoDialogs {
public:
    YesDialogs() : NoDialogs(true) {}
};

class NoHttp : public HttpClient {
public:
    void Post(const HttpRequest&, std::function<void(const HttpResult&)> done) override {
        done({HttpOutcome::Failed, 0, {}, {}, "no network here"});
    }
    void Cancel() override {}
    bool Busy() const override { return false; }
};

}  // namespace tovi::testing
