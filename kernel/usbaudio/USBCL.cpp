// CUSBCL: device start (bus interface, descriptors, IRP pool), configuration and alternate
// settings, synchronous control requests and pipe resets.
#include "USBCL.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

DEFINE_GUID(USBAUDIO_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18,
            0xd6);

POOL_TYPE CUSBCL::s_PoolType = NonPagedPoolNx;
ULONG CUSBCL::s_MdlPriority = NormalPagePriority | MdlMappingNoExecute;

namespace {

constexpr ULONG LANGUAGE_ID_PROBE_LENGTH = 4;
constexpr USHORT CONTROL_URB_LENGTH = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr USHORT DESCRIPTOR_URB_LENGTH = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

NTSTATUS BusInterfaceQueryComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

CUSBCL::CUSBCL()
    : m_HighSpeed(FALSE), m_DeviceDescriptor{}, m_pConfigDescriptor(nullptr), m_ConfigLength(0), m_pTarget(nullptr),
      m_RemoteWakeup(FALSE), m_ConfigurationHandle(nullptr), m_InterfaceCount(0), m_ppInterfaces(nullptr),
      m_pLanguageIds(nullptr), m_BusInterface{}, m_IrpPoolLock(0)
{
    // The lookaside lists follow the driver's pool type: no-execute pool where it is used.
    ULONG poolFlags = s_PoolType == NonPagedPoolNx ? POOL_NX_ALLOCATION : 0;
    KeInitializeMutex(&m_InterfaceMutex, 0);
    ExInitializeNPagedLookasideList(&m_ContextPool, nullptr, nullptr, poolFlags, sizeof(USB_TRANSFER_CONTEXT),
                                    USBAUDIO_TAG, 0);
    ExInitializeNPagedLookasideList(&m_UrbPool, nullptr, nullptr, poolFlags, USBCL_ISOCH_URB_SIZE, USBAUDIO_TAG, 0);
    KeInitializeSpinLock(&m_IrpPoolLock);
    InitializeListHead(&m_IrpPool);
}

CUSBCL::~CUSBCL()
{
    ReleaseDeviceState();
    ExDeleteNPagedLookasideList(&m_ContextPool);
    ExDeleteNPagedLookasideList(&m_UrbPool);
}

VOID CUSBCL::SetAllocationPolicy(POOL_TYPE poolType, ULONG mdlPriority)
{
    s_PoolType = poolType;
    s_MdlPriority = mdlPriority;
}

POOL_TYPE CUSBCL::PoolType()
{
    return s_PoolType;
}

ULONG CUSBCL::MdlPriority()
{
    return s_MdlPriority;
}

USHORT CUSBCL::GetVendorId() const
{
    return UsbReadLe16(m_DeviceDescriptor + 8);
}

USHORT CUSBCL::GetProductId() const
{
    return UsbReadLe16(m_DeviceDescriptor + 10);
}

USHORT CUSBCL::GetBcdUsb() const
{
    return UsbReadLe16(m_DeviceDescriptor + 2);
}

VOID CUSBCL::FreeInterfacesLocked()
{
    if (m_ppInterfaces != nullptr) {
        for (LONG i = 0; i < m_InterfaceCount; ++i) {
            if (m_ppInterfaces[i] != nullptr) {
                ExFreePoolWithTag(m_ppInterfaces[i], USBAUDIO_TAG);
            }
        }
        ExFreePoolWithTag(m_ppInterfaces, USBAUDIO_TAG);
    }
    m_ppInterfaces = nullptr;
    m_InterfaceCount = 0;
}

// Frees what an earlier Init and configuration left, so that a device restart begins afresh.
VOID CUSBCL::ReleaseDeviceState()
{
    KLOCK_QUEUE_HANDLE lockHandle;
    LIST_ENTRY irps;
    InitializeListHead(&irps);
    KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
    while (!IsListEmpty(&m_IrpPool)) {
        InsertTailList(&irps, RemoveHeadList(&m_IrpPool));
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    while (!IsListEmpty(&irps)) {
        IoFreeIrp(CONTAINING_RECORD(RemoveHeadList(&irps), IRP, Tail.Overlay.ListEntry));
    }
    KeWaitForSingleObject(&m_InterfaceMutex, Executive, KernelMode, FALSE, nullptr);
    FreeInterfacesLocked();
    KeReleaseMutex(&m_InterfaceMutex, FALSE);
    if (m_pConfigDescriptor != nullptr) {
        ExFreePoolWithTag(m_pConfigDescriptor, USBAUDIO_TAG);
        m_pConfigDescriptor = nullptr;
    }
    m_ConfigLength = 0;
    if (m_pLanguageIds != nullptr) {
        ExFreePoolWithTag(m_pLanguageIds, USBAUDIO_TAG);
        m_pLanguageIds = nullptr;
    }
    m_ConfigurationHandle = nullptr;
}

NTSTATUS CUSBCL::Init(PDEVICE_OBJECT pdo, ULONG irpCount)
{
    NTSTATUS status = STATUS_SUCCESS;
    ReleaseDeviceState();
    m_pTarget = pdo;
    ULONG count = irpCount != 0 ? irpCount : USBCL_DEFAULT_IRP_COUNT;
    for (ULONG i = 0; i < count; ++i) {
        PIRP irp = IoAllocateIrp(m_pTarget->StackSize, FALSE);
        if (irp != nullptr) {
            KLOCK_QUEUE_HANDLE lockHandle;
            KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
            InsertTailList(&m_IrpPool, &irp->Tail.Overlay.ListEntry);
            KeReleaseInStackQueuedSpinLock(&lockHandle);
        }
    }
    status = GetBusInterface();
    if (NT_SUCCESS(status)) {
        status = QueryBusSpeed();
    }
    if (NT_SUCCESS(status)) {
        ULONG returned = 0;
        status = ReadDescriptor(USB_DESC_DEVICE, 0, 0, m_DeviceDescriptor, sizeof(m_DeviceDescriptor), &returned);
        if (NT_SUCCESS(status) && returned != sizeof(m_DeviceDescriptor)) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        status = ReadConfigurationDescriptor();
    }
    if (NT_SUCCESS(status)) {
        status = ReadLanguageIds();
    }
    return status;
}

NTSTATUS CUSBCL::QueryBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 busInterface)
{
    NTSTATUS status = STATUS_SUCCESS;
    KEVENT event;
    PIRP irp = IoAllocateIrp(m_pTarget->StackSize, FALSE);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = &USBAUDIO_BUS_INTERFACE_USBDI_GUID;
        stack->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
        stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(busInterface);
        stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
        IoSetCompletionRoutine(irp, BusInterfaceQueryComplete, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(m_pTarget, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
        IoFreeIrp(irp);
    }
    return status;
}

NTSTATUS CUSBCL::GetBusInterface()
{
    return QueryBusInterface(&m_BusInterface);
}

NTSTATUS CUSBCL::QueryBusSpeed()
{
    USB_BUS_INTERFACE_USBDI_V1 busInterface = {};
    NTSTATUS status = QueryBusInterface(&busInterface);
    if (NT_SUCCESS(status)) {
        m_HighSpeed = busInterface.IsDeviceHighSpeed != nullptr && busInterface.IsDeviceHighSpeed(busInterface.BusContext)
                          ? TRUE
                          : FALSE;
    }
    return status;
}

NTSTATUS CUSBCL::ReadDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                                PULONG returned)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = DESCRIPTOR_URB_LENGTH;
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.Index = index;
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    urb.UrbControlDescriptorRequest.LanguageId = languageId;
    NTSTATUS status = SubmitUrbSync(&urb);
    *returned = NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0;
    return status;
}

