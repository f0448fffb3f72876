// The IASIO methods of the asynchronous ASIO driver that query and set channels, latencies,
// buffer sizes, rates, clocks, positions and the io format, and start and stop the stream.
#include "QelAsioDriver.h"
#include "AsioDriverTrace.h"
#include "AsioGuard.h"
#include "AsioTraceNames.h"
#include "RateTables.h"
#include <cmath>
#include <cstring>

namespace {

const DWORD DevicePowerWaitMs = 3000;
const char ClockName[] = "Internal";

// Gives up every hold the calling thread has of a mutex and returns their number.
DWORD ReleaseAllHolds(HANDLE Mutex)
{
    DWORD held = 0;
    while (Mutex != nullptr && ReleaseMutex(Mutex)) {
        ++held;
    }
    return held;
}

VOID TakeHolds(HANDLE Mutex, DWORD Held)
{
    for (; Held > 0; --Held) {
        WaitForSingleObject(Mutex, INFINITE);
    }
}

} // namespace

DWORD CQelAsioDriver::BufferFramesForIndex(DWORD Index)
{
    return BufferIndexToFrames(m_CurrentRate, IsDsdFormat(), ClampBufferIndex(Index));
}

BOOL CQelAsioDriver::IsRateSupported(double Rate)
{
    if (IsDsdFormat()) {
        for (const RATE_ENTRY &entry : g_DsdRates) {
            if ((double)entry.rate == Rate) {
                return TRUE;
            }
        }
        return FALSE;
    }
    for (const RATE_ENTRY &entry : g_PcmRates) {
        if ((double)entry.rate == Rate) {
            return entry.rate >= m_Range.Lowest && entry.rate <= m_Range.Highest;
        }
    }
    return FALSE;
}

// Expects the settings mutex.
BOOL CQelAsioDriver::ApplyDeviceRate(DWORD Rate)
{
    DWORD deviceRate = Rate;
    if (IsDsdFormat()) {
        deviceRate = Rate >> DSD_RATE_SHIFT;
        if (!HasDsdTypesAt(deviceRate)) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "no DSD sample type at %u Hz", (unsigned)deviceRate);
            return FALSE;
        }
    }
    if (!CheckDevice()) {
        return FALSE;
    }
    if (!m_Group.SetSampleRateAll(deviceRate)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "SetSampleRateAll %u failed: %u", (unsigned)deviceRate,
                    (unsigned)GetLastError());
        return FALSE;
    }
    return TRUE;
}

ASIOError CQelAsioDriver::start()
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (!AwaitDevicePower(DevicePowerWaitMs)) {
            return ASE_NotPresent;
        }
        ASIOError result = ASE_OK;
        {
            CCritSecLock lock(m_DriverLock);
            result = StartStreaming(TRUE);
        }
        FlushReset();
        return result;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s, state %s", AsioResultName(result),
                AsioStateName(m_State.load()));
    return result;
}

// The stream is told to end before anything else, and it always ends: a device that is off or
// gone only changes the answer, never leaves a thread running.
ASIOError CQelAsioDriver::stop()
{
    const ASIOError result = AsioGuard([&]() -> ASIOError { return StopLocked(); });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s, state %s", AsioResultName(result),
                AsioStateName(m_State.load()));
    return result;
}

ASIOError CQelAsioDriver::StopLocked()
{
    m_StopFlag.store(1);
    if (m_StreamStopEvent != nullptr) {
        SetEvent(m_StreamStopEvent);
    }
    const HWND window = m_Window.load();
    if (window != nullptr) {
        KillTimer(window, QEL_ASIO_RESUME_TIMER);
        KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
    }
    // A host that answers a reset request by stopping, or by setting a rate, calls in while
    // the frames that asked hold the settings mutex (the settings thread's comparison, say),
    // and a buffer switch that asks the driver anything waits for that mutex: this thread's
    // holds are given up while the stream ends and taken again before going back. What those
    // frames do after their request does not rest on anything read before it.
    const DWORD held = ReleaseAllHolds(m_SettingsMutex);
    const BOOL powered = AwaitDevicePower(DevicePowerWaitMs);
    const BOOL onStreamThread = m_StreamThreadId != 0 && GetCurrentThreadId() == m_StreamThreadId;
    if (!onStreamThread) {
        m_OtherStops.fetch_add(1);
    }
    if (EnterDriverLockForStop(onStreamThread)) {
        StopStreaming();
        LeaveCriticalSection(m_DriverLock.Get());
    }
    if (!onStreamThread) {
        m_OtherStops.fetch_sub(1);
    }
    TakeHolds(m_SettingsMutex, held);
    FlushReset();
    return powered ? ASE_OK : ASE_NotPresent;
}

