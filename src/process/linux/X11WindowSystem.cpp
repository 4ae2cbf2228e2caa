#include "linux/X11WindowSystem.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>

#include "Windows1252.h"

namespace tovi::linux_backend {

namespace {

// Xlib's default error handler ends the process; a window that vanished between two calls must
// only make the call fail. The trap records errors while it is alive, on this thread's display.
int g_trappedError = 0;
int TrapHandler(Display*, XErrorEvent* event) {
    g_trappedError = event->error_code;
    return 0;
}

class ErrorTrap {
public:
    explicit ErrorTrap(Display* display) : m_display(display) {
        XSync(m_display, False);
        g_trappedError = 0;
        m_previous = XSetErrorHandler(TrapHandler);
    }
    ~ErrorTrap() {
        XSync(m_display, False);
        XSetErrorHandler(m_previous);
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    // Waits for the server to answer everything sent so far and tells whether any of it failed.
    bool Failed() {
        XSync(m_display, False);
        return g_trappedError != 0;
    }

private:
    Display* m_display;
    XErrorHandler m_previous = nullptr;
};

struct XFreeDeleter {
    void operator()(void* p) const {
        if (p) XFree(p);
    }
};

}  // namespace

std::unique_ptr<X11WindowSystem> X11WindowSystem::Open(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (!display) return nullptr;
    return std::unique_ptr<X11WindowSystem>(new X11WindowSystem(display));
}

X11WindowSystem::X11WindowSystem(Display* display) : m_display(display) {
    m_wmState = XInternAtom(m_display, "WM_STATE", False);
    m_netWmName = XInternAtom(m_display, "_NET_WM_NAME", False);
    m_netWmPid = XInternAtom(m_display, "_NET_WM_PID", False);
    m_utf8String = XInternAtom(m_display, "UTF8_STRING", False);
}

X11WindowSystem::~X11WindowSystem() { XCloseDisplay(m_display); }

bool X11WindowSystem::HasProperty(unsigned long window, unsigned long property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(m_display, window, property, 0, 0, False, AnyPropertyType, &type,
                                          &format, &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    return status == Success && type != None;
}

// With a window manager the application's window sits inside a frame; the application's window
// is the one that carries WM_STATE. Without one, the top-level window is the application's.
unsigned long X11WindowSystem::ClientWindow(unsigned long frame, int depth) {
    if (HasProperty(frame, m_wmState)) return frame;
    if (depth == 0) return 0;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, frame, &root, &parent, &children, &count)) return 0;
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    for (unsigned int i = count; i-- > 0;) {
        if (unsigned long client = ClientWindow(children[i], depth - 1)) return client;
    }
    return 0;
}

std::vector<int32_t> X11WindowSystem::TopLevelWindows() {
    ClearFailure();
    std::vector<int32_t> windows;
    ErrorTrap trap(m_display);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count)) {
        m_failure = AccessFailure::NoWindowSystem;
        return windows;
    }
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    // XQueryTree lists the root's children bottom to top; the topmost comes first here.
    for (unsigned int i = count; i-- > 0;) {
        // Override-redirect windows are menus, tooltips and helpers that bypass the window
        // manager, never an application's main window: Wine gives every program an unmapped 1x1
        // "Default IME" window of this kind, carrying the program's _NET_WM_PID. The flag stays
        // whether the window is mapped or not, so a main window hidden by us is still listed.
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(m_display, children[i], &attributes) || attributes.override_redirect) continue;
        unsigned long client = ClientWindow(children[i], 2);
        if (client == 0) client = children[i];
        windows.push_back(static_cast<int32_t>(client));
    }
    return windows;
}

int32_t X11WindowSystem::FindWindowByCaption(const std::string& caption) {
    ClearFailure();
    for (int32_t window : TopLevelWindows()) {
        if (WindowCaption(window) == caption) return window;
    }
    m_failure = AccessFailure::NoWindow;
    return 0;
}

