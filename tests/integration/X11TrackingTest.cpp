// The X11 window tracking against a real X server of the test's own: another client creates,
// renames, restacks, hides, reparents and destroys windows, and after each step the answers
// followed from events must be those of a fresh walk of the window tree. And the server's window
// found under real window managers, through a restart of the manager.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"
#include "linux/X11WindowSystem.h"
// Last: Xlib defines None as a macro, which gtest and the backend use as a name.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

using tovi::MemoryClass;
using tovi::OwnedWindow;
using tovi::linux_backend::X11WindowSystem;
using tovi::testing::OwnVersion;
using tovi::testing::PrivateDisplay;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;
using tovi::testing::WindowManager;

namespace {

class X11Tracking : public ::testing::Test {
protected:
    void SetUp() override {
        display = std::make_unique<PrivateDisplay>();
        ASSERT_FALSE(display->name().empty()) << "Xvfb could not be started";
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
    void SetWindows(Window window, const char* property, const std::vector<Window>& windows) {
        std::vector<long> values(windows.begin(), windows.end());
        XChangeProperty(other, window, XInternAtom(other, property, False), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
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

    std::unique_ptr<PrivateDisplay> display;
    Display* other = nullptr;
    Window root = 0;
    std::unique_ptr<X11WindowSystem> tracked, walked;
    std::vector<std::string> captions;
    std::vector<int32_t> pids;
};

}  // namespace

TEST_F(X11Tracking, AnswersAsAWalkOfTheTreeThroughEveryKindOfChange) {
    const std::string tag = std::to_string(::getpid());
    captions = {"alpha " + tag, "beta " + tag, "gamma " + tag, "renamed " + tag, "deep " + tag, "framed " + tag};
    pids = {4000001, 4000002, 4000003, 4000004};
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

    // Frames that are override-redirect, as some window managers make them: one counts by the
    // client with WM_STATE inside it; one whose client sits deeper and carries none counts only
    // while a running window manager lists that client in _NET_CLIENT_LIST.
    const Window orFrame = Make(root, "", 0, true);
    XMapWindow(other, orFrame);
    const Window framed = Make(Make(orFrame, "", 0), captions[5], pids[3]);
    SetWmState(framed);
    const Window deepFrame = Make(root, "", 0, true);
    XMapWindow(other, deepFrame);
    const Window deep = Make(Make(Make(deepFrame, "", 0), "", 0), captions[4], pids[3]);
    ExpectSameAsWalk("override-redirect frames");
    EXPECT_EQ(tracked->KnownWindowByCaption(captions[5])->window, static_cast<int32_t>(framed));
    EXPECT_EQ(tracked->KnownWindowByCaption(captions[4])->window, 0);
    const Window check = Make(root, "", 0, true);
    SetWindows(check, "_NET_SUPPORTING_WM_CHECK", {check});
    SetWindows(root, "_NET_CLIENT_LIST", {framed, deep});
    ExpectSameAsWalk("client list without a manager");
    EXPECT_EQ(tracked->KnownWindowByCaption(captions[4])->window, 0);
    SetWindows(root, "_NET_SUPPORTING_WM_CHECK", {check});
    ExpectSameAsWalk("listed by a running manager");
    EXPECT_EQ(tracked->KnownWindowByCaption(captions[4])->window, static_cast<int32_t>(deep));
    EXPECT_EQ(tracked->KnownProcessWindow(pids[3]), static_cast<int32_t>(deep));  // the topmost
    XDestroyWindow(other, check);
    ExpectSameAsWalk("the manager's check window gone");
    EXPECT_EQ(tracked->KnownWindowByCaption(captions[4])->window, 0);
    XDeleteProperty(other, root, XInternAtom(other, "_NET_CLIENT_LIST", False));
    XDeleteProperty(other, root, XInternAtom(other, "_NET_SUPPORTING_WM_CHECK", False));
    XDestroyWindow(other, orFrame);
    XDestroyWindow(other, deepFrame);

    // A window of its own that such a frame takes in is its client before the manager marks it
    // and after it unmarks it, until it lets go of it (a walk, which has no past, can't know).
    const std::string adoptedCaption = "adopted " + tag;
    const Window adopted = Make(root, adoptedCaption, 0);
    const Window takingIn = Make(root, "", 0, true);
    XMapWindow(other, takingIn);
    const auto trackedAs = [&] {
        XSync(other, False);
        tracked->CatchUp();
        return tracked->KnownWindowByCaption(adoptedCaption)->window;
    };
    EXPECT_EQ(trackedAs(), static_cast<int32_t>(adopted));
    XReparentWindow(other, adopted, takingIn, 0, 0);
    EXPECT_EQ(trackedAs(), static_cast<int32_t>(adopted)) << "taken in";
    SetWmState(adopted);
    EXPECT_EQ(trackedAs(), static_cast<int32_t>(adopted)) << "marked";
    XDeleteProperty(other, adopted, XInternAtom(other, "WM_STATE", False));
    EXPECT_EQ(trackedAs(), static_cast<int32_t>(adopted)) << "unmarked";
    XReparentWindow(other, adopted, root, 0, 0);
    EXPECT_EQ(trackedAs(), static_cast<int32_t>(adopted)) << "let go";
    XDestroyWindow(other, adopted);
    XDestroyWindow(other, takingIn);

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

namespace {

// The server's window is found inside the frame a window manager gives it, by its caption and by
// its process id, by the tracking and by a walk, above a Wine-like helper window that carries the
// server's process id; and so it stays while the manager ends and while another takes the window in.
class X11UnderWindowManager : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(X11UnderWindowManager, FindsTheServersWindowInItsFrameThroughARestartOfTheManager) {
    PrivateDisplay display;
    ASSERT_FALSE(display.name().empty()) << "Xvfb could not be started";
    WindowManager manager(GetParam());
    ASSERT_TRUE(GetParam() == "none" || manager.managing()) << GetParam() << " did not start (scripts/setup installs it)";
    const std::string version = OwnVersion();
    const std::string caption = std::string(tovi::game::kCaptionPrefix) + version;
    SimProcess sim("C:\\GAMES\\JO\\JOINTOPS.EXE", {"--state", "3", "--version", version});
    ASSERT_GT(sim.pid(), 0);
    auto backend = tovi::MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption); }));
    const int32_t window = memory.GetProcHwnd();
    if (manager.managing()) {
        ASSERT_TRUE(WaitFor([&] { return WindowManager::Manages(window); }));
    }

