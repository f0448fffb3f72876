// KS audio properties of the driver as the audio engine sends them through the port: volume
// and mute per channel with the device's feature unit following, stepped ranges, SET snapping
// and clamping, jack descriptions, hostile sizes and indices; and the handlers called directly
// with requests the port never builds.
#include "AsyncDriverFixture.h"
#include <algorithm>
#include <cstring>
#include <ks.h>
#include <ksmedia.h>
#include <sim/audio_engine.h>
#include "AdapterCommon.h"
#include "AdapterProperties.h"
#include "USBAudioEntity.h"
#include "USBAudioFeatureUnit.h"
#include "USBAudioFilter.h"
#include "USBAudioTerminal.h"

namespace async_test {
namespace {

constexpr LONG DB = 65536;
constexpr UCHAR POISON = 0xA5;
constexpr ULONG RENDER_KS_CHANNELS = 8;

struct BASIC_SUPPORT_ANSWER {
    KSPROPERTY_DESCRIPTION Description;
    KSPROPERTY_MEMBERSHEADER Members;
    KSPROPERTY_STEPPING_LONG Steppings[RENDER_KS_CHANNELS];
};

struct JACK_ANSWER {
    KSMULTIPLE_ITEM Header;
    KSJACK_DESCRIPTION Jack;
};

struct JACK2_ANSWER {
    KSMULTIPLE_ITEM Header;
    KSJACK_DESCRIPTION2 Jack;
};

class PropertyTest : public AsyncDriverTest {
protected:
    void TearDown() override
    {
        filter.reset();
        AsyncDriverTest::TearDown();
    }

    void start(sim::device_descriptors descriptors, sim::audio_device_options options = {})
    {
        attach(std::move(descriptors), std::move(options));
        store_dword(L"SampleRate", 48000);
        ASSERT_EQ(STATUS_SUCCESS, start_driver());
        ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(audio_path(L"Wave_48000"), &filter));
    }
    void start_default(sim::audio_device_options options = {}) { start(sim::build_uac2_device({}), options); }

    PPCFILTER_DESCRIPTOR descriptor() { return adapter()->GetFilterDescriptor(); }

    const USBAUDIO_NODE_ELEMENT *node_element(ULONG node)
    {
        PPCFILTER_DESCRIPTOR filterDescriptor = descriptor();
        return reinterpret_cast<const USBAUDIO_NODE_ELEMENT *>(
            reinterpret_cast<const UCHAR *>(filterDescriptor->Nodes) + node * filterDescriptor->NodeSize);
    }

    // The node of a feature unit's control (UAC_FU_VOLUME or UAC_FU_MUTE), or ~0.
    ULONG feature_node(UCHAR unitId, ULONG kind)
    {
        for (ULONG node = 0; node < descriptor()->NodeCount; ++node) {
            const USBAUDIO_NODE_ELEMENT *element = node_element(node);
            if (element->Kind == kind && element->Entity != nullptr && element->Entity->GetID() == unitId) {
                return node;
            }
        }
        return ~0u;
    }

    // The pin standing for a terminal, or ~0.
    ULONG terminal_pin(UCHAR terminalId)
    {
        PPCFILTER_DESCRIPTOR filterDescriptor = descriptor();
        for (ULONG pin = 0; pin < filterDescriptor->PinCount; ++pin) {
            auto element = reinterpret_cast<const USBAUDIO_PIN_ELEMENT *>(
                reinterpret_cast<const UCHAR *>(filterDescriptor->Pins) + pin * filterDescriptor->PinSize);
            if (element->Terminal != nullptr && element->Terminal->GetID() == terminalId) {
                return pin;
            }
        }
        return ~0u;
    }

    static KSNODEPROPERTY_AUDIO_CHANNEL node_request(ULONG node, ULONG id, ULONG verb, LONG channel)
    {
        KSNODEPROPERTY_AUDIO_CHANNEL request{};
        request.NodeProperty.Property.Set = KSPROPSETID_Audio;
        request.NodeProperty.Property.Id = id;
        request.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
        request.NodeProperty.NodeId = node;
        request.Channel = channel;
        return request;
    }