NTSTATUS CUSBCL::ReadConfigurationDescriptor()
{
    UCHAR header[USB_CONFIG_HEADER_LENGTH] = {};
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(USB_DESC_CONFIGURATION, 0, 0, header, sizeof(header), &returned);
    ULONG totalLength = UsbReadLe16(header + 2);
    if (NT_SUCCESS(status) && (returned != sizeof(header) || totalLength < USB_CONFIG_HEADER_LENGTH)) {
        status = STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(status)) {
        m_pConfigDescriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(PoolType(), totalLength, USBAUDIO_TAG));
        if (m_pConfigDescriptor == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        status = ReadDescriptor(USB_DESC_CONFIGURATION, 0, 0, m_pConfigDescriptor, totalLength, &returned);
        if (NT_SUCCESS(status) && returned != totalLength) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        // Everything after the first malformed descriptor is ignored; the stored total length
        // is cut to match, so the bus driver's parser sees the same descriptors as ours.
        m_ConfigLength = UsbWellFormedLength(m_pConfigDescriptor, totalLength);
        if (m_ConfigLength < USB_CONFIG_HEADER_LENGTH || m_pConfigDescriptor[1] != USB_DESC_CONFIGURATION) {
            status = STATUS_NOT_SUPPORTED;
        } else {
            m_pConfigDescriptor[2] = static_cast<UCHAR>(m_ConfigLength);
            m_pConfigDescriptor[3] = static_cast<UCHAR>(m_ConfigLength >> 8);
            m_RemoteWakeup = (m_pConfigDescriptor[7] & 0x20) != 0 ? TRUE : FALSE;
        }
    }
    return status;
}

