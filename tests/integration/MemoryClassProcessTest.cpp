// MemoryClass over the platform's backend against a real simulator process: its memory at the
// game's addresses and its window. The same tests run on Linux (the simulator posing as a
// Wine-hosted server, an X server for windows) and on Windows (run under Wine in CI), and on
// Linux also the rule that stands in for windows when there is no display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "SimProcess.h"
#include "image/GameImage.h"
#ifndef _WIN32
#include "linux/LinuxProcessBackend.h"
#include "linux/NoDisplayWindowSystem.h"
#endif

using namespace tovi;
using tovi::testing::CurrentProcessId;
using tovi::testing::OwnVersion;
using tovi::testing::RaiseHelperWindows;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;
using tovi::testing::WindowVisible;
#ifndef _WIN32
using tovi::testing::PrivateDisplay;
using tovi::testing::WindowManager;
#endif

namespace {

#ifdef _WIN32
// The executable's file name; the copy sits in a folder of the test's own.
const std::string kServerName = "JOINTOPS.EXE";
#else
// What Wine shows as the first argument of a Windows program's command line.
const std::string kServerName = "C:\\GAMES\\JO\\JOINTOPS.EXE";
#endif
bool HaveWindows() {
#ifdef _WIN32
    return true;
#else
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
#endif
}

std::string Text(MemoryClass& memory, uint32_t address, int16_t length) {
    return CutAtNull(memory.ReadMemory(address, length));
}

// Each test's servers show a version, and so a caption, of the test's own.
class MemoryClassWithGamesim : public ::testing::Test {
protected:
    const std::string version = OwnVersion();
    const std::string caption = std::string(game::kCaptionPrefix) + version;
    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    MemoryClass memory{*backend};
};

// On Linux each run has an X server of its own, with the window manager it is named after.
class MemoryClassWithWindow : public ::testing::TestWithParam<std::string> {
protected:
#ifndef _WIN32
    PrivateDisplay display;
    WindowManager manager{GetParam()};
#endif
    const std::string version = OwnVersion();
    const std::string caption = std::string(game::kCaptionPrefix) + version;
    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    MemoryClass memory{*backend};
};

}  // namespace

TEST_P(MemoryClassWithWindow, AttachesToTheServersWindowTypesIntoItsConsoleAndHidesIt) {
#ifndef _WIN32
    ASSERT_FALSE(display.name().empty()) << "Xvfb could not be started";
    ASSERT_TRUE(GetParam() == "none" || manager.managing()) << GetParam() << " did not start";
#endif
    SimProcess sim(kServerName, {"--state", "3", "--version", version});
    ASSERT_GT(sim.pid(), 0);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(caption); }));
    EXPECT_EQ(memory.GetProcID(), sim.pid());
    const int32_t window = memory.GetProcHwnd();
#ifndef _WIN32
    // Found before the manager took it in, it is looked for again once in its frame.
    if (manager.managing()) {
        ASSERT_TRUE(WaitFor([&] { return WindowManager::Manages(window); }));
        ASSERT_TRUE(memory.SetWindow(caption));
        EXPECT_EQ(memory.GetProcHwnd(), window);
    }
#endif
    EXPECT_EQ(memory.GetWinCaption(window), caption);
    EXPECT_EQ(memory.ProcIDFromWnd(window), sim.pid());

    // Attached by id, the main window is found above whatever helper windows the process has.
    MemoryClass byId(*backend);
    RaiseHelperWindows(sim.pid(), window);
    ASSERT_TRUE(byId.SetProcID(sim.pid()));
    EXPECT_EQ(byId.GetProcHwnd(), window);

    // This test process has no window of its own, so it can't be tracked.
    EXPECT_FALSE(byId.SetProcID(CurrentProcessId()));

    // Shown, the simulator listens to keys: it asks for them before it maps its window.
    ASSERT_TRUE(WaitFor([&] { return WindowVisible(window); }));
    EXPECT_EQ(memory.ReadAByte(game::kConsoleOpenFlag), 0);
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Console));
    ASSERT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleOpenFlag) == 1; }));

    // What the console channel does: command word, Enter, text, Enter.
    ASSERT_TRUE(memory.WriteMemory(game::kConsoleLine, "gtalk", true));
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Enter));
    ASSERT_TRUE(WaitFor([&] { return memory.ReadAByte(game::kConsoleLine) == 0; }));
    ASSERT_TRUE(memory.WriteMemory(game::kConsoleLine, "hello all", true));
    ASSERT_TRUE(memory.PressKey(GameKeystroke::Enter));
    EXPECT_TRUE(
        WaitFor([&] { return Text(memory, game::kChatLine, game::kChatLineLength) == "Host: hello all"; }));

    // Hidden by us, the window is still the server's main window.
    ASSERT_TRUE(WaitFor([&] { return WindowVisible(window); }));
    EXPECT_TRUE(memory.ShowGameWindow(false));
    EXPECT_TRUE(WaitFor([&] { return !WindowVisible(window); }));
