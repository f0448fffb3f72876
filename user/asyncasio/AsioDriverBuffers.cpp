// The host's double buffers: createBuffers with its checks, the channel map and the prepared
// device layout it records, and disposeBuffers.
#include "QelAsioDriver.h"
#include "AsioDriverTrace.h"
#include "AsioGuard.h"
#include "AsioTraceNames.h"
#include "RateTables.h"
#include <cstring>
#include <new>

namespace {

const DWORD DevicePowerWaitMs = 3000;
const BYTE DsdSilence = 0x96;

enum class BufferError { None, InvalidArgument, NoMemory };

} // namespace

ASIOError CQelAsioDriver::createBuffers(ASIOBufferInfo *bufferInfos, int32_t numChannels,
                                        int32_t bufferSize, ASIOCallbacks *callbacks)
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() != QEL_ASIO_INITIALIZED) {
            return ASE_NotPresent;
        }
        if (!AwaitDevicePower(DevicePowerWaitMs)) {
            return ASE_NotPresent;
        }
        CMutexLock lock(m_SettingsMutex);
        return CreateBuffersLocked(bufferInfos, numChannels, bufferSize, callbacks);
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%d buffers of %d: %s, state %s", (int)numChannels,
                (int)bufferSize, AsioResultName(result), AsioStateName(m_State.load()));
    return result;
}

ASIOError CQelAsioDriver::CreateBuffersLocked(ASIOBufferInfo *Infos, int32_t Count, int32_t Size,
                                              ASIOCallbacks *Callbacks)
{
    if (!CheckDevice()) {
        return ASE_NotPresent;
    }
    if (Infos == nullptr || Callbacks == nullptr || Count <= 0 ||
        (ULONGLONG)Count > (ULONGLONG)m_InputCount + m_OutputCount) {
        return ASE_InvalidParameter;
    }
    if (m_ResetPending.load() != 0) {
        return ASE_InvalidParameter;
    }
    // The rate the device runs at wins over one the control panel stored meanwhile.
    if (m_CurrentRate == m_StoredRate) {
        if (!ApplyDeviceRate(m_CurrentRate)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%u Hz not applied", (unsigned)m_CurrentRate);
            return ASE_NoClock;
        }
        RefreshFormat();
    } else {
        const ASIOError result = SetSampleRateLocked((double)m_CurrentRate);
        if (result != ASE_OK) {
            return result;
        }
    }
    const DWORD minimum = BufferFramesForIndex(0);
    const DWORD maximum = BufferFramesForIndex(BUFFER_INDEX_MAX);
    m_HostBufferSize = Size > 0 ? (DWORD)Size : 0;
    const BOOL dsd = m_OutputType == ASIOSTDSDInt8MSB1 || m_OutputType == ASIOSTDSDInt8LSB1 ||
                     m_InputType == ASIOSTDSDInt8MSB1 || m_InputType == ASIOSTDSDInt8LSB1;
    LONG frames = Size;
    if (dsd) {
        if (Size % (1 << DSD_RATE_SHIFT) != 0) {
            return ASE_InvalidParameter;
        }
        frames = Size >> DSD_RATE_SHIFT;
    }
    // A rate without a buffer rule gives no range at all; no size fits it.
    if (frames <= 0 || maximum <= minimum || (DWORD)frames > maximum || (DWORD)frames < minimum) {
        return ASE_InvalidMode;
    }
    m_PendingRate = 0.0;
    m_BufferFrames = (DWORD)frames;

    const BYTE fill = IsDsdFormat() ? DsdSilence : 0;
    const DWORD inputBytes = m_InputBits / 8;
    const DWORD outputBytes = m_OutputBits / 8;
    BufferError error = BufferError::None;
    try {
        m_InputUsed.assign(m_InputCount, 0);
        m_OutputUsed.assign(m_OutputCount, 0);
        for (int half = 0; half < 2; ++half) {
            m_InputHalves[half].reserve(m_InputCount);
            m_OutputHalves[half].reserve(m_OutputCount);
        }
        m_InputMap.reserve(m_InputCount);
        m_OutputMap.reserve(m_OutputCount);
        for (int32_t i = 0; i < Count && error == BufferError::None; ++i) {
            ASIOBufferInfo &info = Infos[i];
            const BOOL input = info.isInput != ASIOFalse;
            std::vector<LONG> &used = input ? m_InputUsed : m_OutputUsed;
            if (info.channelNum < 0 || (size_t)info.channelNum >= used.size() || used[(size_t)info.channelNum] != 0) {
                error = BufferError::InvalidArgument;
                break;
            }
            ChannelMap entry{};
            DWORD position = 0;
            if (!m_Group.MapChannel(input, (DWORD)info.channelNum, &position, &entry.Index) ||
                (entry.Channel = m_Group.GetChannel(position)) == nullptr) {
                error = BufferError::InvalidArgument;
                break;
            }
            used[(size_t)info.channelNum] = 1;
            (input ? m_InputMap : m_OutputMap).push_back(entry);
            const size_t bytes = (size_t)m_BufferFrames * (input ? inputBytes : outputBytes);
            for (int half = 0; half < 2; ++half) {
                BYTE *buffer = new (std::nothrow) BYTE[bytes];
                if (buffer == nullptr) {
                    error = BufferError::NoMemory;
                    break;
                }
                std::memset(buffer, fill, bytes);
                (input ? m_InputHalves[half] : m_OutputHalves[half]).push_back(buffer);
                info.buffers[half] = buffer;
            }
        }
    } catch (const std::bad_alloc &) {
        error = BufferError::NoMemory;
    }
    if (error != BufferError::None) {
        TraceEvents(error == BufferError::NoMemory ? TRACE_LEVEL_ERROR : TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s",
                    error == BufferError::NoMemory ? "no memory for the host buffers"
                                                   : "a channel is out of range or overlapped");
        FreeHostBuffers();
        return error == BufferError::NoMemory ? ASE_NoMemory : ASE_InvalidParameter;
    }

    const DWORD percent = (DWORD)(((ULONGLONG)(m_BufferFrames - minimum) * 100) / (maximum - minimum));
    if (!m_Group.PrepareAll(m_BufferFrames, m_InputCount != 0, m_OutputCount != 0, percent, IsDsdFormat())) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "PrepareAll %u frames, %u%% failed: %u",
                    (unsigned)m_BufferFrames, (unsigned)percent, (unsigned)GetLastError());
        FreeHostBuffers();
        return ASE_HWMalfunction;
    }
    // The copy routines use the layout the halves were prepared with, whatever the device
    // reports later; a layout that does not fit the halves is refused here, never overrun.
    BOOL layoutFits = TRUE;
    for (int pass = 0; pass < 2; ++pass) {
        const BOOL input = pass == 0;
        for (ChannelMap &entry : input ? m_InputMap : m_OutputMap) {
            CAsioDeviceChannel *channel = entry.Channel;
            entry.SampleBytes = channel->GetBitsPerSample(input) / 8;
            entry.Stride = (input ? channel->GetInputCount() : channel->GetOutputCount()) * entry.SampleBytes;
            entry.Offset = entry.Index * entry.SampleBytes;
            const ULONGLONG end = entry.Offset + (ULONGLONG)(m_BufferFrames - 1) * entry.Stride + entry.SampleBytes;
            const DWORD halfSize = input ? channel->GetInputBufferSize() : channel->GetOutputBufferSize();
            if (entry.SampleBytes != (input ? inputBytes : outputBytes) || end > halfSize) {
                layoutFits = FALSE;
            }
        }
    }
    if (!layoutFits) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "the prepared layout does not fit %u frames",
                    (unsigned)m_BufferFrames);
        m_Group.UnprepareAll();
        FreeHostBuffers();
        return ASE_HWMalfunction;
    }
    m_PreparedInputCount = m_Group.GetInputCount();
    m_PreparedOutputCount = m_Group.GetOutputCount();
    m_PreparedInputBits = m_Group.GetBitsPerSample(TRUE);
    m_PreparedOutputBits = m_Group.GetBitsPerSample(FALSE);

    m_Callbacks = Callbacks;
    if (Callbacks->asioMessage == nullptr ||
        Callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr) < 2) {
        m_OutputReadyMode.store(0);
    }
    m_TimeInfoMode = 0;
    std::memset(&m_TimeInfo, 0, sizeof(m_TimeInfo));
    if (Callbacks->asioMessage != nullptr && Callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0) {
        m_TimeInfoMode = 1;
        m_TimeInfo.timeInfo.speed = 1.0;
        m_TimeInfo.timeInfo.sampleRate = (double)m_CurrentRate;
        m_TimeInfo.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_TimeInfo.timeCode.speed = 1.0;
        m_TimeInfo.timeCode.flags = kTcValid | kTcRunning;
    }
    m_State.store(QEL_ASIO_PREPARED);
    return ASE_OK;
}

