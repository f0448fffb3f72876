// OVASIO's reset request, lost-session report, settings comparison and the notification
// thread that reloads the settings whenever the control panel signals a change.
#include "OVASIO.h"
#include <cstring>
#include <interlockedapi.h>
#include "DeviceList.h"
#include "Settings.h"

// At most once per driver object, whichever thread asks first: the flag is taken atomically
// before the control panel and the host hear of it.
VOID OVASIO::requestReset()
{
    ASIOCallbacks *callbacks = m_callbacks;
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) {
        return;
    }
    if (InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&m_resetRequested), 1, 0) != 0) {
        return;
    }
    if (m_settings != nullptr) {
        m_settings->sendResetMessage();
    }
    callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

VOID OVASIO::onSessionLost()
{
    m_sessionLost = 1;
    requestReset();
}

DWORD OVASIO::compareSettings(const OVSETTINGSRECORD *record)
{
    if (record == nullptr) {
        return 0;
    }
    const OVCURRENTSETTINGS current = {m_bufferFrames, m_lock, m_notify, m_sampleRate};
    BOOL otherDevice = FALSE;
    if (m_devices != nullptr && record->selected[0] != L'\0') {
        WCHAR key[OV_SELECTED_CHARS];
        memcpy(key, record->selected, sizeof(key));
        key[OV_SELECTED_CHARS - 1] = L'\0';
        int found = 0;
        int isSelected = 0;
        if (m_devices->findKey(key, &found, &isSelected) && found && !isSelected) {
            otherDevice = TRUE;
        }
    }
    return OvCompareSettings(*record, current, otherDevice);
}

// Exit code: 0, (DWORD)-1 when a notify handle is missing, (DWORD)-2 after a failed wait. A
// failed wait ends the loop: waiting again on handles that fail would spin.
DWORD WINAPI OVASIO::notificationThread(LPVOID context)
{
    OVASIO *driver = static_cast<OVASIO *>(context);
    if (driver == nullptr || driver->m_settings == nullptr) {
        return (DWORD)-1;
    }
    const HANDLE presence = driver->m_notifyHandles[OV_NOTIFY_PRESENCE];
    const HANDLE changed = driver->m_notifyHandles[OV_NOTIFY_SETTINGS_CHANGED];
    const HANDLE stop = driver->m_notifyHandles[OV_NOTIFY_STOP];
    if (presence == nullptr || changed == nullptr || stop == nullptr) {
        OutputDebugStringW(L"OVASIO::notificationThread: events missing\n");
        return (DWORD)-1;
    }
    OVSETTINGSRECORD record;
    memset(&record, 0, sizeof(record));
    DWORD result = 0;
    SetEvent(presence);
    const HANDLE waits[2] = {stop, changed};
    for (;;) {
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        if (wait != WAIT_OBJECT_0 + 1) {
            result = (DWORD)-2;
            if (wait == WAIT_FAILED) {
                break;
            }
            continue;
        }
        if (!driver->m_settings->load(&record)) {
            continue;
        }
        const DWORD mask = driver->compareSettings(&record);
        if (mask == 0) {
            continue;
        }
        ASIOCallbacks *callbacks = driver->m_callbacks;
        if (callbacks == nullptr || callbacks->asioMessage == nullptr) {
            driver->m_settingsChangedEarly = 1;
        } else if ((mask & (OV_CHANGED_BUFFER_SIZE | OV_CHANGED_SAMPLE_RATE | OV_CHANGED_SELECTED)) != 0) {
            driver->requestReset();
        }
    }
    ResetEvent(presence);
    return result;
}
