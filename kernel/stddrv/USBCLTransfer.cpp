// CUSBCL asynchronous transfers: pooled contexts, URBs and IRPs, the IN submission and the
// completion routine that packs received packets and recycles everything before the client
// hears of the outcome.
#include "USBCL.h"
#include "StdPoolTags.h"

namespace {

constexpr ULONG BULK_IN_FLAGS = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

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

ULONG CUSBCL::HighSpeedPacketMultiple(PUSBD_PIPE_INFORMATION pipe) const
{
    ULONG interval = pipe->Interval == 0 ? 1 : pipe->Interval;
    return interval >= 4 ? 1 : 8u >> (interval - 1);
}

NTSTATUS CUSBCL::SubmitIsochIn(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length,
                               PUSB_COMPLETION_CALLBACK callback, PVOID clientContext)
{
    NTSTATUS status = STATUS_SUCCESS;
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
                ULONG multiple = HighSpeedPacketMultiple(pipe);
                packets = (packets + multiple - 1) / multiple * multiple;
            }
            // A pooled URB has room for USBCL_MAX_ISOCH_PACKETS packets and no more.
            if (packets > USBCL_MAX_ISOCH_PACKETS) {
                status = STATUS_INVALID_PARAMETER;
            }
        }
    }
    USB_TRANSFER_CONTEXT *context = nullptr;
    PURB urb = nullptr;
    if (NT_SUCCESS(status)) {
        context = AllocateContext();
        urb = isoch ? AllocateIsochUrb()
                    : static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, USBCL_BULK_URB_SIZE, STD_TAG));
        if (context == nullptr || urb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status) && isoch) {
        ULONG urbLength = static_cast<ULONG>(GET_ISO_URB_SIZE(packets));
        RtlZeroMemory(urb, urbLength);
        urb->UrbHeader.Length = static_cast<USHORT>(urbLength);
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb->UrbIsochronousTransfer.PipeHandle = pipe->PipeHandle;
        urb->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
        urb->UrbIsochronousTransfer.TransferBuffer = buffer;
        urb->UrbIsochronousTransfer.TransferBufferLength = length;
        urb->UrbIsochronousTransfer.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            // Padding packets past the buffer's end get no room.
            ULONG offset = i * pipe->MaximumPacketSize;
            urb->UrbIsochronousTransfer.IsoPacket[i].Offset = offset < length ? offset : length;
        }
    } else if (NT_SUCCESS(status)) {
        RtlZeroMemory(urb, USBCL_BULK_URB_SIZE);
        urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe->PipeHandle;
        urb->UrbBulkOrInterruptTransfer.TransferFlags = BULK_IN_FLAGS;
        urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    }
    if (NT_SUCCESS(status)) {
        context->Urb = urb;
        context->Callback = callback;
        context->ClientContext = clientContext;
        context->BufferLength = length;
        context->Isochronous = isoch;
        status = SubmitUrbAsync(urb, context);
    }
    if (!NT_SUCCESS(status)) {
        if (urb != nullptr) {
            if (isoch) {
                FreeIsochUrb(urb);
            } else {
                ExFreePoolWithTag(urb, STD_TAG);
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
    NTSTATUS status = STATUS_SUCCESS;
    PIRP irp = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_IrpListLock, &irql);
    if (!IsListEmpty(&m_IrpList)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&m_IrpList), IRP, Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&m_IrpListLock, irql);
    if (irp != nullptr) {
        IoReuseIrp(irp, STATUS_SUCCESS);
    } else {
        // The list is empty: a new IRP joins it for good when it completes.
        irp = IoAllocateIrp(m_pLowerDevice->StackSize, FALSE);
        if (irp != nullptr) {
            KeAcquireSpinLock(&m_IrpListLock, &irql);
            ++m_IrpsAllocated;
            KeReleaseSpinLock(&m_IrpListLock, irql);
        }
    }
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, IsochUrbComplete, context, TRUE, TRUE, TRUE);
        IoIncrement();
        IoCallDriver(m_pLowerDevice, irp);
    }
    return status;
}

VOID CUSBCL::ReturnIrp(PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IrpListLock, &irql);
    InsertTailList(&m_IrpList, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&m_IrpListLock, irql);
}

NTSTATUS CUSBCL::IsochUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID contextPointer)
{
    auto context = static_cast<USB_TRANSFER_CONTEXT *>(contextPointer);
    context->Owner->CompleteTransfer(irp, context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reports a completed transfer. The URB, the context and the IRP go back and the outstanding
// count falls before the client's callback runs: the callback usually submits the next
// transfer at once and reuses them, and a client that stops the device on its last
// completion finds nothing of this transfer still held. DISPATCH_LEVEL.
VOID CUSBCL::CompleteTransfer(PIRP irp, USB_TRANSFER_CONTEXT *context)
{
    PURB urb = context->Urb;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG bytes = 0;
    if (NT_SUCCESS(status) && context->Isochronous) {
        struct _URB_ISOCH_TRANSFER &transfer = urb->UrbIsochronousTransfer;
        if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            // Packets land at fixed offsets; they move down so that the data is contiguous.
            // Data only moves towards the start, so an overlapping move is safe. Lengths the
            // bus reports are kept inside the caller's buffer.
            PUCHAR buffer = static_cast<PUCHAR>(transfer.TransferBuffer);
            ULONG limit = context->BufferLength;
            ULONG packets = transfer.NumberOfPackets < USBCL_MAX_ISOCH_PACKETS ? transfer.NumberOfPackets
                                                                               : USBCL_MAX_ISOCH_PACKETS;
            for (ULONG i = 0; i < packets; ++i) {
                ULONG offset = transfer.IsoPacket[i].Offset;
                ULONG length = USBD_ERROR(transfer.IsoPacket[i].Status) ? 0 : transfer.IsoPacket[i].Length;
                if (offset > limit || length > limit - offset) {
                    length = offset < limit ? limit - offset : 0;
                }
                if (offset != bytes && length != 0) {
                    RtlMoveMemory(buffer + bytes, buffer + offset, length);
                }
                bytes += length;
            }
        } else {
            bytes = context->BufferLength;
        }
    } else if (NT_SUCCESS(status)) {
        bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        bytes = bytes < context->BufferLength ? bytes : context->BufferLength;
    }
    if (context->Isochronous) {
        FreeIsochUrb(urb);
    } else {
        ExFreePoolWithTag(urb, STD_TAG);
    }
    PUSB_COMPLETION_CALLBACK callback = context->Callback;
    PVOID clientContext = context->ClientContext;
    FreeContext(context);
    ReturnIrp(irp);
    IoDecrement();
    callback(status, bytes, clientContext);
}
