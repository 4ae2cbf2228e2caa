#include <gtest/gtest.h>

#include "DataFolderLock.h"
#include "Fakes.h"

using namespace tovi;
using namespace tovi::testing;

TEST(DataFolderLock, OneCopyHoldsAFolderUntilItEnds) {
    TempFolder dir;
    TempFolder other;
    std::string error;
    bool inUse = true;
    auto first = std::make_unique<DataFolderLock>();
    ASSERT_TRUE(first->Acquire(dir.Path(), error, inUse)) << error;
    EXPECT_FALSE(inUse);

    DataFolderLock second;
    EXPECT_FALSE(second.Acquire(dir.Path(), error, inUse));
    EXPECT_TRUE(inUse);
    EXPECT_TRUE(second.Acquire(other.Path(), error, inUse)) << error;

    first.reset();
    DataFolderLock third;
    EXPECT_TRUE(third.Acquire(dir.Path(), error, inUse)) << error;
}