    static KSP_PIN jack_request(ULONG id, ULONG verb, ULONG pin)
    {
        KSP_PIN request{};
        request.Property.Set = KSPROPSETID_Jack;
        request.Property.Id = id;
        request.Property.Flags = verb;
        request.PinId = pin;
        return request;
    }

    // A GET (or BASICSUPPORT) into a poisoned buffer of the given size.
    sim::ks_result get_raw(const void *request, ULONG requestSize, ULONG valueSize, std::vector<UCHAR> *value)
    {
        value->assign(valueSize, POISON);
        return filter->handle().get(request, requestSize, valueSize != 0 ? value->data() : nullptr, valueSize);
    }

    static bool untouched(const std::vector<UCHAR> &value)
    {
        return std::all_of(value.begin(), value.end(), [](UCHAR byte) { return byte == POISON; });
    }

    // One GET per row into a poisoned buffer of the row's size: the status and the byte count
    // answered, and no byte written when none is answered.
    struct SIZE_ROW {
        ULONG size;
        NTSTATUS status;
        ULONG_PTR information;
    };
    void expect_size_rows(const void *request, ULONG requestSize, std::initializer_list<SIZE_ROW> rows)
    {
        for (const SIZE_ROW &row : rows) {
            SCOPED_TRACE(row.size);
            std::vector<UCHAR> value;
            sim::ks_result result = get_raw(request, requestSize, row.size, &value);
            EXPECT_EQ(row.status, result.status);
            EXPECT_EQ(row.information, result.information);
            if (row.information == 0 || row.status == STATUS_BUFFER_OVERFLOW) {
                EXPECT_TRUE(untouched(value));
            }
        }
    }

    std::unique_ptr<sim::wavert_filter> filter;
};

TEST_F(PropertyTest, VolumePerChannelReachesTheFeatureUnitChannelAfterTheMaster)
{
    start_default();
    ULONG render = feature_node(sim::uac2_ids::render_fu, UAC_FU_VOLUME);
    ULONG capture = feature_node(sim::uac2_ids::capture_fu, UAC_FU_VOLUME);
    ASSERT_NE(~0u, render);
    ASSERT_NE(~0u, capture);

    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(render, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -6 * DB));
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(render, KSPROPERTY_AUDIO_VOLUMELEVEL, 7, -20 * DB));
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(capture, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, -3 * DB));
    EXPECT_EQ(0, model->feature_volume(sim::uac2_ids::render_fu, 0));
    EXPECT_EQ(-6 * 256, model->feature_volume(sim::uac2_ids::render_fu, 1));
    EXPECT_EQ(0, model->feature_volume(sim::uac2_ids::render_fu, 2));
    EXPECT_EQ(-20 * 256, model->feature_volume(sim::uac2_ids::render_fu, 8));
    EXPECT_EQ(-3 * 256, model->feature_volume(sim::uac2_ids::capture_fu, 2));

    LONG value = 0x1234;
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(render, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &value));
    EXPECT_EQ(-6 * DB, value);
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(render, KSPROPERTY_AUDIO_VOLUMELEVEL, 7, &value));
    EXPECT_EQ(-20 * DB, value);
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(render, KSPROPERTY_AUDIO_VOLUMELEVEL, 3, &value));
    EXPECT_EQ(0, value);
}

