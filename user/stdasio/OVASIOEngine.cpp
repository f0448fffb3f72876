// The standard ASIO driver's engine thread: one period per captured packet (or per free render
// queue block without inputs), the host's buffer switch, the drop-out measurement and the hand
// over of the host's output half to the render stream thread.
#include "OVASIO.h"
#include <interlockedapi.h>
#include "PerfLog.h"
#include "Queue.h"
#include "Stream.h"
#include <avrt.h>
#include <mmsystem.h>
#include "OVASIOTrace.h"

VOID OVASIO::startEngineThread()
{
    m_engineRun = 1;
    m_engineThread = CreateThread(nullptr, 0, engineThreadProc, this, 0, &m_engineThreadId);
    if (m_engineThread == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateThread failed: %u", (unsigned)GetLastError());
    }
}

BOOL OVASIO::joinEngineThread()
{
    m_engineRun = 0;
    if (m_engineThread == nullptr) {
        return TRUE;
    }
    if (GetCurrentThreadId() == m_engineThreadId) {
        return FALSE;
    }
    WaitForSingleObject(m_engineThread, INFINITE);
    CloseHandle(m_engineThread);
    m_engineThread = nullptr;
    m_engineThreadId = 0;
    return TRUE;
}

DWORD WINAPI OVASIO::engineThreadProc(LPVOID context)
{
    markDriverThread();
    OVASIO *const driver = static_cast<OVASIO *>(context);
    if (driver == nullptr || driver->m_stopEvent == nullptr) {
        return 0;
    }
    DWORD taskIndex = 0;
    const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    if (task != nullptr) {
        if (!AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "AvSetMmThreadPriority failed: %u",
                        (unsigned)GetLastError());
        }
    } else {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "no MMCSS task (%u), time-critical priority instead",
                    (unsigned)GetLastError());
        if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "SetThreadPriority failed: %u", (unsigned)GetLastError());
        }
    }
    for (;;) {
        driver->processPeriod();
        if (WaitForSingleObject(driver->m_stopEvent, 0) == WAIT_OBJECT_0 || driver->m_engineRun == 0) {
            break;
        }
    }
    if (driver->m_activeInputs > 0) {
        driver->m_capture->joinThread();
    }
    if (driver->m_activeOutputs > 0) {
        driver->m_render->joinThread();
    }
    if (driver->m_sessionLost != 0) {
        driver->closeStreams();
    }
    AvRevertMmThreadCharacteristics(task);
    return 0;
}

VOID OVASIO::refreshSystemTime()
{
    const double nanoseconds = (double)timeGetTime() * 1000000.0;
    const double twoTo32 = 4294967296.0;
    m_systemTime.hi = (uint32_t)(nanoseconds / twoTo32);
    m_systemTime.lo = (uint32_t)(nanoseconds - (double)m_systemTime.hi * twoTo32);
}

// Two periods in whole milliseconds; a short period's streams run at 3 ms, so 6 ms there.
DWORD OVASIO::dropOutLimit() const
{
    return m_shortPeriod != 0 ? OVASIO_SHORT_PERIOD_DROPOUT_MS : (m_periodTenths * 2) / 10;
}

VOID OVASIO::bufferSwitchTimeInfo()
{
    const uint32_t clear = (uint32_t)InterlockedExchange(&m_timeFlagsClear, 0);
    const uint32_t set = (uint32_t)InterlockedExchange(&m_timeFlagsSet, 0);
    m_asioTime.timeInfo.flags = (m_asioTime.timeInfo.flags & ~clear) | set;
    getSamplePosition(&m_asioTime.timeInfo.samplePosition, &m_asioTime.timeInfo.systemTime);
    if (m_timeCodeOn != 0) {
        // Ten minutes ahead of the position; the low word wraps as the position's does.
        const ULONGLONG shifted =
            (ULONGLONG)m_asioTime.timeInfo.samplePosition.lo + (ULONGLONG)((double)m_sampleRate * 600.0);
        m_asioTime.timeCode.timeCodeSamples.hi = 0;
        m_asioTime.timeCode.timeCodeSamples.lo = (uint32_t)shifted;
    }
    ASIOCallbacks *const callbacks = m_callbacks;
    if (callbacks != nullptr && callbacks->bufferSwitchTimeInfo != nullptr) {
        callbacks->bufferSwitchTimeInfo(&m_asioTime, (int32_t)m_halfIndex, ASIOTrue);
    }
    m_asioTime.timeInfo.flags &= ~(uint32_t)(kSampleRateChanged | kClockSourceChanged);
}

