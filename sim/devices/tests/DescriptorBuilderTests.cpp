// Descriptor sets of the builders: well-formed walks, the interfaces and entities the host
// looks for, explicit UTF-16 strings, and malformed edits that the USBD walk survives.
#include <sim/audio_device.h>
#include <sim/device_varieties.h>
#include <sim/uac_descriptors.h>

#include <usbdi.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace sim;

PUSB_CONFIGURATION_DESCRIPTOR config_of(device_descriptors &set)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.configuration.data());
}

// Walks every descriptor; true when the walk ends exactly at wTotalLength.
bool walks_cleanly(const std::vector<std::uint8_t> &c)
{
    std::size_t at = 0;
    while (at < c.size()) {
        if (c[at] < 2 || at + c[at] > c.size()) {
            return false;
        }
        at += c[at];
    }
    return at == c.size() && static_cast<std::size_t>(c[2] | c[3] << 8) == c.size();
}

std::set<std::pair<int, int>> interface_alts(device_descriptors &set)
{
    std::set<std::pair<int, int>> found;
    auto *cfg = config_of(set);
    PVOID start = cfg;
    while (auto *i = USBD_ParseConfigurationDescriptorEx(cfg, start, -1, -1, -1, -1, -1)) {
        found.insert({i->bInterfaceNumber, i->bAlternateSetting});
        start = reinterpret_cast<PUCHAR>(i) + i->bLength;
    }
    return found;
}

TEST(Uac2DescriptorBuilder, DefaultDeviceIsWellFormedWithControlAndTwoStreamingInterfaces)
{
    device_descriptors set = build_uac2_device({});
    ASSERT_EQ(set.device.size(), 18u);
    EXPECT_EQ(set.device[2] | set.device[3] << 8, 0x0200);
    EXPECT_EQ(set.speed, usb_speed::high);
    ASSERT_TRUE(walks_cleanly(set.configuration));
    const std::set<std::pair<int, int>> expected = {{0, 0}, {1, 0}, {1, 1}, {1, 2}, {1, 3},
                                                    {2, 0}, {2, 1}, {2, 2}, {2, 3}};
    EXPECT_EQ(interface_alts(set), expected);

    auto *cfg = config_of(set);
    auto *ac = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, 1, 1, 0x20);
    ASSERT_NE(ac, nullptr);
    auto *header = USBD_ParseDescriptors(cfg, cfg->wTotalLength, ac, 0x24);
    ASSERT_NE(header, nullptr);
    auto *h = reinterpret_cast<const std::uint8_t *>(header);
    EXPECT_EQ(h[3] | h[4] << 8, 0x0200);
    const std::size_t ac_total = h[6] | h[7] << 8;
    auto *as = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 0, -1, -1, -1);
    EXPECT_EQ(h + ac_total, reinterpret_cast<const std::uint8_t *>(as))
        << "the header's wTotalLength ends where the first AS interface begins";

    audio_device device(set);
    const auto interfaces = device.interfaces();
    bool feedback_found = false;
    for (const interface_info &i : interfaces) {
        for (const endpoint_info &ep : i.endpoints) {
            if (ep.address == uac2_ids::feedback_ep) {
                feedback_found = true;
                EXPECT_EQ(ep.attributes & 0x30, 0x10);
                EXPECT_EQ(ep.max_packet_raw, 4);
                EXPECT_EQ(ep.interval, 4);
            }
            if (ep.address == uac2_ids::render_data_ep && i.alternate_setting == 3) {
                EXPECT_EQ(ep.attributes, 0x05);
                EXPECT_GE(ep.max_bytes_per_interval(), 25u * 32u) << "8ch/32-bit at 192 kHz";
            }
        }
    }
    EXPECT_TRUE(feedback_found);
}

