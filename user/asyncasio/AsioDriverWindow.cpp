// The hidden message window of the asynchronous ASIO driver: its thread, which holds the named
// objects that tell other hosts and the control panel that a host has the driver, and the power
// handling that stops the stream at suspend and brings it back at resume.
#include "QelAsioDriver.h"
#include "NamedObjects.h"
#include "AsioDriverTrace.h"
#include "AsioTraceNames.h"

namespace {

const WCHAR WindowClassName[] = L"OVMLSAASO";
const char TextUsedByAnotherHost[] = "Used by another ASIO host\n";
const char TextNoResource[] = "No sufficient system resource\n";
const UINT ResumePollMs = 100;

} // namespace

DWORD WINAPI CQelAsioDriver::MessageThreadProc(LPVOID Context)
{
    MarkDriverThread();
    return static_cast<CQelAsioDriver *>(Context)->MessageThread();
}

DWORD CQelAsioDriver::MessageThread()
{
    BOOL hostMutexCreated = FALSE;
    BOOL heldMutexWaited = FALSE;
    BOOL windowMade = FALSE;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    do {
        m_HostMutex = CreateMutexW(nullptr, TRUE, OVM_HOST_EXCLUSIVE_MUTEX_NAME);
        if (m_HostMutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "host-exclusivity mutex: %u", (unsigned)GetLastError());
            SetError(TextUsedByAnotherHost);
            break;
        }
        hostMutexCreated = TRUE;
        m_HeldMutex = CreateMutexW(nullptr, FALSE, OVM_DRIVER_HELD_MUTEX_NAME);
        if (m_HeldMutex == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "driver-held mutex: %u", (unsigned)GetLastError());
            SetError(TextNoResource);
            break;
        }
        // An abandoned mutex is held as well.
        WaitForSingleObject(m_HeldMutex, INFINITE);
        heldMutexWaited = TRUE;
        m_InUseEvent = CreateEventW(nullptr, TRUE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
        if (m_InUseEvent == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "driver-in-use event: %u", (unsigned)GetLastError());
            SetError(TextNoResource);
            break;
        }
        {
            CMutexLock lock(m_SettingsMutex);
            SetEvent(m_InUseEvent);
        }
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = (HBRUSH)(INT_PTR)(COLOR_WINDOW + 1);
        windowClass.lpszClassName = WindowClassName;
        RegisterClassExW(&windowClass);
        const HWND window = CreateWindowExW(0, WindowClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                            0, 0, nullptr, nullptr, instance, this);
        if (window == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateWindowExW failed: %u", (unsigned)GetLastError());
            SetError(TextNoResource);
            break;
        }
        windowMade = TRUE;
        m_Window.store(window);
        SetEvent(m_WindowReady);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        KillTimer(window, QEL_ASIO_RESUME_TIMER);
        KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
        DestroyWindow(window);
    } while (FALSE);
    // The class points into this library: it never stays registered after the thread.
    UnregisterClassW(WindowClassName, instance);

    if (m_InUseEvent != nullptr) {
        {
            CMutexLock lock(m_SettingsMutex);
            ResetEvent(m_InUseEvent);
        }
        CloseHandle(m_InUseEvent);
        m_InUseEvent = nullptr;
    }
    if (m_HeldMutex != nullptr) {
        if (heldMutexWaited) {
            ReleaseMutex(m_HeldMutex);
        }
        CloseHandle(m_HeldMutex);
        m_HeldMutex = nullptr;
    }
    if (m_HostMutex != nullptr) {
        if (hostMutexCreated) {
            ReleaseMutex(m_HostMutex);
        }
        CloseHandle(m_HostMutex);
        m_HostMutex = nullptr;
    }
    if (!windowMade) {
        m_Window.store(nullptr);
        SetEvent(m_WindowReady);
    }
    return 0;
}

