// The device channel's device-wide actions: request gate, PREPARE's checks and FIFO sizing,
// START, STOP and UNPREPARE, removal, and the client's position in frames.
#include "DeviceChannel.h"
#include "UsbAudioTrace.h"

namespace {

constexpr LONG64 MicrosecondsPerSecond = 1000000;
// The longest buffer PREPARE takes, in frames: twice the ASIO driver's longest (32 steps of 64
// frames at 16 times the base rate). A client's BufferFrames sizes three buffers of non-paged
// pool per direction, so without a bound one request could ask for gigabytes.
constexpr ULONG MaximumBufferFrames = 2 * 32 * 64 * 16;

} // namespace

CDeviceChannel::CDeviceChannel()
    : m_Host(nullptr), m_GateLock(0), m_GateClosing(1), m_GateCount(0), m_Input(TRUE), m_Output(FALSE), m_Owner(0),
      m_ListLock(0), m_Rate(0), m_Mode(0), m_BufferFrames(0), m_CaptureFrameBytes(0), m_RenderFrameBytes(0),
      m_RenderChannels(0), m_RenderBits(0), m_StreamReset(0), m_StampArmed(1), m_FirstDataStamp(0), m_Elapsed(0),
      m_DrainThread(nullptr), m_StartedLock(0), m_Started(0)
{
    KeInitializeSpinLock(&m_GateLock);
    KeInitializeEvent(&m_GateDrained, NotificationEvent, TRUE);
    KeInitializeMutex(&m_AsioMutex, 0);
    KeInitializeSpinLock(&m_ListLock);
    InitializeListHead(&m_Pended);
    KeInitializeEvent(&m_DrainStop, NotificationEvent, FALSE);
    KeInitializeEvent(&m_DrainWork, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_StartedLock);
}

CDeviceChannel::~CDeviceChannel()
{
    StopDrainThread();
}

VOID CDeviceChannel::Init(IDeviceChannelHost *Host)
{
    PAGED_CODE();
    m_Host = Host;
    m_StreamReset = 0;
    m_Elapsed = 0;
    m_Started = 0;
    ArmStamp();
    KIRQL irql;
    KeAcquireSpinLock(&m_GateLock, &irql);
    m_GateClosing = 0;
    KeReleaseSpinLock(&m_GateLock, irql);
}

NTSTATUS CDeviceChannel::EnterGate()
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&m_GateLock, &irql);
    if (m_GateClosing != 0) {
        status = STATUS_DELETE_PENDING;
    } else if (m_GateCount++ == 0) {
        KeClearEvent(&m_GateDrained);
    }
    KeReleaseSpinLock(&m_GateLock, irql);
    return status;
}

VOID CDeviceChannel::LeaveGate()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_GateLock, &irql);
    ASSERT(m_GateCount != 0);
    if (--m_GateCount == 0) {
        KeSetEvent(&m_GateDrained, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&m_GateLock, irql);
}

VOID CDeviceChannel::AcquireAsioMutex()
{
    KeWaitForSingleObject(&m_AsioMutex, Executive, KernelMode, FALSE, nullptr);
}

VOID CDeviceChannel::ReleaseAsioMutex()
{
    KeReleaseMutex(&m_AsioMutex, FALSE);
}

VOID CDeviceChannel::PrepareRemoval()
{
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&m_GateLock, &irql);
    m_GateClosing = 1;
    KeReleaseSpinLock(&m_GateLock, irql);
    KeWaitForSingleObject(&m_GateDrained, Executive, KernelMode, FALSE, nullptr);
    if (m_Host == nullptr) {
        return;
    }
    AcquireAsioMutex();
    AsioStop();
    AsioUnprepare();
    ReleaseAsioMutex();
}

BOOLEAN CDeviceChannel::IsStarted()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_StartedLock, &irql);
    const BOOLEAN started = m_Started != 0;
    KeReleaseSpinLock(&m_StartedLock, irql);
    return started;
}

