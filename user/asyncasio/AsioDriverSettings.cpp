// The settings thread of the asynchronous ASIO driver, which follows the control panel's
// changes of device, buffer size and rate, and the start of the control-panel program.
#include "QelAsioDriver.h"
#include "NamedObjects.h"
#include "AsioDriverTrace.h"
#include <cwchar>

namespace {

const WCHAR SetupKey[] = L"SOFTWARE\\Orvan\\{08E5CF00-6FA5-4F62-AD3A-51A60F25EE79}";
const WCHAR ControlPanelValue[] = L"ControlPanel";
const DWORD ControlPanelPathChars = 128;
// Pace of the settings thread while one of its handles no longer works.
const DWORD SettingsRetryMs = 100;

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
// panel signals changes only when a driver is there to take them. A wait that fails (a handle
// of the driver closed by someone else in the process) does not end the listening: the
// settings are compared at once, since a signal may have been lost, the change event is taken
// anew by its name (and made again if it went), and a stop event that no longer works is
// replaced by the stop flag, looked at between short waits.
DWORD CQelAsioDriver::SettingsThread()
{
    const HANDLE marker = m_SettingsEvents[0];
    HANDLE change = m_SettingsEvents[1];
    const HANDLE stopEvent = m_SettingsEvents[2];
    if (marker == nullptr || change == nullptr || stopEvent == nullptr) {
        return (DWORD)-1;
    }
    SetEvent(marker);
    HANDLE reopened = nullptr;
    BOOL stopWorks = TRUE;
    BOOL failing = FALSE;
    for (;;) {
        DWORD result;
        if (stopWorks) {
            const HANDLE waits[2] = {stopEvent, change};
            result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        } else {
            result = WaitForSingleObject(change, SettingsRetryMs);
            result = result == WAIT_OBJECT_0 ? WAIT_OBJECT_0 + 1 : result;
        }
        if (result == WAIT_OBJECT_0 || m_SettingsStop.load() != 0) {
            break;
        }
        if (result != WAIT_FAILED) {
            failing = FALSE;
            if (result == WAIT_OBJECT_0 + 1) {
                CompareSettings();
            } else if (result != WAIT_TIMEOUT) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "wait result 0x%X", (unsigned)result);
            }
            continue;
        }
        if (!failing) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "wait failed: %u", (unsigned)GetLastError());
            failing = TRUE;
            CompareSettings();
        }
        const DWORD stopState = WaitForSingleObject(stopEvent, 0);
        if (stopState == WAIT_OBJECT_0) {
            break;
        }
        stopWorks = stopState != WAIT_FAILED;
        if (WaitForSingleObject(change, 0) == WAIT_FAILED) {
            if (reopened != nullptr) {
                CloseHandle(reopened);
            }
            // Made anew (as auto-reset as before) when its last handle went with the one lost.
            reopened = CreateEventW(nullptr, FALSE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME);
            change = reopened != nullptr ? reopened : m_SettingsEvents[1];
        }
        Sleep(SettingsRetryMs);
    }
    if (reopened != nullptr) {
        CloseHandle(reopened);
    }
    ResetEvent(marker);
    return 0;
}

VOID CQelAsioDriver::CompareSettings()
{
    try {
        OnSettingsChanged();
    } catch (...) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "exception while comparing the settings");
    }
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
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "mask 0x%X: index %u, %u Hz, \"%ls\"", (unsigned)mask,
                (unsigned)index, (unsigned)rate, selected);
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
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (opened != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "setup key not opened: %d", (int)opened);
        return FALSE;
    }
    DWORD type = 0;
    const LONG result = RegQueryValueExW(key, ControlPanelValue, nullptr, &type, reinterpret_cast<LPBYTE>(Buffer), Size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "\"%ls\" not read: %d, type %u", ControlPanelValue,
                    (int)result, (unsigned)type);
        return FALSE;
    }
    return TRUE;
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
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "the control panel's path is too long");
        return FALSE;
    }
    path[characters < ControlPanelPathChars ? characters : ControlPanelPathChars] = L'\0';
    if (path[0] == L'\0') {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "the control panel's path is empty");
        return FALSE;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateProcessW %ls failed: %u", path,
                    (unsigned)GetLastError());
        return TRUE;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ls started", path);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}