TEST(Uac2DescriptorBuilder, OptionsAddSelectorClocksUnitsRawAltAndQuirkInterfaces)
{
    uac2_options o;
    o.clock_selector = true;
    o.selector_pins = 3;
    o.separate_clocks = true;
    o.dsd_alt = true;
    o.extra_units = {4, 5, 7, 8, 9, 12, 13};
    o.vendor_class = true;
    o.extra_interface = true;
    o.feedback = feedback_kind::implicit;
    o.data_interval = 4;
    device_descriptors set = build_uac2_device(o);
    ASSERT_TRUE(walks_cleanly(set.configuration));
    auto *cfg = config_of(set);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, 0xFF, 1, -1), nullptr);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 4, 0xFF, 2, -1), nullptr) << "raw-data alt";
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 3, 0, 0xFF, 0xFF, -1), nullptr);
    EXPECT_EQ(cfg->bNumInterfaces, 4);

    // Every entity descriptor's length matches its layout: the walk above is clean and the
    // subtypes all appear.
    std::set<int> subtypes;
    for (std::size_t at = 0; at < set.configuration.size(); at += set.configuration[at]) {
        if (set.configuration[at + 1] == 0x24) {
            subtypes.insert(set.configuration[at + 2]);
        }
    }
    for (int s : {4, 5, 7, 8, 9, 10, 11, 12, 13}) {
        EXPECT_TRUE(subtypes.count(s)) << "subtype " << s;
    }

    audio_device device(set);
    for (const interface_info &i : device.interfaces()) {
        for (const endpoint_info &ep : i.endpoints) {
            EXPECT_NE(ep.address, uac2_ids::feedback_ep) << "implicit feedback has no feedback endpoint";
            if (ep.address == uac2_ids::capture_data_ep) {
                EXPECT_EQ(ep.attributes & 0x30, 0x20);
                EXPECT_EQ(ep.interval, 4);
            }
        }
    }
}

TEST(Uac1DescriptorBuilder, FullSpeedDeviceWithSyncEndpointAndRateList)
{
    uac1_options o;
    o.rates = {32000, 44100, 48000};
    o.fu_control_size = 2;
    o.processing_unit = true;
    device_descriptors set = build_uac1_device(o);
    EXPECT_EQ(set.speed, usb_speed::full);
    ASSERT_TRUE(walks_cleanly(set.configuration));
    auto *cfg = config_of(set);
    auto *as = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, 1, 2, -1);
    ASSERT_NE(as, nullptr);
    EXPECT_EQ(as->bNumEndpoints, 2);
    auto *p = reinterpret_cast<const std::uint8_t *>(as);
    auto *format = reinterpret_cast<const std::uint8_t *>(
        USBD_ParseDescriptors(cfg, cfg->wTotalLength, const_cast<std::uint8_t *>(p + 9 + 7), 0x24));
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format[2], 2);
    EXPECT_EQ(format[7], 3);
    EXPECT_EQ(format[11] | format[12] << 8 | format[13] << 16, 44100);
    auto *ep = reinterpret_cast<const std::uint8_t *>(
        USBD_ParseDescriptors(cfg, cfg->wTotalLength, const_cast<std::uint8_t *>(p), USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(ep[0], 9);
    EXPECT_EQ(ep[8], uac1_ids::sync_ep);
    EXPECT_EQ(ep[4] | ep[5] << 8, (49 * 4));
}

TEST(DescriptorStrings, EncodeUtf16LittleEndianExplicitly)
{
    const auto s = encode_string_descriptor(u"A\u00e9\u20ac");
    EXPECT_EQ(s, (std::vector<std::uint8_t>{8, 3, 'A', 0, 0xE9, 0, 0xAC, 0x20}));
    EXPECT_EQ(encode_language_ids({0x0409}), (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    const std::u16string longest(200, u'x');
    EXPECT_EQ(encode_string_descriptor(longest).size(), 254u);
}

TEST(Malformations, EditsStayInsideTheBufferAndUsbdWalkStops)
{
    for (malformation m : {malformation::no_ac_header, malformation::header_total_past_interface,
                           malformation::zero_length_entity, malformation::truncated_entity,
                           malformation::fu_control_size_zero, malformation::output_terminal_source_dangling,
                           malformation::selector_cycle, malformation::as_interface_gap,
                           malformation::alternate_gap, malformation::data_interval_16,
                           malformation::device_descriptor_17}) {
        SCOPED_TRACE(static_cast<int>(m));
        uac2_options o;
        o.extra_units = {5};
        device_descriptors set = apply_malformation(build_uac2_device(o), m);
        auto *cfg = config_of(set);
        EXPECT_EQ(cfg->wTotalLength, set.configuration.size());
        // The walk never fails hard; a device model built from the bytes answers requests.
        std::size_t count = 0;
        PVOID start = cfg;
        while (auto *d = USBD_ParseDescriptors(cfg, cfg->wTotalLength, start, -1)) {
            ++count;
            start = reinterpret_cast<PUCHAR>(d) + d->bLength;
            if (static_cast<PUCHAR>(start) >= set.configuration.data() + set.configuration.size()) {
                break;
            }
        }
        EXPECT_GT(count, 0u);
        audio_device device(set);
        EXPECT_FALSE(device.interfaces().empty());
    }
    device_descriptors gap = apply_malformation(build_uac2_device({}), malformation::alternate_gap);
    EXPECT_EQ(interface_alts(gap).count({1, 4}), 1u);
    EXPECT_EQ(interface_alts(gap).count({1, 3}), 0u);
    device_descriptors zero = apply_malformation(build_uac2_device({}), malformation::zero_length_entity);
    auto *cfg = config_of(zero);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 0, -1, -1, -1), nullptr)
        << "the walk stops at bLength 0 before the streaming interfaces";
    EXPECT_EQ(apply_malformation(build_uac2_device({}), malformation::device_descriptor_17).device.size(), 17u);
}

} // namespace

