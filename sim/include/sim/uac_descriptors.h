// Descriptor sets of simulated USB audio devices: a builder for the audio class 2 high-speed
// device, one for the audio class 1 full-speed device, the standard-driver and quirk variants,
// and malformed edits of a built set. The builders only produce bytes; the device model reads
// its topology back from those bytes, so a replayed real descriptor set behaves the same way.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <sim/usb_device.h>

namespace sim {

struct device_descriptors {
    std::vector<std::uint8_t> device;         // normally 18 bytes
    std::vector<std::uint8_t> configuration;  // wTotalLength bytes
    std::map<std::uint8_t, std::vector<std::uint8_t>> strings; // index 0: language IDs
    usb_speed speed = usb_speed::high;
};

// A string descriptor of UTF-16LE code units, encoded byte by byte.
std::vector<std::uint8_t> encode_string_descriptor(std::u16string_view text);
std::vector<std::uint8_t> encode_language_ids(const std::vector<std::uint16_t> &ids);

struct pcm_format {
    std::uint8_t channels = 2;
    std::uint8_t subslot_bytes = 2;
    std::uint8_t bits = 16;
    bool raw_data = false; // DSD-style raw data (format bit 31)
    // The highest rate this alternate's wMaxPacketSize is sized for; 0: the device's highest.
    std::uint32_t max_rate = 0;
    std::uint32_t frame_bytes() const { return std::uint32_t{channels} * subslot_bytes; }
};

// How the render rate is kept: a feedback endpoint, the capture stream's packet sizes, or
// none (the render endpoint is adaptive and the device follows the host's data rate).
enum class feedback_kind { explicit_endpoint, implicit, none };

// Entity IDs the audio class 2 builder uses.
namespace uac2_ids {
inline constexpr std::uint8_t render_clock = 0x28;
inline constexpr std::uint8_t capture_clock = 0x29;    // with separate clocks
inline constexpr std::uint8_t selector_pin_clock = 0x2A; // pins 2 and 3: 0x2A, 0x2B
inline constexpr std::uint8_t clock_selector = 0x30;
inline constexpr std::uint8_t render_usb_in = 2;       // USB-streaming input terminal
inline constexpr std::uint8_t render_fu = 10;
inline constexpr std::uint8_t speaker_out = 20;
inline constexpr std::uint8_t mic_in = 1;
inline constexpr std::uint8_t capture_fu = 11;
inline constexpr std::uint8_t capture_usb_out = 22;    // USB-streaming output terminal
inline constexpr std::uint8_t first_extra_unit = 50;
inline constexpr std::uint8_t render_data_ep = 0x01;
inline constexpr std::uint8_t feedback_ep = 0x81;
inline constexpr std::uint8_t capture_data_ep = 0x82;
inline constexpr std::uint8_t gap_data_ep = 0x84;      // the AS interface after a gap
} // namespace uac2_ids

struct uac2_options {
    std::uint16_t vendor_id = 0x3A51;
    std::uint16_t product_id = 0x0102;
    std::uint16_t bcd_device = 0x0100;
    std::u16string manufacturer = u"Orvan";
    std::u16string product = u"Marla Series USB Audio";
    std::u16string serial = u"OVM0001";
    bool high_speed = true;
    bool render = true;
    bool capture = true;
    bool clock_selector = false;
    std::uint8_t selector_pins = 2;           // 1..3
    bool separate_clocks = false;             // capture on its own clock source
    std::vector<pcm_format> render_formats = {{2, 2, 16}, {2, 4, 24}, {8, 4, 24}};
    std::vector<pcm_format> capture_formats = {{2, 2, 16}, {2, 4, 24}, {8, 4, 24}};
    bool dsd_alt = false;                     // an extra render alt with raw data
    std::uint8_t data_interval = 1;           // bInterval of the data endpoints
    std::uint8_t render_interval = 0;         // bInterval of the render data endpoint; 0: data_interval
    feedback_kind feedback = feedback_kind::explicit_endpoint;
    std::uint8_t feedback_interval = 4;
    std::uint8_t feedback_address = uac2_ids::feedback_ep;
    // The capture data endpoint is flagged as implicit feedback data whatever the feedback kind,
    // so a device with a render feedback endpoint can also be run from its capture stream.
    bool implicit_capture = false;
    std::uint32_t max_rate = 192000;          // sizes wMaxPacketSize
    bool mute_writable = true;
    bool volume_writable = true;
    std::vector<std::uint8_t> extra_units;    // unit subtypes (4, 5, 7, 8, 9, 12, 13) on the render path
    bool vendor_class = false;                // audio interfaces with class 255
    bool extra_interface = false;             // one more, non-audio interface at the end
    std::uint8_t extra_interface_subclass = 0xFF;
    // A vendor-class alternate setting (no class-specific descriptors) last on each AS interface.
    bool vendor_alternate = false;
    // One more AS interface after a number left unused; the audio function ends before it.
    bool gap_interface = false;
    // Number of the AudioControl interface: vendor interfaces take the numbers below it.
    std::uint8_t ac_interface = 0;
    bool clocks_after_terminals = false;      // clock entities follow the terminals that use them
};

struct uac1_options {
    std::uint16_t vendor_id = 0x3A51;
    std::uint16_t product_id = 0x0201;
    std::uint16_t bcd_device = 0x0100;
    std::u16string manufacturer = u"Orvan";
    std::u16string product = u"Marla Series USB Audio FS";
    std::u16string serial = u"OVM1001";
    bool render = true;
    bool capture = true;
    pcm_format render_format = {2, 2, 16};
    pcm_format capture_format = {2, 2, 16};
    std::vector<std::uint32_t> rates = {44100, 48000};
    bool continuous_rates = false;            // rates[0]..rates[1] as one continuous range
    bool render_sf_control = true;
    bool capture_sf_control = true;
    enum class sync { sync_endpoint, implicit_in, adaptive, synchronous } render_sync = sync::sync_endpoint;
    std::uint8_t refresh = 2;                 // bRefresh of the sync endpoint (1..5)
    bool high_speed = false;                  // the class 1 descriptors on a high-speed bus
    std::uint8_t data_interval = 1;           // bInterval of the data and sync endpoints
    // wMaxPacketSize of the render data endpoint; 0: a packet of the highest rate and one frame.
    std::uint16_t render_max_packet = 0;
    bool vendor_alternate = false;            // as in uac2_options
    std::uint8_t fu_control_size = 1;         // 1 or 2 bytes per channel
    bool processing_unit = false;
    bool mixer_unit = false;
    bool vendor_class = false;
};

namespace uac1_ids {
inline constexpr std::uint8_t render_usb_in = 1;
inline constexpr std::uint8_t render_fu = 2;
inline constexpr std::uint8_t speaker_out = 3;
inline constexpr std::uint8_t mic_in = 4;
inline constexpr std::uint8_t capture_fu = 5;
inline constexpr std::uint8_t capture_usb_out = 6;
inline constexpr std::uint8_t extra_unit = 7;
inline constexpr std::uint8_t render_data_ep = 0x01;
inline constexpr std::uint8_t sync_ep = 0x81;
inline constexpr std::uint8_t capture_data_ep = 0x82;
} // namespace uac1_ids

device_descriptors build_uac2_device(const uac2_options &options);
device_descriptors build_uac1_device(const uac1_options &options);

// The standard driver's devices: both directions at 2ch/16 with 44100 and 48000. They carry
// the two product IDs the standard stack supports: 0x0201 (class 1) and 0x0202 (class 2).
uac1_options standard_uac1_options();     // discrete rates, no rate control on capture
uac2_options standard_uac2_options(std::uint8_t render_interval);

// Edits of a built set that real, broken devices show.
enum class malformation {
    no_ac_header,                 // the AC interface has no HEADER
    header_total_past_interface,  // HEADER wTotalLength runs past the next interface
    zero_length_entity,           // the first feature unit has bLength 0
    truncated_entity,             // the first feature unit is cut to 4 bytes
    fu_control_size_zero,         // audio class 1: bControlSize 0
    output_terminal_source_dangling,
    selector_cycle,               // the first selector unit names itself as its input
    as_interface_gap,             // the last AS interface number is raised by one
    alternate_gap,                // the last alternate of the first AS interface is raised by one
    data_interval_16,             // the first data endpoint has bInterval 16
    device_descriptor_17,         // the device descriptor is 17 bytes long
};
device_descriptors apply_malformation(device_descriptors set, malformation kind);

} // namespace sim
