#include <gtest/gtest.h>

#include "GameAddresses.h"
#include "MemoryClass.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace std::literals;
using image::GameImage;
using image::ImageBackend;

namespace {

class MemoryClassTest : public ::testing::Test {
protected:
    ImageBackend backend;
    GameImage server;
    MemoryClass memory{backend};

    void ExpectDetached() {
        EXPECT_EQ(memory.GetProcID(), -1);
        EXPECT_EQ(memory.GetProcHwnd(), -1);
    }
};

}  // namespace

TEST_F(MemoryClassTest, AttachesByCaptionToTheTopmostMatchingWindow) {
    GameImage other;
    backend.AddProcess({.pid = 7, .path = "/usr/bin/editor", .window = 70, .caption = "notes"});
    backend.AddServer(100, server);
    backend.AddServer(200, other);

    EXPECT_EQ(memory.GetProcID(), 0);
    ASSERT_TRUE(memory.SetWindow(std::string(game::kDefaultCaption)));
    EXPECT_EQ(memory.GetProcID(), 100);
    EXPECT_EQ(memory.GetProcHwnd(), backend.Find(100)->window);
    EXPECT_EQ(memory.GetWinCaption(memory.GetProcHwnd()), game::kDefaultCaption);
    EXPECT_EQ(memory.ProcIDFromWnd(70), 7);
    EXPECT_EQ(memory.GetWinCaption(0), "");

    EXPECT_FALSE(memory.SetWindow("Joint Operations: Typhoon Rising, V1.5.1.5"));  // one blank only
    ExpectDetached();
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 0);

    // A window whose process cannot be opened is no attach either.
    backend.Find(100)->accessible = false;
    EXPECT_FALSE(memory.SetWindow(std::string(game::kDefaultCaption)));
    ExpectDetached();
    EXPECT_EQ(memory.LastFailure(), AccessFailure::PermissionDenied);

    // A failure is forgotten at the next call that succeeds, and another accessor's are its own.
    backend.Find(100)->accessible = true;
    ASSERT_TRUE(memory.SetWindow(std::string(game::kDefaultCaption)));
    EXPECT_EQ(memory.LastFailure(), AccessFailure::None);
    EXPECT_EQ(memory.ReadMemory(image::kImageEnd, 1), "");
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
    MemoryClass second(backend);
    EXPECT_FALSE(second.SetProcID(4242));
    EXPECT_EQ(second.LastFailure(), AccessFailure::NoSuchProcess);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
    EXPECT_NE(memory.ReadAByte(game::kVersionText), 0);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::None);
}

TEST_F(MemoryClassTest, AttachesByIdOnlyToAProcessWithAWindow) {
    backend.AddProcess({.pid = 5, .path = "/usr/sbin/daemon.exe", .image = &server});
    backend.AddServer(100, server);
    ASSERT_TRUE(memory.SetProcID(100));
    EXPECT_EQ(memory.GetProcHwnd(), memory.GetWinHandle(100));
    EXPECT_FALSE(memory.SetProcID(5));
    ExpectDetached();
    EXPECT_FALSE(memory.SetProcID(4242));
    EXPECT_EQ(memory.GetWinHandle(4242), 0);
    // A server that exits: MemoryClassWithGamesim.ListsReadsAndWritesTheServerUntilItExits.
}

TEST_F(MemoryClassTest, ReadsAndWritesBytesWordsAndFixedLengthTexts) {
    backend.AddServer(100, server);
    // Nothing is attached yet: the fields are 0 and no process has id 0.
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 10), "");
    EXPECT_FALSE(memory.WriteAByte(game::kGameState, 3));
    ASSERT_TRUE(memory.SetProcID(100));

    server.SetDWord(game::kMatchClock, -2);
    server.SetDWord(game::kMapName, 0x04030201);
    EXPECT_EQ(memory.ReadDWord(game::kMatchClock), -2);
    EXPECT_EQ(memory.ReadAByte(game::kMapName), 1);  // little-endian: lowest byte first
    // The whole field comes back: the version, its NUL and the byte after it.
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 10), "V1.5.1.5\0*"s);

    const uint32_t line = game::kConsoleLine;
    server.SetText(line, 8, "xxxxxxx");
    EXPECT_TRUE(memory.WriteMemory(line, "abc", false));
    EXPECT_EQ(memory.ReadMemory(line, 5), "abcxx");
    EXPECT_TRUE(memory.WriteMemory(line, "abc", true));
    EXPECT_EQ(memory.ReadMemory(line, 5), "abc\0x"s);
    EXPECT_TRUE(memory.WriteDWord(game::kMatchClock, -3720));
    EXPECT_EQ(server.Byte(game::kMatchClock), 0x78);  // 0xFFFFF178

    // Outside the game's memory every access fails as a whole.
    EXPECT_EQ(memory.ReadMemory(image::kImageEnd - 5, 10), "");
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
    EXPECT_FALSE(memory.WriteMemory(image::kImageEnd - 2, "ab", true));
}

