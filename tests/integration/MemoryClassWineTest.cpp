// The Linux build of MemoryClass against the Windows build of the simulator run by Wine: the
// way an operator runs the game's server on Linux. Found by its caption through X11, read and
// written with process_vm_readv/writev at the game's addresses, typed into with X11 key events
// that Wine turns into the game's key messages, and listed by its executable's name. Built once
// for the 64-bit simulator and once for the 32-bit one, which is the game's own architecture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"

using namespace tovi;
using tovi::testing::OwnVersion;
using tovi::testing::RaiseHelperWindows;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;
using tovi::testing::WindowVisible;

namespace {

// Starting Wine's own services the first time takes a few seconds.
constexpr int kWineStartLimitMs = 30000;

// Skips a test where there is no Windows build of the simulator or no display.
class MemoryClassUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (std::string(TOVI_WINE_GAMESIM).empty())
            GTEST_SKIP()
                << "no Windows build of gamesim given (configure with -DTOVI_WINE_GAMESIM=.../gamesim.exe)";
        if (display == nullptr || *display == '\0') GTEST_SKIP() << "needs an X display";
    }
    // A server whose caption is the test's own.
    std::unique_ptr<SimProcess> Start(std::vector<std::string> args) {
        args.insert(args.end(), {"--version", version});
        return SimProcess::UnderWine(TOVI_WINE, TOVI_WINE_GAMESIM, "jointops.exe", std::move(args));
    }
    const std::string version = OwnVersion();
    const std::string caption = std::string(game::kCaptionPrefix) + version;
    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    MemoryClass memory{*backend};
};

}  // namespace

TEST_F(MemoryClassUnderWine, AttachesByCaptionReadsTheServerOpensItsConsoleAndListsIt) {
    const auto sim = Start({"--state", "3", "--players", "2"});
    ASSERT_GT(sim->pid(), 0);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption); }, kWineStartLimitMs));
    // Wine runs the Windows program in the process it was started as.
    EXPECT_EQ(memory.GetProcID(), sim->pid());
    EXPECT_EQ(memory.GetWinCaption(memory.GetProcHwnd()), caption);
    ASSERT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kGameState) == 3; }));
    EXPECT_EQ(CutAtNull(memory.ReadMemory(game::kVersionText, 10)), version);
    EXPECT_EQ(memory.ReadAByte(game::kPlayerCount), 2);

    EXPECT_EQ(memory.ReadAByte(game::kConsoleOpenFlag), 0);
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Console));
    EXPECT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleOpenFlag) == 1; }));
    ASSERT_TRUE(memory.WriteMemory(game::kConsoleLine, "gtalk", true));
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Enter));
    EXPECT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleLine) == 0; }));

    // Listed by its executable's name, as Wine shows it in the process table.
    std::vector<std::string> found;
    memory.ListProcesses(found, "JOINTOPS.EXE");
    EXPECT_NE(std::find(found.begin(), found.end(), std::to_string(sim->pid()) + "|" + sim->path()), found.end());
}

// Wine gives the program a helper window ("Default IME": unmapped, 1x1, override-redirect) that
// carries the same process id. Whatever the stacking order, attaching by id finds the main window,
// shown or hidden by us. The helpers are raised above it first, so the order is always the
// one that misleads a lookup that takes the topmost window.
TEST_F(MemoryClassUnderWine, AttachedByIdTheMainWindowIsFoundNeverAHelperWindow) {
    const auto sim = Start({"--state", "3"});
    ASSERT_GT(sim->pid(), 0);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption); }, kWineStartLimitMs));
    const int32_t mainWindow = memory.GetProcHwnd();
    ASSERT_TRUE(WaitFor([&] { return RaiseHelperWindows(sim->pid(), mainWindow) > 0; }))
        << "Wine made no helper window for the program";

    MemoryClass byId(*backend);
    ASSERT_TRUE(byId.SetProcID(sim->pid()));
    EXPECT_EQ(byId.GetProcHwnd(), mainWindow);

    // Wine names the window before it maps it: one hidden before Wine showed it would be shown
    // after all.
    ASSERT_TRUE(WaitFor([&] { return WindowVisible(mainWindow); }, kWineStartLimitMs));
    ASSERT_TRUE(memory.ShowGameWindow(false));
    ASSERT_TRUE(WaitFor([&] { return !WindowVisible(mainWindow); }));
    RaiseHelperWindows(sim->pid(), mainWindow);
    ASSERT_TRUE(byId.SetProcID(sim->pid()));
    EXPECT_EQ(byId.GetProcHwnd(), mainWindow);
    EXPECT_EQ(byId.GetWinCaption(byId.GetProcHwnd()), caption);
    EXPECT_TRUE(byId.ShowGameWindow(true));
    EXPECT_TRUE(WaitFor([&] { return WindowVisible(mainWindow); }));
}
