// The streaming thread of the asynchronous ASIO driver: starting and stopping it, its
// input-clocked and output-clocked loops, the buffer switch with time information, and the
// copies between the host's buffers and the device channels' interleaved halves.
#include "QelAsioDriver.h"
#include "AsioDriverTrace.h"
#include "AsioTraceNames.h"
#include <avrt.h>
#include <mmsystem.h>
#include <cstring>

namespace {

const DWORD StreamStopWaitMs = 10000;
const double TimeCodeOffsetSeconds = 600.0;

} // namespace

// Expects the driver critical section.
ASIOError CQelAsioDriver::StartStreaming(BOOL ResetPosition)
{
    const LONG state = m_State.load();
    if ((state != QEL_ASIO_PREPARED && state != QEL_ASIO_SUSPENDED) || m_Callbacks == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "not started in state %s", AsioStateName(state));
        return ASE_NotPresent;
    }
    if (m_ResetPending.load() != 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "not started: a reset is pending");
        return ASE_NotPresent;
    }
    if (m_InputMap.empty() && m_OutputMap.empty()) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "not started: no channel has a buffer");
        return ASE_NotPresent;
    }
    // A stream that a host stopped from its own buffer switch may still be on its way out; a
    // start on that thread itself cannot wait for it.
    if (!EndStreamThread()) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "not started on the stream thread that is ending");
        return ASE_NotPresent;
    }
    // The suspended-position timer and the stream thread never run beside each other.
    const HWND window = m_Window.load();
    if (state == QEL_ASIO_SUSPENDED && window != nullptr) {
        KillTimer(window, QEL_ASIO_RESUME_TIMER);
        KillTimer(window, QEL_ASIO_SUSPENDED_TIMER);
    }
    if (ResetPosition) {
        m_SamplePosition.store(0.0);
        m_CurrentHalf.store(0);
    }
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, StreamThreadProc, this, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CreateThread (stream) failed: %u",
                    (unsigned)GetLastError());
        return ASE_NotPresent;
    }
    if (!m_Group.StartAll()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "StartAll failed: %u", (unsigned)GetLastError());
        TerminateThread(thread, 0);
        WaitForSingleObject(thread, StreamStopWaitMs);
        CloseHandle(thread);
        return ASE_HWMalfunction;
    }
    m_StreamThread = thread;
    m_StreamThreadId = threadId;
    m_State.store(QEL_ASIO_RUNNING);
    m_StopFlag.store(0);
    m_WriteError.store(0);
    ResetEvent(m_StreamStopEvent);
    ResumeThread(thread);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s -> %s at %u Hz, %u frames, position %.0f",
                AsioStateName(state), AsioStateName(QEL_ASIO_RUNNING), (unsigned)m_CurrentRate,
                (unsigned)m_BufferFrames, m_SamplePosition.load());
    return ASE_OK;
}

// Expects the driver critical section. A thread that does not end in time is terminated, and
// the reset request that follows is left to the caller (m_ResetNeeded), outside the section.
// A host may stop from inside its buffer switch, or from a message on the stream thread: the
// thread is then not waited for (it would wait for itself). Its own requests are cancelled
// here, since a cancel reaches only the calling thread's, and the loop ends as soon as the
// host's call returns; the next start, disposeBuffers or the teardown joins it.
ASIOError CQelAsioDriver::StopStreaming()
{
    m_StopFlag.store(1);
    const LONG state = m_State.load();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "state %s", AsioStateName(state));
    if (state == QEL_ASIO_SUSPENDED) {
        m_State.store(QEL_ASIO_PREPARED);
    } else if (state == QEL_ASIO_PREPARED) {
        // Stopped from inside the host's buffer switch, perhaps while this stop waited for the
        // section: the stream has ended once its thread has.
        EndStreamThread();
    } else if (state == QEL_ASIO_RUNNING) {
        m_State.store(QEL_ASIO_PREPARED);
        if (m_StreamThread != nullptr) {
            SetEvent(m_StreamStopEvent);
            if (!EndStreamThread()) {
                m_Group.CancelIoAll();
            }
        }
        m_Group.StopAll();
    }
    return ASE_OK;
}

BOOL CQelAsioDriver::EndStreamThread()
{
    if (m_StreamThread == nullptr) {
        return TRUE;
    }
    if (GetCurrentThreadId() == m_StreamThreadId) {
        return FALSE;
    }
    if (WaitForSingleObject(m_StreamThread, StreamStopWaitMs) != WAIT_OBJECT_0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "the stream thread did not end in %u ms",
                    (unsigned)StreamStopWaitMs);
        TerminateThread(m_StreamThread, 1);
        WaitForSingleObject(m_StreamThread, StreamStopWaitMs);
        m_ResetNeeded.store(1);
        m_Group.CancelIoAll();
    }
    CloseHandle(m_StreamThread);
    m_StreamThread = nullptr;
    m_StreamThreadId = 0;
    return TRUE;
}

