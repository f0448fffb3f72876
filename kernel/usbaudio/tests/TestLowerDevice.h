// A lower device object standing in for the USB bus driver in the library's tests: it answers
// descriptor, configuration, interface, class and vendor URBs from descriptor bytes and a table
// of control answers, completes isochronous URBs through a test hook, and offers the USBDI
// bus interface.
#pragma once
#include <wdm.h>
#include <usb.h>
#include <functional>
#include <map>
#include <tuple>
#include <vector>
#include "TestDescriptors.h"

namespace sim {
class usb_device;
}

namespace usbaudio_test {

struct control_record {
    std::uint8_t request_type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
    bytes data; // OUT data
};

class test_lower_device {
public:
    test_lower_device(bytes device, bytes configuration, bool high_speed);
    ~test_lower_device();

    PDEVICE_OBJECT pdo() const { return device_object_; }

    // Answer to a class or vendor IN request (bRequest, wValue, wIndex); a request without an
    // answer stalls. A SET with request 0x01 (CUR) also replaces the answer of GET CUR.
    void answer(std::uint8_t request, std::uint16_t value, std::uint16_t index, bytes data);
    void forget(std::uint8_t request, std::uint16_t value, std::uint16_t index);

    // Attaches a simulated device model: descriptor, configuration, interface, class and
    // vendor requests then go to it (the configuration bytes still describe the pipes).
    void attach(sim::usb_device *model) { model_ = model; }

    std::vector<control_record> controls;
    bytes device;
    bytes configuration;
    bytes string0 = language_ids();
    bool fail_string0 = false;
    // OUT class or vendor requests (bRequest, wIndex) that stall.
    std::vector<std::pair<std::uint8_t, std::uint16_t>> stall_out;
    bool high_speed;
    ULONG select_interface_count = 0;
    ULONG select_configuration_count = 0;
    // Completes an isochronous or bulk URB: fill packet lengths and data, return the status.
    std::function<NTSTATUS(PURB)> on_transfer;

private:
    static NTSTATUS dispatch_internal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS handle_urb(PURB urb);
    NTSTATUS handle_control(PURB urb);
    void fill_interface(PUSBD_INTERFACE_INFORMATION information, ULONG room);
    static NTSTATUS query_bus_time(PVOID context, PULONG frame);
    static BOOLEAN is_high_speed(PVOID context);

    NTSTATUS forward(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     PVOID buffer, PULONG length, PURB urb);

    sim::usb_device *model_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_object_ = nullptr;
    std::map<std::tuple<std::uint8_t, std::uint16_t, std::uint16_t>, bytes> answers_;
    std::uintptr_t next_handle_ = 0x1000;
};

} // namespace usbaudio_test
