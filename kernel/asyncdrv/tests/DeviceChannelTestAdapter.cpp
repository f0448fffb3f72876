// The device channel tests' stand-in adapter: bookkeeping of what the channel asked for.
#include "DeviceChannelTestAdapter.h"

namespace channel_test {

test_adapter::test_adapter()
{
    formats[44100] = {{2, 32}, {2, 32}};
    formats[48000] = {{2, 32}, {2, 32}};
    formats[96000] = {{2, 32}, {2, 32}};
}

test_adapter::~test_adapter() = default;

STDMETHODIMP test_adapter::QueryInterface(REFIID, void **Object)
{
    *Object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) test_adapter::AddRef()
{
    return static_cast<ULONG>(++references);
}

STDMETHODIMP_(ULONG) test_adapter::Release()
{
    return static_cast<ULONG>(--references);
}

STDMETHODIMP test_adapter::Init(PDEVICE_OBJECT, PDEVICE_OBJECT)
{
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::ReserveStreams(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Dsd)
{
    if (!NT_SUCCESS(reserve_result)) {
        return reserve_result;
    }
    capture_users += Capture ? 1 : 0;
    render_users += Render ? 1 : 0;
    dsd_hold = Dsd != 0;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::ReleaseStreams(BOOLEAN Capture, BOOLEAN Render)
{
    capture_users -= Capture ? 1 : 0;
    render_users -= Render ? 1 : 0;
    dsd_hold = false;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::SetDsdMode(USHORT Mode)
{
    if (Mode != 0 && !NT_SUCCESS(dsd_result)) {
        return dsd_result;
    }
    dsd_mode = Mode;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::StartStream(BOOLEAN Capture)
{
    if (!NT_SUCCESS(start_result) && !Capture) {
        return start_result;
    }
    (Capture ? capture_runs : render_runs)++;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::StopStream(BOOLEAN Capture)
{
    (Capture ? capture_runs : render_runs)--;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::GetSampleRate(PULONG Rate)
{
    *Rate = rate;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::SetSampleRate(ULONG Rate)
{
    if (formats.count(Rate) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (capture_runs != 0 || render_runs != 0) {
        return STATUS_DEVICE_BUSY;
    }
    rate = Rate;
    return STATUS_SUCCESS;
}

STDMETHODIMP test_adapter::GetSampleRateRange(PULONG Lowest, PULONG Highest)
{
    if (!has_capture && !has_render) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *Lowest = formats.begin()->first;
    *Highest = formats.rbegin()->first;
    return STATUS_SUCCESS;
}

NTSTATUS test_adapter::IsSampleRateSupported(ULONG Rate)
{
    return formats.count(Rate) != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS test_adapter::FillRateCaps(ULONG Rate, BOOLEAN Capture, PULONG Channels, PULONG Bits)
{
    *Channels = 0;
    *Bits = 0;
    if (!(Capture ? has_capture : has_render)) {
        return STATUS_SUCCESS;
    }
    auto found = formats.find(Rate);
    if (found == formats.end()) {
        return STATUS_NO_MATCH;
    }
    const direction_format &format = Capture ? found->second.second : found->second.first;
    if (format.channels == 0) {
        return STATUS_NO_MATCH;
    }
    *Channels = format.channels;
    *Bits = format.bits;
    return STATUS_SUCCESS;
}

NTSTATUS test_adapter::StartAsioMix()
{
    if (!NT_SUCCESS(mix_result)) {
        return mix_result;
    }
    mix_started = true;
    return STATUS_SUCCESS;
}

// Slots the device channel never calls.
STDMETHODIMP test_adapter::SetMiniport(PMINIPORTWAVERTEXT)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::GetFormatRangeByPin(ULONG, PULONG, PULONG, PULONG, PULONG, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::GetFormatRange(BOOLEAN, PULONG, PULONG, PULONG, PULONG, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::SetFormat(BOOLEAN, USHORT, ULONG, ULONG, ULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::ChangeFormat(BOOLEAN, USHORT, ULONG, ULONG, ULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::ClearFormat(BOOLEAN)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::QueueRenderBuffer(PUCHAR, ULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::QueueCaptureBuffer(PUCHAR, ULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::FlushRenderQueue()
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::FlushCaptureQueue()
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::PrepareRemoval()
{
    channel.PrepareRemoval();
    return STATUS_SUCCESS;
}
STDMETHODIMP_(PPCFILTER_DESCRIPTOR) test_adapter::GetFilterDescriptor()
{
    return nullptr;
}
STDMETHODIMP test_adapter::NodePropertyHandler(PPCPROPERTY_REQUEST)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::PinPropertyHandler(PPCPROPERTY_REQUEST)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::GetDataRangeInfo(ULONG, PULONG, PULONG, PULONG, PULONG, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::GetPinInfo(ULONG, GUID *, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::BuildFilter()
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::FreeFilter()
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(PPCFILTER_DESCRIPTOR) test_adapter::GetFilterDescriptorAgain()
{
    return nullptr;
}
STDMETHODIMP test_adapter::SetMixPrefill(BOOLEAN, ULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP test_adapter::ResetMix(BOOLEAN)
{
    return STATUS_NOT_IMPLEMENTED;
}

} // namespace channel_test
