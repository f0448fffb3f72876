// The WaveRT port end to end: a test miniport registered through portcls is found by its
// device interface, opened by the audio engine's role, streamed through and asked for its
// properties, renamed, and removed without leaks.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <mutex>
#include "TestMiniport.h"
#include <platform/ks_client.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include <sim/audio_engine.h>

using namespace pctest;
using sim::wavert_filter;
using sim::wavert_pin;

namespace {

constexpr ULONG test_tag = 0x74736554;
constexpr ULONG port_tag = 0x74506350;

bool ends_with_no_case(const std::wstring &text, const std::wstring &tail)
{
    if (text.size() < tail.size()) {
        return false;
    }
    return std::equal(tail.begin(), tail.end(), text.end() - tail.size(),
                      [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); });
}

std::wstring interface_path(const std::wstring &name)
{
    for (const std::wstring &path : sim::audio_interfaces()) {
        if (ends_with_no_case(path, L"\\" + name)) {
            return path;
        }
    }
    return L"";
}

KSDATARANGE_AUDIO client_range(ULONG channels)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = 8;
    range.MaximumBitsPerSample = 32;
    range.MinimumSampleFrequency = 8000;
    range.MaximumSampleFrequency = 192000;
    return range;
}

class WaveRtPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        log().reset();
        adapter = std::make_unique<test_adapter>();
        ASSERT_EQ(STATUS_SUCCESS, adapter->start());
        path = interface_path(L"Wave_48000");
        ASSERT_FALSE(path.empty());
        ASSERT_EQ(STATUS_SUCCESS, wavert_filter::open(path, &filter));
    }

    void TearDown() override
    {
        filter.reset();
        adapter.reset();
        EXPECT_EQ(0, platform::portcls_live_objects());
        EXPECT_EQ(0, log().live_miniports.load());
        EXPECT_EQ(0, log().live_streams.load());
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(test_tag));
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(port_tag));
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        platform::machine_shutdown();
    }

    std::vector<UCHAR> format_for(ULONG pin)
    {
        std::vector<UCHAR> format;
        sim::ks_result probe;
        EXPECT_EQ(STATUS_SUCCESS, filter->intersect(pin, client_range(2), &format, &probe));
        return format;
    }

    std::unique_ptr<wavert_pin> open_pin(ULONG pin)
    {
        std::unique_ptr<wavert_pin> created;
        EXPECT_EQ(STATUS_SUCCESS, filter->create_pin(pin, format_for(pin), &created));
        return created;
    }

    std::unique_ptr<test_adapter> adapter;
    std::wstring path;
    std::unique_ptr<wavert_filter> filter;
};

TEST_F(WaveRtPort, SubdevicePublishesItsCategoriesUnderItsName)
{
    std::vector<platform::device_interface> realtime = platform::pnp_interfaces(KSCATEGORY_REALTIME, true);
    ASSERT_EQ(1u, realtime.size());
    EXPECT_EQ(L"Wave_48000", realtime[0].reference);
    EXPECT_EQ(1u, platform::pnp_interfaces(KSCATEGORY_AUDIO, true).size());
    EXPECT_EQ(1u, log().init_calls.load());

    std::unique_ptr<wavert_filter> unknown;
    std::wstring other = path.substr(0, path.size() - std::wstring(L"Wave_48000").size()) + L"Wave_44100";
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, wavert_filter::open(other, &unknown));
}

TEST_F(WaveRtPort, PinFactoriesDescribeTheFilter)
{
    ULONG count = 0;
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_count(&count));
    EXPECT_EQ(pin_count, count);
    struct expected_pin {
        KSPIN_DATAFLOW flow;
        KSPIN_COMMUNICATION communication;
    } const expected[pin_count] = {{KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK},
                                   {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE},
                                   {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK},
                                   {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE}};
    for (ULONG pin = 0; pin < pin_count; ++pin) {
        SCOPED_TRACE(pin);
        KSPIN_DATAFLOW flow{};
        KSPIN_COMMUNICATION communication{};
        EXPECT_EQ(STATUS_SUCCESS, filter->pin_dataflow(pin, &flow));
        EXPECT_EQ(expected[pin].flow, flow);
        EXPECT_EQ(STATUS_SUCCESS, filter->pin_communication(pin, &communication));
        EXPECT_EQ(expected[pin].communication, communication);
    }
    KSPIN_DATAFLOW flow{};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->pin_dataflow(pin_count, &flow));

    // The render range carries its attribute list; the list is not a range of its own.
    std::vector<KSDATARANGE_AUDIO> ranges;
    std::vector<bool> attributed;
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_audio_ranges(pin_render, &ranges, &attributed));
    ASSERT_EQ(1u, ranges.size());
    EXPECT_TRUE(attributed[0]);
    EXPECT_EQ(test_rate, ranges[0].MaximumSampleFrequency);
    std::vector<UCHAR> raw;
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_data_ranges(pin_render, &raw));
    EXPECT_EQ(sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO) + 32u, raw.size());
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_audio_ranges(pin_capture, &ranges, &attributed));
    ASSERT_EQ(1u, ranges.size());
    EXPECT_FALSE(attributed[0]);
}