LRESULT CALLBACK CQelAsioDriver::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam)
{
    if (Message == WM_CREATE) {
        const auto *create = reinterpret_cast<const CREATESTRUCTW *>(LParam);
        SetWindowLongPtrW(Window, GWLP_USERDATA, (LONG_PTR)create->lpCreateParams);
        return 0;
    }
    auto *driver = reinterpret_cast<CQelAsioDriver *>(GetWindowLongPtrW(Window, GWLP_USERDATA));
    if (driver == nullptr) {
        return DefWindowProcW(Window, Message, WParam, LParam);
    }
    switch (Message) {
    case WM_POWERBROADCAST:
        if (WParam == PBT_APMSUSPEND) {
            driver->OnSuspend();
        } else if (WParam == PBT_APMRESUMEAUTOMATIC) {
            driver->OnResume();
        }
        return 0;
    case WM_TIMER:
        if (WParam == QEL_ASIO_RESUME_TIMER) {
            driver->OnResume();
        } else if (WParam == QEL_ASIO_SUSPENDED_TIMER) {
            driver->OnSuspendedTick();
        }
        return 0;
    default:
        return DefWindowProcW(Window, Message, WParam, LParam);
    }
}

VOID CQelAsioDriver::OnSuspend()
{
    const HWND window = m_Window.load();
    {
        CCritSecLock lock(m_DriverLock);
        if (m_ResumePolls != 0 && window != nullptr) {
            KillTimer(window, QEL_ASIO_RESUME_TIMER);
        }
        m_ResumePolls = 0;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "state %s", AsioStateName(m_State.load()));
        if (m_State.load() == QEL_ASIO_RUNNING) {
            StopStreaming();
            m_State.store(QEL_ASIO_SUSPENDED);
            const DWORD rate = m_CurrentRate;
            const DWORD size = m_HostBufferSize;
            if (rate != 0 && size != 0 && window != nullptr) {
                SetTimer(window, QEL_ASIO_SUSPENDED_TIMER, SuspendedTickMs(rate, size), nullptr);
            }
        }
    }
    FlushReset();
}

// Runs at the resume broadcast and at every tick of the resume timer: the device gets ten
// polls, 100 ms apart, to come back before the host is asked for a reset.
VOID CQelAsioDriver::OnResume()
{
    const HWND window = m_Window.load();
    {
        CCritSecLock lock(m_DriverLock);
        if (m_State.load() == QEL_ASIO_SUSPENDED) {
            if (m_ResumePolls != 0 && window != nullptr) {
                KillTimer(window, QEL_ASIO_RESUME_TIMER);
            }
            BOOL on = FALSE;
            BOOL restart = FALSE;
            if (m_ResumePolls >= QEL_ASIO_RESUME_POLLS || !m_Group.IsPowered(&on)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "power state not read (poll %u of %u)",
                            (unsigned)m_ResumePolls, (unsigned)QEL_ASIO_RESUME_POLLS);
                KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
                m_ResetNeeded.store(1);
                m_ResumePolls = 0;
            } else if (!on) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "the device is off at poll %u",
                            (unsigned)m_ResumePolls + 1);
                if (++m_ResumePolls >= QEL_ASIO_RESUME_POLLS) {
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "the device stayed off for %u polls",
                                (unsigned)m_ResumePolls);
                    KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
                    m_ResetNeeded.store(1);
                    m_ResumePolls = 0;
                } else {
                    SetTimer(window, QEL_ASIO_RESUME_TIMER, ResumePollMs, nullptr);
                }
            } else {
                restart = TRUE;
            }
            if (restart) {
                KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
                if (StartStreaming(FALSE) != ASE_OK) {
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "not restarted after the resume");
                    m_ResetNeeded.store(1);
                }
                m_ResumePolls = 0;
            }
        } else {
            if (window != nullptr) {
                KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
                KillTimer(window, QEL_ASIO_RESUME_TIMER);
            }
            m_ResumePolls = 0;
        }
    }
    FlushReset();
}

// The suspended-position timer moves the position only while the driver is suspended; once a
// start has brought the stream back, a late tick does nothing.
VOID CQelAsioDriver::OnSuspendedTick()
{
    CCritSecLock lock(m_DriverLock);
    if (m_State.load() == QEL_ASIO_SUSPENDED) {
        BufferSwitch(TRUE);
    }
}
