// CUSBAudioCL explicit feedback: the size of a feedback read, its submission on a pooled URB
// and IRP, and the completion that decodes and averages the packets' values.
#include "USBAudioCL.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr ULONG FEEDBACK_READ_MS = 4;
constexpr ULONG FEEDBACK_IN_FLAGS = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;

} // namespace

ULONG CUSBAudioCL::GetFeedbackBufferSize()
{
    ULONG size = 0;
    if (m_pRender != nullptr && m_pRender->FeedbackPipe != nullptr) {
        PUSBD_PIPE_INFORMATION pipe = m_pRender->FeedbackPipe;
        size = static_cast<ULONG>(pipe->MaximumPacketSize) * FEEDBACK_READ_MS;
        if (m_HighSpeed) {
            // Interval 1..4 means 8, 4, 2 or 1 packets per millisecond; other values are
            // clamped so that the shift stays defined.
            ULONG interval = pipe->Interval < 1 ? 1 : (pipe->Interval > 4 ? 4 : pipe->Interval);
            size <<= 4 - interval;
        }
    }
    return size;
}

NTSTATUS CUSBAudioCL::RecvFeedback(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK callback,
                                   PVOID clientContext)
{
    USB_STREAMING_INTERFACE *record = m_pRender;
    PUSBD_PIPE_INFORMATION pipe = record != nullptr ? record->FeedbackPipe : nullptr;
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeIsochronous || buffer == nullptr || length == 0 ||
        callback == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USB_TRANSFER_CONTEXT *context = AllocateContext();
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Callback = callback;
    context->ClientContext = clientContext;
    context->Pipe = pipe;
    context->BufferLength = length;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG packets = 1;
    PURB urb = nullptr;
    if (pipe->MaximumPacketSize == 0) {
        status = STATUS_INVALID_PARAMETER;
    } else if (length > pipe->MaximumPacketSize) {
        packets = static_cast<ULONG>((static_cast<ULONGLONG>(length) + pipe->MaximumPacketSize - 1) /
                                     pipe->MaximumPacketSize);
        // A pooled URB has room for so many packets and no more.
        status = packets <= USBCL_MAX_ISOCH_PACKETS ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        urb = AllocateIsochUrb();
        status = urb != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        ULONG urbLength = static_cast<ULONG>(GET_ISO_URB_SIZE(packets));
        RtlZeroMemory(urb, urbLength);
        urb->UrbHeader.Length = static_cast<USHORT>(urbLength);
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb->UrbIsochronousTransfer.PipeHandle = pipe->PipeHandle;
        urb->UrbIsochronousTransfer.TransferFlags = FEEDBACK_IN_FLAGS;
        urb->UrbIsochronousTransfer.StartFrame = 0;
        urb->UrbIsochronousTransfer.TransferBuffer = buffer;
        urb->UrbIsochronousTransfer.TransferBufferLength = length;
        urb->UrbIsochronousTransfer.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * pipe->MaximumPacketSize;
        }
        context->Urb = urb;
        status = SubmitUrbWithRoutine(urb, _RecvFeedbackCompletionRoutine, context);
    }
    if (!NT_SUCCESS(status)) {
        if (urb != nullptr) {
            FreeIsochUrb(urb);
        }
        context->Urb = nullptr;
        FreeContext(context);
    }
    return status;
}

NTSTATUS CUSBAudioCL::_RecvFeedbackCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID contextPointer)
{
    auto context = static_cast<USB_TRANSFER_CONTEXT *>(contextPointer);
    if (context != nullptr && context->Owner != nullptr) {
        auto owner = static_cast<CUSBAudioCL *>(context->Owner);
        if (context->Urb != nullptr) {
            owner->CompleteFeedback(irp, context);
        } else {
            // Nothing to report without the URB; the pieces there are go back.
            owner->FreeContext(context);
            owner->RecycleIrp(irp);
        }
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Decodes the packets: 3 bytes are 10.14 (shifted to 16.16), 4 bytes 16.16, an empty packet
// repeats the previous value; other sizes and failed packets do not count. DISPATCH_LEVEL.
VOID CUSBAudioCL::CompleteFeedback(PIRP irp, USB_TRANSFER_CONTEXT *context)
{
    PURB urb = context->Urb;
    USB_STREAMING_INTERFACE *record = m_pRender;
    NTSTATUS irpStatus = irp->IoStatus.Status;
    ULONG value = 0;
    ULONG startFrame = 0;
    if (NT_SUCCESS(irpStatus)) {
        struct _URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
        ULONG last = record != nullptr ? record->LastReceivedFeedback : 0;
        startFrame = iso.StartFrame;
        if (iso.TransferBufferLength == 0) {
            value = last;
        } else {
            const UCHAR *data = static_cast<const UCHAR *>(iso.TransferBuffer);
            if (data == nullptr && iso.TransferBufferMDL != nullptr) {
                data = static_cast<const UCHAR *>(MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, MdlPriority()));
            }
            ULONGLONG sum = 0;
            ULONG counted = 0;
            ULONG v = last;
            ULONG limit = context->BufferLength;
            for (ULONG i = 0; data != nullptr && i < iso.NumberOfPackets && i < USBCL_MAX_ISOCH_PACKETS; ++i) {
                const USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[i];
                if (USBD_ERROR(packet.Status)) {
                    continue;
                }
                if (packet.Length != 0 && (packet.Offset > limit || packet.Length > limit - packet.Offset)) {
                    continue;
                }
                if (packet.Length == 3) {
                    v = UsbReadLe24(data + packet.Offset) << 2;
                } else if (packet.Length == 4) {
                    v = UsbReadLe32(data + packet.Offset);
                } else if (packet.Length != 0) {
                    continue;
                }
                sum += v;
                ++counted;
            }
            value = counted != 0 ? static_cast<ULONG>(sum / counted) : 0;
            if (v != 0 && record != nullptr) {
                record->LastReceivedFeedback = v;
            }
        }
    }
    FreeIsochUrb(urb);
    context->Urb = nullptr;
    PUSB_COMPLETION_CALLBACK callback = context->Callback;
    PVOID clientContext = context->ClientContext;
    FreeContext(context);
    RecycleIrp(irp);
    // Last: once the client learns of its last completion it may stop and free the device.
    callback(irpStatus, value, startFrame, clientContext, 0);
}
