// Creation, init and destruction of the standard ASIO driver object.
#include "OVASIO.h"
#include "DeviceList.h"
#include "OVASIOTrace.h"
#include "PerfLog.h"
#include "Queue.h"
#include "Settings.h"
#include "Stream.h"
#include <cstring>
#include <new>

namespace {

VOID CloseSlot(HANDLE *slot)
{
    if (*slot != nullptr) {
        CloseHandle(*slot);
        *slot = nullptr;
    }
}

} // namespace

OVASIO::OVASIO(IUnknown *outer)
    : CUnknown(L"OVASIO", outer), m_devices(nullptr), m_lock(0), m_notify(0), m_bufferFrames(0), m_periodTenths(0),
      m_sampleRate(0), m_deviceId(), m_settingsScratch(nullptr), m_settings(nullptr), m_inputChannels(0),
      m_outputChannels(0), m_bitsPerSample(0), m_bytesPerSample(0), m_currentFrames(0), m_halfBytes(0),
      m_activeInputs(0), m_activeOutputs(0), m_openedStreams(0), m_inputBuffers(nullptr), m_outputBuffers(nullptr),
      m_inputActive(nullptr), m_outputActive(nullptr), m_captureStaging(nullptr), m_render(nullptr), m_capture(nullptr),
      m_renderQueue(nullptr), m_renderSessionEvents(nullptr), m_captureSessionEvents(nullptr), m_captureStep(0),
      m_renderStep(0), m_halfIndex(0), m_state(OVASIO_STATE_CONSTRUCTED), m_savedState(0), m_callbacks(nullptr),
      m_errorText(), m_firstPeriod(0), m_skipOnce(0), m_timeInfoMode(0), m_timeCodeOn(0), m_samplePosition(0.0),
      m_systemTime(), m_asioTime(), m_engineRun(0), m_engineThread(nullptr), m_engineThreadId(0),
      m_captureEvent(nullptr), m_queueSpaceEvent(nullptr), m_stopEvent(nullptr), m_waitHandles(),
      m_driverMutex(nullptr), m_notifyHandles(),
      m_notificationThread(nullptr), m_resetRequested(0), m_settingsChangedEarly(0), m_sessionLost(0), m_shortPeriod(0),
      m_rateDiffers(0), m_pendingRate(0.0), m_lastSwitchTime(0), m_messageThread(nullptr), m_windowReady(nullptr),
      m_window(nullptr), m_resumeCounter(0), m_restartRender(0), m_timeFlagsSet(0), m_timeFlagsClear(0),
      m_dropOutShowing(0)
{
    WPP_INIT_TRACING(L"OVMLSASO");
}

BOOL OVASIO::createParts()
{
    m_devices = new (std::nothrow) OVDEVICELIST();
    m_settings = new (std::nothrow) OVSETTINGS();
    m_settingsScratch = new (std::nothrow) OVSETTINGSRECORD(OvDefaultSettings);
    m_renderQueue = new (std::nothrow) OVQUEUE();
    return m_devices != nullptr && m_settings != nullptr && m_settingsScratch != nullptr && m_renderQueue != nullptr;
}

INonDelegatingUnknown *OVASIO::CreateInstance(IUnknown *outer, HRESULT *phr)
{
    UNREFERENCED_PARAMETER(phr);
    OVASIO *driver = new (std::nothrow) OVASIO(outer);
    if (driver == nullptr) {
        return nullptr;
    }
    if (!driver->createParts()) {
        delete driver;
        return nullptr;
    }
    return driver;
}

HRESULT STDMETHODCALLTYPE OVASIO::InnerQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualCLSID(riid, CLSID_OVASIO)) {
        return ReturnInterface(static_cast<IASIO *>(this), ppv);
    }
    return CUnknown::InnerQueryInterface(riid, ppv);
}

VOID OVASIO::setError(const char *text)
{
    std::strncpy(m_errorText, text, sizeof(m_errorText) - 1);
    m_errorText[sizeof(m_errorText) - 1] = '\0';
}

ASIOBool OVASIO::init(void *sysHandle)
{
    UNREFERENCED_PARAMETER(sysHandle);
    PerfLogReset();
    if (m_state != OVASIO_STATE_CONSTRUCTED) {
        setError(OVASIO_ERROR_INITIALIZED);
        m_settings->sendStreamStateMessage(OVASIO_STREAM_FAILED);
        return ASIOFalse;
    }
    selectDevice();
    do {
        if (!m_devices->hasDevices()) {
            setError(OVASIO_ERROR_NO_DEVICE);
            break;
        }
        m_pendingRate = 0.0;
        m_render = new (std::nothrow) OVRENDER(this, m_renderQueue);
        m_capture = m_render != nullptr ? new (std::nothrow) OVCAPTURE(this) : nullptr;
        if (m_render == nullptr || m_capture == nullptr) {
            setError(OVASIO_ERROR_NO_MEMORY);
            break;
        }
        m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_stopEvent == nullptr) {
            setError(OVASIO_ERROR_NO_MEMORY);
            break;
        }
        m_driverMutex = CreateMutexW(nullptr, FALSE, nullptr);
        if (m_driverMutex == nullptr) {
            setError(OVASIO_ERROR_NO_MEMORY);
            break;
        }
        if (!m_settings->createStateEvents()) {
            setError(OVASIO_ERROR_NO_MEMORY);
            break;
        }
        if (m_settings->createNotifyEvents(m_notifyHandles) != OV_NOTIFY_EVENTS_OK) {
            break;
        }
        m_notificationThread = CreateThread(nullptr, 0, notificationThread, this, 0, nullptr);
        if (m_notificationThread == nullptr) {
            m_settings->closeNotifyEvents(m_notifyHandles);
            break;
        }
        m_windowReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_window = nullptr;
        if (m_windowReady == nullptr) {
            break;
        }
        m_messageThread = CreateThread(nullptr, 0, messageThread, this, 0, nullptr);
        if (m_messageThread == nullptr) {
            break;
        }
        WaitForSingleObject(m_windowReady, INFINITE);
        if (m_window == nullptr) {
            break;
        }
        m_state = OVASIO_STATE_INITIALIZED;
        return ASIOTrue;
    } while (FALSE);
    undoInit();
    return ASIOFalse;
}

