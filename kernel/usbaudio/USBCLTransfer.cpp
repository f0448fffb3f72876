// CUSBCL asynchronous transfers: IN submissions on pooled URBs and IRPs, their completion
// (packet compaction, client callback, recycling) and the frame count a transfer covers.
#include "USBCL.h"
#include <usbdlib.h>
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"

namespace {

constexpr USHORT BULK_URB_LENGTH = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
constexpr ULONG BULK_IN_FLAGS = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | 0x4;

ULONG IsochUrbLength(ULONG packets)
{
    return static_cast<ULONG>(GET_ISO_URB_SIZE(packets));
}

// Interval of a pipe as the exponent base, kept inside what a shift can take.
ULONG ClampedInterval(ULONG interval, BOOLEAN highSpeed)
{
    ULONG limit = highSpeed ? 4 : 16;
    return interval == 0 ? 1 : (interval > limit ? limit : interval);
}

} // namespace

USB_TRANSFER_CONTEXT *CUSBCL::AllocateContext()
{
    auto context = static_cast<USB_TRANSFER_CONTEXT *>(ExAllocateFromNPagedLookasideList(&m_ContextPool));
    if (context != nullptr) {
        RtlZeroMemory(context, sizeof(*context));
        context->Owner = this;
    }
    return context;
}

VOID CUSBCL::FreeContext(USB_TRANSFER_CONTEXT *context)
{
    if (context->BounceBuffer != nullptr) {
        ExFreePoolWithTag(context->BounceBuffer, USBAUDIO_BOUNCE_TAG);
        context->BounceBuffer = nullptr;
    }
    ExFreeToNPagedLookasideList(&m_ContextPool, context);
}

PURB CUSBCL::AllocateIsochUrb()
{
    return static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbPool));
}

VOID CUSBCL::FreeIsochUrb(PURB urb)
{
    ExFreeToNPagedLookasideList(&m_UrbPool, urb);
}

NTSTATUS CUSBCL::SubmitIsochIn(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length,
                               PUSB_COMPLETION_CALLBACK callback, PVOID clientContext, ULONG startFrame)
{
    NTSTATUS status = STATUS_SUCCESS;
    PURB urb = nullptr;
    BOOLEAN isoch = pipe != nullptr && pipe->PipeType == UsbdPipeTypeIsochronous;
    ULONG packets = 0;
    if (pipe == nullptr || buffer == nullptr || length == 0 || callback == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (isoch) {
        if (pipe->MaximumPacketSize == 0) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            packets = (length + pipe->MaximumPacketSize - 1) / pipe->MaximumPacketSize;
            if (m_HighSpeed) {
                ULONG interval = pipe->Interval == 0 ? 1 : pipe->Interval;
                if (interval <= 4) {
                    ULONG multiple = 8u >> (interval - 1);
                    packets = (packets + multiple - 1) / multiple * multiple;
                }
            }
            // A pooled URB has room for USBCL_MAX_ISOCH_PACKETS packets and no more.
            if (packets > USBCL_MAX_ISOCH_PACKETS) {
                status = STATUS_INVALID_PARAMETER;
            }
        }
    }
    USB_TRANSFER_CONTEXT *context = nullptr;
    if (NT_SUCCESS(status)) {
        context = AllocateContext();
        if (context == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            context->Callback = callback;
            context->ClientContext = clientContext;
            context->Pipe = pipe;
            context->BufferLength = length;
        }
    }
    if (NT_SUCCESS(status)) {
        urb = isoch ? AllocateIsochUrb()
                    : static_cast<PURB>(ExAllocatePoolWithTag(PoolType(), BULK_URB_LENGTH, USBAUDIO_TAG));
        if (urb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status) && isoch) {
        ULONG urbLength = IsochUrbLength(packets);
        RtlZeroMemory(urb, urbLength);
        urb->UrbHeader.Length = static_cast<USHORT>(urbLength);
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb->UrbIsochronousTransfer.PipeHandle = pipe->PipeHandle;
        urb->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
        urb->UrbIsochronousTransfer.TransferBuffer = buffer;
        urb->UrbIsochronousTransfer.TransferBufferLength = length;
        urb->UrbIsochronousTransfer.StartFrame = startFrame;
        urb->UrbIsochronousTransfer.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * pipe->MaximumPacketSize;
        }
    } else if (NT_SUCCESS(status)) {
        RtlZeroMemory(urb, BULK_URB_LENGTH);
        urb->UrbHeader.Length = BULK_URB_LENGTH;
        urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe->PipeHandle;
        urb->UrbBulkOrInterruptTransfer.TransferFlags = BULK_IN_FLAGS;
        urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    }
    if (NT_SUCCESS(status)) {
        context->Urb = urb;
        status = SubmitUrbAsync(urb, context);
    }
    if (!NT_SUCCESS(status)) {
        if (urb != nullptr) {
            if (isoch) {
                FreeIsochUrb(urb);
            } else {
                ExFreePoolWithTag(urb, USBAUDIO_TAG);
            }
        }
        if (context != nullptr) {
            FreeContext(context);
        }
    }
    return status;
}

