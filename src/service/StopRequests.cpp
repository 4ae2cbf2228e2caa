#include "StopRequests.h"

#include <QCoreApplication>

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

#ifdef _WIN32
struct StopRequests::Platform {
    // Runs on a thread of its own: the stop is posted to the event loop.
    static BOOL WINAPI Handler(DWORD type);
    static StopRequests* s_current;
    HANDLE done = nullptr;
};

StopRequests* StopRequests::Platform::s_current = nullptr;

StopRequests::StopRequests(std::function<void()> stop)
    : m_stop(std::move(stop)), m_platform(std::make_unique<Platform>()) {
    Platform::s_current = this;
    m_platform->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&Platform::Handler, TRUE);
}

StopRequests::~StopRequests() {
    SetConsoleCtrlHandler(&Platform::Handler, FALSE);
    // A console that is closing waits for the shutdown steps before it ends the process.
    if (m_platform->done) {
        SetEvent(m_platform->done);
        CloseHandle(m_platform->done);
    }
    Platform::s_current = nullptr;
}

BOOL WINAPI StopRequests::Platform::Handler(DWORD type) {
    StopRequests* self = s_current;
    if (!self) return FALSE;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [self] { self->m_stop(); }, Qt::QueuedConnection);
    // After a close, logoff or shutdown the process ends when this returns: wait a little for the steps.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(self->m_platform->done, 4000);
    return TRUE;
}
#else
struct StopRequests::Platform {
    // The handler only writes a byte here; the event loop reads it (the self-pipe).
    static void Handler(int);
    static int s_pipe[2];
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldTerm {
    }, oldInt{};
};

int StopRequests::Platform::s_pipe[2] = {-1, -1};

void StopRequests::Platform::Handler(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    errno = saved;
}

StopRequests::StopRequests(std::function<void()> stop) : m_stop(std::move(stop)) {
    int* const fds = Platform::s_pipe;
    if (::pipe(fds) != 0) return;
    m_platform = std::make_unique<Platform>();
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    m_platform->notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    QSocketNotifier* notifier = m_platform->notifier.get();
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] {
        char bytes[16];
        [[maybe_unused]] const ssize_t read = ::read(Platform::s_pipe[0], bytes, sizeof bytes);
        m_stop();
    });
    struct sigaction action {};
    action.sa_handler = &Platform::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &m_platform->oldTerm);
    sigaction(SIGINT, &action, &m_platform->oldInt);
}

StopRequests::~StopRequests() {
    if (!m_platform) return;
    sigaction(SIGTERM, &m_platform->oldTerm, nullptr);
    sigaction(SIGINT, &m_platform->oldInt, nullptr);
    m_platform->notifier.reset();
    for (int& fd : Platform::s_pipe) {
        ::close(fd);
        fd = -1;
    }
}
#endif

}  // namespace tovi
