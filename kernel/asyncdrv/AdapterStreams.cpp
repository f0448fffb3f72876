// CAdapterCommon: stream formats, data-range questions, the device format per direction,
// stream start and stop with their run counts, and the piece queues of the mix path.
#include "AdapterCommon.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "USBAudioTerminal.h"
#include "UsbAudioTrace.h"

STDMETHODIMP CAdapterCommon::GetFormatRangeByPin(ULONG Pin, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits,
                                                 PULONG MinRate, PULONG MaxRate)
{
    return GetFormatRange(IsCapturePin(Pin), MaxChannels, MinBits, MaxBits, MinRate, MaxRate);
}

STDMETHODIMP CAdapterCommon::GetFormatRange(BOOLEAN Capture, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits,
                                            PULONG MinRate, PULONG MaxRate)
{
    if (IsRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    if (MaxChannels == nullptr || MinBits == nullptr || MaxBits == nullptr || MinRate == nullptr ||
        MaxRate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    AcquireStreamMutex();
    NTSTATUS status = m_Usb.GetTerminalFormatRange(Capture ? 1 : 0, MaxChannels, MinBits, MaxBits, MinRate, MaxRate);
    ReleaseStreamMutex();
    if (NT_SUCCESS(status)) {
        if (m_CurrentRate != 0) {
            *MinRate = m_CurrentRate;
        }
        if (*MinBits > 8) {
            *MinBits = 8;
        }
    }
    return status;
}

// Both directions run from one clock: both interfaces exist and, on class 2, their terminals
// name the same clock source.
BOOLEAN CAdapterCommon::IsSharedClock()
{
    USB_STREAMING_INTERFACE *render = m_Usb.GetRecord(0);
    USB_STREAMING_INTERFACE *capture = m_Usb.GetRecord(1);
    if (render == nullptr || capture == nullptr) {
        return FALSE;
    }
    if (!m_Usb.IsUac2()) {
        return TRUE;
    }
    if (render->Terminal == nullptr || capture->Terminal == nullptr) {
        return FALSE;
    }
    return render->Terminal->GetClockSourceID() == capture->Terminal->GetClockSourceID();
}

STDMETHODIMP CAdapterCommon::SetFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG Bits, ULONG Rate)
{
    ULONG index = Capture ? 1 : 0;
    if (IsRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    if (Capture) {
        FlushCaptureQueue();
    } else {
        FlushRenderQueue();
    }
    NTSTATUS status = STATUS_SUCCESS;
    AcquireStreamMutex();
    ADAPTER_FORMAT &format = m_StreamFormat[index];
    if (Channels != format.Channels || Bits != format.BitsPerSample || Rate != format.SampleRate) {
        const ADAPTER_FORMAT &other = m_StreamFormat[1 - index];
        if (Rate != m_CurrentRate) {
            status = STATUS_NO_MATCH;
        } else if (IsSharedClock() && m_FormatSet[1 - index] && other.SampleRate != Rate) {
            status = STATUS_NO_MATCH;
        } else {
            status = m_Usb.IsFormatSupported(index, FormatTag, Channels, Bits, Rate);
        }
        if (NT_SUCCESS(status)) {
            format.FormatTag = FormatTag;
            format.Channels = Channels;
            format.BitsPerSample = Bits;
            format.SampleRate = Rate;
            format.FrameBytes = Channels * Bits / 8;
        }
    }
    if (NT_SUCCESS(status)) {
        if (Rate != m_CurrentRate) {
            m_PendingRate = Rate;
        }
        m_FormatSet[index] = TRUE;
    }
    ReleaseStreamMutex();
    return status;
}

STDMETHODIMP CAdapterCommon::ChangeFormat(BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG Bits, ULONG Rate)
{
    ClearFormat(Capture);
    return SetFormat(Capture, FormatTag, Channels, Bits, Rate);
}

STDMETHODIMP CAdapterCommon::ClearFormat(BOOLEAN Capture)
{
    ULONG index = Capture ? 1 : 0;
    AcquireStreamMutex();
    m_FormatSet[index] = FALSE;
    if (m_Usb.IsImplicitFeedbackMode()) {
        if (!m_FormatSet[0] && !m_FormatSet[1]) {
            RtlZeroMemory(m_StreamFormat, sizeof(m_StreamFormat));
        }
    } else {
        RtlZeroMemory(&m_StreamFormat[index], sizeof(m_StreamFormat[index]));
    }
    if (!m_FormatSet[0] && !m_FormatSet[1]) {
        m_PendingRate = 0;
    }
    ReleaseStreamMutex();
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::GetDataRangeInfo(ULONG Pin, PULONG Channels, PULONG MinBits, PULONG MaxBits,
                                              PULONG MinRate, PULONG MaxRate)
{
    if (PinElement(Pin) == nullptr || Channels == nullptr ||
        MinBits == nullptr || MaxBits == nullptr || MinRate == nullptr || MaxRate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_NO_MATCH;
    AcquireStreamMutex();
    if (m_CurrentRate == 0 || (*MaxRate == m_CurrentRate && *MinRate == m_CurrentRate)) {
        status = m_Usb.IntersectFormat(IsCapturePin(Pin) ? 1 : 0, *Channels, *MinBits, *MaxBits, MinRate, MaxRate);
    }
    ReleaseStreamMutex();
    return status;
}

// Opens the direction's interface at the widest PCM format of the rate; the mix path converts
// whatever the stream format is. Records the transfer sizes the streaming engine runs with.
// Under the stream mutex.
NTSTATUS CAdapterCommon::SelectDeviceFormat(BOOLEAN Capture)
{
    ULONG index = Capture ? 1 : 0;
    ULONG rate = m_PendingRate != 0 ? m_PendingRate : m_CurrentRate;
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG resolution = 0;
    NTSTATUS status = m_Usb.GetStreamingFormat(index, USB_AUDIO_TAG_PCM, rate, &channels, &bits, &resolution);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ms = Capture ? g_Tuning.Param3 : g_Tuning.Param1;
    ULONG outChannels = 0;
    ULONG outBits = 0;
    ULONG largest = 0;
    ULONG nominal = 0;
    LONG below = 0;
    LONG above = 0;
    if (m_Usb.IsImplicitFeedbackMode()) {
        status = m_Usb.SelectStreamingFormat(index, USB_AUDIO_TAG_PCM, channels, resolution, rate, ms, &outChannels,
                                             &outBits, &nominal, &below, &above, &largest);
    } else {
        status = m_Usb.SelectStreamingFormat(index, USB_AUDIO_TAG_PCM, channels, resolution, rate, ms, &outChannels,
                                             &outBits, &largest);
    }
    // The device channel sizes its FIFO frames from the widest format (channels x container
    // bytes); an interface opened at any other layout would stream frames of another width.
    if (NT_SUCCESS(status) && (outChannels != channels || outBits != bits)) {
        DeselectDeviceFormat(Capture);
        status = STATUS_NO_MATCH;
    }
    if (NT_SUCCESS(status)) {
        ADAPTER_FORMAT &format = m_DeviceFormat[index];
        format.FormatTag = static_cast<USHORT>(USB_AUDIO_TAG_PCM);
        format.Channels = outChannels;
        format.BitsPerSample = outBits;
        format.SampleRate = rate;
        format.FrameBytes = outChannels * outBits / 8;
        m_TransferBytes[index] = largest;
        if (Capture) {
            m_Engine.CaptureBytes = largest;
            m_Engine.CaptureFrameBytes = format.FrameBytes;
            m_Engine.CaptureNominal = nominal;
            m_Engine.CaptureBelow = below;
            m_Engine.CaptureAbove = above;
        } else {
            m_Engine.RenderMaxBytes = largest;
            m_Engine.RenderFrameBytes = format.FrameBytes;
            m_Engine.RenderNominal = nominal;
            m_Engine.RenderBelow = below;
            m_Engine.RenderAbove = above;
        }
    }
    return status;
}

VOID CAdapterCommon::DeselectDeviceFormat(BOOLEAN Capture)
{
    ULONG index = Capture ? 1 : 0;
    if (m_Usb.GetRecord(index) == nullptr) {
        return;
    }
    ULONG outChannels = 0;
    ULONG outBits = 0;
    ULONG largest = 0;
    if (m_Usb.IsImplicitFeedbackMode()) {
        m_Usb.SelectStreamingFormat(index, 0, 0, 0, 0, 0, &outChannels, &outBits, &largest, nullptr, nullptr,
                                    &largest);
    } else {
        m_Usb.SelectStreamingFormat(index, 0, 0, 0, 0, 0, &outChannels, &outBits, &largest);
    }
}

// Readies one direction of the engine and opens its interface. Under the stream mutex.
NTSTATUS CAdapterCommon::PrepareDirectionLocked(BOOLEAN Capture)
{
    USB_STREAMING_INTERFACE *record = m_Usb.GetRecord(Capture ? 1 : 0);
    if (record == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ResetEngineState(Capture);
    NTSTATUS status = STATUS_SUCCESS;
    if (record->CurrentAlternate == 0) {
        status = SelectDeviceFormat(Capture);
    }
    return status;
}

// Runs a direction whose thread has started and waits for its first completion. Under the
// stream mutex.
NTSTATUS CAdapterCommon::RunDirectionLocked(BOOLEAN Capture)
{
    SetRun(Capture);
    return WaitStreamStarted(Capture, ENGINE_START_WAIT_MS);
}

// One direction from run count 0 to 1 on a device with one streaming interface. Under the
// stream mutex.
NTSTATUS CAdapterCommon::StartDirectionLocked(BOOLEAN Capture)
{
    ULONG index = Capture ? 1 : 0;
    if (IsRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = PrepareDirectionLocked(Capture);
    if (NT_SUCCESS(status) && !Capture) {
        ArmRenderPacing();
    }
    if (NT_SUCCESS(status)) {
        status = StartStreamingThreads(Capture);
    }
    if (NT_SUCCESS(status)) {
        status = RunDirectionLocked(Capture);
    }
    if (NT_SUCCESS(status)) {
        m_RunCount[index] = 1;
    } else {
        StopStreamingThread(Capture);
    }
    return status;
}

// One direction from run count 1 to 0. Under the stream mutex.
VOID CAdapterCommon::StopDirectionLocked(BOOLEAN Capture)
{
    m_RunCount[Capture ? 1 : 0] = 0;
    StopStreamingThread(Capture);
    DeselectDeviceFormat(Capture);
    FlushQueue(Capture ? 1 : 0);
}

STDMETHODIMP CAdapterCommon::StartStream(BOOLEAN Capture)
{
    if (m_Duplex != 0) {
        return StartDuplex();
    }
    ULONG index = Capture ? 1 : 0;
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN startedCapture = FALSE;
    AcquireStreamMutex();
    if (m_RunCount[index] != 0) {
        ++m_RunCount[index];
    } else {
        StopStreamingThread(Capture);
        if (!Capture && m_Usb.IsImplicitFeedbackMode()) {
            status = StartStream(TRUE);
            startedCapture = NT_SUCCESS(status);
        }
        if (NT_SUCCESS(status)) {
            status = StartDirectionLocked(Capture);
        }
        if (!NT_SUCCESS(status)) {
            DeselectDeviceFormat(Capture);
            if (startedCapture) {
                StopStream(TRUE);
            }
        }
    }
    ReleaseStreamMutex();
    return status;
}

NTSTATUS CAdapterCommon::StartDuplex()
{
    NTSTATUS status = STATUS_SUCCESS;
    AcquireStreamMutex();
    if (m_RunCount[0] != m_RunCount[1]) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "run counts differ: o %lu i %lu", m_RunCount[0],
                    m_RunCount[1]);
        status = STATUS_UNSUCCESSFUL;
    } else if (m_RunCount[0] != 0) {
        ++m_RunCount[0];
        ++m_RunCount[1];
    } else {
        StopStreamingThread(FALSE);
        StopStreamingThread(TRUE);
        status = IsRemoved() ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) {
            status = PrepareDirectionLocked(TRUE);
        }
        if (NT_SUCCESS(status)) {
            status = PrepareDirectionLocked(FALSE);
        }
        if (NT_SUCCESS(status)) {
            ArmRenderPacing();
            status = StartStreamingThreads(TRUE);
        }
        if (NT_SUCCESS(status)) {
            status = StartStreamingThreads(FALSE);
        }
        if (NT_SUCCESS(status)) {
            status = RunDirectionLocked(TRUE);
        }
        if (NT_SUCCESS(status)) {
            status = RunDirectionLocked(FALSE);
        }
        if (NT_SUCCESS(status)) {
            m_RunCount[0] = m_RunCount[1] = 1;
        } else {
            m_RunCount[0] = m_RunCount[1] = 0;
            StopStreamingThread(FALSE);
            StopStreamingThread(TRUE);
            DeselectDeviceFormat(FALSE);
            DeselectDeviceFormat(TRUE);
        }
    }
    ReleaseStreamMutex();
    return status;
}

STDMETHODIMP CAdapterCommon::StopStream(BOOLEAN Capture)
{
    if (m_Duplex != 0) {
        return StopDuplex();
    }
    ULONG index = Capture ? 1 : 0;
    AcquireStreamMutex();
    if (m_RunCount[index] == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s: not running", TRACE_DIRECTION(Capture));
    }
    if (m_RunCount[index] != 0 && --m_RunCount[index] == 0) {
        StopDirectionLocked(Capture);
        if (!Capture && m_Usb.IsImplicitFeedbackMode()) {
            StopStream(TRUE);
        }
    }
    ReleaseStreamMutex();
    return STATUS_SUCCESS;
}

NTSTATUS CAdapterCommon::StopDuplex()
{
    NTSTATUS status = STATUS_SUCCESS;
    AcquireStreamMutex();
    if (m_RunCount[0] != m_RunCount[1]) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "run counts differ: o %lu i %lu", m_RunCount[0],
                    m_RunCount[1]);
        status = STATUS_UNSUCCESSFUL;
    } else if (m_RunCount[0] == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "not running");
    } else {
        --m_RunCount[0];
        --m_RunCount[1];
        if (m_RunCount[0] == 0) {
            StopDirectionLocked(FALSE);
            StopDirectionLocked(TRUE);
        }
    }
    ReleaseStreamMutex();
    return status;
}