NTSTATUS CUSBCL::SubmitUrbAsync(PURB urb, USB_TRANSFER_CONTEXT *context)
{
    return SubmitUrbWithRoutine(urb, IsochUrbComplete, context);
}

NTSTATUS CUSBCL::SubmitUrbWithRoutine(PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    NTSTATUS status = STATUS_SUCCESS;
    PIRP irp = nullptr;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
    if (!IsListEmpty(&m_IrpPool)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&m_IrpPool), IRP, Tail.Overlay.ListEntry);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    if (irp != nullptr) {
        IoReuseIrp(irp, STATUS_SUCCESS);
    } else {
        irp = IoAllocateIrp(m_pTarget->StackSize, FALSE);
    }
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
        IoCallDriver(m_pTarget, irp);
    }
    return status;
}

VOID CUSBCL::RecycleIrp(PIRP irp)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
    InsertTailList(&m_IrpPool, &irp->Tail.Overlay.ListEntry);
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

NTSTATUS CUSBCL::IsochUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID contextPointer)
{
    auto context = static_cast<USB_TRANSFER_CONTEXT *>(contextPointer);
    // Without a complete context nothing can be reported or recycled; the IRP is left alone.
    if (context != nullptr && context->Urb != nullptr && context->Owner != nullptr) {
        context->Owner->CompleteTransfer(irp, context);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reports a completed transfer to its client and recycles URB, context and IRP. DISPATCH_LEVEL.
VOID CUSBCL::CompleteTransfer(PIRP irp, USB_TRANSFER_CONTEXT *context)
{
    PURB urb = context->Urb;
    BOOLEAN isoch = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
    NTSTATUS irpStatus = irp->IoStatus.Status;
    ULONG bytes = 0;
    ULONG startFrame = 0;
    if (!NT_SUCCESS(irpStatus)) {
        if (urb->UrbHeader.Status == USBD_STATUS_BAD_START_FRAME && m_BusInterface.QueryBusTime != nullptr) {
            ULONG currentFrame = 0;
            m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &currentFrame);
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "bad start frame %lu, bus at %lu\n",
                        urb->UrbIsochronousTransfer.StartFrame, currentFrame);
        }
    } else if (isoch) {
        struct _URB_ISOCH_TRANSFER &transfer = urb->UrbIsochronousTransfer;
        if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            // Packets land at fixed offsets; move them down so the data is contiguous. Data
            // only moves towards the start, so an overlapping move is safe.
            PUCHAR buffer = static_cast<PUCHAR>(transfer.TransferBuffer);
            ULONG limit = context->BufferLength;
            for (ULONG i = 0; i < transfer.NumberOfPackets && i < USBCL_MAX_ISOCH_PACKETS; ++i) {
                ULONG offset = transfer.IsoPacket[i].Offset;
                ULONG length = transfer.IsoPacket[i].Length;
                if (offset > limit || length > limit - offset) {
                    length = offset < limit ? limit - offset : 0;
                }
                if (offset != bytes && length != 0) {
                    RtlMoveMemory(buffer + bytes, buffer + offset, length);
                }
                bytes += length;
            }
        } else {
            // A length-prefixed render transfer reports its audio bytes, not the prefixes.
            bytes = transfer.TransferBufferLength - (context->BounceLength < transfer.TransferBufferLength
                                                         ? context->BounceLength
                                                         : transfer.TransferBufferLength);
        }
        startFrame = transfer.StartFrame;
    } else {
        bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    NTSTATUS status = CheckTransferStatus(irpStatus, urb, context);
    ULONG frames = isoch ? GetTransferFrameCount(urb->UrbIsochronousTransfer.NumberOfPackets, context->Pipe) : 0;
    if (isoch) {
        FreeIsochUrb(urb);
    } else {
        ExFreePoolWithTag(urb, USBAUDIO_TAG);
    }
    context->Urb = nullptr;
    PUSB_COMPLETION_CALLBACK callback = context->Callback;
    PVOID clientContext = context->ClientContext;
    FreeContext(context);
    RecycleIrp(irp);
    // Last: once the client learns of its last completion it may stop and free the device.
    callback(status, bytes, startFrame, clientContext, frames);
}

ULONG CUSBCL::GetTransferFrameCount(ULONG packets, PUSBD_PIPE_INFORMATION pipe)
{
    ULONG frames = 0;
    if (pipe != nullptr && pipe->PipeType == UsbdPipeTypeIsochronous) {
        ULONGLONG interval = GetBcdUsb() < 0x0200 ? pipe->Interval
                                                  : 1ull << (ClampedInterval(pipe->Interval, m_HighSpeed) - 1);
        ULONGLONG covered = static_cast<ULONGLONG>(packets) * interval;
        frames = static_cast<ULONG>(m_HighSpeed ? (covered + 7) / 8 : covered);
    }
    return frames;
}