// ASIO mutex held. The order of the checks decides which status a client sees. A mode above
// DSD is refused with the request's other malformed fields: it would reach a DSD-native device
// as a vendor mode of no known meaning while PCM streams beside it.
NTSTATUS CDeviceChannel::AsioPrepare(const QELASIO_PREPARE_REQUEST &Request)
{
    const BOOLEAN capture = Request.CaptureEnable != 0;
    const BOOLEAN render = Request.RenderEnable != 0;
    if (Request.BufferFrames == 0 || Request.BufferFrames > MaximumBufferFrames || (!capture && !render) ||
        Request.Mode > QELASIO_MODE_DSD) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((capture && !m_Host->HasCaptureInterface()) || (render && !m_Host->HasRenderInterface())) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Request.Mode == QELASIO_MODE_DSD && !m_Host->IsDsdNative()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PADAPTERCOMMON adapter = m_Host->ChannelAdapter();
    NTSTATUS status = adapter->ReserveStreams(capture, render, Request.Mode == QELASIO_MODE_DSD);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = adapter->SetDsdMode(Request.Mode);
    if (!NT_SUCCESS(status)) {
        adapter->ReleaseStreams(capture, render);
        return status;
    }
    ULONG rate = 0;
    ULONG captureChannels = 0, captureBits = 0, renderChannels = 0, renderBits = 0;
    status = adapter->GetSampleRate(&rate);
    if (NT_SUCCESS(status)) {
        status = m_Host->FillRateCaps(rate, FALSE, &renderChannels, &renderBits);
    }
    if (NT_SUCCESS(status)) {
        status = m_Host->FillRateCaps(rate, TRUE, &captureChannels, &captureBits);
    }
    const ULONG captureFrameBytes = capture ? captureChannels * captureBits / 8 : 0;
    const ULONG renderFrameBytes = render ? renderChannels * renderBits / 8 : 0;
    if (NT_SUCCESS(status) && ((capture && captureFrameBytes == 0) || (render && renderFrameBytes == 0))) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (NT_SUCCESS(status)) {
        // 64-bit frame counts: a hostile buffer size is refused by the sizing, not wrapped.
        const ULONG64 frames = Request.BufferFrames;
        ULONG64 renderFrames = 0;
        if (render) {
            renderFrames = capture ? 3 * DuplexRenderFrames(Request.BufferFrames, rate)
                                   : RenderOnlyFrames(Request.BufferFrames, rate);
        }
        status = SizeAsioFifos(captureFrameBytes, capture ? 3 * frames : 0, renderFrameBytes, renderFrames, rate,
                               Request.Mode);
    }
    if (!NT_SUCCESS(status)) {
        adapter->SetDsdMode(QELASIO_MODE_PCM);
        adapter->ReleaseStreams(capture, render);
        return status;
    }
    m_BufferFrames = Request.BufferFrames;
    m_CaptureFrameBytes = captureFrameBytes;
    m_RenderFrameBytes = renderFrameBytes;
    m_RenderChannels = render ? renderChannels : 0;
    m_RenderBits = render ? renderBits : 0;
    if (capture && render) {
        m_Output.Prefill(static_cast<ULONG>(DuplexRenderFrames(Request.BufferFrames, rate) * renderFrameBytes));
        m_Host->SetAsioMixPrefill(Request.PrefillPercent > 100 ? 100 : Request.PrefillPercent);
    }
    return STATUS_SUCCESS;
}

// The buffer a duplex output FIFO is sized and prefilled by: the client's, and at least one
// capture transfer at Rate. Each capture completion reads a whole transfer's worth from the FIFO
// before the client can answer the READs it completes: a prefill of a buffer shorter than that
// leaves no frame to spare, and the client's first late frame is lost.
ULONG64 CDeviceChannel::DuplexRenderFrames(ULONG BufferFrames, ULONG Rate)
{
    const ULONG64 transferFrames = (static_cast<ULONG64>(Rate) + 999) / 1000 * m_Host->CaptureMsPerTransfer();
    return BufferFrames > transferFrames ? static_cast<ULONG64>(BufferFrames) : transferFrames;
}

// A render-only FIFO holds three buffers, and at least three render transfers at Rate.
ULONG64 CDeviceChannel::RenderOnlyFrames(ULONG BufferFrames, ULONG Rate)
{
    const ULONG64 transferFrames = (static_cast<ULONG64>(Rate) + 999) / 1000 * m_Host->RenderMsPerTransfer();
    return 3 * (BufferFrames > transferFrames ? static_cast<ULONG64>(BufferFrames) : transferFrames);
}

// START of a render-only channel: its FIFO follows the rate it starts at, which may have
// changed since PREPARE; a FIFO smaller than a render transfer would cut every transfer short.
NTSTATUS CDeviceChannel::SizeRenderOnlyFifo()
{
    const ULONG64 frames = RenderOnlyFrames(m_BufferFrames, m_Rate);
    if (frames * m_RenderFrameBytes == m_Output.Size()) {
        return STATUS_SUCCESS;
    }
    return m_Output.Resize(frames, m_Host->ChannelPoolType());
}

