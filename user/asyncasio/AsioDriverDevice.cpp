// Choice and opening of the driver's device, the device's power and presence checks, and the
// reset requests to the host.
#include "QelAsioDriver.h"
#include "AsioDriverTrace.h"
#include "AsioTraceNames.h"
#include "RateTables.h"
#include <cwchar>

namespace {

const DWORD PowerPollMs = 100;

} // namespace

ASIOSampleType CQelAsioDriver::SampleTypeFor(LONG formatType, DWORD bitsPerSample)
{
    if (formatType == kASIOPCMFormat) {
        switch (bitsPerSample) {
        case 16:
            return ASIOSTInt16LSB;
        case 24:
            return ASIOSTInt24LSB;
        case 32:
            return ASIOSTInt32LSB;
        default:
            return -1;
        }
    }
    if (formatType == kASIODSDFormat && bitsPerSample == 32) {
        return ASIOSTDSDInt8MSB1;
    }
    return -1;
}

// Expects the settings mutex. Widths follow the device, and so do the sample types: a device
// chosen anew with another container width must not keep the old width's type, or the host
// would write more bytes per sample than its buffers hold.
VOID CQelAsioDriver::RefreshFormat()
{
    m_InputCount = m_Group.GetInputCount();
    m_OutputCount = m_Group.GetOutputCount();
    m_InputBits = m_Group.GetBitsPerSample(TRUE);
    m_OutputBits = m_Group.GetBitsPerSample(FALSE);
    m_InputType = SampleTypeFor(m_IoFormat.FormatType, m_InputBits);
    m_OutputType = SampleTypeFor(m_IoFormat.FormatType, m_OutputBits);
    if ((m_InputCount != 0 && m_InputType < 0) || (m_OutputCount != 0 && m_OutputType < 0)) {
        m_InputCount = 0;
        m_OutputCount = 0;
    }
}

// Expects the settings mutex. Judged from the capability rows learnt at open, so that a rate is
// refused before the device is asked to change to it.
BOOL CQelAsioDriver::HasDsdTypesAt(DWORD DeviceRate)
{
    DWORD channels = 0;
    for (int pass = 0; pass < 2; ++pass) {
        DWORD count = 0;
        DWORD bits = 0;
        m_Group.GetFormatAt(DeviceRate, pass == 0, &count, &bits);
        const ASIOSampleType type = SampleTypeFor(kASIODSDFormat, bits);
        if (count != 0 && type != ASIOSTDSDInt8MSB1 && type != ASIOSTDSDInt8LSB1) {
            return FALSE;
        }
        channels += count;
    }
    return channels != 0;
}

// Expects the settings mutex. TRUE when the open group's counts or widths are no longer those
// the host buffers and the prepared halves were laid out for.
BOOL CQelAsioDriver::FormatDiffersFromPrepared()
{
    return m_Group.GetInputCount() != m_PreparedInputCount || m_Group.GetOutputCount() != m_PreparedOutputCount ||
           (m_PreparedInputCount != 0 && m_Group.GetBitsPerSample(TRUE) != m_PreparedInputBits) ||
           (m_PreparedOutputCount != 0 && m_Group.GetBitsPerSample(FALSE) != m_PreparedOutputBits);
}

VOID CQelAsioDriver::SelectDevice()
{
    CMutexLock lock(m_SettingsMutex);
    m_Settings.GetSelected(m_SelectedDevice, 128);
    m_SelectedDevice[128] = L'\0';
    m_Group.CloseAll();
    m_Devices.EnumerateDevices();
    if (m_Devices.GetCount() > 0) {
        BOOL writeBack = FALSE;
        if (m_Devices.FindDevice(m_SelectedDevice)) {
            m_Devices.SelectDevice(m_SelectedDevice);
        } else {
            m_Devices.SetCurrentDevice(0);
            writeBack = TRUE;
        }
        m_BufferSizeIndex = m_Settings.GetBufferSizeIndex();
        m_CurrentRate = m_StoredRate = m_Settings.GetSamplingRate();
        const AsioDeviceRecord *current = m_Devices.GetCurrentDevice();
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "%ls of %u devices (stored \"%ls\"), index %u, %u Hz",
                    current != nullptr ? current->InstanceId : L"none", (unsigned)m_Devices.GetCount(),
                    m_SelectedDevice, (unsigned)m_BufferSizeIndex, (unsigned)m_CurrentRate);
        if (current != nullptr) {
            OpenChannels();
            if (writeBack) {
                std::wcsncpy(m_SelectedDevice, current->InstanceId, 128);
                m_SelectedDevice[128] = L'\0';
                m_Settings.SetSelected(m_SelectedDevice);
            }
        } else {
            m_InputCount = m_OutputCount = 0;
            m_Range = RateRange{0, 0};
        }
    } else {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "no device");
        m_BufferSizeIndex = BUFFER_INDEX_DEFAULT;
        m_InputCount = m_OutputCount = 0;
        m_Range = RateRange{0, 0};
        m_SelectedDevice[0] = L'\0';
        m_InputBits = m_OutputBits = 32;
    }
}

