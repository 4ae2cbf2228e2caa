// MemoryClass on Linux against a real simulator process: its memory at the game's addresses,
// its X11 window, and the rule that stands in for windows when there is no display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"

// Last: Xlib defines macros (None, Status) that clash with names above.
#include <X11/Xlib.h>

using namespace tovi;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;

namespace {

const std::string kWinePath = "C:\\GAMES\\JO\\JOINTOPS.EXE";
const std::string kCaption(game::kDefaultCaption);

bool HaveDisplay() { return std::getenv("DISPLAY") != nullptr && *std::getenv("DISPLAY") != '\0'; }

std::unique_ptr<ProcessBackend> NoDisplayBackend() {
    auto backend = std::make_unique<linux_backend::LinuxProcessBackend>();
    backend->SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(*backend));
    return backend;
}

std::string Text(MemoryClass& memory, uint32_t address, int16_t length) {
    return CutAtNull(memory.ReadMemory(address, length));
}

}  // namespace

TEST(MemoryClassLinux, AttachesToTheServersWindowByCaptionAndById) {
    if (!HaveDisplay()) GTEST_SKIP() << "needs an X display";
    SimProcess sim(kWinePath, {"--state", "3"});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption); }));
    EXPECT_EQ(memory.GetProcID(), sim.pid());
    const int32_t window = memory.GetProcHwnd();
    EXPECT_GT(window, 0);
    EXPECT_EQ(memory.GetWinCaption(window), kCaption);
    EXPECT_EQ(memory.ProcIDFromWnd(window), sim.pid());

    MemoryClass byId(*backend);
    ASSERT_TRUE(byId.SetProcID(sim.pid()));
    EXPECT_EQ(byId.GetProcID(), sim.pid());
    EXPECT_EQ(byId.GetProcHwnd(), window);

    // This test process has no window of its own, so it can't be tracked.
    const int32_t self = ::getpid();
    EXPECT_FALSE(byId.SetProcID(self));
    EXPECT_EQ(byId.GetProcID(), -1);
    EXPECT_EQ(byId.GetProcHwnd(), -1);
}

TEST(MemoryClassLinux, ListsAWineHostedServerByItsExecutableName) {
    SimProcess server(kWinePath, {"--no-window"});
    SimProcess shortName("o.exe", {"--no-window"});  // shorter than the filter
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    const std::string expected = std::to_string(server.pid()) + "|" + kWinePath;

    std::vector<std::string> found;
    ASSERT_TRUE(WaitFor([&] {
        found.clear();
        memory.ListProcesses(found, "jointops.exe");
        return std::find(found.begin(), found.end(), expected) != found.end();
    }));
    for (const auto& entry : found) {
        EXPECT_NE(entry.rfind(std::to_string(shortName.pid()) + "|", 0), 0u) << entry;
    }
    std::vector<std::string> mixedCase;
    memory.ListProcesses(mixedCase, "JointOps.EXE");
    EXPECT_NE(std::find(mixedCase.begin(), mixedCase.end(), expected), mixedCase.end());
}

TEST(MemoryClassLinux, ReadsAndWritesTheServersMemory) {
    SimProcess sim(kWinePath, {"--state", "3", "--players", "4", "--maxplayers", "16", "--dedicated", "1"});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] { return memory.SetProcID(sim.pid()); }));

    EXPECT_EQ(memory.ReadAByte(game::kGameState), 3);
    EXPECT_EQ(memory.ReadAByte(game::kMaxPlayers), 16);
    EXPECT_NE(memory.ReadAByte(game::kDedicated), 0);
    const int32_t slot0 = memory.ReadDWord(game::kSlotTablePointer);
    ASSERT_NE(slot0, 0);
    const auto slot1 = static_cast<uint32_t>(slot0) + game::kSlotStride;
    EXPECT_EQ(Text(memory, slot1 + game::slot::kName, game::slot::kNameLength), "Player1");
    EXPECT_EQ(memory.ReadAByte(slot1 + game::slot::kNumber), 1);

    // Ten characters: the version, its NUL, and whatever the game keeps after it.
    const std::string version = memory.ReadMemory(game::kVersionText, 10);
    ASSERT_EQ(version.size(), 10u);
    EXPECT_EQ(version.substr(0, 9), std::string("V1.5.1.5\0", 9));
    EXPECT_EQ(static_cast<uint8_t>(version[9]), memory.ReadAByte(game::kVersionText + 9));

    EXPECT_TRUE(memory.WriteMemory(game::kConsoleLine, "abcd", false));
    EXPECT_TRUE(memory.WriteMemory(game::kConsoleLine, "abc", true));
    EXPECT_EQ(memory.ReadMemory(game::kConsoleLine, 5).substr(0, 4), std::string("abc\0", 4));
    EXPECT_TRUE(memory.WriteDWord(game::kScoringTime, 1550));
    EXPECT_EQ(memory.ReadDWord(game::kScoringTime), 1550);
    EXPECT_TRUE(memory.WriteAByte(game::kResultByte, 2));
    EXPECT_EQ(memory.ReadAByte(game::kResultByte), 2);

    // Far below anything the game maps.
    EXPECT_EQ(memory.ReadDWord(0x1000), 0);
    EXPECT_FALSE(memory.WriteDWord(0x1000, 1));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
}

