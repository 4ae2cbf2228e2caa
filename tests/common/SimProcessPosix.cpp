#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "SimProcess.h"

// Last: Xlib defines macros (None, Status) that clash with ordinary names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tovi::testing {

namespace fs = std::filesystem;

struct SimProcess::Platform {
    fs::path folder;  // the copy's folder, when there is one
};

namespace {

pid_t Spawn(const std::string& program, std::vector<std::string> argv) {
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(program.c_str(), pointers.data());
        ::_exit(127);
    }
    return pid > 0 ? pid : 0;
}

}  // namespace

SimProcess::SimProcess() : m_platform(std::make_unique<Platform>()) {}

SimProcess::SimProcess(const std::string& name, std::vector<std::string> args) : SimProcess() {
    args.insert(args.begin(), name);
    m_path = name;
    m_pid = Spawn(GAMESIM_PATH, std::move(args));
}

std::unique_ptr<SimProcess> SimProcess::UnderWine(const std::string& wine, const std::string& exe,
                                                  const std::string& name, std::vector<std::string> args) {
    static std::atomic<int> copies = 0;
    std::unique_ptr<SimProcess> sim(new SimProcess());
    sim->m_platform->folder = fs::temp_directory_path() /
                              ("tovi-wine-" + std::to_string(::getpid()) + "-" + std::to_string(copies++));
    fs::create_directories(sim->m_platform->folder);
    const fs::path copy = sim->m_platform->folder / name;
    fs::copy_file(exe, copy, fs::copy_options::overwrite_existing);
    // Wine keeps the program's path as it was given to the loader as the first argument of the
    // command line; here that is a Linux path.
    sim->m_path = copy.string();
    args.insert(args.begin(), {wine, copy.string()});
    sim->m_pid = Spawn(wine, std::move(args));
    return sim;
}

SimProcess::~SimProcess() {
    Stop();
    if (!m_platform->folder.empty()) {
        std::error_code ignored;
        fs::remove_all(m_platform->folder, ignored);
    }
}

void SimProcess::Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    if (!WaitFor([this] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 3000)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = 0;
}

PrivateDisplay::PrivateDisplay() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        // The server ends with the test, even with a test that crashed; its chatter is not wanted.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        // Xvfb picks a free display number and writes it to the descriptor once it accepts clients.
        const std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return;
    }
    m_pid = pid;
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, 20000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    ::close(fds[0]);
    if (number.empty()) return;
    m_name = ":" + number;
    if (const char* previous = std::getenv("DISPLAY")) {
        m_hadPrevious = true;
        m_previous = previous;
    }
    ::setenv("DISPLAY", m_name.c_str(), 1);
}

