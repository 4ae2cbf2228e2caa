#pragma once
// Windows through X11. A Wine-hosted game server's main window is an X11 window: its caption is
// in _NET_WM_NAME (or WM_NAME), its owner process in _NET_WM_PID, and Wine turns key events sent
// to it into the game's key messages. Hiding and showing are unmapping and mapping.
//
// The top-level windows are followed from the X server's events (the root's substructure, and
// each window's own substructure and properties) rather than walked every time: a query applies
// the events that have arrived, without waiting for any, and asks the server only about windows
// that changed. When the events can't be trusted (too many at once, or one that does not fit what
// is known) one full walk starts afresh. Its answers are those of a walk: topmost first, hidden
// windows included, override-redirect helpers left out, and inside a window manager's frame the
// window it lists in _NET_CLIENT_LIST, or else (no list) the window that carries WM_STATE.
// Some window managers (IceWM, Fluxbox) make their frames override-redirect: a frame counts by
// the client inside it, whatever its own flag.
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "linux/WindowSystem.h"

struct _XDisplay;
union _XEvent;

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
    std::optional<int32_t> KnownProcessWindow(int32_t pid) override;
    std::optional<OwnedWindow> KnownWindowByCaption(const std::string& caption) override;

    // Off: every query walks the window tree, as the program did before it followed events.
    void SetTracking(bool on);
    // Waits until the server has sent every event caused so far, and applies them.
    void CatchUp();
    // How many full walks the tracking has made.
    int FullWalks() const { return m_walks; }

private:
    // A child of the root, as the root's stacking order holds it.
    struct TopWindow {
        unsigned long window = 0;
        bool overrideRedirect = false;
        bool dirty = true;  // its inside changed, or it is new: look into it again
        unsigned long client = 0;  // inside it (or itself) with WM_STATE; 0 for none
    };
    struct Properties {
        std::optional<int32_t> pid;
        std::optional<std::string> caption;
    };

    explicit X11WindowSystem(_XDisplay* display);
    std::vector<int32_t> WalkTopLevelWindows();
    int32_t FetchWindowProcess(unsigned long window);
    std::optional<std::string> FetchWindowCaption(unsigned long window);
    // Tracking: brings the windows up to date with the events that have arrived.
    void Refresh();
    void FullWalk();
    void Apply(const union _XEvent& event);
    void ApplyToRoot(const union _XEvent& event);
    void LookInto(TopWindow& top);
    unsigned long WatchClient(unsigned long window, unsigned long top, int depth);
    TopWindow* Top(unsigned long window);
    void MarkDirty(unsigned long window);
    void ForgetInside(unsigned long top);
    void Forget(unsigned long window);
    void Restack(unsigned long window, std::optional<unsigned long> above);
    std::vector<unsigned long> TrackedWindows();
    Properties& CachedProperties(unsigned long window);
    // Here, where Xlib's None macro is not yet defined.
    void ClearFailure() { m_failure = AccessFailure::None; }
    unsigned long ClientWindow(unsigned long frame, int depth);
    bool HasProperty(unsigned long window, unsigned long property);
    std::optional<unsigned long> WindowProperty(unsigned long window, unsigned long property);
    // The window manager's clients (_NET_CLIENT_LIST) by their top-level window, when a window
    // manager runs and keeps that list; empty otherwise.
    std::unordered_map<unsigned long, unsigned long> ListedClients();
    // What a top-level window stands for in the answers: its client (the listed one first, then
    // `client`, found by WM_STATE), itself, or nothing (0).
    static unsigned long Answer(unsigned long top, bool overrideRedirect, unsigned long client,
                                const std::unordered_map<unsigned long, unsigned long>& listed);

    _XDisplay* m_display;
    unsigned long m_wmState = 0;
    unsigned long m_netWmName = 0;
    unsigned long m_netWmPid = 0;
    unsigned long m_utf8String = 0;
    unsigned long m_netClientList = 0;
    unsigned long m_netSupportingWmCheck = 0;
    unsigned long m_root = 0;
    AccessFailure m_failure = AccessFailure::None;

    bool m_tracking = true;
    bool m_synced = false;
    int m_walks = 0;
    std::vector<TopWindow> m_stack;                               // bottom first
    std::unordered_map<unsigned long, unsigned long> m_insideOf;  // watched window -> its top window
    std::unordered_map<unsigned long, Properties> m_properties;   // of watched windows only
    std::unordered_map<unsigned long, unsigned long> m_listed;    // top window -> listed client
    bool m_listChanged = true;
    // Windows seen as top-level ones of their own that a frame then took in: an application's.
    std::unordered_set<unsigned long> m_adopted;
};

}  // namespace tovi::linux_backend
