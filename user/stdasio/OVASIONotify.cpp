// OVASIO's reset request, lost-session report, settings comparison and the notification
// thread that reloads the settings whenever the control panel signals a change.
#include "OVASIO.h"
#include <cstring>
#include <interlockedapi.h>
#include "DeviceList.h"
#include "Settings.h"
#include "OVASIOTrace.h"

// At most once per driver object, whichever thread asks first: the flag is taken atomically
// before the control panel and the host hear of it.
VOID OVASIO::requestReset()
{
    ASIOCallbacks *callbacks = m_callbacks;
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) {
        return;
    }
    if (InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&m_resetRequested), 1, 0) != 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "reset already requested");
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "reset requested");
    if (m_settings != nullptr) {
        m_settings->sendResetMessage();
    }
    callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

VOID OVASIO::onSessionLost()
{
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "stream session lost");
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

namespace {

// Failed waits in a row after which the thread gives up even though its handles answer.
const DWORD NotifyWaitRetries = 3;

enum class wait_repair {
    stop,    // the stop event was signalled
    changed, // the settings changed
    retry,   // the handles answer again: wait again
    lost,    // the thread cannot go on
};

// After a failed wait, finds the handle that no longer answers. The settings-changed event is
// named and is opened again; the stop event is the driver's own and cannot be, and a thread
// that nothing can stop must end. A zero wait on a signalled event consumes the signal, so a
// signal found here is acted on.
wait_repair RepairNotifyWait(OVASIO *driver, HANDLE stop, HANDLE *changed)
{
    const DWORD stopState = WaitForSingleObject(stop, 0);
    if (stopState == WAIT_OBJECT_0) {
        return wait_repair::stop;
    }
    if (stopState == WAIT_FAILED) {
        return wait_repair::lost;
    }
    const DWORD changedState = WaitForSingleObject(*changed, 0);
    if (changedState == WAIT_OBJECT_0) {
        return wait_repair::changed;
    }
    if (changedState != WAIT_FAILED) {
        return wait_repair::retry;
    }
    *changed = driver->m_settings->reopenSettingsChanged(driver->m_notifyHandles);
    return *changed != nullptr ? wait_repair::retry : wait_repair::lost;
}

} // namespace

// Exit code: 0, (DWORD)-1 when a notify handle is missing, (DWORD)-2 after a failed wait. A
// failed wait is repaired where a handle can be opened again; when the thread must end, it
// does not end silently: the host is asked for a reset (or the next createBuffers asks), and
// the new driver object a reset brings follows the panel again.
DWORD WINAPI OVASIO::notificationThread(LPVOID context)
{
    markDriverThread();
    OVASIO *driver = static_cast<OVASIO *>(context);
    if (driver == nullptr || driver->m_settings == nullptr) {
        return (DWORD)-1;
    }
    const HANDLE presence = driver->m_notifyHandles[OV_NOTIFY_PRESENCE];
    HANDLE changed = driver->m_notifyHandles[OV_NOTIFY_SETTINGS_CHANGED];
    const HANDLE stop = driver->m_notifyHandles[OV_NOTIFY_STOP];
    if (presence == nullptr || changed == nullptr || stop == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "notification events missing");
        return (DWORD)-1;
    }
    OVSETTINGSRECORD record;
    memset(&record, 0, sizeof(record));
    DWORD result = 0;
    DWORD failures = 0;
    SetEvent(presence);
    for (;;) {
        const HANDLE waits[2] = {stop, changed};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        if (wait != WAIT_OBJECT_0 + 1) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "wait answered 0x%08X (%u)", (unsigned)wait,
                        (unsigned)GetLastError());
            result = (DWORD)-2;
            const wait_repair repair = RepairNotifyWait(driver, stop, &changed);
            if (repair == wait_repair::stop) {
                break;
            }
            if (repair == wait_repair::lost || ++failures > NotifyWaitRetries) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "waits fail, settings no longer followed");
                driver->reportLostNotifications();
                break;
            }
            if (repair == wait_repair::retry) {
                continue;
            }
        }
        failures = 0;
        if (!driver->m_settings->load(&record)) {
            continue;
        }
        const DWORD mask = driver->compareSettings(&record);
        if (mask == 0) {
            continue;
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "settings changed: mask 0x%X", (unsigned)mask);
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

VOID OVASIO::reportLostNotifications()
{
    ASIOCallbacks *callbacks = m_callbacks;
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) {
        m_settingsChangedEarly = 1;
    } else {
        requestReset();
    }
}
