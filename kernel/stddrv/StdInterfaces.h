// The standard driver's private COM-style interfaces: IAdapterCommon (the per-device object the
// miniport talks to) and IMiniportCallback (the miniport's services to the transfer engine),
// and the records both sides share. Slot order is part of the contract.
#pragma once
#include <portcls.h>

// {6E53E17D-B1A2-4049-9C40-DF61ADC33945}
DEFINE_GUID(IID_IAdapterCommon, 0x6E53E17D, 0xB1A2, 0x4049, 0x9C, 0x40, 0xDF, 0x61, 0xAD, 0xC3, 0x39, 0x45);
// {1DA05498-E50E-4408-8FEF-0E24295C8CFA}
DEFINE_GUID(IID_IMiniportCallback, 0x1DA05498, 0xE50E, 0x4408, 0x8F, 0xEF, 0x0E, 0x24, 0x29, 0x5C, 0x8C, 0xFA);

// The format a direction streams in; all zero until a stream sets it.
struct STD_STREAM_FORMAT {
    ULONG Channels;
    ULONG Bits;
    ULONG Rate;
    ULONG BytesPerFrame;  // Channels x (Bits / 8)
};

// A region of a stream's cyclic buffer queued for the transfer engine: render pieces are read
// from Current, capture pieces are filled at Current; a piece leaves its queue when BytesLeft
// reaches 0.
struct STD_QUEUE_PIECE {
    LIST_ENTRY Link;
    PUCHAR Start;
    PUCHAR Current;
    ULONG BytesLeft;
};

// Implemented by the WaveCyclic miniport. Called by the transfer engine from its worker threads
// and from USB completions, at DISPATCH_LEVEL or below; each call does nothing when the
// direction has no stream. Direction flags: non-zero is capture, zero is render.
DECLARE_INTERFACE_(IMiniportCallback, IUnknown)
{
    // Asks the port to service the direction's stream (the port's Notify on the service group).
    STDMETHOD_(void, NotifyStream)(BOOLEAN Capture) PURE;
    // The address just past the last render byte handed to the device.
    STDMETHOD_(void, SetRenderPosition)(PUCHAR Address) PURE;
    // The address of the last whole capture frame written into the cyclic buffer.
    STDMETHOD_(void, SetCapturePosition)(PUCHAR Address) PURE;

protected:
    ~IMiniportCallback() = default;
};
typedef IMiniportCallback *PMINIPORTCALLBACK;

// The adapter-common object. Direction flags: non-zero is capture, zero is render. Operations
// that reach the device give STATUS_DELETE_PENDING after a surprise removal.
DECLARE_INTERFACE_(IAdapterCommon, IUnknown)
{
    // PASSIVE_LEVEL: starts and configures the USB device below PhysicalDeviceObject.
    STDMETHOD(Init)(PDEVICE_OBJECT PhysicalDeviceObject) PURE;
    // The miniport registers its callback or withdraws it with null. Not referenced: the miniport
    // withdraws it before it goes away, and a withdrawal waits for a callback in progress.
    STDMETHOD_(void, SetCallback)(PMINIPORTCALLBACK Callback) PURE;
    STDMETHOD(GetFormatRange)(BOOLEAN Capture, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                              PULONG MaxRate) PURE;
    // PASSIVE_LEVEL. STATUS_UNSUCCESSFUL when a different format is asked while the direction
    // runs; the USB layer's status for a format the device does not offer.
    STDMETHOD(SetStreamFormat)(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate) PURE;
    // The same operation as SetStreamFormat, used by a stream's format change.
    STDMETHOD(ChangeStreamFormat)(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate) PURE;
    STDMETHOD_(void, ClearStreamFormat)(BOOLEAN Capture) PURE;
    // PASSIVE_LEVEL: select the direction's alternate and start or join its worker thread.
    STDMETHOD(StartStream)(BOOLEAN Capture) PURE;
    STDMETHOD(StopStream)(BOOLEAN Capture) PURE;
    // Render transfers and capture deliveries run only while the run event is set.
    STDMETHOD_(void, SetRunEvent)(BOOLEAN Capture) PURE;
    STDMETHOD_(void, ClearRunEvent)(BOOLEAN Capture) PURE;
    // DISPATCH_LEVEL or below: append a region of the stream's buffer to the direction's queue.
    // The region must stay valid until it is consumed or the queue is flushed.
    STDMETHOD_(void, QueueRenderBuffer)(PUCHAR Buffer, ULONG Length) PURE;
    STDMETHOD_(void, QueueCaptureBuffer)(PUCHAR Buffer, ULONG Length) PURE;
    STDMETHOD_(void, FlushRenderQueue)() PURE;
    STDMETHOD_(void, FlushCaptureQueue)() PURE;
    // PASSIVE_LEVEL: marks the device gone and stops both directions.
    STDMETHOD_(void, SurpriseRemoval)() PURE;
    STDMETHOD_(BOOLEAN, IsDeviceRemoved)() PURE;

protected:
    ~IAdapterCommon() = default;
};
typedef IAdapterCommon *PADAPTERCOMMON;

// Creates the WaveCyclic miniport (referenced, through its IMiniportWaveCyclic face's unknown)
// for the "Wave" subdevice. STATUS_INSUFFICIENT_RESOURCES when the allocation fails.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);
