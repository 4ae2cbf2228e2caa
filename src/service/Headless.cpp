#include "Headless.h"

#include <QCoreApplication>
#include <QTime>
#include <cstdio>
#include <memory>

#include "GameText.h"
#include "QtHttpClient.h"
#include "QtScheduler.h"
#include "ServiceHost.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#endif

namespace tovi {

namespace {

void WriteToStderr(const std::string& line) {
    const std::string stamped = "[" +
                                QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString() +
                                "] " + TerminalLine(line) + "\n";
    std::fwrite(stamped.data(), 1, stamped.size(), stderr);
    std::fflush(stderr);
}

// What turns a stop request from outside into a call on the event loop.
class StopRequests {
public:
    explicit StopRequests(std::function<void()> stop);
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

private:
    std::function<void()> m_stop;
#ifdef _WIN32
    static BOOL WINAPI Handler(DWORD type);
    static StopRequests* s_current;
    HANDLE m_done = nullptr;
#else
    // The handler only writes a byte here; the event loop reads it (the self-pipe).
    static void Handler(int);
    static int s_pipe[2];
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldTerm {
    }, m_oldInt{};
#endif
};

#ifdef _WIN32
StopRequests* StopRequests::s_current = nullptr;

StopRequests::StopRequests(std::function<void()> stop) : m_stop(std::move(stop)) {
    s_current = this;
    m_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&StopRequests::Handler, TRUE);
}

StopRequests::~StopRequests() {
    SetConsoleCtrlHandler(&StopRequests::Handler, FALSE);
    // A console that is closing waits for the shutdown steps before it ends the process.
    if (m_done) {
        SetEvent(m_done);
        CloseHandle(m_done);
    }
    s_current = nullptr;
}

// Runs on a thread of its own: the stop is posted to the event loop.
BOOL WINAPI StopRequests::Handler(DWORD type) {
    StopRequests* self = s_current;
    if (!self) return FALSE;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [self] { self->m_stop(); }, Qt::QueuedConnection);
    // After a close, logoff or shutdown the process ends when this returns: wait a little for the steps.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(self->m_done, 4000);
    return TRUE;
}
#else
int StopRequests::s_pipe[2] = {-1, -1};

void StopRequests::Handler(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    errno = saved;
}

StopRequests::StopRequests(std::function<void()> stop) : m_stop(std::move(stop)) {
    if (::pipe(s_pipe) != 0) {
        WriteToStderr("No stop signal can be caught; stop the program with SIGKILL only as a last resort.");
        return;
    }
    for (int fd : s_pipe) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(s_pipe[1], F_SETFL, O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] {
        char bytes[16];
        [[maybe_unused]] const ssize_t read = ::read(s_pipe[0], bytes, sizeof bytes);
        m_stop();
    });
    struct sigaction action {};
    action.sa_handler = &StopRequests::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &m_oldTerm);
    sigaction(SIGINT, &action, &m_oldInt);
}

StopRequests::~StopRequests() {
    if (s_pipe[0] < 0) return;
    sigaction(SIGTERM, &m_oldTerm, nullptr);
    sigaction(SIGINT, &m_oldInt, nullptr);
    m_notifier.reset();
    for (int& fd : s_pipe) {
        ::close(fd);
        fd = -1;
    }
}
#endif

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
        if (const size_t unsaved = service->Stats().PendingBlocks())
            service->Log("The stats of " + std::to_string(unsaved) +
                         " match(es) could not be saved to stats.stats and are lost.");
        QCoreApplication::quit();
    });
    bool running = false;
    host->Start(
        [&](Service& service) {
            QObject::connect(&service, &Service::logLine, &service, &WriteToStderr);
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
