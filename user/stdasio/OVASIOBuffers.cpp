// The standard ASIO driver's channel buffers and stream set-up (createBuffers, releaseBuffers,
// disposeBuffers) and the start and stop of streaming behind IASIO start and stop and the
// power handling.
#include "OVASIO.h"
#include <interlockedapi.h>
#include "DeviceList.h"
#include "PerfLog.h"
#include "Queue.h"
#include "SessionNotifications.h"
#include "Settings.h"
#include "Stream.h"
#include <cstring>
#include <new>
#include "OVASIOTrace.h"

namespace {

// Render queue depth: the stream thread runs at most one WASAPI buffer ahead of the engine.
const DWORD RenderQueueBlocks = 2;

VOID FreeBlocks(BYTE ***blocks, DWORD count)
{
    if (*blocks == nullptr) {
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        delete[] (*blocks)[i];
    }
    delete[] *blocks;
    *blocks = nullptr;
}

// An array of count zero-filled channel blocks; FALSE when memory runs out (the blocks made
// so far stay in the array for FreeBlocks).
BOOL AllocateBlocks(BYTE **blocks, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        blocks[i] = new (std::nothrow) BYTE[OVASIO_CHANNEL_BLOCK_BYTES]();
        if (blocks[i] == nullptr) {
            return FALSE;
        }
    }
    return TRUE;
}

// The opening steps both streams share (device, client, open, services, session events and
// their owner), each success counted in *step; FALSE at the first that fails.
template <class TStream>
BOOL OpenStreamSteps(OVASIO *owner, TStream *stream, LPCWSTR endpointId, DWORD rate, DWORD duration, DWORD *step,
                     OVAUDIOSESSIONNOTIFICATIONS **events, BOOL capture)
{
    DWORD code = stream->getDevice(endpointId);
    if (code == OV_STREAM_OK) {
        *step = 1;
        code = stream->activate();
    }
    if (code == OV_STREAM_OK) {
        *step = 2;
        code = stream->open(rate, duration, OVASIO_BITS_PER_SAMPLE);
    }
    if (code == OV_STREAM_OK) {
        *step = 3;
        code = stream->getServices();
    }
    if (code == OV_STREAM_OK) {
        *step = 4;
        code = stream->registerSessionEvents(events);
    }
    if (code != OV_STREAM_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: step %u at %u Hz gives %u", TRACE_DIRECTION(capture),
                    (unsigned)*step + 1, (unsigned)rate, (unsigned)code);
        return FALSE;
    }
    *step = 5;
    if (*events == nullptr || !(*events)->SetOwner(owner)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: the session events refuse their owner",
                    TRACE_DIRECTION(capture));
        return FALSE;
    }
    *step = 6;
    return TRUE;
}

} // namespace

VOID OVASIO::requestResetWith(ASIOCallbacks *callbacks)
{
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) {
        return;
    }
    if (InterlockedCompareExchange((volatile LONG *)&m_resetRequested, 1, 0) != 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "reset already requested");
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "reset requested");
    m_settings->sendResetMessage();
    callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

ASIOError OVASIO::failCreateBuffers(ASIOError result)
{
    releaseBuffers();
    m_settings->sendStreamStateMessage(OVASIO_STREAM_FAILED);
    return result;
}

BOOL OVASIO::openCaptureStream(DWORD rate, DWORD duration)
{
    DWORD index = 0;
    const auto *record = m_devices->findSelected(&index) ? m_devices->recordAt(index) : nullptr;
    if (!OpenStreamSteps(this, m_capture, record != nullptr ? record->captureId : nullptr, rate, duration,
                         &m_captureStep, &m_captureSessionEvents, TRUE)) {
        return FALSE;
    }
    m_captureEvent = m_capture->getBufferEvent();
    if (m_captureEvent == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "i: no buffer event");
        return FALSE;
    }
    m_captureStep = 7;
    return TRUE;
}

