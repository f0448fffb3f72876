// OVASIO's device choice: selecting the current device from the settings and the device list
// at init, and probing which of the two stream rates both endpoints of the device accept in
// exclusive mode.
#include "OVASIO.h"

#include <cwchar>
#include "DeviceList.h"
#include "Settings.h"
#include "Stream.h"
#include "OVASIOTrace.h"

namespace {

constexpr DWORD ProbeRates[2] = {44100, 48000};

BOOL IsStreamRate(DWORD rate)
{
    return rate == ProbeRates[0] || rate == ProbeRates[1];
}

// Opens a stream on the endpoint at rate and closes it again: the code of the step that
// failed, or OV_STREAM_OK. A stream that already has a device (its buffers exist) refuses
// getDevice and is left as it is.
template <class TStream> DWORD ProbeStream(TStream *stream, LPCWSTR endpointId, DWORD rate, DWORD duration)
{
    if (stream == nullptr) {
        return OV_STREAM_MISSING;
    }
    DWORD code = stream->getDevice(endpointId);
    if (code != OV_STREAM_OK) {
        return code;
    }
    code = stream->activate();
    if (code == OV_STREAM_OK) {
        code = stream->open(rate, duration, OVASIO_BITS_PER_SAMPLE);
    }
    stream->close();
    return code;
}

} // namespace

VOID OVASIO::selectDevice()
{
    m_settings->load(m_settingsScratch);
    m_devices->refresh();
    m_devices->selectByKey(m_settingsScratch->selected);

    DWORD index = 0;
    if (m_devices->findSelected(&index)) {
        m_bufferFrames = m_settingsScratch->bufferSize;
        m_lock = m_settingsScratch->lock;
        m_notify = m_settingsScratch->notify;
        m_sampleRate = m_settingsScratch->samplingRate;
        wcsncpy(m_deviceId, m_settingsScratch->selected, ARRAYSIZE(m_deviceId) - 1);
        m_deviceId[ARRAYSIZE(m_deviceId) - 1] = L'\0';
        m_inputChannels = OVASIO_CHANNELS_PER_DIRECTION;
        m_outputChannels = OVASIO_CHANNELS_PER_DIRECTION;
    } else if (m_devices->hasDevices()) {
        m_devices->selectIndex(0);
        m_bufferFrames = m_settingsScratch->bufferSize;
        m_lock = m_settingsScratch->lock;
        m_notify = m_settingsScratch->notify;
        m_sampleRate = ProbeRates[0];
        m_deviceId[0] = L'\0';
        m_devices->selectedKey(m_deviceId, ARRAYSIZE(m_deviceId));
        m_inputChannels = OVASIO_CHANNELS_PER_DIRECTION;
        m_outputChannels = OVASIO_CHANNELS_PER_DIRECTION;
        m_settingsScratch->samplingRate = ProbeRates[0];
        wcsncpy(m_settingsScratch->selected, m_deviceId, OV_SELECTED_CHARS - 1);
        m_settingsScratch->selected[OV_SELECTED_CHARS - 1] = L'\0';
        m_settingsScratch->selectedBytes = (DWORD)((wcslen(m_settingsScratch->selected) + 1) * sizeof(WCHAR));
        m_settings->save(m_settingsScratch);
    } else {
        m_bufferFrames = OvDefaultSettings.bufferSize;
        m_lock = OvDefaultSettings.lock;
        m_notify = OvDefaultSettings.notify;
        m_sampleRate = OvDefaultSettings.samplingRate;
        m_deviceId[0] = L'\0';
        m_inputChannels = 0;
        m_outputChannels = 0;
    }

    m_bitsPerSample = OVASIO_BITS_PER_SAMPLE;
    m_bytesPerSample = OVASIO_BYTES_PER_SAMPLE;
    m_periodTenths = periodTenthsMs();
    m_currentFrames = m_bufferFrames;
    m_halfBytes = m_bytesPerSample * m_currentFrames;
}

BOOL OVASIO::probeRate(DWORD rate)
{
    DWORD index = 0;
    const OVDEVICERECORD *record = m_devices->findSelected(&index) ? m_devices->recordAt(index) : nullptr;
    if (record == nullptr || !IsStreamRate(rate)) {
        return FALSE;
    }
    const DWORD duration = isLongPeriod() ? bufferDuration() : OVASIO_SHORT_PERIOD_DURATION;
    const DWORD capture = ProbeStream(m_capture, record->captureId, rate, duration);
    const DWORD render = ProbeStream(m_render, record->renderId, rate, duration);
    if (capture != OV_STREAM_OK || render != OV_STREAM_OK) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "%u Hz: capture gives %u, render %u", (unsigned)rate,
                    (unsigned)capture, (unsigned)render);
        return FALSE;
    }
    return TRUE;
}

BOOL OVASIO::getOperatableFs(DWORD *rate, DWORD requested)
{
    OutputDebugStringW(L"OVASIO::getOperatableFs()\n");
    DWORD order[2] = {ProbeRates[0], ProbeRates[1]};
    if (requested == ProbeRates[0]) {
        OutputDebugStringW(L"--> req_fs = 44100\n");
    } else if (requested == ProbeRates[1]) {
        OutputDebugStringW(L"--> req_fs = 48000\n");
        order[0] = ProbeRates[1];
        order[1] = ProbeRates[0];
    } else {
        OutputDebugStringW(L"--> req_fs = ???\n");
    }
    for (DWORD candidate : order) {
        if (probeRate(candidate)) {
            OutputDebugStringW(candidate == ProbeRates[0] ? L"--> fs = 44100\n" : L"--> fs = 48000\n");
            if (rate != nullptr) {
                *rate = candidate;
            }
            return TRUE;
        }
    }
    return FALSE;
}
