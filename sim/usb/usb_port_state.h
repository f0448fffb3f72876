// The inside of a usb_port: its pipes, the transfers queued on them, and the fault settings.
// Everything here is guarded by the host controller's lock.
#pragma once
#include <wdm.h>
#include <sim/usb_host_controller.h>

#include <deque>
#include <map>
#include <memory>

namespace sim {

struct usb_transfer {
    PURB urb = nullptr;
    platform::usb_request request = nullptr;
    bool iso = false;
    bool in = false;
    std::uint8_t *buffer = nullptr;
    ULONG length = 0;
    // Isochronous: packet i runs at bus microframe start + i x period.
    std::uint64_t start = 0;
    std::uint64_t period = 8;
    ULONG packets = 0;
    ULONG next_packet = 0;
    std::vector<ULONG> sizes; // OUT: bytes to send; IN: capacity
    bool forced_failure = false;
    ULONG received = 0;
    ULONG errors = 0;
    // Bulk OUT and deferred requests: finished once the bus has passed this frame.
    std::uint64_t due_frame = 0;
    bool waits_for_data = false; // bulk/interrupt IN: the models send none; ends by abort or cancel
    NTSTATUS deferred_status = STATUS_SUCCESS;
};

struct usb_pipe {
    endpoint_info endpoint;
    std::uint8_t interface_number = 0;
    USBD_PIPE_HANDLE handle = nullptr;
    std::uint64_t next = 0; // first free microframe after the last scheduled transfer
    bool has_next = false;
    std::deque<std::unique_ptr<usb_transfer>> queue;
};

struct usb_port::impl {
    bool present = true;
    bool high_speed = false;
    std::uint16_t bcd_usb = 0x0200;
    std::map<std::uintptr_t, std::unique_ptr<usb_pipe>> pipes; // by handle value
    std::deque<std::unique_ptr<usb_transfer>> deferred;       // requests finished at a later frame
    std::uintptr_t next_handle = 0;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::map<std::uint8_t, int> fail_transfers;
    int fail_select_configuration = 0;
    int fail_select_interface = 0;
    bool refuse_reset_while_pending = false;
    bool defer_control = false;

    void *new_handle() { return reinterpret_cast<void *>(next_handle += 0x10); }
};

using completion_list = std::vector<std::pair<platform::usb_request, NTSTATUS>>;

// Finishes every request of the port with the given URB and IRP status, emptying the queues.
void fail_all_requests(usb_port::impl &port, USBD_STATUS usbd, NTSTATUS status, completion_list &done);
// Finishes the queued transfers of one pipe as cancelled and forgets its schedule.
void cancel_pipe(usb_pipe &pipe, completion_list &done);

// Packet period of an isochronous endpoint in microframes.
std::uint64_t iso_period(const endpoint_info &endpoint, bool high_speed, std::uint16_t bcd_usb);

// Validates and queues an isochronous URB (iso_transfers.cpp). STATUS_PENDING when queued.
NTSTATUS submit_iso(usb_port::impl &port, usb_pipe &pipe, PURB urb, platform::usb_request request,
                    std::uint64_t frames, const host_controller_options &options, host_counters &counters);
// Runs one frame of the port's pipes: packets of microframes frame x 8 .. + 7 go to the device
// (or are marked late when missed); finished transfers are added to done.
void run_port_frame(usb_port::impl &port, usb_device &device, std::uint64_t frame, bool missed,
                    ULONG start_frame, host_counters &counters, completion_list &done);

// The system address of a transfer buffer given as pointer or MDL; null with ok = false when
// neither describes length bytes.
std::uint8_t *transfer_address(PVOID buffer, PMDL mdl, ULONG length, bool &ok);

} // namespace sim
