#pragma once
// The program without a window or tray: the same service on a Qt Core event loop, its log on
// stderr, its questions answered with their safe default. It stops on SIGTERM or SIGINT (on
// Windows on Ctrl+C or the console's closing) with the window's shutdown steps.
#include <QString>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "Dialogs.h"
#include "ProcessBackend.h"

namespace tovi {

class Service;

// Questions answered No, input boxes cancelled, notices only logged: nobody is there to answer,
// and no is what leaves the server and the files as they are.
class HeadlessDialogs : public Dialogs {
public:
    explicit HeadlessDialogs(std::function<void(const std::string&)> log) : m_log(std::move(log)) {}
    void SetLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }
    void Ask(const std::string& question, std::function<void(bool yes)> answer) override;
    void Warn(const std::string& text) override;
    void Inform(const std::string& text) override;
    void InputBox(const std::string& prompt, const std::string& title,
                  std::function<void(std::optional<std::string> text)> answer) override;

private:
    std::function<void(const std::string&)> m_log;
};

// A line for a terminal: the game's single-byte text as UTF-8, line breaks as " / ", other control
// bytes as "?" (a player's name must not steer the operator's terminal).
std::string TerminalLine(const std::string& text);

// Runs until stopped; the exit code: 0 after a clean stop, 1 when the service could not start.
// `companion` runs beside the service (the web panel).
int RunHeadless(ProcessBackend& backend, const QString& dataDir,
                std::function<std::unique_ptr<QObject>(Service&)> companion = {});

}  // namespace tovi
