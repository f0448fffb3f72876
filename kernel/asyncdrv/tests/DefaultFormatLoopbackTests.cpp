// The device channel on a device with several PCM alternates (2 channels in 2 bytes, 2 in 4 and
// 8 in 4): the format GET_RATE_CAPS reports is the one the device streams, so a looped-back
// pattern written in that layout comes back as a clean run on the paced bus, and the channel
// moves audio at the rate's pace on the bus, not at the pace of a wider alternate. No layer
// traces an error on the way.
#include "DeviceChannelE2EFixture.h"
#include <platform/trace.h>
#include <sim/usb_host_controller.h>
#include "EngineBusPump.h"

namespace e2e_test {
namespace {

constexpr ULONG BUFFER_FRAMES = 512;
constexpr ULONG READS = 120;

struct open_channel_handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~open_channel_handle()
    {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

class DefaultFormatChannelTest : public ChannelE2ETest {};

TEST_F(DefaultFormatChannelTest, RateCapsFormatStreamsACleanRunAtTheRatesPace)
{
    platform::trace_capture errors(nullptr, TRACE_LEVEL_ERROR);
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);

    open_channel_handle guard;
    guard.handle = open_channel(channel_path(pdo));
    HANDLE h = guard.handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    ULONG rate = 0;
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate)).status);
    ASSERT_NE(0u, rate);
    QELASIO_RATE_CAPS caps{};
    caps.Rate = rate;
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps)).status);
    // The widest alternate is the first 4-byte one.
    EXPECT_EQ(2u, caps.RenderChannels);
    EXPECT_EQ(32u, caps.RenderBits);
    ASSERT_EQ(caps.RenderChannels, caps.CaptureChannels);
    ASSERT_EQ(caps.RenderBits, caps.CaptureBits);
    const ULONG channels = caps.RenderChannels;
    const ULONG sampleBytes = caps.RenderBits / 8;
    const ULONG frameBytes = channels * sampleBytes;

    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
    const std::uint64_t framesBefore = pump.frames();
    auto pattern = [&](ULONGLONG k, UCHAR *out) { channel_pattern(k, channels, sampleBytes, out); };
    const channel_loopback run =
        stream_channel(h, BUFFER_FRAMES, frameBytes, READS, &pump, [&](ULONGLONG first, ULONG frames, UCHAR *out) {
            for (ULONG f = 0; f < frames; ++f, out += frameBytes) {
                pattern(first + f, out);
            }
        });
    const std::uint64_t busMs = pump.frames() - framesBefore;
    ASSERT_EQ(STATUS_SUCCESS, run.failure) << "after " << run.reads << " READs";

    const sim::clean_run clean = sim::check_clean_run(run.looped, frameBytes, run.written, pattern);
    EXPECT_TRUE(clean.clean) << clean.why;
    EXPECT_EQ(0u, pump.overruns());

    // The bus runs one frame a millisecond: the channel's audio follows the rate, within the
    // slack of the block granularity and the stream's start.
    const double framesPerMs = static_cast<double>(run.looped.size() / frameBytes) / static_cast<double>(busMs);
    const double nominal = rate / 1000.0;
    EXPECT_GT(framesPerMs, nominal * 0.9) << run.looped.size() / frameBytes << " frames in " << busMs << " ms";
    EXPECT_LT(framesPerMs, nominal * 1.1) << run.looped.size() / frameBytes << " frames in " << busMs << " ms";
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
    EXPECT_TRUE(errors.records().empty());
}

} // namespace
} // namespace e2e_test