DWORD WINAPI CQelAsioDriver::StreamThreadProc(LPVOID Context)
{
    MarkDriverThread();
    auto *driver = static_cast<CQelAsioDriver *>(Context);
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    if (task != nullptr) {
        if (!AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH)) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "AvSetMmThreadPriority failed: %u",
                        (unsigned)GetLastError());
        }
    } else if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "SetThreadPriority failed: %u", (unsigned)GetLastError());
    }
    DWORD exitCode = 1;
    try {
        exitCode = driver->m_PreparedInputCount != 0 ? driver->DuplexLoop() : driver->OutputLoop();
    } catch (...) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "exception in the stream loop");
        driver->m_Group.CancelIoAll();
    }
    if (task != nullptr) {
        AvRevertMmThreadCharacteristics(task);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "exit code %u", (unsigned)exitCode);
    return exitCode;
}

BOOL CQelAsioDriver::StopRequested()
{
    return m_StopFlag.load() != 0 || WaitForSingleObject(m_StreamStopEvent, 0) == WAIT_OBJECT_0;
}

// The capture side clocks the periods whenever the device has inputs, whether or not the host
// uses them.
DWORD CQelAsioDriver::DuplexLoop()
{
    for (;;) {
        BOOL failed = m_Group.ReadHalfAll(m_CurrentHalf.load()) != ERROR_SUCCESS ||
                      m_Group.ReadHalfAll(1 - m_CurrentHalf.load()) != ERROR_SUCCESS || !m_Group.StartCaptureAll();
        if (failed) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "capture not started");
        }
        BOOL firstPass = TRUE;
        while (!failed) {
            const DWORD half = m_CurrentHalf.load();
            const DWORD wait = m_Group.WaitHalfAll(half, m_StreamStopEvent);
            if (wait == WAIT_IO_COMPLETION) {
                continue;
            }
            if (wait == WAIT_OBJECT_0 + 1) {
                m_Group.CancelIoAll();
                return 0;
            }
            if (wait != WAIT_OBJECT_0) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "wait for half %u: 0x%X, %u", (unsigned)half,
                            (unsigned)wait, (unsigned)GetLastError());
                failed = TRUE;
                break;
            }
            if (firstPass) {
                m_Group.AlignPositions();
                firstPass = FALSE;
            }
            CopyInputs(half);
            const DWORD readError = m_Group.ReadHalfAll(half);
            if (readError != ERROR_SUCCESS) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "read of half %u: %u", (unsigned)half,
                            (unsigned)readError);
                failed = TRUE;
                break;
            }
            // A stop from another thread is seen by the next wait; one from inside the switch
            // ends the loop here, before anything more of the host's is touched.
            BufferSwitch(FALSE);
            if (m_StopFlag.load() != 0) {
                m_Group.CancelIoAll();
                return 0;
            }
        }
        if (StopRequested()) {
            m_Group.CancelIoAll();
            return 0;
        }
        if (!RecoverStreamReset()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "capture loop failed; the host is asked for a reset");
            RequestResetFromStream();
            m_Group.CancelIoAll();
            return 1;
        }
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "stream reset: the channels were restarted");
    }
}

// After an isochronous error the kernel fails reads and writes until the channels restart.
// The recovery only tries the driver critical section: while a host call holds it (start,
// stop), the host is asked for a reset instead.
BOOL CQelAsioDriver::RecoverStreamReset()
{
    CRITICAL_SECTION *section = m_DriverLock.Get();
    if (section == nullptr || !TryEnterCriticalSection(section)) {
        return FALSE;
    }
    BOOL recovered = FALSE;
    if (!StopRequested() && m_Group.HasStreamReset()) {
        m_Group.CancelIoAll();
        m_Group.ClearBuffersAll();
        recovered = m_Group.StopAll() && m_Group.StartAll();
    }
    LeaveCriticalSection(section);
    return recovered;
}

// The render side clocks the periods of a device without inputs. Both halves are filled and
// written before the first wait.
DWORD CQelAsioDriver::OutputLoop()
{
    BOOL failed = !BufferSwitch(FALSE) || !BufferSwitch(FALSE);
    while (!failed) {
        const DWORD wait = m_Group.WaitHalfAll(m_CurrentHalf.load(), m_StreamStopEvent);
        if (wait == WAIT_IO_COMPLETION) {
            continue;
        }
        if (wait == WAIT_OBJECT_0 + 1) {
            m_Group.CancelIoAll();
            return 0;
        }
        failed = wait != WAIT_OBJECT_0 || !BufferSwitch(FALSE);
    }
    // A switch that met the stop flag is a normal stop, not a stream error.
    if (StopRequested()) {
        m_Group.CancelIoAll();
        return 0;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM,
                "render loop failed, write error %u; the host is asked for a reset", (unsigned)m_WriteError.load());
    RequestResetFromStream();
    m_Group.CancelIoAll();
    return 1;
}

