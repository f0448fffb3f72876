// CDeviceChannel: the device-wide side of the private ASIO channel, embedded once per device in
// the adapter-common object: request gate, ASIO mutex, owner flag, the two FIFOs, the pended
// READ and WRITE requests, the drain thread of render-only channels and the positions.
// DeviceChannelContext is the per-handle record kept in the file object's FsContext2.
#pragma once
#include "AsioFifo.h"
#include "DeviceChannelHost.h"
#include "../../user/client/include/QelAsioIoctl.h"

constexpr ULONG DEVICE_CHANNEL_CONTEXT_TAG = 'asio';
static_assert(DEVICE_CHANNEL_CONTEXT_TAG == 0x6173696F, "the context tag reads 'asio'");

class CDeviceChannel;

struct DeviceChannelContext {
    ULONG Tag;              // DEVICE_CHANNEL_CONTEXT_TAG while the context is live
    PADAPTERCOMMON Adapter; // referenced from CREATE to CLOSE
    CDeviceChannel *Channel;
    ULONG State; // QELASIO_CHANNEL_STATE
    LIST_ENTRY Link; // in the channel's list of live contexts
    PFILE_OBJECT FileObject;
};

class CDeviceChannel {
public:
    CDeviceChannel();
    ~CDeviceChannel();
    CDeviceChannel(const CDeviceChannel &) = delete;
    CDeviceChannel &operator=(const CDeviceChannel &) = delete;

    // PASSIVE_LEVEL, once, from the adapter's Init: records the host and opens the gate.
    VOID Init(IDeviceChannelHost *Host);
    // PASSIVE_LEVEL, from the adapter's PrepareRemoval: closes the gate, waits for the requests
    // inside it, then stops and unprepares the channel whatever the handles' states.
    VOID PrepareRemoval();

    // ---- Per-handle requests (PASSIVE_LEVEL, in the caller's thread) ----
    // CREATE of "\asio": allocates the context, stores it in FsContext2 and opens it. Failure:
    // STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL (FsContext2 already used) or
    // STATUS_DELETE_PENDING, with nothing left behind. Success AddRefs Adapter.
    NTSTATUS CreateContext(PADAPTERCOMMON Adapter, PFILE_OBJECT FileObject);
    // The live channel context in FsContext2, or null for a file object that is not a channel
    // handle (a KS filter or pin). FsContext2 is only compared against the driver-wide set of
    // live contexts, never read through, so a foreign value is harmless; the lookup works after
    // the device's removal too, because every live context holds its adapter. Any IRQL up to
    // DISPATCH_LEVEL.
    static DeviceChannelContext *LookupContext(PFILE_OBJECT FileObject);
    // The handlers of the request router. Each leaves the IRP to its caller unless it returns
    // STATUS_PENDING (then the IRP is queued and completes later); Information is set.
    static NTSTATUS ChannelDeviceControl(DeviceChannelContext *Context, PIRP Irp);
    static NTSTATUS ChannelRead(DeviceChannelContext *Context, PIRP Irp);
    static NTSTATUS ChannelWrite(DeviceChannelContext *Context, PIRP Irp);
    static NTSTATUS ChannelCleanup(DeviceChannelContext *Context, PIRP Irp);
    // CLOSE: releases the adapter and frees the context; always STATUS_SUCCESS.
    static NTSTATUS ChannelClose(DeviceChannelContext *Context);

