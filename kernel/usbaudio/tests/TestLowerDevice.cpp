// The tests' stand-in for the USB bus driver below the library.
#include "TestLowerDevice.h"
#include <algorithm>
#include <usbbusif.h>
#include <usbioctl.h>
#include <cstring>
#include <platform/io_driver.h>
#include <sim/usb_device.h>

namespace usbaudio_test {

namespace {

const GUID kBusInterfaceGuid = {0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};

test_lower_device *self(PDEVICE_OBJECT device)
{
    return *static_cast<test_lower_device **>(device->DeviceExtension);
}

NTSTATUS complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    return status;
}

} // namespace

test_lower_device::test_lower_device(bytes device_bytes, bytes configuration_bytes, bool hs)
    : device(std::move(device_bytes)), configuration(std::move(configuration_bytes)), high_speed(hs)
{
    driver_ = platform::io_create_driver_object(L"usbaudio_test_bus", "usbaudio_test_bus");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal;
    driver_->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    IoCreateDevice(driver_, sizeof(test_lower_device *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_object_);
    *static_cast<test_lower_device **>(device_object_->DeviceExtension) = this;
}

test_lower_device::~test_lower_device()
{
    IoDeleteDevice(device_object_);
    platform::io_discard_driver_object(driver_);
}

void test_lower_device::answer(std::uint8_t request, std::uint16_t value, std::uint16_t index, bytes data)
{
    answers_[{request, value, index}] = std::move(data);
}

void test_lower_device::forget(std::uint8_t request, std::uint16_t value, std::uint16_t index)
{
    answers_.erase({request, value, index});
}

NTSTATUS test_lower_device::dispatch_pnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        std::memcmp(stack->Parameters.QueryInterface.InterfaceType, &kBusInterfaceGuid, sizeof(GUID)) == 0 &&
        stack->Parameters.QueryInterface.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1)) {
        auto bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(stack->Parameters.QueryInterface.Interface);
        std::memset(bus, 0, sizeof(*bus));
        bus->Size = sizeof(*bus);
        bus->Version = USB_BUSIF_USBDI_VERSION_1;
        bus->BusContext = self(device);
        bus->QueryBusTime = query_bus_time;
        bus->IsDeviceHighSpeed = is_high_speed;
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS test_lower_device::query_bus_time(PVOID context, PULONG frame)
{
    *frame = 100;
    return STATUS_SUCCESS;
}

BOOLEAN test_lower_device::is_high_speed(PVOID context)
{
    return static_cast<test_lower_device *>(context)->high_speed ? TRUE : FALSE;
}

NTSTATUS test_lower_device::dispatch_internal(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        status = self(device)->handle_urb(static_cast<PURB>(stack->Parameters.Others.Argument1));
    }
    return complete(irp, status);
}

void test_lower_device::fill_interface(PUSBD_INTERFACE_INFORMATION information, ULONG room)
{
    const std::uint8_t *desc = nullptr;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        const std::uint8_t *d = &configuration[at];
        if (d[1] == 4 && d[2] == information->InterfaceNumber && d[3] == information->AlternateSetting) {
            desc = d;
            continue;
        }
        if (desc == nullptr) {
            continue;
        }
        if (d[1] == 4) {
            break;
        }
        if (d[1] == 5 && information->NumberOfPipes < room && d[0] >= 7) {
            USBD_PIPE_INFORMATION &pipe = information->Pipes[information->NumberOfPipes++];
            USHORT raw = static_cast<USHORT>(d[4] | (d[5] << 8));
            pipe.MaximumPacketSize = static_cast<USHORT>((raw & 0x7FF) * (1 + ((raw >> 11) & 3)));
            pipe.EndpointAddress = d[2];
            pipe.Interval = d[6];
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(d[3] & 3);
            pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(next_handle_++);
        }
    }
    if (desc != nullptr) {
        information->Class = desc[5];
        information->SubClass = desc[6];
        information->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(next_handle_++);
    }
    information->Length = static_cast<USHORT>(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                                              sizeof(USBD_PIPE_INFORMATION) * information->NumberOfPipes);
}

