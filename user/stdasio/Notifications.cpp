// OVSETTINGS signals: the named events shared with the standard control-panel program, the
// three registered messages sent to its window, and the start of that program.
#include "Notifications.h"
#include "Settings.h"
#include "OVASIOTrace.h"

const WCHAR OvControlPanelTitle[] = L"Orvan Marla Series Audio Driver Control Panel";
const WCHAR OvStreamingEventName[] = L"{05D5034C-E589-4e7b-9F88-3A126D13A852}";
const WCHAR OvSpareEventName[] = L"{C1BB5B50-C78D-46cb-8E07-35FB822F84B0}";
const WCHAR OvPresenceEventName[] = L"{A35E532A-CC18-4c77-93AF-EAC2AD42F99E}0";
const WCHAR OvSettingsChangedEventName[] = L"{A35E532A-CC18-4c77-93AF-EAC2AD42F99E}1";
const WCHAR OvStreamStateMessageName[] = L"{D0DD3551-B394-450b-A261-839C13B405C3}.NRC";
const WCHAR OvResetMessageName[] = L"{D0DD3551-B394-450b-A261-839C13B405C3}.NRA";

namespace {

const WCHAR SetupKey[] = L"SOFTWARE\\Orvan\\Marla Series Setup";
const WCHAR ControlPanelValue[] = L"ControlPanel";
// The program path is read into 256 bytes of a Windows build: 128 characters.
const DWORD ControlPanelPathChars = 128;

VOID CloseAndNull(HANDLE *handle)
{
    if (*handle != nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

// The message is looked up by name at each send, so it is the one the control panel of the
// running session registered under that name.
VOID SendToControlPanel(LPCWSTR messageName, WPARAM wParam)
{
    const HWND window = FindWindowW(nullptr, OvControlPanelTitle);
    if (window == nullptr) {
        return;
    }
    const UINT message = RegisterWindowMessageW(messageName);
    if (message != 0) {
        SendMessageW(window, message, wParam, 0);
    }
}

} // namespace

OVSETTINGS::OVSETTINGS()
{
    clear();
}

OVSETTINGS::~OVSETTINGS()
{
    closeAll();
}

VOID OVSETTINGS::clear()
{
    m_streamingEvent = nullptr;
    m_spareEvent = nullptr;
    m_presenceEvent = nullptr;
    m_settingsChangedEvent = nullptr;
    m_notifyStopEvent = nullptr;
}

VOID OVSETTINGS::closeAll()
{
    CloseAndNull(&m_streamingEvent);
    CloseAndNull(&m_spareEvent);
    CloseAndNull(&m_presenceEvent);
    CloseAndNull(&m_settingsChangedEvent);
    CloseAndNull(&m_notifyStopEvent);
}

BOOL OVSETTINGS::createStateEvents()
{
    if (m_streamingEvent == nullptr) {
        m_streamingEvent = CreateEventW(nullptr, TRUE, FALSE, OvStreamingEventName);
    }
    if (m_streamingEvent == nullptr) {
        return FALSE;
    }
    if (m_spareEvent == nullptr) {
        m_spareEvent = CreateEventW(nullptr, TRUE, FALSE, OvSpareEventName);
    }
    return m_spareEvent != nullptr;
}

BOOL OVSETTINGS::closeStateEvents()
{
    CloseAndNull(&m_streamingEvent);
    CloseAndNull(&m_spareEvent);
    return TRUE;
}

BOOL OVSETTINGS::setRunning(BOOL on)
{
    if (m_streamingEvent == nullptr) {
        return FALSE;
    }
    return on ? SetEvent(m_streamingEvent) : ResetEvent(m_streamingEvent);
}

// A second init on the same object finds the handles of the first still open; they are
// replaced, not leaked.
DWORD OVSETTINGS::createNotifyEvents(HANDLE triple[OV_NOTIFY_HANDLES])
{
    CloseAndNull(&m_presenceEvent);
    CloseAndNull(&m_settingsChangedEvent);
    CloseAndNull(&m_notifyStopEvent);
    DWORD result = OV_NOTIFY_EVENTS_OK;
    m_presenceEvent = CreateEventW(nullptr, TRUE, FALSE, OvPresenceEventName);
    if (m_presenceEvent == nullptr) {
        result = OV_NOTIFY_EVENTS_NO_PRESENCE;
    } else {
        ResetEvent(m_presenceEvent);
        m_settingsChangedEvent = CreateEventW(nullptr, FALSE, FALSE, OvSettingsChangedEventName);
        if (m_settingsChangedEvent == nullptr) {
            result = OV_NOTIFY_EVENTS_NO_SETTINGS_CHANGED;
        } else {
            ResetEvent(m_settingsChangedEvent);
            m_notifyStopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            if (m_notifyStopEvent == nullptr) {
                result = OV_NOTIFY_EVENTS_NO_STOP;
            }
        }
    }
    if (result != OV_NOTIFY_EVENTS_OK) {
        CloseAndNull(&m_presenceEvent);
        CloseAndNull(&m_settingsChangedEvent);
        CloseAndNull(&m_notifyStopEvent);
        return result;
    }
    if (triple != nullptr) {
        triple[OV_NOTIFY_PRESENCE] = m_presenceEvent;
        triple[OV_NOTIFY_SETTINGS_CHANGED] = m_settingsChangedEvent;
        triple[OV_NOTIFY_STOP] = m_notifyStopEvent;
    }
    return OV_NOTIFY_EVENTS_OK;
}

VOID OVSETTINGS::closeNotifyEvents(HANDLE triple[OV_NOTIFY_HANDLES])
{
    CloseAndNull(&m_presenceEvent);
    CloseAndNull(&m_settingsChangedEvent);
    CloseAndNull(&m_notifyStopEvent);
    if (triple != nullptr) {
        for (DWORD i = 0; i < OV_NOTIFY_HANDLES; i++) {
            triple[i] = nullptr;
        }
    }
}

HANDLE OVSETTINGS::reopenSettingsChanged(HANDLE triple[OV_NOTIFY_HANDLES])
{
    m_settingsChangedEvent = CreateEventW(nullptr, FALSE, FALSE, OvSettingsChangedEventName);
    if (triple != nullptr) {
        triple[OV_NOTIFY_SETTINGS_CHANGED] = m_settingsChangedEvent;
    }
    return m_settingsChangedEvent;
}

VOID OVSETTINGS::sendRateMessage(DWORD rate)
{
    SendToControlPanel(OvControlPanelTitle, rate);
}

VOID OVSETTINGS::sendStreamStateMessage(WPARAM value)
{
    SendToControlPanel(OvStreamStateMessageName, value);
}

VOID OVSETTINGS::sendResetMessage()
{
    SendToControlPanel(OvResetMessageName, 0);
}

BOOL OVSETTINGS::getControlPanelPath(LPWSTR buffer, DWORD *bytes)
{
    if (buffer == nullptr || bytes == nullptr) {
        return FALSE;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD type = REG_NONE;
    const LSTATUS status =
        RegQueryValueExW(key, ControlPanelValue, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ;
}

// The path is terminated after the characters read, whether or not the value carried its
// terminator, before it names a program.
BOOL OVSETTINGS::launchControlPanel()
{
    WCHAR path[ControlPanelPathChars + 1] = {};
    DWORD bytes = ControlPanelPathChars * sizeof(WCHAR);
    if (!getControlPanelPath(path, &bytes)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "no control panel registered");
        return FALSE;
    }
    path[bytes / sizeof(WCHAR)] = L'\0';
    if (path[0] == L'\0') {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "control panel path empty");
        return FALSE;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateProcessW(%ls) failed: %u", path,
                    (unsigned)GetLastError());
    }
    return TRUE;
}
