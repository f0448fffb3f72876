// A small kernel driver that proves the machine's kernel path: it creates a device, forwards an
// IRP to a lower device of its own with a completion routine, and on request runs a DPC, a
// timer, a work item and a system thread, reporting what ran. It unloads cleanly.
#include <wdm.h>
#include "TestDriverProtocol.h"

namespace {

constexpr ULONG TestPoolTag = 0x74736554; // "Test"

struct UPPER_EXTENSION {
    PDEVICE_OBJECT Lower;
    LONG CreateCount;
};

struct EXERCISE {
    OVMTEST_REPORT Report;
    KEVENT CompletionDone;
    KEVENT DpcDone;
    KEVENT TimerDone;
    KEVENT WorkDone;
    KDPC Dpc;
    KDPC TimerDpc;
    KTIMER Timer;
};

PDEVICE_OBJECT g_Upper;
PDEVICE_OBJECT g_Lower;

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The lower device answers every internal request with STATUS_SUCCESS.
NTSTATUS DispatchLower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto exercise = static_cast<EXERCISE *>(Context);
    exercise->Report.CompletionRoutineRuns++;
    exercise->Report.CompletionIrql = KeGetCurrentIrql();
    exercise->Report.LowerStatus = Irp->IoStatus.Status;
    KeSetEvent(&exercise->CompletionDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID DpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    auto exercise = static_cast<EXERCISE *>(Context);
    exercise->Report.DpcRuns++;
    exercise->Report.DpcIrql = KeGetCurrentIrql();
    KeSetEvent(&exercise->DpcDone, IO_NO_INCREMENT, FALSE);
}

VOID TimerDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    auto exercise = static_cast<EXERCISE *>(Context);
    exercise->Report.TimerDpcRuns++;
    KeSetEvent(&exercise->TimerDone, IO_NO_INCREMENT, FALSE);
}

VOID WorkItemRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    auto exercise = static_cast<EXERCISE *>(Context);
    exercise->Report.WorkItemRuns++;
    exercise->Report.WorkItemIrql = KeGetCurrentIrql();
    KeSetEvent(&exercise->WorkDone, IO_NO_INCREMENT, FALSE);
}

VOID ThreadRoutine(PVOID Context)
{
    auto exercise = static_cast<EXERCISE *>(Context);
    exercise->Report.ThreadRuns++;
    exercise->Report.ThreadIrql = KeGetCurrentIrql();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS WaitFor(PKEVENT Event)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 10; // 10 s
    return KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &timeout);
}

// Runs each facility once; the report says what ran.
NTSTATUS Exercise(EXERCISE *exercise)
{
    KeInitializeEvent(&exercise->CompletionDone, NotificationEvent, FALSE);
    KeInitializeEvent(&exercise->DpcDone, NotificationEvent, FALSE);
    KeInitializeEvent(&exercise->TimerDone, NotificationEvent, FALSE);
    KeInitializeEvent(&exercise->WorkDone, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp(g_Lower->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, ForwardCompletion, exercise, TRUE, TRUE, TRUE);
    IoCallDriver(g_Lower, irp);
    NTSTATUS status = WaitFor(&exercise->CompletionDone);
    IoFreeIrp(irp);

    KeInitializeDpc(&exercise->Dpc, DpcRoutine, exercise);
    KeInsertQueueDpc(&exercise->Dpc, nullptr, nullptr);
    if (NT_SUCCESS(status)) {
        status = WaitFor(&exercise->DpcDone);
    }

    KeInitializeDpc(&exercise->TimerDpc, TimerDpcRoutine, exercise);
    KeInitializeTimer(&exercise->Timer);
    LARGE_INTEGER due;
    due.QuadPart = -10000; // 1 ms
    KeSetTimer(&exercise->Timer, due, &exercise->TimerDpc);
    if (NT_SUCCESS(status)) {
        status = WaitFor(&exercise->TimerDone);
    }
    KeCancelTimer(&exercise->Timer);

    PIO_WORKITEM item = IoAllocateWorkItem(g_Upper);
    if (item == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoQueueWorkItem(item, WorkItemRoutine, DelayedWorkQueue, exercise);
    if (NT_SUCCESS(status)) {
        status = WaitFor(&exercise->WorkDone);
    }

    HANDLE threadHandle = nullptr;
    NTSTATUS threadStatus = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                 ThreadRoutine, exercise);
    if (NT_SUCCESS(threadStatus)) {
        PVOID thread = nullptr;
        threadStatus = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread,
                                                 nullptr);
        if (NT_SUCCESS(threadStatus)) {
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(thread);
        }
        ZwClose(threadHandle);
    }
    KeFlushQueuedDpcs();
    IoFreeWorkItem(item);
    return NT_SUCCESS(status) ? threadStatus : status;
}

NTSTATUS DispatchUpper(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto extension = static_cast<UPPER_EXTENSION *>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&extension->CreateCount);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_OVMTEST_EXERCISE) {
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(OVMTEST_REPORT)) {
        return CompleteIrp(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto exercise = static_cast<EXERCISE *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(EXERCISE), TestPoolTag));
    if (exercise == nullptr) {
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(exercise, sizeof(EXERCISE));
    NTSTATUS status = Exercise(exercise);
    exercise->Report.CreateCount = (ULONG)extension->CreateCount;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &exercise->Report, sizeof(OVMTEST_REPORT));
    ExFreePoolWithTag(exercise, TestPoolTag);
    return CompleteIrp(Irp, status, NT_SUCCESS(status) ? sizeof(OVMTEST_REPORT) : 0);
}

NTSTATUS DispatchAny(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DeviceObject == g_Lower ? DispatchLower(DeviceObject, Irp) : DispatchUpper(DeviceObject, Irp);
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, OVMTEST_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_Upper);
    IoDeleteDevice(g_Lower);
    g_Upper = nullptr;
    g_Lower = nullptr;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, OVMTEST_DEVICE_NAME);
    RtlInitUnicodeString(&link, OVMTEST_LINK_NAME);
    NTSTATUS status = IoCreateDevice(DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Lower);
    if (NT_SUCCESS(status)) {
        status = IoCreateDevice(DriverObject, sizeof(UPPER_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Upper);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(g_Lower);
        }
    }
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(g_Upper);
            IoDeleteDevice(g_Lower);
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = DispatchAny;
    }
    DriverObject->DriverUnload = DriverUnload;
    g_Upper->Flags |= DO_BUFFERED_IO;
    g_Upper->Flags &= ~DO_DEVICE_INITIALIZING;
    g_Lower->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
