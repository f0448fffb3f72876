// Creation, init and teardown of the asynchronous ASIO driver object, and the IASIO methods that
// only report the driver's identity.
#include "QelAsioDriver.h"
#include "AsioDriverIds.h"
#include "AsioDriverTrace.h"
#include "AsioTraceNames.h"
#include "NamedObjects.h"
#include "RateTables.h"
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace {

const char TextInitializedBefore[] = "ASIO driver was initialized before this time.\n";
const char TextNoResource[] = "No sufficient system resource\n";
const char TextNoDevice[] = "No device\n";
const char TextNoChannel[] = "No channel\n";
const char TextUnsupportedBits[] = "Unsupported bits per sample.\n";
const char DriverName[] = "Orvan Marla Series Async ASIO";

// A DLL's globals are per process: each process may hold one driver object of its own. An
// entry whose object is being torn down on a thread of its own (released from inside one of
// its callbacks) keeps the process's place until the teardown has ended.
struct InstanceEntry {
    DWORD process;
    INonDelegatingUnknown *instance;
    bool releasing;
};
std::mutex g_InstanceLock;
std::condition_variable g_InstanceGone;
std::vector<InstanceEntry> g_Instances;

// Set on the driver's stream, settings and message threads: a host's call on one of them must
// never wait for the driver's own threads.
thread_local bool t_DriverThread = false;

// A place held by a teardown in progress is waited for, except on a driver thread, whose
// return the teardown itself waits for.
bool ClaimInstance(DWORD process)
{
    std::unique_lock<std::mutex> guard(g_InstanceLock);
    for (;;) {
        auto found = std::find_if(g_Instances.begin(), g_Instances.end(),
                                  [&](const InstanceEntry &entry) { return entry.process == process; });
        if (found == g_Instances.end()) {
            g_Instances.push_back(InstanceEntry{process, nullptr, false});
            return true;
        }
        if (!found->releasing || t_DriverThread) {
            return false;
        }
        g_InstanceGone.wait(guard);
    }
}

void SetInstance(DWORD process, INonDelegatingUnknown *instance)
{
    std::lock_guard<std::mutex> guard(g_InstanceLock);
    for (auto it = g_Instances.begin(); it != g_Instances.end(); ++it) {
        if (it->process == process) {
            if (instance == nullptr) {
                g_Instances.erase(it);
                g_InstanceGone.notify_all();
            } else {
                it->instance = instance;
            }
            return;
        }
    }
}

void MarkReleasing(DWORD process, bool releasing)
{
    std::lock_guard<std::mutex> guard(g_InstanceLock);
    for (InstanceEntry &entry : g_Instances) {
        if (entry.process == process) {
            entry.releasing = releasing;
        }
    }
}

void CloseSlot(HANDLE *slot)
{
    if (*slot != nullptr) {
        CloseHandle(*slot);
        *slot = nullptr;
    }
}

} // namespace

