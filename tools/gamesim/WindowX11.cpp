#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "GameWindow.h"

// Xlib defines macros (None, Bool, Status, ...) that clash with ordinary names: it comes last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace tovi::gamesim {

namespace {

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 200;
constexpr int kLineHeight = 18;

// A stray error (a window gone, an atom refused) must not end the server, as Xlib's default would.
int ReportXError(Display* display, XErrorEvent* event) {
    char text[160] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::fprintf(stderr, "gamesim: X error ignored: %s (request %d)\n", text, event->request_code);
    return 0;
}

int ReportXConnectionLoss(Display*) {
    std::fprintf(stderr, "gamesim: the connection to the X server is lost\n");
    return 0;
}

class X11Window final : public GameWindow {
public:
    X11Window(Display* display, Window window, Atom deleteWindow)
        : m_display(display), m_window(window), m_deleteWindow(deleteWindow) {
        m_gc = XCreateGC(m_display, m_window, 0, nullptr);
        const int screen = DefaultScreen(m_display);
        XSetForeground(m_display, m_gc, BlackPixel(m_display, screen));
        XSetBackground(m_display, m_gc, WhitePixel(m_display, screen));
    }
    ~X11Window() override {
        XFreeGC(m_display, m_gc);
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }
    X11Window(const X11Window&) = delete;
    X11Window& operator=(const X11Window&) = delete;

    void Pump(std::chrono::milliseconds timeout) override {
        if (XPending(m_display) == 0) {
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            ::poll(&connection, 1, static_cast<int>(timeout.count()));
        }
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            Handle(event);
        }
    }

    void ShowStatus(const std::vector<std::string>& lines) override {
        if (lines == m_lines) return;
        m_lines = lines;
        Draw();
    }

    bool CloseRequested() const override { return m_closeRequested; }

private:
    // Keys sent by another program (send_event set) count like typed ones, as they do for the game.
    void Handle(XEvent& event) {
        switch (event.type) {
            case KeyPress: {
                const KeySym sym = XLookupKeysym(&event.xkey, 0);
                if (!onKey) break;
                if (sym == XK_grave) {
                    onKey(GameKeystroke::Console);
                } else if (sym == XK_Return || sym == XK_KP_Enter) {
                    onKey(GameKeystroke::Enter);
                }
                break;
            }
            case Expose:
                if (event.xexpose.count == 0) Draw();
                break;
            case ClientMessage:
                if (static_cast<Atom>(event.xclient.data.l[0]) == m_deleteWindow) m_closeRequested = true;
                break;
            default:
                break;
        }
    }

    void Draw() {
        XClearWindow(m_display, m_window);
        int y = kLineHeight;
        for (const std::string& line : m_lines) {
            XDrawString(m_display, m_window, m_gc, 10, y, line.data(), static_cast<int>(line.size()));
            y += kLineHeight;
        }
        XFlush(m_display);
    }

    Display* m_display;
    Window m_window;
    Atom m_deleteWindow;
    GC m_gc;
    std::vector<std::string> m_lines;
    bool m_closeRequested = false;
};

void SetText(Display* display, Window window, const char* property, const char* type, const std::string& text) {
    XChangeProperty(display, window, XInternAtom(display, property, False), XInternAtom(display, type, False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
}

}  // namespace

std::unique_ptr<GameWindow> OpenGameWindow(const std::string& caption, std::string& note) {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    XSetErrorHandler(ReportXError);
    XSetIOErrorHandler(ReportXConnectionLoss);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        note = std::string("cannot open display ") + name + "; running without a window";
        return nullptr;
    }
    const int screen = DefaultScreen(display);
    const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, kWidth, kHeight, 1,
                                              BlackPixel(display, screen), WhitePixel(display, screen));

    // The caption, both the old way (WM_NAME, Latin-1) and the new (_NET_WM_NAME, UTF-8).
    XStoreName(display, window, caption.c_str());
    XSetIconName(display, window, caption.c_str());
    SetText(display, window, "_NET_WM_NAME", "UTF8_STRING", caption);
    SetText(display, window, "_NET_WM_ICON_NAME", "UTF8_STRING", caption);

    // Who owns the window: the process id, and the machine that id belongs to.
    long pid = static_cast<long>(::getpid());
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) SetText(display, window, "WM_CLIENT_MACHINE", "STRING", host);

    char resName[] = "jointops";
    char resClass[] = "JointOps";
    XClassHint classHint{resName, resClass};
    XSetClassHint(display, window, &classHint);

    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XSelectInput(display, window, KeyPressMask | ExposureMask | StructureNotifyMask);
    XMapWindow(display, window);
    XFlush(display);
    return std::make_unique<X11Window>(display, window, deleteWindow);
}

}  // namespace tovi::gamesim
