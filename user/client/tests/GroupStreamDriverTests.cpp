// CAsioChannelGroup streaming through ovmlsaau: the streaming thread's loop as the ASIO driver
// runs it, over a device whose capture records its render output, checked bit-exact.
#include "DriverMachineTest.h"
#include "AsioChannelGroup.h"
#include <thread>

namespace {

// Signals Stop when the run takes longer than TimeoutMs, so that a stalled stream ends the
// waits instead of the test; the destructor ends the watch.
class stream_watchdog {
public:
    stream_watchdog(HANDLE Stop, DWORD TimeoutMs)
        : m_Done(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_Thread([this, Stop, TimeoutMs] {
              if (WaitForSingleObject(m_Done, TimeoutMs) != WAIT_OBJECT_0) {
                  SetEvent(Stop);
              }
          })
    {
    }
    ~stream_watchdog()
    {
        SetEvent(m_Done);
        m_Thread.join();
        CloseHandle(m_Done);
    }
    stream_watchdog(const stream_watchdog &) = delete;
    stream_watchdog &operator=(const stream_watchdog &) = delete;

private:
    HANDLE m_Done;
    std::thread m_Thread;
};

class GroupStreamDriverTest : public DriverMachineTest {};

// Each written sample carries its own index in its top 24 bits (the device's containers carry
// three bytes). Whatever comes back must be written samples, and once the loopback runs they
// must follow each other without a gap or a change for at least a quarter of a second. A glitch of the
// real-time bus makes the engine ask for a restart, which the loop does as the ASIO driver does.
TEST_F(GroupStreamDriverTest, DuplexStreamThroughTheKernelIsBitExact)
{
    constexpr DWORD Frames = 128;
    constexpr DWORD Periods = 800;
    // Two channels only: the default device's eight-channel alternate is left out.
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 4, 24}};
    descriptors.capture_formats = {{2, 4, 24}};
    const attached_device device = attach(descriptors);
    CAsioChannelGroup group;
    ASSERT_TRUE(group.OpenDevice(device.channel_path.c_str(), device.instance_id.c_str(), L"Marla"));
    ASSERT_TRUE(group.SetSampleRateAll(48000));
    ASSERT_TRUE(group.AcquireAll());
    ASSERT_TRUE(group.PrepareAll(Frames, TRUE, TRUE, 50, FALSE));
    CAsioDeviceChannel *channel = group.GetChannel(0);
    ASSERT_EQ(Frames * 2 * 4, channel->GetOutputBufferSize());
    ASSERT_EQ(channel->GetOutputBufferSize(), channel->GetInputBufferSize());

    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stop);
    std::vector<DWORD> returned;
    DWORD written = 0;
    DWORD restarts = 0;
    {
        stream_watchdog watchdog(stop, 30000);
        auto begin = [&] {
            return group.StartAll() && group.ReadHalfAll(0) == ERROR_SUCCESS &&
                   group.ReadHalfAll(1) == ERROR_SUCCESS && group.StartCaptureAll();
        };
        ASSERT_TRUE(begin());
        const DWORD words = channel->GetOutputBufferSize() / sizeof(DWORD);
        // Each period as the ASIO driver's streaming thread runs it: wait for the half's capture,
        // hand the host its inputs, write the outputs the host filled, read the half again.
        for (DWORD period = 0, half = 0; period < Periods; ++period, half ^= 1) {
            SCOPED_TRACE(testing::Message() << "period " << period);
            DWORD result = WAIT_IO_COMPLETION;
            while (result == WAIT_IO_COMPLETION) {
                result = group.WaitHalfAll(half, stop);
            }
            ASSERT_NE(WAIT_OBJECT_0 + 1, result) << "the stream stalled";
            if (result == WAIT_OBJECT_0) {
                const DWORD *in = reinterpret_cast<const DWORD *>(channel->GetInputBuffer(half));
                returned.insert(returned.end(), in, in + words);
                DWORD *out = reinterpret_cast<DWORD *>(channel->GetOutputBuffer(half));
                for (DWORD i = 0; i < words; ++i) {
                    out[i] = ++written << 8;
                }
                if (group.WriteHalfAll(half) == ERROR_SUCCESS && group.ReadHalfAll(half) == ERROR_SUCCESS) {
                    continue;
                }
            }
            ASSERT_LT(++restarts, 10u) << "the stream does not settle";
            ASSERT_TRUE(group.StopAll());
            ASSERT_TRUE(begin());
            half = 1;
        }
    }
    EXPECT_TRUE(group.StopAll());
    EXPECT_TRUE(group.UnprepareAll());
    group.CloseAll();
    CloseHandle(stop);
    RecordProperty("restarts", static_cast<int>(restarts));

    size_t foreign = 0;
    size_t best = 0;
    size_t run = 0;
    for (size_t i = 0; i < returned.size(); ++i) {
        const DWORD value = returned[i];
        if (value != 0 && ((value & 0xFF) != 0 || (value >> 8) > written)) {
            ++foreign;
        }
        run = value != 0 && i != 0 && value == returned[i - 1] + 0x100 ? run + 1 : (value != 0 ? 1 : 0);
        best = run > best ? run : best;
    }
    EXPECT_EQ(0u, foreign) << "samples that were never written came back";
    EXPECT_GE(best, 24000u) << "longest exact stretch " << best << " samples";
}

} // namespace
