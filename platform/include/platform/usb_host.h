// The one contact between the USB stack (platform/usb) and the simulated host controller
// (sim/usb): URBs go down through usb_host_port, completions come back up through
// usb_host_complete. System code never includes this header.
#pragma once
#include <ntdef.h>
#include <usb.h>

typedef struct _DEVICE_OBJECT DEVICE_OBJECT;

namespace platform {

// Opaque token of one submitted request; the bus device object passes its IRP.
using usb_request = void *;

// One attached device as the host controller presents it to the bus device object. The host
// controller owns the object; it stays valid until the bus device object is deleted.
class usb_host_port {
public:
    // Takes one URB of IOCTL_INTERNAL_USB_SUBMIT_URB, at IRQL <= DISPATCH_LEVEL.
    // STATUS_PENDING: the URB is queued and usb_host_complete(request, ...) is called exactly
    // once later, at DISPATCH_LEVEL on the bus thread. Any other status: the URB is finished
    // now (Hdr.Status and the out fields are written) and no completion follows.
    virtual NTSTATUS submit(PURB urb, usb_request request) = 0;

    // Finishes a pending request early with STATUS_CANCELLED / USBD_STATUS_CANCELED through
    // usb_host_complete; nothing happens when it has already completed.
    virtual void cancel(usb_request request) = 0;

    // The current 1 ms frame number (32-bit, wraps).
    virtual ULONG current_frame() const = 0;
    virtual bool is_high_speed() const = 0;

    // False once the device is gone: every pending and new request fails with a device-gone
    // status.
    virtual bool is_connected() const = 0;

    // True when submit finishes a URB of this function inline (it never returns
    // STATUS_PENDING for it); the bus device object then completes the IRP itself. Transfer
    // URBs always pend.
    virtual bool completes_inline(USHORT function) const = 0;

protected:
    ~usb_host_port() = default;
};

// Called by the host controller for a request whose submit returned STATUS_PENDING. The bus
// device object completes the IRP with status.
void usb_host_complete(usb_request request, NTSTATUS status);

// The bus device object (PDO) of one attached device: IRP_MJ_INTERNAL_DEVICE_CONTROL with
// IOCTL_INTERNAL_USB_SUBMIT_URB goes to port, IRP_MN_QUERY_INTERFACE hands out the USBDI bus
// interface, and the other PnP and power requests are answered as a bus driver does (the IDs
// and text come from the PDO's device node). PASSIVE_LEVEL. The port must outlive the PDO.
NTSTATUS usb_create_bus_pdo(usb_host_port *port, DEVICE_OBJECT **pdo);
// Deletes a bus PDO once the function driver has detached from it.
void usb_delete_bus_pdo(DEVICE_OBJECT *pdo);
// Fault injection: the PDO refuses the USBDI bus interface query.
void usb_bus_pdo_refuse_interface(DEVICE_OBJECT *pdo, bool refuse);
// Bus interface references taken and not released (InterfaceReference - InterfaceDereference).
LONG usb_bus_pdo_interface_references(DEVICE_OBJECT *pdo);

} // namespace platform