ASIOError CQelAsioDriver::FreeHostBuffers()
{
    for (int half = 0; half < 2; ++half) {
        for (void *buffer : m_OutputHalves[half]) {
            delete[] static_cast<BYTE *>(buffer);
        }
        for (void *buffer : m_InputHalves[half]) {
            delete[] static_cast<BYTE *>(buffer);
        }
        m_OutputHalves[half].clear();
        m_InputHalves[half].clear();
    }
    m_InputUsed.clear();
    m_OutputUsed.clear();
    m_InputMap.clear();
    m_OutputMap.clear();
    m_TimeInfoMode = 0;
    std::memset(&m_TimeInfo, 0, sizeof(m_TimeInfo));
    m_ResetPending.store(0);
    return ASE_OK;
}

ASIOError CQelAsioDriver::disposeBuffers()
{
    const ASIOError result = AsioGuard([&]() -> ASIOError {
        if (m_State.load() != QEL_ASIO_PREPARED) {
            return ASE_NotPresent;
        }
        {
            // A stream that the host stopped from its own buffer switch may still be ending;
            // its buffers go only after it. On that thread itself nothing more of them is
            // touched once the switch returns.
            CCritSecLock section(m_DriverLock);
            EndStreamThread();
        }
        CMutexLock lock(m_SettingsMutex);
        m_Callbacks = nullptr;
        FreeHostBuffers();
        // A channel's refusal is traced by the group, which unprepares every channel anyway.
        m_Group.UnprepareAll();
        m_State.store(QEL_ASIO_INITIALIZED);
        if (m_ReselectPending) {
            m_ReselectPending = FALSE;
            SelectDevice();
        }
        return ASE_OK;
    });
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s, state %s", AsioResultName(result),
                AsioStateName(m_State.load()));
    return result;
}