BOOL OVASIO::openRenderStream(DWORD rate, DWORD duration)
{
    DWORD index = 0;
    const auto *record = m_devices->findSelected(&index) ? m_devices->recordAt(index) : nullptr;
    if (!OpenStreamSteps(this, m_render, record != nullptr ? record->renderId : nullptr, rate, duration, &m_renderStep,
                         &m_renderSessionEvents, FALSE)) {
        return FALSE;
    }
    // Where the host's output is played, a block is one host buffer and must be one render
    // buffer too: a render buffer of another length would refuse every block and play silence
    // for the whole session.
    if (m_shortPeriod == 0 && m_rateDiffers == 0 && m_render->bufferFrames() != m_currentFrames) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "o: render buffer of %u frames for host buffers of %u",
                    (unsigned)m_render->bufferFrames(), (unsigned)m_currentFrames);
        return FALSE;
    }
    if (!m_renderQueue->init(RenderQueueBlocks, m_render->bufferFrames())) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "o: render queue of %u frames failed: %u",
                    (unsigned)m_render->bufferFrames(), (unsigned)GetLastError());
        return FALSE;
    }
    m_renderStep = 7;
    HANDLE spaceEvent = nullptr;
    if (!m_renderQueue->getSpaceEvent(&spaceEvent) || spaceEvent == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "o: render queue without space event");
        return FALSE;
    }
    m_queueSpaceEvent = spaceEvent;
    m_renderStep = 8;
    return TRUE;
}

// A host that calls createBuffers again without disposeBuffers is refused before anything is
// touched: the buffers and streams of the first call may be in use by the engine.
ASIOError OVASIO::createBuffers(ASIOBufferInfo *bufferInfos, int32_t numChannels, int32_t bufferSize,
                                ASIOCallbacks *callbacks)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return failCreateBuffers(ASE_NotPresent);
    }
    if (m_state != OVASIO_STATE_INITIALIZED) {
        return ASE_InvalidMode;
    }
    if (bufferInfos == nullptr || callbacks == nullptr || callbacks->asioMessage == nullptr || numChannels <= 0 ||
        numChannels > (int32_t)m_inputChannels + (int32_t)m_outputChannels) {
        return failCreateBuffers(ASE_InvalidParameter);
    }
    m_pendingRate = 0.0;
    if (m_settingsChangedEarly != 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "settings changed before createBuffers");
        requestResetWith(callbacks);
    }
    if (bufferSize < (int32_t)OV_BUFFER_FRAMES_MIN || bufferSize > (int32_t)OV_BUFFER_FRAMES_MAX ||
        (DWORD)bufferSize != m_currentFrames) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "buffer size %d refused, the setting is %u",
                    (int)bufferSize, (unsigned)m_currentFrames);
        requestResetWith(callbacks);
        return failCreateBuffers(ASE_InvalidMode);
    }
    m_currentFrames = (DWORD)bufferSize;
    m_halfBytes = (DWORD)m_bytesPerSample * m_currentFrames;

    m_inputBuffers = new (std::nothrow) BYTE *[m_inputChannels]();
    m_outputBuffers = new (std::nothrow) BYTE *[m_outputChannels]();
    if (m_inputBuffers == nullptr || m_outputBuffers == nullptr ||
        !AllocateBlocks(m_inputBuffers, m_inputChannels) || !AllocateBlocks(m_outputBuffers, m_outputChannels)) {
        return failCreateBuffers(ASE_NoMemory);
    }
    m_inputActive = new (std::nothrow) DWORD[m_inputChannels]();
    m_outputActive = new (std::nothrow) DWORD[m_outputChannels]();
    m_captureStaging = new (std::nothrow) BYTE[(size_t)m_inputChannels * m_halfBytes]();
    if (m_inputActive == nullptr || m_outputActive == nullptr || m_captureStaging == nullptr) {
        return failCreateBuffers(ASE_NoMemory);
    }
    m_activeInputs = 0;
    m_activeOutputs = 0;

    for (int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo &info = bufferInfos[i];
        const BOOL input = info.isInput != 0;
        const DWORD channels = input ? m_inputChannels : m_outputChannels;
        DWORD *const active = input ? m_inputActive : m_outputActive;
        if (info.channelNum < 0 || (DWORD)info.channelNum >= channels || active[info.channelNum] != 0) {
            return failCreateBuffers(ASE_InvalidMode);
        }
        BYTE *const block = (input ? m_inputBuffers : m_outputBuffers)[info.channelNum];
        active[info.channelNum] = 1;
        info.buffers[0] = block;
        info.buffers[1] = block + m_halfBytes;
        ++(input ? m_activeInputs : m_activeOutputs);
    }

    m_callbacks = callbacks;
    if (callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0) {
        m_timeInfoMode = 1;
        std::memset(&m_asioTime, 0, sizeof(m_asioTime));
        m_asioTime.timeInfo.speed = 1.0;
        m_asioTime.timeInfo.sampleRate = (double)m_sampleRate;
        m_asioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_asioTime.timeCode.speed = 1.0;
        m_asioTime.timeCode.flags = kTcValid | kTcRunning;
        InterlockedExchange(&m_timeFlagsClear, 0);
        InterlockedExchange(&m_timeFlagsSet, 0);
    } else {
        m_timeInfoMode = 0;
    }

    m_rateDiffers = 0;
    DWORD streamRate = m_sampleRate;
    DWORD deviceRate = 0;
    if (getOperatableFs(&deviceRate, m_sampleRate)) {
        streamRate = deviceRate;
        m_rateDiffers = deviceRate != m_sampleRate;
    }
    m_openedStreams = 0;
    const BOOL longPeriod = isLongPeriod();
    const DWORD duration = longPeriod ? bufferDuration() : OVASIO_SHORT_PERIOD_DURATION;
    m_shortPeriod = !longPeriod;
    if (m_activeInputs > 0) {
        if (!openCaptureStream(streamRate, duration)) {
            return failCreateBuffers(ASE_InvalidMode);
        }
        m_openedStreams |= 1;
        m_capture->setBuffers(m_captureStaging, m_currentFrames);
    }
    if (m_activeOutputs > 0) {
        if (!openRenderStream(streamRate, duration)) {
            return failCreateBuffers(ASE_InvalidMode);
        }
        m_openedStreams |= 2;
    }
    m_waitHandles[0] = m_stopEvent;
    m_waitHandles[1] = m_activeInputs > 0 ? m_captureEvent : m_queueSpaceEvent;
    m_state = OVASIO_STATE_PREPARED;
    return ASE_OK;
}