// A host may stop from its buffer switch while another of its threads stops: that stop holds
// the driver critical section while it waits for the stream thread, so the switch's stop does
// not wait for the section then: the stream is being stopped, and the switch's stop is done.
BOOL CQelAsioDriver::EnterDriverLockForStop(BOOL onStreamThread)
{
    CRITICAL_SECTION *const section = m_DriverLock.Get();
    if (section == nullptr) {
        return FALSE;
    }
    if (!onStreamThread) {
        EnterCriticalSection(section);
        return TRUE;
    }
    while (!TryEnterCriticalSection(section)) {
        if (m_OtherStops.load() != 0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "another thread stops the stream");
            return FALSE;
        }
        Sleep(1);
    }
    return TRUE;
}

ASIOError CQelAsioDriver::getChannels(int32_t *numInputChannels, int32_t *numOutputChannels)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        if (numInputChannels == nullptr || numOutputChannels == nullptr) {
            return ASE_InvalidParameter;
        }
        CMutexLock lock(m_SettingsMutex);
        *numInputChannels = (int32_t)m_InputCount;
        *numOutputChannels = (int32_t)m_OutputCount;
        return m_InputCount == 0 && m_OutputCount == 0 ? ASE_NotPresent : ASE_OK;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%u inputs, %u outputs: %s", (unsigned)m_InputCount,
                (unsigned)m_OutputCount, AsioResultName(result));
    return result;
}

ASIOError CQelAsioDriver::getLatencies(int32_t *inputLatency, int32_t *outputLatency)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        if (inputLatency == nullptr || outputLatency == nullptr) {
            return ASE_InvalidParameter;
        }
        CMutexLock lock(m_SettingsMutex);
        const LONG state = m_State.load();
        const DWORD frames = state == QEL_ASIO_PREPARED || state == QEL_ASIO_RUNNING
                                 ? m_BufferFrames
                                 : BufferFramesForIndex(m_BufferSizeIndex);
        DWORD in = 0;
        DWORD out = 0;
        if (!m_Group.GetLatencies(frames, &in, &out)) {
            return ASE_NotPresent;
        }
        *inputLatency = (int32_t)in;
        *outputLatency = (int32_t)out;
        return ASE_OK;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%d in, %d out: %s",
                result == ASE_OK ? (int)*inputLatency : 0, result == ASE_OK ? (int)*outputLatency : 0,
                AsioResultName(result));
    return result;
}

ASIOError CQelAsioDriver::getBufferSize(int32_t *minSize, int32_t *maxSize, int32_t *preferredSize,
                                        int32_t *granularity)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr || granularity == nullptr) {
            return ASE_InvalidParameter;
        }
        CMutexLock lock(m_SettingsMutex);
        DWORD frames = BufferFramesForIndex(m_BufferSizeIndex);
        if (IsDsdFormat()) {
            frames <<= DSD_RATE_SHIFT;
        }
        *minSize = *maxSize = *preferredSize = (int32_t)frames;
        *granularity = 0;
        return ASE_OK;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%d: %s", result == ASE_OK ? (int)*preferredSize : 0,
                AsioResultName(result));
    return result;
}

ASIOError CQelAsioDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        CMutexLock lock(m_SettingsMutex);
        return IsRateSupported(sampleRate) ? ASE_OK : ASE_NoClock;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%.0f Hz: %s", sampleRate, AsioResultName(result));
    return result;
}

