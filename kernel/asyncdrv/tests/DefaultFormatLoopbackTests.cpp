// The device channel on a device with several PCM alternates (2 channels in 2 bytes, 2 in 4 and
// 8 in 4): the format GET_RATE_CAPS reports is the one the device streams, so a looped-back
// pattern written in that layout comes back unchanged and the channel moves audio at the rate's
// pace on the bus, not at the pace of a wider alternate.
#include "DeviceChannelE2EFixture.h"
#include <map>
#include <sim/usb_host_controller.h>
#include "EngineBusPump.h"

namespace e2e_test {
namespace {

constexpr ULONG BUFFER_FRAMES = 512;
constexpr ULONG READS = 120;
constexpr ULONG RESTART_LIMIT = 10;

struct open_channel_handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~open_channel_handle()
    {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

std::vector<UCHAR> pattern_frame(ULONG k, ULONG channels, ULONG sampleBytes)
{
    std::vector<UCHAR> frame;
    for (ULONG c = 0; c < channels; ++c) {
        ULONG value = (k + 1) * 0x9E3779B1u ^ ((c + 3) * 0x7F4A7C15u);
        for (ULONG b = 0; b < sampleBytes; ++b) {
            frame.push_back(static_cast<UCHAR>(value >> (8 * (b % 4))));
        }
    }
    return frame;
}

class DefaultFormatChannelTest : public ChannelE2ETest {};

TEST_F(DefaultFormatChannelTest, RateCapsFormatStreamsBitExactAtTheRatesPace)
{
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);

    pending_io reads[2];
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
    const ULONG blockBytes = BUFFER_FRAMES * frameBytes;

    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);

    std::vector<UCHAR> written;
    ULONG nextFrame = 0;
    auto next_block = [&] {
        std::vector<UCHAR> block;
        for (ULONG f = 0; f < BUFFER_FRAMES; ++f, ++nextFrame) {
            std::vector<UCHAR> frame = pattern_frame(nextFrame, channels, sampleBytes);
            block.insert(block.end(), frame.begin(), frame.end());
        }
        written.insert(written.end(), block.begin(), block.end());
        return block;
    };
    auto begin = [&] {
        read(h, reads[0], blockBytes);
        read(h, reads[1], blockBytes);
        return control(h, IOCTL_QELASIO_START_CAPTURE).status;
    };
    ASSERT_EQ(STATUS_SUCCESS, begin());

    std::vector<UCHAR> looped;
    ULONG restarts = 0;
    // Pace over the reads since the last (re)start: frames delivered per bus millisecond.
    ULONG paceFirstBusFrame = 0;
    ULONG paceReads = 0;
    ULONG paceFrames = 0;
    ULONG paceLastBusFrame = 0;
    for (ULONG done = 0, i = 0; done < READS; ++i) {
        pending_io &io = reads[i % 2];
        ASSERT_TRUE(io.wait()) << "read " << done;
        NTSTATUS status = io.status();
        if (NT_SUCCESS(status)) {
            ULONG busFrame = machine->usb_bus().current_frame();
            if (paceReads++ == 0) {
                paceFirstBusFrame = busFrame;
            } else {
                paceFrames += BUFFER_FRAMES;
                paceLastBusFrame = busFrame;
            }
            looped.insert(looped.end(), io.buffer.begin(), io.buffer.end());
            pending_io out;
            out.buffer = next_block();
            out.issued =
                WriteFile(h, out.buffer.data(), static_cast<DWORD>(out.buffer.size()), nullptr, &out.overlapped);
            ASSERT_TRUE(out.wait());
            status = out.status();
        }
        if (!NT_SUCCESS(status)) {
            EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_REINITIALIZATION_NEEDED) << status;
            ASSERT_LT(++restarts, RESTART_LIMIT) << "the stream does not settle";
            ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
            ASSERT_TRUE(reads[0].wait());
            ASSERT_TRUE(reads[1].wait());
            ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
            ASSERT_EQ(STATUS_SUCCESS, begin());
            paceReads = paceFrames = 0;
            i = 1;
            continue;
        }
        read(h, io, blockBytes);
        ++done;
    }
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    reads[0].wait();
    reads[1].wait();

    // The bus runs one frame a millisecond: the channel's audio follows the rate, within the
    // slack of the block granularity.
    ASSERT_GT(paceFrames, 0u);
    const double busMs = static_cast<double>(paceLastBusFrame - paceFirstBusFrame);
    ASSERT_GT(busMs, 0.0);
    const double framesPerMs = paceFrames / busMs;
    const double nominal = rate / 1000.0;
    EXPECT_GT(framesPerMs, nominal * 0.8) << paceFrames << " frames in " << busMs << " ms";
    EXPECT_LT(framesPerMs, nominal * 1.25) << paceFrames << " frames in " << busMs << " ms";

    std::map<std::vector<UCHAR>, ULONG> index;
    for (ULONG k = 0; k < nextFrame; ++k) {
        index.emplace(std::vector<UCHAR>(written.begin() + k * frameBytes, written.begin() + (k + 1) * frameBytes), k);
    }
    ULONG best = 0;
    ULONG run = 0;
    LONG expected = -1;
    for (size_t at = 0; at + frameBytes <= looped.size(); at += frameBytes) {
        auto found = index.find(std::vector<UCHAR>(looped.begin() + at, looped.begin() + at + frameBytes));
        if (found != index.end() && static_cast<LONG>(found->second) == expected) {
            ++run;
        } else {
            run = found != index.end() ? 1 : 0;
        }
        expected = found != index.end() ? static_cast<LONG>(found->second) + 1 : -1;
        best = run > best ? run : best;
    }
    EXPECT_GE(best, rate / 4) << "longest exact stretch " << best << " frames";
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

} // namespace
} // namespace e2e_test
