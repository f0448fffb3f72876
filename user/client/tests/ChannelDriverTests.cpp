// CAsioDeviceChannel on ovmlsaau: what Open learns from the kernel, exclusive ownership, the
// halves Prepare sizes per direction, DSD silence, latencies and channel names.
#include "DriverMachineTest.h"
#include "AsioDeviceChannel.h"
#include <cstring>

namespace {

class ChannelDriverTest : public DriverMachineTest {
protected:
    BOOL open(CAsioDeviceChannel &channel, const attached_device &device, const WCHAR *name = nullptr)
    {
        return channel.Open(device.channel_path.c_str(), device.instance_id.c_str(),
                            name != nullptr ? name : device.description.c_str());
    }

    static bool all_bytes(const BYTE *buffer, DWORD size, BYTE value)
    {
        for (DWORD i = 0; i < size; ++i) {
            if (buffer[i] != value) {
                return false;
            }
        }
        return size != 0;
    }
};

TEST_F(ChannelDriverTest, OpenLearnsTheDeviceFromTheKernel)
{
    const attached_device device = attach();
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel, device));
    EXPECT_EQ(44100u, channel.GetCurrentRate());
    EXPECT_EQ(44100u, channel.GetRange().Lowest);
    EXPECT_EQ(192000u, channel.GetRange().Highest);
    std::vector<DWORD> rows;
    for (const RateCaps &caps : channel.GetRateCapsTable()) {
        rows.push_back(caps.Rate);
        EXPECT_EQ(2u, caps.RenderChannels);
        EXPECT_EQ(32u, caps.RenderBits);
        EXPECT_EQ(2u, caps.CaptureChannels);
        EXPECT_EQ(32u, caps.CaptureBits);
    }
    EXPECT_EQ((std::vector<DWORD>{44100, 48000, 88200, 96000, 176400, 192000}), rows);
    EXPECT_EQ(2u, channel.GetInputCount());
    EXPECT_EQ(2u, channel.GetOutputCount());
    EXPECT_EQ(32u, channel.GetBitsPerSample(TRUE));
    EXPECT_EQ(1u, channel.IsDsdNative());
    EXPECT_EQ(1u, channel.GetCaptureTransferLength());
    EXPECT_TRUE(channel.Ping());

    ASSERT_TRUE(channel.SetSampleRate(96000));
    EXPECT_EQ(96000u, channel.GetCurrentRate());
    DWORD rate = 0;
    ASSERT_TRUE(channel.GetSampleRate(&rate));
    EXPECT_EQ(96000u, rate);
    EXPECT_FALSE(channel.SetSampleRate(12345));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(96000u, channel.GetCurrentRate());
    DWORD position = 0xFFFFFFFF;
    EXPECT_TRUE(channel.GetPosition(&position));
    DWORD reset = 7;
    EXPECT_TRUE(channel.GetStreamReset(&reset));
    EXPECT_EQ(0u, reset);
}

TEST_F(ChannelDriverTest, OwnershipIsExclusiveAndClosingGivesItBack)
{
    const attached_device device = attach();
    CAsioDeviceChannel first, second;
    ASSERT_TRUE(open(first, device));
    ASSERT_TRUE(open(second, device));
    ASSERT_TRUE(first.Acquire());
    EXPECT_FALSE(second.Acquire());
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    ASSERT_TRUE(first.Prepare(128, TRUE, TRUE, 100, FALSE));
    EXPECT_FALSE(channel_is_free(device.channel_path));
    // Closing a prepared owner walks it back in the kernel.
    first.Close();
    EXPECT_TRUE(second.Acquire());
    EXPECT_TRUE(second.Release());
    EXPECT_TRUE(channel_is_free(device.channel_path));
}

TEST_F(ChannelDriverTest, PrepareSizesEachDirectionByItsOwnContainer)
{
    sim::uac2_options descriptors;
    descriptors.capture_formats = {{2, 3, 24}};
    descriptors.render_formats = {{2, 4, 24}};
    const attached_device device = attach(descriptors);
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel, device));
    EXPECT_EQ(24u, channel.GetBitsPerSample(TRUE));
    EXPECT_EQ(32u, channel.GetBitsPerSample(FALSE));
    ASSERT_TRUE(channel.Acquire());
    ASSERT_TRUE(channel.Prepare(256, TRUE, TRUE, 50, FALSE));
    EXPECT_EQ(256u * 2 * 3, channel.GetInputBufferSize());
    EXPECT_EQ(256u * 2 * 4, channel.GetOutputBufferSize());
    for (DWORD half = 0; half < 2; ++half) {
        ASSERT_NE(nullptr, channel.GetInputBuffer(half));
        ASSERT_NE(nullptr, channel.GetOutputBuffer(half));
        EXPECT_TRUE(all_bytes(channel.GetOutputBuffer(half), channel.GetOutputBufferSize(), 0));
    }
    EXPECT_EQ(nullptr, channel.GetInputBuffer(2));
    EXPECT_TRUE(channel.Unprepare());
    EXPECT_EQ(nullptr, channel.GetInputBuffer(0));
    EXPECT_TRUE(channel.Release());
}

