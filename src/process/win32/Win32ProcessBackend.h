#pragma once
// Processes, their memory and their windows through the Win32 calls: the game server's own
// platform. Every process handle is opened for one call with the least access it needs and
// closed before the call returns; window handles are kept as 32-bit numbers, which Windows
// guarantees hold all of a window handle's significant bits.
#include <cstdint>

#include "ProcessBackend.h"

namespace tovi::win32_backend {

class Win32ProcessBackend : public ProcessBackend {
public:
    std::vector<int32_t> ListProcessIds() override;
    std::optional<std::string> FirstModulePath(int32_t pid) override;
    bool CanOpen(int32_t pid) override;
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override;
    bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) override;
    AccessFailure ReadRanges(int32_t pid, std::span<ReadRange> ranges) override;
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
    // Records why the call that just failed failed, from the thread's last error.
    bool FailedWithLastError(bool opening);
    // The same for a memory transfer through a handle that was opened with the access it needs.
    bool TransferFailed(int32_t pid);

    AccessFailure m_failure = AccessFailure::None;
};

}  // namespace tovi::win32_backend
