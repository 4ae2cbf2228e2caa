#pragma once
// A running game simulator for integration tests: started with a chosen command-line name (so it
// can pose as a Wine-hosted "jointops.exe"), stopped and reaped when the object goes.
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace tovi::testing {

class SimProcess {
public:
    SimProcess(std::string argv0, std::vector<std::string> args) {
        std::vector<std::string> all{std::move(argv0)};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execv(GAMESIM_PATH, argv.data());
            ::_exit(127);
        }
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // Ends the simulator and waits for it, so that its id is gone afterwards.
    void Stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// Waits, for a bounded while, until `condition` holds; answers whether it did. The bound only
// keeps a broken run from hanging: nothing depends on how long the wait took.
template <typename Condition> bool WaitFor(Condition condition, int limitMs = 10000) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace tovi::testing
