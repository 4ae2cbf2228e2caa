#pragma once
// A running game simulator for integration tests, stopped and reaped when the object goes. It
// poses as the game's server under a chosen executable name:
//   - on Linux, as a Wine-hosted program does: the name is the first argument of its command
//     line, where Wine keeps a Windows program's path;
//   - on Windows, as a copy of gamesim.exe by that file name, in a folder of its own.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tovi::testing {

class SimProcess {
public:
    SimProcess(const std::string& name, std::vector<std::string> args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

#ifndef _WIN32
    // gamesim.exe, copied as `name` into a folder of its own, run by the Wine loader `wine`
    // (which keeps the process id: it replaces itself with the Windows program).
    static std::unique_ptr<SimProcess> UnderWine(const std::string& wine, const std::string& exe,
                                                 const std::string& name, std::vector<std::string> args);
#endif

    // 0 when it is not running: it could not be started, or it was stopped.
    int32_t pid() const {
        return m_pid;
    }
    // Where the executable is, as the system names it to other processes.
    const std::string& path() const {
        return m_path;
    }
    // Ends the simulator and waits for it, so that its id is gone afterwards.
    void Stop();

private:
    struct Platform;
    SimProcess();

    int32_t m_pid = 0;
    std::string m_path;
    std::unique_ptr<Platform> m_platform;
};

#ifndef _WIN32
// An X server of the test's own (Xvfb), named by DISPLAY while the object lives, so that
// simulators started meanwhile and window systems opened meanwhile meet no one else's windows.
class PrivateDisplay {
public:
    PrivateDisplay();
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;
    // Empty when the server could not be started.
    const std::string& name() const {
        return m_name;
    }

private:
    int32_t m_pid = 0;
    std::string m_name;
    std::string m_previous;
    bool m_hadPrevious = false;
};

// A window manager on the display named by DISPLAY (a private one), ended with the object; "none"
// runs none. Its home is a folder of its own, so that no operator's settings change how it frames.
class WindowManager {
public:
    explicit WindowManager(std::string name);
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;
    // Whether it runs and manages windows (it has named its check window on the root); always
    // false for "none".
    bool managing() const {
        return m_managing;
    }
    // Ends it, waits until it has let go of its clients, starts it anew and waits until it manages.
    // Call it on the thread that started it: the manager ends with the thread that forked it.
    bool Restart();
    void Stop();
    // Whether the window sits in a frame: its parent is not the root.
    static bool Framed(int32_t window);
    // Whether a window manager has taken the window in: framed, and in its _NET_CLIENT_LIST.
    static bool Manages(int32_t window);
    // The window managers the X11 tests run under, "none" first.
    static std::vector<std::string> Tested() {
        return {"none", "icewm", "openbox", "fluxbox"};
    }

private:
    bool Start();
    std::string m_name;
    std::string m_home;
    int32_t m_pid = 0;
    bool m_managing = false;
};
#endif

// This test's own process id.
int32_t CurrentProcessId();

// Whether the window is shown (mapped, on X11).
bool WindowVisible(int32_t window);

// The process's top-level helper windows (on X11 the override-redirect ones, on Windows every one
// but `mainWindow`), put above every other window; answers how many there were. Raised above the
// main window, they are where a lookup by process id that takes the topmost window goes wrong.
int RaiseHelperWindows(int32_t pid, int32_t mainWindow);

// A version text (at most 8 characters) that no simulator but this test's shows: made from this
// process's id and a count. Given to a simulator with --version, it makes that simulator's caption
// one of the test's own, so that another server on the same machine or display is never taken
// for it.
inline std::string OwnVersion() {
    static int count = 0;
    const auto base36 = [](uint32_t n) {
        std::string digits;
        do {
            digits.insert(digits.begin(), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[n % 36]);
            n /= 36;
        } while (n != 0);
        return digits;
    };
    // Process ids stay below 2^22 (5 digits); the count has two digits left.
    return "T" + base36(static_cast<uint32_t>(CurrentProcessId()) % 60466176u) + "-" + base36(static_cast<uint32_t>(count++) % 36u);
}

// Waits, for a bounded while, until `condition` holds; answers whether it did. The bound only
// keeps a broken run from hanging: nothing depends on how long the wait took.
template <typename Condition>
bool WaitFor(Condition condition, int limitMs = 10000) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace tovi::testing
