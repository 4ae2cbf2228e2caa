#include <gtest/gtest.h>

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

}  // namespace

// Without a display the caption comes from the server's memory. When reading it is refused,
// the server sought may be that one: the lookup says access was refused, not that no window is there.
TEST(NoDisplayWindowSystem, AServerWhoseMemoryIsRefusedIsReportedAsRefused) {
    ProcessTable processes;
    GameImage server;
    processes.AddServer(100, server).accessible = false;
    linux_backend::NoDisplayWindowSystem windows(processes);
    const std::string caption(game::kDefaultCaption);

    EXPECT_EQ(windows.FindWindowByCaption(caption), 0);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::PermissionDenied);

    processes.Find(100)->accessible = true;
    EXPECT_EQ(windows.FindWindowByCaption(caption), 100);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::None);
    EXPECT_EQ(windows.FindWindowByCaption(std::string(game::kCaptionPrefix) + "V1.5.1.4"), 0);
    EXPECT_EQ(windows.LastFailure(), AccessFailure::NoWindow);
}
