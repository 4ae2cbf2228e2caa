#include <gtest/gtest.h>

#include "GameAddresses.h"
#include "ServerList.h"
#include "image/ImageBackend.h"

using namespace tovi;
using image::GameImage;
using image::ImageBackend;

TEST(ServerList, ListsEveryServerWithWhatItsMemorySays) {
    ImageBackend backend;
    GameImage current, older, windowless;
    backend.AddProcess({.pid = 3, .path = "/usr/bin/bash"});
    backend.AddServer(10, current).path = "C:\\JO\\jointops.exe";
    backend.AddServer(20, older, "V1.5.1.4").path = "D:\\OLD\\JOINTOPS.EXE";
    auto& lonely = backend.AddServer(30, windowless);
    lonely.window = 0;  // can't be attached, so nothing is read from it
    current.SetText(game::kExpansionText, 10, "TR");
    older.SetText(game::kExpansionText, 10, "TR");

    MemoryClass shared(backend);
    ASSERT_TRUE(shared.SetProcID(10));
    const auto rows = ListGameServers(shared, backend);
    ASSERT_EQ(rows.size(), 3u);
    auto show = [](const auto& row) {
        return row.ProcID + " " + row.Path + " " + row.Version + " " + row.Expansion;
    };
    EXPECT_EQ(show(rows[0]), "10 C:\\JO\\jointops.exe V1.5.1.5 TR");
    EXPECT_EQ(show(rows[1]), "20 D:\\OLD\\JOINTOPS.EXE V1.5.1.4 TR");
    EXPECT_EQ(show(rows[2]), "30 C:\\Games\\Joint Operations\\jointops.exe  ");
    // Looking at the others did not move the shared accessor.
    EXPECT_EQ(shared.GetProcID(), 10);

    // Only the supported version can be tracked; the others leave the tracked process alone.
    EXPECT_EQ(TrackServer(shared, rows[1]), TrackOutcome::WrongVersion);
    EXPECT_EQ(shared.GetProcID(), 10);
    EXPECT_FALSE(shared.SetWindow("nothing"));
    EXPECT_EQ(TrackServer(shared, rows[0]), TrackOutcome::Tracked);
    EXPECT_EQ(TrackedMessage(shared),
              "Stats of process 10 (Joint Operations: Typhoon Rising,  V1.5.1.5) are now being tracked");

    // A server that exits after being listed can't be tracked, and the accessor is left at -1.
    backend.RemoveProcess(10);
    EXPECT_EQ(TrackServer(shared, rows[0]), TrackOutcome::AttachFailed);
    EXPECT_EQ(shared.GetProcID(), -1);
}
