// System message texts: the numbers the stack meets, and the ones it has none for.

#include "platform/sysmsg.h"

#include <gtest/gtest.h>

using namespace kivo::win;

TEST(FormatMessage, GivesTheSystemTextsOfFileAndDeviceErrors)
{
    EXPECT_EQ(FormatMessage(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_INVALID_PARAMETER), "The parameter is incorrect.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_OPERATION_ABORTED),
              "The I/O operation has been aborted because of either a thread exit or an application request.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_DEVICE_NOT_CONNECTED), "The device is not connected.\r\n");
    EXPECT_EQ(FormatMessage(0), "The operation completed successfully.\r\n");
    EXPECT_EQ(FormatMessage(1460), "This operation returned because the timeout period expired.\r\n");
}

TEST(FormatMessage, EveryNumberTheStackNamesHasASentence)
{
    for (DWORD number : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES,
                         ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,
                         ERROR_GEN_FAILURE, ERROR_INVALID_PARAMETER, ERROR_OPERATION_ABORTED,
                         ERROR_IO_INCOMPLETE, ERROR_IO_PENDING, ERROR_IO_DEVICE,
                         ERROR_DEVICE_NOT_CONNECTED, DWORD{21}, DWORD{32}, DWORD{50}, DWORD{170}}) {
        std::string text = FormatMessage(number);
        ASSERT_GT(text.size(), 3u) << number;
        EXPECT_TRUE(text.ends_with(".\r\n")) << number;
        EXPECT_TRUE(text[0] >= 'A' && text[0] <= 'Z') << number;
        EXPECT_EQ(text.find("  "), std::string::npos) << number;
    }
}

TEST(FormatMessage, NumbersWithoutATextGiveNothing)
{
    for (DWORD number : {DWORD{7}, DWORD{88}, DWORD{999}, DWORD{4200}, DWORD{10000}, DWORD{65535},
                         DWORD{0xFFFFFFFF}})
        EXPECT_EQ(FormatMessage(number), "") << number;
}
