// CUSBCL: device start (IRP list, bus interface, speed, descriptors), configuration and
// alternate settings, synchronous class requests and pipe requests.
#include "USBCL.h"
#include "StdPoolTags.h"
#include "UsbDescriptor.h"
#include "StdTrace.h"

namespace {

constexpr USHORT CONTROL_URB_LENGTH = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr USHORT DESCRIPTOR_URB_LENGTH = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

NTSTATUS QueryInterfaceComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

CUSBCL::CUSBCL()
    : m_HighSpeed(FALSE), m_pLowerDevice(nullptr), m_DeviceDescriptor{}, m_pConfigDescriptor(nullptr),
      m_ConfigLength(0), m_ConfigurationHandle(nullptr), m_InterfaceCount(0), m_ppInterfaces(nullptr),
      m_BusInterface{}, m_Outstanding(0), m_OutstandingLock(0), m_IrpListLock(0), m_IrpsAllocated(0),
      m_HaveBusInterface(FALSE)
{
    KeInitializeSpinLock(&m_OutstandingLock);
    KeInitializeSpinLock(&m_IrpListLock);
    InitializeListHead(&m_IrpList);
    ExInitializeNPagedLookasideList(&m_ContextPool, nullptr, nullptr, 0, sizeof(USB_TRANSFER_CONTEXT), STD_TAG, 0);
    ExInitializeNPagedLookasideList(&m_UrbPool, nullptr, nullptr, 0, USBCL_ISOCH_URB_SIZE, STD_TAG, 0);
}

CUSBCL::~CUSBCL()
{
    while (!IsListEmpty(&m_IrpList)) {
        IoFreeIrp(CONTAINING_RECORD(RemoveHeadList(&m_IrpList), IRP, Tail.Overlay.ListEntry));
    }
    FreeInterfaces();
    if (m_pConfigDescriptor != nullptr) {
        ExFreePoolWithTag(m_pConfigDescriptor, STD_TAG);
    }
    if (m_HaveBusInterface && m_BusInterface.InterfaceDereference != nullptr) {
        m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
    }
    ExDeleteNPagedLookasideList(&m_ContextPool);
    ExDeleteNPagedLookasideList(&m_UrbPool);
}

USHORT CUSBCL::GetVendorId() const
{
    return UsbReadLe16(m_DeviceDescriptor + 8);
}

USHORT CUSBCL::GetProductId() const
{
    return UsbReadLe16(m_DeviceDescriptor + 10);
}

ULONG CUSBCL::GetBusFrame()
{
    ULONG frame = 0;
    if (m_BusInterface.QueryBusTime != nullptr) {
        m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &frame);
    }
    return frame;
}

VOID CUSBCL::IoIncrement()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_OutstandingLock, &irql);
    ++m_Outstanding;
    KeReleaseSpinLock(&m_OutstandingLock, irql);
}

VOID CUSBCL::IoDecrement()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_OutstandingLock, &irql);
    --m_Outstanding;
    KeReleaseSpinLock(&m_OutstandingLock, irql);
}

NTSTATUS CUSBCL::Init(PDEVICE_OBJECT lowerDevice)
{
    // The layer serves one device for its whole life: a second start would leave the model
    // pointing into a replaced descriptor copy.
    NTSTATUS status = m_pLowerDevice == nullptr && lowerDevice != nullptr ? STATUS_SUCCESS
                                                                          : STATUS_INVALID_DEVICE_STATE;
    if (NT_SUCCESS(status)) {
        m_pLowerDevice = lowerDevice;
        for (ULONG i = 0; i < USBCL_IRP_COUNT; ++i) {
            PIRP irp = IoAllocateIrp(m_pLowerDevice->StackSize, FALSE);
            if (irp != nullptr) {
                ++m_IrpsAllocated;
                ReturnIrp(irp);
            }
        }
        status = GetBusInterface();
    }
    if (NT_SUCCESS(status)) {
        status = QueryBusSpeed();
    }
    if (NT_SUCCESS(status)) {
        ULONG returned = 0;
        status = ReadDescriptor(USB_DESC_DEVICE, m_DeviceDescriptor, sizeof(m_DeviceDescriptor), &returned);
        if (NT_SUCCESS(status) && (returned != sizeof(m_DeviceDescriptor) ||
                                   m_DeviceDescriptor[0] != USBCL_DEVICE_DESCRIPTOR_LENGTH)) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        status = ReadConfigurationDescriptor();
    }
    return status;
}