TEST_F(PropertyTest, SetSnapsToTheChannelsStepAndClampsIntoItsRange)
{
    sim::audio_device_options options;
    options.channel_volume_ranges[1] = {-0x4000, 0, 1};      // [-64 dB, 0 dB] in 1/256 dB steps
    options.channel_volume_ranges[2] = {-0x4000, 0x0C00, 0x100}; // [-64 dB, 12 dB] in 1 dB steps
    options.channel_volume_ranges[3] = {-0x1000, 0, 0};      // no step
    start_default(options);
    ULONG node = feature_node(sim::uac2_ids::render_fu, UAC_FU_VOLUME);
    ASSERT_NE(~0u, node);
    auto set_and_read = [&](ULONG channel, LONG value) {
        EXPECT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel, value));
        return model->feature_volume(sim::uac2_ids::render_fu, static_cast<UCHAR>(channel + 1));
    };

    EXPECT_EQ(-3906, set_and_read(0, -1000000));
    LONG read = 0;
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &read));
    EXPECT_EQ(-999936, read);
    EXPECT_EQ(0, set_and_read(0, 6 * DB));
    EXPECT_EQ(0, set_and_read(0, 0x7FFFFFFF));
    EXPECT_EQ(-0x4000, set_and_read(0, -0x7FFFFFFF));
    EXPECT_EQ(-0x4000, set_and_read(0, -64 * DB - 1));

    // Halves go away from zero.
    EXPECT_EQ(-2 * 256, set_and_read(1, -3 * DB / 2));
    EXPECT_EQ(2 * 256, set_and_read(1, 3 * DB / 2));
    EXPECT_EQ(1 * 256, set_and_read(1, 3 * DB / 2 - 1));
    EXPECT_EQ(0x0C00, set_and_read(1, 0x7FFFFFFF));

    EXPECT_EQ(-0x1000, set_and_read(2, -DB));
    EXPECT_EQ(-0x1000, set_and_read(2, 0));

    // The KS minimum passes unclamped and reads back from the device's silent value.
    const LONG silent = static_cast<LONG>(0x80000000u);
    EXPECT_EQ(static_cast<std::int16_t>(0x8000), set_and_read(2, silent));
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, &read));
    EXPECT_EQ(silent, read);
}

TEST_F(PropertyTest, VolumeBasicSupportListsEachChannelsSteppedRange)
{
    sim::audio_device_options options;
    options.channel_volume_ranges[2] = {-0x4000, 0x0600, 0x80};
    start_default(options);
    ULONG node = feature_node(sim::uac2_ids::render_fu, UAC_FU_VOLUME);
    ASSERT_NE(~0u, node);
    KSNODEPROPERTY_AUDIO_CHANNEL request =
        node_request(node, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0);
    std::vector<UCHAR> value;

    sim::ks_result result = get_raw(&request, sizeof(request), sizeof(BASIC_SUPPORT_ANSWER), &value);
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    ASSERT_EQ(sizeof(BASIC_SUPPORT_ANSWER), result.information);
    BASIC_SUPPORT_ANSWER answer;
    std::memcpy(&answer, value.data(), sizeof(answer));
    EXPECT_EQ(PROPERTY_ACCESS_READ_WRITE, answer.Description.AccessFlags);
    EXPECT_EQ(sizeof(BASIC_SUPPORT_ANSWER), answer.Description.DescriptionSize);
    EXPECT_EQ(KSPROPTYPESETID_General, answer.Description.PropTypeSet.Set);
    EXPECT_EQ(static_cast<ULONG>(VT_I4), answer.Description.PropTypeSet.Id);
    EXPECT_EQ(1u, answer.Description.MembersListCount);
    EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_MEMBER_STEPPEDRANGES), answer.Members.MembersFlags);
    EXPECT_EQ(sizeof(KSPROPERTY_STEPPING_LONG), answer.Members.MembersSize);
    EXPECT_EQ(RENDER_KS_CHANNELS, answer.Members.MembersCount);
    EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL), answer.Members.Flags);
    for (ULONG channel = 0; channel < RENDER_KS_CHANNELS; ++channel) {
        SCOPED_TRACE(channel);
        const KSPROPERTY_STEPPING_LONG &stepping = answer.Steppings[channel];
        bool special = channel == 1;
        EXPECT_EQ(special ? 0x80u << 8 : 0x100u << 8, stepping.SteppingDelta);
        EXPECT_EQ(0u, stepping.Reserved);
        EXPECT_EQ(special ? -64 * DB : -100 * DB, stepping.Bounds.SignedMinimum);
        EXPECT_EQ(special ? 6 * DB : 0, stepping.Bounds.SignedMaximum);
    }

    struct {
        ULONG size;
        NTSTATUS status;
        ULONG_PTR information;
    } const rows[] = {
        {0, STATUS_BUFFER_TOO_SMALL, 0},
        {3, STATUS_BUFFER_TOO_SMALL, 0},
        {4, STATUS_SUCCESS, 4},
        {39, STATUS_SUCCESS, 4},
        {40, STATUS_SUCCESS, 40},
        {sizeof(BASIC_SUPPORT_ANSWER) - 1, STATUS_SUCCESS, 40},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.size);
        result = get_raw(&request, sizeof(request), row.size, &value);
        EXPECT_EQ(row.status, result.status);
        EXPECT_EQ(row.information, result.information);
        if (row.information >= 4) {
            ULONG flags = 0;
            std::memcpy(&flags, value.data(), sizeof(flags));
            EXPECT_EQ(PROPERTY_ACCESS_READ_WRITE, flags);
        }
        if (row.information == 40) {
            KSPROPERTY_DESCRIPTION description;
            std::memcpy(&description, value.data(), sizeof(description));
            EXPECT_EQ(sizeof(BASIC_SUPPORT_ANSWER), description.DescriptionSize);
            EXPECT_TRUE(untouched(std::vector<UCHAR>(value.begin() + 40, value.end())));
        }
    }
}

