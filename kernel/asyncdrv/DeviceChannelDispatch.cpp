// The device channel's per-handle requests: CREATE of "\asio", the seventeen control codes with
// their state rules, CLEANUP's walk back to OPEN, and CLOSE.
#include "DeviceChannel.h"
#include "AsyncPoolTags.h"
#include "UsbAudioTrace.h"

namespace {

// Every live channel context of the driver, across its devices: the router finds a handle's
// context here whichever device it was opened on, also once that device has been removed.
KSPIN_LOCK g_ContextLock = 0;
LIST_ENTRY g_Contexts = {&g_Contexts, &g_Contexts};

ULONG ReadUlong(const VOID *Buffer)
{
    ULONG value;
    RtlCopyMemory(&value, Buffer, sizeof(value));
    return value;
}

VOID WriteUlong(VOID *Buffer, ULONG Value)
{
    RtlCopyMemory(Buffer, &Value, sizeof(Value));
}

// The state a control code needs, or CHANNEL_CLOSED for codes that work in every state.
ULONG RequiredState(ULONG Code)
{
    switch (Code) {
    case IOCTL_QELASIO_ACQUIRE:
        return CHANNEL_OPEN;
    case IOCTL_QELASIO_PREPARE:
    case IOCTL_QELASIO_RELEASE:
        return CHANNEL_ACQUIRED;
    case IOCTL_QELASIO_START:
    case IOCTL_QELASIO_UNPREPARE:
        return CHANNEL_PREPARED;
    case IOCTL_QELASIO_STOP:
        return CHANNEL_RUNNING;
    default:
        return CHANNEL_CLOSED;
    }
}

} // namespace

NTSTATUS CDeviceChannel::CreateContext(PADAPTERCOMMON Adapter, PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    auto context = static_cast<DeviceChannelContext *>(
        ExAllocatePoolWithTag(m_Host->ChannelPoolType(), sizeof(DeviceChannelContext), ASYNC_TAG));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(context, sizeof(*context));
    context->Tag = DEVICE_CHANNEL_CONTEXT_TAG;
    context->Adapter = Adapter;
    context->Channel = this;
    context->State = CHANNEL_CLOSED;
    context->FileObject = FileObject;
    NTSTATUS status = STATUS_SUCCESS;
    if (FileObject->FsContext2 != nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        status = EnterGate();
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, ASYNC_TAG);
        return status;
    }
    context->State = CHANNEL_OPEN;
    FileObject->FsContext2 = context;
    KIRQL irql;
    KeAcquireSpinLock(&g_ContextLock, &irql);
    InsertTailList(&g_Contexts, &context->Link);
    KeReleaseSpinLock(&g_ContextLock, irql);
    LeaveGate();
    Adapter->AddRef();
    return STATUS_SUCCESS;
}

DeviceChannelContext *CDeviceChannel::LookupContext(PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr || FileObject->FsContext2 == nullptr) {
        return nullptr;
    }
    DeviceChannelContext *found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&g_ContextLock, &irql);
    for (PLIST_ENTRY entry = g_Contexts.Flink; entry != &g_Contexts; entry = entry->Flink) {
        auto context = CONTAINING_RECORD(entry, DeviceChannelContext, Link);
        if (context == FileObject->FsContext2 && context->FileObject == FileObject &&
            context->Tag == DEVICE_CHANNEL_CONTEXT_TAG) {
            found = context;
            break;
        }
    }
    KeReleaseSpinLock(&g_ContextLock, irql);
    return found;
}

