// The port presence test and the operator's port prompt.

#include "serial/port/port_select.h"

#include "platform/comm.h"
#include "platform/sync.h"
#include "serial/device/win32_dispatcher.h"
#include "serial/port/port_select_form.h"

namespace kivo {

using namespace kivo::win;

std::string ComDeviceName(WORD comNumber)
{
    return "\\\\.\\COM" + std::to_string(comNumber);
}

bool PortIsPresent(WORD comNumber, const TPortProbe& probe)
{
    if (comNumber == 0) return false;
    const std::string name = ComDeviceName(comNumber);
    DWORD error = ERROR_SUCCESS;
    if (probe.ProbeWithDispatcher) {
        TKivWin32Dispatcher dispatcher(nullptr);
        if (dispatcher.DeviceOpen(name, 64, 64) >= 0) {
            dispatcher.DeviceClose();
            return true;
        }
        // Taken before the dispatcher goes, whose clean-up may set another.
        error = GetLastError();
    } else {
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                    nullptr);
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
            CloseHandle(handle);
            return true;
        }
        error = GetLastError();
    }
    return probe.AccessDeniedMeansPresent && error == ERROR_ACCESS_DENIED;
}

std::optional<int> PromptForComPort(QWidget* owner)
{
    TComSelectForm form(owner);
    if (form.exec() != mrOk) return std::nullopt;
    return form.SelectedComNumber();
}

} // namespace kivo