VOID OVASIO::endMessageThread()
{
    if (m_messageThread != nullptr) {
        if (m_window != nullptr) {
            PostMessageW(m_window, WM_QUIT, 0, 0);
            m_window = nullptr;
        }
        WaitForSingleObject(m_messageThread, INFINITE);
        CloseSlot(&m_messageThread);
    }
    CloseSlot(&m_windowReady);
}

// The notification thread ends on its stop event; without one it never started its loop.
VOID OVASIO::endNotificationThread()
{
    if (m_notificationThread != nullptr) {
        if (m_notifyHandles[OV_NOTIFY_STOP] != nullptr) {
            SetEvent(m_notifyHandles[OV_NOTIFY_STOP]);
        }
        WaitForSingleObject(m_notificationThread, INFINITE);
        CloseSlot(&m_notificationThread);
    }
    m_settings->closeNotifyEvents(m_notifyHandles);
}

// A failed init leaves nothing running: the threads it started end and every handle it made
// is closed, so that a later init on the same object starts from scratch.
VOID OVASIO::undoInit()
{
    endMessageThread();
    endNotificationThread();
    m_settings->closeStateEvents();
    CloseSlot(&m_driverMutex);
    CloseSlot(&m_stopEvent);
    delete m_capture;
    m_capture = nullptr;
    delete m_render;
    m_render = nullptr;
    m_settings->sendStreamStateMessage(OVASIO_STREAM_FAILED);
}

VOID OVASIO::shutdown()
{
    if (m_state == OVASIO_STATE_RUNNING) {
        stop();
    }
    if (m_state == OVASIO_STATE_PREPARED) {
        disposeBuffers();
    }
    if (m_settings == nullptr) {
        return;
    }
    if (m_resetRequested == 0) {
        m_settings->sendStreamStateMessage(OVASIO_STREAM_DESTROYED);
    }
    endMessageThread();
    endNotificationThread();
    m_settings->closeStateEvents();
    CloseSlot(&m_driverMutex);
    CloseSlot(&m_stopEvent);
    delete m_render;
    m_render = nullptr;
    delete m_capture;
    m_capture = nullptr;
}

namespace {

// Set on the driver's own threads, whose callers must not be torn down under them.
thread_local bool t_DriverThread = false;

} // namespace

VOID OVASIO::markDriverThread()
{
    t_DriverThread = true;
}

DWORD WINAPI OVASIO::teardownThreadProc(LPVOID context)
{
    delete static_cast<OVASIO *>(context);
    return 0;
}

VOID OVASIO::FinalRelease()
{
    if (!t_DriverThread) {
        delete this;
        return;
    }
    if (m_engineThread != nullptr && GetCurrentThreadId() == m_engineThreadId) {
        // No buffer switch follows the one that released the driver.
        m_engineRun = 0;
    }
    const HANDLE thread = CreateThread(nullptr, 0, teardownThreadProc, this, 0, nullptr);
    if (thread == nullptr) {
        // Left as it is rather than torn down under the thread that runs it.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateThread (teardown) failed: %u",
                    (unsigned)GetLastError());
        return;
    }
    CloseHandle(thread);
}

OVASIO::~OVASIO()
{
    shutdown();
    writePerfLog();
    WPP_CLEANUP();
    delete m_settings;
    delete m_settingsScratch;
    delete m_devices;
    delete m_renderQueue;
}

VOID OVASIO::writePerfLog()
{
    PerfLogWrite(PERF_LOG_PATH);
}

void OVASIO::getDriverName(char *name)
{
    if (name != nullptr) {
        std::strcpy(name, OVASIO_DRIVER_NAME_ANSI);
    }
}

int32_t OVASIO::getDriverVersion()
{
    return 1;
}

// Hosts pass a buffer of at least 124 bytes; the text never comes near that.
void OVASIO::getErrorMessage(char *string)
{
    if (string != nullptr) {
        const size_t length = strnlen(m_errorText, 123);
        std::memcpy(string, m_errorText, length);
        string[length] = '\0';
    }
}
