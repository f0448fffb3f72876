// Descriptor sets for the library's tests: a small configuration builder and the standard
// duplex layouts of both class revisions, with options for the variants the tests need.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace usbaudio_test {

using bytes = std::vector<std::uint8_t>;

bytes device_descriptor(std::uint16_t vendor, std::uint16_t product, std::uint16_t bcd_usb = 0x0200,
                        std::uint8_t length = 18);
bytes language_ids();

// Appends descriptors in order. An AudioControl header's wTotalLength is patched to reach the
// next interface descriptor; the configuration's wTotalLength and bNumInterfaces at finish().
class config_builder {
public:
    config_builder &raw(std::initializer_list<unsigned> values);
    config_builder &raw(const bytes &values);
    config_builder &add_interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints,
                              std::uint8_t cls = 1, std::uint8_t sub_class = 2);
    config_builder &ac_header(bool uac2);
    config_builder &endpoint(std::uint8_t address, std::uint8_t attributes, std::uint16_t max_packet,
                             std::uint8_t interval);
    // A 9-byte audio class 1 endpoint with bRefresh and bSynchAddress.
    config_builder &endpoint9(std::uint8_t address, std::uint8_t attributes, std::uint16_t max_packet,
                              std::uint8_t interval, std::uint8_t refresh, std::uint8_t synch_address);
    bytes finish();

private:
    void close_ac_header();
    bytes b_;
    long header_ = -1;
    bool uac2_ = false;
    std::uint8_t interfaces_ = 0;
};

struct uac2_layout {
    bool high_speed = true;
    bool render = true;
    bool capture = true;
    bool separate_clocks = false;
    std::uint8_t data_interval = 1;
    std::uint8_t feedback_interval = 4;
    bool feedback = true;
    std::uint8_t clock_controls = 0x07; // frequency read/write, validity readable
    std::uint8_t interface_class = 1;
};

// Interface 0: AudioControl with clock source 0x28 (capture 0x29 when separate), render path
// IT 2 -> FU 10 -> OT 20 and capture path IT 1 -> FU 11 -> OT 22. Interface 1 (render, data
// EP 0x01, feedback EP 0x81): alt 1 2ch/16, alt 2 2ch/24-in-32, alt 3 8ch/24-in-32. Interface
// 2 (capture, data EP 0x82): alt 1 2ch/16, alt 2 2ch/24-in-32.
bytes uac2_config(const uac2_layout &layout = {});

struct uac1_layout {
    bool render = true;
    bool capture = true;
    std::vector<std::uint32_t> rates = {44100, 48000};
    bool continuous = false;
    bool render_sf_control = true;
    bool capture_sf_control = false;
    std::uint8_t refresh = 5;
    std::uint8_t fu_control_size = 1;
    bool processing_unit_last = false;
    std::uint8_t subframe = 2;
    std::uint8_t bits = 16;
    std::uint8_t interface_class = 1;
};

// Interface 0: AudioControl (IT 1 -> FU 2 -> OT 3 render, IT 4 -> FU 5 -> OT 6 capture).
// Interface 1 render: alt 1 2ch with a synch endpoint 0x81 named by data EP 0x01. Interface 2
// capture: alt 1 and alt 2 (the same format), data EP 0x82.
bytes uac1_config(const uac1_layout &layout = {});

} // namespace usbaudio_test
