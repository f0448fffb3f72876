// The settings thread of the asynchronous ASIO driver, which follows the control panel's
// changes of device, buffer size and rate, and the start of the control-panel program.
#include "QelAsioDriver.h"
#include <cwchar>

namespace {

const WCHAR SetupKey[] = L"SOFTWARE\\Orvan\\{08E5CF00-6FA5-4F62-AD3A-51A60F25EE79}";
const WCHAR ControlPanelValue[] = L"ControlPanel";
const DWORD ControlPanelPathChars = 128;

enum : DWORD {
    ChangedBufferSize = 1,
    ChangedRate = 8,
    ChangedDevice = 16,
};

} // namespace

DWORD WINAPI CQelAsioDriver::SettingsThreadProc(LPVOID Context)
{
    MarkDriverThread();
    return static_cast<CQelAsioDriver *>(Context)->SettingsThread();
}

// The driver-presence marker is set exactly while this thread listens, so that the control
// panel signals changes only when a driver is there to take them.
DWORD CQelAsioDriver::SettingsThread()
{
    const HANDLE marker = m_SettingsEvents[0];
    const HANDLE change = m_SettingsEvents[1];
    const HANDLE stopEvent = m_SettingsEvents[2];
    if (marker == nullptr || change == nullptr || stopEvent == nullptr) {
        return (DWORD)-1;
    }
    SetEvent(marker);
    const HANDLE waits[2] = {stopEvent, change};
    for (;;) {
        const DWORD result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            break;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            try {
                OnSettingsChanged();
            } catch (...) {
            }
        } else if (result == WAIT_FAILED) {
            // Handles that no longer work would make this loop spin.
            break;
        }
    }
    ResetEvent(marker);
    return 0;
}

// With host buffers the host is asked for a reset (a rate change blocks the old buffers until
// they are disposed); without, the device is chosen and opened anew at once. The rate is
// compared with the rate the device runs at, so a clamped or unanswered rate counts again.
VOID CQelAsioDriver::OnSettingsChanged()
{
    CMutexLock lock(m_SettingsMutex);
    const DWORD index = m_Settings.GetBufferSizeIndex();
    const DWORD rate = m_Settings.GetSamplingRate();
    WCHAR selected[129] = {};
    m_Settings.GetSelected(selected, 128);
    DWORD mask = 0;
    if (index != m_BufferSizeIndex) {
        mask |= ChangedBufferSize;
    }
    if (rate != m_CurrentRate) {
        mask |= ChangedRate;
    }
    if (std::wcsncmp(selected, m_SelectedDevice, 129) != 0) {
        mask |= ChangedDevice;
    }
    if (mask == 0) {
        return;
    }
    if (m_Callbacks != nullptr) {
        if ((mask & ChangedBufferSize) != 0) {
            m_BufferSizeIndex = index;
        }
        if ((mask & ChangedRate) != 0) {
            m_StoredRate = rate;
        }
        // The old device stays in use until the host lets go of its buffers; the one the
        // panel chose is opened then, before the host asks for channels and buffers again.
        if ((mask & ChangedDevice) != 0) {
            m_ReselectPending = TRUE;
        }
        RequestReset((mask & ChangedRate) != 0 ? 1 : 0);
    } else {
        SelectDevice();
    }
}

BOOL CQelAsioDriver::GetControlPanelPath(LPWSTR Buffer, DWORD *Size)
{
    if (Buffer == nullptr || Size == nullptr) {
        return FALSE;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD type = 0;
    const LONG result = RegQueryValueExW(key, ControlPanelValue, nullptr, &type, reinterpret_cast<LPBYTE>(Buffer), Size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ;
}

// A REG_SZ value may come without its terminator; the path is terminated here, and one that
// leaves no room for a terminator is not started.
BOOL CQelAsioDriver::LaunchControlPanel()
{
    WCHAR path[ControlPanelPathChars + 1] = {};
    DWORD size = ControlPanelPathChars * sizeof(WCHAR);
    if (!GetControlPanelPath(path, &size)) {
        return FALSE;
    }
    const DWORD characters = size / sizeof(WCHAR);
    if (characters >= ControlPanelPathChars && path[ControlPanelPathChars - 1] != L'\0') {
        return FALSE;
    }
    path[characters < ControlPanelPathChars ? characters : ControlPanelPathChars] = L'\0';
    if (path[0] == L'\0') {
        return FALSE;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process)) {
        return TRUE;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}