#ifndef _WIN32
    // A window manager lets go of a window its client hides: hidden, it is a top-level window again.
    if (manager.managing()) {
        ASSERT_TRUE(WaitFor([&] { return !WindowManager::Framed(window); }));
    }
#endif
    RaiseHelperWindows(sim.pid(), window);
    ASSERT_TRUE(byId.SetProcID(sim.pid()));
    EXPECT_EQ(byId.GetProcHwnd(), window);
    EXPECT_TRUE(memory.ShowGameWindow(true));
    EXPECT_TRUE(WaitFor([&] { return WindowVisible(window); }));
#ifndef _WIN32
    if (manager.managing()) {
        ASSERT_TRUE(WaitFor([&] { return WindowManager::Manages(window); }));
        ASSERT_TRUE(memory.SetWindow(caption));
        EXPECT_EQ(memory.GetProcHwnd(), window);
    }
#endif
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Desktop, MemoryClassWithWindow, ::testing::Values(std::string("windows")),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });
#else
INSTANTIATE_TEST_SUITE_P(Managers, MemoryClassWithWindow, ::testing::ValuesIn(WindowManager::Tested()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });
#endif

TEST_F(MemoryClassWithGamesim, ListsReadsAndWritesTheServerUntilItExits) {
    auto sim = std::make_unique<SimProcess>(
        kServerName, std::vector<std::string>{"--state", "3", "--players", "4", "--maxplayers", "16",
                                              "--dedicated", "1", "--version", version});
    ASSERT_GT(sim->pid(), 0);
    const int32_t pid = sim->pid();
    ASSERT_TRUE(
        WaitFor([&] { return memory.SetWindow(caption) && memory.ReadAByte(game::kGameState) == 3; }));
    EXPECT_EQ(memory.GetProcID(), pid);

    // The system names the process the way the filter expects (which names match is
    // MemoryClass's own, proven in its unit test); every process is listed, more of them than a
    // first small buffer holds.
    std::vector<std::string> found;
    memory.ListProcesses(found, "JointOps.EXE");
    EXPECT_NE(std::ranges::find(found, std::to_string(pid) + "|" + sim->path()), found.end());
    const std::vector<int32_t> ids = backend->ListProcessIds();
    for (int32_t id : {CurrentProcessId(), pid}) EXPECT_NE(std::ranges::find(ids, id), ids.end()) << id;

    EXPECT_EQ(memory.ReadAByte(game::kMaxPlayers), 16);
    EXPECT_NE(memory.ReadAByte(game::kDedicated), 0);
    const int32_t slot0 = memory.ReadDWord(game::kSlotTablePointer);
    ASSERT_NE(slot0, 0);
    const auto slot1 = static_cast<uint32_t>(slot0) + game::kSlotStride;
    EXPECT_EQ(Text(memory, slot1 + game::slot::kName, game::slot::kNameLength), "Player1");

    // Ten characters: the version, its NUL, and whatever the game keeps after it.
    const std::string field = memory.ReadMemory(game::kVersionText, 10);
    ASSERT_EQ(field.size(), 10u);
    EXPECT_EQ(field.substr(0, version.size() + 1), version + '\0');
    EXPECT_EQ(static_cast<uint8_t>(field[9]), memory.ReadAByte(game::kVersionText + 9));

    EXPECT_TRUE(memory.WriteDWord(game::kScoringTime, 1550));
    EXPECT_EQ(memory.ReadDWord(game::kScoringTime), 1550);

    // Far below anything the game maps.
    EXPECT_EQ(memory.ReadDWord(0x1000), 0);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
    EXPECT_FALSE(memory.WriteDWord(0x1000, 1));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
    // The next call that succeeds leaves no failure behind.
    EXPECT_EQ(memory.ReadDWord(game::kScoringTime), 1550);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::None);

    // A batched read: ranges that can't be read fail alone, those after them are still read.
    ReadList reads;
    const size_t unmapped = reads.Add(0x1000, 4);
    const size_t scoring = reads.Add(game::kScoringTime, 4);
    const size_t straddling = reads.Add(image::kImageEnd - 2, 4);
    const size_t name = reads.Add(slot1 + game::slot::kName, game::slot::kNameLength);
    // More ranges than one system call takes, with a failed one among the last.
    std::vector<size_t> many;
    for (int i = 0; i < 1100; ++i) many.push_back(reads.Add(i == 1090 ? 0x2000 : game::kMaxPlayers, 1));
    const uint64_t before = backend->Transfers();
    memory.ReadAll(reads);
    EXPECT_EQ(reads.Failure(unmapped), AccessFailure::BadAddress);
    EXPECT_EQ(reads.DWord(scoring), 1550);
