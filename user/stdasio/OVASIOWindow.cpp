// The standard ASIO driver's hidden message window: its thread, the power handling that stops
// streaming at suspend and restarts it a second after resume, and the drop-out box.
#include "OVASIO.h"
#include "OVASIOTrace.h"

namespace {

const WCHAR WindowClassName[] = L"OVASIO";
const UINT ResumeDelayMs = 1000;
const UINT ResumeStepMs = 100;

} // namespace

DWORD WINAPI OVASIO::messageThread(LPVOID context)
{
    markDriverThread();
    return static_cast<OVASIO *>(context)->runMessageThread();
}

DWORD OVASIO::runMessageThread()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WindowClassName;
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowExW(0, WindowClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0,
                                        0, nullptr, nullptr, instance, this);
    if (window == nullptr) {
        // The class goes with the failed window: left registered, it would outlive this
        // module and hand its procedure address to the next load's windows.
        UnregisterClassW(WindowClassName, instance);
        m_window = nullptr;
        SetEvent(m_windowReady);
        return 0;
    }
    m_window = window;
    SetEvent(m_windowReady);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (m_resumeCounter != 0) {
        KillTimer(window, OVASIO_RESUME_TIMER);
        m_resumeCounter = 0;
    }
    DestroyWindow(window);
    UnregisterClassW(WindowClassName, instance);
    return 0;
}

// Each window serves the driver object that created it: the object is kept with the window,
// not in one process-wide pointer that a second object would overwrite and a destroyed one
// would leave dangling.
LRESULT CALLBACK OVASIO::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        const auto *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)create->lpCreateParams);
        return 0;
    }
    OVASIO *const driver = reinterpret_cast<OVASIO *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (driver == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMSUSPEND) {
            driver->onSuspend();
        } else if (wParam == PBT_APMRESUMEAUTOMATIC) {
            driver->onResume();
        }
        return 0;
    case WM_TIMER:
        if (wParam == OVASIO_RESUME_TIMER) {
            driver->onResume();
            return 0;
        }
        break;
    case OVASIO_WM_DROPOUT:
        driver->showDropOut();
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Message-window thread.
VOID OVASIO::onSuspend()
{
    if (m_resumeCounter != 0) {
        KillTimer(m_window, OVASIO_RESUME_TIMER);
    }
    m_savedState = m_state;
    m_resumeCounter = 0;
    if (m_state == OVASIO_STATE_RUNNING) {
        stopStreaming(FALSE);
        m_restartRender = 1;
    }
}

// Message-window thread. The first resume arms the timer; the timer, or a second resume while
// it is pending, restarts streaming without resetting the positions.
VOID OVASIO::onResume()
{
    WaitForSingleObject(m_driverMutex, INFINITE);
    if (m_resumeCounter != 0) {
        KillTimer(m_window, OVASIO_RESUME_TIMER);
    }
    if (m_savedState != OVASIO_STATE_RUNNING) {
        m_resumeCounter = 0;
    } else if (m_resumeCounter < OVASIO_RESUME_PENDING && m_resumeCounter * ResumeStepMs < ResumeDelayMs) {
        SetTimer(m_window, OVASIO_RESUME_TIMER, ResumeDelayMs - m_resumeCounter * ResumeStepMs, nullptr);
        m_resumeCounter = OVASIO_RESUME_PENDING;
    } else {
        const ASIOError result = startStreaming(FALSE);
        if (result != ASE_OK) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "restart after resume failed: %d", (int)result);
            requestReset();
        }
        m_resumeCounter = 0;
    }
    ReleaseMutex(m_driverMutex);
}
