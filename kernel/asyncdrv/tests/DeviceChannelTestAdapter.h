// Test double of the adapter-common object for the device channel's tests: IAdapterCommon with
// counted reservations, DSD mode and stream starts, and IDeviceChannelHost with a configurable
// device (directions, formats per rate, DSD support) and injectable failures.
#pragma once
#include <atomic>
#include <map>
#include <utility>
#include "DeviceChannel.h"

namespace channel_test {

struct direction_format {
    ULONG channels = 0;
    ULONG bits = 0;
};

class test_adapter final : public IAdapterCommon, public IDeviceChannelHost {
public:
    test_adapter();
    ~test_adapter();

    // The device.
    bool has_capture = true;
    bool has_render = true;
    bool dsd_native = false;
    ULONG rate = 48000;
    // Formats by rate (render, capture); a rate missing here is unsupported.
    std::map<ULONG, std::pair<direction_format, direction_format>> formats;
    ULONG render_ms = 8;
    ULONG capture_ms = 1;
    PDEVICE_OBJECT device = nullptr;

    // Injected results.
    NTSTATUS reserve_result = STATUS_SUCCESS;
    NTSTATUS dsd_result = STATUS_SUCCESS;
    NTSTATUS start_result = STATUS_SUCCESS;
    NTSTATUS mix_result = STATUS_SUCCESS;

    // What the channel did.
    LONG capture_users = 0;
    LONG render_users = 0;
    bool dsd_hold = false;
    USHORT dsd_mode = 0;
    LONG capture_runs = 0;
    LONG render_runs = 0;
    ULONG mix_prefill = 0xFFFFFFFF;
    bool mix_started = false;
    std::atomic<LONG> references{1};

    CDeviceChannel channel;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID, void **Object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IAdapterCommon
    STDMETHODIMP Init(PDEVICE_OBJECT, PDEVICE_OBJECT) override;
    STDMETHODIMP ReserveStreams(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Dsd) override;
    STDMETHODIMP ReleaseStreams(BOOLEAN Capture, BOOLEAN Render) override;
    STDMETHODIMP SetMiniport(PMINIPORTWAVERTEXT) override;
    STDMETHODIMP GetFormatRangeByPin(ULONG, PULONG, PULONG, PULONG, PULONG, PULONG) override;
    STDMETHODIMP GetFormatRange(BOOLEAN, PULONG, PULONG, PULONG, PULONG, PULONG) override;
    STDMETHODIMP SetFormat(BOOLEAN, USHORT, ULONG, ULONG, ULONG) override;
    STDMETHODIMP ChangeFormat(BOOLEAN, USHORT, ULONG, ULONG, ULONG) override;
    STDMETHODIMP ClearFormat(BOOLEAN) override;
    STDMETHODIMP StartStream(BOOLEAN Capture) override;
    STDMETHODIMP StopStream(BOOLEAN Capture) override;
    STDMETHODIMP QueueRenderBuffer(PUCHAR, ULONG) override;
    STDMETHODIMP QueueCaptureBuffer(PUCHAR, ULONG) override;
    STDMETHODIMP FlushRenderQueue() override;
    STDMETHODIMP FlushCaptureQueue() override;
    STDMETHODIMP PrepareRemoval() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptor() override;
    STDMETHODIMP NodePropertyHandler(PPCPROPERTY_REQUEST) override;
    STDMETHODIMP PinPropertyHandler(PPCPROPERTY_REQUEST) override;
    STDMETHODIMP GetDataRangeInfo(ULONG, PULONG, PULONG, PULONG, PULONG, PULONG) override;
    STDMETHODIMP SetDsdMode(USHORT Mode) override;
    STDMETHODIMP GetPinInfo(ULONG, GUID *, PULONG) override;
    STDMETHODIMP GetSampleRate(PULONG Rate) override;
    STDMETHODIMP SetSampleRate(ULONG Rate) override;
    STDMETHODIMP GetSampleRateRange(PULONG Lowest, PULONG Highest) override;
    STDMETHODIMP BuildFilter() override;
    STDMETHODIMP FreeFilter() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptorAgain() override;
    STDMETHODIMP SetMixPrefill(BOOLEAN, ULONG) override;
    STDMETHODIMP ResetMix(BOOLEAN) override;

    // IDeviceChannelHost
    PADAPTERCOMMON ChannelAdapter() override { return this; }
    BOOLEAN HasCaptureInterface() override { return has_capture; }
    BOOLEAN HasRenderInterface() override { return has_render; }
    BOOLEAN IsDsdNative() override { return dsd_native; }
    NTSTATUS IsSampleRateSupported(ULONG Rate) override;
    NTSTATUS FillRateCaps(ULONG Rate, BOOLEAN Capture, PULONG Channels, PULONG Bits) override;
    ULONG RenderMsPerTransfer() override { return render_ms; }
    ULONG CaptureMsPerTransfer() override { return capture_ms; }
    VOID SetAsioMixPrefill(ULONG Percent) override { mix_prefill = Percent; }
    NTSTATUS StartAsioMix() override;
    VOID StopAsioMix() override { mix_started = false; }
    PDEVICE_OBJECT ChannelDeviceObject() override { return device; }
    POOL_TYPE ChannelPoolType() override { return NonPagedPoolNx; }
    ULONG ChannelMdlPriority() override { return NormalPagePriority | MdlMappingNoExecute; }
};

} // namespace channel_test
