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
    m_netClientList = XInternAtom(m_display, "_NET_CLIENT_LIST", False);
    m_netSupportingWmCheck = XInternAtom(m_display, "_NET_SUPPORTING_WM_CHECK", False);
    m_root = DefaultRootWindow(m_display);
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

// The first window named by a WINDOW property; nothing when there is none or the window is gone.
std::optional<unsigned long> X11WindowSystem::WindowProperty(unsigned long window, unsigned long property) {
    ErrorTrap trap(m_display);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(m_display, window, property, 0, 1, False, XA_WINDOW, &type, &format,
                                          &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (trap.Failed() || status != Success || type != XA_WINDOW || format != 32 || count < 1 || !data)
        return std::nullopt;
    return *reinterpret_cast<const unsigned long*>(data);
}

std::unordered_map<unsigned long, unsigned long> X11WindowSystem::ListedClients() {
    std::unordered_map<unsigned long, unsigned long> listed;
    // A window manager that ended leaves its properties on the root: the list counts only while
    // the check window it names is alive and names itself.
    const std::optional<unsigned long> check = WindowProperty(m_root, m_netSupportingWmCheck);
    if (!check || WindowProperty(*check, m_netSupportingWmCheck) != check) return listed;
    ErrorTrap trap(m_display);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    // More clients than a desktop ever holds are not looked at.
    const int status = XGetWindowProperty(m_display, m_root, m_netClientList, 0, 4096, False, XA_WINDOW, &type,
                                          &format, &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (status != Success || type != XA_WINDOW || format != 32 || !data) return listed;
    const auto* clients = reinterpret_cast<const unsigned long*>(data);
    for (unsigned long i = 0; i < count; ++i) {
        // Up from the client to the root's child that holds it; frames are never deep.
        unsigned long window = clients[i];
        for (int depth = 0; depth < 8 && window != 0; ++depth) {
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned int n = 0;
            if (!XQueryTree(m_display, window, &root, &parent, &children, &n)) break;
            std::unique_ptr<Window, XFreeDeleter> ownedChildren(children);
            if (parent == m_root) {
                listed.emplace(window, clients[i]);
                break;
            }
            window = parent;
        }
    }
    return listed;
}

unsigned long X11WindowSystem::Answer(unsigned long top, bool overrideRedirect, unsigned long client,
                                      const std::unordered_map<unsigned long, unsigned long>& listed) {
    // The window manager knows its clients best; where it keeps no list, WM_STATE marks them.
    if (const auto it = listed.find(top); it != listed.end()) client = it->second;
    // Override-redirect windows are menus, tooltips and helpers that bypass the window manager,
    // never an application's main window: Wine gives every program an unmapped 1x1 "Default IME"
    // window of this kind, carrying the program's _NET_WM_PID. The flag stays whether the window
    // is mapped or not, so a main window hidden by us is still listed. Yet some window managers
    // make their frames override-redirect too: such a window counts by the client it holds.
    if (overrideRedirect) return client != 0 && client != top ? client : 0;
    return client != 0 ? client : top;
}

std::vector<int32_t> X11WindowSystem::WalkTopLevelWindows() {
    std::vector<int32_t> windows;
    const std::unordered_map<unsigned long, unsigned long> listed = ListedClients();
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
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(m_display, children[i], &attributes)) continue;
        const unsigned long answer = Answer(children[i], attributes.override_redirect != 0,
                                            ClientWindow(children[i], 2), listed);
        if (answer != 0) windows.push_back(static_cast<int32_t>(answer));
    }
    return windows;
}

std::vector<int32_t> X11WindowSystem::TopLevelWindows() {
    ClearFailure();
    if (!m_tracking) return WalkTopLevelWindows();
    std::vector<int32_t> windows;
    for (unsigned long window : TrackedWindows()) windows.push_back(static_cast<int32_t>(window));
    return windows;
}

int32_t X11WindowSystem::FindWindowByCaption(const std::string& caption) {
    ClearFailure();
    if (m_tracking) {
        const std::optional<OwnedWindow> found = KnownWindowByCaption(caption);
        return found ? found->window : 0;
    }
    for (int32_t window : TopLevelWindows()) {
        if (WindowCaption(window) == caption) return window;
    }
    m_failure = AccessFailure::NoWindow;
    return 0;
}

std::optional<OwnedWindow> X11WindowSystem::KnownWindowByCaption(const std::string& caption) {
    ClearFailure();
    if (!m_tracking) return std::nullopt;
    for (unsigned long window : TrackedWindows()) {
        Properties& known = CachedProperties(window);
        if (!known.caption) known.caption = FetchWindowCaption(window).value_or(std::string());
        if (*known.caption != caption) continue;
        if (!known.pid) known.pid = FetchWindowProcess(window);
        return OwnedWindow{static_cast<int32_t>(window), *known.pid};
    }
    m_failure = AccessFailure::NoWindow;
    return OwnedWindow{};
}