TEST_F(PropertyTest, MuteActsOnTheMasterChannelWhateverTheChannel)
{
    start_default();
    ULONG node = feature_node(sim::uac2_ids::render_fu, UAC_FU_MUTE);
    ASSERT_NE(~0u, node);
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_MUTE, 1, 1));
    EXPECT_TRUE(model->feature_mute(sim::uac2_ids::render_fu, 0));
    EXPECT_FALSE(model->feature_mute(sim::uac2_ids::render_fu, 1));
    EXPECT_FALSE(model->feature_mute(sim::uac2_ids::render_fu, 2));
    LONG value = 0;
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(node, KSPROPERTY_AUDIO_MUTE, static_cast<ULONG>(-1), &value));
    EXPECT_EQ(1, value);

    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_MUTE, static_cast<ULONG>(-1), 0));
    EXPECT_FALSE(model->feature_mute(sim::uac2_ids::render_fu, 0));
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_MUTE, 7, 5));
    EXPECT_TRUE(model->feature_mute(sim::uac2_ids::render_fu, 0));
    ASSERT_EQ(STATUS_SUCCESS, filter->get_node_value(node, KSPROPERTY_AUDIO_MUTE, 0, &value));
    EXPECT_EQ(1, value);

    KSNODEPROPERTY_AUDIO_CHANNEL request = node_request(node, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_BASICSUPPORT, 0);
    std::vector<UCHAR> raw;
    sim::ks_result result = get_raw(&request, sizeof(request), sizeof(BASIC_SUPPORT_ANSWER), &raw);
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    ASSERT_EQ(sizeof(BASIC_SUPPORT_ANSWER), result.information);
    BASIC_SUPPORT_ANSWER answer;
    std::memcpy(&answer, raw.data(), sizeof(answer));
    EXPECT_EQ(static_cast<ULONG>(VT_BOOL), answer.Description.PropTypeSet.Id);
    EXPECT_EQ(RENDER_KS_CHANNELS, answer.Members.MembersCount);
    for (const KSPROPERTY_STEPPING_LONG &stepping : answer.Steppings) {
        EXPECT_EQ(1u, stepping.SteppingDelta);
        EXPECT_EQ(0, stepping.Bounds.SignedMinimum);
        EXPECT_EQ(1, stepping.Bounds.SignedMaximum);
    }
}

