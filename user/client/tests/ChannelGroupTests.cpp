// CAsioChannelGroup over devices of the channel test driver: aggregation of differing ranges
// and formats, roll-back order of failed state changes, position alignment, and a duplex stream
// looped back by the test driver, checked bit-exact.
#include "ChannelMachineTest.h"
#include "AsioChannelGroup.h"
#include <cstring>

namespace {

class ChannelGroupTest : public ChannelMachineTest {
protected:
    std::wstring id(int n) { return L"USB\\VID_1234&PID_000" + std::to_wstring(n) + L"\\S" + std::to_wstring(n); }

    template <typename Configure>
    test_device &add_and_open(CAsioChannelGroup &group, int n, Configure configure)
    {
        test_device &device = add_device({id(n), L"Marla " + std::to_wstring(n)}, configure);
        EXPECT_TRUE(group.OpenDevice(channel_path_of(id(n)).c_str(), id(n).c_str(), device.description.c_str()));
        return device;
    }

    test_device &add_and_open(CAsioChannelGroup &group, int n)
    {
        return add_and_open(group, n, [](CHANNEL_TEST_DEVICE &) {});
    }
};

TEST_F(ChannelGroupTest, EmptyGroupRefusesEveryCollectiveOperation)
{
    CAsioChannelGroup group;
    EXPECT_FALSE(group.AcquireAll());
    EXPECT_FALSE(group.PrepareAll(64, TRUE, TRUE, 0, FALSE));
    EXPECT_FALSE(group.StartAll());
    EXPECT_FALSE(group.SetSampleRateAll(48000));
    EXPECT_FALSE(group.PingAll());
    EXPECT_FALSE(group.StartCaptureAll());
    EXPECT_FALSE(group.IsDsdSupported());
    EXPECT_FALSE(group.AlignPositions());
    BOOL on = TRUE;
    EXPECT_FALSE(group.IsPowered(&on));
    DWORD in = 0, out = 0;
    EXPECT_FALSE(group.GetLatencies(64, &in, &out));
    EXPECT_TRUE(group.StopAll());
    EXPECT_EQ(32u, group.GetBitsPerSample(TRUE));
    EXPECT_EQ(0u, group.GetInputCount());
    EXPECT_EQ(0u, group.GetOutputCount());
    RateRange range = {1, 1};
    group.GetRateRange(&range);
    EXPECT_EQ(0u, range.Lowest);
    EXPECT_EQ(0u, range.Highest);
    EXPECT_FALSE(group.OpenDevice(L"\\\\?\\nothing\\asio", L"x", L"x"));
    EXPECT_EQ(0u, group.GetChannelCount());
}

TEST_F(ChannelGroupTest, CapabilitiesAreAggregatedOverChannels)
{
    struct row {
        RateRange first, second, expected;
    };
    const row rows[] = {
        {{32000, 192000}, {44100, 96000}, {44100, 96000}},
        {{44100, 44100}, {44100, 48000}, {44100, 44100}}, // one common rate is a range
        {{32000, 44100}, {48000, 96000}, {0, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.expected.Lowest << ".." << r.expected.Highest);
        CAsioChannelGroup group;
        add_and_open(group, 1, [&](CHANNEL_TEST_DEVICE &s) {
            s.Range = r.first;
            s.CurrentRate = 44100;
            s.Caps[0] = {44100, 4, 32, 2, 24};
        });
        add_and_open(group, 2, [&](CHANNEL_TEST_DEVICE &s) {
            s.Range = r.second;
            s.CurrentRate = 44100;
            s.DsdNative = 0;
            s.Caps[0] = {44100, 2, 24, 6, 32};
        });
        RateRange range = {};
        group.GetRateRange(&range);
        EXPECT_EQ(r.expected.Lowest, range.Lowest);
        EXPECT_EQ(r.expected.Highest, range.Highest);
        EXPECT_FALSE(group.IsDsdSupported());
        if (&r == &rows[0]) {
            EXPECT_EQ(8u, group.GetInputCount());
            EXPECT_EQ(6u, group.GetOutputCount());
            EXPECT_EQ(24u, group.GetBitsPerSample(TRUE));
            EXPECT_EQ(24u, group.GetBitsPerSample(FALSE));
        }
        group.CloseAll();
        for (auto &device : m_devices) {
            remove_device(*device);
        }
        m_devices.clear();
    }
}

TEST_F(ChannelGroupTest, FailedAcquireReleasesTheEarlierChannelsInReverseOrder)
{
    CAsioChannelGroup group;
    test_device &first = add_and_open(group, 1);
    test_device &second = add_and_open(group, 2);
    test_device &third = add_and_open(group, 3, [](CHANNEL_TEST_DEVICE &s) {
        s.FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_ACQUIRE);
    });
    EXPECT_FALSE(group.AcquireAll());
    const ULONG firstRelease = last_sequence_of(first, IOCTL_QELASIO_RELEASE);
    const ULONG secondRelease = last_sequence_of(second, IOCTL_QELASIO_RELEASE);
    ASSERT_NE(0u, firstRelease);
    ASSERT_NE(0u, secondRelease);
    EXPECT_LT(last_sequence_of(third, IOCTL_QELASIO_ACQUIRE), secondRelease);
    EXPECT_LT(secondRelease, firstRelease);
    EXPECT_EQ(0u, last_sequence_of(third, IOCTL_QELASIO_RELEASE));
    EXPECT_EQ(0, first.state->Owner);
    EXPECT_EQ(0, second.state->Owner);
}

TEST_F(ChannelGroupTest, FailedPrepareAndStartRollBackAndStopAllAlwaysSucceeds)
{
    CAsioChannelGroup group;
    test_device &first = add_and_open(group, 1);
    test_device &second = add_and_open(group, 2, [](CHANNEL_TEST_DEVICE &s) {
        s.FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_PREPARE);
    });
    ASSERT_TRUE(group.AcquireAll());
    EXPECT_FALSE(group.PrepareAll(64, TRUE, TRUE, 0, FALSE));
    EXPECT_NE(0u, last_sequence_of(first, IOCTL_QELASIO_UNPREPARE));
    EXPECT_EQ(nullptr, group.GetChannel(0)->GetInputBuffer(0));
    EXPECT_EQ(nullptr, group.GetChannel(1)->GetInputBuffer(0));