NTSTATUS CUSBCL::ReadLanguageIds()
{
    UCHAR probe[LANGUAGE_ID_PROBE_LENGTH] = {};
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(USB_DESC_STRING, 0, 0, probe, sizeof(probe), &returned);
    if (NT_SUCCESS(status) && (returned != sizeof(probe) || probe[0] == 0)) {
        status = STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(status)) {
        m_pLanguageIds = static_cast<PUCHAR>(ExAllocatePoolWithTag(PoolType(), probe[0], USBAUDIO_TAG));
        if (m_pLanguageIds == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(m_pLanguageIds, probe[0]);
            status = ReadDescriptor(USB_DESC_STRING, 0, 0, m_pLanguageIds, probe[0], &returned);
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
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_pTarget, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        status = IoCallDriver(m_pTarget, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        } else {
            status = ioStatus.Status;
        }
    }
    return status;
}

PUSBD_INTERFACE_LIST_ENTRY CUSBCL::CreateInterfaceList(PULONG count)
{
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    ULONG interfaces = UsbDescByte(m_pConfigDescriptor, 4);
    *count = 0;
    SIZE_T size = (static_cast<SIZE_T>(interfaces) + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(PoolType(), size, USBAUDIO_TAG));
    if (list != nullptr) {
        RtlZeroMemory(list, size);
        for (ULONG number = 0; number < interfaces; ++number) {
            const UCHAR *desc = view.FindInterface(static_cast<LONG>(number), 0, USB_ANY, USB_ANY);
            if (desc != nullptr) {
                list[*count].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(desc));
                ++*count;
            }
        }
    }
    return list;
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
        KeWaitForSingleObject(&m_InterfaceMutex, Executive, KernelMode, FALSE, nullptr);
        FreeInterfacesLocked();
        SIZE_T size = static_cast<SIZE_T>(count) * sizeof(PUSBD_INTERFACE_INFORMATION);
        m_ppInterfaces = static_cast<PUSBD_INTERFACE_INFORMATION *>(
            ExAllocatePoolWithTag(PoolType(), size != 0 ? size : sizeof(PVOID), USBAUDIO_TAG));
        if (m_ppInterfaces == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(m_ppInterfaces, size != 0 ? size : sizeof(PVOID));
            m_InterfaceCount = static_cast<LONG>(count);
        }
        KeReleaseMutex(&m_InterfaceMutex, FALSE);
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i) {
        status = StoreInterfaceInfo(i, interfaceList[i].Interface);
    }
    if (!NT_SUCCESS(status)) {
        KeWaitForSingleObject(&m_InterfaceMutex, Executive, KernelMode, FALSE, nullptr);
        FreeInterfacesLocked();
        KeReleaseMutex(&m_InterfaceMutex, FALSE);
    }
    if (urb != nullptr) {
        ExFreePool(urb);
    }
    return status;
}

