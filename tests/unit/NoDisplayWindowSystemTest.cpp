#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "GameAddresses.h"
#include "image/ImageBackend.h"
#include "linux/NoDisplayWindowSystem.h"

using namespace tovi;
using image::GameImage;

namespace {

// Processes as /proc shows them: anyone may read a process's command line, which names the
// game's executable; only its memory is guarded.
class ProcessTable : public image::ImageBackend {
public:
    std::optional<std::string> FirstModulePath(int32_t pid) override {
        const image::FakeProcess* p = Find(pid);
        return p ? std::optional<std::string>(p->path) : std::nullopt;
    }
};

// A /proc of the test's own, holding only what the tracking looks at: each process's stat line.
class FakeProcRoot {
public:
    FakeProcRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tovi-proc-XXXXXX").string();
        m_root = ::mkdtemp(pattern.data());
    }
    ~FakeProcRoot() { std::filesystem::remove_all(m_root); }
    const std::string& path() const { return m_root; }
    // A command name with blanks and parentheses, as a process may give itself.
    void Stat(int32_t pid, uint64_t startTime, char state = 'S') {
        std::filesystem::create_directories(m_root + "/" + std::to_string(pid));
        std::ofstream(m_root + "/" + std::to_string(pid) + "/stat")
            << pid << " (jo ) (x) " << state << " 1 1 1 0 -1 4194304 5 0 0 0 1 2 0 0 20 0 1 0 " << startTime
            << " 1000 100\n";
    }
    void Gone(int32_t pid) { std::filesystem::remove_all(m_root + "/" + std::to_string(pid)); }

private:
    std::string m_root;
};

}  // namespace

// Without a display the caption comes from the server's memory. When reading it is refused,
// the server sought may be that one: the lookup says access was refused, not that no window is there.
TEST(NoDisplayWindowSystem, AServerWhoseMemoryIsRefusedIsReportedAsRefused) {
    ProcessTable processes;
    GameImage server;
    processes.AddServer(100, server).accessible = false;
    FakeProcRoot proc;
    proc.Stat(100, 1);
    linux_backend::NoDisplayWindowSystem windows(processes, proc.path());
    const std::string caption(game::kDefaultCaption);

    EXPECT_EQ(windows.FindWindowByCaption(caption), 0);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::PermissionDenied);

    processes.Find(100)->accessible = true;
    EXPECT_EQ(windows.FindWindowByCaption(caption), 100);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::None);
    EXPECT_EQ(windows.FindWindowByCaption(std::string(game::kCaptionPrefix) + "V1.5.1.4"), 0);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::NoWindow);
}

// The server found is checked each time by its start time alone; /proc is scanned again only when
// it has ended, become a zombie, or its id was given to another process.
TEST(NoDisplayWindowSystem, TheFoundServerIsRememberedUntilItsIdNoLongerNamesIt) {
    ProcessTable processes;
    GameImage server, other;
    FakeProcRoot proc;
    processes.AddServer(100, server);
    proc.Stat(100, 5000);
    linux_backend::NoDisplayWindowSystem windows(processes, proc.path());
    const std::string caption(game::kDefaultCaption);
    const auto found = [&] {
        const auto known = windows.KnownWindowByCaption(caption);
        EXPECT_TRUE(known && known->window == known->pid);
        return known ? known->pid : -1;
    };

    EXPECT_EQ(found(), 100);
    EXPECT_EQ(found(), 100);
    EXPECT_EQ(windows.KnownProcessWindow(100), 100);
    EXPECT_EQ(windows.Scans(), 1);

    // The id is reused by a process that is no server: it is not taken for the server.
    processes.RemoveProcess(100);
    image::FakeProcess sleeper;
    sleeper.pid = 100;
    sleeper.path = "/usr/bin/sleep";
    processes.AddProcess(sleeper);
    proc.Stat(100, 7000);
    EXPECT_EQ(found(), 0);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::NoWindow);
    EXPECT_EQ(windows.KnownProcessWindow(100), 0);
    EXPECT_EQ(windows.Scans(), 2);

    processes.AddServer(200, other);
    proc.Stat(200, 8000);
    EXPECT_EQ(found(), 200);
    EXPECT_EQ(found(), 200);
    EXPECT_EQ(windows.Scans(), 3);
    proc.Stat(200, 8000, 'Z');  // ended, not yet reaped
    processes.RemoveProcess(200);
    EXPECT_EQ(found(), 0);
    proc.Gone(200);
    EXPECT_EQ(found(), 0);
    EXPECT_EQ(windows.Scans(), 5);

    // Tracked by id, it is remembered too.
    processes.AddServer(300, server);
    proc.Stat(300, 9000);
    EXPECT_EQ(windows.KnownProcessWindow(300), 300);
    EXPECT_EQ(found(), 300);
    EXPECT_EQ(windows.Scans(), 5);
}