CQelAsioDriver::CQelAsioDriver(IUnknown *outer)
    : CUnknown(L"QelAsioDriver", outer), m_IoFormat(), m_DsdSupported(0), m_BufferSizeIndex(BUFFER_INDEX_DEFAULT),
      m_CurrentRate(0), m_StoredRate(0), m_SelectedDevice(), m_SettingsMutex(nullptr), m_InputCount(0),
      m_OutputCount(0), m_InputBits(32), m_OutputBits(32), m_InputType(ASIOSTInt32LSB),
      m_OutputType(ASIOSTInt32LSB), m_Range(), m_BufferFrames(0), m_HostBufferSize(0), m_PreparedInputCount(0),
      m_PreparedOutputCount(0), m_PreparedInputBits(0), m_PreparedOutputBits(0), m_CurrentHalf(0),
      m_State(QEL_ASIO_LOADED), m_ResetPending(0), m_ResetNeeded(0), m_Callbacks(nullptr), m_ErrorText(),
      m_TimeInfoMode(0), m_TimeCode(0), m_SamplePosition(0.0), m_SystemTime(0), m_TimeInfo(), m_PendingTimeFlags(0),
      m_SettingsEvents(), m_SettingsThread(nullptr), m_SettingsStop(0), m_PendingRate(0.0), m_HostMutex(nullptr),
      m_HeldMutex(nullptr), m_InUseEvent(nullptr), m_MessageThread(nullptr), m_WindowReady(nullptr), m_Window(nullptr),
      m_ResumePolls(0), m_StreamStopEvent(nullptr), m_StreamThread(nullptr), m_StreamThreadId(0), m_StopFlag(0),
      m_OtherStops(0), m_OutputReadyMode(0), m_OutputWritten(0), m_WriteError(0), m_ReselectPending(FALSE),
      m_InitSucceeded(FALSE), m_OwnerProcess(GetCurrentProcessId())
{
    // The critical section exists with the object: the message window can call into power
    // handling before init has finished.
    m_DriverLock.Init();
    WPP_INIT_TRACING(L"OVMLSAASO");
}

INonDelegatingUnknown *CQelAsioDriver::CreateInstance(IUnknown *outer, HRESULT *phr)
{
    UNREFERENCED_PARAMETER(phr);
    const DWORD process = GetCurrentProcessId();
    if (!ClaimInstance(process)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "a driver object lives in process %u already",
                    (unsigned)process);
        return nullptr;
    }
    CQelAsioDriver *driver = new (std::nothrow) CQelAsioDriver(outer);
    if (driver == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "no memory for the driver object");
        SetInstance(process, nullptr);
        return nullptr;
    }
    SetInstance(process, driver);
    return driver;
}

HRESULT STDMETHODCALLTYPE CQelAsioDriver::InnerQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualCLSID(riid, CLSID_QelAsioDriver)) {
        return ReturnInterface(static_cast<IASIO *>(this), ppv);
    }
    return CUnknown::InnerQueryInterface(riid, ppv);
}

DWORD WINAPI CQelAsioDriver::TeardownThreadProc(LPVOID Context)
{
    delete static_cast<CQelAsioDriver *>(Context);
    return 0;
}

VOID CQelAsioDriver::MarkDriverThread()
{
    t_DriverThread = true;
}

// A host that lets go of the driver from inside a callback on one of the driver's threads (a
// reset request on the settings or stream thread, say) gets its Release back at once: the
// teardown, which waits for those threads, runs on a thread of its own, and the calling thread
// goes back to the host and then ends as the teardown tells it to.
VOID CQelAsioDriver::FinalRelease()
{
    if (!t_DriverThread) {
        delete this;
        return;
    }
    // Marked first: the teardown may have ended before CreateThread returns.
    MarkReleasing(m_OwnerProcess, true);
    const HANDLE thread = CreateThread(nullptr, 0, TeardownThreadProc, this, 0, nullptr);
    if (thread == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateThread (teardown) failed: %u",
                    (unsigned)GetLastError());
        // Left as it is rather than torn down under the thread that runs it.
        MarkReleasing(m_OwnerProcess, false);
        return;
    }
    CloseHandle(thread);
}

VOID CQelAsioDriver::SetError(const char *Text)
{
    std::strncpy(m_ErrorText, Text, sizeof(m_ErrorText) - 1);
    m_ErrorText[sizeof(m_ErrorText) - 1] = '\0';
}

