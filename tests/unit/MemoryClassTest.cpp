#include <gtest/gtest.h>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "image/ImageBackend.h"

using namespace tovi;
using image::FakeProcess;
using image::GameImage;
using image::ImageBackend;

namespace {

class MemoryClassTest : public ::testing::Test {
protected:
    ImageBackend backend;
    GameImage server;
    MemoryClass memory{backend};
};

std::string Bytes(const char* text, size_t n) { return std::string(text, n); }

}  // namespace

TEST_F(MemoryClassTest, AttachesByCaptionToTheTopmostMatchingWindow) {
    GameImage other;
    backend.AddProcess({.pid = 7, .path = "/usr/bin/editor", .window = 70, .caption = "notes"});
    backend.AddServer(100, server);
    backend.AddServer(200, other);

    EXPECT_EQ(memory.GetProcID(), 0);
    EXPECT_EQ(memory.GetProcHwnd(), 0);
    ASSERT_TRUE(memory.SetWindow(std::string(game::kDefaultCaption)));
    EXPECT_EQ(memory.GetProcID(), 100);
    EXPECT_EQ(memory.GetProcHwnd(), backend.Find(100)->window);
    EXPECT_EQ(memory.GetWinCaption(memory.GetProcHwnd()), game::kDefaultCaption);
    EXPECT_EQ(memory.ProcIDFromWnd(70), 7);

    EXPECT_FALSE(memory.SetWindow("Joint Operations: Typhoon Rising, V1.5.1.5"));  // one blank only
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 0);
}

TEST_F(MemoryClassTest, AttachFailsWhenTheProcessCannotBeOpened) {
    backend.AddServer(100, server).accessible = false;
    EXPECT_FALSE(memory.SetWindow(std::string(game::kDefaultCaption)));
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::PermissionDenied);
    EXPECT_FALSE(memory.SetProcID(100));
}

TEST_F(MemoryClassTest, AttachesByIdOnlyToAProcessWithAWindow) {
    backend.AddProcess({.pid = 5, .path = "/usr/sbin/daemon.exe", .image = &server});
    backend.AddServer(100, server);

    ASSERT_TRUE(memory.SetProcID(100));
    EXPECT_EQ(memory.GetProcID(), 100);
    EXPECT_EQ(memory.GetProcHwnd(), memory.GetWinHandle(100));

    EXPECT_FALSE(memory.SetProcID(5));
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);

    EXPECT_FALSE(memory.SetProcID(4242));
    EXPECT_EQ(memory.GetWinHandle(4242), 0);
}

TEST_F(MemoryClassTest, ReadsBytesWordsAndFixedLengthTexts) {
    backend.AddServer(100, server);
    // Nothing is attached yet: the fields are 0 and no process has id 0.
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 10), "");
    EXPECT_FALSE(memory.WriteAByte(game::kGameState, 3));
    ASSERT_TRUE(memory.SetProcID(100));

    server.SetByte(game::kGameState, 3);
    server.SetDWord(game::kMatchClock, -2);
    server.SetDWord(game::kMapName, 0x04030201);
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 3);
    EXPECT_EQ(memory.ReadDWord(game::kMatchClock), -2);
    EXPECT_EQ(memory.ReadAByte(game::kMapName), 1);  // little-endian: lowest byte first
    EXPECT_EQ(memory.ReadDWord(game::kSlotTablePointer), 0x1300000);

    // The whole field comes back: the version, its NUL and the byte after it.
    const std::string version = memory.ReadMemory(game::kVersionText, 10);
    ASSERT_EQ(version.size(), 10u);
    EXPECT_EQ(version, Bytes("V1.5.1.5\0*", 10));
    EXPECT_EQ(CutAtNull(version), "V1.5.1.5");
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 0), "");

    // Outside the game's memory every read fails as a whole.
    EXPECT_EQ(memory.ReadDWord(image::kImageEnd - 2), 0);
    EXPECT_EQ(memory.ReadMemory(image::kImageEnd - 5, 10), "");
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
}

