// Finding, choosing and watching game servers when several run at once: real simulator processes
// with real windows on an X server, and the poll following the one picked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "Fakes.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PollCycle.h"
#include "ServerList.h"
#include "SimProcess.h"

// Last: Xlib defines macros (None, Status) that clash with names above.
#include <X11/Xlib.h>

using namespace tovi;
using namespace tovi::testing;

namespace {

const ServerRow* RowOf(const std::vector<ServerRow>& rows, const SimProcess& sim) {
    const auto it = std::ranges::find(rows, std::to_string(sim.pid()), &ServerRow::ProcID);
    return it == rows.end() ? nullptr : &*it;
}

// Each run has an X server of its own, with the window manager it is named after.
class ServerDiscoveryUnder : public ::testing::TestWithParam<std::string> {
protected:
    PrivateDisplay display;
    WindowManager manager{GetParam()};
};

}  // namespace

TEST_P(ServerDiscoveryUnder, ListsTracksAndFollowsTheChosenServer) {
    ASSERT_FALSE(display.name().empty()) << "Xvfb could not be started";
    ASSERT_TRUE(GetParam() == "none" || manager.managing()) << GetParam() << " did not start";
    // Only the supported version can be tracked, so the current server shows the default caption;
    // the test finds it by its process id only.
    const std::string olderVersion = OwnVersion();
    SimProcess current("C:\\Games\\JO\\jointops.exe", {"--state", "3"});
    SimProcess older("D:\\JO 1514\\JOINTOPS.EXE", {"--state", "3", "--version", olderVersion});
    auto backend = MakePlatformBackend();
    MemoryClass shared(*backend);
    ASSERT_TRUE(WaitFor([&] { return shared.SetProcID(current.pid()); }));
    ASSERT_TRUE(WaitFor([&] { return MemoryClass(*backend).SetProcID(older.pid()); }));
    // Found before the manager took their windows in, they are looked for again once framed.
    if (manager.managing()) {
        for (const SimProcess* sim : {&current, &older}) {
            MemoryClass byId(*backend);
            ASSERT_TRUE(byId.SetProcID(sim->pid()));
            ASSERT_TRUE(WaitFor([&] { return WindowManager::Manages(byId.GetProcHwnd()); }));
        }
        ASSERT_TRUE(shared.SetProcID(current.pid()));
    }

    std::vector<ServerRow> rows;
    ASSERT_TRUE(WaitFor([&] {
        rows = ListGameServers(shared, *backend);
        return RowOf(rows, current) && RowOf(rows, older);
    }));
    const ServerRow& a = *RowOf(rows, current);
    const ServerRow& b = *RowOf(rows, older);
    EXPECT_EQ(a.Path, "C:\\Games\\JO\\jointops.exe");
    EXPECT_EQ(a.Version, "V1.5.1.5");
    EXPECT_EQ(a.Expansion, "TR");
    EXPECT_EQ(b.Path, "D:\\JO 1514\\JOINTOPS.EXE");
    EXPECT_EQ(b.Version, olderVersion);
    EXPECT_EQ(shared.GetProcID(), current.pid());  // listing did not move the tracked process

    EXPECT_EQ(TrackServer(shared, b), TrackOutcome::WrongVersion);
    EXPECT_EQ(shared.GetProcID(), current.pid());
    ASSERT_EQ(TrackServer(shared, a), TrackOutcome::Tracked);
    EXPECT_EQ(TrackedMessage(shared), "Stats of process " + std::to_string(current.pid()) + " (" +
                                          std::string(game::kDefaultCaption) + ") are now being tracked");

    // The poll follows the tracked process; once it exits, nothing.
    ServerStatus status;
    FakePollView window;
    PollHooks hooks;
    VirtualScheduler scheduler;
    PollCycle poll(shared, status, window, hooks, scheduler);
    window.useTracked = true;
    poll.Timer_Timer();
    EXPECT_EQ(window.panels[3], "Hosting mission");
    current.Stop();
    poll.Timer_Timer();
    EXPECT_EQ(window.panels[3], "Game not running");
}

INSTANTIATE_TEST_SUITE_P(Managers, ServerDiscoveryUnder, ::testing::ValuesIn(WindowManager::Tested()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });

// Both servers show a caption of the test's own, standing for the default one.
TEST(ServerDiscovery, WithTheDefaultWindowTheTopmostServerIsWatched) {
    PrivateDisplay ownDisplay;
    ASSERT_FALSE(ownDisplay.name().empty()) << "Xvfb could not be started";
    const std::string version = OwnVersion();
    const std::string caption = std::string(game::kCaptionPrefix) + version;
    SimProcess first("C:\\A\\jointops.exe", {"--state", "2", "--version", version});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption) && memory.GetProcID() == first.pid(); }));
    const int32_t firstWindow = memory.GetProcHwnd();

    // A window mapped later lies above the earlier one.
    SimProcess second("C:\\B\\jointops.exe", {"--state", "3", "--version", version});
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption) && memory.GetProcID() == second.pid(); }));

    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    XRaiseWindow(display, static_cast<Window>(firstWindow));
    XSync(display, False);
    XCloseDisplay(display);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption) && memory.GetProcID() == first.pid(); }));
}
