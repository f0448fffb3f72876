// The filter descriptor of each default simulated device checked whole: every pin with its
// data ranges and attribute entry, every node with its type, unit and automation, and every
// connection, before and after a current rate narrows the ranges.
#include "UsbAudioTestFixture.h"
#include <platform/kernel_version.h>
#include <sim/audio_device.h>
#include "FilterTopologyCheck.h"
#include "USBAudioFilter.h"
#include "USBAudioTerminal.h"

namespace usbaudio_test {
namespace {

struct expected_range {
    ULONG channels;
    ULONG bits;
};

struct expected_pin {
    UCHAR terminal;
    KSPIN_DATAFLOW flow;
    const GUID *category;
    bool streaming;                     // a USB-streaming sink; else a bridge pin
    std::vector<expected_range> ranges; // streaming pins only
};

struct expected_node {
    const GUID *type;
    UCHAR unit; // 0 for the converters
};

struct connection {
    ULONG from_node, from_pin, to_node, to_pin;
    bool operator==(const connection &o) const = default;
};

struct expected_filter {
    const char *name;
    sim::device_descriptors descriptors;
    std::vector<std::uint32_t> clock_rates;
    ULONG lowest_rate;
    ULONG highest_rate;
    std::vector<expected_pin> pins;
    std::vector<expected_node> nodes;
    std::vector<connection> connections;
};

constexpr ULONG F = PCFILTER_NODE;

// Both generations' default devices share one shape: render IT -> FU -> speaker OT, then
// microphone IT -> FU -> capture OT, each unit with mute and volume. Pins are numbered in
// entity order, the converters come first among the nodes, and the capture path's
// connections precede the render path's.
std::vector<expected_pin> duplex_pins(UCHAR renderIn, UCHAR speaker, UCHAR mic, UCHAR captureOut,
                                      std::vector<expected_range> renderRanges,
                                      std::vector<expected_range> captureRanges)
{
    return {
        {renderIn, KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, true, std::move(renderRanges)},
        {speaker, KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER, false, {}},
        {mic, KSPIN_DATAFLOW_IN, &KSNODETYPE_MICROPHONE, false, {}},
        {captureOut, KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, true, std::move(captureRanges)},
    };
}

std::vector<expected_node> duplex_nodes(UCHAR renderUnit, UCHAR captureUnit)
{
    return {{&KSNODETYPE_ADC, 0},           {&KSNODETYPE_DAC, 0},
            {&KSNODETYPE_MUTE, renderUnit}, {&KSNODETYPE_VOLUME, renderUnit},
            {&KSNODETYPE_MUTE, captureUnit}, {&KSNODETYPE_VOLUME, captureUnit}};
}

// microphone, ADC, capture volume, capture mute, capture pin; render pin, render volume,
// render mute, DAC, speaker.
const std::vector<connection> DUPLEX_CONNECTIONS = {
    {F, 2, 0, 1}, {0, 0, 5, 1}, {5, 0, 4, 1}, {4, 0, F, 3},
    {F, 0, 3, 1}, {3, 0, 2, 1}, {2, 0, 1, 1}, {1, 0, F, 1},
};

std::vector<expected_filter> default_devices()
{
    using namespace sim;
    const std::vector<expected_range> async = {{2, 16}, {2, 24}, {8, 24}};
    return {
        {"asynchronous class 2 (3A51/0102)", build_uac2_device({}), audio_device_options{}.clock_rates, 44100, 192000,
         duplex_pins(uac2_ids::render_usb_in, uac2_ids::speaker_out, uac2_ids::mic_in, uac2_ids::capture_usb_out,
                     async, async),
         duplex_nodes(uac2_ids::render_fu, uac2_ids::capture_fu), DUPLEX_CONNECTIONS},
        {"standard class 1 (3A51/0201)", build_uac1_device(standard_uac1_options()), {}, 44100, 48000,
         duplex_pins(uac1_ids::render_usb_in, uac1_ids::speaker_out, uac1_ids::mic_in, uac1_ids::capture_usb_out,
                     {{2, 16}}, {{2, 16}}),
         duplex_nodes(uac1_ids::render_fu, uac1_ids::capture_fu), DUPLEX_CONNECTIONS},
        {"standard class 2 (3A51/0202)", build_uac2_device(standard_uac2_options(1)), {44100, 48000}, 44100, 48000,
         duplex_pins(uac2_ids::render_usb_in, uac2_ids::speaker_out, uac2_ids::mic_in, uac2_ids::capture_usb_out,
                     {{2, 16}}, {{2, 16}}),
         duplex_nodes(uac2_ids::render_fu, uac2_ids::capture_fu), DUPLEX_CONNECTIONS},
    };
}

class DefaultFilterTest : public UsbAudioTest {
protected:
    void SetUp() override
    {
        UsbAudioTest::SetUp();
        platform::set_ntddi_version(platform::default_ntddi_version);
    }