TEST_F(ChannelDriverTest, PrepareRefusedByTheKernelLeavesNoHalves)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    sim::audio_device_options options;
    options.vendor_mode_supported = false;
    const attached_device device = attach(descriptors, options);
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel, device));
    EXPECT_EQ(0u, channel.GetInputCount());
    EXPECT_FALSE(channel.Prepare(64, FALSE, TRUE, 0, FALSE)) << "before ACQUIRE";
    ASSERT_TRUE(channel.Acquire());
    EXPECT_FALSE(channel.Prepare(64, FALSE, TRUE, 0, TRUE)) << "DSD on a device that is not DSD-native";
    EXPECT_EQ(nullptr, channel.GetOutputBuffer(0));
    EXPECT_FALSE(channel.Prepare(0, FALSE, TRUE, 0, FALSE));
    EXPECT_EQ(nullptr, channel.GetOutputBuffer(1));
    ASSERT_TRUE(channel.Prepare(64, FALSE, TRUE, 0, FALSE));
    EXPECT_EQ(64u * 2 * 4, channel.GetOutputBufferSize());
    EXPECT_EQ(0u, channel.GetInputBufferSize());
    EXPECT_TRUE(channel.Unprepare());
}

TEST_F(ChannelDriverTest, ClearBuffersFillsDsdSilenceInDsdMode)
{
    const attached_device device = attach();
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel, device));
    ASSERT_TRUE(channel.Acquire());
    ASSERT_TRUE(channel.Prepare(64, TRUE, TRUE, 0, TRUE));
    for (DWORD half = 0; half < 2; ++half) {
        EXPECT_TRUE(all_bytes(channel.GetInputBuffer(half), channel.GetInputBufferSize(), 0x96));
        EXPECT_TRUE(all_bytes(channel.GetOutputBuffer(half), channel.GetOutputBufferSize(), 0x96));
    }
    std::memset(channel.GetOutputBuffer(0), 0x11, channel.GetOutputBufferSize());
    channel.ClearBuffers();
    EXPECT_TRUE(all_bytes(channel.GetOutputBuffer(0), channel.GetOutputBufferSize(), 0x96));
    ASSERT_TRUE(channel.Unprepare());
    ASSERT_TRUE(channel.Prepare(64, TRUE, TRUE, 0, FALSE));
    EXPECT_TRUE(all_bytes(channel.GetInputBuffer(1), channel.GetInputBufferSize(), 0));
}

TEST_F(ChannelDriverTest, GeneralLatenciesDependOnRateAndDirections)
{
    const attached_device device = attach();
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel, device));
    DWORD input = 0, output = 0;
    ASSERT_TRUE(channel.GetLatencies(512, &input, &output));
    EXPECT_EQ(512u, input);
    EXPECT_EQ(1377u, output); // 512 x 1.2838 + 719.97 + 0.5 = 1377.78
    ASSERT_TRUE(channel.SetSampleRate(48000));
    ASSERT_TRUE(channel.GetLatencies(512, &input, &output));
    EXPECT_EQ(1422u, output); // 512 x 1.3112 + 750.24 + 0.5 = 1422.07
}

TEST_F(ChannelDriverTest, ChannelNamesFromTheDeviceDescription)
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
    const attached_device device = attach();
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.expected);
        CAsioDeviceChannel channel;
        ASSERT_TRUE(open(channel, device, r.description));
        CHAR name[32];
        std::memset(name, 0x7F, sizeof(name));
        ASSERT_TRUE(channel.GetChannelName(r.input, r.index, name));
        EXPECT_STREQ(r.expected, name);
    }
}

TEST_F(ChannelDriverTest, ChannelNameRejectsIndexesOutsideTheDirectionAndNullBuffers)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    const attached_device device = attach(descriptors);
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel, device));
    CHAR name[32] = "untouched";
    EXPECT_FALSE(channel.GetChannelName(TRUE, 0, name));
    EXPECT_FALSE(channel.GetChannelName(FALSE, 2, name));
    EXPECT_STREQ("untouched", name);
    EXPECT_FALSE(channel.GetChannelName(FALSE, 0, nullptr));
    ASSERT_TRUE(channel.GetChannelName(FALSE, 1, name));
    EXPECT_STREQ("Marla Series USB Audio Out 02", name);
}

} // namespace