TEST_F(WaveRtPort, IntersectionAnswersItsSizeFirst)
{
    std::vector<UCHAR> format;
    sim::ks_result probe;
    ASSERT_EQ(STATUS_SUCCESS, filter->intersect(pin_render, client_range(8), &format, &probe));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, probe.status);
    EXPECT_EQ(104u, probe.information);
    ASSERT_EQ(104u, format.size());
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result;
    std::memcpy(&result, format.data(), sizeof(result));
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, result.WaveFormatExt.Format.wFormatTag);
    EXPECT_EQ(test_rate, result.WaveFormatExt.Format.nSamplesPerSec);
    EXPECT_EQ(test_channels, result.WaveFormatExt.Format.nChannels);
    EXPECT_EQ(test_bits, result.WaveFormatExt.Format.wBitsPerSample);

    EXPECT_EQ(STATUS_NO_MATCH, filter->intersect(pin_render, client_range(1), &format, &probe));
    KSDATARANGE_AUDIO foreign = client_range(2);
    foreign.DataRange.MajorFormat = KSNAME_Filter;
    EXPECT_EQ(STATUS_NO_MATCH, filter->intersect(pin_render, foreign, &format, &probe));
}

TEST_F(WaveRtPort, PinCreationChecksFactoryFormatAndInstances)
{
    std::vector<UCHAR> format = format_for(pin_render);
    std::unique_ptr<wavert_pin> first;
    std::unique_ptr<wavert_pin> second;
    ASSERT_EQ(STATUS_SUCCESS, filter->create_pin(pin_render, format, &first));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, filter->create_pin(pin_render, format, &second));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, filter->create_pin(pin_speaker, format, &second));

    std::vector<UCHAR> other_rate = format_for(pin_capture);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE changed;
    std::memcpy(&changed, other_rate.data(), sizeof(changed));
    changed.WaveFormatExt.Format.nSamplesPerSec = 44100;
    std::memcpy(other_rate.data(), &changed, sizeof(changed));
    EXPECT_EQ(STATUS_NO_MATCH, filter->create_pin(pin_capture, other_rate, &second));
    EXPECT_EQ(nullptr, second);

    // A closed pin gives its instance back.
    first.reset();
    EXPECT_EQ(STATUS_SUCCESS, filter->create_pin(pin_render, format, &second));
}

TEST_F(WaveRtPort, StateChangesReachTheStreamOneStepAtATime)
{
    std::unique_ptr<wavert_pin> pin = open_pin(pin_render);
    ASSERT_NE(nullptr, pin);
    ASSERT_EQ(STATUS_SUCCESS, pin->allocate_buffer(19200, 2));
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    KSSTATE state{};
    ASSERT_EQ(STATUS_SUCCESS, pin->get_state(&state));
    EXPECT_EQ(KSSTATE_RUN, state);
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_STOP));
    std::vector<std::pair<ULONG, KSSTATE>> expected = {
        {pin_render, KSSTATE_ACQUIRE}, {pin_render, KSSTATE_PAUSE}, {pin_render, KSSTATE_RUN},
        {pin_render, KSSTATE_PAUSE},   {pin_render, KSSTATE_ACQUIRE}, {pin_render, KSSTATE_STOP}};
    EXPECT_EQ(expected, log().state_calls);

    // Closing a running pin walks its stream back down to STOP.
    log().state_calls.clear();
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_PAUSE));
    pin.reset();
    expected = {{pin_render, KSSTATE_ACQUIRE}, {pin_render, KSSTATE_PAUSE}, {pin_render, KSSTATE_ACQUIRE},
                {pin_render, KSSTATE_STOP}};
    EXPECT_EQ(expected, log().state_calls);
}