VOID CAdapterCommon::QueuePiece(ULONG Index, PUCHAR Buffer, ULONG Length)
{
    if (IsRemoved()) {
        return;
    }
    auto piece = static_cast<QUEUE_PIECE *>(ExAllocateFromNPagedLookasideList(&m_PiecePool));
    if (piece == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "%s: no queue piece, %lu bytes dropped",
                    TRACE_DIRECTION(Index != 0), Length);
        return;
    }
    piece->Start = Buffer;
    piece->Current = Buffer;
    piece->Length = Length;
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock[Index], &irql);
    InsertTailList(&m_Queue[Index], &piece->Links);
    KeReleaseSpinLock(&m_QueueLock[Index], irql);
}

VOID CAdapterCommon::FlushQueue(ULONG Index)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock[Index], &irql);
    while (!IsListEmpty(&m_Queue[Index])) {
        PLIST_ENTRY entry = RemoveHeadList(&m_Queue[Index]);
        ExFreeToNPagedLookasideList(&m_PiecePool, CONTAINING_RECORD(entry, QUEUE_PIECE, Links));
    }
    KeReleaseSpinLock(&m_QueueLock[Index], irql);
}

STDMETHODIMP CAdapterCommon::QueueRenderBuffer(PUCHAR Buffer, ULONG Length)
{
    QueuePiece(0, Buffer, Length);
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::QueueCaptureBuffer(PUCHAR Buffer, ULONG Length)
{
    QueuePiece(1, Buffer, Length);
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::FlushRenderQueue()
{
    FlushQueue(0);
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::FlushCaptureQueue()
{
    FlushQueue(1);
    return STATUS_SUCCESS;
}