VOID OVASIO::releaseBuffers()
{
    if (m_renderStep >= 7) {
        m_renderQueue->close();
    }
    if (m_renderStep >= 6 && m_renderSessionEvents != nullptr) {
        m_renderSessionEvents->ClearOwner();
    }
    if (m_renderStep >= 1) {
        m_render->close();
    }
    m_renderStep = 0;
    m_renderSessionEvents = nullptr;
    if (m_captureStep >= 6 && m_captureSessionEvents != nullptr) {
        m_captureSessionEvents->ClearOwner();
    }
    if (m_captureStep >= 1) {
        m_capture->close();
    }
    m_captureStep = 0;
    m_captureSessionEvents = nullptr;

    delete[] m_captureStaging;
    m_captureStaging = nullptr;
    delete[] m_outputActive;
    m_outputActive = nullptr;
    delete[] m_inputActive;
    m_inputActive = nullptr;
    FreeBlocks(&m_outputBuffers, m_outputChannels);
    FreeBlocks(&m_inputBuffers, m_inputChannels);
}

ASIOError OVASIO::disposeBuffers()
{
    if (m_state != OVASIO_STATE_PREPARED) {
        return ASE_NotPresent;
    }
    // An engine thread that the host stopped from its buffer switch goes before the streams
    // and buffers it used; on that thread itself they are no longer touched.
    joinEngineThread();
    m_callbacks = nullptr;
    m_captureEvent = nullptr;
    m_queueSpaceEvent = nullptr;
    m_waitHandles[0] = nullptr;
    m_waitHandles[1] = nullptr;
    m_openedStreams = 0;
    m_timeInfoMode = 0;
    std::memset(&m_asioTime, 0, sizeof(m_asioTime));
    releaseBuffers();
    m_state = OVASIO_STATE_INITIALIZED;
    return ASE_OK;
}

// The streams' session-events objects are let go of first, so that a late disconnect report
// cannot reach a driver object that no longer exists.
VOID OVASIO::closeStreams()
{
    if (m_activeInputs > 0) {
        if (m_captureSessionEvents != nullptr) {
            m_captureSessionEvents->ClearOwner();
        }
        m_capture->close();
        m_captureSessionEvents = nullptr;
    }
    if (m_activeOutputs > 0) {
        if (m_renderSessionEvents != nullptr) {
            m_renderSessionEvents->ClearOwner();
        }
        m_render->close();
        m_renderSessionEvents = nullptr;
    }
}

