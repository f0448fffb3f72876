// The IASIO methods of the standard ASIO driver that answer or set values: channels, latencies,
// buffer size, rates, clock source, position, channel names, the control panel and the future
// selectors; start and stop hand over to the streaming code.
#include "OVASIO.h"
#include <interlockedapi.h>
#include "DeviceList.h"
#include "PerfLog.h"
#include "Settings.h"
#include "OVASIOTrace.h"
#include <cstdio>
#include <cstring>

namespace {

const double Rate44100 = 44100.0;
const double Rate48000 = 48000.0;

// Latency model of the device and audio engine: total frames per buffer frame and per kHz.
struct LatencyRow {
    DWORD rate;
    double perFrame;
    double perKilohertz;
};
const LatencyRow LatencyRows[] = {
    {44100, 2.0033, 7.9087},
    {48000, 1.9999, 8.0052},
};

BOOL IsDriverRate(double rate)
{
    return rate == Rate44100 || rate == Rate48000;
}

// Channel names carry at most this many bytes of the device name.
const size_t NameKeepBytes = 24;
const size_t NameCutBytes = 21;
const size_t NameAnsiBytes = 32;

// The device name as channel names show it: in the ANSI code page, at most 31 bytes of it,
// without leading digits, '-' and ' ' (an endpoint name such as "2- USB Audio"), a name
// longer than 24 bytes cut to 21 and "...". Characters are converted one at a time so that
// every cut falls between two characters, also where the code page takes two bytes for one.
VOID DeviceNameForChannels(LPCWSTR name, char *out, size_t outBytes)
{
    char ansi[NameAnsiBytes] = {};
    bool starts[NameAnsiBytes] = {}; // the byte begins a character
    size_t length = 0;
    for (size_t i = 0; name[i] != L'\0';) {
        const bool pair = name[i] >= 0xD800 && name[i] <= 0xDBFF && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
        const int units = pair ? 2 : 1;
        char bytes[8];
        const int count = WideCharToMultiByte(CP_ACP, 0, name + i, units, bytes, (int)sizeof(bytes), nullptr, nullptr);
        if (count <= 0 || length + (size_t)count > sizeof(ansi) - 1) {
            break;
        }
        starts[length] = true;
        std::memcpy(ansi + length, bytes, (size_t)count);
        length += (size_t)count;
        i += (size_t)units;
    }
    size_t skip = 0;
    while (skip < length && std::strchr("0123456789- ", ansi[skip]) != nullptr) {
        ++skip;
    }
    const char *rest = ansi + skip;
    size_t keep = length - skip;
    const char *ellipsis = "";
    if (keep > NameKeepBytes) {
        keep = NameCutBytes;
        while (keep > 0 && !starts[skip + keep]) {
            --keep;
        }
        ellipsis = "...";
    }
    std::snprintf(out, outBytes, "%.*s%s", (int)keep, rest, ellipsis);
}

} // namespace

ASIOError OVASIO::start()
{
    return startStreaming(TRUE);
}

ASIOError OVASIO::stop()
{
    return stopStreaming(TRUE);
}

ASIOError OVASIO::getChannels(int32_t *numInputChannels, int32_t *numOutputChannels)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (numInputChannels != nullptr) {
        *numInputChannels = m_inputChannels;
    }
    if (numOutputChannels != nullptr) {
        *numOutputChannels = m_outputChannels;
    }
    return ASE_OK;
}

ASIOError OVASIO::getLatencies(int32_t *inputLatency, int32_t *outputLatency)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    const LatencyRow *row = nullptr;
    for (const LatencyRow &candidate : LatencyRows) {
        if (candidate.rate == m_sampleRate) {
            row = &candidate;
        }
    }
    if (row == nullptr) {
        return ASE_NotPresent;
    }
    const double frames = (double)m_bufferFrames;
    const double total = frames * row->perFrame + (m_sampleRate / 1000.0) * row->perKilohertz;
    if (inputLatency != nullptr) {
        *inputLatency = (int32_t)m_bufferFrames;
    }
    if (outputLatency != nullptr) {
        *outputLatency = (int32_t)total - (int32_t)m_bufferFrames;
    }
    return ASE_OK;
}

ASIOError OVASIO::getBufferSize(int32_t *minSize, int32_t *maxSize, int32_t *preferredSize,
                                int32_t *granularity)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    int32_t *const sizes[] = {minSize, maxSize, preferredSize};
    for (int32_t *size : sizes) {
        if (size != nullptr) {
            *size = (int32_t)m_bufferFrames;
        }
    }
    if (granularity != nullptr) {
        *granularity = 0;
    }
    return ASE_OK;
}

ASIOError OVASIO::canSampleRate(ASIOSampleRate sampleRate)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (m_lock != 0) {
        return sampleRate == (double)m_sampleRate ? ASE_OK : ASE_NoClock;
    }
    return IsDriverRate(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError OVASIO::getSampleRate(ASIOSampleRate *sampleRate)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (sampleRate != nullptr) {
        *sampleRate = (m_pendingRate > 0.0 && m_pendingRate != (double)m_sampleRate) ? m_pendingRate
                                                                                    : (double)m_sampleRate;
    }
    return ASE_OK;
}