ASIOError CQelAsioDriver::getSampleRate(ASIOSampleRate *sampleRate)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        if (sampleRate == nullptr) {
            return ASE_InvalidParameter;
        }
        CMutexLock lock(m_SettingsMutex);
        const double current = (double)m_CurrentRate;
        *sampleRate = m_PendingRate > 0.0 && m_PendingRate != current ? m_PendingRate : current;
        return ASE_OK;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%.0f Hz: %s", result == ASE_OK ? *sampleRate : 0.0,
                AsioResultName(result));
    return result;
}

ASIOError CQelAsioDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        if (sampleRate == 0.0) {
            return ASE_InvalidMode;
        }
        if (!AwaitDevicePower(DevicePowerWaitMs)) {
            return ASE_NotPresent;
        }
        {
            CMutexLock lock(m_SettingsMutex);
            if (m_State.load() != QEL_ASIO_RUNNING || !IsRateSupported(sampleRate) ||
                (sampleRate == (double)m_CurrentRate && m_CurrentRate == m_StoredRate)) {
                return SetSampleRateLocked(sampleRate);
            }
            const DWORD rate = (DWORD)sampleRate;
            m_Settings.SetSamplingRate(rate);
            m_StoredRate = rate;
            m_PendingRate = (double)rate;
        }
        // The stream is stopped without the settings mutex: a buffer switch that asks the
        // driver anything takes it, and the stream thread must be able to end its switch.
        StopLocked();
        CMutexLock lock(m_SettingsMutex);
        return RestartAtRate((DWORD)sampleRate);
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%.0f Hz: %s, state %s", sampleRate,
                AsioResultName(result), AsioStateName(m_State.load()));
    return result;
}

// Expects the settings mutex, in every state but RUNNING (a running stream goes through
// RestartAtRate). After every device rate change the driver takes the format the device now
// has; when it is not the one the host buffers were made for, the host is asked for a reset and
// the stream is not restarted on the old layout.
ASIOError CQelAsioDriver::SetSampleRateLocked(double Rate)
{
    if (!IsRateSupported(Rate)) {
        return ASE_NoClock;
    }
    if (Rate == (double)m_CurrentRate && m_CurrentRate == m_StoredRate) {
        return ASE_OK;
    }
    const DWORD rate = (DWORD)Rate;
    if (!ApplyDeviceRate(rate)) {
        return ASE_HWMalfunction;
    }
    const LONG state = m_State.load();
    const BOOL suspended = state == QEL_ASIO_SUSPENDED;
    const BOOL changed = (state == QEL_ASIO_PREPARED || suspended) && FormatDiffersFromPrepared();
    RefreshFormat();
    m_Settings.SetSamplingRate(rate);
    m_StoredRate = m_CurrentRate = rate;
    // A suspended stream resumes on its buffers at the new rate, so they must still fit it.
    if (state == QEL_ASIO_PREPARED || changed || (suspended && !CarryBuffersToRate(rate))) {
        RequestReset(1);
    }
    return ASE_OK;
}

// Expects the settings mutex and the stream stopped for a rate change. The stored rate already
// holds the new rate; a device that refuses it gets the old rate back in the settings.
ASIOError CQelAsioDriver::RestartAtRate(DWORD Rate)
{
    if (!ApplyDeviceRate(Rate)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%u Hz not applied; back to %u Hz", (unsigned)Rate,
                    (unsigned)m_CurrentRate);
        RequestReset(1);
        m_Settings.SetSamplingRate(m_CurrentRate);
        m_StoredRate = m_CurrentRate;
        m_PendingRate = 0.0;
        return ASE_NotPresent;
    }
    m_CurrentRate = Rate;
    const BOOL changed = FormatDiffersFromPrepared();
    RefreshFormat();
    if (changed || !CarryBuffersToRate(Rate)) {
        RequestReset(1);
        return ASE_OK;
    }
    // A restart that fails leaves the host without buffer switches: it hears of it twice, by
    // the result and by a reset request, so that a host that ignores one still recovers.
    const ASIOError started = start();
    if (started != ASE_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "restart at %u Hz: %s", (unsigned)Rate,
                    AsioResultName(started));
    }
    if (started != ASE_OK && m_ResetPending.load() == 0) {
        RequestReset(1);
    }
    return started;
}