NTSTATUS CDeviceChannel::ChannelDeviceControl(DeviceChannelContext *Context, PIRP Irp)
{
    CDeviceChannel *self = Context->Channel;
    Irp->IoStatus.Information = 0;
    NTSTATUS status = self->EnterGate();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    self->AcquireAsioMutex();
    status = self->HandleIoctl(Context, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    self->ReleaseAsioMutex();
    self->LeaveGate();
    return status;
}

// ASIO mutex held. The state is checked before the buffer lengths.
NTSTATUS CDeviceChannel::HandleIoctl(DeviceChannelContext *Context, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    PADAPTERCOMMON adapter = m_Host->ChannelAdapter();
    const ULONG required = RequiredState(code);
    if (required != CHANNEL_CLOSED && Context->State != required) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (code) {
    case IOCTL_QELASIO_GET_RATE_RANGE: {
        QELASIO_RATE_RANGE range{};
        status = outLength < sizeof(range) ? STATUS_INVALID_PARAMETER
                                           : adapter->GetSampleRateRange(&range.Lowest, &range.Highest);
        if (NT_SUCCESS(status)) {
            RtlCopyMemory(buffer, &range, sizeof(range));
            information = sizeof(range);
        }
        break;
    }
    case IOCTL_QELASIO_GET_RATE_CAPS: {
        QELASIO_RATE_CAPS caps{};
        if (inLength < sizeof(caps) || outLength < sizeof(caps)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        RtlCopyMemory(&caps, buffer, sizeof(caps));
        status = m_Host->IsSampleRateSupported(caps.Rate);
        if (NT_SUCCESS(status)) {
            status = m_Host->FillRateCaps(caps.Rate, FALSE, &caps.RenderChannels, &caps.RenderBits);
        }
        if (NT_SUCCESS(status)) {
            status = m_Host->FillRateCaps(caps.Rate, TRUE, &caps.CaptureChannels, &caps.CaptureBits);
        }
        if (NT_SUCCESS(status)) {
            RtlCopyMemory(buffer, &caps, sizeof(caps));
            information = sizeof(caps);
        }
        break;
    }
    case IOCTL_QELASIO_GET_SAMPLE_RATE: {
        ULONG rate = 0;
        status = outLength < sizeof(ULONG) ? STATUS_INVALID_PARAMETER : adapter->GetSampleRate(&rate);
        if (NT_SUCCESS(status)) {
            WriteUlong(buffer, rate);
            information = sizeof(ULONG);
        }
        break;
    }
    case IOCTL_QELASIO_SET_SAMPLE_RATE:
        status = inLength < sizeof(ULONG) ? STATUS_INVALID_PARAMETER : adapter->SetSampleRate(ReadUlong(buffer));
        break;
    case IOCTL_QELASIO_GET_DSD_SUPPORT:
    case IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS:
    case IOCTL_QELASIO_GET_STREAM_RESET:
    case IOCTL_QELASIO_GET_POSITION: {
        if (outLength < sizeof(ULONG)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        ULONG value = 0;
        if (code == IOCTL_QELASIO_GET_DSD_SUPPORT) {
            value = m_Host->IsDsdNative() ? 1 : 0;
        } else if (code == IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS) {
            value = m_Host->CaptureMsPerTransfer();
        } else if (code == IOCTL_QELASIO_GET_STREAM_RESET) {
            KIRQL irql;
            KeAcquireSpinLock(&m_ListLock, &irql);
            value = m_StreamReset;
            KeReleaseSpinLock(&m_ListLock, irql);
        } else {
            value = GetAsioPosition();
        }
        WriteUlong(buffer, value);
        information = sizeof(ULONG);
        break;
    }
    case IOCTL_QELASIO_ACQUIRE:
        if (InterlockedCompareExchange(&m_Owner, 1, 0) != 0) {
            status = STATUS_DEVICE_BUSY;
        } else {
            Context->State = CHANNEL_ACQUIRED;
        }
        break;
    case IOCTL_QELASIO_PREPARE: {
        QELASIO_PREPARE_REQUEST request{};
        if (inLength < sizeof(request)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        RtlCopyMemory(&request, buffer, sizeof(request));
        status = AsioPrepare(request);
        if (NT_SUCCESS(status)) {
            Context->State = CHANNEL_PREPARED;
        }
        break;
    }
    case IOCTL_QELASIO_START:
        status = AsioStart();
        if (NT_SUCCESS(status)) {
            Context->State = CHANNEL_RUNNING;
        }
        break;
    case IOCTL_QELASIO_STOP: {
        const NTSTATUS stopped = AsioStop();
        if (!NT_SUCCESS(stopped)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "STOP failed: 0x%08X", stopped);
        }
        Context->State = CHANNEL_PREPARED;
        break;
    }
    case IOCTL_QELASIO_UNPREPARE: {
        const NTSTATUS unprepared = AsioUnprepare();
        if (!NT_SUCCESS(unprepared)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "UNPREPARE failed: 0x%08X", unprepared);
        }
        Context->State = CHANNEL_ACQUIRED;
        break;
    }
    case IOCTL_QELASIO_RELEASE:
        if (InterlockedCompareExchange(&m_Owner, 0, 1) != 1) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "RELEASE of a channel nobody owns");
        }
        Context->State = CHANNEL_OPEN;
        break;
    case IOCTL_QELASIO_PING:
        break;
    case IOCTL_QELASIO_START_CAPTURE:
        StartCapture();
        break;
    case IOCTL_QELASIO_SET_POSITION:
        if (inLength < sizeof(ULONG)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            SetAsioPosition(ReadUlong(buffer));
        }
        break;
    default:
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "unknown control code 0x%08X", code);
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    return status;
}

// CLEANUP: the handle's own pended requests end whatever its state, then the channel walks back
// from wherever this handle left it, so a client that dies holds nothing.
NTSTATUS CDeviceChannel::ChannelCleanup(DeviceChannelContext *Context, PIRP Irp)
{
    CDeviceChannel *self = Context->Channel;
    Irp->IoStatus.Information = 0;
    NTSTATUS status = self->EnterGate();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    self->CancelPendedRequests(Context->FileObject);
    self->AcquireAsioMutex();
    if (Context->State == CHANNEL_RUNNING) {
        self->AsioStop();
        Context->State = CHANNEL_PREPARED;
    }
    if (Context->State == CHANNEL_PREPARED) {
        self->AsioUnprepare();
        Context->State = CHANNEL_ACQUIRED;
    }
    if (Context->State == CHANNEL_ACQUIRED) {
        InterlockedCompareExchange(&self->m_Owner, 0, 1);
        Context->State = CHANNEL_OPEN;
    }
    self->ReleaseAsioMutex();
    self->LeaveGate();
    return STATUS_SUCCESS;
}

NTSTATUS CDeviceChannel::ChannelClose(DeviceChannelContext *Context)
{
    CDeviceChannel *self = Context->Channel;
    if (NT_SUCCESS(self->EnterGate())) {
        Context->State = CHANNEL_CLOSED;
        self->LeaveGate();
    }
    KIRQL irql;
    KeAcquireSpinLock(&g_ContextLock, &irql);
    RemoveEntryList(&Context->Link);
    KeReleaseSpinLock(&g_ContextLock, irql);
    PADAPTERCOMMON adapter = Context->Adapter;
    if (Context->FileObject != nullptr && Context->FileObject->FsContext2 == Context) {
        Context->FileObject->FsContext2 = nullptr;
    }
    RtlZeroMemory(Context, sizeof(*Context));
    ExFreePoolWithTag(Context, ASYNC_TAG);
    // Last: the adapter, and this channel inside it, may go away with this reference.
    adapter->Release();
    return STATUS_SUCCESS;
}
