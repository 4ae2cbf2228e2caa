// Finding, choosing and watching game servers when several run at once: real simulator processes
// with real windows on an X server, and the poll following the one picked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PollCycle.h"
#include "ServerList.h"
#include "SimProcess.h"

// Last: Xlib defines macros (None, Status) that clash with names above.
#include <X11/Xlib.h>

using namespace tovi;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;

namespace {

const std::string kCaption(game::kDefaultCaption);

// The window as far as the poll is concerned: which process to follow, and what it showed last.
class PollWindow : public PollView {
public:
    bool useList = false;
    std::string panel3;
    bool UseTrackedProcess() override { return useList; }
    bool ScoringTimeOn() override { return false; }
    int ScoringSeconds() override { return 0; }
    std::string MinPlayersText() override { return "0"; }
    bool AutoMessagesOn() override { return false; }
    int AutoMessageMinutes() override { return 1; }
    void SetPanel(int panel, const std::string& text) override {
        if (panel == 3) panel3 = text;
    }
    void SetLabel(StatusLabel, const std::string&) override {}
    void SetControlEnabled(ServerControl, bool) override {}
    void SetTrayPicture(TrayPicture) override {}
    void UpdateTray(const std::string&) override {}
    void ClearLog() override {}
    void ClearDebugLog() override {}
    void ClearChatInput() override {}
    void ClearPlayerList() override {}
    void ClearPublicChat() override {}
};

const ServerRow* RowOf(const std::vector<ServerRow>& rows, const SimProcess& sim) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const ServerRow& r) { return r.ProcID == std::to_string(sim.pid()); });
    return it == rows.end() ? nullptr : &*it;
}

}  // namespace

TEST(ServerDiscovery, ListsTracksAndFollowsTheChosenServer) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display";
    SimProcess current("C:\\Games\\JO\\jointops.exe", {"--state", "3"});
    SimProcess older("D:\\JO 1514\\JOINTOPS.EXE", {"--state", "3", "--version", "V1.5.1.4"});
    auto backend = MakePlatformBackend();
    MemoryClass shared(*backend);
    ASSERT_TRUE(WaitFor([&] { return shared.SetWindow(kCaption); }));
    ASSERT_TRUE(WaitFor([&] { return MemoryClass(*backend).SetWindow(std::string(game::kCaptionPrefix) + "V1.5.1.4"); }));

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
    EXPECT_EQ(b.Version, "V1.5.1.4");
    EXPECT_EQ(shared.GetProcID(), current.pid());  // listing did not move the tracked process

    EXPECT_EQ(TrackServer(shared, b), TrackOutcome::WrongVersion);
    EXPECT_EQ(shared.GetProcID(), current.pid());
    ASSERT_EQ(TrackServer(shared, a), TrackOutcome::Tracked);
    EXPECT_EQ(TrackedMessage(shared), "Stats of process " + std::to_string(current.pid()) + " (" + kCaption +
                                          ") are now being tracked");

    // The poll follows the tracked process; once it exits, nothing until another is tracked.
    ServerStatus status;
    PollWindow window;
    PollHooks hooks;
    VirtualScheduler scheduler;
    PollCycle poll(shared, status, window, hooks, scheduler);
    window.useList = true;
    poll.Timer_Timer();
    EXPECT_EQ(window.panel3, "Hosting mission");
    current.Stop();
    poll.Timer_Timer();
    EXPECT_EQ(window.panel3, "Game not running");
    poll.Timer_Timer();
    EXPECT_EQ(window.panel3, "Game not running");

    SimProcess replacement("C:\\Games\\JO\\jointops.exe", {"--state", "2"});
    ASSERT_TRUE(WaitFor([&] {
        rows = ListGameServers(shared, *backend);
        const ServerRow* row = RowOf(rows, replacement);
        return row && row->Version == "V1.5.1.5";
    }));
    ASSERT_EQ(TrackServer(shared, *RowOf(rows, replacement)), TrackOutcome::Tracked);
    poll.Timer_Timer();
    EXPECT_EQ(window.panel3, "Waiting for players");
}

TEST(ServerDiscovery, WithTheDefaultWindowTheTopmostServerIsWatched) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display";
    SimProcess first("C:\\A\\jointops.exe", {"--state", "2"});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption) && memory.GetProcID() == first.pid(); }));
    const int32_t firstWindow = memory.GetProcHwnd();

    // A window mapped later lies above the earlier one.
    SimProcess second("C:\\B\\jointops.exe", {"--state", "3"});
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption) && memory.GetProcID() == second.pid(); }));
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 3);

    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    XRaiseWindow(display, static_cast<Window>(firstWindow));
    XSync(display, False);
    XCloseDisplay(display);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption) && memory.GetProcID() == first.pid(); }));
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 2);
}
