// Requests the I/O manager builds: the buffers of reads, writes and control codes (system buffer,
// MDL or the caller's buffer), IoBuildDeviceIoControlRequest and IoBuildSynchronousFsdRequest.
#include "io_internal.h"
#include <platform/pool.h>
#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace platform {
namespace {

constexpr ULONG buffer_tag = io_tag('I', 'o', 'S', 'b');

struct buffer_setup {
    void *system_buffer = nullptr;
    void *copy_back_to = nullptr; // buffered output: the caller's buffer
    ULONG copy_back_max = 0;
    PMDL mdl = nullptr;
};

std::mutex g_lock;
std::unordered_map<PIRP, buffer_setup> g_buffers;

PMDL lock_caller_buffer(PIRP irp, void *buffer, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION operation)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (mdl != nullptr) {
        MmProbeAndLockPages(mdl, mode, operation);
        irp->MdlAddress = mdl;
    }
    return mdl;
}

// Completion of a built control request: status block, event, IRP freed.
void built_request_done(PIRP irp, void *)
{
    io_finish_buffers(irp);
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (irp->UserEvent != nullptr) {
        KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    IoFreeIrp(irp);
}

} // namespace

NTSTATUS io_prepare_buffers(PIRP irp, PDEVICE_OBJECT target, UCHAR major, ULONG code, KPROCESSOR_MODE mode,
                            const void *in, ULONG in_len, void *out, ULONG out_len)
{
    buffer_setup setup;
    ULONG method;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        const ULONG length = major == IRP_MJ_READ ? out_len : in_len;
        method = (target->Flags & DO_BUFFERED_IO) ? METHOD_BUFFERED
                 : (target->Flags & DO_DIRECT_IO) ? METHOD_OUT_DIRECT
                                                   : METHOD_NEITHER;
        if (method == METHOD_BUFFERED) {
            if (length != 0) {
                setup.system_buffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, buffer_tag);
                if (setup.system_buffer == nullptr) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                if (major == IRP_MJ_WRITE) {
                    std::memcpy(setup.system_buffer, in, length);
                } else {
                    setup.copy_back_to = out;
                    setup.copy_back_max = length;
                }
            }
            irp->AssociatedIrp.SystemBuffer = setup.system_buffer;
        } else if (method == METHOD_OUT_DIRECT) {
            void *buffer = major == IRP_MJ_READ ? out : const_cast<void *>(in);
            if (length != 0) {
                setup.mdl = lock_caller_buffer(irp, buffer, length, mode,
                                               major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
                if (setup.mdl == nullptr) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
            }
        } else {
            irp->UserBuffer = major == IRP_MJ_READ ? out : const_cast<void *>(in);
        }
    } else {
        method = METHOD_FROM_CTL_CODE(code);
        if (method == METHOD_NEITHER) {
            IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(in);
            irp->UserBuffer = out;
        } else {
            const ULONG system_length = method == METHOD_BUFFERED ? std::max(in_len, out_len) : in_len;
            if (system_length != 0) {
                setup.system_buffer = ExAllocatePoolWithTag(NonPagedPoolNx, system_length, buffer_tag);
                if (setup.system_buffer == nullptr) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                std::memset(setup.system_buffer, 0, system_length);
                if (in_len != 0) {
                    std::memcpy(setup.system_buffer, in, in_len);
                }
            }
            irp->AssociatedIrp.SystemBuffer = setup.system_buffer;
            if (method == METHOD_BUFFERED) {
                setup.copy_back_to = out;
                setup.copy_back_max = out_len;
                irp->UserBuffer = out;
            } else if (out_len != 0) {
                setup.mdl = lock_caller_buffer(irp, out, out_len, mode,
                                               method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
                if (setup.mdl == nullptr) {
                    if (setup.system_buffer != nullptr) {
                        ExFreePoolWithTag(setup.system_buffer, buffer_tag);
                    }
                    irp->AssociatedIrp.SystemBuffer = nullptr;
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
            }
        }
    }
    if (setup.system_buffer != nullptr) {
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (setup.copy_back_to != nullptr) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_buffers[irp] = setup;
    return STATUS_SUCCESS;
}

void io_finish_buffers(PIRP irp)
{
    buffer_setup setup;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_buffers.find(irp);
        if (it == g_buffers.end()) {
            return;
        }
        setup = it->second;
        g_buffers.erase(it);
    }
    if (setup.system_buffer != nullptr) {
        // Output is copied only for success and warning statuses, and never more than the caller's
        // buffer holds, whatever Information a driver reports.
        if (setup.copy_back_to != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
            const SIZE_T count = std::min<ULONG_PTR>(irp->IoStatus.Information, setup.copy_back_max);
            std::memcpy(setup.copy_back_to, setup.system_buffer, count);
        }
        ExFreePoolWithTag(setup.system_buffer, buffer_tag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (setup.mdl != nullptr) {
        MmUnlockPages(setup.mdl);
        IoFreeMdl(setup.mdl);
        irp->MdlAddress = nullptr;
    }
}

} // namespace platform

using namespace platform;

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = io_allocate_irp(DeviceObject->StackSize);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (!NT_SUCCESS(io_prepare_buffers(irp, DeviceObject, stack->MajorFunction, IoControlCode, KernelMode,
                                       InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength))) {
        IoFreeIrp(irp);
        return nullptr;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    io_set_top_completion(irp, built_request_done, nullptr);
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    PIRP irp = io_allocate_irp(DeviceObject->StackSize);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = (UCHAR)MajorFunction;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) {
            stack->Parameters.Read.ByteOffset = *StartingOffset;
        }
        const bool read = MajorFunction == IRP_MJ_READ;
        if (!NT_SUCCESS(io_prepare_buffers(irp, DeviceObject, stack->MajorFunction, 0, KernelMode,
                                           read ? nullptr : Buffer, read ? 0 : Length, read ? Buffer : nullptr,
                                           read ? Length : 0))) {
            IoFreeIrp(irp);
            return nullptr;
        }
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    io_set_top_completion(irp, built_request_done, nullptr);
    return irp;
}

} // extern "C"
