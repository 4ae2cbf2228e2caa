// The X11 window tracking against a real X server: another client creates, renames, restacks,
// hides, reparents and destroys windows, and after each step the answers followed from events
// must be those of a fresh walk of the window tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "linux/X11WindowSystem.h"
// Last: Xlib defines None as a macro, which gtest and the backend use as a name.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

using tovi::OwnedWindow;
using tovi::linux_backend::X11WindowSystem;

namespace {

class X11Tracking : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "needs an X display (xvfb-run)";
        other = XOpenDisplay(nullptr);
        ASSERT_NE(other, nullptr);
        tracked = X11WindowSystem::Open();
        walked = X11WindowSystem::Open();
        ASSERT_TRUE(tracked && walked);
        walked->SetTracking(false);
        root = DefaultRootWindow(other);
    }
    void TearDown() override {
        if (other) XCloseDisplay(other);
    }

    void SetCaption(Window window, const std::string& caption) {
        XChangeProperty(other, window, XInternAtom(other, "_NET_WM_NAME", False),
                        XInternAtom(other, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(caption.data()),
                        static_cast<int>(caption.size()));
    }
    void SetPid(Window window, long pid) {
        XChangeProperty(other, window, XInternAtom(other, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    void SetWmState(Window window) {
        const Atom state = XInternAtom(other, "WM_STATE", False);
        const long value[2] = {1, 0};
        XChangeProperty(other, window, state, state, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(value), 2);
    }
    Window Make(Window parent, const std::string& caption, long pid, bool helper = false) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = helper ? True : False;
        const Window window =
            XCreateWindow(other, parent, 0, 0, helper ? 1 : 64, helper ? 1 : 48, 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
        if (!caption.empty()) SetCaption(window, caption);
        if (pid != 0) SetPid(window, pid);
        if (!helper) XMapWindow(other, window);
        return window;
    }

    // After the other client's changes have reached the server: the tracked answers against a walk.
    void ExpectSameAsWalk(const std::string& step) {
        XSync(other, False);
        tracked->CatchUp();
        EXPECT_EQ(tracked->TopLevelWindows(), walked->TopLevelWindows()) << step;
        for (const std::string& caption : captions) {
            const std::optional<OwnedWindow> found = tracked->KnownWindowByCaption(caption);
            ASSERT_TRUE(found) << step;
            const int32_t window = walked->FindWindowByCaption(caption);
            EXPECT_EQ(found->window, window) << step << ": " << caption;
            EXPECT_EQ(found->pid, window ? walked->WindowProcess(window) : 0) << step << ": " << caption;
        }
        for (int32_t pid : pids) {
            int32_t first = 0;
            for (int32_t window : walked->TopLevelWindows()) {
                if (walked->WindowProcess(window) == pid) {
                    first = window;
                    break;
                }
            }
            EXPECT_EQ(tracked->KnownProcessWindow(pid), first) << step << ": pid " << pid;
        }
    }

    Display* other = nullptr;
    Window root = 0;
    std::unique_ptr<X11WindowSystem> tracked, walked;
    std::vector<std::string> captions;
    std::vector<int32_t> pids;
};

}  // namespace

TEST_F(X11Tracking, AnswersAsAWalkOfTheTreeThroughEveryKindOfChange) {
    const std::string tag = std::to_string(::getpid());
    captions = {"alpha " + tag, "beta " + tag, "gamma " + tag, "renamed " + tag};
    pids = {4000001, 4000002, 4000003};
    tracked->TopLevelWindows();
    const Window a = Make(root, captions[0], pids[0]);
    const Window b = Make(root, captions[1], pids[1]);
    ExpectSameAsWalk("created");

    SetCaption(a, captions[3]);
    ExpectSameAsWalk("renamed");
    EXPECT_EQ(tracked->KnownWindowByCaption(captions[3])->window, static_cast<int32_t>(a));
    XDeleteProperty(other, a, XInternAtom(other, "_NET_WM_NAME", False));
    XStoreName(other, a, captions[0].c_str());  // WM_NAME alone
    SetPid(b, pids[2]);
    ExpectSameAsWalk("old-style name, new pid");

    XRaiseWindow(other, a);
    ExpectSameAsWalk("raised");
    XWindowChanges below{};
    below.sibling = b;
    below.stack_mode = Below;
    XConfigureWindow(other, a, CWSibling | CWStackMode, &below);
    ExpectSameAsWalk("restacked below a sibling");
    XLowerWindow(other, b);
    XUnmapWindow(other, a);
    ExpectSameAsWalk("lowered and hidden");

    // Wine's helper: override-redirect, 1x1, unmapped, with the program's pid; raised on top.
    const Window helper = Make(root, "", pids[0], true);
    XMapRaised(other, helper);
    XUnmapWindow(other, helper);
    ExpectSameAsWalk("helper window");

    // A window manager takes b into a frame and marks it as its client; another client window
    // comes into the frame above it, and stops being one.
    const Window frame = Make(root, "", 0);
    const Window inner = Make(frame, "", 0);
    XReparentWindow(other, b, inner, 0, 0);
    ExpectSameAsWalk("reparented, no client yet");
    SetWmState(b);
    ExpectSameAsWalk("client marked");
    const Window c = Make(frame, captions[2], pids[2]);
    SetWmState(c);
    ExpectSameAsWalk("second client above");
    XDeleteProperty(other, c, XInternAtom(other, "WM_STATE", False));
    ExpectSameAsWalk("second client unmarked");
    XReparentWindow(other, b, root, 10, 10);
    ExpectSameAsWalk("back on the root");

    XDestroyWindow(other, a);
    XDestroyWindow(other, frame);
    ExpectSameAsWalk("destroyed");
    EXPECT_EQ(tracked->FullWalks(), 1);

    // More changes at once than are worth following: one walk starts afresh.
    for (int i = 0; i < 2100; ++i) XDestroyWindow(other, Make(root, "", 0));
    ExpectSameAsWalk("flood");
    EXPECT_EQ(tracked->FullWalks(), 2);
    XDestroyWindow(other, b);
    XDestroyWindow(other, helper);
    ExpectSameAsWalk("all gone");
}