TEST_F(MemoryClassTest, ListsProcessesWhoseExecutableEndsWithTheFilter) {
    backend.AddProcess({.pid = 4, .path = "ops.exe"});  // shorter than the filter
    backend.AddProcess({.pid = 5, .path = "C:\\GAMES\\JO\\JOINTOPS.EXE"});
    backend.AddProcess({.pid = 6, .path = "C:\\Games\\notjointops.exe.bak"});
    backend.AddProcess({.pid = 8, .path = "D:\\jointops.exe", .accessible = false});
    backend.AddProcess({.pid = 9, .path = "Z:\\srv\\jointops.exe"});

    std::vector<std::string> found{"earlier entry"};
    memory.ListProcesses(found, "jointops.exe");
    EXPECT_EQ(found, (std::vector<std::string>{"earlier entry", "5|C:\\GAMES\\JO\\JOINTOPS.EXE",
                                               "9|Z:\\srv\\jointops.exe"}));
}

TEST_F(MemoryClassTest, ABatchedReadGivesEachRangeWhatItsOwnReadWouldAndHeldReadsLastUntilAWrite) {
    backend.AddServer(100, server);
    ReadList early;
    early.Add(game::kGameState, 1);
    memory.ReadAll(early);  // nothing attached yet
    EXPECT_EQ(early.Failure(0), AccessFailure::NoSuchProcess);
    ASSERT_TRUE(memory.SetProcID(100));

    server.SetDWord(game::kMatchClock, -2);
    server.SetByte(game::kGameState, 3);
    ReadList reads;
    const size_t clock = reads.Add(game::kMatchClock, 4);
    const size_t outside = reads.Add(image::kImageEnd - 2, 4);  // partly beyond the game's memory
    const size_t version = reads.Add(game::kVersionText, 10);
    const size_t beyond = reads.Add(uint64_t{0xFFFFFFFE}, 4);  // past the 32-bit address space
    const size_t state = reads.Add(game::kGameState, 1);
    memory.ReadAll(reads);
    EXPECT_EQ(reads.DWord(clock), -2);
    EXPECT_FALSE(reads.Ok(outside));
    EXPECT_EQ(reads.DWord(outside), 0);
    EXPECT_EQ(reads.Text(outside), "");
    EXPECT_EQ(reads.Text(version), "V1.5.1.5\0*"s);
    EXPECT_EQ(reads.Failure(beyond), AccessFailure::BadAddress);
    EXPECT_EQ(reads.Byte(state), 3);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);

    // Held, they answer the reads they cover without asking the process; a failed one still fails.
    memory.HoldReads(reads);
    server.SetByte(game::kGameState, 4);
    const int calls = backend.calls;
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 3);
    EXPECT_EQ(memory.ReadMemory(game::kVersionText + 1, 4), "1.5.");
    EXPECT_EQ(memory.ReadDWord(image::kImageEnd - 2), 0);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::BadAddress);
    EXPECT_EQ(backend.calls, calls);
    EXPECT_EQ(memory.ReadMemory(game::kVersionText, 11), "V1.5.1.5\0*\0"s);  // beyond what is held
    EXPECT_EQ(backend.calls, calls + 1);
    // A write may change what was read: from then on reads ask the process again.
    EXPECT_TRUE(memory.WriteAByte(game::kResultByte, 1));
    EXPECT_EQ(memory.ReadAByte(game::kGameState), 4);
}