TEST_F(WaveRtPort, RenderStreamsThePatternThroughTheCyclicBuffer)
{
    std::unique_ptr<wavert_pin> pin = open_pin(pin_render);
    ASSERT_NE(nullptr, pin);
    const ULONG size = test_rate / 10 * test_block;
    ASSERT_EQ(STATUS_SUCCESS, pin->allocate_buffer(size, 2));
    ASSERT_EQ(size, pin->buffer_size());
    ASSERT_NE(nullptr, pin->buffer());
    ASSERT_EQ(STATUS_SUCCESS, pin->register_event());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pin->register_event());
    ASSERT_EQ(STATUS_SUCCESS, pin->register_event());
    KSRTAUDIO_HWLATENCY latency{};
    ASSERT_EQ(STATUS_SUCCESS, pin->hw_latency(&latency));
    EXPECT_EQ(32u, latency.FifoSize);

    pin->prefill();
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    ASSERT_TRUE(pin->stream(6, 5000, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_PAUSE));
    KSAUDIO_POSITION position{};
    ASSERT_EQ(STATUS_SUCCESS, pin->position(&position));
    EXPECT_LT(position.PlayOffset, (ULONGLONG)size);

    // What the hardware consumed is the pattern from frame 0 on, without gaps, as far as
    // the engine had written it.
    ULONG frames = (ULONG)std::min<ULONGLONG>(log().rendered.size() / test_block, pin->frames_written());
    ASSERT_GE(frames, 3 * size / test_block);
    EXPECT_EQ(0, sim::wavert_find_pattern(log().rendered.data(), frames, test_channels, test_bits));
}

TEST_F(WaveRtPort, CaptureDeliversEachCompletedHalf)
{
    std::unique_ptr<wavert_pin> pin = open_pin(pin_capture);
    ASSERT_NE(nullptr, pin);
    const ULONG size = test_rate / 10 * test_block;
    ASSERT_EQ(STATUS_SUCCESS, pin->allocate_buffer(size, 2));
    ASSERT_EQ(STATUS_SUCCESS, pin->register_event());
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    std::vector<UCHAR> captured;
    ASSERT_TRUE(pin->stream(5, 5000, &captured));
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_STOP));
    ASSERT_EQ(5u * size / 2, captured.size());
    EXPECT_EQ(0, sim::wavert_find_pattern(captured.data(), (ULONG)captured.size() / test_block, test_channels,
                                          test_bits));
}

TEST_F(WaveRtPort, PropertiesReachTheAutomationTables)
{
    LONG value = 0;
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node_volume, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, -1000000));
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(node_volume, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &value));
    EXPECT_EQ(-1000000, value);
    EXPECT_EQ(0, log().volume[0]);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->get_node_value(node_volume, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, &value));
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node_mute, KSPROPERTY_AUDIO_MUTE, 0, 5));
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(node_mute, KSPROPERTY_AUDIO_MUTE, 0, &value));
    EXPECT_EQ(1, value);
    // Nodes without the property, and nodes that do not exist.
    EXPECT_EQ(STATUS_NOT_FOUND, filter->get_node_value(node_dac, KSPROPERTY_AUDIO_MUTE, 0, &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->get_node_value(node_count, KSPROPERTY_AUDIO_MUTE, 0, &value));

    // A verb the item does not list is refused without reaching the handler.
    KSNODEPROPERTY_AUDIO_CHANNEL request{};
    request.NodeProperty.Property.Set = KSPROPSETID_Audio;
    request.NodeProperty.Property.Id = KSPROPERTY_AUDIO_MUTE;
    request.NodeProperty.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY;
    request.NodeProperty.NodeId = node_mute;
    ULONG access = 0;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              filter->handle().get(&request, sizeof(request), &access, sizeof(access)).status);
    request.NodeProperty.Property.Id = KSPROPERTY_AUDIO_VOLUMELEVEL;
    request.NodeProperty.NodeId = node_volume;
    sim::ks_result basic = filter->handle().get(&request, sizeof(request), &access, sizeof(access));
    EXPECT_EQ(STATUS_SUCCESS, basic.status);
    EXPECT_EQ(4u, basic.information);
    EXPECT_EQ(0x203u, access);

    KSCOMPONENTID id{};
    ASSERT_EQ(STATUS_SUCCESS, filter->component_id(&id));
    EXPECT_EQ(KSNODETYPE_SPEAKER, id.Product);
    EXPECT_EQ(1u, id.Version);

    KSJACK_DESCRIPTION jack{};
    log().jack_connected = 0;
    ASSERT_EQ(STATUS_SUCCESS, filter->jack_description(pin_speaker, &jack));
    EXPECT_EQ(0, jack.IsConnected);
    EXPECT_EQ(eGeoLocFront, jack.GeoLocation);
    EXPECT_EQ(STATUS_NOT_FOUND, filter->jack_description(pin_render, &jack));

    std::vector<GUID> modes;
    ASSERT_EQ(STATUS_SUCCESS, filter->signal_processing_modes(pin_render, &modes));
    ASSERT_EQ(1u, modes.size());
    EXPECT_EQ(AUDIO_SIGNALPROCESSINGMODE_RAW, modes[0]);
}