ASIOBool CQelAsioDriver::init(void *sysHandle)
{
    UNREFERENCED_PARAMETER(sysHandle);
    try {
        if (m_State.load() != QEL_ASIO_LOADED) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "state %s: %s", AsioStateName(m_State.load()),
                        TextInitializedBefore);
            SetError(TextInitializedBefore);
            return ASIOFalse;
        }
        m_PendingRate = 0.0;
        if (!SYNCOBJ::CreateNamedMutex(&m_SettingsMutex, OVM_SETTINGS_MUTEX_NAME)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "settings mutex: %u", (unsigned)GetLastError());
            SetError(TextNoResource);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        m_WindowReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_WindowReady == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateEventW (window ready) failed: %u",
                        (unsigned)GetLastError());
            SetError(TextNoResource);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        m_Window.store(nullptr);
        m_MessageThread = CreateThread(nullptr, 0, MessageThreadProc, this, 0, nullptr);
        if (m_MessageThread == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateThread (message) failed: %u",
                        (unsigned)GetLastError());
            SetError(TextNoResource);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        WaitForSingleObject(m_WindowReady, INFINITE);
        if (m_Window.load() == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "no message window: %s", m_ErrorText);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        if (!m_Settings.Create()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "settings events: %u", (unsigned)GetLastError());
            SetError(TextNoResource);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        SelectDevice();
        if (m_Devices.GetCount() == 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s", TextNoDevice);
            SetError(TextNoDevice);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        if (m_InputCount == 0 && m_OutputCount == 0) {
            const BOOL opened = m_Group.GetInputCount() != 0 || m_Group.GetOutputCount() != 0;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s", opened ? TextUnsupportedBits : TextNoChannel);
            SetError(opened ? TextUnsupportedBits : TextNoChannel);
            CleanUpFailedInit();
            return ASIOFalse;
        }
        if (!m_Settings.GetHandles(&m_SettingsEvents[0], &m_SettingsEvents[1], &m_SettingsEvents[2])) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "settings events not copied: %u",
                        (unsigned)GetLastError());
            CleanUpFailedInit();
            return ASIOFalse;
        }
        m_SettingsStop.store(0);
        m_SettingsThread = CreateThread(nullptr, 0, SettingsThreadProc, this, 0, nullptr);
        if (m_SettingsThread == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateThread (settings) failed: %u",
                        (unsigned)GetLastError());
            CleanUpFailedInit();
            return ASIOFalse;
        }
        m_StreamStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_StreamStopEvent == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateEventW (stream stop) failed: %u",
                        (unsigned)GetLastError());
            CleanUpFailedInit();
            return ASIOFalse;
        }
        {
            CMutexLock lock(m_SettingsMutex);
            m_IoFormat.FormatType = kASIOPCMFormat;
            RefreshFormat();
        }
        m_DsdSupported = m_Group.IsDsdSupported() ? 1 : 0;
        m_InitSucceeded = TRUE;
        m_State.store(QEL_ASIO_INITIALIZED);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s, %u inputs, %u outputs at %u Hz, DSD %u",
                    AsioStateName(QEL_ASIO_INITIALIZED), (unsigned)m_InputCount, (unsigned)m_OutputCount,
                    (unsigned)m_CurrentRate, (unsigned)m_DsdSupported);
        return ASIOTrue;
    } catch (...) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "exception: %s", TextNoResource);
        SetError(TextNoResource);
        CleanUpFailedInit();
        return ASIOFalse;
    }
}

// Undoes a failed init so that the host may call init again; the state stays LOADED. Channels
// opened by the device selection stay open until the next selection or the teardown.
VOID CQelAsioDriver::CleanUpFailedInit()
{
    StopThreads();
    CloseSlot(&m_WindowReady);
    CloseSlot(&m_StreamStopEvent);
    m_SettingsEvents[0] = m_SettingsEvents[1] = m_SettingsEvents[2] = nullptr;
    m_Settings.Close();
    CloseSlot(&m_SettingsMutex);
}

