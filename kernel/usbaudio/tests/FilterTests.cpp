// Data ranges and the filter descriptor: ranges per alternate with and without a current rate,
// the signal-processing attribute, skipped alternates, the pins, nodes and connections of the
// standard layouts and of a path with two bridge pins, and hostile unit topologies (cycles,
// self-loops, dangling sources, deep chains) that must still give finite chains.
#include "UsbAudioTestFixture.h"
#include <platform/kernel_version.h>
#include "FilterTopologyCheck.h"
#include "USBAudioFilter.h"
#include "USBAudioTerminal.h"

namespace usbaudio_test {
namespace {

struct connection {
    ULONG from_node, from_pin, to_node, to_pin;
    bool operator==(const connection &o) const = default;
};

class FilterTest : public UsbAudioTest {
protected:
    void SetUp() override
    {
        UsbAudioTest::SetUp();
        platform::set_ntddi_version(platform::default_ntddi_version);
    }
    void TearDown() override
    {
        if (built) {
            audio->FreeFilter(&filter);
            EXPECT_EQ(filter.Pins, nullptr);
            EXPECT_EQ(filter.PinCount, 0u);
        }
        platform::set_ntddi_version(platform::default_ntddi_version);
        UsbAudioTest::TearDown();
    }
    void start_uac2()
    {
        start_configured(uac2_config(), true);
        clock_answers(0x28, 48000, {{44100, 192000, 0}});
    }
    void build()
    {
        ASSERT_EQ(audio->BuildFilter(&filter, &automation), STATUS_SUCCESS);
        built = true;
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
    std::vector<connection> connections() const
    {
        std::vector<connection> out;
        for (ULONG i = 0; i < filter.ConnectionCount; ++i) {
            const PCCONNECTION_DESCRIPTOR &c = filter.Connections[i];
            out.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        return out;
    }
    void expect_walk_terminates() const
    {
        std::string why;
        EXPECT_TRUE(check_filter_topology(filter, &why)) << why;
    }

    static constexpr PCAUTOMATION_TABLE volume_table = {};
    static constexpr PCAUTOMATION_TABLE mute_table = {};
    static constexpr PCAUTOMATION_TABLE filter_table = {};
    USBAUDIO_FILTER_AUTOMATION automation = {&filter_table, &volume_table, &mute_table};
    PCFILTER_DESCRIPTOR filter = {};
    bool built = false;
};

TEST_F(FilterTest, Uac2RangesCoverTheClockAndEndWithTheAttribute)
{
    start_uac2();
    USB_STREAMING_INTERFACE *render = audio->m_pRender;
    ASSERT_EQ(audio->BuildDataRanges(render), STATUS_SUCCESS);
    ASSERT_EQ(render->DataRangeCount, 3u);
    ASSERT_EQ(render->DataRangeEntryCount, 4u);
    const ULONG channels[] = {2, 2, 8};
    const ULONG bits[] = {16, 24, 24};
    for (ULONG i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const KSDATARANGE_AUDIO &r = render->DataRanges[i];
        EXPECT_EQ(render->DataRangeEntries[i], &r.DataRange);
        EXPECT_EQ(r.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
        EXPECT_EQ(r.DataRange.Flags, i == 2 ? ULONG(KSDATARANGE_ATTRIBUTES) : 0u);
        EXPECT_EQ(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
        EXPECT_EQ(r.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        EXPECT_EQ(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        EXPECT_EQ(r.MaximumChannels, channels[i]);
        EXPECT_EQ(r.MinimumBitsPerSample, bits[i]);
        EXPECT_EQ(r.MaximumBitsPerSample, bits[i]);
        EXPECT_EQ(r.MinimumSampleFrequency, 44100u);
        EXPECT_EQ(r.MaximumSampleFrequency, 192000u);
    }
    auto list = reinterpret_cast<const KSMULTIPLE_ITEM *>(render->DataRangeEntries[3]);
    EXPECT_EQ(list->Size, sizeof(KSMULTIPLE_ITEM) + sizeof(KSATTRIBUTE));
    EXPECT_EQ(list->Count, 1u);
    auto attribute = reinterpret_cast<const KSATTRIBUTE *>(list + 1);
    EXPECT_EQ(attribute->Size, sizeof(KSATTRIBUTE));
    EXPECT_EQ(attribute->Flags, 0u);
    EXPECT_EQ(attribute->Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE);
}

TEST_F(FilterTest, CurrentRateNarrowsRangesAndOlderSystemsGetNoAttribute)
{
    start_uac2();
    platform::set_ntddi_version(0x06020000);
    audio->m_CurrentSampleRate = 48000;
    USB_STREAMING_INTERFACE *render = audio->m_pRender;
    ASSERT_EQ(audio->BuildDataRanges(render), STATUS_SUCCESS);
    ASSERT_EQ(render->DataRangeCount, 3u);
    EXPECT_EQ(render->DataRangeEntryCount, 3u);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(render->DataRanges[i].MinimumSampleFrequency, 48000u);
        EXPECT_EQ(render->DataRanges[i].MaximumSampleFrequency, 48000u);
        EXPECT_EQ(render->DataRanges[i].DataRange.Flags, 0u);
    }
    audio->m_CurrentSampleRate = 22050;
    ASSERT_EQ(audio->BuildDataRanges(render), STATUS_SUCCESS);
    EXPECT_EQ(render->DataRangeCount, 0u);
    EXPECT_EQ(render->DataRangeEntryCount, 0u);
    EXPECT_EQ(audio->BuildDataRanges(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(FilterTest, Uac1SkipsOtherRatesEightBitPcmAndDuplicates)
{
    uac1_layout layout;
    start_configured(uac1_config(layout), false, device_descriptor(0x3A51, 0x0201, 0x0110));
    USB_STREAMING_INTERFACE *capture = audio->m_pCapture;
    // Without a current rate the two equal capture alternates both give a range.
    ASSERT_EQ(audio->BuildDataRanges(capture), STATUS_SUCCESS);
    ASSERT_EQ(capture->DataRangeCount, 2u);
    EXPECT_EQ(capture->DataRanges[0].MinimumSampleFrequency, 44100u);
    EXPECT_EQ(capture->DataRanges[0].MaximumSampleFrequency, 48000u);
    EXPECT_EQ(capture->DataRanges[0].MaximumChannels, 2u);
    EXPECT_EQ(capture->DataRanges[0].MaximumBitsPerSample, 16u);
    audio->m_CurrentSampleRate = 48000;
    ASSERT_EQ(audio->BuildDataRanges(capture), STATUS_SUCCESS);
    ASSERT_EQ(capture->DataRangeCount, 1u);
    EXPECT_EQ(capture->DataRanges[0].MinimumSampleFrequency, 48000u);
    EXPECT_EQ(capture->DataRangeEntryCount, 2u);
    audio->m_CurrentSampleRate = 96000;
    ASSERT_EQ(audio->BuildDataRanges(capture), STATUS_SUCCESS);
    EXPECT_EQ(capture->DataRangeCount, 0u);
    EXPECT_EQ(capture->DataRangeEntryCount, 0u);
}

TEST_F(FilterTest, Uac1EightBitPcmAlternateIsSkipped)
{
    uac1_layout layout;
    layout.subframe = 1;
    layout.bits = 8;
    start_configured(uac1_config(layout), false, device_descriptor(0x3A51, 0x0201, 0x0110));
    ASSERT_EQ(audio->BuildDataRanges(audio->m_pRender), STATUS_SUCCESS);
    EXPECT_EQ(audio->m_pRender->DataRangeCount, 0u);
}

TEST_F(FilterTest, Uac2DuplexLayoutGivesTheWholeTopology)
{
    start_uac2();
    build();
    EXPECT_EQ(filter.Version, 0u);
    EXPECT_EQ(filter.AutomationTable, &filter_table);
    EXPECT_EQ(filter.PinSize, sizeof(USBAUDIO_PIN_ELEMENT));
    EXPECT_EQ(filter.NodeSize, sizeof(USBAUDIO_NODE_ELEMENT));
    EXPECT_EQ(filter.CategoryCount, 0u);
    EXPECT_EQ(filter.Categories, nullptr);
    ASSERT_EQ(filter.PinCount, 4u);

    // Entity order: IT 2 (render), OT 20 (speaker), IT 1 (microphone), OT 22 (capture).
    const UCHAR ids[] = {2, 20, 1, 22};
    const KSPIN_DATAFLOW flows[] = {KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT};
    const KSPIN_COMMUNICATION comms[] = {KSPIN_COMMUNICATION_SINK, KSPIN_COMMUNICATION_BRIDGE,
                                         KSPIN_COMMUNICATION_BRIDGE, KSPIN_COMMUNICATION_SINK};
    const GUID *categories[] = {&KSCATEGORY_AUDIO, &KSNODETYPE_SPEAKER, &KSNODETYPE_MICROPHONE, &KSCATEGORY_AUDIO};
    for (ULONG i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const USBAUDIO_PIN_ELEMENT &p = pin(i);
        const KSPIN_DESCRIPTOR &ks = p.Descriptor.KsPinDescriptor;
        ASSERT_NE(p.Terminal, nullptr);
        EXPECT_EQ(p.Terminal->GetID(), ids[i]);
        EXPECT_EQ(p.Index, i);
        EXPECT_EQ(ks.DataFlow, flows[i]);
        EXPECT_EQ(ks.Communication, comms[i]);
        ASSERT_NE(ks.Category, nullptr);
        EXPECT_EQ(*ks.Category, *categories[i]);
        EXPECT_EQ(ks.InterfacesCount, 0u);
        EXPECT_EQ(ks.MediumsCount, 0u);
        EXPECT_EQ(ks.Name, nullptr);
        EXPECT_EQ(p.Descriptor.AutomationTable, nullptr);
        bool sink = comms[i] == KSPIN_COMMUNICATION_SINK;
        EXPECT_EQ(p.Descriptor.MaxGlobalInstanceCount, sink ? 1u : 0u);
        EXPECT_EQ(p.Descriptor.MaxFilterInstanceCount, sink ? 1u : 0u);
        EXPECT_EQ(p.Descriptor.MinFilterInstanceCount, 0u);
        if (!sink) {
            ASSERT_EQ(ks.DataRangesCount, 1u);
            EXPECT_EQ(ks.DataRanges[0]->FormatSize, sizeof(KSDATARANGE));
            EXPECT_EQ(ks.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
            EXPECT_EQ(ks.DataRanges[0]->Specifier, KSDATAFORMAT_SPECIFIER_NONE);
        }
    }
    EXPECT_EQ(pin(0).Descriptor.KsPinDescriptor.DataRanges, audio->m_pRender->DataRangeEntries);
    EXPECT_EQ(pin(0).Descriptor.KsPinDescriptor.DataRangesCount, 4u);
    EXPECT_EQ(pin(3).Descriptor.KsPinDescriptor.DataRanges, audio->m_pCapture->DataRangeEntries);
    EXPECT_EQ(pin(3).Descriptor.KsPinDescriptor.DataRangesCount, 3u);

    ASSERT_EQ(filter.NodeCount, 6u);
    const GUID *types[] = {&KSNODETYPE_ADC, &KSNODETYPE_DAC, &KSNODETYPE_MUTE,
                           &KSNODETYPE_VOLUME, &KSNODETYPE_MUTE, &KSNODETYPE_VOLUME};
    const PCAUTOMATION_TABLE *tables[] = {nullptr, nullptr, &mute_table, &volume_table, &mute_table, &volume_table};
    const UCHAR units[] = {0, 0, 10, 10, 11, 11};
    for (ULONG i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(*node(i).Descriptor.Type, *types[i]);
        EXPECT_EQ(node(i).Descriptor.AutomationTable, tables[i]);
        EXPECT_EQ(node(i).Descriptor.Name, nullptr);
        EXPECT_EQ(node(i).Entity == nullptr ? 0 : node(i).Entity->GetID(), units[i]);
    }
    const ULONG F = PCFILTER_NODE;
    std::vector<connection> expected = {
        {F, 2, 0, 1}, {0, 0, 5, 1}, {5, 0, 4, 1}, {4, 0, F, 3}, // mic, ADC, volume, mute, capture
        {F, 0, 3, 1}, {3, 0, 2, 1}, {2, 0, 1, 1}, {1, 0, F, 1}, // render, volume, mute, DAC, speaker
    };
    EXPECT_EQ(connections(), expected);
    expect_walk_terminates();
}

TEST_F(FilterTest, RenderOnlyUac1DeviceGivesRenderVolumeMuteDacSpeaker)
{
    uac1_layout layout;
    layout.capture = false;
    start_configured(uac1_config(layout), false, device_descriptor(0x3A51, 0x0201, 0x0110));
    build();
    ASSERT_EQ(filter.PinCount, 2u);
    EXPECT_EQ(pin(0).Descriptor.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(*pin(1).Descriptor.KsPinDescriptor.Category, KSNODETYPE_SPEAKER);
    ASSERT_EQ(filter.NodeCount, 3u);
    EXPECT_EQ(*node(0).Descriptor.Type, KSNODETYPE_DAC);
    EXPECT_EQ(*node(1).Descriptor.Type, KSNODETYPE_MUTE);
    EXPECT_EQ(*node(2).Descriptor.Type, KSNODETYPE_VOLUME);
    const ULONG F = PCFILTER_NODE;
    std::vector<connection> expected = {{F, 0, 2, 1}, {2, 0, 1, 1}, {1, 0, 0, 1}, {0, 0, F, 1}};
    EXPECT_EQ(connections(), expected);
}

// Render path IT 2 -> FU 10 (mute, volume, bass, treble, AGC) -> OT 20 speaker and OT 21
// headphones, plus a mixer unit 30.
bytes two_bridge_outputs()
{
    config_builder c;
    c.add_interface(0, 0, 0, 1, 1).ac_header(true);
    c.raw({8, 0x24, 0x0A, 0x28, 0x03, 0x07, 0, 0});
    c.raw({17, 0x24, 2, 2, 0x01, 0x01, 0, 0x28, 2, 3, 0, 0, 0, 0, 0, 0, 0});
    c.raw({14, 0x24, 6, 10, 2, 0x1F, 0x11, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0});
    c.raw({12, 0x24, 3, 20, 0x01, 0x03, 0, 10, 0x28, 0x04, 0x00, 0});
    c.raw({12, 0x24, 3, 21, 0x02, 0x03, 0, 10, 0x28, 0x04, 0x00, 0});
    c.raw({13, 0x24, 4, 30, 1, 10, 2, 3, 0, 0, 0, 0, 0});
    c.add_interface(1, 0, 0);
    c.add_interface(1, 1, 1);
    c.raw({16, 0x24, 1, 2, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0});
    c.raw({6, 0x24, 2, 1, 2, 16});
    c.endpoint(0x01, 0x0D, 200, 1);
    c.raw({8, 0x25, 1, 0, 0, 0, 0, 0});
    return c.finish();
}

TEST_F(FilterTest, TwoBridgeOutputsGetOneDacAndAFiniteWalk)
{
    start_configured(two_bridge_outputs(), true);
    clock_answers(0x28, 48000, {{48000, 48000, 0}});
    build();
    ASSERT_EQ(filter.PinCount, 3u);
    EXPECT_EQ(*pin(2).Descriptor.KsPinDescriptor.Category, KSNODETYPE_HEADPHONES);
    // DAC, then FU 10: mute, volume, tone (bass and treble together), AGC; then the mixer.
    ASSERT_EQ(filter.NodeCount, 6u);
    const GUID *types[] = {&KSNODETYPE_DAC, &KSNODETYPE_MUTE, &KSNODETYPE_VOLUME, &KSNODETYPE_TONE,
                           &KSNODETYPE_AGC, &KSNODETYPE_DEV_SPECIFIC};
    for (ULONG i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(*node(i).Descriptor.Type, *types[i]);
    }
    // The mixer names no source and stays off the path; the DAC sits once, before the first
    // bridge output, which chains to the second.
    EXPECT_EQ(node(5).Path, USBAUDIO_PATH_NONE);
    const ULONG F = PCFILTER_NODE;
    std::vector<connection> expected = {{F, 0, 4, 1}, {4, 0, 3, 1}, {3, 0, 2, 1}, {2, 0, 1, 1},
                                        {1, 0, 0, 1}, {0, 0, F, 1}, {F, 1, F, 2}};
    EXPECT_EQ(connections(), expected);
    expect_walk_terminates();
}

// A capture-only device with two inputs: IT 1 (microphone) -> FU 11 (mute, volume) and IT 3
// (line), captured by OT 22 (USB streaming) from FU 11.
bytes two_bridge_inputs()
{
    config_builder c;
    c.add_interface(0, 0, 0, 1, 1).ac_header(true);
    c.raw({8, 0x24, 0x0A, 0x28, 0x03, 0x07, 0, 0});
    c.raw({17, 0x24, 2, 1, 0x01, 0x02, 0, 0x28, 2, 3, 0, 0, 0, 0, 0, 0, 0});
    c.raw({17, 0x24, 2, 3, 0x03, 0x06, 0, 0x28, 2, 3, 0, 0, 0, 0, 0, 0, 0});
    c.raw({14, 0x24, 6, 11, 1, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0});
    c.raw({12, 0x24, 3, 22, 0x01, 0x01, 0, 11, 0x28, 0x00, 0x00, 0});
    c.add_interface(1, 0, 0);
    c.add_interface(1, 1, 1);
    c.raw({16, 0x24, 1, 22, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0});
    c.raw({6, 0x24, 2, 1, 2, 16});
    c.endpoint(0x82, 0x05, 200, 1);
    c.raw({8, 0x25, 1, 0, 0, 0, 0, 0});
    return c.finish();
}

// The ADC sits once, after the last bridge input pin, and does not split the feature unit's
// nodes that follow the first input.
TEST_F(FilterTest, TwoBridgeInputsGetOneAdcAfterTheLastOfThem)
{
    start_configured(two_bridge_inputs(), true);
    clock_answers(0x28, 48000, {{48000, 48000, 0}});
    build();
    ASSERT_EQ(filter.PinCount, 3u);
    ASSERT_EQ(filter.NodeCount, 3u);
    EXPECT_EQ(*node(0).Descriptor.Type, KSNODETYPE_ADC);
    EXPECT_EQ(*node(1).Descriptor.Type, KSNODETYPE_MUTE);
    EXPECT_EQ(*node(2).Descriptor.Type, KSNODETYPE_VOLUME);
    const ULONG F = PCFILTER_NODE;
    std::vector<connection> expected = {{F, 0, 2, 1}, {2, 0, 1, 1}, {1, 0, F, 1}, {F, 1, 0, 1}, {0, 0, F, 2}};
    EXPECT_EQ(connections(), expected);
    expect_walk_terminates();
}

// A render-only revision 2 device: IT 2 (USB streaming), the given units, then OT 20 (speaker)
// fed by speaker_source, last so that its resolution decides the start.
bytes render_topology(const std::vector<bytes> &units, std::uint8_t speaker_source)
{
    config_builder c;
    c.add_interface(0, 0, 0, 1, 1).ac_header(true);
    c.raw({8, 0x24, 0x0A, 0x28, 0x03, 0x07, 0, 0});
    c.raw({17, 0x24, 2, 2, 0x01, 0x01, 0, 0x28, 2, 3, 0, 0, 0, 0, 0, 0, 0});
    for (const bytes &unit : units) {
        c.raw(unit);
    }
    c.raw({12, 0x24, 3, 20, 0x01, 0x03, 0, speaker_source, 0x28, 0x04, 0x00, 0});
    c.add_interface(1, 0, 0);
    c.add_interface(1, 1, 1);
    c.raw({16, 0x24, 1, 2, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0});
    c.raw({6, 0x24, 2, 1, 2, 16});
    c.endpoint(0x01, 0x0D, 200, 1);
    c.raw({8, 0x25, 1, 0, 0, 0, 0, 0});
    return c.finish();
}

// A feature unit with mute and volume on its master channel.
bytes feature_unit(std::uint8_t id, std::uint8_t source)
{
    return {14, 0x24, 6, id, source, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0};
}

TEST_F(FilterTest, UnitsInCyclesOnThemselvesOrOnNothingStayOffThePaths)
{
    std::vector<bytes> units = {
        feature_unit(10, 2),
        feature_unit(50, 51), feature_unit(51, 50), // a cycle of two
        feature_unit(52, 52),                       // its own source
        feature_unit(53, 99),                       // a source that does not exist
        feature_unit(54, 20),                       // fed by the path's last element
        feature_unit(55, 0),                        // no source
        {8, 0x24, 5, 56, 1, 56, 0, 0},              // a selector naming itself
    };
    start_configured(render_topology(units, 10), true);
    clock_answers(0x28, 48000, {{48000, 48000, 0}});
    build();
    ASSERT_EQ(filter.PinCount, 2u);
    // DAC, then mute and volume of each of the seven feature units, then the selector; only
    // the DAC and unit 10 are on the render path.
    ASSERT_EQ(filter.NodeCount, 16u);
    for (ULONG i = 3; i < filter.NodeCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(node(i).Path, USBAUDIO_PATH_NONE);
    }
    const ULONG F = PCFILTER_NODE;
    std::vector<connection> expected = {{F, 0, 2, 1}, {2, 0, 1, 1}, {1, 0, 0, 1}, {0, 0, F, 1}};
    EXPECT_EQ(connections(), expected);
    expect_walk_terminates();
}

TEST_F(FilterTest, DeepChainOfUnitsGivesOneFiniteChain)
{
    constexpr std::uint8_t FIRST = 60;
    constexpr std::uint8_t COUNT = 150;
    std::vector<bytes> units;
    for (std::uint8_t i = 0; i < COUNT; ++i) {
        units.push_back(feature_unit(static_cast<std::uint8_t>(FIRST + i), i == 0 ? 2 : static_cast<std::uint8_t>(FIRST + i - 1)));
    }
    start_configured(render_topology(units, FIRST + COUNT - 1), true);
    clock_answers(0x28, 48000, {{48000, 48000, 0}});
    build();
    ASSERT_EQ(filter.PinCount, 2u);
    ASSERT_EQ(filter.NodeCount, 1u + 2u * COUNT);
    for (ULONG i = 0; i < filter.NodeCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(node(i).Path, USBAUDIO_PATH_RENDER);
    }
    // One chain from the render pin through every node to the speaker pin.
    ASSERT_EQ(filter.ConnectionCount, filter.NodeCount + 1);
    std::vector<connection> links = connections();
    EXPECT_EQ(links.front().from_node, PCFILTER_NODE);
    EXPECT_EQ(links.front().from_pin, 0u);
    EXPECT_EQ(links.back().to_node, PCFILTER_NODE);
    EXPECT_EQ(links.back().to_pin, 1u);
    EXPECT_EQ(links.back().from_node, 0u); // the DAC
    expect_walk_terminates();
}

TEST_F(FilterTest, TopologyCheckCatchesLoopsAndDanglingEnds)
{
    PCCONNECTION_DESCRIPTOR links[3] = {};
    PCFILTER_DESCRIPTOR bad = {};
    bad.PinCount = 2;
    bad.NodeCount = 2;
    bad.Connections = links;
    bad.ConnectionCount = 3;
    const ULONG F = PCFILTER_NODE;
    struct row {
        const char *name;
        PCCONNECTION_DESCRIPTOR a, b, c;
    };
    const row rows[] = {
        {"cycle", {0, 0, 1, 1}, {1, 0, 0, 1}, {F, 0, 0, 1}},
        {"self-loop", {F, 0, 0, 1}, {0, 0, 0, 1}, {0, 0, F, 1}},
        {"pin out of range", {F, 0, 0, 1}, {0, 0, F, 2}, {1, 0, F, 1}},
        {"node entered at its output", {F, 0, 0, 0}, {0, 0, 1, 1}, {1, 0, F, 1}},
        {"fan-out", {F, 0, 0, 1}, {F, 0, 1, 1}, {1, 0, F, 1}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        links[0] = r.a;
        links[1] = r.b;
        links[2] = r.c;
        std::string why;
        EXPECT_FALSE(check_filter_topology(bad, &why));
        EXPECT_FALSE(why.empty());
    }
    links[0] = {F, 0, 0, 1};
    links[1] = {0, 0, 1, 1};
    links[2] = {1, 0, F, 1};
    EXPECT_TRUE(check_filter_topology(bad, nullptr));
}

} // namespace
} // namespace usbaudio_test
