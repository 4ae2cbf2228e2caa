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
#include "ProcessBackend.h"
#include "linux/WindowSystem.h"

namespace tovi::linux_backend {

class NoDisplayWindowSystem : public WindowSystem {
public:
    // `processes` lists processes and reads their memory; it must outlive this object.
    explicit NoDisplayWindowSystem(ProcessBackend& processes) : m_processes(processes) {}

    std::vector<int32_t> TopLevelWindows() override;
    int32_t FindWindowByCaption(const std::string& caption) override;
    int32_t WindowProcess(int32_t window) override;
    std::string WindowCaption(int32_t window) override;
    bool SetWindowVisible(int32_t window, bool visible) override;
    bool PostKeystroke(int32_t window, GameKeystroke key) override;
    AccessFailure LastFailure() const override { return m_failure; }

private:
    bool IsGameServer(int32_t pid);

    ProcessBackend& m_processes;
    AccessFailure m_failure = AccessFailure::None;
};

}  // namespace tovi::linux_backend