// Ends the message thread (which lets go of the named objects it holds) and the settings
// thread, and closes their handles.
VOID CQelAsioDriver::StopThreads()
{
    if (m_MessageThread != nullptr) {
        const HWND window = m_Window.exchange(nullptr);
        if (window != nullptr) {
            PostMessageW(window, WM_QUIT, 0, 0);
        }
        WaitForSingleObject(m_MessageThread, INFINITE);
        CloseSlot(&m_MessageThread);
    }
    if (m_SettingsThread != nullptr) {
        if (m_SettingsEvents[2] != nullptr) {
            m_SettingsStop.store(1);
            SetEvent(m_SettingsEvents[2]);
            WaitForSingleObject(m_SettingsThread, INFINITE);
        } else {
            TerminateThread(m_SettingsThread, (DWORD)-1);
        }
        CloseSlot(&m_SettingsThread);
    }
}

// A DSD rate stored by a host becomes its PCM base rate when the host lets go; a rate outside
// both tables becomes 44100. Only an object whose init succeeded writes: a host refused at init
// must not change the settings of the host that holds the driver.
VOID CQelAsioDriver::WriteBackStoredRate()
{
    if (!m_InitSucceeded || m_SettingsMutex == nullptr) {
        return;
    }
    CMutexLock lock(m_SettingsMutex);
    const DWORD rate = m_Settings.GetSamplingRate();
    DWORD replacement = rate;
    if (IsLabelledDsdRate(rate)) {
        replacement = rate >> DSD_RATE_SHIFT;
    } else if (!IsPcmRate(rate)) {
        replacement = 44100;
    }
    if (replacement != rate) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "sampling_rate %u stored as %u", (unsigned)rate,
                    (unsigned)replacement);
        m_Settings.SetSamplingRate(replacement);
        m_CurrentRate = m_StoredRate = replacement;
    }
}

CQelAsioDriver::~CQelAsioDriver()
{
    try {
        // A suspended driver is neither stopped nor disposed: its stream thread has ended, the
        // device may be powered off (a stop would wait for it), and closing the channels below
        // walks the device side back. Only the host it no longer has is forgotten.
        m_ReselectPending = FALSE;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "released in state %s", AsioStateName(m_State.load()));
        if (m_State.load() == QEL_ASIO_RUNNING) {
            stop();
        }
        const LONG state = m_State.load();
        if (state == QEL_ASIO_PREPARED) {
            disposeBuffers();
        } else if (state == QEL_ASIO_SUSPENDED && m_SettingsMutex != nullptr) {
            CMutexLock lock(m_SettingsMutex);
            m_Callbacks = nullptr;
        }
        WriteBackStoredRate();
    } catch (...) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "exception while stopping");
    }
    // Whatever happened above, no stream thread may outlive the object.
    if (m_StreamThread != nullptr) {
        if (m_StreamStopEvent != nullptr) {
            m_StopFlag.store(1);
            SetEvent(m_StreamStopEvent);
        }
        WaitForSingleObject(m_StreamThread, INFINITE);
        CloseSlot(&m_StreamThread);
    }
    StopThreads();
    CloseSlot(&m_WindowReady);
    CloseSlot(&m_StreamStopEvent);
    m_Settings.Close();
    CloseSlot(&m_SettingsMutex);
    for (int half = 0; half < 2; ++half) {
        for (void *buffer : m_OutputHalves[half]) {
            delete[] static_cast<BYTE *>(buffer);
        }
        for (void *buffer : m_InputHalves[half]) {
            delete[] static_cast<BYTE *>(buffer);
        }
    }
    m_Group.CloseAll();
    m_DriverLock.Delete();
    WPP_CLEANUP();
    // Last, so that a host waiting to create the next driver finds the device given back.
    SetInstance(m_OwnerProcess, nullptr);
}

void CQelAsioDriver::getDriverName(char *name)
{
    if (name != nullptr) {
        std::strncpy(name, DriverName, 31);
        name[31] = '\0';
    }
}

int32_t CQelAsioDriver::getDriverVersion()
{
    return 1;
}

void CQelAsioDriver::getErrorMessage(char *string)
{
    if (string != nullptr) {
        // The host's buffer holds 124 characters with the terminator.
        size_t length = strnlen(m_ErrorText, 123);
        std::memcpy(string, m_ErrorText, length);
        string[length] = '\0';
    }
}