// A new rate is stored and announced at once. Before buffers exist it takes effect; once they
// exist the streams keep running at the old rate until the host resets the driver.
ASIOError OVASIO::setSampleRate(ASIOSampleRate sampleRate)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (sampleRate == 0.0) {
        return ASE_InvalidParameter;
    }
    if (m_lock != 0) {
        return sampleRate == (double)m_sampleRate ? ASE_OK : ASE_NoClock;
    }
    // Unlocked, the answer is canSampleRate's: a stored rate the driver cannot run (one the
    // panel wrote) is refused even when it is the current one.
    if (!IsDriverRate(sampleRate)) {
        return ASE_NoClock;
    }
    if (sampleRate == (double)m_sampleRate) {
        return ASE_OK;
    }
    const DWORD rate = (DWORD)sampleRate;
    m_settings->load(m_settingsScratch);
    m_settingsScratch->samplingRate = rate;
    m_settings->save(m_settingsScratch);
    m_settings->sendRateMessage(rate);
    if (m_state == OVASIO_STATE_INITIALIZED) {
        m_sampleRate = rate;
        m_periodTenths = periodTenthsMs();
        m_currentFrames = m_bufferFrames;
        m_halfBytes = (DWORD)m_bytesPerSample * m_currentFrames;
        return ASE_OK;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%u Hz pending, the streams run at %u Hz until a reset",
                (unsigned)rate, (unsigned)m_sampleRate);
    m_pendingRate = sampleRate;
    m_asioTime.timeInfo.sampleRate = sampleRate;
    InterlockedOr(&m_timeFlagsClear, kSampleRateValid);
    InterlockedOr(&m_timeFlagsSet, kSampleRateChanged);
    ASIOCallbacks *const callbacks = m_callbacks;
    if (callbacks != nullptr && callbacks->sampleRateDidChange != nullptr) {
        callbacks->sampleRateDidChange(sampleRate);
    }
    requestReset();
    return ASE_OK;
}

ASIOError OVASIO::getClockSources(ASIOClockSource *clocks, int32_t *numSources)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (clocks != nullptr) {
        clocks[0].index = 0;
        clocks[0].associatedChannel = -1;
        clocks[0].associatedGroup = -1;
        clocks[0].isCurrentSource = ASIOTrue;
        std::snprintf(clocks[0].name, sizeof(clocks[0].name), "Internal");
    }
    if (numSources != nullptr) {
        *numSources = 1;
    }
    return ASE_OK;
}

ASIOError OVASIO::setClockSource(int32_t reference)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED || reference != 0) {
        return ASE_NotPresent;
    }
    InterlockedOr(&m_timeFlagsSet, kClockSourceChanged);
    return ASE_OK;
}

ASIOError OVASIO::getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (tStamp != nullptr) {
        *tStamp = m_systemTime;
    }
    if (sPos != nullptr) {
        const double position = m_samplePosition;
        const double twoTo32 = 4294967296.0;
        if (position < twoTo32) {
            sPos->hi = 0;
            sPos->lo = (uint32_t)position;
        } else {
            sPos->hi = (uint32_t)(position / twoTo32);
            sPos->lo = (uint32_t)(position - (double)sPos->hi * twoTo32);
        }
    }
    return ASE_OK;
}

ASIOError OVASIO::getChannelInfo(ASIOChannelInfo *info)
{
    if (m_state == OVASIO_STATE_CONSTRUCTED) {
        return ASE_NotPresent;
    }
    if (info == nullptr || info->channel < 0 ||
        info->channel >= (int32_t)(info->isInput != 0 ? m_inputChannels : m_outputChannels)) {
        return ASE_InvalidParameter;
    }
    const DWORD channel = (DWORD)info->channel;
    info->type = ASIOSTInt16LSB;
    info->channelGroup = 0;
    info->isActive = ASIOFalse;
    if (m_state != OVASIO_STATE_INITIALIZED) {
        if (info->isInput != 0) {
            info->isActive = (m_activeInputs > 0 && m_inputActive != nullptr && m_inputActive[channel] != 0);
        } else {
            info->isActive = (m_activeOutputs > 0 && m_outputActive != nullptr && m_outputActive[channel] != 0);
        }
    }
    char deviceName[32] = {};
    DWORD index = 0;
    if (m_devices->findSelected(&index)) {
        const auto *record = m_devices->recordAt(index);
        if (record != nullptr) {
            DeviceNameForChannels(record->name, deviceName, sizeof(deviceName));
        }
    }
    std::snprintf(info->name, sizeof(info->name), "%s %s %02d", deviceName, info->isInput != 0 ? "In" : "Out",
                  (int)(channel + 1));
    return ASE_OK;
}

ASIOError OVASIO::controlPanel()
{
    OVSETTINGS::launchControlPanel();
    return ASE_OK;
}

ASIOError OVASIO::future(int32_t selector, void *opt)
{
    UNREFERENCED_PARAMETER(opt);
    switch (selector) {
    case kAsioEnableTimeCodeRead:
        m_timeCodeOn = 1;
        return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
        m_timeCodeOn = 0;
        return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
        return ASE_SUCCESS;
    default:
        return ASE_NotPresent;
    }
}

ASIOError OVASIO::outputReady()
{
    if (m_state == OVASIO_STATE_RUNNING) {
        PerfLogRecord(PERF_EVENT_OUTPUT_READY);
    }
    return ASE_OK;
}