    NTSTATUS start_model(const expected_filter &device)
    {
        sim::audio_device_options options;
        if (!device.clock_rates.empty()) {
            options.clock_rates = device.clock_rates;
        }
        model = std::make_unique<sim::audio_device>(device.descriptors, options);
        make_device(device.descriptors.configuration, model->speed() == sim::usb_speed::high,
                    device.descriptors.device);
        lower->attach(model.get());
        NTSTATUS status = audio->Start(lower->pdo(), USB_AUDIO_IRP_COUNT);
        return NT_SUCCESS(status) ? audio->Configure() : status;
    }

    const USBAUDIO_PIN_ELEMENT &pin(ULONG i) const
    {
        return *reinterpret_cast<const USBAUDIO_PIN_ELEMENT *>(reinterpret_cast<const char *>(filter.Pins) +
                                                                i * filter.PinSize);
    }
    const USBAUDIO_NODE_ELEMENT &node(ULONG i) const
    {
        return *reinterpret_cast<const USBAUDIO_NODE_ELEMENT *>(reinterpret_cast<const char *>(filter.Nodes) +
                                                                 i * filter.NodeSize);
    }

    void expect_ranges(const KSPIN_DESCRIPTOR &ks, const std::vector<expected_range> &ranges, ULONG lowest,
                       ULONG highest) const
    {
        ASSERT_EQ(ks.DataRangesCount, ranges.size() + 1); // and the attribute list
        for (ULONG i = 0; i < ranges.size(); ++i) {
            SCOPED_TRACE(i);
            auto r = reinterpret_cast<const KSDATARANGE_AUDIO *>(ks.DataRanges[i]);
            EXPECT_EQ(r->DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
            EXPECT_EQ(r->DataRange.Flags, i + 1 == ranges.size() ? ULONG(KSDATARANGE_ATTRIBUTES) : 0u);
            EXPECT_EQ(r->DataRange.SampleSize, 0u);
            EXPECT_EQ(r->DataRange.Reserved, 0u);
            EXPECT_EQ(r->DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
            EXPECT_EQ(r->DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
            EXPECT_EQ(r->DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
            EXPECT_EQ(r->MaximumChannels, ranges[i].channels);
            EXPECT_EQ(r->MinimumBitsPerSample, ranges[i].bits);
            EXPECT_EQ(r->MaximumBitsPerSample, ranges[i].bits);
            EXPECT_EQ(r->MinimumSampleFrequency, lowest);
            EXPECT_EQ(r->MaximumSampleFrequency, highest);
        }
        auto list = reinterpret_cast<const KSMULTIPLE_ITEM *>(ks.DataRanges[ranges.size()]);
        EXPECT_EQ(list->Size, sizeof(KSMULTIPLE_ITEM) + sizeof(KSATTRIBUTE));
        EXPECT_EQ(list->Count, 1u);
        auto attribute = reinterpret_cast<const KSATTRIBUTE *>(list + 1);
        EXPECT_EQ(attribute->Size, sizeof(KSATTRIBUTE));
        EXPECT_EQ(attribute->Flags, 0u);
        EXPECT_EQ(attribute->Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE);
    }

    void expect_whole(const expected_filter &e, ULONG lowest, ULONG highest) const
    {
        EXPECT_EQ(filter.Version, 0u);
        EXPECT_EQ(filter.AutomationTable, &filter_table);
        EXPECT_EQ(filter.PinSize, sizeof(USBAUDIO_PIN_ELEMENT));
        EXPECT_EQ(filter.NodeSize, sizeof(USBAUDIO_NODE_ELEMENT));
        EXPECT_EQ(filter.CategoryCount, 0u);
        EXPECT_EQ(filter.Categories, nullptr);

        ASSERT_EQ(filter.PinCount, e.pins.size());
        for (ULONG i = 0; i < e.pins.size(); ++i) {
            SCOPED_TRACE("pin " + std::to_string(i));
            const expected_pin &want = e.pins[i];
            const USBAUDIO_PIN_ELEMENT &p = pin(i);
            const KSPIN_DESCRIPTOR &ks = p.Descriptor.KsPinDescriptor;
            ASSERT_NE(p.Terminal, nullptr);
            EXPECT_EQ(p.Terminal->GetID(), want.terminal);
            EXPECT_EQ(p.Index, i);
            EXPECT_FALSE(p.IsNode);
            EXPECT_EQ(p.Path, (want.flow == KSPIN_DATAFLOW_IN) == want.streaming ? USBAUDIO_PATH_RENDER
                                                                                 : USBAUDIO_PATH_CAPTURE);
            EXPECT_EQ(p.Descriptor.MaxGlobalInstanceCount, want.streaming ? 1u : 0u);
            EXPECT_EQ(p.Descriptor.MaxFilterInstanceCount, want.streaming ? 1u : 0u);
            EXPECT_EQ(p.Descriptor.MinFilterInstanceCount, 0u);
            EXPECT_EQ(p.Descriptor.AutomationTable, nullptr);
            EXPECT_EQ(ks.InterfacesCount, 0u);
            EXPECT_EQ(ks.Interfaces, nullptr);
            EXPECT_EQ(ks.MediumsCount, 0u);
            EXPECT_EQ(ks.Mediums, nullptr);
            EXPECT_EQ(ks.Name, nullptr);
            EXPECT_EQ(ks.DataFlow, want.flow);
            EXPECT_EQ(ks.Communication, want.streaming ? KSPIN_COMMUNICATION_SINK : KSPIN_COMMUNICATION_BRIDGE);
            ASSERT_NE(ks.Category, nullptr);
            EXPECT_EQ(*ks.Category, *want.category);
            if (want.streaming) {
                USB_STREAMING_INTERFACE *record = audio->GetRecord(want.flow == KSPIN_DATAFLOW_OUT ? 1 : 0);
                ASSERT_NE(record, nullptr);
                EXPECT_EQ(ks.DataRanges, record->DataRangeEntries);
                expect_ranges(ks, want.ranges, lowest, highest);
            } else {
                ASSERT_EQ(ks.DataRangesCount, 1u);
                const KSDATARANGE &bridge = *ks.DataRanges[0];
                EXPECT_EQ(bridge.FormatSize, sizeof(KSDATARANGE));
                EXPECT_EQ(bridge.Flags, 0u);
                EXPECT_EQ(bridge.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
                EXPECT_EQ(bridge.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
                EXPECT_EQ(bridge.Specifier, KSDATAFORMAT_SPECIFIER_NONE);
            }
        }

        ASSERT_EQ(filter.NodeCount, e.nodes.size());
        for (ULONG i = 0; i < e.nodes.size(); ++i) {
            SCOPED_TRACE("node " + std::to_string(i));
            const USBAUDIO_NODE_ELEMENT &n = node(i);
            ASSERT_NE(n.Descriptor.Type, nullptr);
            EXPECT_EQ(*n.Descriptor.Type, *e.nodes[i].type);
            EXPECT_EQ(n.Descriptor.Name, nullptr);
            EXPECT_EQ(n.Descriptor.Flags, 0u);
            EXPECT_EQ(n.Entity == nullptr ? 0 : n.Entity->GetID(), e.nodes[i].unit);
            EXPECT_EQ(n.Index, i);
            EXPECT_TRUE(n.IsNode);
            EXPECT_NE(n.Path, USBAUDIO_PATH_NONE);
            const PCAUTOMATION_TABLE *table = *e.nodes[i].type == KSNODETYPE_MUTE     ? &mute_table
                                              : *e.nodes[i].type == KSNODETYPE_VOLUME ? &volume_table
                                                                                      : nullptr;
            EXPECT_EQ(n.Descriptor.AutomationTable, table);
        }

        std::vector<connection> got;
        for (ULONG i = 0; i < filter.ConnectionCount; ++i) {
            const PCCONNECTION_DESCRIPTOR &c = filter.Connections[i];
            got.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        EXPECT_EQ(got, e.connections);
        std::string why;
        EXPECT_TRUE(check_filter_topology(filter, &why)) << why;
    }

    static constexpr PCAUTOMATION_TABLE volume_table = {};
    static constexpr PCAUTOMATION_TABLE mute_table = {};
    static constexpr PCAUTOMATION_TABLE filter_table = {};
    USBAUDIO_FILTER_AUTOMATION automation = {&filter_table, &volume_table, &mute_table};
    PCFILTER_DESCRIPTOR filter = {};
    std::unique_ptr<sim::audio_device> model;
};

TEST_F(DefaultFilterTest, EachDefaultDeviceGivesItsWholeFilter)
{
    for (const expected_filter &device : default_devices()) {
        SCOPED_TRACE(device.name);
        ASSERT_EQ(start_model(device), STATUS_SUCCESS);
        ASSERT_EQ(audio->BuildFilter(&filter, &automation), STATUS_SUCCESS);
        expect_whole(device, device.lowest_rate, device.highest_rate);
        audio->FreeFilter(&filter);

        // A current rate narrows every range to itself and changes nothing else.
        audio->SetSampleRate(48000);
        ASSERT_EQ(audio->m_CurrentSampleRate, 48000u);
        ASSERT_EQ(audio->BuildFilter(&filter, &automation), STATUS_SUCCESS);
        expect_whole(device, 48000, 48000);
        audio->FreeFilter(&filter);
        EXPECT_EQ(filter.Pins, nullptr);
        EXPECT_EQ(filter.Nodes, nullptr);
        EXPECT_EQ(filter.Connections, nullptr);

        audio.reset();
        lower.reset();
        model.reset();
        EXPECT_EQ(platform::pool_outstanding_blocks(USBAUDIO_TAG), 0u);
    }
}

} // namespace
} // namespace usbaudio_test