TEST_F(WaveRtPort, RenamedSubdeviceLeavesAndArrivesWhileOpenHandlesKeepWorking)
{
    std::mutex lock;
    std::vector<platform::interface_event> events;
    ULONG listener = platform::pnp_listen([&](const platform::interface_event &event) {
        if (IsEqualGUID(event.class_guid, KSCATEGORY_AUDIO)) {
            std::lock_guard<std::mutex> guard(lock);
            events.push_back(event);
        }
    });
    std::unique_ptr<wavert_pin> pin = open_pin(pin_capture);
    ASSERT_NE(nullptr, pin);

    ASSERT_EQ(STATUS_SUCCESS, adapter->rename_subdevice(L"Wave_96000"));
    platform::pnp_unlisten(listener);
    ASSERT_EQ(2u, events.size());
    EXPECT_FALSE(events[0].arrival);
    EXPECT_TRUE(ends_with_no_case(events[0].user_path, L"\\Wave_48000"));
    EXPECT_TRUE(events[1].arrival);
    EXPECT_TRUE(ends_with_no_case(events[1].user_path, L"\\Wave_96000"));
    EXPECT_TRUE(interface_path(L"Wave_48000").empty());

    // The old filter and pin still answer until the engine closes them.
    ULONG count = 0;
    EXPECT_EQ(STATUS_SUCCESS, filter->pin_count(&count));
    EXPECT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_ACQUIRE));
    pin.reset();
    filter.reset();
    EXPECT_EQ(1, log().live_miniports.load());

    std::unique_ptr<wavert_filter> renamed;
    ASSERT_EQ(STATUS_SUCCESS, wavert_filter::open(interface_path(L"Wave_96000"), &renamed));
    EXPECT_EQ(STATUS_SUCCESS, renamed->pin_count(&count));
}

TEST_F(WaveRtPort, PowerChangesReachTheMiniport)
{
    ASSERT_EQ(STATUS_SUCCESS, adapter->send_power(IRP_MN_SET_POWER, PowerDeviceD3));
    ASSERT_EQ(STATUS_SUCCESS, adapter->send_power(IRP_MN_SET_POWER, PowerDeviceD3));
    ASSERT_EQ(STATUS_SUCCESS, adapter->send_power(IRP_MN_SET_POWER, PowerDeviceD0));
    std::vector<ULONG> expected = {PowerDeviceD3, PowerDeviceD0};
    EXPECT_EQ(expected, log().power_states);
}

TEST_F(WaveRtPort, SurpriseRemovalWithdrawsTheInterfaceButNotOpenPins)
{
    std::unique_ptr<wavert_pin> pin = open_pin(pin_render);
    ASSERT_NE(nullptr, pin);
    ASSERT_EQ(STATUS_SUCCESS, adapter->send_pnp(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(sim::audio_interfaces().empty());
    EXPECT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_ACQUIRE));
    pin.reset();
}