    second.state->FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_START);
    ASSERT_TRUE(group.PrepareAll(64, TRUE, TRUE, 0, FALSE));
    EXPECT_FALSE(group.StartAll());
    EXPECT_NE(0u, last_sequence_of(first, IOCTL_QELASIO_STOP));
    EXPECT_EQ(0, first.state->Running);

    // The second channel is not running, so its STOP fails; the walk goes on regardless.
    first.state->FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_STOP);
    second.state->FailMask = 0;
    EXPECT_TRUE(group.StopAll());
    EXPECT_NE(0u, last_sequence_of(second, IOCTL_QELASIO_STOP));
    EXPECT_TRUE(group.UnprepareAll());
    EXPECT_TRUE(group.ReleaseAll());
    EXPECT_EQ(0, second.state->Owner);
}

TEST_F(ChannelGroupTest, PositionsLatenciesPowerAndStreamReset)
{
    CAsioChannelGroup group;
    test_device &first = add_and_open(group, 1, [](CHANNEL_TEST_DEVICE &s) {
        s.Position = 1000;
        s.CurrentRate = 44100;
    });
    test_device &second = add_and_open(group, 2, [](CHANNEL_TEST_DEVICE &s) {
        s.Position = 800;
        s.Caps[1] = {48000, 0, 0, 2, 32};
    });
    ASSERT_TRUE(group.AlignPositions());
    EXPECT_EQ(800u, first.state->LastSetPosition);
    EXPECT_EQ(800u, second.state->LastSetPosition);
    second.state->FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_POSITION);
    EXPECT_FALSE(group.AlignPositions());
    second.state->FailMask = 0;

    DWORD input = 0, output = 0;
    ASSERT_TRUE(group.GetLatencies(512, &input, &output));
    EXPECT_EQ(512u, input);
    EXPECT_EQ(1377u, output); // the first channel, at 44100 Hz; the second has no outputs

    EXPECT_FALSE(group.HasStreamReset());
    second.state->StreamReset = 1;
    EXPECT_TRUE(group.HasStreamReset());
    first.state->FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_STREAM_RESET);
    EXPECT_FALSE(group.HasStreamReset());
    first.state->FailMask = 0;

    BOOL on = FALSE;
    ASSERT_TRUE(group.IsPowered(&on));
    EXPECT_TRUE(on);
    platform::pnp_lock();
    platform::pnp_node_of(second.pdo)->device_power_state = 4;
    platform::pnp_unlock();
    ASSERT_TRUE(group.IsPowered(&on));
    EXPECT_FALSE(on);
    EXPECT_TRUE(group.PingAll());
}

