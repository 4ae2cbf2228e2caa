#include <gtest/gtest.h>

#include "GameAddresses.h"
#include "ServerList.h"
#include "image/ImageBackend.h"

using namespace tovi;
using image::GameImage;
using image::ImageBackend;

// Listing and tracking of real processes is proven against simulator processes; these are the
// cases those cannot stage: a server without a window, and one that exits between list and click.
TEST(ServerList, AWindowlessServerIsListedUnreadAndOneGoneSinceTheListingLeavesNothingTracked) {
    ImageBackend backend;
    GameImage current, older, windowless;
    backend.AddProcess({.pid = 3, .path = "/usr/bin/bash"});
    backend.AddServer(10, current).path = "C:\\JO\\jointops.exe";
    backend.AddServer(20, older, "V1.5.1.4");
    backend.AddServer(30, windowless).window = 0;
    current.SetText(game::kExpansionText, 10, "TR");

    MemoryClass shared(backend);
    ASSERT_TRUE(shared.SetProcID(10));
    const auto rows = ListGameServers(shared, backend);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].ProcID + " " + rows[0].Version + " " + rows[0].Expansion, "10 V1.5.1.5 TR");
    EXPECT_EQ(rows[2].ProcID + " " + rows[2].Version + rows[2].Expansion, "30 ");
    EXPECT_EQ(shared.GetProcID(), 10);
    EXPECT_EQ(TrackServer(shared, rows[1]), TrackOutcome::WrongVersion);
    EXPECT_EQ(shared.GetProcID(), 10);

    backend.RemoveProcess(10);
    EXPECT_EQ(TrackServer(shared, rows[0]), TrackOutcome::AttachFailed);
    EXPECT_EQ(shared.GetProcID(), -1);
}
