// Layout of the KS and port class records that cross between drivers, the port and clients,
// and the create-name convention of pins.
#include <gtest/gtest.h>
#include <cstring>
#include <portcls.h>
#include <platform/ks_client.h>

TEST(KsLayout, RecordsHaveTheirWireSizes)
{
    EXPECT_EQ(64u, sizeof(KSDATARANGE));
    EXPECT_EQ(88u, sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(104u, sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    EXPECT_EQ(72u, sizeof(KSCOMPONENTID));
    EXPECT_EQ(40u, sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_EQ(16u, sizeof(KSPROPERTY_MEMBERSHEADER));
    EXPECT_EQ(16u, sizeof(KSPROPERTY_STEPPING_LONG));
    EXPECT_EQ(8u, sizeof(KSMULTIPLE_ITEM));
    EXPECT_EQ(36u, sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION));
    EXPECT_EQ(16u, sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION2));
    EXPECT_EQ(24u, sizeof(KSATTRIBUTE));
    EXPECT_EQ(18u, sizeof(WAVEFORMATEX));
    EXPECT_EQ(40u, sizeof(WAVEFORMATEXTENSIBLE));
    EXPECT_EQ(16u, sizeof(KSAUDIO_POSITION));
    EXPECT_EQ(12u, sizeof(KSRTAUDIO_HWLATENCY));
}

TEST(KsLayout, FieldsSitWhereClientsReadThem)
{
    EXPECT_EQ(64u, offsetof(KSDATARANGE_AUDIO, MaximumChannels));
    EXPECT_EQ(80u, offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency));
    EXPECT_EQ(16u, offsetof(KSDATAFORMAT, MajorFormat));
    EXPECT_EQ(48u, offsetof(KSDATAFORMAT, Specifier));
    EXPECT_EQ(64u + 18u, offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt) +
                             offsetof(WAVEFORMATEXTENSIBLE, Samples));
    EXPECT_EQ(8u, offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet));
    EXPECT_EQ(24u, offsetof(KSP_PIN, PinId));
    EXPECT_EQ(24u, offsetof(KSNODEPROPERTY, NodeId));
    EXPECT_EQ(32u, offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel));
    EXPECT_EQ(8u, offsetof(KSPROPERTY_STEPPING_LONG, Bounds));
    EXPECT_EQ(24u, offsetof(KSJACK_DESCRIPTION, IsConnected));
    EXPECT_EQ(64u, offsetof(KSCOMPONENTID, Version));
    EXPECT_EQ(24u, offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor));
    EXPECT_EQ(16u, offsetof(PCPROPERTY_REQUEST, Node));
    EXPECT_EQ(64u, offsetof(PCPROPERTY_REQUEST, Irp));
    EXPECT_EQ(20u, offsetof(PCFILTER_DESCRIPTOR, PinCount));
    EXPECT_EQ(36u, offsetof(PCFILTER_DESCRIPTOR, NodeCount));
    EXPECT_EQ(0xFFFFFFFFu, PCFILTER_NODE);
}

TEST(KsLayout, GivenIdentifiersKeepTheirValues)
{
    EXPECT_EQ(0x73647561u, KSDATAFORMAT_TYPE_AUDIO.Data1);
    EXPECT_EQ(1u, KSDATAFORMAT_SUBTYPE_PCM.Data1);
    EXPECT_EQ(3u, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT.Data1);
    EXPECT_TRUE(std::memcmp(KSDATAFORMAT_SUBTYPE_PCM.Data4, KSDATAFORMAT_SUBTYPE_MULAW.Data4, 8) == 0);
    EXPECT_EQ(0xCC9BE57Au, CLSID_PortWaveRT.Data1);
    EXPECT_EQ(0x16738177u, IID_IUnregisterSubdevice.Data1);
    EXPECT_EQ(0xB532678Cu, IID_IMiniportAudioSignalProcessing.Data1);
    EXPECT_EQ(0x6994AD04u, KSCATEGORY_AUDIO.Data1);
    EXPECT_EQ(0x9E90EA20u, AUDIO_SIGNALPROCESSINGMODE_RAW.Data1);
    // USB terminal node types carry their terminal type and share one tail.
    EXPECT_EQ(0x0301u, KSNODETYPE_SPEAKER.Data1);
    EXPECT_EQ(0x0603u, KSNODETYPE_LINE_CONNECTOR.Data1);
    EXPECT_TRUE(std::memcmp(KSNODETYPE_SPEAKER.Data4, KSNODETYPE_SYNTHESIZER.Data4, 8) == 0);
    EXPECT_EQ(4, KSPROPERTY_AUDIO_VOLUMELEVEL);
    EXPECT_EQ(13, KSPROPERTY_AUDIO_MUTE);
    EXPECT_EQ(1, KSPROPERTY_JACK_DESCRIPTION);
    EXPECT_EQ(2, KSPROPERTY_JACK_DESCRIPTION2);
}

TEST(KsCreateName, PinNameCarriesTheConnectRequestBackAndForth)
{
    struct {
        KSPIN_CONNECT connect;
        KSDATAFORMAT format;
    } request{};
    request.connect.PinId = 2;
    request.connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    request.format.FormatSize = sizeof(KSDATAFORMAT);
    request.format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    std::wstring name = L"\\Wave_48000" + platform::ks_pin_create_name(&request.connect, sizeof(request));

    std::wstring subdevice;
    bool is_pin = false;
    std::vector<UCHAR> connect;
    ASSERT_TRUE(platform::ks_parse_create_name(name.c_str(), (ULONG)name.size(), &subdevice, &is_pin, &connect));
    EXPECT_EQ(L"Wave_48000", subdevice);
    EXPECT_TRUE(is_pin);
    ASSERT_EQ(sizeof(request), connect.size());
    EXPECT_EQ(0, std::memcmp(&request, connect.data(), sizeof(request)));

    ASSERT_TRUE(platform::ks_parse_create_name(L"\\wave_48000", 11, &subdevice, &is_pin, &connect));
    EXPECT_EQ(L"wave_48000", subdevice);
    EXPECT_FALSE(is_pin);
    EXPECT_TRUE(connect.empty());
}

TEST(KsCreateName, MalformedNamesAreRefused)
{
    std::wstring subdevice;
    bool is_pin = false;
    std::vector<UCHAR> connect;
    std::wstring pin = platform::ks_guid_text(KSNAME_Pin);
    const std::vector<std::wstring> names = {std::wstring(L"\\"), std::wstring(L""), L"\\Wave\\other",
                                     L"\\Wave\\" + pin, L"\\Wave\\" + pin + L"\\ABC", L"\\Wave\\" + pin + L"\\ZZ",
                                     L"\\Wave\\" + pin + L"\\"};
    for (const std::wstring &name : names) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_FALSE(platform::ks_parse_create_name(name.c_str(), (ULONG)name.size(), &subdevice, &is_pin, &connect));
    }
}
