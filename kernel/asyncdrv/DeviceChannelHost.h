// IDeviceChannelHost: what the device channel needs from the adapter-common object beyond the
// slots of IAdapterCommon: the device's streaming interfaces and formats, the tuning values,
// the ASIO mix source and the driver's pool and mapping choices.
#pragma once
#include "AsyncInterfaces.h"

class IDeviceChannelHost {
public:
    // The adapter whose IAdapterCommon slots the channel calls (reservations, DSD mode, rates,
    // stream start and stop). Uncounted: the host outlives its channel.
    virtual PADAPTERCOMMON ChannelAdapter() = 0;
    virtual BOOLEAN HasCaptureInterface() = 0;
    virtual BOOLEAN HasRenderInterface() = 0;
    virtual BOOLEAN IsDsdNative() = 0;
    // STATUS_INVALID_PARAMETER for a rate the device does not support.
    virtual NTSTATUS IsSampleRateSupported(ULONG Rate) = 0;
    // Channels and container bits of the widest PCM format of a direction at Rate; 0 and 0 with
    // STATUS_SUCCESS for a direction the device lacks; STATUS_NO_MATCH when a present direction
    // offers no PCM format there.
    virtual NTSTATUS FillRateCaps(ULONG Rate, BOOLEAN Capture, PULONG Channels, PULONG Bits) = 0;
    // Effective tuning values: milliseconds per render transfer and per capture transfer.
    virtual ULONG RenderMsPerTransfer() = 0;
    virtual ULONG CaptureMsPerTransfer() = 0;
    // The ASIO mix source: its render prefill percent (0..100), its start and stop.
    virtual VOID SetAsioMixPrefill(ULONG Percent) = 0;
    virtual NTSTATUS StartAsioMix() = 0;
    virtual VOID StopAsioMix() = 0;
    // The functional device object: DO_BUFFERED_IO decides how request buffers are reached.
    virtual PDEVICE_OBJECT ChannelDeviceObject() = 0;
    virtual POOL_TYPE ChannelPoolType() = 0;
    virtual ULONG ChannelMdlPriority() = 0;

protected:
    ~IDeviceChannelHost() = default;
};
