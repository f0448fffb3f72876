// CAdapterCommon: the standard driver's one object per device. It owns the USB audio-class
// layer, the stream formats, the per-direction piece queues and the transfer engine (one system
// thread per running direction) that moves queued bytes into isochronous transfers and back.
#pragma once
#include <portcls.h>
#include <stdunk.h>
#include "StdInterfaces.h"
#include "USBAudioCL.h"

// Tuning of one direction: milliseconds of audio per transfer and transfers kept in flight.
struct STD_TUNING {
    ULONG MsPerTransfer;
    ULONG TransfersInFlight;
};

// The driver-wide tuning key and its limits. A transfer of the largest values stays within the
// 80 packets of one pooled URB.
constexpr ULONG STD_RENDER_MS_DEFAULT = 2;
constexpr ULONG STD_RENDER_IN_FLIGHT_DEFAULT = 4;
constexpr ULONG STD_CAPTURE_MS_DEFAULT = 1;
constexpr ULONG STD_CAPTURE_IN_FLIGHT_DEFAULT = 8;
constexpr ULONG STD_MS_PER_TRANSFER_MAX = 10;
constexpr ULONG STD_IN_FLIGHT_MAX = 20;
extern const WCHAR STD_TUNING_KEY[];

// One transfer of the engine: its buffer travels with it from completion to the next
// submission. Capacity is what the buffer holds; Length what the transfer carries.
struct STD_TRANSFER_CONTEXT {
    PUCHAR Buffer;
    ULONG Length;
    ULONG Capacity;
    class CAdapterCommon *Adapter;
};

// Index of a direction in the per-direction arrays.
constexpr ULONG STD_RENDER = 0;
constexpr ULONG STD_CAPTURE = 1;

class CAdapterCommon : public IAdapterCommon, public IAdapterPowerManagement, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CAdapterCommon(PUNKNOWN UnknownOuter);
    ~CAdapterCommon() override;

    // IAdapterCommon
    STDMETHODIMP Init(PDEVICE_OBJECT PhysicalDeviceObject) override;
    STDMETHODIMP_(void) SetCallback(PMINIPORTCALLBACK Callback) override;
    STDMETHODIMP GetFormatRange(BOOLEAN Capture, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                PULONG MaxRate) override;
    STDMETHODIMP SetStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate) override;
    STDMETHODIMP ChangeStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate) override;
    STDMETHODIMP_(void) ClearStreamFormat(BOOLEAN Capture) override;
    STDMETHODIMP StartStream(BOOLEAN Capture) override;
    STDMETHODIMP StopStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) SetRunEvent(BOOLEAN Capture) override;
    STDMETHODIMP_(void) ClearRunEvent(BOOLEAN Capture) override;
    STDMETHODIMP_(void) QueueRenderBuffer(PUCHAR Buffer, ULONG Length) override;
    STDMETHODIMP_(void) QueueCaptureBuffer(PUCHAR Buffer, ULONG Length) override;
    STDMETHODIMP_(void) FlushRenderQueue() override;
    STDMETHODIMP_(void) FlushCaptureQueue() override;
    STDMETHODIMP_(void) SurpriseRemoval() override;
    STDMETHODIMP_(BOOLEAN) IsDeviceRemoved() override;

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
    STDMETHODIMP QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    STDMETHODIMP QueryDeviceCapabilities(struct _DEVICE_CAPABILITIES *PowerDeviceCaps) override;

    // Reads one direction's tuning values from the tuning key: a missing key gives both
    // defaults, a 0 its default, a value above its maximum the maximum. PASSIVE_LEVEL.
    static STD_TUNING ReadTuning(BOOLEAN Capture);
    // The tuning values the last start of each direction read (driver-wide).
    static STD_TUNING LastTuning(BOOLEAN Capture);

    // Read-only views for diagnostics and the tests.
    const STD_STREAM_FORMAT &StreamFormat(BOOLEAN Capture) const { return m_Format[Index(Capture)]; }
    ULONG BytesPerTransfer(BOOLEAN Capture) const { return m_BytesPerTransfer[Index(Capture)]; }
    LONG InFlight(BOOLEAN Capture) const { return m_InFlight[Index(Capture)]; }
    BOOLEAN HasWorkerThread(BOOLEAN Capture) const { return m_Thread[Index(Capture)] != nullptr; }
    ULONG DevicePowerState() const { return m_PowerState; }
    ULONG QueuedPieces(BOOLEAN Capture);
    PKEVENT StopEvent(BOOLEAN Capture) { return &m_StopEvent[Index(Capture)]; }
    PKEVENT ErrorEvent(BOOLEAN Capture) { return &m_ErrorEvent[Index(Capture)]; }
    PKEVENT RunEvent(BOOLEAN Capture) { return &m_RunEvent[Index(Capture)]; }
    PKEVENT IdleEvent(BOOLEAN Capture) { return &m_IdleEvent[Index(Capture)]; }
    // Pipe recoveries (abort, drain, reset) each direction's thread has run since Init.
    ULONG Recoveries(BOOLEAN Capture) const { return m_Recoveries[Index(Capture)]; }
    CUSBAudioCL &Usb() { return m_Usb; }

