// CUSBCL: the standard driver's USB device layer. It holds the device's configuration
// descriptor and bus interface, configures interfaces and alternate settings, sends class
// requests and pipe resets, and submits isochronous transfers on pooled IRPs and URBs.
#pragma once
#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>

class CUSBCL;

// Called once per completed asynchronous transfer, at DISPATCH_LEVEL (or on the submitting
// thread when the bus fails the request at once). bytes is 0 on failure; for an IN transfer
// the received packets lie contiguous at the start of the buffer.
typedef VOID USB_COMPLETION_CALLBACK(NTSTATUS status, ULONG bytes, PVOID clientContext);
typedef USB_COMPLETION_CALLBACK *PUSB_COMPLETION_CALLBACK;

// One transfer in flight, from the layer's context lookaside list.
struct USB_TRANSFER_CONTEXT {
    PURB Urb;
    PUSB_COMPLETION_CALLBACK Callback;
    PVOID ClientContext;
    CUSBCL *Owner;
    // Bytes of the caller's buffer the transfer may touch; completion moves IN packets only
    // inside it.
    ULONG BufferLength;
    // TRUE for a pooled isochronous URB, FALSE for a bulk-or-interrupt URB from pool.
    BOOLEAN Isochronous;
};

// A pooled isochronous URB holds 80 packets: 10 ms at high speed.
constexpr ULONG USBCL_MAX_ISOCH_PACKETS = 80;
constexpr ULONG USBCL_ISOCH_URB_SIZE = GET_ISO_URB_SIZE(USBCL_MAX_ISOCH_PACKETS);
constexpr ULONG USBCL_BULK_URB_SIZE = 128;
constexpr ULONG USBCL_IRP_COUNT = 10;
constexpr ULONG USBCL_DEVICE_DESCRIPTOR_LENGTH = 18;
constexpr ULONG USBCL_CONFIG_HEADER_LENGTH = 9;
// wValue of every class request this driver sends: control selector 1, channel 0.
constexpr USHORT USBCL_CONTROL_VALUE = 0x0100;

static_assert(USBCL_ISOCH_URB_SIZE == 1112, "a pooled isochronous URB is 1112 bytes");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) <= USBCL_BULK_URB_SIZE, "bulk URB fits its block");

class CUSBCL {
public:
    CUSBCL();
    virtual ~CUSBCL();
    CUSBCL(const CUSBCL &) = delete;
    CUSBCL &operator=(const CUSBCL &) = delete;

    // Fills the IRP list, takes the bus interface, reads the speed, the device descriptor and
    // the whole configuration descriptor of the device below lowerDevice. PASSIVE_LEVEL.
    // STATUS_NOT_SUPPORTED for a descriptor of the wrong length, STATUS_INSUFFICIENT_RESOURCES
    // when memory runs out, STATUS_INVALID_DEVICE_STATE when the layer was started before.
    NTSTATUS Init(PDEVICE_OBJECT lowerDevice);
    NTSTATUS GetBusInterface();
    NTSTATUS QueryBusSpeed();