    Display* other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    const Window helper = XCreateWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, CopyFromParent, InputOutput,
                                        CopyFromParent, CWOverrideRedirect, &attributes);
    const long pid = sim.pid();
    XChangeProperty(other, helper, XInternAtom(other, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapRaised(other, helper);
    XUnmapWindow(other, helper);
    XSync(other, False);

    auto walked = X11WindowSystem::Open();
    ASSERT_TRUE(walked);
    walked->SetTracking(false);
    const auto expectFound = [&](const std::string& step) {
        EXPECT_TRUE(memory.SetWindow(caption)) << step;
        EXPECT_EQ(memory.GetProcHwnd(), window) << step;
        EXPECT_EQ(memory.GetProcID(), sim.pid()) << step;
        MemoryClass byId(*backend);
        EXPECT_TRUE(byId.SetProcID(sim.pid())) << step;
        EXPECT_EQ(byId.GetProcHwnd(), window) << step;
        EXPECT_EQ(walked->FindWindowByCaption(caption), window) << step;
        const std::vector<int32_t> windows = walked->TopLevelWindows();
        EXPECT_EQ(std::count(windows.begin(), windows.end(), static_cast<int32_t>(helper)), 0) << step;
    };
    expectFound("managed by " + GetParam());
    if (manager.managing()) {
        manager.Stop();
        ASSERT_TRUE(WaitFor([&] { return !WindowManager::Framed(window); }));
        expectFound("no manager");
        ASSERT_TRUE(manager.Restart());
        ASSERT_TRUE(WaitFor([&] { return WindowManager::Manages(window); }));
        expectFound("managed again");
    }
    XDestroyWindow(other, helper);
    XCloseDisplay(other);
}

INSTANTIATE_TEST_SUITE_P(Managers, X11UnderWindowManager, ::testing::ValuesIn(WindowManager::Tested()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });
