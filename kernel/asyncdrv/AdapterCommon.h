// CAdapterCommon: the one object per device that the entry code, the device channel, the
// miniport, its streams and the property handlers talk to. It owns the USB audio-class
// device, the device's rates and formats, the stream reservations, the piece queues of the
// mix path and the device channel with its request gate.
#pragma once
#include <portcls.h>
#include <stdunk.h>
#include "AdapterEngine.h"
#include "AsioMixSource.h"
#include "AsyncInterfaces.h"
#include "DeviceChannel.h"
#include "OsMixSource.h"
#include "OwnedFilter.h"
#include "USBAudioCL.h"
#include "USBAudioFilter.h"

class CMixSource;

// One audio format: the stream's (what the audio engine asked for) or the device's (what the
// USB interface is opened with).
struct ADAPTER_FORMAT {
    USHORT FormatTag;
    ULONG Channels;
    ULONG BitsPerSample;
    ULONG SampleRate;
    ULONG FrameBytes;
};

// A piece of the WaveRT buffer queued for the mix path.
struct QUEUE_PIECE {
    LIST_ENTRY Links;
    PUCHAR Start;
    PUCHAR Current;
    ULONG Length;
};

// Upper bound on StopStream calls PrepareRemoval makes per direction: a run count never
// exceeds the number of clients, and a stop that does not count down must not spin forever.
constexpr ULONG ADAPTER_MAX_REMOVAL_STOPS = 64;