TEST_F(WaveRtPort, MalformedRequestsAreRefusedBeforeAnyFieldIsTrusted)
{
    UCHAR value[256] = {};
    KSPROPERTY shorter{};
    shorter.Set = KSPROPSETID_Pin;
    shorter.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->handle().get(&shorter, sizeof(shorter) - 1, value, 4).status);
    // A pin request without its pin id.
    shorter.Id = KSPROPERTY_PIN_DATAFLOW;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->handle().get(&shorter, sizeof(shorter), value, 4).status);

    // Intersection requests whose item list claims more than was sent, or whose range claims
    // more than the list holds.
    struct {
        KSP_PIN pin;
        KSMULTIPLE_ITEM items;
        KSDATARANGE_AUDIO range;
    } request{};
    request.pin.Property.Set = KSPROPSETID_Pin;
    request.pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.pin.Property.Flags = KSPROPERTY_TYPE_GET;
    request.pin.PinId = pin_render;
    request.items = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO) + 8, 1};
    request.range = client_range(2);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->handle().get(&request, sizeof(request), value, sizeof(value)).status);
    request.items.Size = sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO);
    request.range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO) + 8;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->handle().get(&request, sizeof(request), value, sizeof(value)).status);
    // A second range that is not there is noticed once the first has not matched.
    request.range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    request.range.MaximumChannels = 1;
    request.items.Count = 2;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->handle().get(&request, sizeof(request), value, sizeof(value)).status);

    // A SET whose value is longer than the request that carries it.
    KSPROPERTY state{};
    state.Set = KSPROPSETID_Connection;
    state.Flags = KSPROPERTY_TYPE_SET;
    std::unique_ptr<wavert_pin> pin = open_pin(pin_render);
    ASSERT_NE(nullptr, pin);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pin->handle().get(&state, sizeof(state), value, sizeof(value)).status);
    ULONG run = 7;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pin->handle().set(&state, sizeof(state), &run, sizeof(run)).status);
    EXPECT_TRUE(log().state_calls.empty());
}

// An adapter power object that refuses D3 queries and records what it hears.
class power_object final : public IAdapterPowerManagement {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IAdapterPowerManagement)) {
            *ppv = static_cast<IAdapterPowerManagement *>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *ppv = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++refs; }
    STDMETHODIMP_(ULONG) Release() override { return (ULONG)--refs; }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override
    {
        changes.push_back(state.DeviceState);
        miniport_heard_before.push_back(log().power_states.size());
        bus_heard_before.push_back(log().bus_power_states.size());
    }
    STDMETHODIMP QueryPowerChangeState(POWER_STATE state) override
    {
        return state.DeviceState == PowerDeviceD3 ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    }
    STDMETHODIMP QueryDeviceCapabilities(struct _DEVICE_CAPABILITIES *capabilities) override
    {
        ++capability_queries;
        lower_said_removable = capabilities->Removable != 0;
        capabilities->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }

    LONG refs = 1;
    std::vector<ULONG> changes;
    std::vector<size_t> miniport_heard_before;
    std::vector<size_t> bus_heard_before;
    ULONG capability_queries = 0;
    bool lower_said_removable = false;
};

TEST_F(WaveRtPort, AdapterPowerObjectHearsChangesBeforeTheMiniportsAndPowerUpAfterTheBus)
{
    power_object power;
    ASSERT_EQ(STATUS_SUCCESS, PcRegisterAdapterPowerManagement(&power, adapter->fdo()));
    EXPECT_EQ(2, power.refs);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcRegisterAdapterPowerManagement(&power, adapter->pdo()));

    EXPECT_EQ(STATUS_DEVICE_BUSY, adapter->send_power(IRP_MN_QUERY_POWER, PowerDeviceD3));
    EXPECT_EQ(STATUS_SUCCESS, adapter->send_power(IRP_MN_QUERY_POWER, PowerDeviceD2));
    ASSERT_EQ(STATUS_SUCCESS, adapter->send_power(IRP_MN_SET_POWER, PowerDeviceD2));
    EXPECT_EQ(std::vector<ULONG>{PowerDeviceD2}, power.changes);
    EXPECT_EQ(std::vector<size_t>{0}, power.miniport_heard_before);
    EXPECT_EQ(std::vector<size_t>{0}, power.bus_heard_before) << "powering down, before the bus";
    EXPECT_EQ(std::vector<ULONG>{PowerDeviceD2}, log().power_states);
    // Powering up, the bus driver has completed the request before the adapter hears it.
    ASSERT_EQ(STATUS_SUCCESS, adapter->send_power(IRP_MN_SET_POWER, PowerDeviceD0));
    EXPECT_EQ((std::vector<ULONG>{PowerDeviceD2, PowerDeviceD0}), power.changes);
    EXPECT_EQ((std::vector<size_t>{0, 2}), power.bus_heard_before);
    EXPECT_EQ((std::vector<size_t>{0, 1}), power.miniport_heard_before);
    EXPECT_EQ((std::vector<ULONG>{PowerDeviceD2, PowerDeviceD0}), log().power_states);

    EXPECT_EQ(STATUS_SUCCESS, adapter->send_pnp(IRP_MN_QUERY_CAPABILITIES));
    EXPECT_EQ(1u, power.capability_queries);

    // Removal (after the engine has closed its handles) drops portcls's reference.
    filter.reset();
    adapter->remove();
    EXPECT_EQ(1, power.refs);
}

