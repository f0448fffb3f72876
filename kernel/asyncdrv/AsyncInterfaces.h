// The driver's private COM-style interfaces: IAdapterCommon (the per-device object everything
// talks to), IAdapterDsd and IMiniportWaveRTExt (the WaveRT miniport's services to the
// adapter and the mix path). Slot order is part of the contract.
#pragma once
#include <portcls.h>

// {C771BD86-2394-49D3-B45F-E352438CA9A9}
DEFINE_GUID(IID_IAdapterCommon, 0xC771BD86, 0x2394, 0x49D3, 0xB4, 0x5F, 0xE3, 0x52, 0x43, 0x8C, 0xA9, 0xA9);
// {34A38155-7960-4927-BA22-712A476CD815}
DEFINE_GUID(IID_IAdapterDsd, 0x34A38155, 0x7960, 0x4927, 0xBA, 0x22, 0x71, 0x2A, 0x47, 0x6C, 0xD8, 0x15);
// {37D78ED1-D6B9-473F-B290-EA0E2E631FB9}
DEFINE_GUID(IID_IMiniportWaveRTExt, 0x37D78ED1, 0xD6B9, 0x473F, 0xB2, 0x90, 0xEA, 0x0E, 0x2E, 0x63, 0x1F, 0xB9);

interface IMiniportWaveRTExt;
typedef IMiniportWaveRTExt *PMINIPORTWAVERTEXT;

// Directions are flags: non-zero is capture, zero is render. Every result is an NTSTATUS.
DECLARE_INTERFACE_(IAdapterCommon, IUnknown)
{
    STDMETHOD(Init)(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT DeviceObject) PURE;
    STDMETHOD(ReserveStreams)(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Dsd) PURE;
    STDMETHOD(ReleaseStreams)(BOOLEAN Capture, BOOLEAN Render) PURE;
    STDMETHOD(SetMiniport)(PMINIPORTWAVERTEXT Miniport) PURE;
    STDMETHOD(GetFormatRangeByPin)(ULONG Pin, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                   PULONG MaxRate) PURE;
    STDMETHOD(GetFormatRange)(BOOLEAN Capture, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                              PULONG MaxRate) PURE;
    STDMETHOD(SetFormat)(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG Bits, ULONG Rate) PURE;
    STDMETHOD(ChangeFormat)(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG Bits, ULONG Rate) PURE;
    STDMETHOD(ClearFormat)(BOOLEAN Capture) PURE;
    STDMETHOD(StartStream)(BOOLEAN Capture) PURE;
    STDMETHOD(StopStream)(BOOLEAN Capture) PURE;
    // DISPATCH_LEVEL or below; the pieces are consumed by the mix path.
    STDMETHOD(QueueRenderBuffer)(PUCHAR Buffer, ULONG Length) PURE;
    STDMETHOD(QueueCaptureBuffer)(PUCHAR Buffer, ULONG Length) PURE;
    STDMETHOD(FlushRenderQueue)() PURE;
    STDMETHOD(FlushCaptureQueue)() PURE;
    STDMETHOD(PrepareRemoval)() PURE;
    STDMETHOD_(PPCFILTER_DESCRIPTOR, GetFilterDescriptor)() PURE;
    STDMETHOD(NodePropertyHandler)(PPCPROPERTY_REQUEST Request) PURE;
    STDMETHOD(PinPropertyHandler)(PPCPROPERTY_REQUEST Request) PURE;
    STDMETHOD(GetDataRangeInfo)(ULONG Pin, PULONG Channels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                PULONG MaxRate) PURE;
    STDMETHOD(SetDsdMode)(USHORT Mode) PURE;
    STDMETHOD(GetPinInfo)(ULONG Pin, GUID *Modes, PULONG Count) PURE;
    STDMETHOD(GetSampleRate)(PULONG Rate) PURE;
    STDMETHOD(SetSampleRate)(ULONG Rate) PURE;
    STDMETHOD(GetSampleRateRange)(PULONG Lowest, PULONG Highest) PURE;
    STDMETHOD(BuildFilter)() PURE;
    STDMETHOD(FreeFilter)() PURE;
    // The same operation as GetFilterDescriptor, kept in its own slot for older callers.
    STDMETHOD_(PPCFILTER_DESCRIPTOR, GetFilterDescriptorAgain)() PURE;
    STDMETHOD(SetMixPrefill)(BOOLEAN Capture, ULONG Bytes) PURE;
    STDMETHOD(ResetMix)(BOOLEAN Capture) PURE;

protected:
    ~IAdapterCommon() = default;
};
typedef IAdapterCommon *PADAPTERCOMMON;

DECLARE_INTERFACE_(IAdapterDsd, IUnknown)
{
    STDMETHOD(SetDsdMode)(USHORT Mode) PURE;
    STDMETHOD_(ULONG, IsDsdSupported)() PURE;

protected:
    ~IAdapterDsd() = default;
};
typedef IAdapterDsd *PADAPTERDSD;

// The stream operations enter the direction's stream slot and do nothing (false, null) when
// the direction has no live stream. DISPATCH_LEVEL or below, except UnregisterSubdevice
// (PASSIVE_LEVEL).
DECLARE_INTERFACE_(IMiniportWaveRTExt, IMiniportWaveRT)
{
    STDMETHOD_(void, FillSilence)(BOOLEAN Capture, PVOID Buffer, ULONG Length) PURE;
    STDMETHOD_(void, AdvancePosition)(BOOLEAN Capture, ULONG Bytes) PURE;
    STDMETHOD_(BOOLEAN, LockStream)(BOOLEAN Capture) PURE;
    STDMETHOD_(void, UnlockStream)(BOOLEAN Capture) PURE;
    STDMETHOD_(void, QueueStreamData)(BOOLEAN Capture, ULONG Bytes) PURE;
    STDMETHOD_(void, TouchStream)(BOOLEAN Capture) PURE;
    STDMETHOD(UnregisterSubdevice)(PDEVICE_OBJECT DeviceObject) PURE;

protected:
    ~IMiniportWaveRTExt() = default;
};
