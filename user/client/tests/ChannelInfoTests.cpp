// Latencies and channel names of a device channel from the override rows of named devices, on
// devices of the channel test driver whose instance IDs match those rows.
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