    // Sends a URB down and waits for it. PASSIVE_LEVEL.
    NTSTATUS SubmitUrbSync(PURB urb);
    // Selects the configuration with the listed interfaces (NULL-terminated, count entries)
    // and keeps the handle and a copy of each interface's information. PASSIVE_LEVEL.
    NTSTATUS ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY interfaceList, ULONG count);
    // STATUS_INVALID_PARAMETER for an interface that is not configured or an alternate the
    // configuration descriptor does not have. PASSIVE_LEVEL; the pipes of that interface
    // change, so pointers from FindPipe into it are stale afterwards.
    NTSTATUS SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting);
    // The pipe of an endpoint address among the configured interfaces, or null. PASSIVE_LEVEL.
    PUSBD_PIPE_INFORMATION FindPipe(UCHAR endpointAddress);
    // A class (0x20) or vendor (0x40) request to recipient 0..3 with wValue 0x0100; bit 7 of
    // requestType gives the direction. returned (optional) receives the bytes moved.
    // STATUS_INVALID_PARAMETER for other types or recipients, or a length without a buffer.
    // PASSIVE_LEVEL.
    NTSTATUS ControlRequest(UCHAR requestType, UCHAR request, USHORT index, USHORT length, PVOID buffer,
                            PULONG returned = nullptr);
    // Synchronous pipe requests. STATUS_INVALID_PARAMETER for a null pipe, STATUS_UNSUCCESSFUL
    // above PASSIVE_LEVEL.
    NTSTATUS ResetPipe(PUSBD_PIPE_INFORMATION pipe);
    NTSTATUS AbortPipe(PUSBD_PIPE_INFORMATION pipe);

    // An IN transfer into buffer (non-paged, the caller's until the callback). STATUS_SUCCESS
    // once the request went down: its outcome, even an immediate failure, reaches callback,
    // possibly before this returns. Any other status: nothing was sent and no callback follows.
    // DISPATCH_LEVEL or below.
    NTSTATUS SubmitIsochIn(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK callback,
                           PVOID clientContext);

    static IO_COMPLETION_ROUTINE IsochUrbComplete;

    // Requests in flight; maintained for diagnostics, nothing waits on it.
    VOID IoIncrement();
    VOID IoDecrement();
    LONG OutstandingRequests() const { return m_Outstanding; }
    // IRPs the layer owns (on its free list or in flight).
    ULONG IrpsAllocated() const { return m_IrpsAllocated; }

    BOOLEAN IsHighSpeed() const { return m_HighSpeed; }
    const UCHAR *GetConfigurationDescriptor() const { return m_pConfigDescriptor; }
    ULONG GetConfigurationLength() const { return m_ConfigLength; }
    USHORT GetVendorId() const;
    USHORT GetProductId() const;
    ULONG GetBusFrame();

protected:
    // Pooled transfer pieces for the streaming paths. DISPATCH_LEVEL or below.
    USB_TRANSFER_CONTEXT *AllocateContext();
    VOID FreeContext(USB_TRANSFER_CONTEXT *context);
    PURB AllocateIsochUrb();
    VOID FreeIsochUrb(PURB urb);
    // Sends a prepared URB on an IRP from the free list (or a new one) with IsochUrbComplete.
    // STATUS_INSUFFICIENT_RESOURCES when no IRP can be had; otherwise the callback follows.
    NTSTATUS SubmitUrbAsync(PURB urb, USB_TRANSFER_CONTEXT *context);
    // Packets a transfer of a pipe must be padded to at high speed (one frame's worth).
    ULONG HighSpeedPacketMultiple(PUSBD_PIPE_INFORMATION pipe) const;

    BOOLEAN m_HighSpeed;
    PDEVICE_OBJECT m_pLowerDevice;
    UCHAR m_DeviceDescriptor[USBCL_DEVICE_DESCRIPTOR_LENGTH];
    PUCHAR m_pConfigDescriptor;
    // Bytes of the configuration descriptor made of whole, well-formed descriptors.
    ULONG m_ConfigLength;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
    ULONG m_InterfaceCount;
    PUSBD_INTERFACE_INFORMATION *m_ppInterfaces;
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;

private:
    NTSTATUS QueryBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 busInterface);
    NTSTATUS ReadDescriptor(UCHAR type, PVOID buffer, ULONG length, PULONG returned);
    NTSTATUS ReadConfigurationDescriptor();
    NTSTATUS PipeRequest(PUSBD_PIPE_INFORMATION pipe, USHORT function);
    NTSTATUS StoreInterfaceInfo(ULONG index, PUSBD_INTERFACE_INFORMATION information);
    VOID FreeInterfaces();
    VOID CompleteTransfer(PIRP irp, USB_TRANSFER_CONTEXT *context);
    VOID ReturnIrp(PIRP irp);

    LONG m_Outstanding;
    KSPIN_LOCK m_OutstandingLock;
    KSPIN_LOCK m_IrpListLock;
    LIST_ENTRY m_IrpList;
    ULONG m_IrpsAllocated;
    BOOLEAN m_HaveBusInterface;
    NPAGED_LOOKASIDE_LIST m_ContextPool;
    NPAGED_LOOKASIDE_LIST m_UrbPool;
};