TEST_F(ChannelGroupTest, DuplexStreamThroughTwoDevicesIsBitExact)
{
    CAsioChannelGroup group;
    test_device &first = add_and_open(group, 1);
    test_device &second = add_and_open(group, 2, [](CHANNEL_TEST_DEVICE &s) { s.Caps[1] = {48000, 4, 24, 4, 24}; });
    ASSERT_TRUE(group.AcquireAll());
    ASSERT_TRUE(group.PrepareAll(64, TRUE, TRUE, 50, FALSE));
    ASSERT_TRUE(group.StartAll());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stop);
    ASSERT_EQ((DWORD)ERROR_SUCCESS, group.ReadHalfAll(0));
    ASSERT_EQ((DWORD)ERROR_SUCCESS, group.ReadHalfAll(1));
    ASSERT_TRUE(group.StartCaptureAll());

    ULONG seed = 1;
    for (DWORD period = 0; period < 16; ++period) {
        SCOPED_TRACE(period);
        const DWORD half = period % 2;
        for (DWORD position = 0; position < 2; ++position) {
            CAsioDeviceChannel *channel = group.GetChannel(position);
            BYTE *out = channel->GetOutputBuffer(half);
            for (DWORD i = 0; i < channel->GetOutputBufferSize(); ++i) {
                seed = seed * 1103515245u + 12345u;
                out[i] = (BYTE)(seed >> 16);
            }
        }
        ASSERT_EQ((DWORD)ERROR_SUCCESS, group.WriteHalfAll(half));
        ASSERT_EQ(WAIT_OBJECT_0, group.WaitHalfAll(half, stop));
        for (DWORD position = 0; position < 2; ++position) {
            CAsioDeviceChannel *channel = group.GetChannel(position);
            ASSERT_EQ(channel->GetOutputBufferSize(), channel->GetInputBufferSize());
            EXPECT_EQ(0, std::memcmp(channel->GetOutputBuffer(half), channel->GetInputBuffer(half),
                                     channel->GetInputBufferSize()));
        }
        ASSERT_EQ((DWORD)ERROR_SUCCESS, group.ReadHalfAll(half));
    }
    EXPECT_EQ(64u * 4 * 3, group.GetChannel(1)->GetInputBufferSize());

    // With reads queued and nothing written, the stop event ends the wait.
    SetEvent(stop);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, group.WaitHalfAll(0, stop));
    EXPECT_TRUE(group.StopAll());
    EXPECT_TRUE(group.UnprepareAll());
    group.CloseAll();
    EXPECT_EQ(0, first.state->Owner);
    EXPECT_EQ(0, second.state->Owner);
    CloseHandle(stop);
}

} // namespace