TEST(MemoryClassLinux, KeystrokesReachTheConsoleAndTheWindowHidesAndShows) {
    if (!HaveDisplay()) GTEST_SKIP() << "needs an X display";
    SimProcess sim(kWinePath, {"--state", "3"});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption); }));

    EXPECT_EQ(memory.ReadAByte(game::kConsoleOpenFlag), 0);
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Console));
    ASSERT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleOpenFlag) == 1; }));

    // What the console channel does: command word, Enter, text, Enter.
    ASSERT_TRUE(memory.WriteMemory(game::kConsoleLine, "gtalk", true));
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Enter));
    ASSERT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleLine) == 0; }));
    ASSERT_TRUE(memory.WriteMemory(game::kConsoleLine, "hello all", true));
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Enter));
    EXPECT_TRUE(WaitFor([&] { return Text(memory, game::kChatLine, game::kChatLineLength) == "Host: hello all"; }));

    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    auto mapState = [&] {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display, static_cast<Window>(memory.GetProcHwnd()), &attributes);
        return attributes.map_state;
    };
    EXPECT_TRUE(memory.ShowGameWindow(false));
    EXPECT_TRUE(WaitFor([&] { return mapState() == IsUnmapped; }));
    EXPECT_TRUE(memory.ShowGameWindow(true));
    EXPECT_TRUE(WaitFor([&] { return mapState() == IsViewable; }));
    XCloseDisplay(display);
}

TEST(MemoryClassLinux, AServerThatExitedAnswersNothing) {
    auto sim = std::make_unique<SimProcess>(kWinePath, std::vector<std::string>{"--state", "3"});
    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    const int32_t pid = sim->pid();
    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption) && memory.ReadAByte(game::kGameState) == 3; }));
    sim.reset();

    EXPECT_EQ(memory.ReadAByte(game::kGameState), 0);
    EXPECT_EQ(memory.ReadDWord(game::kSlotTablePointer), 0);
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 10), "");
    EXPECT_FALSE(memory.WriteAByte(game::kGameState, 1));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::NoSuchProcess);

    EXPECT_FALSE(memory.SetWindow(kCaption));
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);
    EXPECT_FALSE(memory.SetProcID(pid));
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);
}

TEST(MemoryClassLinux, WithoutADisplayTheServerStillHasAMainWindow) {
    SimProcess server(kWinePath, {"--no-window", "--state", "2"});
    SimProcess older("C:\\JO2\\jointops.exe", {"--no-window", "--version", "V1.5.1.4"});
    auto backend = NoDisplayBackend();
    MemoryClass memory(*backend);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(kCaption); }));
    EXPECT_EQ(memory.GetProcID(), server.pid());
    EXPECT_EQ(memory.GetProcHwnd(), server.pid());
    EXPECT_EQ(memory.GetWinCaption(memory.GetProcHwnd()), kCaption);
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 2);
    EXPECT_FALSE(memory.PressKey(GameKeystroke::Console));
    EXPECT_FALSE(memory.ShowGameWindow(false));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::NoWindowSystem);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(std::string(game::kCaptionPrefix) + "V1.5.1.4"); }));
    EXPECT_EQ(memory.GetProcID(), older.pid());
    ASSERT_TRUE(memory.SetProcID(server.pid()));
    EXPECT_EQ(memory.GetProcHwnd(), server.pid());

    // A process that isn't the game's server has no window under this rule.
    EXPECT_FALSE(memory.SetProcID(::getpid()));
}
