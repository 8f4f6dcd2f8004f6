// The system message table: file, device and overlapped-I/O errors.

#include "platform/sysmsg.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace kivo::win {

namespace {

struct MessageEntry {
    DWORD Number;
    std::string_view Text;
};

// Sorted by number for the search below.
constexpr std::array Messages{
    MessageEntry{0, "The operation completed successfully.\r\n"},
    MessageEntry{1, "Incorrect function.\r\n"},
    MessageEntry{2, "The system cannot find the file specified.\r\n"},
    MessageEntry{3, "The system cannot find the path specified.\r\n"},
    MessageEntry{4, "The system cannot open the file.\r\n"},
    MessageEntry{5, "Access is denied.\r\n"},
    MessageEntry{6, "The handle is invalid.\r\n"},
    MessageEntry{8, "Not enough memory resources are available to process this command.\r\n"},
    MessageEntry{12, "The access code is invalid.\r\n"},
    MessageEntry{13, "The data is invalid.\r\n"},
    MessageEntry{14, "Not enough memory resources are available to complete this operation.\r\n"},
    MessageEntry{15, "The system cannot find the drive specified.\r\n"},
    MessageEntry{18, "There are no more files.\r\n"},
    MessageEntry{19, "The media is write protected.\r\n"},
    MessageEntry{20, "The system cannot find the device specified.\r\n"},
    MessageEntry{21, "The device is not ready.\r\n"},
    MessageEntry{22, "The device does not recognize the command.\r\n"},
    MessageEntry{23, "Data error (cyclic redundancy check).\r\n"},
    MessageEntry{29, "The system cannot write to the specified device.\r\n"},
    MessageEntry{30, "The system cannot read from the specified device.\r\n"},
    MessageEntry{31, "A device attached to the system is not functioning.\r\n"},
    MessageEntry{32, "The process cannot access the file because it is being used by another process.\r\n"},
    MessageEntry{33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    MessageEntry{38, "Reached the end of the file.\r\n"},
    MessageEntry{39, "The disk is full.\r\n"},
    MessageEntry{50, "The request is not supported.\r\n"},
    MessageEntry{55, "The specified network resource or device is no longer available.\r\n"},
    MessageEntry{87, "The parameter is incorrect.\r\n"},
    MessageEntry{110, "The system cannot open the device or file specified.\r\n"},
    MessageEntry{112, "There is not enough space on the disk.\r\n"},
    MessageEntry{121, "The semaphore timeout period has expired.\r\n"},
    MessageEntry{122, "The data area passed to a system call is too small.\r\n"},
    MessageEntry{123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    MessageEntry{170, "The requested resource is in use.\r\n"},
    MessageEntry{223, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    MessageEntry{995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    MessageEntry{996, "Overlapped I/O event is not in a signaled state.\r\n"},
    MessageEntry{997, "Overlapped I/O operation is in progress.\r\n"},
    MessageEntry{998, "Invalid access to memory location.\r\n"},
    MessageEntry{1117, "The request could not be performed because of an I/O device error.\r\n"},
    MessageEntry{1167, "The device is not connected.\r\n"},
    MessageEntry{1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    MessageEntry{1460, "This operation returned because the timeout period expired.\r\n"},
};

static_assert(std::is_sorted(Messages.begin(), Messages.end(),
                             [](const MessageEntry& a, const MessageEntry& b) { return a.Number < b.Number; }));

} // namespace

std::string FormatMessage(DWORD errorNumber)
{
    auto found = std::lower_bound(Messages.begin(), Messages.end(), errorNumber,
                                  [](const MessageEntry& entry, DWORD number) { return entry.Number < number; });
    if (found == Messages.end() || found->Number != errorNumber) return {};
    return std::string(found->Text);
}

} // namespace kivo::win
