// The driver-use sync thread: waits for the driver-held mutex whenever a host has set the
// driver-in-use event, and runs the DSD fix-up each time the host lets go.
#include "DriverUseSync.h"
#include "ControlPanelTrace.h"
#include "NamedObjects.h"
#include <initializer_list>

CDriverUseSync::CDriverUseSync()
    : m_pTarget(nullptr), m_hThread(nullptr), m_hStopEvent(nullptr), m_hHeldMutex(nullptr), m_hInUseEvent(nullptr)
{
}

CDriverUseSync::~CDriverUseSync()
{
    Stop();
}

BOOL CDriverUseSync::Start(CDriverUseTarget *Target)
{
    if (Target == nullptr || m_hThread != nullptr) {
        return FALSE;
    }
    m_pTarget = Target;
    m_hInUseEvent = CreateEventW(nullptr, TRUE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
    if (m_hInUseEvent != nullptr) {
        m_hHeldMutex = CreateMutexW(nullptr, FALSE, OVM_DRIVER_HELD_MUTEX_NAME);
    }
    if (m_hHeldMutex != nullptr) {
        m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (m_hStopEvent != nullptr) {
        m_hThread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
    }
    if (m_hThread == nullptr) {
        // The first object that could not be made is the one still null.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "%s failed: 0x%08X",
                    m_hInUseEvent == nullptr   ? "driver-in-use event"
                    : m_hHeldMutex == nullptr  ? "driver-held mutex"
                    : m_hStopEvent == nullptr ? "stop event"
                                               : "CreateThread",
                    (unsigned)GetLastError());
        Stop();
        return FALSE;
    }
    return TRUE;
}

void CDriverUseSync::Stop()
{
    if (m_hThread != nullptr) {
        if (m_hStopEvent != nullptr) {
            SetEvent(m_hStopEvent);
            WaitForSingleObject(m_hThread, INFINITE);
        } else {
            TerminateThread(m_hThread, 0);
        }
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    for (HANDLE *slot : {&m_hStopEvent, &m_hHeldMutex, &m_hInUseEvent}) {
        if (*slot != nullptr) {
            CloseHandle(*slot);
            *slot = nullptr;
        }
    }
    m_pTarget = nullptr;
}

BOOL CDriverUseSync::IsDriverInUse() const
{
    return m_hInUseEvent != nullptr && WaitForSingleObject(m_hInUseEvent, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI CDriverUseSync::ThreadProc(LPVOID Context)
{
    return static_cast<CDriverUseSync *>(Context)->Run();
}

DWORD CDriverUseSync::Run()
{
    for (;;) {
        // Owning the driver-held mutex means no host has the driver; a host that died holding
        // it has let go as well.
        const HANDLE heldWaits[2] = {m_hHeldMutex, m_hStopEvent};
        DWORD wait = WaitForMultipleObjects(2, heldWaits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "no host holds the driver%s",
                        wait == WAIT_ABANDONED_0 ? " (abandoned by a host that ended)" : "");
            m_pTarget->FixDsdRate();
            ResetEvent(m_hInUseEvent);
            ReleaseMutex(m_hHeldMutex);
        } else if (wait == WAIT_OBJECT_0 + 1) {
            break;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "driver-held mutex wait 0x%08X failed: 0x%08X",
                        (unsigned)wait, (unsigned)GetLastError());
        }
        const HANDLE useWaits[2] = {m_hInUseEvent, m_hStopEvent};
        wait = WaitForMultipleObjects(2, useWaits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + 1) {
            break;
        }
        if (wait == WAIT_OBJECT_0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "a host has taken the driver");
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "driver-in-use event wait 0x%08X failed: 0x%08X",
                        (unsigned)wait, (unsigned)GetLastError());
        }
    }
    return 0;
}
