// The one contact between the USB stack (platform/usb) and the simulated host controller
// (sim/usb): URBs go down through usb_host_port, completions come back up through
// usb_host_complete. System code never includes this header.
#pragma once
#include <ntdef.h>
#include <usb.h>

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

protected:
    ~usb_host_port() = default;
};

// Called by the host controller for a request whose submit returned STATUS_PENDING. The bus
// device object completes the IRP with status.
void usb_host_complete(usb_request request, NTSTATUS status);

} // namespace platform