VOID OVASIO::callHost()
{
    if (m_timeInfoMode != 0) {
        bufferSwitchTimeInfo();
        return;
    }
    ASIOCallbacks *const callbacks = m_callbacks;
    if (callbacks != nullptr && callbacks->bufferSwitch != nullptr) {
        callbacks->bufferSwitch((int32_t)m_halfIndex, ASIOTrue);
    }
}

// The box is shown by the message-window thread: a modal box on the engine thread would hold
// the stream and make a host's stop wait for the user. One box at a time.
VOID OVASIO::showDropOut()
{
    MessageBoxW(nullptr, L"ASIO Streaming Drop-Out", L"Orvan Marla Series ASIO : Notification", MB_OK | MB_TOPMOST);
    InterlockedExchange(&m_dropOutShowing, 0);
}

VOID OVASIO::processPeriod()
{
    refreshSystemTime();
    if (m_state != OVASIO_STATE_RUNNING) {
        Sleep(m_periodTenths / 10);
        return;
    }
    const DWORD wait = WaitForMultipleObjects(2, m_waitHandles, FALSE, OVASIO_PERIOD_WAIT_MS);
    if (wait == WAIT_TIMEOUT) {
        if (m_activeInputs > 0) {
            m_capture->checkHealth();
        }
        return;
    }
    if (wait != WAIT_OBJECT_0 + 1) {
        return;
    }
    const DWORD offset = m_halfIndex == 1 ? m_halfBytes : 0;
    PerfLogRecord(PERF_EVENT_ENGINE_PERIOD);
    const BOOL silent = m_shortPeriod != 0 || m_rateDiffers != 0;
    if (m_activeInputs > 0) {
        SHORT *const left = reinterpret_cast<SHORT *>(m_inputBuffers[0] + offset);
        SHORT *const right = reinterpret_cast<SHORT *>(m_inputBuffers[1] + offset);
        if (m_shortPeriod != 0) {
            m_capture->readSilence(left, right, m_capture->bufferFrames());
        } else if (m_rateDiffers != 0) {
            m_capture->readSilence(left, right, m_currentFrames);
        } else {
            m_capture->readPeriod(left, right);
        }
    }
    const SHORT *const outLeft = reinterpret_cast<const SHORT *>(m_outputBuffers[0]);
    const SHORT *const outRight = reinterpret_cast<const SHORT *>(m_outputBuffers[1]);
    if (m_firstPeriod != 0) {
        if (m_skipOnce != 0) {
            m_skipOnce = 0;
            return;
        }
        callHost();
        if (m_engineRun == 0) {
            return;
        }
        m_lastSwitchTime = timeGetTime();
        if (m_activeOutputs > 0) {
            DWORD queued = 0;
            if (silent) {
                queued += m_renderQueue->pushSilence();
                queued += m_renderQueue->pushSilence();
            } else {
                const DWORD halfSamples = m_halfBytes / sizeof(SHORT);
                queued += m_renderQueue->push(outLeft + halfSamples, outRight + halfSamples, m_currentFrames);
                queued += m_renderQueue->push(outLeft, outRight, m_currentFrames);
            }
            if (queued != 2) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "render queue took %u of the first 2 blocks",
                            (unsigned)queued);
            }
            const DWORD started = m_render->startClient();
            if (started != OV_STREAM_OK) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "render startClient gives %u", (unsigned)started);
            }
        }
        m_halfIndex = 1;
        m_firstPeriod = 0;
        return;
    }
    m_samplePosition += (double)m_currentFrames;
    callHost();
    // A host that stopped inside its switch may free its buffers as soon as it returns.
    if (m_engineRun == 0) {
        return;
    }
    const DWORD now = timeGetTime();
    if (m_activeInputs > 0 && m_notify != 0 && now - m_lastSwitchTime >= dropOutLimit()) {
        if (InterlockedCompareExchange(&m_dropOutShowing, 1, 0) == 0 &&
            (m_window == nullptr || !PostMessageW(m_window, OVASIO_WM_DROPOUT, 0, 0))) {
            InterlockedExchange(&m_dropOutShowing, 0);
        }
    }
    m_lastSwitchTime = now;
    if (m_activeOutputs > 0) {
        const DWORD offsetSamples = offset / sizeof(SHORT);
        const DWORD queued =
            silent ? m_renderQueue->pushSilence()
                   : m_renderQueue->push(outLeft + offsetSamples, outRight + offsetSamples, m_currentFrames);
        if (queued == 0) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "render queue full, half %u dropped",
                        (unsigned)m_halfIndex);
        }
        if (m_restartRender != 0) {
            const DWORD started = m_render->startClient();
            if (started != OV_STREAM_OK) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "render startClient gives %u", (unsigned)started);
            }
            m_restartRender = 0;
        }
    }
    m_halfIndex = 1 - m_halfIndex;
}