private:
    static ULONG Index(BOOLEAN Capture) { return Capture ? STD_CAPTURE : STD_RENDER; }
    NTSTATUS SetFormatLocked(ULONG Direction, ULONG Channels, ULONG Bits, ULONG Rate);
    VOID AcquireFormatMutex();
    VOID ReleaseFormatMutex();
    // Takes the direction's thread (if any), sets its stop event and joins it. PASSIVE_LEVEL.
    VOID JoinWorker(ULONG Direction);
    VOID AppendPiece(ULONG Direction, PUCHAR Buffer, ULONG Length);
    VOID FreeQueue(ULONG Direction);

    // ---- Transfer engine (TransferEngine*.cpp) ----
    NTSTATUS CreateWorker(ULONG Direction);
    static KSTART_ROUTINE RenderThreadMain;
    static KSTART_ROUTINE CaptureThreadMain;
    VOID RenderThread();
    VOID CaptureThread();
    VOID RecoverPipe(ULONG Direction);
    VOID BeginTransfer(ULONG Direction);
    // Ends a transfer chain: the slot back, the context returned, the buffer freed and the
    // in-flight count down (the idle event set at 0). DISPATCH_LEVEL or below.
    VOID GiveUp(ULONG Direction, STD_TRANSFER_CONTEXT *Context);
    STD_TRANSFER_CONTEXT *TakeContext(ULONG Direction, STD_TRANSFER_CONTEXT *Context);
    // TRUE when a transfer was submitted; FALSE when the chain ended.
    BOOLEAN RenderFill(STD_TRANSFER_CONTEXT *Context);
    ULONG CopyRenderPieces(PUCHAR Destination, ULONG Wanted, PUCHAR *LastEnd);
    VOID CaptureSubmit(STD_TRANSFER_CONTEXT *Context);
    VOID DeliverCapture(const UCHAR *Data, ULONG Bytes);
    VOID NoteTransferFailure(ULONG Direction, NTSTATUS Status);
    VOID NotifyCallback(BOOLEAN Capture);
    VOID ReportPosition(BOOLEAN Capture, PUCHAR Address);
    static USB_COMPLETION_CALLBACK RenderComplete;
    static USB_COMPLETION_CALLBACK CaptureComplete;

    CUSBAudioCL m_Usb;
    KEVENT m_RemovedEvent;
    ULONG m_PowerState;

    // Not referenced: the miniport withdraws it with null before it goes away; the lock keeps a
    // callback in progress from racing that withdrawal.
    KSPIN_LOCK m_CallbackLock;
    PMINIPORTCALLBACK m_Callback;

    KMUTEX m_FormatMutex;
    STD_STREAM_FORMAT m_Format[2];

    KEVENT m_StopEvent[2];
    KEVENT m_ErrorEvent[2];
    KEVENT m_RunEvent[2];
    KEVENT m_IdleEvent[2];
    KSEMAPHORE m_Slots[2];
    PKTHREAD m_Thread[2];
    KSPIN_LOCK m_InFlightLock[2];
    LONG m_InFlight[2];
    ULONG m_BytesPerTransfer[2];
    STD_TUNING m_Tuning[2];
    ULONG m_Recoveries[2];

    KSPIN_LOCK m_QueueLock[2];
    LIST_ENTRY m_Queue[2];
    // Held for a whole render fill and a render flush; never held across a wait.
    KSPIN_LOCK m_RenderFillLock;
    // The thread inside a render fill: a completion that runs on it (a submission that failed
    // at once) must not enter the fill again under the lock it holds.
    PKTHREAD m_RenderFillOwner;
    NPAGED_LOOKASIDE_LIST m_PiecePool;
    NPAGED_LOOKASIDE_LIST m_ContextPool;
};