// Expects the settings mutex and no stream thread. TRUE when the host buffers fit the buffer
// sizes of the rate now in force; they then go on at it, and the first switch says so.
BOOL CQelAsioDriver::CarryBuffersToRate(DWORD Rate)
{
    const DWORD minimum = BufferFramesForIndex(0);
    const DWORD maximum = BufferFramesForIndex(BUFFER_INDEX_MAX);
    if (m_BufferFrames < minimum || m_BufferFrames > maximum) {
        return FALSE;
    }
    m_TimeInfo.timeInfo.sampleRate = (double)Rate;
    m_PendingTimeFlags.fetch_or(kSampleRateChanged);
    // The suspended-position timer keeps the pace of the new rate.
    CCritSecLock lock(m_DriverLock);
    const HWND window = m_Window.load();
    if (m_State.load() == QEL_ASIO_SUSPENDED && window != nullptr && Rate != 0 && m_HostBufferSize != 0) {
        SetTimer(window, QEL_ASIO_SUSPENDED_TIMER, SuspendedTickMs(Rate, m_HostBufferSize), nullptr);
    }
    return TRUE;
}

ASIOError CQelAsioDriver::getClockSources(ASIOClockSource *clocks, int32_t *numSources)
{
    if (m_State.load() == QEL_ASIO_LOADED) {
        return ASE_NotPresent;
    }
    if (clocks == nullptr || numSources == nullptr) {
        return ASE_InvalidParameter;
    }
    clocks[0] = ASIOClockSource{0, -1, -1, ASIOTrue, {}};
    std::strncpy(clocks[0].name, ClockName, sizeof(clocks[0].name) - 1);
    *numSources = 1;
    return ASE_OK;
}

ASIOError CQelAsioDriver::setClockSource(int32_t reference)
{
    if (m_State.load() == QEL_ASIO_LOADED || reference != 0) {
        return ASE_NotPresent;
    }
    m_PendingTimeFlags.fetch_or(kClockSourceChanged);
    return ASE_OK;
}

ASIOError CQelAsioDriver::getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp)
{
    if (m_State.load() == QEL_ASIO_LOADED) {
        return ASE_NotPresent;
    }
    if (sPos == nullptr || tStamp == nullptr) {
        return ASE_InvalidParameter;
    }
    const ULONGLONG stamp = m_SystemTime.load();
    tStamp->hi = (uint32_t)(stamp >> 32);
    tStamp->lo = (uint32_t)stamp;
    const double position = m_SamplePosition.load();
    const ULONGLONG samples = position > 0.0 ? (ULONGLONG)position : 0;
    sPos->hi = (uint32_t)(samples >> 32);
    sPos->lo = (uint32_t)samples;
    return ASE_OK;
}

ASIOError CQelAsioDriver::getChannelInfo(ASIOChannelInfo *info)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() == QEL_ASIO_LOADED) {
            return ASE_NotPresent;
        }
        CMutexLock lock(m_SettingsMutex);
        if (info == nullptr || info->channel < 0) {
            return ASE_InvalidParameter;
        }
        const BOOL input = info->isInput != ASIOFalse;
        const DWORD channel = (DWORD)info->channel;
        if (channel >= (input ? m_InputCount : m_OutputCount)) {
            return ASE_InvalidParameter;
        }
        info->type = input ? m_InputType : m_OutputType;
        info->channelGroup = 0;
        const std::vector<LONG> &used = input ? m_InputUsed : m_OutputUsed;
        info->isActive = m_State.load() != QEL_ASIO_INITIALIZED && channel < used.size() && used[channel] != 0
                             ? ASIOTrue
                             : ASIOFalse;
        std::memset(info->name, 0, sizeof(info->name));
        m_Group.GetChannelName(input, channel, info->name);
        return ASE_OK;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s %d: %s",
                info != nullptr && info->isInput != ASIOFalse ? "input" : "output",
                info != nullptr ? (int)info->channel : -1, AsioResultName(result));
    return result;
}