TEST_F(WaveRtPort, CapabilitiesAfterAStartReachTheAdapterAfterTheBusAndTheDeviceNode)
{
    filter.reset();
    adapter.reset();
    power_object power;
    start_power() = &power;
    adapter = std::make_unique<test_adapter>();
    ASSERT_EQ(STATUS_SUCCESS, adapter->start());
    start_power() = nullptr;
    EXPECT_EQ(1u, power.capability_queries);
    EXPECT_TRUE(power.lower_said_removable);
    platform::pnp_lock();
    const platform::device_node *node = platform::pnp_node_of(adapter->pdo());
    const bool surprise_removal_ok = node != nullptr && node->surprise_removal_ok;
    platform::pnp_unlock();
    EXPECT_TRUE(surprise_removal_ok);
    adapter->remove();
    EXPECT_EQ(1, power.refs);
}

TEST_F(WaveRtPort, AllocationFailuresLeaveNothingBehind)
{
    platform::pool_fail_tag(port_tag);
    PPORT port = reinterpret_cast<PPORT>(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PcNewPort(&port, CLSID_PortWaveRT));
    EXPECT_EQ(nullptr, port);
    std::vector<UCHAR> format = format_for(pin_render);
    std::unique_ptr<wavert_pin> pin;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, filter->create_pin(pin_render, format, &pin));
    platform::pool_fail_tag(0);
    EXPECT_EQ(STATUS_SUCCESS, filter->create_pin(pin_render, format, &pin));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, PcNewPort(&port, CLSID_PortTopology));
}

TEST_F(WaveRtPort, RegistrationChecksItsArguments)
{
    PUNKNOWN miniport = nullptr;
    PPORT port = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, create_miniport(&miniport));
    ASSERT_EQ(STATUS_SUCCESS, PcNewPort(&port, CLSID_PortWaveRT));
    // A port must be initialised before it is registered, and Init takes a WaveRT miniport.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, PcRegisterSubdevice(adapter->fdo(), const_cast<PWSTR>(L"Wave_1"), port));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, port->Init(adapter->fdo(), nullptr, port, nullptr, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, port->Init(adapter->fdo(), nullptr, miniport, nullptr, nullptr));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, port->Init(adapter->fdo(), nullptr, miniport, nullptr, nullptr));
    // The adapter asked for one subdevice, and names are unique.
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              PcRegisterSubdevice(adapter->fdo(), const_cast<PWSTR>(L"WAVE_48000"), port));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PcRegisterSubdevice(adapter->fdo(), const_cast<PWSTR>(L"Wave_2"), port));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcRegisterSubdevice(adapter->pdo(), const_cast<PWSTR>(L"Wave_2"), port));
    EXPECT_EQ(1u, platform::pnp_interfaces(KSCATEGORY_AUDIO, true).size());
    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<void **>(&unregister)));
    EXPECT_EQ(STATUS_NOT_FOUND, unregister->UnregisterSubdevice(adapter->fdo(), port));
    unregister->Release();
    miniport->Release();
    port->Release();
    // The port and its miniport hold each other until the device's removal ends the pair.
    EXPECT_EQ(2, log().live_miniports.load());
    filter.reset();
    adapter->remove();
    EXPECT_EQ(0, log().live_miniports.load());
}

} // namespace