// TimerOnly: a tick of the suspended-position timer, which only keeps the position moving.
BOOL CQelAsioDriver::BufferSwitch(BOOL TimerOnly)
{
    ASIOTimeStamp stamp;
    GetSystemTime(&stamp);
    m_SystemTime.store(((ULONGLONG)stamp.hi << 32) | stamp.lo);
    m_OutputWritten.store(0);
    m_WriteError.store(0);
    m_SamplePosition.store(m_SamplePosition.load() + (double)m_HostBufferSize);
    if (m_StopFlag.load() != 0) {
        m_WriteError.store(1);
        return FALSE;
    }
    ASIOCallbacks *callbacks = m_Callbacks;
    const DWORD half = m_CurrentHalf.load();
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "half %u, position %.0f%s", (unsigned)half,
                m_SamplePosition.load(), TimerOnly ? ", timer only" : "");
    if (callbacks != nullptr) {
        if (m_TimeInfoMode != 0 && callbacks->bufferSwitchTimeInfo != nullptr) {
            getSamplePosition(&m_TimeInfo.timeInfo.samplePosition, &m_TimeInfo.timeInfo.systemTime);
            m_TimeInfo.timeInfo.flags |= m_PendingTimeFlags.exchange(0);
            if (m_TimeCode.load() != 0) {
                // Ten minutes ahead of the position; DSD rates overflow 32 bits, so only the
                // low half of the 64-bit value is kept.
                const double code = (double)m_CurrentRate * TimeCodeOffsetSeconds +
                                    (double)m_TimeInfo.timeInfo.samplePosition.lo;
                m_TimeInfo.timeCode.timeCodeSamples.hi = 0;
                m_TimeInfo.timeCode.timeCodeSamples.lo = (uint32_t)(ULONGLONG)code;
            }
            callbacks->bufferSwitchTimeInfo(&m_TimeInfo, (int32_t)half, ASIOTrue);
            m_TimeInfo.timeInfo.flags &= ~(uint32_t)(kSampleRateChanged | kClockSourceChanged);
        } else if (callbacks->bufferSwitch != nullptr) {
            callbacks->bufferSwitch((int32_t)half, ASIOTrue);
        }
    }
    // A host that stopped inside its switch may free its buffers as soon as it returns.
    if (m_StopFlag.load() != 0) {
        m_WriteError.store(1);
        return FALSE;
    }
    if (m_OutputMap.empty() || TimerOnly) {
        m_CurrentHalf.store(1 - half);
    } else if (m_OutputReadyMode.load() != 0) {
        if (m_OutputWritten.load() == 0) {
            WriteOutputs();
        }
        m_CurrentHalf.store(1 - half);
    } else {
        // Without outputReady the half the host filled at the previous switch goes out.
        m_CurrentHalf.store(1 - half);
        WriteOutputs();
    }
    return m_WriteError.load() == 0;
}

VOID CQelAsioDriver::WriteOutputs()
{
    const DWORD half = m_CurrentHalf.load();
    CopyOutputs(half);
    const DWORD error = m_Group.WriteHalfAll(half);
    if (error != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "write of half %u: %u", (unsigned)half, (unsigned)error);
        m_WriteError.store(1);
    }
}

VOID CQelAsioDriver::CopyOutputs(DWORD Half)
{
    const std::vector<void *> &sources = m_OutputHalves[Half & 1];
    for (size_t i = 0; i < m_OutputMap.size() && i < sources.size(); ++i) {
        const ChannelMap &entry = m_OutputMap[i];
        BYTE *device = entry.Channel->GetOutputBuffer(Half);
        if (device == nullptr) {
            continue;
        }
        device += entry.Offset;
        const BYTE *source = static_cast<const BYTE *>(sources[i]);
        for (DWORD frame = 0; frame < m_BufferFrames; ++frame) {
            std::memcpy(device, source, entry.SampleBytes);
            source += entry.SampleBytes;
            device += entry.Stride;
        }
    }
}

VOID CQelAsioDriver::CopyInputs(DWORD Half)
{
    const std::vector<void *> &targets = m_InputHalves[Half & 1];
    for (size_t i = 0; i < m_InputMap.size() && i < targets.size(); ++i) {
        const ChannelMap &entry = m_InputMap[i];
        const BYTE *device = entry.Channel->GetInputBuffer(Half);
        if (device == nullptr) {
            continue;
        }
        device += entry.Offset;
        BYTE *target = static_cast<BYTE *>(targets[i]);
        for (DWORD frame = 0; frame < m_BufferFrames; ++frame) {
            std::memcpy(target, device, entry.SampleBytes);
            target += entry.SampleBytes;
            device += entry.Stride;
        }
    }
}

VOID CQelAsioDriver::GetSystemTime(ASIOTimeStamp *Stamp)
{
    const ULONGLONG nanoseconds = (ULONGLONG)timeGetTime() * 1000000ull;
    Stamp->hi = (uint32_t)(nanoseconds >> 32);
    Stamp->lo = (uint32_t)nanoseconds;
}