TEST_F(PropertyTest, HostileNodeRequestsAreAnsweredWithoutReachingTheDevice)
{
    start_default();
    ULONG volume = feature_node(sim::uac2_ids::render_fu, UAC_FU_VOLUME);
    ULONG mute = feature_node(sim::uac2_ids::render_fu, UAC_FU_MUTE);
    ASSERT_NE(~0u, volume);
    ASSERT_NE(~0u, mute);
    const std::uint64_t requestsBefore = model->counters().control_requests;

    for (ULONG node : {volume, mute}) {
        ULONG id = node == volume ? KSPROPERTY_AUDIO_VOLUMELEVEL : KSPROPERTY_AUDIO_MUTE;
        SCOPED_TRACE(id);
        KSNODEPROPERTY_AUDIO_CHANNEL request = node_request(node, id, KSPROPERTY_TYPE_GET, 0);
        expect_size_rows(&request, sizeof(request),
                         {{0, STATUS_BUFFER_OVERFLOW, 4}, {3, STATUS_BUFFER_TOO_SMALL, 0},
                          {8, STATUS_UNSUCCESSFUL, 0}});
        // An instance without its channel.
        expect_size_rows(&request, sizeof(KSNODEPROPERTY), {{4, STATUS_BUFFER_TOO_SMALL, 0}});

        // A SET with no value asks for the size; one too long is refused.
        KSNODEPROPERTY_AUDIO_CHANNEL set = node_request(node, id, KSPROPERTY_TYPE_SET, 0);
        sim::ks_result result = filter->handle().set(&set, sizeof(set), nullptr, 0);
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, result.status);
        EXPECT_EQ(4u, result.information);
        LONGLONG wide = -DB;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, filter->handle().set(&set, sizeof(set), &wide, sizeof(wide)).status);
        UCHAR narrow[3] = {1, 1, 1};
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, filter->handle().set(&set, sizeof(set), narrow, sizeof(narrow)).status);
    }

    LONG value = 0x5A5A5A5A;
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              filter->get_node_value(volume, KSPROPERTY_AUDIO_VOLUMELEVEL, static_cast<ULONG>(-1), &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              filter->get_node_value(volume, KSPROPERTY_AUDIO_VOLUMELEVEL, RENDER_KS_CHANNELS, &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              filter->set_node_value(volume, KSPROPERTY_AUDIO_VOLUMELEVEL, RENDER_KS_CHANNELS, -DB));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->set_node_value(volume, KSPROPERTY_AUDIO_VOLUMELEVEL, 0x80000000u, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              filter->get_node_value(mute, KSPROPERTY_AUDIO_MUTE, RENDER_KS_CHANNELS, &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->set_node_value(mute, KSPROPERTY_AUDIO_MUTE, static_cast<ULONG>(-2), 1));
    EXPECT_EQ(0x5A5A5A5A, value);
    EXPECT_EQ(requestsBefore, model->counters().control_requests);
    EXPECT_FALSE(model->feature_mute(sim::uac2_ids::render_fu, 0));
    for (UCHAR channel = 0; channel <= RENDER_KS_CHANNELS; ++channel) {
        EXPECT_EQ(0, model->feature_volume(sim::uac2_ids::render_fu, channel));
    }
}

TEST_F(PropertyTest, DeviceFailuresOfOneChannelAreReturnedAndOthersStillWork)
{
    start_default();
    ULONG node = feature_node(sim::uac2_ids::render_fu, UAC_FU_VOLUME);
    ASSERT_NE(~0u, node);
    sim::stall_rule rule;
    rule.bRequest = UAC2_REQUEST_RANGE;
    rule.wValue = 0x0203; // volume control, channel 3
    rule.entity = sim::uac2_ids::render_fu;
    model->add_stall(rule);

    LONG value = 0x5A5A5A5A;
    EXPECT_TRUE(NT_ERROR(filter->get_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, &value)));
    EXPECT_TRUE(NT_ERROR(filter->set_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, -DB)));
    EXPECT_EQ(0x5A5A5A5A, value);
    EXPECT_EQ(0, model->feature_volume(sim::uac2_ids::render_fu, 3));

    KSNODEPROPERTY_AUDIO_CHANNEL request =
        node_request(node, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0);
    std::vector<UCHAR> raw;
    sim::ks_result result = get_raw(&request, sizeof(request), sizeof(BASIC_SUPPORT_ANSWER), &raw);
    EXPECT_TRUE(NT_ERROR(result.status));
    EXPECT_EQ(0u, result.information);
    EXPECT_TRUE(untouched(raw));

    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 3, -DB));
    EXPECT_EQ(-256, model->feature_volume(sim::uac2_ids::render_fu, 4));
}

