// CUSBAudioCL transfers: render transfers sized and split into packets by the rate's packet
// pattern, and capture transfers through the IN submission of the device layer.
#include "USBAudioCL.h"
#include "USBPacketPattern.h"

const ULONG *CUSBAudioCL::PatternEntries(PULONG length) const
{
    const ULONG *entries = nullptr;
    *length = 0;
    if (m_pRenderPattern != nullptr) {
        *length = m_HighSpeed ? m_pRenderPattern->HighSpeedLength : m_pRenderPattern->FullSpeedLength;
        entries = m_HighSpeed ? m_pRenderPattern->HighSpeedEntries : m_pRenderPattern->FullSpeedEntries;
    }
    return entries;
}

ULONG CUSBAudioCL::GetRenderBytesPerTransfer(ULONG milliseconds)
{
    ULONG length = 0;
    const ULONG *entries = PatternEntries(&length);
    ULONG frames = 0;
    if (entries != nullptr && m_pRender != nullptr && m_pRender->BytesPerFrame != 0) {
        // One entry per (micro)frame of bus time; a packet of a longer period carries the
        // entries of every (micro)frame it spans.
        ULONG count = milliseconds * (m_HighSpeed ? 8 : 1);
        ULONG position = m_RenderPatternPosition;
        for (ULONG i = 0; i < count; ++i) {
            frames += entries[position];
            position = position + 1 < length ? position + 1 : 0;
        }
    }
    return m_pRender != nullptr ? frames * m_pRender->BytesPerFrame : 0;
}

NTSTATUS CUSBAudioCL::BuildRenderIsochUrb(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK completion,
                                          PVOID context)
{
    NTSTATUS status = STATUS_SUCCESS;
    PUSBD_PIPE_INFORMATION pipe = m_pRender != nullptr ? m_pRender->Pipe : nullptr;
    ULONG patternLength = 0;
    const ULONG *entries = PatternEntries(&patternLength);
    ULONG bytesPerFrame = m_pRender != nullptr ? m_pRender->BytesPerFrame : 0;
    ULONG factor = m_RenderIntervalFactor;
    if (pipe == nullptr || entries == nullptr || bytesPerFrame == 0) {
        status = STATUS_NOT_SUPPORTED;
    } else if (buffer == nullptr || length == 0 || completion == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    }
    // Packets needed to carry length bytes, each the frames of factor pattern entries.
    ULONG packets = 0;
    ULONG position = m_RenderPatternPosition;
    for (ULONG covered = 0; NT_SUCCESS(status) && covered < length;) {
        if (packets == USBCL_MAX_ISOCH_PACKETS) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        for (ULONG k = 0; k < factor; ++k) {
            covered += entries[position] * bytesPerFrame;
            position = position + 1 < patternLength ? position + 1 : 0;
        }
        ++packets;
    }
    if (NT_SUCCESS(status) && m_HighSpeed) {
        ULONG multiple = HighSpeedPacketMultiple(pipe);
        packets = (packets + multiple - 1) / multiple * multiple;
        if (packets > USBCL_MAX_ISOCH_PACKETS) {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    USB_TRANSFER_CONTEXT *transfer = nullptr;
    PURB urb = nullptr;
    if (NT_SUCCESS(status)) {
        transfer = AllocateContext();
        urb = AllocateIsochUrb();
        if (transfer == nullptr || urb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ULONG previousPosition = m_RenderPatternPosition;
    if (NT_SUCCESS(status)) {
        ULONG urbLength = static_cast<ULONG>(GET_ISO_URB_SIZE(packets));
        RtlZeroMemory(urb, urbLength);
        urb->UrbHeader.Length = static_cast<USHORT>(urbLength);
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb->UrbIsochronousTransfer.PipeHandle = pipe->PipeHandle;
        urb->UrbIsochronousTransfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_OUT;
        urb->UrbIsochronousTransfer.TransferBuffer = buffer;
        urb->UrbIsochronousTransfer.TransferBufferLength = length;
        urb->UrbIsochronousTransfer.NumberOfPackets = packets;
        // The pattern position follows bus time: it moves for every packet, also for the
        // empty ones that pad a high-speed transfer to whole frames.
        ULONG offset = 0;
        for (ULONG k = 0; k < packets; ++k) {
            ULONG frames = 0;
            for (ULONG e = 0; e < factor; ++e) {
                frames += entries[m_RenderPatternPosition];
                m_RenderPatternPosition = m_RenderPatternPosition + 1 < patternLength ? m_RenderPatternPosition + 1 : 0;
            }
            ULONG packetBytes = frames * bytesPerFrame;
            packetBytes = packetBytes < length - offset ? packetBytes : length - offset;
            urb->UrbIsochronousTransfer.IsoPacket[k].Offset = offset;
            urb->UrbIsochronousTransfer.IsoPacket[k].Length = packetBytes;
            offset += packetBytes;
        }
        transfer->Urb = urb;
        transfer->Callback = completion;
        transfer->ClientContext = context;
        transfer->BufferLength = length;
        transfer->Isochronous = TRUE;
        status = SubmitUrbAsync(urb, transfer);
    }
    if (!NT_SUCCESS(status)) {
        if (urb != nullptr) {
            FreeIsochUrb(urb);
        }
        if (transfer != nullptr) {
            FreeContext(transfer);
        }
        // Nothing went out: the pattern stays where it was.
        m_RenderPatternPosition = previousPosition;
    }
    return status;
}

NTSTATUS CUSBAudioCL::BuildCaptureIsochUrb(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK completion,
                                           PVOID context)
{
    PUSBD_PIPE_INFORMATION pipe = m_pCapture != nullptr ? m_pCapture->Pipe : nullptr;
    return pipe != nullptr ? SubmitIsochIn(pipe, buffer, length, completion, context) : STATUS_NOT_SUPPORTED;
}
