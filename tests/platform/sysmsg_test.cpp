// System message texts: the numbers the stack meets, and the ones without.

#include "platform/sysmsg.h"

#include <gtest/gtest.h>

using namespace kivo::win;

TEST(FormatMessage, GivesTheSystemSentenceForEveryNumberTheStackNames)
{
    EXPECT_EQ(FormatMessage(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_INVALID_PARAMETER), "The parameter is incorrect.\r\n");
    EXPECT_EQ(FormatMessage(ERROR_DEVICE_NOT_CONNECTED), "The device is not connected.\r\n");
    for (DWORD number : {0u, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES, ERROR_INVALID_HANDLE,
                         ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED,
                         ERROR_IO_INCOMPLETE, ERROR_IO_PENDING, ERROR_IO_DEVICE, 1460u}) {
        std::string text = FormatMessage(number);
        EXPECT_TRUE(text.size() > 3 && text.ends_with(".\r\n")) << number << ": " << text;
    }
    for (DWORD number : {7u, 88u, 999u, 4200u, 10000u, 0xFFFFFFFFu}) EXPECT_EQ(FormatMessage(number), "") << number;
}