NTSTATUS CUSBCL::QueryBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 busInterface)
{
    NTSTATUS status = STATUS_SUCCESS;
    KEVENT event;
    PIRP irp = IoAllocateIrp(m_pLowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
        stack->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
        stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(busInterface);
        stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
        IoSetCompletionRoutine(irp, QueryInterfaceComplete, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(m_pLowerDevice, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
        IoFreeIrp(irp);
    }
    return status;
}

NTSTATUS CUSBCL::GetBusInterface()
{
    NTSTATUS status = QueryBusInterface(&m_BusInterface);
    m_HaveBusInterface = NT_SUCCESS(status) ? TRUE : FALSE;
    return status;
}

NTSTATUS CUSBCL::QueryBusSpeed()
{
    USB_BUS_INTERFACE_USBDI_V1 busInterface = {};
    NTSTATUS status = QueryBusInterface(&busInterface);
    if (NT_SUCCESS(status)) {
        m_HighSpeed = busInterface.IsDeviceHighSpeed != nullptr && busInterface.IsDeviceHighSpeed(busInterface.BusContext)
                          ? TRUE
                          : FALSE;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "%s", m_HighSpeed ? "High Speed\n" : "Full Speed\n");
        // The query took a reference for this second copy; only the first is kept.
        if (busInterface.InterfaceDereference != nullptr) {
            busInterface.InterfaceDereference(busInterface.BusContext);
        }
    }
    return status;
}

NTSTATUS CUSBCL::ReadDescriptor(UCHAR type, PVOID buffer, ULONG length, PULONG returned)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = DESCRIPTOR_URB_LENGTH;
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    NTSTATUS status = SubmitUrbSync(&urb);
    *returned = NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0;
    return status;
}

NTSTATUS CUSBCL::ReadConfigurationDescriptor()
{
    UCHAR header[USBCL_CONFIG_HEADER_LENGTH] = {};
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(USB_DESC_CONFIGURATION, header, sizeof(header), &returned);
    ULONG totalLength = UsbReadLe16(header + 2);
    if (NT_SUCCESS(status) && (returned != sizeof(header) || totalLength < USBCL_CONFIG_HEADER_LENGTH)) {
        status = STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(status)) {
        m_pConfigDescriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, totalLength, STD_TAG));
        if (m_pConfigDescriptor == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(m_pConfigDescriptor, totalLength);
        status = ReadDescriptor(USB_DESC_CONFIGURATION, m_pConfigDescriptor, totalLength, &returned);
        if (NT_SUCCESS(status) && returned != totalLength) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        // Only whole descriptors up to the first malformed one are used; the stored total
        // length is cut to match, so the bus driver's parser sees what this layer sees.
        m_ConfigLength = UsbWellFormedLength(m_pConfigDescriptor, totalLength);
        if (m_ConfigLength < USBCL_CONFIG_HEADER_LENGTH || m_pConfigDescriptor[0] < USBCL_CONFIG_HEADER_LENGTH ||
            m_pConfigDescriptor[1] != USB_DESC_CONFIGURATION) {
            status = STATUS_NOT_SUPPORTED;
        } else {
            m_pConfigDescriptor[2] = static_cast<UCHAR>(m_ConfigLength);
            m_pConfigDescriptor[3] = static_cast<UCHAR>(m_ConfigLength >> 8);
        }
    }
    return status;
}

NTSTATUS CUSBCL::SubmitUrbSync(PURB urb)
{
    NTSTATUS status = STATUS_SUCCESS;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_pLowerDevice, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &ioStatus);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        status = IoCallDriver(m_pLowerDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = ioStatus.Status;
    }
    return status;
}

VOID CUSBCL::FreeInterfaces()
{
    if (m_ppInterfaces != nullptr) {
        for (ULONG i = 0; i < m_InterfaceCount; ++i) {
            if (m_ppInterfaces[i] != nullptr) {
                ExFreePoolWithTag(m_ppInterfaces[i], STD_TAG);
            }
        }
        ExFreePoolWithTag(m_ppInterfaces, STD_TAG);
    }
    m_ppInterfaces = nullptr;
    m_InterfaceCount = 0;
}

NTSTATUS CUSBCL::ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY interfaceList, ULONG count)
{
    NTSTATUS status = STATUS_SUCCESS;
    PURB urb = USBD_CreateConfigurationRequestEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_pConfigDescriptor),
                                                 interfaceList);
    if (urb == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = SubmitUrbSync(urb);
    }
    if (NT_SUCCESS(status)) {
        m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        FreeInterfaces();
        SIZE_T size = static_cast<SIZE_T>(count != 0 ? count : 1) * sizeof(PUSBD_INTERFACE_INFORMATION);
        m_ppInterfaces = static_cast<PUSBD_INTERFACE_INFORMATION *>(ExAllocatePoolWithTag(NonPagedPool, size, STD_TAG));
        if (m_ppInterfaces == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(m_ppInterfaces, size);
            m_InterfaceCount = count;
        }
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i) {
        status = StoreInterfaceInfo(i, interfaceList[i].Interface);
    }
    if (!NT_SUCCESS(status)) {
        FreeInterfaces();
    }
    if (urb != nullptr) {
        ExFreePool(urb);
    }
    return status;
}