NTSTATUS test_lower_device::forward(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                                    std::uint16_t index, PVOID buffer, PULONG length, PURB urb)
{
    sim::setup_packet setup;
    setup.bmRequestType = request_type;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = static_cast<std::uint16_t>(*length);
    sim::control_outcome outcome =
        model_->handle_control(setup, std::span<std::uint8_t>(static_cast<std::uint8_t *>(buffer), *length));
    if (outcome.stall) {
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    *length = outcome.length;
    return STATUS_SUCCESS;
}

NTSTATUS test_lower_device::handle_urb(PURB urb)
{
    NTSTATUS status = STATUS_SUCCESS;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    if (model_ != nullptr) {
        ULONG none = 0;
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto &request = urb->UrbControlDescriptorRequest;
            return forward(0x80, 6, static_cast<std::uint16_t>((request.DescriptorType << 8) | request.Index),
                           request.LanguageId, request.TransferBuffer, &request.TransferBufferLength, urb);
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
            status = forward(0x00, 9, configuration.size() > 5 ? configuration[5] : 1, 0, nullptr, &none, urb);
            break;
        case URB_FUNCTION_SELECT_INTERFACE:
            status = forward(0x01, 11, urb->UrbSelectInterface.Interface.AlternateSetting,
                             urb->UrbSelectInterface.Interface.InterfaceNumber, nullptr, &none, urb);
            break;
        default:
            break;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &request = urb->UrbControlDescriptorRequest;
        const bytes *source = request.DescriptorType == 1   ? &device
                              : request.DescriptorType == 2 ? &configuration
                              : request.DescriptorType == 3 && request.Index == 0 && !fail_string0 ? &string0
                                                                                                    : nullptr;
        if (source == nullptr) {
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
            status = STATUS_UNSUCCESSFUL;
        } else {
            ULONG length = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(source->size()));
            if (length != 0) {
                std::memcpy(request.TransferBuffer, source->data(), length);
            }
            request.TransferBufferLength = length;
        }
        break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        ++select_configuration_count;
        urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(next_handle_++);
        auto *at = reinterpret_cast<std::uint8_t *>(&urb->UrbSelectConfiguration.Interface);
        auto *end = reinterpret_cast<std::uint8_t *>(urb) + urb->UrbHeader.Length;
        while (at + sizeof(USBD_INTERFACE_INFORMATION) <= end) {
            auto information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
            USHORT length = information->Length;
            if (length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
                break;
            }
            ULONG room = (length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
            information->NumberOfPipes = 0;
            fill_interface(information, room);
            information->Length = length;
            at += length;
        }
        break;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        ++select_interface_count;
        PUSBD_INTERFACE_INFORMATION information = &urb->UrbSelectInterface.Interface;
        USHORT length = information->Length;
        ULONG room = (length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
        information->NumberOfPipes = 0;
        fill_interface(information, room);
        break;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        break;
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        status = on_transfer ? on_transfer(urb) : STATUS_UNSUCCESSFUL;
        break;
    default:
        status = handle_control(urb);
        break;
    }
    return status;
}

NTSTATUS test_lower_device::handle_control(PURB urb)
{
    static const std::map<USHORT, std::uint8_t> types = {
        {URB_FUNCTION_CLASS_DEVICE, 0x20},  {URB_FUNCTION_CLASS_INTERFACE, 0x21},  {URB_FUNCTION_CLASS_ENDPOINT, 0x22},
        {URB_FUNCTION_CLASS_OTHER, 0x23},   {URB_FUNCTION_VENDOR_DEVICE, 0x40},    {URB_FUNCTION_VENDOR_INTERFACE, 0x41},
        {URB_FUNCTION_VENDOR_ENDPOINT, 0x42}, {URB_FUNCTION_VENDOR_OTHER, 0x43},
    };
    auto type = types.find(urb->UrbHeader.Function);
    if (type == types.end()) {
        return STATUS_NOT_SUPPORTED;
    }
    auto &request = urb->UrbControlVendorClassRequest;
    bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    control_record record = {static_cast<std::uint8_t>(type->second | (in ? 0x80 : 0)), request.Request, request.Value,
                             request.Index, static_cast<std::uint16_t>(request.TransferBufferLength), {}};
    auto *buffer = static_cast<std::uint8_t *>(request.TransferBuffer);
    if (!in && buffer != nullptr) {
        record.data.assign(buffer, buffer + request.TransferBufferLength);
    }
    controls.push_back(record);
    NTSTATUS status = STATUS_SUCCESS;
    if (model_ != nullptr) {
        ULONG length = request.TransferBufferLength;
        status = forward(record.request_type, request.Request, request.Value, request.Index, buffer, &length, urb);
        request.TransferBufferLength = NT_SUCCESS(status) ? length : 0;
    } else if (in) {
        auto found = answers_.find({request.Request, request.Value, request.Index});
        if (found == answers_.end()) {
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
            status = STATUS_UNSUCCESSFUL;
        } else {
            ULONG length = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(found->second.size()));
            if (length != 0) {
                std::memcpy(buffer, found->second.data(), length);
            }
            request.TransferBufferLength = length;
        }
    } else if (std::find(stall_out.begin(), stall_out.end(), std::make_pair(request.Request, request.Index)) !=
               stall_out.end()) {
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        status = STATUS_UNSUCCESSFUL;
    } else if (request.Request == 0x01) {
        std::uint8_t get = (type->second & 0x1F) == 2 ? 0x81 : 0x01;
        if (answers_.count({get, request.Value, request.Index}) != 0) {
            answers_[{get, request.Value, request.Index}] = record.data;
        }
    }
    return status;
}

} // namespace usbaudio_test