TEST_F(PropertyTest, JackDescriptionsOfConnectorPinsFollowTheConnectorState)
{
    start_default();
    ULONG speaker = terminal_pin(sim::uac2_ids::speaker_out);
    ULONG microphone = terminal_pin(sim::uac2_ids::mic_in);
    ASSERT_NE(~0u, speaker);
    ASSERT_NE(~0u, microphone);

    KSJACK_DESCRIPTION jack{};
    ASSERT_EQ(STATUS_SUCCESS, filter->jack_description(speaker, &jack));
    EXPECT_EQ(static_cast<DWORD>(KSAUDIO_SPEAKER_STEREO), jack.ChannelMapping);
    EXPECT_EQ(0u, jack.Color);
    EXPECT_EQ(eConnTypeUnknown, jack.ConnectionType);
    EXPECT_EQ(eGeoLocFront, jack.GeoLocation);
    EXPECT_EQ(eGenLocPrimaryBox, jack.GenLocation);
    EXPECT_EQ(ePortConnJack, jack.PortConnection);
    EXPECT_EQ(TRUE, jack.IsConnected);

    model->set_connector(sim::uac2_ids::speaker_out, false);
    sim::stall_rule rule;
    rule.wValue = 0x0200; // connector control
    rule.entity = sim::uac2_ids::mic_in;
    model->add_stall(rule);

    struct {
        ULONG pin;
        BOOL connected;
        DWORD capabilities;
    } const rows[] = {
        {speaker, FALSE, JACKDESC2_PRESENCE_DETECT_CAPABILITY},
        {microphone, TRUE, 0}, // unreadable: counted as connected, no presence detection
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pin);
        KSP_PIN request = jack_request(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, row.pin);
        std::vector<UCHAR> value;
        sim::ks_result result = get_raw(&request, sizeof(request), sizeof(JACK_ANSWER), &value);
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        ASSERT_EQ(sizeof(JACK_ANSWER), result.information);
        JACK_ANSWER answer;
        std::memcpy(&answer, value.data(), sizeof(answer));
        EXPECT_EQ(sizeof(JACK_ANSWER), answer.Header.Size);
        EXPECT_EQ(1u, answer.Header.Count);
        EXPECT_EQ(row.connected, answer.Jack.IsConnected);

        request = jack_request(KSPROPERTY_JACK_DESCRIPTION2, KSPROPERTY_TYPE_GET, row.pin);
        result = get_raw(&request, sizeof(request), sizeof(JACK2_ANSWER), &value);
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        ASSERT_EQ(sizeof(JACK2_ANSWER), result.information);
        JACK2_ANSWER answer2;
        std::memcpy(&answer2, value.data(), sizeof(answer2));
        EXPECT_EQ(sizeof(JACK2_ANSWER), answer2.Header.Size);
        EXPECT_EQ(1u, answer2.Header.Count);
        EXPECT_EQ(0u, answer2.Jack.DeviceStateInfo);
        EXPECT_EQ(row.capabilities, answer2.Jack.JackCapabilities);
    }

    // Streaming pins have no jack: success, and no byte claimed or written.
    for (UCHAR terminal : {sim::uac2_ids::render_usb_in, sim::uac2_ids::capture_usb_out}) {
        SCOPED_TRACE(terminal);
        KSP_PIN request = jack_request(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, terminal_pin(terminal));
        std::vector<UCHAR> value;
        sim::ks_result result = get_raw(&request, sizeof(request), sizeof(JACK_ANSWER), &value);
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        EXPECT_EQ(0u, result.information);
        EXPECT_TRUE(untouched(value));
    }
}

TEST_F(PropertyTest, HostileJackRequestsAreRefusedCleanly)
{
    start_default();
    ULONG speaker = terminal_pin(sim::uac2_ids::speaker_out);
    ASSERT_NE(~0u, speaker);
    KSP_PIN request = jack_request(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, descriptor()->PinCount);
    expect_size_rows(&request, sizeof(request), {{sizeof(JACK_ANSWER), STATUS_INVALID_DEVICE_REQUEST, 0}});
    // No pin index at all.
    request.PinId = speaker;
    expect_size_rows(&request, sizeof(KSPROPERTY), {{sizeof(JACK_ANSWER), STATUS_INVALID_DEVICE_REQUEST, 0}});

    expect_size_rows(&request, sizeof(request),
                     {{0, STATUS_BUFFER_OVERFLOW, sizeof(JACK_ANSWER)},
                      {sizeof(JACK_ANSWER) - 1, STATUS_BUFFER_TOO_SMALL, 0},
                      {sizeof(JACK_ANSWER) + 1, STATUS_UNSUCCESSFUL, 0}});
    request = jack_request(KSPROPERTY_JACK_DESCRIPTION2, KSPROPERTY_TYPE_GET, speaker);
    expect_size_rows(&request, sizeof(request),
                     {{0, STATUS_BUFFER_OVERFLOW, sizeof(JACK2_ANSWER)},
                      {3, STATUS_BUFFER_TOO_SMALL, 0},
                      {sizeof(JACK2_ANSWER) * 2, STATUS_UNSUCCESSFUL, 0}});

    request = jack_request(KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_SET, speaker);
    JACK_ANSWER forged{};
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              filter->handle().set(&request, sizeof(request), &forged, sizeof(forged)).status);
}