NTSTATUS CDeviceChannel::SizeAsioFifos(ULONG CaptureFrameBytes, ULONG64 CaptureFrames, ULONG RenderFrameBytes,
                                       ULONG64 RenderFrames, ULONG Rate, ULONG Mode)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (CaptureFrames == 0 && RenderFrames == 0) {
        status = STATUS_INVALID_PARAMETER;
    }
    const UCHAR fillByte = Mode == QELASIO_MODE_DSD ? 0x96 : 0;
    const POOL_TYPE pool = m_Host->ChannelPoolType();
    if (NT_SUCCESS(status) && CaptureFrames != 0) {
        status = m_Input.Allocate(CaptureFrameBytes, CaptureFrames, fillByte, pool);
    }
    if (NT_SUCCESS(status) && RenderFrames != 0) {
        status = m_Output.Allocate(RenderFrameBytes, RenderFrames, fillByte, pool);
    }
    if (!NT_SUCCESS(status)) {
        m_Input.Free();
        m_Output.Free();
        return status;
    }
    m_Rate = Rate;
    m_Mode = Mode;
    return STATUS_SUCCESS;
}

// The rate may have changed since PREPARE (SET_SAMPLE_RATE is allowed while prepared). The
// positions follow the new rate; FIFOs sized for other frame widths cannot be streamed and the
// client is asked to prepare again.
NTSTATUS CDeviceChannel::RefreshRate()
{
    ULONG rate = 0;
    NTSTATUS status = m_Host->ChannelAdapter()->GetSampleRate(&rate);
    if (!NT_SUCCESS(status) || rate == m_Rate) {
        return status;
    }
    ULONG channels = 0, bits = 0;
    if (m_Input.IsAllocated()) {
        status = m_Host->FillRateCaps(rate, TRUE, &channels, &bits);
        if (NT_SUCCESS(status) && channels * bits / 8 != m_CaptureFrameBytes) {
            status = STATUS_REINITIALIZATION_NEEDED;
        }
    }
    if (NT_SUCCESS(status) && m_Output.IsAllocated()) {
        status = m_Host->FillRateCaps(rate, FALSE, &channels, &bits);
        if (NT_SUCCESS(status) && channels * bits / 8 != m_RenderFrameBytes) {
            status = STATUS_REINITIALIZATION_NEEDED;
        }
    }
    if (NT_SUCCESS(status)) {
        m_Rate = rate;
    }
    return status;
}

NTSTATUS CDeviceChannel::ResetAsioRun()
{
    m_StreamReset = 0;
    m_Elapsed = 0;
    ArmStamp();
    if (m_Input.IsAllocated()) {
        return STATUS_SUCCESS;
    }
    KeClearEvent(&m_DrainStop);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, DrainThreadMain, this);
    if (NT_SUCCESS(status)) {
        PVOID object = nullptr;
        status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
        if (NT_SUCCESS(status)) {
            m_DrainThread = static_cast<PKTHREAD>(object);
        } else {
            // Without a reference the thread cannot be waited for: tell it to end.
            KeSetEvent(&m_DrainStop, IO_NO_INCREMENT, FALSE);
        }
        ZwClose(thread);
    }
    return status;
}

VOID CDeviceChannel::StopDrainThread()
{
    PKTHREAD thread = static_cast<PKTHREAD>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&m_DrainThread), nullptr));
    if (thread == nullptr) {
        return;
    }
    KeSetEvent(&m_DrainStop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

// ASIO mutex held.
NTSTATUS CDeviceChannel::AsioStart()
{
    if (IsStarted()) {
        return STATUS_SUCCESS;
    }
    const BOOLEAN input = m_Input.IsAllocated();
    const BOOLEAN output = m_Output.IsAllocated();
    if (!input && !output) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PADAPTERCOMMON adapter = m_Host->ChannelAdapter();
    BOOLEAN captureStarted = FALSE;
    BOOLEAN renderStarted = FALSE;
    NTSTATUS status = RefreshRate();
    if (NT_SUCCESS(status) && !input) {
        status = SizeRenderOnlyFifo();
    }
    if (NT_SUCCESS(status)) {
        status = ResetAsioRun();
    }
    if (NT_SUCCESS(status) && input) {
        status = adapter->StartStream(TRUE);
        captureStarted = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status) && output) {
        status = adapter->StartStream(FALSE);
        renderStarted = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status)) {
        status = m_Host->StartAsioMix();
    }
    if (!NT_SUCCESS(status)) {
        m_Host->StopAsioMix();
        if (renderStarted) {
            adapter->StopStream(FALSE);
        }
        if (captureStarted) {
            adapter->StopStream(TRUE);
        }
        StopDrainThread();
        m_StreamReset = 0;
        m_Elapsed = 0;
        ArmStamp();
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_StartedLock, &irql);
    m_Started = 1;
    KeReleaseSpinLock(&m_StartedLock, irql);
    return STATUS_SUCCESS;
}

