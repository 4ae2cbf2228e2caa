#include "Headless.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "GameText.h"
#include "PlayerClass.h"
#include "QtHttpClient.h"
#include "QtScheduler.h"
#include "ServiceHost.h"
#include "StopRequests.h"
#include "TimeOfDay.h"

namespace tovi {

namespace {

void WriteToStderr(const std::string& line) {
    static const TimeOfDay clock;
    std::string stamped = "[";
    stamped.append(clock.Now()).append("] ").append(TerminalLine(line)).append("\n");
    std::fwrite(stamped.data(), 1, stamped.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

std::string TerminalLine(const std::string& text) {
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n') {
            // One break for CR LF, and none at the end.
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            if (i + 1 < text.size()) line += " / ";
        } else if (c < 32 || c == 127) {
            line += '?';
        } else {
            line += static_cast<char>(c);
        }
    }
    // The terminal takes UTF-8; C1 controls that Windows-1252 leaves undefined become "?" too.
    QString shown = FromGameText(line);
    for (QChar& ch : shown) {
        if (ch.unicode() >= 0x80 && ch.unicode() < 0xA0) ch = QLatin1Char('?');
    }
    return shown.toStdString();
}

void HeadlessDialogs::Ask(const std::string& question, std::function<void(bool yes)> answer) {
    m_log("Answered No, as nobody is there to answer: " + question);
    answer(false);
}

void HeadlessDialogs::Warn(const std::string& text) {
    m_log("Warning: " + text);
}

void HeadlessDialogs::Inform(const std::string& text) {
    m_log(text);
}

void HeadlessDialogs::InputBox(const std::string& prompt, const std::string&,
                               std::function<void(std::optional<std::string> text)> answer) {
    m_log("Cancelled, as nobody is there to answer: " + prompt);
    answer(std::nullopt);
}

int RunHeadless(ProcessBackend& backend, const QString& dataDir,
                std::function<std::unique_ptr<QObject>(Service&)> companion) {
    QtScheduler scheduler;
    QtHttpClient http;
    HeadlessDialogs dialogs(&WriteToStderr);
    // No per-user lock: copies for several game servers run side by side, each with a data folder
    // of its own, and the folder's lock refuses a second copy on one folder.
    auto host = std::make_unique<ServiceHost>(backend, dialogs, scheduler, http, dataDir, QString());
    host->SetCompanion(std::move(companion));
    // Caught from the start; acted on once the event loop runs.
    bool stopping = false;
    StopRequests stops([&] {
        Service* service = host ? host->GetService() : nullptr;
        if (stopping || !service) return;
        stopping = true;
        service->Log("Stopping");
        service->Stop();
        QCoreApplication::quit();
    });
    if (!stops.Catching())
        WriteToStderr("No stop signal can be caught; stop the program with SIGKILL only as a last resort.");
    bool running = false;
    host->Start(
        [&](Service& service) {
            QObject::connect(&service, &Service::logLine, &service, &WriteToStderr);
            // Without a window nobody sees the status line: the journal says which server is
            // followed, and when it went.
            QObject::connect(&service, &Service::tickFinished, &service,
                             [&service, found = false](bool attached) mutable {
                                 if (attached == found) return;
                                 found = attached;
                                 MemoryClass& memory = service.Memory();
                                 service.Log(attached ? "Attached to the game server: process " +
                                                            std::to_string(memory.GetProcID()) + ", window \"" +
                                                            LineSafeName(memory.GetWinCaption(memory.GetProcHwnd())) + "\""
                                                      : "The game server was lost: " + service.PanelText(3));
                             });
            // From now on what nobody answered is in the record too.
            dialogs.SetLog([&service](const std::string& line) { service.Log(line); });
            service.OpenRecord();
            service.Load();
        },
        [&](bool started) { running = started; });
    if (!running) return 1;
    host->GetService()->Log("Tovi stats runs without a window; data folder " + ToGameText(dataDir));
    const int code = QCoreApplication::exec();
    // Nobody is left to read the dialogs' lines but the terminal.
    dialogs.SetLog(&WriteToStderr);
    // The record closed and the folder's lock released before a closing console lets the process end.
    host.reset();
    return code;
}

}  // namespace tovi
