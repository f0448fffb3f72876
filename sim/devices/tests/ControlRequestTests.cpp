// Control requests of the device model: standard requests with wLength truncation, class
// requests of both audio classes, vendor mode, replayed answers and injected stalls.
#include "device_test_helpers.h"

#include <gtest/gtest.h>

namespace {

using namespace sim;
using namespace sim::test;

constexpr std::uint16_t clock_index = uac2_ids::render_clock << 8 | 0;

TEST(StandardRequests, GetDescriptorAnswersMinOfWLengthSpaceAndRealLength)
{
    device_descriptors set = build_uac2_device({});
    audio_device d(set);
    const std::size_t total = set.configuration.size();
    struct row { std::uint16_t value, length; std::size_t space, expected; };
    for (const row r : {row{0x0100, 18, 0, 18}, row{0x0100, 64, 0, 18}, row{0x0100, 8, 0, 8},
                        row{0x0200, 9, 0, 9}, row{0x0200, 0xFFFF, 0, total},
                        row{0x0200, 0xFFFF, 100, 100}, row{0x0300, 4, 0, 4},
                        row{0x0300, 255, 0, 4}, row{0x0302, 2, 0, 2}}) {
        SCOPED_TRACE(testing::Message() << std::hex << r.value << " wLength " << std::dec << r.length);
        const reply a = get(d, 0x80, 6, r.value, 0, r.length, r.space);
        ASSERT_FALSE(a.stall);
        EXPECT_EQ(a.data.size(), r.expected);
    }
    EXPECT_EQ(get(d, 0x80, 6, 0x0100, 0, 18).data, set.device);
    EXPECT_EQ(get(d, 0x80, 6, 0x0300, 0, 4).data, (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_TRUE(get(d, 0x80, 6, 0x0309, 0, 255).stall) << "no string 9";
    EXPECT_TRUE(get(d, 0x80, 6, 0x0600, 0, 10).stall) << "no device qualifier";
    EXPECT_TRUE(get(d, 0x80, 0x33, 0, 0, 2).stall) << "unknown standard request";
}

TEST(StandardRequests, ConfigurationAndInterfaceBookkeeping)
{
    audio_device d(build_uac2_device({}));
    EXPECT_TRUE(set(d, 0x01, 0x0B, 1, 1, {}) == false) << "SET_INTERFACE before configuration stalls";
    EXPECT_FALSE(set(d, 0x00, 0x09, 2, 0, {})) << "no configuration 2";
    ASSERT_TRUE(configure(d, {{1, 2}, {2, 3}}));
    EXPECT_EQ(d.configuration_value(), 1);
    EXPECT_EQ(d.current_alternate(1), 2);
    EXPECT_EQ(get(d, 0x81, 0x0A, 0, 2, 1).data, (std::vector<std::uint8_t>{3}));
    EXPECT_FALSE(set(d, 0x01, 0x0B, 4, 1, {})) << "alt 4 does not exist";
    EXPECT_EQ(d.current_alternate(1), 2);
    ASSERT_TRUE(d.find_endpoint(uac2_ids::render_data_ep).has_value());
    EXPECT_EQ(d.find_endpoint(uac2_ids::render_data_ep)->alternate_setting, 2);
    ASSERT_TRUE(set(d, 0x01, 0x0B, 0, 1, {}));
    EXPECT_FALSE(d.find_endpoint(uac2_ids::render_data_ep).has_value()) << "alt 0 has no endpoints";

    d.halt_endpoint(0x82);
    EXPECT_EQ(get(d, 0x82, 0, 0, 0x82, 2).data, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_TRUE(set(d, 0x02, 0x01, 0, 0x82, {}));
    EXPECT_EQ(get(d, 0x82, 0, 0, 0x82, 2).data, (std::vector<std::uint8_t>{0, 0}));
}

TEST(Uac2ClassRequests, SampleRateCurRangeAndValidity)
{
    audio_device_options options;
    options.clock_valid_after_ms = 5;
    audio_device d(build_uac2_device({}), options);
    EXPECT_EQ(read_le(get(d, 0xA1, 1, 0x0100, clock_index, 4).data, 0, 4), 48000u);

    const reply first = get(d, 0xA1, 2, 0x0100, clock_index, 16);
    ASSERT_FALSE(first.stall);
    EXPECT_EQ(first.data.size(), 16u);
    const std::uint32_t n = read_le(first.data, 0, 2);
    EXPECT_EQ(n, 6u);
    const reply all = get(d, 0xA1, 2, 0x0100, clock_index, static_cast<std::uint16_t>(2 + 12 * n));
    EXPECT_EQ(all.data.size(), 2 + 12 * n);
    EXPECT_EQ(read_le(all.data, 2 + 12 * 5, 4), 192000u);
    EXPECT_EQ(get(d, 0xA1, 2, 0x0100, clock_index, 2).data.size(), 2u);

    d.advance(1000);
    ASSERT_TRUE(set(d, 0x21, 1, 0x0100, clock_index, le(44100, 4)));
    EXPECT_EQ(d.clock_rate(uac2_ids::render_clock), 44100u);
    EXPECT_FALSE(set(d, 0x21, 1, 0x0100, clock_index, le(44000, 4))) << "unsupported rate";
    EXPECT_FALSE(set(d, 0x21, 1, 0x0100, clock_index, le(44100, 2))) << "short data";
    EXPECT_EQ(get(d, 0xA1, 1, 0x0200, clock_index, 1).data, (std::vector<std::uint8_t>{0}));
    d.advance(1000 + 5 * 8 - 1);
    EXPECT_EQ(get(d, 0xA1, 1, 0x0200, clock_index, 1).data, (std::vector<std::uint8_t>{0}));
    d.advance(1000 + 5 * 8);
    EXPECT_EQ(get(d, 0xA1, 1, 0x0200, clock_index, 1).data, (std::vector<std::uint8_t>{1}));
    EXPECT_TRUE(set(d, 0x21, 1, 0x0200, clock_index, {1}) == false) << "validity is read-only";
    EXPECT_TRUE(get(d, 0xA1, 1, 0x0300, clock_index, 4).stall) << "no such control";
    EXPECT_TRUE(get(d, 0xA1, 1, 0x0100, 0x77 << 8, 4).stall) << "no such entity";
    EXPECT_TRUE(get(d, 0xA1, 1, 0x0100, clock_index | 1, 4).stall) << "wrong interface";
}

TEST(Uac2ClassRequests, ClockSelectorPinsAndOutOfRangeAnswer)
{
    uac2_options o;
    o.clock_selector = true;
    o.selector_pins = 2;
    audio_device d(build_uac2_device(o));
    const std::uint16_t selector = uac2_ids::clock_selector << 8;
    EXPECT_EQ(get(d, 0xA1, 1, 0x0100, selector, 1).data, (std::vector<std::uint8_t>{1}));
    ASSERT_TRUE(set(d, 0x21, 1, 0x0100, selector, {2}));
    EXPECT_EQ(get(d, 0xA1, 1, 0x0100, selector, 1).data, (std::vector<std::uint8_t>{2}));
    EXPECT_FALSE(set(d, 0x21, 1, 0x0100, selector, {3}));
    EXPECT_FALSE(set(d, 0x21, 1, 0x0100, selector, {0}));

    // Streaming follows the clock behind the selected pin.
    ASSERT_TRUE(set(d, 0x21, 1, 0x0100, (uac2_ids::selector_pin_clock << 8), le(96000, 4)));
    EXPECT_EQ(d.stream_rate(1), 96000u);
    ASSERT_TRUE(set(d, 0x21, 1, 0x0100, selector, {1}));
    EXPECT_EQ(d.stream_rate(1), 48000u);

    audio_device_options bad;
    bad.selector_answer = 7;
    audio_device liar(build_uac2_device(o), bad);
    EXPECT_EQ(get(liar, 0xA1, 1, 0x0100, selector, 1).data, (std::vector<std::uint8_t>{7}));
}

TEST(Uac2ClassRequests, FeatureUnitMuteVolumeAndConnector)
{
    uac2_options o;
    o.mute_writable = false;
    audio_device d(build_uac2_device(o));
    const std::uint16_t fu = uac2_ids::render_fu << 8;
    EXPECT_EQ(get(d, 0xA1, 1, 0x0101, fu, 1).data, (std::vector<std::uint8_t>{0}));
    EXPECT_FALSE(set(d, 0x21, 1, 0x0101, fu, {1})) << "mute is read-only";
    ASSERT_TRUE(set(d, 0x21, 1, 0x0202, fu, le(0xF600, 2)));
    EXPECT_EQ(read_le(get(d, 0xA1, 1, 0x0202, fu, 2).data, 0, 2), 0xF600u);
    EXPECT_EQ(read_le(get(d, 0xA1, 1, 0x0201, fu, 2).data, 0, 2), 0u) << "per channel";
    const reply range = get(d, 0xA1, 2, 0x0200, fu, 8);
    EXPECT_EQ(range.data, (std::vector<std::uint8_t>{1, 0, 0x00, 0x9C, 0, 0, 0x00, 0x01}));
    EXPECT_TRUE(get(d, 0xA1, 1, 0x0209, fu, 2).stall) << "channel 9 of 8";
    EXPECT_TRUE(get(d, 0xA1, 2, 0x0100, fu, 8).stall) << "mute has no range";

    const std::uint16_t it = uac2_ids::render_usb_in << 8;
    EXPECT_EQ(get(d, 0xA1, 1, 0x0200, it, 6).data, (std::vector<std::uint8_t>{8, 0xFF, 0, 0, 0, 0}));
    d.set_connector(uac2_ids::render_usb_in, false);
    EXPECT_EQ(get(d, 0xA1, 1, 0x0200, it, 6).data.at(0), 0);
    EXPECT_EQ(get(d, 0xA1, 1, 0x0200, uac2_ids::speaker_out << 8, 1).data, (std::vector<std::uint8_t>{8}));
}

TEST(Uac1ClassRequests, FeatureUnitAndEndpointSamplingFrequency)
{
    audio_device d(build_uac1_device(standard_uac1_options()));
    const std::uint16_t fu = uac1_ids::render_fu << 8;
    EXPECT_EQ(read_le(get(d, 0xA1, 0x82, 0x0200, fu, 2).data, 0, 2), 0x9C00u);
    EXPECT_EQ(read_le(get(d, 0xA1, 0x83, 0x0200, fu, 2).data, 0, 2), 0u);
    EXPECT_EQ(read_le(get(d, 0xA1, 0x84, 0x0200, fu, 2).data, 0, 2), 0x0100u);
    ASSERT_TRUE(set(d, 0x21, 0x01, 0x0100, fu, {1}));
    EXPECT_EQ(get(d, 0xA1, 0x81, 0x0100, fu, 1).data, (std::vector<std::uint8_t>{1}));
    EXPECT_TRUE(get(d, 0xA1, 0x82, 0x0100, fu, 1).stall) << "mute has no minimum";

    ASSERT_TRUE(set(d, 0x22, 0x01, 0x0100, uac1_ids::render_data_ep, le(44100, 3)));
    EXPECT_EQ(read_le(get(d, 0xA2, 0x81, 0x0100, uac1_ids::render_data_ep, 3).data, 0, 3), 44100u);
    EXPECT_EQ(d.stream_rate(1), 44100u);
    EXPECT_FALSE(set(d, 0x22, 0x01, 0x0100, uac1_ids::render_data_ep, le(96000, 3)));
    EXPECT_FALSE(set(d, 0x22, 0x01, 0x0100, uac1_ids::capture_data_ep, le(44100, 3)))
        << "capture endpoint has no sampling-frequency control";
    d.set_endpoint_rate(uac1_ids::capture_data_ep, 44100);
    EXPECT_EQ(read_le(get(d, 0xA2, 0x81, 0x0100, uac1_ids::capture_data_ep, 3).data, 0, 3), 44100u)
        << "GET_CUR answers without the control";
}

TEST(VendorAndReplay, VendorModeStallRulesAndCannedAnswers)
{
    uac2_options o;
    audio_device_options options;
    options.vendor_mode_stall_interfaces = {2};
    options.answers.push_back({0xA1, 2, 0x0100, clock_index, {1, 0, 0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0}});
    audio_device d(build_uac2_device(o), options);
    EXPECT_TRUE(set(d, 0x41, 0, 1, 1, {}));
    EXPECT_EQ(d.vendor_mode(1), 1);
    EXPECT_FALSE(set(d, 0x41, 0, 1, 2, {}));
    EXPECT_FALSE(set(d, 0x41, 0, 1, 0, {})) << "the control interface has no mode";
    EXPECT_EQ(get(d, 0xA1, 2, 0x0100, clock_index, 64).data.size(), 14u);

    d.add_stall({std::uint8_t{0x80}, std::uint8_t{6}, std::uint16_t{0x0300}, {}, {}, 1});
    d.add_stall({{}, {}, std::uint16_t{0x0100}, uac2_ids::render_clock, {}, -1});
    EXPECT_TRUE(get(d, 0x80, 6, 0x0300, 0, 4).stall);
    EXPECT_FALSE(get(d, 0x80, 6, 0x0300, 0, 4).stall) << "the rule was for one request";
    EXPECT_TRUE(get(d, 0xA1, 1, 0x0100, clock_index, 4).stall);
    EXPECT_TRUE(get(d, 0xA1, 1, 0x0100, clock_index, 4).stall);
    EXPECT_FALSE(get(d, 0xA1, 1, 0x0200, clock_index, 1).stall);
    EXPECT_EQ(d.counters().stalls, 5u);
    d.clear_stalls();
    EXPECT_FALSE(get(d, 0xA1, 1, 0x0100, clock_index, 4).stall);
    d.surprise_remove();
    EXPECT_FALSE(d.connected());
    EXPECT_TRUE(get(d, 0x80, 6, 0x0100, 0, 18).stall);
}

TEST(StandardRequests, ShortConfigurationReadOption)
{
    audio_device_options options;
    options.configuration_read_limit = 20;
    audio_device d(build_uac2_device({}), options);
    EXPECT_EQ(get(d, 0x80, 6, 0x0200, 0, 9).data.size(), 9u);
    EXPECT_EQ(get(d, 0x80, 6, 0x0200, 0, 400).data.size(), 20u);
}

} // namespace

namespace {

using namespace sim;
using namespace sim::test;

TEST(Uac1ClassRequests, ContinuousRangeAcceptsRatesInsideOnly)
{
    uac1_options o;
    o.continuous_rates = true;
    o.rates = {8000, 96000};
    audio_device d(build_uac1_device(o));
    EXPECT_TRUE(set(d, 0x22, 0x01, 0x0100, uac1_ids::render_data_ep, le(44100, 3)));
    EXPECT_TRUE(set(d, 0x22, 0x01, 0x0100, uac1_ids::render_data_ep, le(8000, 3)));
    EXPECT_FALSE(set(d, 0x22, 0x01, 0x0100, uac1_ids::render_data_ep, le(96001, 3)));
    EXPECT_EQ(d.stream_rate(1), 8000u);
}

TEST(RawDescriptors, ReplayedSetAnswersFromItsBytesAndTable)
{
    // A device known only by its bytes: the builder's output stands in for a capture of a
    // real device, with a clock that answers RANGE from the table.
    const device_descriptors built = build_uac2_device({});
    device_descriptors raw;
    raw.device = built.device;
    raw.configuration = built.configuration;
    raw.strings[0] = {4, 3, 0x09, 0x04};
    audio_device_options options;
    options.answers.push_back({0xA1, 2, 0x0100, uac2_ids::render_clock << 8, {1, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0}});
    audio_device d(raw, options);
    EXPECT_EQ(get(d, 0xA1, 2, 0x0100, uac2_ids::render_clock << 8, 2).data, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_TRUE(get(d, 0x80, 6, 0x0301, 0, 255).stall) << "the replayed set has no string 1";
    EXPECT_FALSE(get(d, 0xA1, 1, 0x0100, uac2_ids::render_clock << 8, 4).stall) << "CUR still comes from the model";
}

} // namespace

namespace {

// Class requests reach the entities of the AudioControl interface the IAD names, whatever its
// number and whatever interfaces of that subclass follow the audio function.
TEST(Uac2ClassRequests, ControlInterfaceIsTheOneTheIadNames)
{
    struct row {
        const char *label;
        uac2_options o;
        std::uint8_t control;
    };
    uac2_options vendor_after;
    vendor_after.extra_interface = true;
    vendor_after.extra_interface_subclass = 0x01;
    uac2_options numbered_two;
    numbered_two.ac_interface = 2;
    for (const row &r : {row{"vendor interface after the audio function", vendor_after, 0},
                         row{"control interface 2", numbered_two, 2}}) {
        SCOPED_TRACE(r.label);
        audio_device d(build_uac2_device(r.o));
        EXPECT_EQ(get(d, 0xA1, 1, 0x0100, uac2_ids::render_clock << 8 | r.control, 4).data.size(), 4u);
        const std::uint8_t other = r.control == 0 ? 3 : 0;
        EXPECT_TRUE(get(d, 0xA1, 1, 0x0100, uac2_ids::render_clock << 8 | other, 4).stall);
    }
}

} // namespace