// Replaces the stored copy of one interface's information; the new copy exists before the
// old one goes, so a failed allocation keeps the interface known.
NTSTATUS CUSBCL::StoreInterfaceInfo(ULONG index, PUSBD_INTERFACE_INFORMATION information)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (m_ppInterfaces == nullptr || index >= m_InterfaceCount || information == nullptr ||
        information->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, information->Length, STD_TAG));
        if (copy == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(copy, information, information->Length);
            if (m_ppInterfaces[index] != nullptr) {
                ExFreePoolWithTag(m_ppInterfaces[index], STD_TAG);
            }
            m_ppInterfaces[index] = copy;
        }
    }
    return status;
}

NTSTATUS CUSBCL::SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting)
{
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG index = 0;
    for (ULONG i = 0; m_ppInterfaces != nullptr && i < m_InterfaceCount; ++i) {
        if (m_ppInterfaces[i] != nullptr && m_ppInterfaces[i]->InterfaceNumber == interfaceNumber) {
            index = i;
            status = STATUS_SUCCESS;
            break;
        }
    }
    const UCHAR *desc = nullptr;
    if (NT_SUCCESS(status)) {
        USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
        desc = view.FindInterface(interfaceNumber, alternateSetting, USB_ANY, USB_ANY);
        if (desc == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    PURB urb = nullptr;
    if (NT_SUCCESS(status)) {
        ULONG endpoints = desc[4];
        USHORT length = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints));
        SIZE_T room = length > sizeof(struct _URB_SELECT_INTERFACE) ? length : sizeof(struct _URB_SELECT_INTERFACE);
        urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, room, STD_TAG));
        if (urb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(urb, room);
            urb->UrbHeader.Length = length;
            urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
            urb->UrbSelectInterface.ConfigurationHandle = m_ConfigurationHandle;
            urb->UrbSelectInterface.Interface.Length =
                static_cast<USHORT>(length - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface));
            urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
            urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
            status = SubmitUrbSync(urb);
        }
    }
    if (NT_SUCCESS(status)) {
        status = StoreInterfaceInfo(index, &urb->UrbSelectInterface.Interface);
    }
    if (urb != nullptr) {
        ExFreePoolWithTag(urb, STD_TAG);
    }
    return status;
}

PUSBD_PIPE_INFORMATION CUSBCL::FindPipe(UCHAR endpointAddress)
{
    PUSBD_PIPE_INFORMATION found = nullptr;
    for (ULONG i = 0; m_ppInterfaces != nullptr && i < m_InterfaceCount && found == nullptr; ++i) {
        PUSBD_INTERFACE_INFORMATION information = m_ppInterfaces[i];
        if (information == nullptr) {
            continue;
        }
        // Only pipes wholly inside the stored copy are looked at.
        ULONG room = (information->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                     sizeof(USBD_PIPE_INFORMATION);
        ULONG pipes = information->NumberOfPipes < room ? information->NumberOfPipes : room;
        for (ULONG p = 0; p < pipes; ++p) {
            if (information->Pipes[p].EndpointAddress == endpointAddress) {
                found = &information->Pipes[p];
                break;
            }
        }
    }
    return found;
}

NTSTATUS CUSBCL::ControlRequest(UCHAR requestType, UCHAR request, USHORT index, USHORT length, PVOID buffer,
                                PULONG returned)
{
    static const USHORT functions[2][4] = {
        {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER},
        {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE, URB_FUNCTION_VENDOR_ENDPOINT,
         URB_FUNCTION_VENDOR_OTHER},
    };
    NTSTATUS status = STATUS_SUCCESS;
    ULONG type = (requestType >> 5) & 3;
    ULONG recipient = requestType & 0x1F;
    if (returned != nullptr) {
        *returned = 0;
    }
    if (type == 0 || type == 3 || recipient > 3 || (length != 0 && buffer == nullptr)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbHeader.Length = CONTROL_URB_LENGTH;
        urb.UrbHeader.Function = functions[type - 1][recipient];
        urb.UrbControlVendorClassRequest.TransferFlags =
            (requestType & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
        urb.UrbControlVendorClassRequest.TransferBufferLength = length;
        urb.UrbControlVendorClassRequest.TransferBuffer = buffer;
        urb.UrbControlVendorClassRequest.Request = request;
        urb.UrbControlVendorClassRequest.Value = USBCL_CONTROL_VALUE;
        urb.UrbControlVendorClassRequest.Index = index;
        status = SubmitUrbSync(&urb);
        if (NT_SUCCESS(status) && returned != nullptr) {
            ULONG done = urb.UrbControlVendorClassRequest.TransferBufferLength;
            *returned = done < length ? done : length;
        }
    }
    return status;
}

NTSTATUS CUSBCL::PipeRequest(PUSBD_PIPE_INFORMATION pipe, USHORT function)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (pipe == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
        status = SubmitUrbSync(&urb);
    }
    return status;
}

NTSTATUS CUSBCL::ResetPipe(PUSBD_PIPE_INFORMATION pipe)
{
    return PipeRequest(pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

NTSTATUS CUSBCL::AbortPipe(PUSBD_PIPE_INFORMATION pipe)
{
    return PipeRequest(pipe, URB_FUNCTION_ABORT_PIPE);
}