class CAdapterCommon : public IAdapterCommon,
                       public IAdapterPowerManagement,
                       public IAdapterDsd,
                       public IDeviceChannelHost,
                       public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CAdapterCommon(PUNKNOWN UnknownOuter);
    ~CAdapterCommon() override;

    // IAdapterCommon
    STDMETHODIMP Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT DeviceObject) override;
    STDMETHODIMP ReserveStreams(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Dsd) override;
    STDMETHODIMP ReleaseStreams(BOOLEAN Capture, BOOLEAN Render) override;
    STDMETHODIMP SetMiniport(PMINIPORTWAVERTEXT Miniport) override;
    STDMETHODIMP GetFormatRangeByPin(ULONG Pin, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                     PULONG MaxRate) override;
    STDMETHODIMP GetFormatRange(BOOLEAN Capture, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                PULONG MaxRate) override;
    STDMETHODIMP SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG Bits, ULONG Rate) override;
    STDMETHODIMP ChangeFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG Bits, ULONG Rate) override;
    STDMETHODIMP ClearFormat(BOOLEAN Capture) override;
    STDMETHODIMP StartStream(BOOLEAN Capture) override;
    STDMETHODIMP StopStream(BOOLEAN Capture) override;
    STDMETHODIMP QueueRenderBuffer(PUCHAR Buffer, ULONG Length) override;
    STDMETHODIMP QueueCaptureBuffer(PUCHAR Buffer, ULONG Length) override;
    STDMETHODIMP FlushRenderQueue() override;
    STDMETHODIMP FlushCaptureQueue() override;
    STDMETHODIMP PrepareRemoval() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptor() override;
    STDMETHODIMP NodePropertyHandler(PPCPROPERTY_REQUEST Request) override;
    STDMETHODIMP PinPropertyHandler(PPCPROPERTY_REQUEST Request) override;
    STDMETHODIMP GetDataRangeInfo(ULONG Pin, PULONG Channels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                  PULONG MaxRate) override;
    STDMETHODIMP SetDsdMode(USHORT Mode) override;
    STDMETHODIMP GetPinInfo(ULONG Pin, GUID *Modes, PULONG Count) override;
    STDMETHODIMP GetSampleRate(PULONG Rate) override;
    STDMETHODIMP SetSampleRate(ULONG Rate) override;
    STDMETHODIMP GetSampleRateRange(PULONG Lowest, PULONG Highest) override;
    STDMETHODIMP BuildFilter() override;
    STDMETHODIMP FreeFilter() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptorAgain() override;
    STDMETHODIMP SetMixPrefill(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP ResetMix(BOOLEAN Capture) override;

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
    STDMETHODIMP QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    STDMETHODIMP QueryDeviceCapabilities(struct _DEVICE_CAPABILITIES *PowerDeviceCaps) override;

    // IAdapterDsd (SetDsdMode is shared with IAdapterCommon)
    STDMETHODIMP_(ULONG) IsDsdSupported() override;

    // IDeviceChannelHost (AdapterChannelHost.cpp)
    PADAPTERCOMMON ChannelAdapter() override;
    BOOLEAN HasCaptureInterface() override;
    BOOLEAN HasRenderInterface() override;
    BOOLEAN IsDsdNative() override;
    NTSTATUS IsSampleRateSupported(ULONG Rate) override;
    NTSTATUS FillRateCaps(ULONG Rate, BOOLEAN Capture, PULONG Channels, PULONG Bits) override;
    ULONG RenderMsPerTransfer() override;
    ULONG CaptureMsPerTransfer() override;
    VOID SetAsioMixPrefill(ULONG Percent) override;
    NTSTATUS StartAsioMix() override;
    VOID StopAsioMix() override;
    PDEVICE_OBJECT ChannelDeviceObject() override;
    POOL_TYPE ChannelPoolType() override;
    ULONG ChannelMdlPriority() override;

    // The device channel: the entry code routes "\asio" handles to it, the streaming engine
    // feeds it capture packets and drains render data from it.
    CDeviceChannel &Channel() { return m_Channel; }

    // Clears the miniport pointer only while it still names Miniport, so that a miniport
    // destroyed after a rate change never clears its successor. Any IRQL up to DISPATCH_LEVEL.
    VOID ForgetMiniport(PMINIPORTWAVERTEXT Miniport);

    // The device object is being deleted: the adapter no longer reaches its extension.
    VOID DetachDeviceObject() { m_Fdo = nullptr; }

    // Whether a pin index names a capture pin; an index outside the filter counts as render.
    BOOLEAN IsCapturePin(ULONG Pin);

    // A filter description of the device's current state owned by the caller (each miniport
    // has its own, freed with it), under the stream mutex. PASSIVE_LEVEL.
    NTSTATUS BuildOwnedFilter(OWNED_FILTER *Filter);
    VOID FreeOwnedFilter(OWNED_FILTER *Filter);

    // Device-key access (hardware key of the device). ReadDeviceDword fails with
    // STATUS_OBJECT_TYPE_MISMATCH for a value that is not a four-byte REG_DWORD. PASSIVE_LEVEL.
    static NTSTATUS ReadDeviceDword(PDEVICE_OBJECT Pdo, PCWSTR Name, PULONG Value);
    static NTSTATUS WriteSampleRate(PDEVICE_OBJECT Pdo, ULONG Value);
    // Reads a pair of tuning values; negative on bad arguments, 1 when the key is missing.
    static LONG ReadTuningValues(BOOLEAN Capture, PULONG First, PULONG Second, ULONG FirstDefault,
                                 ULONG SecondDefault);

    // Read-only views for the streaming engine and the tests.
    ULONG RunCount(BOOLEAN Capture) const { return m_RunCount[Capture ? 1 : 0]; }
    const ADAPTER_FORMAT &DeviceFormat(BOOLEAN Capture) const { return m_DeviceFormat[Capture ? 1 : 0]; }
    const ADAPTER_FORMAT &StreamFormat(BOOLEAN Capture) const { return m_StreamFormat[Capture ? 1 : 0]; }
    ULONG PendingRate() const { return m_PendingRate; }
    ULONG DevicePowerState() const { return m_PowerState; }
    CUSBAudioCL &Usb() { return m_Usb; }
    // The registered miniport (uncounted), or null.
    PMINIPORTWAVERTEXT RegisteredMiniport() const { return m_pMiniport; }

private:
    const USBAUDIO_PIN_ELEMENT *PinElement(ULONG Pin);
    BOOLEAN IsRemoved();
    BOOLEAN IsSharedClock();
    NTSTATUS SelectDeviceFormat(BOOLEAN Capture);
    VOID DeselectDeviceFormat(BOOLEAN Capture);
    NTSTATUS StartDirectionLocked(BOOLEAN Capture);
    VOID StopDirectionLocked(BOOLEAN Capture);
    NTSTATUS StartDuplex();
    NTSTATUS StopDuplex();
    NTSTATUS RestoreSampleRate();
    VOID QueuePiece(ULONG Index, PUCHAR Buffer, ULONG Length);
    VOID FlushQueue(ULONG Index);
    VOID AcquireStreamMutex();
    VOID ReleaseStreamMutex();

    CUSBAudioCL m_Usb;
    PDEVICE_OBJECT m_Pdo;
    PDEVICE_OBJECT m_Fdo;
    ULONG m_PowerState;

    KEVENT m_RemovedEvent;

    KSPIN_LOCK m_MiniportLock;
    PMINIPORTWAVERTEXT m_pMiniport;

    ADAPTER_FORMAT m_StreamFormat[2];
    ADAPTER_FORMAT m_DeviceFormat[2];
    BOOLEAN m_FormatSet[2];
    ULONG m_TransferBytes[2];
    ULONG m_CurrentRate;
    ULONG m_PendingRate;
    KMUTEX m_StreamMutex;
    ULONG m_RunCount[2];
    ULONG m_Duplex;
    ULONG m_DsdNative;
    BOOLEAN m_Initialized;

    KSPIN_LOCK m_QueueLock[2];
    LIST_ENTRY m_Queue[2];
    NPAGED_LOOKASIDE_LIST m_PiecePool;

    // Request gate, ASIO mutex, owner flag, FIFOs and pended requests of "\asio" handles.
    CDeviceChannel m_Channel;

    KSPIN_LOCK m_ReserveLock;
    ULONG m_CaptureUsers;
    ULONG m_RenderUsers;
    ULONG m_DsdHold;

    // The adapter's own description, for its pin and node questions: built once, since the
    // pins and nodes never change; its data ranges are those of the rate it was built at.
    OWNED_FILTER m_Filter;

    // ---- Isochronous streaming engine (AdapterEngine*.cpp) ----
public:
    // Snapshots for diagnostics, the benchmark and the tests.
    const ENGINE_COUNTERS &EngineCounters() const { return m_Engine.Counters; }
    ULONG EnginePacing() const { return m_Engine.Pacing; }
    ULONG EngineRenderEntries() const { return m_Engine.RenderEntries; }
    LONG EngineRenderInFlight() const { return m_Engine.RenderInFlight; }
    // TRUE while a running direction's thread has free slots it has not yet used, or a recovery
    // whose transfers are all back: a bus driven step by step waits for this to clear, as a real
    // bus never outruns a primed engine.
    BOOLEAN EngineThreadsPending();
    // The render mix sources the engine drives: the device channel's (Asio) and the operating
    // system's (Os); either may be null. Set once, before any stream starts; not owned.
    VOID AttachMixSources(CMixSource *Asio, CMixSource *Os)
    {
        m_EngineMix[0] = Asio;
        m_EngineMix[1] = Os;
    }

private:
    NTSTATUS PrepareDirectionLocked(BOOLEAN Capture);
    NTSTATUS RunDirectionLocked(BOOLEAN Capture);
    VOID InitializeEngine();
    VOID DestroyEngine();
    VOID ResetEngineState(BOOLEAN Capture);
    VOID ArmRenderPacing();
    BOOLEAN IsClockStable(ULONG TimeoutMs, BOOLEAN Capture);
    NTSTATUS StartStreamingThreads(BOOLEAN Capture);
    VOID StopStreamingThread(BOOLEAN Capture);
    VOID SetRun(BOOLEAN Capture);
    VOID ClearRun(BOOLEAN Capture);
    NTSTATUS WaitStreamStarted(BOOLEAN Capture, ULONG TimeoutMs);
    VOID SignalStop(BOOLEAN Capture);
    VOID WorkBegin(ULONG Which);
    VOID WorkEnd(ULONG Which);
    ULONG QueryBusFrame();
    TransferEntry *AllocateEntry(ULONG Kind, ULONG BufferBytes, BOOLEAN WithMdl);
    VOID FreeEntry(TransferEntry *Entry);
    BOOLEAN QueueEntryWork(TransferEntry *Entry, PIO_WORKITEM_ROUTINE Routine);
    VOID WorkItemReturned();
    static BOOLEAN IsDeviceGoneStatus(NTSTATUS Status);
    VOID MarkRemoving();
    VOID DumpBuffer(const UCHAR *Data, ULONG Bytes);
    VOID QueueCompletion(ULONG Direction, TransferEntry *Entry);
    TransferEntry *NextCompletion(ULONG Direction);

    static KSTART_ROUTINE RenderThreadMain;
    VOID RenderThread();
    VOID StartRenderPacing();
    VOID WithdrawRenderSlots(ULONG Count);
    VOID RecoverRender(BOOLEAN HeldRenderSlot);
    VOID SubmitRenderData(TransferEntry *Entry);
    ULONG RenderTransferBytes(TransferEntry *Entry);
    static USB_COMPLETION_CALLBACK RenderComplete;
    static KDEFERRED_ROUTINE RenderDpc;
    VOID ProcessRenderCompletion(TransferEntry *Entry);
    static IO_WORKITEM_ROUTINE RenderWorkItem;

    VOID QueueFeedbackRead(TransferEntry *Entry);
    ULONG CheckFeedbackValue(ULONG Value, ULONG Nominal);
    static USB_COMPLETION_CALLBACK FeedbackComplete;
    static IO_WORKITEM_ROUTINE FeedbackWorkItem;
    VOID MeasureDuplex();
    VOID CountCaptureForSync(ULONG Bytes);

    static KSTART_ROUTINE CaptureThreadMain;
    VOID CaptureThread();
    VOID RecoverCapture();
    VOID SubmitCaptureData(TransferEntry *Entry);
    static USB_COMPLETION_CALLBACK CaptureComplete;
    static KDEFERRED_ROUTINE CaptureDpc;
    VOID ProcessCapture(TransferEntry *Entry);
    VOID DeliverOsCapture(const UCHAR *Data, ULONG Bytes);

    ULONG EngineMixSources(CMixSource **Sources);
    VOID EngineMixReprime();
    VOID EngineMixDirect(PUCHAR Buffer, ULONG Bytes);
    VOID EngineMixQueue(TransferEntry *Entry);
    VOID EngineMixWithdraw(TransferEntry *Entry);
    VOID EngineMixCommit(ULONG NextFrame);
    VOID EngineMixFromCapture(ULONG Bytes, ULONG NextFrame);
    BOOLEAN EngineAsioCapturePaced();
    VOID EngineRaiseStreamReset();
    VOID EngineChannelCapture(const UCHAR *Data, ULONG Bytes);
    UCHAR EngineFillByte();

    ADAPTER_ENGINE m_Engine;
    CMixSource *m_EngineMix[2];

    // ---- Render mix sources (AdapterMix.cpp) ----
public:
    // DISPATCH_LEVEL or below, for the operating-system mix source: asks the live WaveRT render
    // stream for the next Bytes of its buffer, copies the queued pieces in order into
    // Destination, silences what was copied and moves the stream's position on. Returns the
    // bytes delivered: 0 without a running stream.
    ULONG ReadOsRender(PUCHAR Destination, ULONG Bytes);
    CAsioMixSource &AsioMix() { return m_AsioMix; }
    COsMixSource &OsMix() { return m_OsMix; }

private:
    // At construction: each source learns its producer and the engine learns both sources.
    VOID InitMixSources();
    // The device as the mix path sees it: the selected render and capture formats, transfer
    // sizes and tuning values. Valid once the directions are started.
    MIX_DEVICE_FORMAT MixDeviceFormat();

    CAsioMixSource m_AsioMix;
    COsMixSource m_OsMix;
};