PrivateDisplay::~PrivateDisplay() {
    if (!m_name.empty()) {
        if (m_hadPrevious) {
            ::setenv("DISPLAY", m_previous.c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

namespace {

// The window a running window manager names in _NET_SUPPORTING_WM_CHECK, on the root and on that
// window itself; 0 while there is none (none runs, or it has ended and its window is gone).
Window CheckWindow(Display* display) {
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const auto named = [&](Window on) -> Window {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        Window window = 0;
        XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        if (XGetWindowProperty(display, on, check, 0, 1, False, XA_WINDOW, &type, &format, &items, &after,
                               &data) == Success &&
            data != nullptr && items == 1 && format == 32)
            window = *reinterpret_cast<Window*>(data);
        if (data != nullptr) XFree(data);
        XSync(display, False);
        XSetErrorHandler(previous);
        return window;
    };
    const Window window = named(DefaultRootWindow(display));
    return window != 0 && named(window) == window ? window : 0;
}

}  // namespace

WindowManager::WindowManager(std::string name) : m_name(std::move(name)) {
    if (m_name == "none") return;
    std::string folder = (fs::temp_directory_path() / "tovi-wm-XXXXXX").string();
    if (::mkdtemp(folder.data()) != nullptr) m_home = folder;
    m_managing = Start();
}

WindowManager::~WindowManager() {
    Stop();
    if (!m_home.empty()) {
        std::error_code ignored;
        fs::remove_all(m_home, ignored);
    }
}

bool WindowManager::Start() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        if (!m_home.empty()) ::setenv("HOME", m_home.c_str(), 1);
        ::execlp(m_name.c_str(), m_name.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0) return false;
    m_pid = pid;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    // A window manager that could not start (not installed, another one runs) ends.
    bool ended = false;
    bool started = WaitFor(
                       [&] {
                           ended = ::waitpid(m_pid, nullptr, WNOHANG) == m_pid;
                           return ended || CheckWindow(display) != 0;
                       },
                       30000) &&
                   !ended;
    // Reaped: its id is no longer ours to signal.
    if (ended) m_pid = 0;
    // Some (Openbox) name their check window before they take in windows, and drop a window mapped
    // meanwhile: a window of our own, mapped until it is framed, shows that it manages windows.
    if (started) {
        const Window probe = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 16, 16, 0, 0, 0);
        started = WaitFor(
            [&] {
                XMapWindow(display, probe);
                XSync(display, False);
                return Framed(static_cast<int32_t>(probe));
            },
            30000);
        XDestroyWindow(display, probe);
        XSync(display, False);
    }
    XCloseDisplay(display);
    return started;
}

void WindowManager::Stop() {
    m_managing = false;
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    if (!WaitFor([this] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5000)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = 0;
}

bool WindowManager::Restart() {
    if (m_name == "none") return false;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    std::vector<Window> clients;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_CLIENT_LIST", False), 0,
                           4096, False, XA_WINDOW, &type, &format, &items, &after, &data) == Success &&
        data != nullptr && format == 32)
        clients.assign(reinterpret_cast<const Window*>(data), reinterpret_cast<const Window*>(data) + items);
    if (data != nullptr) XFree(data);
    Stop();
    // A manager may drop its check window before it lets go of its clients, and the X server takes
    // them out of its frames only once it sees its connection closed: the next one would find them
    // framed still and leave them be.
    const bool gone = WaitFor(
        [&] {
            return CheckWindow(display) == 0 && std::none_of(clients.begin(), clients.end(), [](Window client) {
                       return Framed(static_cast<int32_t>(client));
                   });
        },
        30000);
    XCloseDisplay(display);
    m_managing = gone && Start();
    return m_managing;
}

bool WindowManager::Framed(int32_t window) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const bool framed = XQueryTree(display, static_cast<Window>(window), &root, &parent, &children, &count) &&
                        parent != 0 && parent != root;
    if (children != nullptr) XFree(children);
    XSync(display, False);
    XSetErrorHandler(previous);
    XCloseDisplay(display);
    return framed;
}

bool WindowManager::Manages(int32_t window) {
    if (!Framed(window)) return false;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    bool listed = false;
    if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_CLIENT_LIST", False), 0,
                           4096, False, XA_WINDOW, &type, &format, &items, &after, &data) == Success &&
        data != nullptr && format == 32) {
        const auto* clients = reinterpret_cast<const Window*>(data);
        listed = std::find(clients, clients + items, static_cast<Window>(window)) != clients + items;
    }
    if (data != nullptr) XFree(data);
    XCloseDisplay(display);
    return listed;
}

int32_t CurrentProcessId() {
    return ::getpid();
}

bool WindowVisible(int32_t window) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XWindowAttributes attributes{};
    const bool viewable = XGetWindowAttributes(display, static_cast<Window>(window), &attributes) != 0 &&
                          attributes.map_state == IsViewable;
    XCloseDisplay(display);
    return viewable;
}

int RaiseHelperWindows(int32_t pid, int32_t mainWindow) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 0;
    // A window manager's windows may go between the listing and the look at each.
    XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    const auto ownerOf = [&](Window window) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        long owner = 0;
        if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                               &data) == Success &&
            data != nullptr && items == 1 && format == 32)
            owner = *reinterpret_cast<long*>(data);
        if (data != nullptr) XFree(data);
        return owner;
    };
    int raised = 0;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (children[i] != static_cast<Window>(mainWindow) &&
                XGetWindowAttributes(display, children[i], &attributes) && attributes.override_redirect &&
                ownerOf(children[i]) == pid) {
                XRaiseWindow(display, children[i]);
                ++raised;
            }
        }
        if (children != nullptr) XFree(children);
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    XCloseDisplay(display);
    return raised;
}

}  // namespace tovi::testing
