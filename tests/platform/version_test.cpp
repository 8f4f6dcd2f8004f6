// The platform line of the dispatch log.

#include "platform/version.h"

#include <gtest/gtest.h>

using namespace kivo::win;

TEST(PlatformDescription, KernelNameVersionAndReleaseInTheLogLineShape)
{
    EXPECT_EQ(FormatPlatformDescription("Linux", "6.1.0-18-amd64"), "Linux 6.1 6.1.0-18-amd64");
    EXPECT_EQ(FormatPlatformDescription("Linux", "6.18"), "Linux 6.18 6.18");
    EXPECT_EQ(FormatPlatformDescription("Linux", "5"), "Linux 5.0 5");
    EXPECT_EQ(FormatPlatformDescription("Linux", "custom"), "Linux 0.0 custom");
}
