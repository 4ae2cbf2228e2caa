#pragma once
// The service's outside for tests that drive it in-process: dialogs that nobody answers (every
// question No, every input box cancelled) and that keep what they showed, and no network.
#include <QStringList>

#include "Dialogs.h"
#include "HttpClient.h"

namespace tovi::testing {

class NoDialogs : public Dialogs {
public:
    QStringList asked;
    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        asked << QString::fromStdString(question);
        answer(false);
    }
    void Warn(const std::string& text) override { asked << QString::fromStdString(text); }
    void Inform(const std::string& text) override { asked << QString::fromStdString(text); }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        asked << QString::fromStdString(prompt);
        answer(std::nullopt);
    }
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