TEST_F(PropertyTest, ReadOnlyBasicSupportOfJacksAndComponentId)
{
    start_default();
    KSP_PIN jack = jack_request(KSPROPERTY_JACK_DESCRIPTION2, KSPROPERTY_TYPE_BASICSUPPORT,
                                terminal_pin(sim::uac2_ids::speaker_out));
    KSPROPERTY component{};
    component.Set = KSPROPSETID_General;
    component.Id = KSPROPERTY_GENERAL_COMPONENTID;
    component.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    struct {
        const void *request;
        ULONG size;
    } const requests[] = {{&jack, sizeof(jack)}, {&component, sizeof(component)}};
    for (const auto &target : requests) {
        SCOPED_TRACE(target.size);
        std::vector<UCHAR> value;
        sim::ks_result result = get_raw(target.request, target.size, 3, &value);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, result.status);
        EXPECT_EQ(0u, result.information);
        EXPECT_TRUE(untouched(value));

        result = get_raw(target.request, target.size, 39, &value);
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        ASSERT_EQ(4u, result.information);
        ULONG flags = 0;
        std::memcpy(&flags, value.data(), sizeof(flags));
        EXPECT_EQ(PROPERTY_ACCESS_READ_ONLY, flags);

        result = get_raw(target.request, target.size, 64, &value);
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        ASSERT_EQ(sizeof(KSPROPERTY_DESCRIPTION), result.information);
        KSPROPERTY_DESCRIPTION description;
        std::memcpy(&description, value.data(), sizeof(description));
        EXPECT_EQ(PROPERTY_ACCESS_READ_ONLY, description.AccessFlags);
        EXPECT_EQ(sizeof(KSPROPERTY_DESCRIPTION), description.DescriptionSize);
        EXPECT_EQ(GUID_NULL, description.PropTypeSet.Set);
        EXPECT_EQ(0u, description.PropTypeSet.Id);
        EXPECT_EQ(0u, description.MembersListCount);
    }
}

TEST_F(PropertyTest, ClassOneDeviceReadsRangesByMinMaxResAndReportsUnknownJacksConnected)
{
    sim::audio_device_options options;
    options.channel_volume_ranges[2] = {-0x2000, 0x0100, 0x40};
    start(sim::build_uac1_device({}), options);
    ULONG node = feature_node(sim::uac1_ids::render_fu, UAC_FU_VOLUME);
    ASSERT_NE(~0u, node);
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, 2 * DB));
    EXPECT_EQ(0x0100, model->feature_volume(sim::uac1_ids::render_fu, 2));
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, -DB / 3));
    EXPECT_EQ(-0x0040, model->feature_volume(sim::uac1_ids::render_fu, 2));
    LONG value = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->get_node_value(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, &value));

    ULONG mute = feature_node(sim::uac1_ids::render_fu, UAC_FU_MUTE);
    ASSERT_NE(~0u, mute);
    ASSERT_EQ(STATUS_SUCCESS, filter->set_node_value(mute, KSPROPERTY_AUDIO_MUTE, 0, 1));
    EXPECT_TRUE(model->feature_mute(sim::uac1_ids::render_fu, 0));

    KSJACK_DESCRIPTION jack{};
    ASSERT_EQ(STATUS_SUCCESS, filter->jack_description(terminal_pin(sim::uac1_ids::speaker_out), &jack));
    EXPECT_EQ(TRUE, jack.IsConnected);
}

