// CAsioChannelGroup over two devices served by ovmlsaau: aggregated capabilities and channel
// mapping, roll-back of a refused ACQUIRE in the kernel, the collective queries, and the
// channels given back when the group goes away.
#include "DriverMachineTest.h"
#include "AsioChannelGroup.h"

namespace {

class GroupDriverTest : public DriverMachineTest {
protected:
    // The first device is the default one; the second has four capture channels in three-byte
    // containers, eight render channels, two rates and no DSD.
    void attach_two()
    {
        m_first = attach(with_serial(u"OVM0001"));
        sim::uac2_options descriptors = with_serial(u"OVM0002");
        descriptors.capture_formats = {{4, 3, 24}};
        descriptors.render_formats = {{8, 4, 24}};
        sim::audio_device_options options;
        options.clock_rates = {44100, 48000};
        options.vendor_mode_supported = false;
        m_second = attach(descriptors, options);
        ASSERT_NE(nullptr, m_first.pdo);
        ASSERT_NE(nullptr, m_second.pdo);
    }

    void open_both(CAsioChannelGroup &group)
    {
        ASSERT_TRUE(group.OpenDevice(m_first.channel_path.c_str(), m_first.instance_id.c_str(), L"Marla 1"));
        ASSERT_TRUE(group.OpenDevice(m_second.channel_path.c_str(), m_second.instance_id.c_str(), L"Marla 2"));
        ASSERT_EQ(2u, group.GetChannelCount());
    }

    attached_device m_first;
    attached_device m_second;
};

TEST_F(GroupDriverTest, TwoDevicesActAsOneGroup)
{
    ASSERT_NO_FATAL_FAILURE(attach_two());
    CAsioChannelGroup group;
    ASSERT_NO_FATAL_FAILURE(open_both(group));

    RateRange range = {};
    group.GetRateRange(&range);
    EXPECT_EQ(44100u, range.Lowest);
    EXPECT_EQ(48000u, range.Highest);
    EXPECT_FALSE(group.IsDsdSupported());
    EXPECT_EQ(6u, group.GetInputCount());
    EXPECT_EQ(10u, group.GetOutputCount());
    EXPECT_EQ(24u, group.GetBitsPerSample(TRUE));
    EXPECT_EQ(32u, group.GetBitsPerSample(FALSE));

    struct row {
        BOOL input;
        DWORD asio, position, index;
    };
    for (const row &r : {row{TRUE, 0, 0, 0}, row{TRUE, 1, 0, 1}, row{TRUE, 2, 1, 0}, row{TRUE, 5, 1, 3},
                         row{FALSE, 1, 0, 1}, row{FALSE, 2, 1, 0}, row{FALSE, 9, 1, 7}}) {
        SCOPED_TRACE(testing::Message() << r.input << " " << r.asio);
        DWORD position = 99, index = 99;
        ASSERT_TRUE(group.MapChannel(r.input, r.asio, &position, &index));
        EXPECT_EQ(r.position, position);
        EXPECT_EQ(r.index, index);
    }
    DWORD position = 99, index = 99;
    EXPECT_FALSE(group.MapChannel(TRUE, 6, &position, &index));
    EXPECT_FALSE(group.MapChannel(FALSE, 10, &position, &index));
    EXPECT_EQ(99u, position);
    CHAR name[32];
    ASSERT_TRUE(group.GetChannelName(FALSE, 9, name));
    EXPECT_STREQ("Marla 2 Out 08", name);
    ASSERT_TRUE(group.GetChannelName(TRUE, 1, name));
    EXPECT_STREQ("Marla 1 In 02", name);

    DWORD input = 0, output = 0;
    ASSERT_TRUE(group.GetLatencies(512, &input, &output));
    EXPECT_EQ(512u, input);
    EXPECT_EQ(1377u, output);
    EXPECT_TRUE(group.AlignPositions());
    EXPECT_FALSE(group.HasStreamReset());
    BOOL on = FALSE;
    ASSERT_TRUE(group.IsPowered(&on));
    EXPECT_TRUE(on);
    EXPECT_TRUE(group.PingAll());

    ASSERT_TRUE(group.AcquireAll());
    EXPECT_FALSE(channel_is_free(m_first.channel_path));
    EXPECT_FALSE(channel_is_free(m_second.channel_path));
    ASSERT_TRUE(group.PrepareAll(64, TRUE, TRUE, 50, FALSE));
    EXPECT_EQ(64u * 2 * 4, group.GetChannel(0)->GetInputBufferSize());
    EXPECT_EQ(64u * 4 * 3, group.GetChannel(1)->GetInputBufferSize());
    EXPECT_EQ(64u * 8 * 4, group.GetChannel(1)->GetOutputBufferSize());
    EXPECT_TRUE(group.UnprepareAll());
    // Both devices change rate together; a rate one of them lacks stops at that device.
    EXPECT_TRUE(group.SetSampleRateAll(48000));
    EXPECT_EQ(48000u, group.GetChannel(1)->GetCurrentRate());
    EXPECT_FALSE(group.SetSampleRateAll(96000));
    EXPECT_EQ(96000u, group.GetChannel(0)->GetCurrentRate());
    EXPECT_EQ(48000u, group.GetChannel(1)->GetCurrentRate());
    EXPECT_TRUE(group.ReleaseAll());
    EXPECT_TRUE(channel_is_free(m_first.channel_path));
    EXPECT_TRUE(channel_is_free(m_second.channel_path));
}

// Another client owns the second device: the group's ACQUIRE fails there and the first device
// is given back in the kernel.
TEST_F(GroupDriverTest, AcquireRefusedByTheKernelRollsBack)
{
    ASSERT_NO_FATAL_FAILURE(attach_two());
    HANDLE other = CreateFileW(m_second.channel_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(other, IOCTL_QELASIO_ACQUIRE, nullptr, 0, nullptr, 0, &bytes, nullptr));

    CAsioChannelGroup group;
    ASSERT_NO_FATAL_FAILURE(open_both(group));
    EXPECT_FALSE(group.AcquireAll());
    EXPECT_TRUE(channel_is_free(m_first.channel_path));

    ASSERT_TRUE(CloseHandle(other));
    EXPECT_TRUE(group.AcquireAll());
    EXPECT_TRUE(group.ReleaseAll());
}

TEST_F(GroupDriverTest, ReadsOnAStoppedChannelReportTheirError)
{
    const attached_device device = attach();
    CAsioChannelGroup group;
    ASSERT_TRUE(group.OpenDevice(device.channel_path.c_str(), device.instance_id.c_str(), L"Marla"));
    ASSERT_TRUE(group.AcquireAll());
    ASSERT_TRUE(group.PrepareAll(64, TRUE, TRUE, 0, FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), group.ReadHalfAll(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), group.WriteHalfAll(1));
}

TEST_F(GroupDriverTest, ClosingTheGroupGivesTheDevicesBack)
{
    pace_bus();
    ASSERT_NO_FATAL_FAILURE(attach_two());
    {
        CAsioChannelGroup group;
        ASSERT_NO_FATAL_FAILURE(open_both(group));
        ASSERT_TRUE(group.AcquireAll());
        ASSERT_TRUE(group.PrepareAll(64, TRUE, TRUE, 0, FALSE));
        ASSERT_TRUE(group.StartAll());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), group.ReadHalfAll(0));
    }
    EXPECT_TRUE(channel_is_free(m_first.channel_path));
    EXPECT_TRUE(channel_is_free(m_second.channel_path));
}

} // namespace
