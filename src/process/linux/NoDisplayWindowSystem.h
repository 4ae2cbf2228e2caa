#pragma once
// Windows where there is no display to ask. The game's server still counts as having a main
// window so that it can be found and tracked:
//   - every process whose module path ends in "jointops.exe" (any letter case) has exactly one
//     top-level window; its handle is the process id;
//   - that window's caption is "Joint Operations: Typhoon Rising,  " followed by the version
//     text read from the process at the game's version address (cut at its first NUL); when
//     that read is refused, a lookup by caption that matches nothing says so (PermissionDenied);
//   - no other process has a window;
//   - hiding, showing and keystrokes fail (answer false) since nothing can receive them.
// The server found last is remembered by its id and its start time (/proc/PID/stat), so that a
// tick checks it with one look at that file; /proc is scanned again only when it has gone or its
// id now belongs to another process.
#include <optional>
#include <string>

#include "ProcessBackend.h"
#include "linux/WindowSystem.h"

namespace tovi::linux_backend {

class NoDisplayWindowSystem : public WindowSystem {
public:
    // `processes` lists processes and reads their memory; it must outlive this object.
    // `procRoot` is where the process file system is mounted.
    explicit NoDisplayWindowSystem(ProcessBackend& processes, std::string procRoot = "/proc")
        : m_processes(processes), m_procRoot(std::move(procRoot)) {}

    std::vector<int32_t> TopLevelWindows() override;
    int32_t FindWindowByCaption(const std::string& caption) override;
    int32_t WindowProcess(int32_t window) override;
    std::string WindowCaption(int32_t window) override;
    bool SetWindowVisible(int32_t window, bool visible) override;
    bool PostKeystroke(int32_t window, GameKeystroke key) override;
    AccessFailure LastFailure() const override { return m_failure; }
    std::optional<int32_t> KnownProcessWindow(int32_t pid) override;
    std::optional<OwnedWindow> KnownWindowByCaption(const std::string& caption) override;

    // How often /proc was scanned for servers, for the tests.
    int Scans() const { return m_scans; }

private:
    struct Server {
        int32_t pid = 0;
        uint64_t startTime = 0;
        std::string caption;
    };
    bool IsGameServer(int32_t pid);
    // When the process runs (is no zombie), its start time in clock ticks since boot.
    std::optional<uint64_t> StartTime(int32_t pid) const;
    // The remembered server when it still runs, under the same id; forgets it otherwise.
    const Server* Remembered();
    void Remember(int32_t pid, std::string caption);

    ProcessBackend& m_processes;
    std::string m_procRoot;
    AccessFailure m_failure = AccessFailure::None;
    std::optional<Server> m_server;
    int m_scans = 0;
};

}  // namespace tovi::linux_backend
