#pragma once
// A stop request from outside the program, turned into a call on its event loop: SIGTERM or SIGINT;
// on Windows Ctrl+C, Ctrl+Break or the closing of the program's console, a logoff or a shutdown.
// One object at a time, made on the thread that runs the event loop.
#include <functional>
#include <memory>

namespace tovi {

class StopRequests {
public:
    explicit StopRequests(std::function<void()> stop);
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // False when the requests cannot be caught: they end the process as they would without it.
    bool Catching() const { return m_platform != nullptr; }

private:
    struct Platform;
    std::function<void()> m_stop;
    std::unique_ptr<Platform> m_platform;
};

}  // namespace tovi