BOOL CQelAsioDriver::OpenChannels()
{
    CMutexLock lock(m_SettingsMutex);
    m_Group.CloseAll();
    const AsioDeviceRecord *current = m_Devices.GetCurrentDevice();
    BOOL opened = current != nullptr &&
                  m_Group.OpenDevice(current->ChannelPath, current->InstanceId, current->Description);
    if (opened) {
        m_Group.GetRateRange(&m_Range);
        opened = m_Range.Lowest != 0 && m_Range.Highest != 0;
        if (!opened) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no rate range (%u..%u)", (unsigned)m_Range.Lowest,
                        (unsigned)m_Range.Highest);
        }
    }
    const DWORD divisor = IsDsdFormat() ? 1u << DSD_RATE_SHIFT : 1;
    if (opened) {
        DWORD rate = m_CurrentRate / divisor;
        rate = rate < m_Range.Lowest ? m_Range.Lowest : (rate > m_Range.Highest ? m_Range.Highest : rate);
        if (rate * divisor != m_CurrentRate) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "%u Hz clamped to %u Hz (%u..%u)",
                        (unsigned)m_CurrentRate, (unsigned)(rate * divisor), (unsigned)m_Range.Lowest,
                        (unsigned)m_Range.Highest);
        }
        // A device that has no DSD sample type at the rate is refused before its rate (and
        // with it the name of its kernel subdevice) changes.
        opened = (divisor == 1 || HasDsdTypesAt(rate)) && m_Group.SetSampleRateAll(rate);
        if (opened) {
            m_CurrentRate = divisor * rate;
            RefreshFormat();
            opened = (m_InputCount != 0 || m_OutputCount != 0) && m_Group.AcquireAll();
        }
    }
    if (!opened) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%ls not opened at %u Hz: %u",
                    current != nullptr ? current->InstanceId : L"no device", (unsigned)m_CurrentRate,
                    (unsigned)GetLastError());
        m_Group.CloseAll();
        m_InputCount = m_OutputCount = 0;
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "%ls at %u Hz: %u inputs of %u bits, %u outputs of %u bits", current->InstanceId,
                    (unsigned)m_CurrentRate, (unsigned)m_InputCount, (unsigned)m_InputBits, (unsigned)m_OutputCount,
                    (unsigned)m_OutputBits);
    }
    return opened;
}

BOOL CQelAsioDriver::CheckDevice()
{
    const LONG state = m_State.load();
    if (state == QEL_ASIO_LOADED) {
        return FALSE;
    }
    if (m_Group.PingAll()) {
        return TRUE;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "the device does not answer in state %s", AsioStateName(state));
    if (state != QEL_ASIO_INITIALIZED) {
        RequestReset(1);
        return FALSE;
    }
    return OpenChannels();
}

BOOL CQelAsioDriver::AwaitDevicePower(DWORD Milliseconds)
{
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < Milliseconds) {
        BOOL on = FALSE;
        if (!m_Group.IsPowered(&on)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "power state not read: %u", (unsigned)GetLastError());
            return FALSE;
        }
        if (on) {
            return TRUE;
        }
        Sleep(PowerPollMs);
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "the device stayed off for %u ms", (unsigned)Milliseconds);
    return FALSE;
}

// A request never clears a pending rate change: an index-only change that follows must not
// let the host start its stale buffers again.
int32_t CQelAsioDriver::RequestReset(DWORD RateChange)
{
    CMutexLock lock(m_SettingsMutex);
    ASIOCallbacks *callbacks = m_Callbacks;
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) {
        return 0;
    }
    m_ResetPending.fetch_or(RateChange);
    const int32_t answer = callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "kAsioResetRequest (rate change %u): %d",
                (unsigned)RateChange, (int)answer);
    return answer;
}

VOID CQelAsioDriver::FlushReset()
{
    if (m_ResetNeeded.exchange(0) != 0) {
        RequestReset(1);
    }
}

VOID CQelAsioDriver::RequestResetFromStream()
{
    HANDLE objects[2] = {m_SettingsMutex, m_StreamStopEvent};
    const DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED_0) {
        return;
    }
    if (!StopRequested()) {
        RequestReset(1);
    }
    ReleaseMutex(m_SettingsMutex);
}