ASIOError OVASIO::startStreaming(BOOL resetPositions)
{
    PerfLogRecord(PERF_EVENT_START);
    if (m_sessionLost != 0 || m_state != OVASIO_STATE_PREPARED || m_callbacks == nullptr ||
        (m_activeInputs == 0 && m_activeOutputs == 0)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "refused: state %u, session lost %u", (unsigned)m_state,
                    (unsigned)m_sessionLost);
        m_settings->sendStreamStateMessage(OVASIO_STREAM_FAILED);
        return ASE_NotPresent;
    }
    // An engine thread that a host stopped from its own buffer switch may still be ending; a
    // start on that thread itself cannot wait for it.
    if (!joinEngineThread()) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "refused on the engine thread that is ending");
        m_settings->sendStreamStateMessage(OVASIO_STREAM_FAILED);
        return ASE_NotPresent;
    }
    for (DWORD channel = 0; channel < m_outputChannels && channel < OVASIO_CHANNELS_PER_DIRECTION; ++channel) {
        std::memset(m_outputBuffers[channel], 0, 2 * (size_t)m_halfBytes);
    }
    m_settings->setRunning(TRUE);
    if (resetPositions) {
        m_samplePosition = 0.0;
        m_halfIndex = 0;
        m_firstPeriod = 1;
        m_skipOnce = 1;
        m_lastSwitchTime = 0;
        m_restartRender = 0;
    }
    // What the last run left queued is stale: a stop or a suspend finds the queue full, and an
    // engine without inputs, which waits for room in it, would never run again.
    m_renderQueue->flush();
    ResetEvent(m_stopEvent);
    startEngineThread();
    // Neither failure changes the answer: the health checks find a stream that does not run.
    if (m_activeOutputs > 0) {
        const DWORD code = m_render->startThread();
        if (code != OV_STREAM_OK) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: startThread gives %u", (unsigned)code);
        }
    }
    if (m_activeInputs > 0) {
        const DWORD code = m_capture->startClient();
        if (code != OV_STREAM_OK) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "i: startClient gives %u", (unsigned)code);
        }
    }
    m_settings->sendStreamStateMessage(OVASIO_STREAM_STARTED);
    m_state = OVASIO_STATE_RUNNING;
    return ASE_OK;
}

ASIOError OVASIO::stopStreaming(BOOL saveState)
{
    PerfLogRecord(PERF_EVENT_STOP);
    if (m_driverMutex == nullptr) {
        return ASE_NotPresent;
    }
    ASIOError result = ASE_NotPresent;
    if (m_engineThread != nullptr && GetCurrentThreadId() == m_engineThreadId) {
        // A stop from the host's buffer switch while another of its threads stops: that stop
        // holds the mutex while it waits for this thread, and has set the stop event first.
        const HANDLE waits[2] = {m_driverMutex, m_stopEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            return ASE_OK;
        }
    } else {
        WaitForSingleObject(m_driverMutex, INFINITE);
    }
    if (m_state == OVASIO_STATE_PREPARED && m_engineThread != nullptr && GetCurrentThreadId() != m_engineThreadId) {
        // The stream was stopped from inside the host's buffer switch, perhaps while this
        // stop waited for the mutex: it has ended once its thread has.
        joinEngineThread();
        ResetEvent(m_stopEvent);
        result = ASE_OK;
    }
    if (m_state == OVASIO_STATE_RUNNING) {
        SetEvent(m_stopEvent);
        if (m_activeOutputs > 0) {
            m_render->signalStop();
        }
        if (joinEngineThread()) {
            ResetEvent(m_stopEvent);
        } else {
            // Stopped from inside the host's buffer switch: the engine thread cannot wait for
            // itself. The streams are stopped here, as the engine stops them on its way out,
            // so that nothing plays once stop returns; the loop ends when the switch returns,
            // and the next start, disposeBuffers or the teardown joins the thread.
            if (m_activeInputs > 0) {
                m_capture->joinThread();
            }
            if (m_activeOutputs > 0) {
                m_render->joinThread();
            }
        }
        m_settings->setRunning(FALSE);
        m_state = OVASIO_STATE_PREPARED;
        result = ASE_OK;
    }
    if (saveState) {
        m_savedState = m_state;
    }
    ReleaseMutex(m_driverMutex);
    return result;
}
