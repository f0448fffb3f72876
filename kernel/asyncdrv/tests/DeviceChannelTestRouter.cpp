// The device channel test device's router.
#include "DeviceChannelTestRouter.h"

namespace channel_test {
namespace {

test_adapter *const *g_current = nullptr;

NTSTATUS complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS dispatch(PDEVICE_OBJECT, PIRP irp)
{
    test_adapter *adapter = *g_current;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        UNICODE_STRING asio;
        RtlInitUnicodeString(&asio, QELASIO_CHANNEL_FILE_NAME);
        if (!RtlEqualUnicodeString(&file->FileName, &asio, TRUE)) {
            return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
        }
        return complete(irp, adapter->channel.CreateContext(adapter, file));
    }
    DeviceChannelContext *context = adapter->channel.LookupContext(file);
    if (context == nullptr) {
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    NTSTATUS status;
    switch (stack->MajorFunction) {
    case IRP_MJ_CLOSE:
        status = CDeviceChannel::ChannelClose(context);
        break;
    case IRP_MJ_CLEANUP:
        status = CDeviceChannel::ChannelCleanup(context, irp);
        break;
    case IRP_MJ_READ:
        status = CDeviceChannel::ChannelRead(context, irp);
        break;
    case IRP_MJ_WRITE:
        status = CDeviceChannel::ChannelWrite(context, irp);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = CDeviceChannel::ChannelDeviceControl(context, irp);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return status == STATUS_PENDING ? status : complete(irp, status);
}

} // namespace

void route_to_channel(PDRIVER_OBJECT driver, test_adapter *const *current)
{
    g_current = current;
    for (auto &entry : driver->MajorFunction) {
        entry = dispatch;
    }
}

} // namespace channel_test
