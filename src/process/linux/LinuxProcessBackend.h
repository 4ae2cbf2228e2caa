#pragma once
// Processes and their memory on Linux. A game server run under Wine is an ordinary Linux
// process whose memory holds the game at the same absolute addresses as on Windows.
#include <memory>

#include "ProcessBackend.h"
#include "linux/WindowSystem.h"

namespace tovi::linux_backend {

class LinuxProcessBackend : public ProcessBackend {
public:
    // `procRoot` is where the process file system is mounted.
    explicit LinuxProcessBackend(std::string procRoot = "/proc");

    // The window half; without one, every window operation fails.
    void SetWindowSystem(std::unique_ptr<WindowSystem> windows) { m_windows = std::move(windows); }

    std::vector<int32_t> ListProcessIds() override;
    std::optional<std::string> FirstModulePath(int32_t pid) override;
    bool CanOpen(int32_t pid) override;
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override;
    bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) override;
    AccessFailure ReadRanges(int32_t pid, std::span<ReadRange> ranges) override;
    std::optional<int32_t> KnownProcessWindow(int32_t pid) override;
    std::optional<OwnedWindow> KnownWindowByCaption(const std::string& caption) override;
    std::vector<int32_t> TopLevelWindows() override;
    int32_t FindWindowByCaption(const std::string& caption) override;
    int32_t WindowProcess(int32_t window) override;
    std::string WindowCaption(int32_t window) override;
    bool SetWindowVisible(int32_t window, bool visible) override;
    bool PostKeystroke(int32_t window, GameKeystroke key) override;
    AccessFailure LastFailure() const override { return m_failure; }
    std::string AccessRefusedAdvice() const override;

private:
    bool Failed(AccessFailure failure);
    bool FailedWithErrno(int error);
    template <typename Call> auto Windows(Call call);

    std::string m_procRoot;
    std::unique_ptr<WindowSystem> m_windows;
    AccessFailure m_failure = AccessFailure::None;
};

// The first argument of a Wine process's command line is the Windows path of its executable;
// that is the path the game's own tools show, so it stands for the module path when it names
// an ".exe". `cmdline` is the raw content of /proc/PID/cmdline.
std::optional<std::string> WindowsPathFromCommandLine(const std::string& cmdline);

}  // namespace tovi::linux_backend
