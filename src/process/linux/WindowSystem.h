#pragma once
// The window half of the Linux backend: X11 when a display is there, the no-display rule when not.
#include <cstdint>
#include <string>
#include <vector>

#include "ProcessBackend.h"

namespace tovi::linux_backend {

class WindowSystem {
public:
    virtual ~WindowSystem() = default;
    virtual std::vector<int32_t> TopLevelWindows() = 0;
    virtual int32_t FindWindowByCaption(const std::string& caption) = 0;
    virtual int32_t WindowProcess(int32_t window) = 0;
    virtual std::string WindowCaption(int32_t window) = 0;
    virtual bool SetWindowVisible(int32_t window, bool visible) = 0;
    virtual bool PostKeystroke(int32_t window, GameKeystroke key) = 0;
    virtual AccessFailure LastFailure() const = 0;
};

}  // namespace tovi::linux_backend