std::optional<int32_t> X11WindowSystem::KnownProcessWindow(int32_t pid) {
    ClearFailure();
    if (!m_tracking) return std::nullopt;
    for (unsigned long window : TrackedWindows()) {
        Properties& known = CachedProperties(window);
        if (!known.pid) known.pid = FetchWindowProcess(window);
        if (*known.pid == pid && pid > 0) return static_cast<int32_t>(window);
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
    const int32_t pid = FetchWindowProcess(static_cast<unsigned long>(window));
    if (pid == 0) m_failure = AccessFailure::NoWindow;
    return pid;
}

// The window's _NET_WM_PID; 0 when it has none or is gone.
int32_t X11WindowSystem::FetchWindowProcess(unsigned long window) {
    ErrorTrap trap(m_display);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(m_display, window, m_netWmPid, 0, 1, False, XA_CARDINAL, &type,
                                          &format, &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (trap.Failed() || status != Success || type != XA_CARDINAL || format != 32 || count != 1 || !data)
        return 0;
    // Xlib hands 32-bit properties over as longs.
    const long pid = *reinterpret_cast<const long*>(data);
    return pid > 0 && pid <= INT32_MAX ? static_cast<int32_t>(pid) : 0;
}

std::string X11WindowSystem::WindowCaption(int32_t window) {
    ClearFailure();
    std::optional<std::string> caption;
    if (window > 0) caption = FetchWindowCaption(static_cast<unsigned long>(window));
    if (!caption) {
        m_failure = AccessFailure::NoWindow;
        return {};
    }
    return *caption;
}

// The window's caption; nothing when the window is gone.
std::optional<std::string> X11WindowSystem::FetchWindowCaption(unsigned long window) {
    ErrorTrap trap(m_display);
    std::string caption;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(m_display, window, m_netWmName, 0, 1024, False, m_utf8String, &type,
                                          &format, &count, &after, &data);
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (status == Success && type == m_utf8String && format == 8 && data) {
        caption = Utf8ToWindows1252(std::string(reinterpret_cast<const char*>(data), count));
    } else {
        XTextProperty name{};
        if (XGetWMName(m_display, window, &name) && name.value) {
            std::unique_ptr<unsigned char, XFreeDeleter> value(name.value);
            const std::string raw(reinterpret_cast<const char*>(name.value), name.nitems);
            // WM_NAME is Latin-1 (STRING) or, from some clients, UTF-8.
            caption = name.encoding == m_utf8String ? Utf8ToWindows1252(raw) : raw;
        }
    }
    if (trap.Failed()) return std::nullopt;
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

// Tracking from events.

namespace {

// More events than this at one query are not worth following one by one: a walk is cheaper,
// and an event stream that long may have lost its thread.
constexpr int kMostEventsPerQuery = 4096;
constexpr int kMostRoundsPerQuery = 8;
constexpr long kTopMask = SubstructureNotifyMask | PropertyChangeMask;

}  // namespace

void X11WindowSystem::SetTracking(bool on) {
    m_tracking = on;
    m_synced = false;
    if (!on) {
        ErrorTrap trap(m_display);
        XSelectInput(m_display, m_root, NoEventMask);
        m_stack.clear();
        m_insideOf.clear();
        m_properties.clear();
        m_listed.clear();
        m_adopted.clear();
    }
}

void X11WindowSystem::CatchUp() {
    XSync(m_display, False);
    Refresh();
}

X11WindowSystem::TopWindow* X11WindowSystem::Top(unsigned long window) {
    for (TopWindow& top : m_stack) {
        if (top.window == window) return &top;
    }
    return nullptr;
}

X11WindowSystem::Properties& X11WindowSystem::CachedProperties(unsigned long window) {
    return m_properties[window];
}

void X11WindowSystem::MarkDirty(unsigned long window) {
    const auto inside = m_insideOf.find(window);
    if (inside == m_insideOf.end()) return;
    if (TopWindow* top = Top(inside->second)) top->dirty = true;
}

void X11WindowSystem::Forget(unsigned long window) {
    m_insideOf.erase(window);
    m_properties.erase(window);
    m_adopted.erase(window);
}

// The windows watched inside a top window are no longer: it is looked into afresh, or gone.
void X11WindowSystem::ForgetInside(unsigned long top) {
    for (auto it = m_insideOf.begin(); it != m_insideOf.end();) {
        if (it->second == top) {
            m_properties.erase(it->first);
            it = m_insideOf.erase(it);
        } else {
            ++it;
        }
    }
}

// Puts the window just above `above`, at the bottom for none, or on top when `above` is not
// given; a sibling that isn't known means the tracking has lost its thread.
void X11WindowSystem::Restack(unsigned long window, std::optional<unsigned long> above) {
    const auto at =
        std::find_if(m_stack.begin(), m_stack.end(), [&](const TopWindow& t) { return t.window == window; });
    if (at == m_stack.end()) {
        m_synced = false;
        return;
    }
    const TopWindow moved = *at;
    m_stack.erase(at);
    if (!above) {
        m_stack.push_back(moved);
        return;
    }
    if (*above == None) {
        m_stack.insert(m_stack.begin(), moved);
        return;
    }
    const auto below =
        std::find_if(m_stack.begin(), m_stack.end(), [&](const TopWindow& t) { return t.window == *above; });
    if (below == m_stack.end()) {
        m_stack.push_back(moved);
        m_synced = false;
        return;
    }
    m_stack.insert(below + 1, moved);
}

void X11WindowSystem::FullWalk() {
    ++m_walks;
    m_stack.clear();
    m_insideOf.clear();
    m_properties.clear();
    m_adopted.clear();
    m_listChanged = true;
    ErrorTrap trap(m_display);
    // The root's properties too: the window manager's client list, and whether one runs.
    XSelectInput(m_display, m_root, SubstructureNotifyMask | PropertyChangeMask);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, m_root, &root, &parent, &children, &count)) return;
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    // What came before the answer is in it already; what comes after it is applied later.
    XEvent stale;
    while (QLength(m_display) > 0) XNextEvent(m_display, &stale);
    for (unsigned int i = 0; i < count; ++i) m_stack.push_back({children[i], false, true, 0});
    m_synced = true;
}

void X11WindowSystem::Refresh() {
    if (!m_synced) FullWalk();
    int applied = 0;
    // Looking into windows waits for the server's answers, and takes in with them the events the
    // server sent before: another round applies those, so that the answer holds every change made
    // before the query (a window manager's, too, as it lets go of a window or takes one in). A
    // desktop that never rests ends the rounds.
    for (int round = 0; round < kMostRoundsPerQuery; ++round) {
        XEventsQueued(m_display, QueuedAfterReading);
        if (round > 0 && QLength(m_display) == 0) break;
        while (m_synced && QLength(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (++applied > kMostEventsPerQuery) {
                m_synced = false;
            } else {
                Apply(event);
            }
        }
        if (!m_synced) FullWalk();
        for (size_t i = 0; i < m_stack.size();) {
            if (!m_stack[i].dirty) {
                ++i;
                continue;
            }
            const unsigned long window = m_stack[i].window;
            LookInto(m_stack[i]);
            // LookInto drops a window that has gone meanwhile.
            if (i < m_stack.size() && m_stack[i].window == window) ++i;
        }
        if (m_listChanged) {
            m_listChanged = false;
            m_listed = ListedClients();
        }
    }
}

void X11WindowSystem::Apply(const XEvent& event) {
    if (event.type == PropertyNotify) {
        const XPropertyEvent& e = event.xproperty;
        if (e.window == m_root) {
            if (e.atom == m_netClientList || e.atom == m_netSupportingWmCheck) m_listChanged = true;
        } else if (e.atom == m_wmState) {
            MarkDirty(e.window);
        } else if (e.atom == m_netWmName || e.atom == XA_WM_NAME) {
            if (auto it = m_properties.find(e.window); it != m_properties.end()) it->second.caption.reset();
        } else if (e.atom == m_netWmPid) {
            if (auto it = m_properties.find(e.window); it != m_properties.end()) it->second.pid.reset();
        }
        return;
    }
    unsigned long eventWindow = 0;
    switch (event.type) {
        case CreateNotify:
            eventWindow = event.xcreatewindow.parent;
            break;
        case DestroyNotify:
            eventWindow = event.xdestroywindow.event;
            break;
        case ReparentNotify:
            eventWindow = event.xreparent.event;
            break;
        case ConfigureNotify:
            eventWindow = event.xconfigure.event;
            break;
        case CirculateNotify:
            eventWindow = event.xcirculate.event;
            break;
        case MapNotify:
            eventWindow = event.xmap.event;
            break;
        case UnmapNotify:
            eventWindow = event.xunmap.event;
            break;
        case GravityNotify:
            eventWindow = event.xgravity.event;
            break;
        default:
            return;
    }
    // A listed client that moves to another frame or goes takes its place in the list along.
    if (!m_listed.empty() && (event.type == ReparentNotify || event.type == DestroyNotify)) m_listChanged = true;
    if (eventWindow == m_root) {
        ApplyToRoot(event);
    } else {
        // Something changed inside a top window: which of its windows is the client may too.
        MarkDirty(eventWindow);
        if (event.type == ReparentNotify && event.xreparent.parent != m_root)
            MarkDirty(event.xreparent.parent);
    }
    if (event.type == DestroyNotify) Forget(event.xdestroywindow.window);
}

void X11WindowSystem::ApplyToRoot(const XEvent& event) {
    switch (event.type) {
        case CreateNotify:
            if (!Top(event.xcreatewindow.window)) {
                m_stack.push_back(
                    {event.xcreatewindow.window, event.xcreatewindow.override_redirect != 0, true, 0});
            }
            break;
        case DestroyNotify:
            ForgetInside(event.xdestroywindow.window);
            std::erase_if(m_stack,
                          [&](const TopWindow& t) { return t.window == event.xdestroywindow.window; });
            break;
        case ReparentNotify:
            if (event.xreparent.parent == m_root) {
                if (!Top(event.xreparent.window)) {
                    ForgetInside(event.xreparent.window);
                    Forget(event.xreparent.window);
                    m_stack.push_back(
                        {event.xreparent.window, event.xreparent.override_redirect != 0, true, 0});
                }
            } else {
                // Taken into a frame: no longer a top window; the frame looks into itself again.
                if (const TopWindow* moved = Top(event.xreparent.window); moved && !moved->overrideRedirect)
                    m_adopted.insert(event.xreparent.window);
                ForgetInside(event.xreparent.window);
                std::erase_if(m_stack,
                              [&](const TopWindow& t) { return t.window == event.xreparent.window; });
                MarkDirty(event.xreparent.parent);
            }
            break;
        case ConfigureNotify:
            if (TopWindow* top = Top(event.xconfigure.window))
                top->overrideRedirect = event.xconfigure.override_redirect != 0;
            Restack(event.xconfigure.window, event.xconfigure.above);
            break;
        case CirculateNotify:
            Restack(event.xcirculate.window,
                    event.xcirculate.place == PlaceOnTop ? std::nullopt : std::optional<unsigned long>(None));
            break;
        case MapNotify:
            if (TopWindow* top = Top(event.xmap.window))
                top->overrideRedirect = event.xmap.override_redirect != 0;
            break;
        default:
            break;
    }
}

// Watches a top window and what lies inside it down to the depth a client can sit at, and finds
// its client as the walk does.
void X11WindowSystem::LookInto(TopWindow& top) {
    const unsigned long window = top.window;
    ErrorTrap trap(m_display);
    ForgetInside(window);
    XSelectInput(m_display, window, kTopMask);
    m_insideOf[window] = window;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(m_display, window, &attributes)) {
        // Gone: its DestroyNotify is on its way.
        ForgetInside(window);
        std::erase_if(m_stack, [&](const TopWindow& t) { return t.window == window; });
        return;
    }
    TopWindow* current = Top(window);
    current->overrideRedirect = attributes.override_redirect != 0;
    unsigned long client = WatchClient(window, window, 2);
    // A window manager takes a window in before it marks it with WM_STATE and lists it, and lets
    // go of it after it has unmarked it: meanwhile an override-redirect frame would stand for
    // nothing. The window it took in is the client all along.
    if (client == 0 && current->overrideRedirect) {
        for (const auto& [inside, holder] : m_insideOf) {
            if (holder == window && inside != window && m_adopted.contains(inside)) client = inside;
        }
    }
    current = Top(window);
    current->client = client;
    // A window inside that vanished during the look makes it uncertain: look again next time.
    current->dirty = trap.Failed();
}

unsigned long X11WindowSystem::WatchClient(unsigned long window, unsigned long top, int depth) {
    if (window != top) {
        XSelectInput(m_display, window, depth > 0 ? kTopMask : PropertyChangeMask);
        m_insideOf[window] = top;
    }
    if (HasProperty(window, m_wmState)) return window;
    if (depth == 0) return 0;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, window, &root, &parent, &children, &count)) return 0;
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    for (unsigned int i = count; i-- > 0;) {
        if (unsigned long client = WatchClient(children[i], top, depth - 1)) return client;
    }
    return 0;
}

std::vector<unsigned long> X11WindowSystem::TrackedWindows() {
    Refresh();
    std::vector<unsigned long> windows;
    for (auto top = m_stack.rbegin(); top != m_stack.rend(); ++top) {
        const unsigned long answer = Answer(top->window, top->overrideRedirect, top->client, m_listed);
        if (answer != 0) windows.push_back(answer);
    }
    return windows;
}

}  // namespace tovi::linux_backend