    // ---- The streaming engine and the mix path (DISPATCH_LEVEL or below) ----
    // One received capture packet while capture runs: into the input FIFO, pended READs filled,
    // balances compared.
    VOID CapturePacket(const UCHAR *Data, ULONG Bytes);
    // Reads the output FIFO into a render transfer; returns the bytes delivered.
    ULONG ReadRender(PUCHAR Destination, ULONG Bytes, BOOLEAN PartialAllowed);
    // After ReadRender: balances compared (duplex) or the drain thread woken (render-only).
    VOID RenderConsumed();
    // Engine recovery while the channel is capture-paced: the client must restart.
    VOID RaiseStreamReset();
    BOOLEAN HasInputFifo() { return m_Input.IsAllocated(); }
    BOOLEAN HasOutputFifo() { return m_Output.IsAllocated(); }
    BOOLEAN IsOutputStarted() { return m_Output.IsStarted(); }
    UCHAR FillByte() { return m_Output.IsAllocated() ? m_Output.FillByte() : m_Input.FillByte(); }
    ULONG Mode() const { return m_Mode; }
    ULONG Rate() const { return m_Rate; }
    // The prepared render format (channels, container bits); 0 when render is not prepared.
    ULONG RenderChannels() const { return m_RenderChannels; }
    ULONG RenderBits() const { return m_RenderBits; }

    // For tests and diagnostics.
    LONG OwnerFlag() const { return m_Owner; }
    BOOLEAN IsStarted();
    ULONG PendedCount();
    CAsioFifo &InputFifo() { return m_Input; }
    CAsioFifo &OutputFifo() { return m_Output; }

private:
    // Request gate.
    NTSTATUS EnterGate();
    VOID LeaveGate();
    VOID AcquireAsioMutex();
    VOID ReleaseAsioMutex();

    NTSTATUS HandleIoctl(DeviceChannelContext *Context, PIRP Irp);
    NTSTATUS AsioPrepare(const QELASIO_PREPARE_REQUEST &Request);
    NTSTATUS SizeAsioFifos(ULONG CaptureFrameBytes, ULONG64 CaptureFrames, ULONG RenderFrameBytes,
                           ULONG64 RenderFrames, ULONG Rate, ULONG Mode);
    NTSTATUS RefreshRate();
    ULONG64 DuplexRenderFrames(ULONG BufferFrames, ULONG Rate);
    ULONG64 RenderOnlyFrames(ULONG BufferFrames, ULONG Rate);
    NTSTATUS SizeRenderOnlyFifo();
    NTSTATUS ResetAsioRun();
    NTSTATUS AsioStart();
    NTSTATUS AsioStop();
    NTSTATUS AsioUnprepare();
    VOID StopDrainThread();
    VOID StartCapture();
    ULONG GetAsioPosition();
    VOID SetAsioPosition(ULONG HostPosition);

    // Pended requests (DeviceChannelQueue.cpp).
    NTSTATUS PendRequest(PIRP Irp, PUCHAR Buffer);
    BOOLEAN RearmLocked(PIRP Irp);
    VOID ArmStamp();
    VOID CancelPendedRequests(PFILE_OBJECT OnlyFor);
    BOOLEAN FillOldestRead();
    BOOLEAN DrainOldestWrite();
    VOID OnCaptureReadCompleted();
    static VOID CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID DrainThreadMain(PVOID Context);
    PUCHAR RequestBuffer(PIRP Irp);

    IDeviceChannelHost *m_Host;

    KSPIN_LOCK m_GateLock;
    ULONG m_GateClosing;
    ULONG m_GateCount;
    KEVENT m_GateDrained;
    KMUTEX m_AsioMutex;

    CAsioFifo m_Input;
    CAsioFifo m_Output;
    LONG volatile m_Owner;

    KSPIN_LOCK m_ListLock;
    LIST_ENTRY m_Pended;

    ULONG m_Rate;
    ULONG m_Mode;
    ULONG m_BufferFrames; // of the PREPARE request
    ULONG m_CaptureFrameBytes;
    ULONG m_RenderFrameBytes;
    ULONG m_RenderChannels;
    ULONG m_RenderBits;
    ULONG m_StreamReset;
    LONG volatile m_StampArmed;
    LONG64 volatile m_FirstDataStamp;
    ULONG m_Elapsed;

    PKTHREAD m_DrainThread;
    KEVENT m_DrainStop;
    KEVENT m_DrainWork;

    KSPIN_LOCK m_StartedLock;
    ULONG m_Started;
};