ASIOError CQelAsioDriver::controlPanel()
{
    LaunchControlPanel();
    return ASE_OK;
}

ASIOError CQelAsioDriver::outputReady()
{
    if (m_State.load() == QEL_ASIO_RUNNING) {
        m_OutputReadyMode.store(1);
        m_OutputWritten.store(1);
        WriteOutputs();
    }
    return ASE_OK;
}

// Expects the settings mutex. A failed change leaves the old format in force; a change of
// format type while host buffers exist asks the host for a reset, since the buffers and the
// prepared channels carry the old type.
ASIOError CQelAsioDriver::SetIoFormat(const ASIOIoFormat *Format)
{
    const LONG type = Format->FormatType;
    if (type != kASIOPCMFormat && !(type == kASIODSDFormat && m_DsdSupported != 0)) {
        return ASE_InvalidParameter;
    }
    const ASIOIoFormat old = m_IoFormat;
    const ASIOSampleType oldInput = m_InputType;
    const ASIOSampleType oldOutput = m_OutputType;
    std::memcpy(&m_IoFormat, Format, sizeof(m_IoFormat));
    const ASIOSampleType input = SampleTypeFor(type, m_InputBits);
    const ASIOSampleType output = SampleTypeFor(type, m_OutputBits);
    if ((m_InputCount != 0 && input < 0) || (m_OutputCount != 0 && output < 0)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "format type %d has no sample type", (int)type);
        m_IoFormat = old;
        m_InputType = oldInput;
        m_OutputType = oldOutput;
        return ASE_InvalidParameter;
    }
    m_InputType = input;
    m_OutputType = output;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "format type %d, sample types %d in, %d out", (int)type,
                (int)input, (int)output);
    const LONG state = m_State.load();
    if (type != old.FormatType &&
        (state == QEL_ASIO_PREPARED || state == QEL_ASIO_RUNNING || state == QEL_ASIO_SUSPENDED)) {
        RequestReset(1);
    }
    return ASE_SUCCESS;
}

ASIOError CQelAsioDriver::future(int32_t selector, void *opt)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        switch (selector) {
        case kAsioEnableTimeCodeRead:
            m_TimeCode.store(1);
            return ASE_SUCCESS;
        case kAsioDisableTimeCodeRead:
            m_TimeCode.store(0);
            return ASE_SUCCESS;
        case kAsioSetInputMonitor:
        case kAsioCanInputMonitor:
        case kAsioCanTimeInfo:
        case kAsioCanTimeCode:
            return ASE_SUCCESS;
        case kAsioSetIoFormat: {
            if (opt == nullptr) {
                return ASE_InvalidParameter;
            }
            CMutexLock lock(m_SettingsMutex);
            return SetIoFormat(static_cast<const ASIOIoFormat *>(opt));
        }
        case kAsioGetIoFormat: {
            if (opt == nullptr) {
                return ASE_InvalidParameter;
            }
            CMutexLock lock(m_SettingsMutex);
            std::memcpy(opt, &m_IoFormat, sizeof(m_IoFormat));
            return ASE_SUCCESS;
        }
        case kAsioCanDoIoFormat: {
            if (opt == nullptr) {
                return ASE_InvalidParameter;
            }
            const LONG type = static_cast<const ASIOIoFormat *>(opt)->FormatType;
            return type == kASIOPCMFormat || (type == kASIODSDFormat && m_DsdSupported != 0) ? ASE_SUCCESS
                                                                                            : ASE_InvalidParameter;
        }
        default:
            return ASE_InvalidParameter;
        }
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "selector 0x%X: %s", (unsigned)selector,
                AsioResultName(result));
    return result;
}