#ifndef _WIN32
    // The Linux simulator maps nothing after the game's memory; the Windows one keeps it inside
    // its executable, whose other sections follow.
    EXPECT_FALSE(reads.Ok(straddling));
    EXPECT_EQ(reads.DWord(straddling), 0);
#else
    (void)straddling;
#endif
    EXPECT_EQ(CutAtNull(reads.Text(name)), "Player1");
    for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ(reads.Byte(many[i]), i == 1090 ? 0 : 16) << i;
#ifndef _WIN32
    // The unmapped range stops the first call, the straddling one the second; the third takes
    // 1024 ranges, 0x2000 stops the fourth and the fifth reads the rest.
    EXPECT_EQ(backend->Transfers() - before, 5u);
#else
    // One call a range, but ranges close together share one: the 1,099 at one address take one
    // call, the two unmapped ones one that fails and then one each.
    EXPECT_LE(backend->Transfers() - before, 7u);
#endif

    // Once it has exited it answers nothing, and its window went with it.
    const int32_t window = memory.GetProcHwnd();
    sim.reset();
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 0);
    EXPECT_FALSE(memory.WriteAByte(game::kGameState, 1));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::NoSuchProcess);
    EXPECT_FALSE(memory.SetWindow(caption));
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);
    EXPECT_FALSE(memory.SetProcID(pid));
    if (HaveWindows()) {
        EXPECT_FALSE(backend->PostKeystroke(window, GameKeystroke::Console));
        EXPECT_EQ(backend->LastFailure(), AccessFailure::NoWindow);
        EXPECT_EQ(backend->WindowProcess(window), 0);
        EXPECT_EQ(backend->LastFailure(), AccessFailure::NoWindow);
    }
}

#ifndef _WIN32
TEST_F(MemoryClassWithGamesim, WithoutADisplayTheServerStillHasAMainWindow) {
    const std::string olderVersion = OwnVersion();
    SimProcess server(kServerName, {"--no-window", "--state", "2", "--version", version});
    SimProcess older("C:\\JO2\\jointops.exe", {"--no-window", "--version", olderVersion});
    auto& linuxBackend = dynamic_cast<linux_backend::LinuxProcessBackend&>(*backend);
    linuxBackend.SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(linuxBackend));

    // The caption shows once the version is written, a moment before the state is.
    ASSERT_TRUE(
        WaitFor([&] { return memory.SetWindow(caption) && memory.ReadAByte(game::kGameState) == 2; }));
    EXPECT_EQ(memory.GetProcID(), server.pid());
    EXPECT_EQ(memory.GetProcHwnd(), server.pid());
    EXPECT_EQ(memory.GetWinCaption(memory.GetProcHwnd()), caption);
    EXPECT_FALSE(memory.PressKey(GameKeystroke::Console));
    EXPECT_FALSE(memory.ShowGameWindow(false));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::NoWindowSystem);

    ASSERT_TRUE(WaitFor([&] { return memory.SetWindow(std::string(game::kCaptionPrefix) + olderVersion); }));
    EXPECT_EQ(memory.GetProcID(), older.pid());
    ASSERT_TRUE(memory.SetProcID(server.pid()));
    EXPECT_EQ(memory.GetProcHwnd(), server.pid());

    // A process that isn't the game's server has no window under this rule.
    EXPECT_FALSE(memory.SetProcID(CurrentProcessId()));
}
#endif
