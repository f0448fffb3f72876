// CUSBCL: the USB device layer of the audio driver. It owns the device's descriptors, its bus
// interface, the configured interfaces with their pipes, and the pools (IRPs, URBs, transfer
// contexts) that let streaming submit transfers without allocating.
#pragma once
#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>

class CUSBCL;

// Called once per completed asynchronous request, at DISPATCH_LEVEL. bytes is 0 on failure;
// for an IN transfer the received packets are contiguous at the start of the buffer. frames is
// the time the transfer covered in 1 ms frames (0 for non-isochronous requests).
typedef VOID USB_COMPLETION_CALLBACK(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID clientContext,
                                     ULONG frames);
typedef USB_COMPLETION_CALLBACK *PUSB_COMPLETION_CALLBACK;

// One request in flight, from the context pool.
struct USB_TRANSFER_CONTEXT {
    PURB Urb;
    PUSBD_PIPE_INFORMATION Pipe;
    PUSB_COMPLETION_CALLBACK Callback;
    PVOID ClientContext;
    CUSBCL *Owner;
    PVOID BounceBuffer;
    // Bytes of the bounce buffer that are not audio (length prefixes of render packets).
    ULONG BounceLength;
    // Bytes of the caller's buffer an IN transfer may fill. Completion reads packets only
    // inside it: by then the URB's TransferBufferLength holds the bytes received, which says
    // nothing about where the packets lie.
    ULONG BufferLength;
};

// A pooled isochronous URB holds this many packets.
constexpr ULONG USBCL_MAX_ISOCH_PACKETS = 64;
constexpr ULONG USBCL_ISOCH_URB_SIZE = sizeof(struct _URB_ISOCH_TRANSFER) + 12 * USBCL_MAX_ISOCH_PACKETS;
constexpr ULONG USBCL_DEFAULT_IRP_COUNT = 10;
constexpr ULONG USB_DEVICE_DESCRIPTOR_LENGTH = 18;

static_assert(USBCL_ISOCH_URB_SIZE == 920, "a pooled isochronous URB is 920 bytes");

class CUSBCL {
public:
    CUSBCL();
    virtual ~CUSBCL();

    // The status a completed asynchronous request reports to its callback. DISPATCH_LEVEL.
    virtual NTSTATUS CheckTransferStatus(NTSTATUS irpStatus, PURB urb, USB_TRANSFER_CONTEXT *context) = 0;

    // Pool type and MDL mapping priority of every allocation and mapping of the library; the
    // driver sets them at device start.
    static VOID SetAllocationPolicy(POOL_TYPE poolType, ULONG mdlPriority);
    static POOL_TYPE PoolType();
    static ULONG MdlPriority();

    // Reads the bus interface, speed and descriptors of the device behind pdo and fills the IRP
    // pool (irpCount, 10 when 0). PASSIVE_LEVEL.
    NTSTATUS Init(PDEVICE_OBJECT pdo, ULONG irpCount);
    NTSTATUS GetBusInterface();
    NTSTATUS QueryBusSpeed();

    // Sends a URB and waits for it. PASSIVE_LEVEL.
    NTSTATUS SubmitUrbSync(PURB urb);
    // One (descriptor, information) pair per interface with an alternate setting 0, terminated
    // by a null pair; the caller frees the array with ExFreePoolWithTag(USBAUDIO_TAG).
    PUSBD_INTERFACE_LIST_ENTRY CreateInterfaceList(PULONG count);
    NTSTATUS ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY interfaceList, ULONG count);
    NTSTATUS SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting);
    NTSTATUS StoreInterfaceInfo(ULONG index, PUSBD_INTERFACE_INFORMATION information);
    // The pipe of an endpoint address among the configured interfaces, or null. PASSIVE_LEVEL:
    // the pointer stays valid until that interface's alternate setting changes.
    PUSBD_PIPE_INFORMATION FindPipe(UCHAR endpointAddress);
    // A class or vendor control transfer. returned (optional) receives the bytes transferred.
    NTSTATUS ControlRequest(UCHAR requestType, UCHAR request, USHORT value, USHORT index, USHORT length,
                            PVOID buffer, PULONG returned = nullptr);
    NTSTATUS ResetPipe(PUSBD_PIPE_INFORMATION pipe);
    // An IN transfer into buffer (non-paged, owned by the caller until the callback). A failed
    // submission returns its status and no callback follows. PASSIVE_LEVEL or DISPATCH_LEVEL.
    NTSTATUS SubmitIsochIn(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length,
                           PUSB_COMPLETION_CALLBACK callback, PVOID clientContext, ULONG startFrame);
    // Sends a prepared URB on a pooled IRP; the outcome reaches the context's callback. Fails
    // only when no IRP can be had. DISPATCH_LEVEL or below.
    NTSTATUS SubmitUrbAsync(PURB urb, USB_TRANSFER_CONTEXT *context);
    ULONG GetTransferFrameCount(ULONG packets, PUSBD_PIPE_INFORMATION pipe);

    // Transfer contexts and pooled URBs for the streaming paths. DISPATCH_LEVEL or below.
    USB_TRANSFER_CONTEXT *AllocateContext();
    VOID FreeContext(USB_TRANSFER_CONTEXT *context);
    PURB AllocateIsochUrb();
    VOID FreeIsochUrb(PURB urb);

    BOOLEAN IsHighSpeed() const { return m_HighSpeed; }
    USHORT GetVendorId() const;
    USHORT GetProductId() const;
    USHORT GetBcdUsb() const;
    const UCHAR *GetConfigurationDescriptor() const { return m_pConfigDescriptor; }
    ULONG GetConfigurationLength() const { return m_ConfigLength; }
    PUSB_BUS_INTERFACE_USBDI_V1 GetBusInterfaceTable() { return &m_BusInterface; }

    static IO_COMPLETION_ROUTINE IsochUrbComplete;

protected:
    // Sends a URB on a pooled IRP with a completion routine of the caller's; the routine gives
    // the IRP back with RecycleIrp. STATUS_INSUFFICIENT_RESOURCES when no IRP can be had.
    // DISPATCH_LEVEL or below.
    NTSTATUS SubmitUrbWithRoutine(PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context);
    VOID RecycleIrp(PIRP irp);

    BOOLEAN m_HighSpeed;
    UCHAR m_DeviceDescriptor[USB_DEVICE_DESCRIPTOR_LENGTH];
    PUCHAR m_pConfigDescriptor;
    // Bytes of the configuration descriptor made of well-formed descriptors.
    ULONG m_ConfigLength;
    PDEVICE_OBJECT m_pTarget;
    BOOLEAN m_RemoteWakeup;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
    LONG m_InterfaceCount;
    PUSBD_INTERFACE_INFORMATION *m_ppInterfaces;
    KMUTEX m_InterfaceMutex;
    PUCHAR m_pLanguageIds;
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;
    NPAGED_LOOKASIDE_LIST m_ContextPool;
    NPAGED_LOOKASIDE_LIST m_UrbPool;
    KSPIN_LOCK m_IrpPoolLock;
    LIST_ENTRY m_IrpPool;

private:
    NTSTATUS QueryBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 busInterface);
    NTSTATUS ReadDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                            PULONG returned);
    NTSTATUS ReadConfigurationDescriptor();
    NTSTATUS ReadLanguageIds();
    VOID CompleteTransfer(PIRP irp, USB_TRANSFER_CONTEXT *context);
    VOID FreeInterfacesLocked();
    VOID ReleaseDeviceState();

    static POOL_TYPE s_PoolType;
    static ULONG s_MdlPriority;
};
