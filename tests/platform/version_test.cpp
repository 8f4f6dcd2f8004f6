// The platform line of the dispatch log.

#include "platform/version.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

using namespace kivo::win;

TEST(PlatformDescription, KernelNameVersionAndReleaseInTheLogLineShape)
{
    EXPECT_EQ(FormatPlatformDescription("Linux", "6.1.0-18-amd64"), "Linux 6.1 6.1.0-18-amd64");
    EXPECT_EQ(FormatPlatformDescription("Linux", "6.18"), "Linux 6.18 6.18");
    EXPECT_EQ(FormatPlatformDescription("Linux", "5"), "Linux 5.0 5");
}

TEST(PlatformDescription, ReleaseWithoutNumbersStillGivesTheShape)
{
    EXPECT_EQ(FormatPlatformDescription("Linux", "custom"), "Linux 0.0 custom");
    EXPECT_EQ(FormatPlatformDescription("Linux", ""), "Linux 0.0 ");
}

TEST(PlatformDescription, DescribesTheRunningKernel)
{
    utsname names{};
    ASSERT_EQ(::uname(&names), 0);
    EXPECT_EQ(PlatformDescription(), FormatPlatformDescription(names.sysname, names.release));
    EXPECT_TRUE(IsNTPlatform()) << "the layers above take the NT branch";
}
