#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
    XCloseDisplay(display);
    return raised;
}

}  // namespace tovi::testing
