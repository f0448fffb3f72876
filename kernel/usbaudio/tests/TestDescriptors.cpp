// Descriptor sets for the library's tests.
#include "TestDescriptors.h"
#include <algorithm>
#include <cstddef>

namespace usbaudio_test {

namespace {

void put16(bytes &b, unsigned v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put24(bytes &b, std::uint32_t v)
{
    put16(b, v & 0xFFFF);
    b.push_back(static_cast<std::uint8_t>(v >> 16));
}

} // namespace

bytes device_descriptor(std::uint16_t vendor, std::uint16_t product, std::uint16_t bcd_usb, std::uint8_t length)
{
    bytes b = {18, 1};
    put16(b, bcd_usb);
    b.insert(b.end(), {0xEF, 0x02, 0x01, 64});
    put16(b, vendor);
    put16(b, product);
    put16(b, 0x0100);
    b.insert(b.end(), {1, 2, 3, 1});
    b.resize(length);
    b[0] = length;
    return b;
}

bytes language_ids()
{
    return {4, 3, 0x09, 0x04};
}

config_builder &config_builder::raw(std::initializer_list<unsigned> values)
{
    for (unsigned v : values) {
        b_.push_back(static_cast<std::uint8_t>(v));
    }
    return *this;
}

config_builder &config_builder::raw(const bytes &values)
{
    b_.insert(b_.end(), values.begin(), values.end());
    return *this;
}

void config_builder::close_ac_header()
{
    if (header_ >= 0) {
        unsigned total = static_cast<unsigned>(b_.size() - static_cast<std::size_t>(header_));
        std::size_t at = static_cast<std::size_t>(header_) + (uac2_ ? 6 : 5);
        b_[at] = static_cast<std::uint8_t>(total);
        b_[at + 1] = static_cast<std::uint8_t>(total >> 8);
        header_ = -1;
    }
}

config_builder &config_builder::add_interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints,
                                          std::uint8_t cls, std::uint8_t sub_class)
{
    close_ac_header();
    if (b_.empty()) {
        raw({9, 2, 0, 0, 0, 1, 0, 0xA0, 50});
    }
    if (alternate == 0 && number + 1u > interfaces_) {
        interfaces_ = static_cast<std::uint8_t>(number + 1);
    }
    return raw({9, 4, number, alternate, endpoints, cls, sub_class, uac2_ ? 0x20u : 0u, 0});
}

config_builder &config_builder::ac_header(bool uac2)
{
    uac2_ = uac2;
    b_[b_.size() - 2] = uac2 ? 0x20 : 0; // the AC interface's protocol
    header_ = static_cast<long>(b_.size());
    if (uac2) {
        return raw({9, 0x24, 1, 0x00, 0x02, 0x08, 0, 0, 0});
    }
    return raw({10, 0x24, 1, 0x00, 0x01, 0, 0, 2, 1, 2});
}

config_builder &config_builder::endpoint(std::uint8_t address, std::uint8_t attributes, std::uint16_t max_packet,
                                         std::uint8_t interval)
{
    raw({7, 5, address, attributes});
    put16(b_, max_packet);
    b_.push_back(interval);
    return *this;
}

config_builder &config_builder::endpoint9(std::uint8_t address, std::uint8_t attributes, std::uint16_t max_packet,
                                          std::uint8_t interval, std::uint8_t refresh, std::uint8_t synch_address)
{
    raw({9, 5, address, attributes});
    put16(b_, max_packet);
    return raw({interval, refresh, synch_address});
}

bytes config_builder::finish()
{
    close_ac_header();
    b_[2] = static_cast<std::uint8_t>(b_.size());
    b_[3] = static_cast<std::uint8_t>(b_.size() >> 8);
    b_[4] = interfaces_;
    return b_;
}

bytes uac2_config(const uac2_layout &l)
{
    config_builder c;
    std::uint8_t capture_clock = l.separate_clocks ? 0x29 : 0x28;
    c.add_interface(0, 0, 0, l.interface_class, 1).ac_header(true);
    c.raw({8, 0x24, 0x0A, 0x28, 0x03, l.clock_controls, 0, 0});
    if (l.separate_clocks) {
        c.raw({8, 0x24, 0x0A, 0x29, 0x03, l.clock_controls, 0, 0});
    }
    if (l.render) {
        c.raw({17, 0x24, 2, 2, 0x01, 0x01, 0, 0x28, 2, 3, 0, 0, 0, 0, 0, 0, 0});
        c.raw({18, 0x24, 6, 10, 2, 0x0F, 0, 0, 0, 0x0F, 0, 0, 0, 0x0F, 0, 0, 0, 0});
        c.raw({12, 0x24, 3, 20, 0x01, 0x03, 0, 10, 0x28, 0x04, 0x00, 0});
    }
    if (l.capture) {
        c.raw({17, 0x24, 2, 1, 0x01, 0x02, 0, capture_clock, 2, 3, 0, 0, 0, 0, 0, 0, 0});
        c.raw({18, 0x24, 6, 11, 1, 0x0F, 0, 0, 0, 0x0F, 0, 0, 0, 0x0F, 0, 0, 0, 0});
        c.raw({12, 0x24, 3, 22, 0x01, 0x01, 0, 11, capture_clock, 0, 0, 0});
    }
    std::uint8_t number = 1;
    struct alt_format {
        std::uint8_t channels, subslot, bits;
    };
    auto streaming = [&](std::uint8_t terminal, std::uint8_t data_ep, bool with_feedback,
                         std::initializer_list<alt_format> formats) {
        c.add_interface(number, 0, 0, l.interface_class, 2);
        std::uint8_t alt = 1;
        for (const alt_format &f : formats) {
            c.add_interface(number, alt, with_feedback ? 2 : 1, l.interface_class, 2);
            c.raw({16, 0x24, 1, terminal, 0, 1, 1, 0, 0, 0, f.channels, 3, 0, 0, 0, 0});
            c.raw({6, 0x24, 2, 1, f.subslot, f.bits});
            // Room for a packet of 192 kHz and one frame more, per packet interval.
            const unsigned frame = f.channels * f.subslot;
            const unsigned period = l.high_speed ? 1u << (l.data_interval - 1) : 8u;
            const unsigned per_packet = std::min((192u * period / 8u + 1u) * frame, l.high_speed ? 1024u : 1023u);
            c.endpoint(data_ep, with_feedback ? 0x05 : 0x0D, static_cast<std::uint16_t>(per_packet), l.data_interval);
            c.raw({8, 0x25, 1, 0, 0, 0, 0, 0});
            if (with_feedback) {
                c.endpoint(0x81, 0x11, 4, l.feedback_interval);
            }
            ++alt;
        }
        ++number;
    };
    if (l.render) {
        streaming(2, 0x01, l.feedback, {{2, 2, 16}, {2, 4, 24}, {8, 4, 24}});
    }
    if (l.capture) {
        streaming(22, 0x82, false, {{2, 2, 16}, {2, 4, 24}});
    }
    return c.finish();
}

bytes uac1_config(const uac1_layout &l)
{
    config_builder c;
    c.add_interface(0, 0, 0, l.interface_class, 1).ac_header(false);
    auto feature = [&](std::uint8_t id, std::uint8_t source) {
        c.raw({static_cast<unsigned>(7 + 3 * l.fu_control_size), 0x24, 6, id, source, l.fu_control_size});
        for (unsigned channel = 0; channel < 3; ++channel) {
            for (unsigned i = 0; i < l.fu_control_size; ++i) {
                c.raw({i == 0 ? 0x03u : 0u});
            }
        }
        c.raw({0});
    };
    if (l.render) {
        c.raw({12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0});
        feature(2, 1);
        c.raw({9, 0x24, 3, 3, 0x01, 0x03, 0, 2, 0});
    }
    if (l.capture) {
        c.raw({12, 0x24, 2, 4, 0x01, 0x02, 0, 2, 3, 0, 0, 0});
        feature(5, 4);
        c.raw({9, 0x24, 3, 6, 0x01, 0x01, 0, 5, 0});
    }
    if (l.processing_unit_last) {
        c.raw({13, 0x24, 7, 7, 1, 0, 1, 5, 2, 3, 0, 0, 0});
    }
    auto format_type = [&]() {
        bytes ft = {0, 0x24, 2, 1, 2, l.subframe, l.bits};
        if (l.continuous) {
            ft.push_back(0);
            put24(ft, l.rates.at(0));
            put24(ft, l.rates.at(1));
        } else {
            ft.push_back(static_cast<std::uint8_t>(l.rates.size()));
            for (std::uint32_t rate : l.rates) {
                put24(ft, rate);
            }
        }
        ft[0] = static_cast<std::uint8_t>(ft.size());
        for (std::uint8_t v : ft) {
            c.raw({v});
        }
    };
    std::uint16_t max_packet = static_cast<std::uint16_t>(49 * 2 * l.subframe);
    std::uint8_t number = 1;
    if (l.render) {
        c.add_interface(number, 0, 0, l.interface_class, 2);
        c.add_interface(number, 1, 2, l.interface_class, 2);
        c.raw({7, 0x24, 1, 1, 1, 0x01, 0x00});
        format_type();
        c.endpoint9(0x01, 0x05, max_packet, 1, 0, 0x81);
        c.raw({7, 0x25, 1, l.render_sf_control ? 1u : 0u, 0, 0, 0});
        c.endpoint9(0x81, 0x01, 3, 1, l.refresh, 0);
        ++number;
    }
    if (l.capture) {
        c.add_interface(number, 0, 0, l.interface_class, 2);
        for (std::uint8_t alt = 1; alt <= 2; ++alt) {
            c.add_interface(number, alt, 1, l.interface_class, 2);
            c.raw({7, 0x24, 1, 6, 1, 0x01, 0x00});
            format_type();
            c.endpoint9(0x82, 0x05, max_packet, 1, 0, 0);
            c.raw({7, 0x25, 1, l.capture_sf_control ? 1u : 0u, 0, 0, 0});
        }
    }
    return c.finish();
}

} // namespace usbaudio_test