namespace {

using namespace sim;

// Every alternate of every malformed set streams a while without reading or writing outside
// the buffers it is given (run under the sanitizers).
TEST(Malformations, StreamingOnMalformedSetsStaysInsideItsBuffers)
{
    for (int kind = 0; kind <= static_cast<int>(malformation::device_descriptor_17); ++kind) {
        SCOPED_TRACE(kind);
        uac2_options o;
        o.extra_units = {5, 8};
        o.clock_selector = true;
        audio_device_options options;
        options.capture = kind % 2 == 0 ? capture_source::loopback : capture_source::pattern;
        audio_device d(apply_malformation(build_uac2_device(o), static_cast<malformation>(kind)), options);
        std::vector<std::uint8_t> none;
        d.handle_control({0x00, 0x09, 1, 0, 0}, none);
        std::uint64_t m = 1;
        for (const interface_info &i : d.interfaces()) {
            d.handle_control({0x01, 0x0B, i.alternate_setting, i.number, 0}, none);
            for (int step = 0; step < 40; ++step, ++m) {
                for (const endpoint_info &ep : i.endpoints) {
                    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(step % 7) * 3);
                    if (ep.is_in()) {
                        const iso_in_result r = d.iso_in(ep.address, m, buffer);
                        EXPECT_LE(r.length, buffer.size());
                    } else {
                        std::vector<std::uint8_t> packet(static_cast<std::size_t>(step) * 5, 0x11);
                        d.iso_out(ep.address, m, packet);
                    }
                }
            }
        }
        std::vector<std::uint8_t> answer(64);
        for (std::uint16_t entity : {0, 1, 2, 10, 20, 0x28, 0x30, 50, 51}) {
            for (std::uint16_t cs : {0x0100, 0x0200, 0x0201}) {
                EXPECT_LE(d.handle_control({0xA1, 1, cs, static_cast<std::uint16_t>(entity << 8), 64}, answer).length, 64u);
                EXPECT_LE(d.handle_control({0xA1, 2, cs, static_cast<std::uint16_t>(entity << 8), 3}, answer).length, 3u);
            }
        }
    }
}

} // namespace

namespace {

// Every variety walks cleanly to wTotalLength and counts its interfaces in bNumInterfaces.
TEST(DeviceVarieties, EveryVarietyIsWellFormed)
{
    for (device_variety &v : device_varieties()) {
        SCOPED_TRACE(v.name);
        EXPECT_TRUE(walks_cleanly(v.descriptors.configuration));
        std::set<int> numbers;
        for (const auto &[number, alternate] : interface_alts(v.descriptors)) {
            numbers.insert(number);
        }
        EXPECT_EQ(numbers.size(), config_of(v.descriptors)->bNumInterfaces);
    }
}

} // namespace