// ASIO mutex held. Pended requests end STATUS_CANCELLED; the FIFOs return to their prefill.
NTSTATUS CDeviceChannel::AsioStop()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_StartedLock, &irql);
    const BOOLEAN wasStarted = m_Started != 0;
    m_Started = 0;
    KeReleaseSpinLock(&m_StartedLock, irql);
    if (!wasStarted) {
        return STATUS_SUCCESS;
    }
    StopDrainThread();
    m_StreamReset = 0;
    m_Elapsed = 0;
    ArmStamp();
    CancelPendedRequests(nullptr);
    m_Host->StopAsioMix();
    PADAPTERCOMMON adapter = m_Host->ChannelAdapter();
    if (m_Input.IsAllocated()) {
        adapter->StopStream(TRUE);
        m_Input.Reset();
    }
    if (m_Output.IsAllocated()) {
        adapter->StopStream(FALSE);
        m_Output.Reset();
    }
    return STATUS_SUCCESS;
}

// ASIO mutex held. A channel that was never prepared has nothing to give back.
NTSTATUS CDeviceChannel::AsioUnprepare()
{
    StopDrainThread();
    const BOOLEAN input = m_Input.IsAllocated();
    const BOOLEAN output = m_Output.IsAllocated();
    m_Output.Free();
    m_Input.Free();
    m_Rate = 0;
    m_Mode = 0;
    m_BufferFrames = 0;
    m_CaptureFrameBytes = 0;
    m_RenderFrameBytes = 0;
    m_RenderChannels = 0;
    m_RenderBits = 0;
    if (!input && !output) {
        return STATUS_SUCCESS;
    }
    PADAPTERCOMMON adapter = m_Host->ChannelAdapter();
    NTSTATUS status = adapter->SetDsdMode(QELASIO_MODE_PCM);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "DSD mode not cleared: 0x%08X", status);
    }
    return adapter->ReleaseStreams(input, output);
}

// START_CAPTURE acts only on a started channel with an input FIFO: an unallocated or idle FIFO
// must not start taking data that the next PREPARE would inherit.
VOID CDeviceChannel::StartCapture()
{
    if (IsStarted() && m_Input.IsAllocated()) {
        m_Input.Start();
    }
}

// Frames since the first completed READ at the prepared rate. The clock difference is split
// into whole seconds and a remainder so that no product can overflow, however old the stamp.
ULONG CDeviceChannel::GetAsioPosition()
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    LONG64 ticks = now.QuadPart - InterlockedCompareExchange64(&m_FirstDataStamp, 0, 0);
    if (ticks < 0) {
        ticks = 0;
    }
    const LONG64 f = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    const LONG64 microseconds = (ticks / f) * MicrosecondsPerSecond + ((ticks % f) * MicrosecondsPerSecond + f / 2) / f;
    const LONG64 rate = m_Rate;
    const LONG64 position = (microseconds / MicrosecondsPerSecond) * rate +
                            ((microseconds % MicrosecondsPerSecond) * rate + MicrosecondsPerSecond / 2) /
                                MicrosecondsPerSecond;
    m_Elapsed = static_cast<ULONG>(position);
    return m_Elapsed;
}

VOID CDeviceChannel::SetAsioPosition(ULONG HostPosition)
{
    const ULONG lag = HostPosition < m_Elapsed ? m_Elapsed - HostPosition : 0;
    if (lag == 0) {
        return;
    }
    if (m_Input.IsAllocated()) {
        m_Input.Skip(lag);
    }
    if (m_Output.IsAllocated()) {
        m_Output.Skip(lag);
    }
}
