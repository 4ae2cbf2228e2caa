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

// This test's own process id.
int32_t CurrentProcessId();

// Whether the window is shown (mapped, on X11).
bool WindowVisible(int32_t window);

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
