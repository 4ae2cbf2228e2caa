#pragma once
// The window half of the Linux backend: X11 when a display is there, the no-display rule when not.
#include <cstdint>
#include <optional>
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
    // What the process backend's calls of the same names answer: nothing where the window
    // system does not keep track of windows and the caller must walk them.
    virtual std::optional<int32_t> KnownProcessWindow(int32_t /*pid*/) { return std::nullopt; }
    virtual std::optional<OwnedWindow> KnownWindowByCaption(const std::string& /*caption*/) {
        return std::nullopt;
    }
};

}  // namespace tovi::linux_backend