// Requests the port never builds, sent to the adapter's handlers directly.
TEST_F(PropertyTest, NodeHandlerRefusesNodesThatAreNoFeatureUnit)
{
    sim::uac2_options device;
    device.extra_units = {4}; // a mixer unit on the render path
    start(sim::build_uac2_device(device));
    ULONG volume = feature_node(sim::uac2_ids::render_fu, UAC_FU_VOLUME);
    ASSERT_NE(~0u, volume);
    ULONG mixer = ~0u;
    ULONG converter = ~0u;
    for (ULONG node = 0; node < descriptor()->NodeCount; ++node) {
        const USBAUDIO_NODE_ELEMENT *element = node_element(node);
        if (element->Entity != nullptr && element->Entity->GetID() == sim::uac2_ids::first_extra_unit) {
            mixer = node;
        } else if (element->Entity == nullptr) {
            converter = node;
        }
    }
    ASSERT_NE(~0u, mixer);
    ASSERT_NE(~0u, converter);

    PCPROPERTY_ITEM item{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, PCPROPERTY_ITEM_FLAG_GET, nullptr};
    ULONG channel = 0;
    LONG value = 0x5A5A5A5A;
    PCPROPERTY_REQUEST request{};
    request.PropertyItem = &item;
    request.Verb = KSPROPERTY_TYPE_GET;
    request.Instance = &channel;
    request.InstanceSize = sizeof(channel);
    request.Value = &value;
    request.ValueSize = sizeof(value);
    const std::uint64_t requestsBefore = model->counters().control_requests;

    for (ULONG node : {static_cast<ULONG>(PCFILTER_NODE), mixer, converter, descriptor()->NodeCount}) {
        SCOPED_TRACE(node);
        request.Node = node;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, adapter()->NodePropertyHandler(&request));
        EXPECT_EQ(sizeof(value), request.ValueSize);
    }
    request.Node = volume;
    item.Id = KSPROPERTY_AUDIO_BASS;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, adapter()->NodePropertyHandler(&request));
    EXPECT_EQ(0x5A5A5A5A, value);
    EXPECT_EQ(requestsBefore, model->counters().control_requests);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, adapter()->NodePropertyHandler(nullptr));

    item.Id = KSPROPERTY_AUDIO_VOLUMELEVEL;
    request.Instance = nullptr;
    request.InstanceSize = sizeof(channel);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, adapter()->NodePropertyHandler(&request));
    EXPECT_EQ(0u, request.ValueSize);
    request.Instance = &channel;
    request.ValueSize = sizeof(value);
    ASSERT_EQ(STATUS_SUCCESS, adapter()->NodePropertyHandler(&request));
    EXPECT_EQ(0, value);
}

TEST(PropertyArithmetic, SnappingIsComputedIn64BitsAndClamped)
{
    const LONG silent = static_cast<LONG>(0x80000000u);
    struct {
        LONG value;
        LONG minimum;
        LONG maximum;
        ULONG step;
        LONG expected;
    } const rows[] = {
        {0x7FFFFFFF, -0x7FFF00, 0x7FFF00, 256, 0x7FFF00},
        {0x7FFFFFFF, silent, 0x7FFFFF00, 0xFFFF00, 0x7FFF8000},
        {-0x7FFFFFFF, silent, 0x7FFF00, 0xFFFF00, -0x7FFF8000},
        {silent, 0, 0x100, 256, silent},
        {-128, -0x10000, 0, 256, -256},
        {127, -0x10000, 0x10000, 256, 0},
        {128, -0x10000, 0x10000, 256, 256},
        {5, -0x10000, 0x10000, 0, -0x10000},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(row.expected, SnapVolume(row.value, row.minimum, row.maximum, row.step));
    }
    EXPECT_EQ(static_cast<SHORT>(0x8000), VolumeToDevice(silent));
    EXPECT_EQ(0x7FFF, VolumeToDevice(0x7FFFFFFF));
    EXPECT_EQ(-0x8000, VolumeToDevice(silent + 1));
    EXPECT_EQ(-3906, VolumeToDevice(-999936));
    EXPECT_EQ(-3905, VolumeToDevice(-999935));
    EXPECT_EQ(silent, VolumeToKs(static_cast<SHORT>(0x8000)));
    EXPECT_EQ(-0x7FFF * 256, VolumeToKs(-0x7FFF));
}

} // namespace
} // namespace async_test
