#pragma once
// Windows through X11. A Wine-hosted game server's main window is an X11 window: its caption is
// in _NET_WM_NAME (or WM_NAME), its owner process in _NET_WM_PID, and Wine turns key events sent
// to it into the game's key messages. Hiding and showing are unmapping and mapping.
#include <memory>

#include "linux/WindowSystem.h"

struct _XDisplay;

namespace tovi::linux_backend {

class X11WindowSystem : public WindowSystem {
public:
    // Connects to the display named by DISPLAY (or `displayName`); nothing when none can be opened.
    static std::unique_ptr<X11WindowSystem> Open(const char* displayName = nullptr);
    ~X11WindowSystem() override;

    std::vector<int32_t> TopLevelWindows() override;
    int32_t FindWindowByCaption(const std::string& caption) override;
    int32_t WindowProcess(int32_t window) override;
    std::string WindowCaption(int32_t window) override;
    bool SetWindowVisible(int32_t window, bool visible) override;
    bool PostKeystroke(int32_t window, GameKeystroke key) override;
    AccessFailure LastFailure() const override { return m_failure; }

private:
    explicit X11WindowSystem(_XDisplay* display);
    // Here, where Xlib's None macro is not yet defined.
    void ClearFailure() { m_failure = AccessFailure::None; }
    unsigned long ClientWindow(unsigned long frame, int depth);
    bool HasProperty(unsigned long window, unsigned long property);

    _XDisplay* m_display;
    unsigned long m_wmState = 0;
    unsigned long m_netWmName = 0;
    unsigned long m_netWmPid = 0;
    unsigned long m_utf8String = 0;
    AccessFailure m_failure = AccessFailure::None;
};

}  // namespace tovi::linux_backend