TEST_F(MemoryClassTest, WritesBytesWordsAndTextsWithOrWithoutTheEndingZero) {
    backend.AddServer(100, server);
    ASSERT_TRUE(memory.SetProcID(100));
    const uint32_t line = game::kConsoleLine;
    server.SetText(line, 8, "xxxxxxx");

    EXPECT_TRUE(memory.WriteMemory(line, "abc", false));
    EXPECT_EQ(memory.ReadMemory(line, 5), Bytes("abcxx", 5));
    EXPECT_TRUE(memory.WriteMemory(line, "abc", true));
    EXPECT_EQ(memory.ReadMemory(line, 5), Bytes("abc\0x", 5));

    EXPECT_TRUE(memory.WriteDWord(game::kMatchClock, -3720));
    EXPECT_EQ(server.DWord(game::kMatchClock), -3720);
    EXPECT_EQ(server.Byte(game::kMatchClock), 0x78);  // 0xFFFFF178
    EXPECT_TRUE(memory.WriteAByte(game::kGameState, 4));
    EXPECT_EQ(server.Byte(game::kGameState), 4);

    EXPECT_FALSE(memory.WriteDWord(image::kImageEnd - 1, 1));
    EXPECT_FALSE(memory.WriteMemory(image::kImageEnd - 2, "ab", true));
}

TEST_F(MemoryClassTest, CaptionOfWindowZeroDoesNotAskThePlatform) {
    backend.AddServer(100, server);
    const int before = backend.calls;
    EXPECT_EQ(memory.GetWinCaption(0), "");
    EXPECT_EQ(backend.calls, before);
}

TEST_F(MemoryClassTest, ListsProcessesWhoseExecutableEndsWithTheFilter) {
    backend.AddProcess({.pid = 3, .path = "/sbin/init"});
    backend.AddProcess({.pid = 4, .path = "ops.exe"});  // shorter than the filter
    backend.AddProcess({.pid = 5, .path = "C:\\GAMES\\JO\\JOINTOPS.EXE"});
    backend.AddProcess({.pid = 6, .path = "C:\\Games\\notjointops.exe.bak"});
    backend.AddProcess({.pid = 8, .path = "D:\\jointops.exe", .accessible = false});
    backend.AddProcess({.pid = 9, .path = "Z:\\srv\\jointops.exe"});

    std::vector<std::string> found{"earlier entry"};
    memory.ListProcesses(found, "jointops.exe");
    EXPECT_EQ(found, (std::vector<std::string>{"earlier entry", "5|C:\\GAMES\\JO\\JOINTOPS.EXE",
                                               "9|Z:\\srv\\jointops.exe"}));

    std::vector<std::string> none;
    memory.ListProcesses(none, "halo.exe");
    EXPECT_TRUE(none.empty());
}

TEST_F(MemoryClassTest, KeystrokesAndWindowControlReachTheTrackedWindow) {
    backend.AddServer(100, server);
    EXPECT_FALSE(memory.PressKey(GameKeystroke::Console));  // nothing tracked yet
    ASSERT_TRUE(memory.SetWindow(std::string(game::kDefaultCaption)));

    EXPECT_TRUE(memory.PressKey(GameKeystroke::Console));
    EXPECT_EQ(memory.ReadAByte(game::kConsoleOpenFlag), 1);
    EXPECT_TRUE(memory.ShowGameWindow(false));
    EXPECT_FALSE(backend.Find(100)->visible);
    EXPECT_TRUE(memory.ShowGameWindow(true));
    EXPECT_TRUE(backend.Find(100)->visible);
}

TEST_F(MemoryClassTest, AServerThatExitsAnswersNothingAndCannotBeAttached) {
    backend.AddServer(100, server);
    ASSERT_TRUE(memory.SetWindow(std::string(game::kDefaultCaption)));
    server.SetByte(game::kGameState, 3);
    backend.RemoveProcess(100);

    EXPECT_EQ(memory.ReadAByte(game::kGameState), 0);
    EXPECT_EQ(memory.ReadDWord(game::kSlotTablePointer), 0);
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 10), "");
    EXPECT_FALSE(memory.WriteAByte(game::kGameState, 1));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::NoSuchProcess);

    EXPECT_FALSE(memory.SetProcID(100));
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.GetProcHwnd(), -1);
    EXPECT_FALSE(memory.SetWindow(std::string(game::kDefaultCaption)));
}
