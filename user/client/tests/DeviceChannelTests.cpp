// CAsioDeviceChannel against the channel test driver: the probes of Open and their failures,
// halves released after failed requests, the waits of the data path, queued control requests
// and the power state.
#include "ChannelMachineTest.h"
#include "AsioDeviceChannel.h"
#include <chrono>
#include <cstring>
#include <thread>

namespace {

const WCHAR DeviceId[] = L"USB\\VID_1234&PID_0001\\A1";

class DeviceChannelTest : public ChannelMachineTest {
protected:
    template <typename Configure>
    test_device &add(Configure configure, const WCHAR *description = L"Marla Test Interface")
    {
        return add_device({DeviceId, description}, configure);
    }

    BOOL open(CAsioDeviceChannel &channel)
    {
        return channel.Open(channel_path_of(DeviceId).c_str(), DeviceId, m_devices.back()->description.c_str());
    }
};

TEST_F(DeviceChannelTest, OpenLearnsRateRangeCapabilitiesAndFormat)
{
    test_device &device = add([](CHANNEL_TEST_DEVICE &s) {
        s.CurrentRate = 0;
        s.CaptureTransferMs = 2;
        s.CapsCount = 0;
        s.Caps[s.CapsCount++] = {32000, 2, 32, 2, 32};
        s.Caps[s.CapsCount++] = {44100, 4, 32, 6, 24};
        s.Caps[s.CapsCount++] = {48000, 2, 32, 2, 32};
        s.Caps[s.CapsCount++] = {96000, 2, 32, 2, 32};
        s.Caps[s.CapsCount++] = {192000, 2, 32, 2, 32};
    });
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel));
    EXPECT_TRUE(channel.IsOpen());

    // A device that reports no rate yet is taken at 44100 Hz.
    EXPECT_EQ(44100u, channel.GetCurrentRate());
    EXPECT_EQ(44100u, channel.GetRange().Lowest);
    EXPECT_EQ(96000u, channel.GetRange().Highest);
    // Only table rates inside the range are asked; 88200 has no answer and no row.
    std::vector<DWORD> rows;
    for (const RateCaps &caps : channel.GetRateCapsTable()) {
        rows.push_back(caps.Rate);
    }
    EXPECT_EQ((std::vector<DWORD>{44100, 48000, 96000}), rows);
    ULONG asked = 0;
    for (ULONG function : calls(device)) {
        asked += function == CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_GET_RATE_CAPS) ? 1 : 0;
    }
    EXPECT_EQ(4u, asked);
    EXPECT_EQ(6u, channel.GetInputCount());
    EXPECT_EQ(4u, channel.GetOutputCount());
    EXPECT_EQ(24u, channel.GetBitsPerSample(TRUE));
    EXPECT_EQ(32u, channel.GetBitsPerSample(FALSE));
    EXPECT_EQ(1u, channel.IsDsdNative());
    EXPECT_EQ(2u, channel.GetCaptureTransferLength());

    ASSERT_TRUE(channel.SetSampleRate(48000));
    EXPECT_EQ(48000u, channel.GetCurrentRate());
    EXPECT_EQ(2u, channel.GetInputCount());
    EXPECT_EQ(32u, channel.GetBitsPerSample(TRUE));
    // A rate the device takes but describes no format for leaves no channels.
    ASSERT_TRUE(channel.SetSampleRate(88200));
    EXPECT_EQ(0u, channel.GetInputCount());
    EXPECT_EQ(0u, channel.GetOutputCount());
    // A refused rate changes nothing.
    EXPECT_FALSE(channel.SetSampleRate(192000));
    EXPECT_EQ(88200u, channel.GetCurrentRate());
    DWORD rate = 0;
    EXPECT_TRUE(channel.GetSampleRate(&rate));
    EXPECT_EQ(88200u, rate);
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(0u, channel.GetInputCount());
}

TEST_F(DeviceChannelTest, FailedOpenLeavesTheObjectClosed)
{
    const ULONG probes[] = {IOCTL_QELASIO_GET_SAMPLE_RATE, IOCTL_QELASIO_GET_RATE_RANGE,
                            IOCTL_QELASIO_GET_DSD_SUPPORT, IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS};
    test_device &device = add([](CHANNEL_TEST_DEVICE &) {});
    for (ULONG code : probes) {
        SCOPED_TRACE(code);
        device.state->FailMask = CHANNEL_TEST_BIT(code);
        CAsioDeviceChannel channel;
        EXPECT_FALSE(open(channel));
        EXPECT_FALSE(channel.IsOpen());
        EXPECT_EQ(0, device.state->OpenHandles);
    }
    device.state->FailMask = 0;
    device.state->ShortMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_DSD_SUPPORT);
    CAsioDeviceChannel channel;
    EXPECT_FALSE(open(channel));
    EXPECT_FALSE(channel.Open(L"\\\\?\\usb#vid_9999&pid_0001#x#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\asio",
                              DeviceId, L"x"));
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_FALSE(channel.Ping());
}