NTSTATUS CUSBCL::StoreInterfaceInfo(ULONG index, PUSBD_INTERFACE_INFORMATION information)
{
    NTSTATUS status = STATUS_SUCCESS;
    KeWaitForSingleObject(&m_InterfaceMutex, Executive, KernelMode, FALSE, nullptr);
    if (m_ppInterfaces == nullptr || index >= static_cast<ULONG>(m_InterfaceCount) || information == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        // The new copy is made before the old one goes: without memory the entry keeps naming
        // its interface, so the next selection of that interface can still find it.
        auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(PoolType(), information->Length, USBAUDIO_TAG));
        if (copy == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(copy, information, information->Length);
            if (m_ppInterfaces[index] != nullptr) {
                ExFreePoolWithTag(m_ppInterfaces[index], USBAUDIO_TAG);
            }
            m_ppInterfaces[index] = copy;
        }
    }
    KeReleaseMutex(&m_InterfaceMutex, FALSE);
    return status;
}

NTSTATUS CUSBCL::SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG index = 0;
    if (m_pConfigDescriptor == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        status = STATUS_INVALID_PARAMETER;
        KeWaitForSingleObject(&m_InterfaceMutex, Executive, KernelMode, FALSE, nullptr);
        for (LONG i = 0; m_ppInterfaces != nullptr && i < m_InterfaceCount; ++i) {
            if (m_ppInterfaces[i] == nullptr) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            if (m_ppInterfaces[i]->InterfaceNumber == interfaceNumber) {
                index = static_cast<ULONG>(i);
                status = STATUS_SUCCESS;
                break;
            }
        }
        KeReleaseMutex(&m_InterfaceMutex, FALSE);
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
        urb = static_cast<PURB>(ExAllocatePoolWithTag(PoolType(), length, USBAUDIO_TAG));
        if (urb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(urb, length);
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
        ExFreePoolWithTag(urb, USBAUDIO_TAG);
    }
    return status;
}

PUSBD_PIPE_INFORMATION CUSBCL::FindPipe(UCHAR endpointAddress)
{
    PUSBD_PIPE_INFORMATION found = nullptr;
    KeWaitForSingleObject(&m_InterfaceMutex, Executive, KernelMode, FALSE, nullptr);
    for (LONG i = 0; m_ppInterfaces != nullptr && i < m_InterfaceCount; ++i) {
        PUSBD_INTERFACE_INFORMATION information = m_ppInterfaces[i];
        if (information == nullptr) {
            continue;
        }
        // Only pipes wholly inside the stored copy are looked at.
        ULONG room = information->Length > FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)
                         ? (information->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                               sizeof(USBD_PIPE_INFORMATION)
                         : 0;
        ULONG pipes = information->NumberOfPipes < room ? information->NumberOfPipes : room;
        for (ULONG p = 0; p < pipes; ++p) {
            if (information->Pipes[p].EndpointAddress == endpointAddress) {
                found = &information->Pipes[p];
            }
        }
    }
    KeReleaseMutex(&m_InterfaceMutex, FALSE);
    return found;
}

NTSTATUS CUSBCL::ControlRequest(UCHAR requestType, UCHAR request, USHORT value, USHORT index, USHORT length,
                                PVOID buffer, PULONG returned)
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
            (requestType & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
        urb.UrbControlVendorClassRequest.TransferBufferLength = length;
        urb.UrbControlVendorClassRequest.TransferBuffer = buffer;
        urb.UrbControlVendorClassRequest.Request = request;
        urb.UrbControlVendorClassRequest.Value = value;
        urb.UrbControlVendorClassRequest.Index = index;
        status = SubmitUrbSync(&urb);
        if (NT_SUCCESS(status) && returned != nullptr) {
            ULONG done = urb.UrbControlVendorClassRequest.TransferBufferLength;
            *returned = done < length ? done : length;
        }
    }
    return status;
}

NTSTATUS CUSBCL::ResetPipe(PUSBD_PIPE_INFORMATION pipe)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (pipe == nullptr || pipe->PipeHandle == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
        status = SubmitUrbSync(&urb);
    }
    return status;
}
