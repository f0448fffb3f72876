// The face a simulated USB device shows its host controller: control requests on the default
// pipe, isochronous packets on its endpoints, and the bus time that drives its clocks.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

enum class usb_speed { full, high };

struct setup_packet {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

struct control_outcome {
    bool stall = false;
    std::uint32_t length = 0; // bytes moved in the data stage
};

// What happened to one isochronous packet, as the host controller reports it per packet.
enum class packet_status {
    ok,
    error,        // transaction error (CRC, bit stuffing): no data delivered
    stall,        // endpoint halted until the host clears it
    no_response,  // the device is gone
};

struct iso_in_result {
    std::uint32_t length = 0;
    packet_status status = packet_status::ok;
};

enum class endpoint_type : std::uint8_t { control = 0, isochronous = 1, bulk = 2, interrupt = 3 };

// One endpoint of an interface's alternate setting as its descriptor states it.
struct endpoint_info {
    std::uint8_t address = 0;          // bit 7 set for IN
    std::uint8_t attributes = 0;       // bmAttributes: type, sync and usage bits
    std::uint16_t max_packet_raw = 0;  // wMaxPacketSize with the high-bandwidth bits
    std::uint8_t interval = 0;         // bInterval
    std::uint8_t interface_number = 0;
    std::uint8_t alternate_setting = 0;
    std::uint8_t refresh = 0;          // bRefresh of a 9-byte audio class 1 endpoint
    std::uint8_t synch_address = 0;    // bSynchAddress of a 9-byte audio class 1 endpoint

    endpoint_type type() const { return static_cast<endpoint_type>(attributes & 3); }
    bool is_in() const { return (address & 0x80) != 0; }
    // Bytes per service interval: (wMaxPacketSize & 0x7FF) x (1 + extra transactions).
    std::uint32_t max_bytes_per_interval() const
    {
        return (max_packet_raw & 0x7FFu) * (1u + ((max_packet_raw >> 11) & 3u));
    }
};

struct interface_info {
    std::uint8_t number = 0;
    std::uint8_t alternate_setting = 0;
    std::uint8_t interface_class = 0;
    std::uint8_t interface_subclass = 0;
    std::uint8_t interface_protocol = 0;
    std::vector<endpoint_info> endpoints;
};

// Bus time is a count of 125 us microframes since the bus started; it never wraps (the host
// controller extends its 32-bit frame counter). A full-speed bus passes frame x 8. Every
// streaming call first brings the device's clocks up to the time it is given; time passed to a
// device never goes backwards.
//
// Thread safety: the host controller serialises all calls into one device; the fault and
// option setters of the concrete models may be called from a test thread concurrently and
// take the device's lock.
class usb_device {
public:
    virtual ~usb_device() = default;

    virtual usb_speed speed() const = 0;

    // A control transfer on the default pipe. For a device-to-host request, data is the space
    // the host offers; the answer is cut to min(wLength, data.size(), real length). For a
    // host-to-device request, data holds the bytes sent. A stall moves no data.
    virtual control_outcome handle_control(const setup_packet &setup,
                                           std::span<std::uint8_t> data) = 0;

    // The interfaces of the configuration descriptor, every alternate setting.
    virtual std::vector<interface_info> interfaces() const = 0;
    // The endpoint with that address in the interface's current alternate setting.
    virtual std::optional<endpoint_info> find_endpoint(std::uint8_t address) const = 0;
    virtual std::uint8_t configuration_value() const = 0;
    virtual std::uint8_t current_alternate(std::uint8_t interface_number) const = 0;

    // One OUT packet at bus time. The device keeps no pointer to the bytes.
    virtual packet_status iso_out(std::uint8_t address, std::uint64_t microframe,
                                  std::span<const std::uint8_t> packet) = 0;
    // One IN packet at bus time into buffer (the packet's capacity). Never writes past it.
    virtual iso_in_result iso_in(std::uint8_t address, std::uint64_t microframe,
                                 std::span<std::uint8_t> buffer) = 0;
    // Bus time passes with no packet: the device clocks run on (render FIFO drains).
    virtual void advance(std::uint64_t microframe) = 0;

    // The host controller clears a halted endpoint (RESET_PIPE).
    virtual void clear_halt(std::uint8_t address) = 0;
    // False after surprise removal: the host controller answers every request with a
    // device-gone status.
    virtual bool connected() const = 0;
};

} // namespace sim