TEST_F(DeviceChannelTest, FailedPrepareAndFailedUnprepareLeaveNoHalves)
{
    test_device &device = add([](CHANNEL_TEST_DEVICE &) {});
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel));
    // PREPARE before ACQUIRE is refused by the kernel.
    EXPECT_FALSE(channel.Prepare(64, TRUE, TRUE, 0, FALSE));
    EXPECT_EQ(nullptr, channel.GetInputBuffer(0));
    EXPECT_EQ(nullptr, channel.GetOutputBuffer(1));
    ASSERT_TRUE(channel.Acquire());
    EXPECT_FALSE(channel.Prepare(0, TRUE, TRUE, 0, FALSE));
    EXPECT_EQ(nullptr, channel.GetOutputBuffer(0));

    ASSERT_TRUE(channel.Prepare(64, TRUE, TRUE, 0, FALSE));
    device.state->FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_UNPREPARE);
    EXPECT_FALSE(channel.Unprepare());
    EXPECT_EQ(nullptr, channel.GetInputBuffer(0));
    EXPECT_EQ(nullptr, channel.GetOutputBuffer(0));
    EXPECT_EQ(0u, channel.GetInputBufferSize());
}

TEST_F(DeviceChannelTest, OutputOnlyChannelWaitsOnItsWrites)
{
    add([](CHANNEL_TEST_DEVICE &s) {
        for (ULONG i = 0; i < s.CapsCount; ++i) {
            s.Caps[i].CaptureChannels = 0;
            s.Caps[i].CaptureBits = 0;
        }
    });
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel));
    EXPECT_EQ(0u, channel.GetInputCount());
    ASSERT_TRUE(channel.Acquire());
    ASSERT_TRUE(channel.Prepare(64, FALSE, TRUE, 0, FALSE));
    EXPECT_EQ(nullptr, channel.GetInputBuffer(0));
    ASSERT_TRUE(channel.Start());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stop);
    EXPECT_TRUE(channel.WriteHalf(0) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_EQ(WAIT_OBJECT_0, channel.WaitHalf(0, stop));
    EXPECT_FALSE(channel.ReadHalf(0));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_TRUE(channel.Stop());
    EXPECT_TRUE(channel.Unprepare());
    CloseHandle(stop);
}

TEST_F(DeviceChannelTest, WaitHalfReportsStopAndAlertableCompletions)
{
    // Four inputs and two outputs: a write never fills a read, so reads stay queued.
    add([](CHANNEL_TEST_DEVICE &s) { s.Caps[1] = {48000, 2, 32, 4, 32}; });
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel));
    ASSERT_TRUE(channel.Acquire());
    // Without outputs asked for, the output halves have no event and writes go by WriteFileEx.
    ASSERT_TRUE(channel.Prepare(64, TRUE, FALSE, 0, FALSE));
    ASSERT_TRUE(channel.Start());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stop);
    EXPECT_FALSE(channel.ReadHalf(0));
    EXPECT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    EXPECT_TRUE(channel.WriteHalf(0));
    EXPECT_EQ((DWORD)WAIT_IO_COMPLETION, channel.WaitHalf(0, stop));
    SetEvent(stop);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, channel.WaitHalf(0, stop));
    // Stopping ends the queued read; the half then reports the failed request.
    ASSERT_TRUE(channel.Stop());
    ResetEvent(stop);
    EXPECT_EQ(ASIO_WAIT_HALF_FAILED, channel.WaitHalf(0, stop));
    EXPECT_EQ(ASIO_WAIT_HALF_FAILED, channel.WaitHalf(2, stop));
    EXPECT_TRUE(channel.Unprepare());
    CloseHandle(stop);
}

TEST_F(DeviceChannelTest, UnprepareRefusedWhileReadsAreQueuedKeepsTheirHalvesUntilClose)
{
    test_device &device = add([](CHANNEL_TEST_DEVICE &) {});
    auto channel = std::make_unique<CAsioDeviceChannel>();
    ASSERT_TRUE(open(*channel));
    ASSERT_TRUE(channel->Acquire());
    ASSERT_TRUE(channel->Prepare(64, TRUE, TRUE, 0, FALSE));
    ASSERT_TRUE(channel->Start());
    EXPECT_FALSE(channel->ReadHalf(0));
    EXPECT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    // Still running: the kernel refuses, and the queued read still owns its half.
    EXPECT_FALSE(channel->Unprepare());
    EXPECT_NE(nullptr, channel->GetInputBuffer(0));
    EXPECT_FALSE(channel->Prepare(64, TRUE, TRUE, 0, FALSE));
    // Closing walks the channel back, which ends the read before the half is freed.
    channel.reset();
    EXPECT_EQ(0, device.state->OpenHandles);
    EXPECT_EQ(0, device.state->Owner);
}

TEST_F(DeviceChannelTest, ControlRequestQueuedByTheDriverIsWaitedFor)
{
    test_device &device = add([](CHANNEL_TEST_DEVICE &s) { s.HoldPing = 1; });
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel));
    std::thread completer([&device] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (device.state->HeldControl == nullptr && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        PIRP irp = device.state->HeldControl;
        if (irp != nullptr) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    });
    EXPECT_TRUE(channel.Ping());
    completer.join();
    EXPECT_NE(nullptr, device.state->HeldControl);
}

TEST_F(DeviceChannelTest, PowerStateFollowsTheDeviceNode)
{
    test_device &device = add([](CHANNEL_TEST_DEVICE &) {});
    CAsioDeviceChannel channel;
    ASSERT_TRUE(open(channel));
    BOOL on = FALSE;
    ASSERT_TRUE(channel.GetDevicePowerState(&on));
    EXPECT_TRUE(on);
    platform::pnp_lock();
    platform::pnp_node_of(device.pdo)->device_power_state = 4;
    platform::pnp_unlock();
    ASSERT_TRUE(channel.GetDevicePowerState(&on));
    EXPECT_FALSE(on);
}

} // namespace