int32_t X11WindowSystem::WindowProcess(int32_t window) {
    ClearFailure();
    if (window <= 0) {
        m_failure = AccessFailure::NoWindow;
        return 0;
    }
    ErrorTrap trap(m_display);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(m_display, static_cast<Window>(window), m_netWmPid, 0, 1, False,
                                          XA_CARDINAL, &type, &format, &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (trap.Failed() || status != Success || type != XA_CARDINAL || format != 32 || count != 1 || !data) {
        m_failure = AccessFailure::NoWindow;
        return 0;
    }
    // Xlib hands 32-bit properties over as longs.
    const long pid = *reinterpret_cast<const long*>(data);
    return pid > 0 && pid <= INT32_MAX ? static_cast<int32_t>(pid) : 0;
}

std::string X11WindowSystem::WindowCaption(int32_t window) {
    ClearFailure();
    if (window <= 0) {
        m_failure = AccessFailure::NoWindow;
        return {};
    }
    ErrorTrap trap(m_display);
    std::string caption;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(m_display, static_cast<Window>(window), m_netWmName, 0, 1024, False,
                                          m_utf8String, &type, &format, &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (status == Success && type == m_utf8String && format == 8 && data) {
        caption = Utf8ToWindows1252(std::string(reinterpret_cast<const char*>(data), count));
    } else {
        XTextProperty name{};
        if (XGetWMName(m_display, static_cast<Window>(window), &name) && name.value) {
            std::unique_ptr<unsigned char, XFreeDeleter> value(name.value);
            const std::string raw(reinterpret_cast<const char*>(name.value), name.nitems);
            // WM_NAME is Latin-1 (STRING) or, from some clients, UTF-8.
            caption = name.encoding == m_utf8String ? Utf8ToWindows1252(raw) : raw;
        }
    }
    if (trap.Failed()) {
        m_failure = AccessFailure::NoWindow;
        return {};
    }
    // A caption is read into a buffer of 256 characters with its ending zero.
    if (caption.size() > 255) caption.resize(255);
    return caption;
}

bool X11WindowSystem::SetWindowVisible(int32_t window, bool visible) {
    ClearFailure();
    if (window <= 0) {
        m_failure = AccessFailure::NoWindow;
        return false;
    }
    ErrorTrap trap(m_display);
    if (visible) {
        XMapWindow(m_display, static_cast<Window>(window));
    } else {
        XUnmapWindow(m_display, static_cast<Window>(window));
    }
    if (trap.Failed()) {
        m_failure = AccessFailure::NoWindow;
        return false;
    }
    return true;
}

bool X11WindowSystem::PostKeystroke(int32_t window, GameKeystroke key) {
    ClearFailure();
    if (window <= 0) {
        m_failure = AccessFailure::NoWindow;
        return false;
    }
    const KeySym keysym = key == GameKeystroke::Console ? XK_grave : XK_Return;
    const KeyCode keycode = XKeysymToKeycode(m_display, keysym);
    if (keycode == 0) {
        m_failure = AccessFailure::Other;
        return false;
    }
    ErrorTrap trap(m_display);
    XKeyEvent event{};
    event.display = m_display;
    event.window = static_cast<Window>(window);
    event.root = DefaultRootWindow(m_display);
    event.subwindow = None;
    event.time = CurrentTime;
    event.x = event.y = event.x_root = event.y_root = 1;
    event.same_screen = True;
    event.keycode = keycode;
    event.state = 0;
    event.type = KeyPress;
    Status sent = XSendEvent(m_display, event.window, False, KeyPressMask, reinterpret_cast<XEvent*>(&event));
    event.type = KeyRelease;
    sent = sent && XSendEvent(m_display, event.window, False, KeyReleaseMask, reinterpret_cast<XEvent*>(&event));
    if (trap.Failed() || !sent) {
        m_failure = AccessFailure::NoWindow;
        return false;
    }
    return true;
}

}  // namespace tovi::linux_backend
