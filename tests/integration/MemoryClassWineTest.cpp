// The Linux build of MemoryClass against the Windows build of the simulator run by Wine: the
// way an operator runs the game's server on Linux. Found by its caption through X11, read and
// written with process_vm_readv/writev at the game's addresses, typed into with X11 key events
// that Wine turns into the game's key messages, and listed by its executable's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"

using namespace tovi;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;

namespace {

// Starting Wine's own services the first time takes a few seconds.
constexpr int kWineStartLimitMs = 30000;
const std::string kCaption(game::kDefaultCaption);

// The simulator under Wine, or a reason to skip.
std::unique_ptr<SimProcess> StartUnderWine(std::vector<std::string> args, std::string& skip) {
    const std::string exe = TOVI_WINE_GAMESIM;
    const char* display = std::getenv("DISPLAY");
    if (exe.empty()) {
        skip = "no Windows build of gamesim given (configure with -DTOVI_WINE_GAMESIM=.../gamesim.exe)";
    } else if (display == nullptr || *display == '\0') {
        skip = "needs an X display";
    } else {
        return SimProcess::UnderWine(TOVI_WINE, exe, "jointops.exe", std::move(args));
    }
    return nullptr;
}

}  // namespace

TEST(MemoryClassUnderWine, AttachesByCaptionReadsTheServerAndOpensItsConsole) {
    std::string skip;
    const auto sim = StartUnderWine({"--state", "3", "--players", "2"}, skip);
    if (!sim) GTEST_SKIP() << skip;
    ASSERT_GT(sim->pid(), 0);
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption); }, kWineStartLimitMs));
    // Wine runs the Windows program in the process it was started as.
    EXPECT_EQ(memory.GetProcID(), sim->pid());
    EXPECT_EQ(memory.GetWinCaption(memory.GetProcHwnd()), kCaption);
    ASSERT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kGameState) == 3; }));
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 10).substr(0, 9), std::string("V1.5.1.5\0", 9));
    EXPECT_EQ(memory.ReadAByte(game::kPlayerCount), 2);

    // Attached by id, the server's window is its main window, not one of Wine's helper windows.
    MemoryClass byId(*backend);
    ASSERT_TRUE(byId.SetProcID(sim->pid()));
    EXPECT_EQ(byId.GetProcHwnd(), memory.GetProcHwnd());

    EXPECT_EQ(memory.ReadAByte(game::kConsoleOpenFlag), 0);
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Console));
    EXPECT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleOpenFlag) == 1; }));
    ASSERT_TRUE(memory.WriteMemory(game::kConsoleLine, "gtalk", true));
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Enter));
    EXPECT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleLine) == 0; }));
}

TEST(MemoryClassUnderWine, ListsTheServerByItsExecutableName) {
    std::string skip;
    const auto sim = StartUnderWine({"--no-window"}, skip);
    if (!sim) GTEST_SKIP() << skip;
    ASSERT_GT(sim->pid(), 0);
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    const std::string expected = std::to_string(sim->pid()) + "|" + sim->path();

    std::vector<std::string> found;
    EXPECT_TRUE(WaitFor(
        [&] {
            found.clear();
            memory.ListProcesses(found, "JOINTOPS.EXE");
            return std::find(found.begin(), found.end(), expected) != found.end();
        },
        kWineStartLimitMs))
        << "looked for " << expected;
}
