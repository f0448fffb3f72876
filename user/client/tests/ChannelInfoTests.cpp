// Latencies and channel names of a device channel: the general formulas, the override rows of
// named devices, and the bounded name format.
#include "ChannelMachineTest.h"
#include "AsioDeviceChannel.h"

namespace {

const WCHAR DeviceId[] = L"USB\\VID_0A0B&PID_0C0D&MI_00\\7&1";
const LPCWSTR OverrideInputs[] = {L"Mic 1", L"Mic 2"};
const LPCWSTR OverrideOutputs[] = {L"Main L"};
const AsioLatencyRateEntry OverrideRates[] = {{48000, 30, 64, 200, 1024, 1400}};
const AsioLatencyOverride Overrides[] = {
    {L"USB\\VID_0A0B&PID_0C0D&MI_00", 2, OverrideInputs, 1, OverrideOutputs, 1, OverrideRates},
};

class ChannelInfoTest : public ChannelMachineTest {
protected:
    template <typename Configure>
    void open(CAsioDeviceChannel &channel, Configure configure, const WCHAR *description = L"Marla Test Interface")
    {
        add_device({DeviceId, description}, configure);
        ASSERT_TRUE(channel.Open(channel_path_of(DeviceId).c_str(), DeviceId, description));
    }

    static void render_only(CHANNEL_TEST_DEVICE &s)
    {
        for (ULONG i = 0; i < s.CapsCount; ++i) {
            s.Caps[i].CaptureChannels = 0;
        }
    }
};

TEST_F(ChannelInfoTest, GeneralLatenciesDependOnRateAndDirections)
{
    CAsioDeviceChannel channel;
    open(channel, [](CHANNEL_TEST_DEVICE &s) { s.CurrentRate = 44100; });
    DWORD input = 0, output = 0;
    ASSERT_TRUE(channel.GetLatencies(512, &input, &output));
    EXPECT_EQ(512u, input);
    EXPECT_EQ(1377u, output); // 512 x 1.2838 + 719.97 + 0.5 = 1377.78
    ASSERT_TRUE(channel.SetSampleRate(48000));
    ASSERT_TRUE(channel.GetLatencies(512, &input, &output));
    EXPECT_EQ(1422u, output); // 512 x 1.3112 + 750.24 + 0.5 = 1422.07
    // A rate without a format gives a channel with no directions.
    ASSERT_TRUE(channel.SetSampleRate(96000 - 1));
    ASSERT_TRUE(channel.GetLatencies(512, &input, &output));
    EXPECT_EQ(0u, input);
    EXPECT_EQ(0u, output);
}

TEST_F(ChannelInfoTest, OverrideRowInterpolatesInSignedArithmetic)
{
    CAsioDeviceChannel channel;
    open(channel, [](CHANNEL_TEST_DEVICE &s) { s.CaptureTransferMs = 2; });
    channel.UseOverrides(Overrides);
    DWORD input = 0, output = 0;
    ASSERT_TRUE(channel.GetLatencies(544, &input, &output));
    // 544 + 30 + 2 x 48000 / 1000
    EXPECT_EQ(670u, input);
    // (1400 - 200) x (544 - 64) / (1024 - 64) + 200 - 670
    EXPECT_EQ(130u, output);
    // Below the first measured point the interpolation runs downwards instead of wrapping:
    // 1200 x (32 - 64) / 960 + 200 - 158.
    ASSERT_TRUE(channel.GetLatencies(32, &input, &output));
    EXPECT_EQ(158u, input);
    EXPECT_EQ(2u, output);
    // A result below zero is held at 0.
    ASSERT_TRUE(channel.GetLatencies(0, &input, &output));
    EXPECT_EQ(126u, input);
    EXPECT_EQ(0u, output);
    // No entry for the rate.
    ASSERT_TRUE(channel.SetSampleRate(44100));
    EXPECT_FALSE(channel.GetLatencies(544, &input, &output));
}

TEST_F(ChannelInfoTest, OverrideRowOfARenderOnlyDevice)
{
    CAsioDeviceChannel channel;
    open(channel, render_only);
    channel.UseOverrides(Overrides);
    DWORD input = 9, output = 0;
    ASSERT_TRUE(channel.GetLatencies(256, &input, &output));
    EXPECT_EQ(0u, input);
    EXPECT_EQ(550u, output); // 48 x 6.132 + 256 = 550.3
}

TEST_F(ChannelInfoTest, ChannelNamesFromTheDeviceDescription)
{
    struct row {
        const WCHAR *description;
        BOOL input;
        DWORD index;
        const char *expected;
    };
    const row rows[] = {
        {L"2- Studio Interface", FALSE, 1, "Studio Interface Out 02"},
        {L"Marla 24", TRUE, 0, "Marla 24 In 01"},
        {L"1234 - ", TRUE, 1, "1234 -  In 02"},
        {L"Marla Series Interface Deluxe", TRUE, 0, "Marla Series Interfac... In 01"},
        {L"Marla Series Interface Deluxe Edition With A Very Long Name", FALSE, 1,
         "Marla Series Interfac... Out 02"},
        {L"Caf\u00E9 Box", TRUE, 0, "Caf? Box In 01"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.expected);
        CAsioDeviceChannel channel;
        open(channel, [](CHANNEL_TEST_DEVICE &) {}, r.description);
        CHAR name[32];
        std::memset(name, 0x7F, sizeof(name));
        ASSERT_TRUE(channel.GetChannelName(r.input, r.index, name));
        EXPECT_STREQ(r.expected, name);
        channel.Close();
        remove_device(*m_devices.back());
        m_devices.pop_back();
    }
}

TEST_F(ChannelInfoTest, ChannelNameRejectsIndexesOutsideTheDirectionAndNullBuffers)
{
    CAsioDeviceChannel channel;
    open(channel, render_only);
    CHAR name[32] = "untouched";
    EXPECT_FALSE(channel.GetChannelName(TRUE, 0, name));
    EXPECT_FALSE(channel.GetChannelName(FALSE, 2, name));
    EXPECT_STREQ("untouched", name);
    EXPECT_FALSE(channel.GetChannelName(FALSE, 0, nullptr));
    EXPECT_TRUE(channel.GetChannelName(FALSE, 1, name));
}

TEST_F(ChannelInfoTest, OverrideNamesComeFirstWhileTheyLast)
{
    CAsioDeviceChannel channel;
    open(channel, [](CHANNEL_TEST_DEVICE &) {});
    channel.UseOverrides(Overrides);
    CHAR name[32];
    ASSERT_TRUE(channel.GetChannelName(TRUE, 1, name));
    EXPECT_STREQ("Mic 2", name);
    ASSERT_TRUE(channel.GetChannelName(FALSE, 0, name));
    EXPECT_STREQ("Main L", name);
    ASSERT_TRUE(channel.GetChannelName(FALSE, 1, name));
    EXPECT_STREQ("Marla Test Interface Out 02", name);
}

} // namespace
