// Bit-exact loopback through the device channel and the streaming engine, in real time: a client
// that does what the ASIO client does (PREPARE, two READs pended, START_CAPTURE, a WRITE for
// every READ) writes a pattern that covers every byte of each sample; the device loops its
// output to its input, and the pattern comes back unchanged, in order, at a constant latency,
// for 16-, 24- and 32-bit containers. The bus keeps real time but never runs ahead of the
// driver, so a loaded machine slows the run instead of glitching it. A failed capture transfer under a capture-paced channel
// raises the stream-reset flag and the client must restart.
#include "DeviceChannelE2EFixture.h"
#include <map>
#include <sim/usb_host_controller.h>
#include "EngineBusPump.h"

namespace e2e_test {
namespace {

constexpr ULONG BUFFER_FRAMES = 512;
constexpr ULONG READS = 200; // about 2.3 s at 44.1 kHz
constexpr ULONG CHANNELS = 2;
// A glitch would cost the client a restart; a paced bus should need none.
constexpr ULONG RESTART_LIMIT = 10;

// Closes a channel handle on every way out of a test, so that a failed assertion does not
// leave a started channel behind for the machine's shutdown.
struct channel_handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~channel_handle()
    {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

struct container_case {
    const char *label;
    std::uint8_t subslot;
    std::uint8_t bits;
};

// Sample c of frame k: every byte of the container changes from frame to frame.
std::vector<UCHAR> pattern_frame(ULONG k, ULONG bytes)
{
    std::vector<UCHAR> frame;
    for (ULONG c = 0; c < CHANNELS; ++c) {
        ULONG value = (k + 1) * 0x9E3779B1u ^ (c * 0x7F4A7C15u);
        for (ULONG b = 0; b < bytes; ++b) {
            frame.push_back(static_cast<UCHAR>(value >> (8 * (b % 4))));
        }
    }
    return frame;
}

class EngineLoopbackTest : public ChannelE2ETest, public ::testing::WithParamInterface<container_case> {};

TEST_P(EngineLoopbackTest, ChannelPatternComesBackBitExact)
{
    const container_case &c = GetParam();
    sim::uac2_options descriptors;
    descriptors.render_formats = {{CHANNELS, c.subslot, c.bits}};
    descriptors.capture_formats = {{CHANNELS, c.subslot, c.bits}};
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach(descriptors);
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);
    const ULONG sampleBytes = c.subslot;
    const ULONG frameBytes = CHANNELS * sampleBytes;
    const ULONG blockBytes = BUFFER_FRAMES * frameBytes;

    // Requests in flight outlive the handle that ends them.
    pending_io reads[2];
    channel_handle guard;
    guard.handle = open_channel(channel_path(pdo));
    HANDLE h = guard.handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);

    std::vector<UCHAR> written;
    ULONG nextFrame = 0;
    auto next_block = [&] {
        std::vector<UCHAR> block;
        for (ULONG f = 0; f < BUFFER_FRAMES; ++f, ++nextFrame) {
            std::vector<UCHAR> frame = pattern_frame(nextFrame, sampleBytes);
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
    for (ULONG done = 0, i = 0; done < READS; ++i) {
        pending_io &io = reads[i % 2];
        ASSERT_TRUE(io.wait()) << "read " << done;
        NTSTATUS status = io.status();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(blockBytes, io.buffer.size());
            looped.insert(looped.end(), io.buffer.begin(), io.buffer.end());
            pending_io out;
            out.buffer = next_block();
            out.issued =
                WriteFile(h, out.buffer.data(), static_cast<DWORD>(out.buffer.size()), nullptr, &out.overlapped);
            ASSERT_TRUE(out.wait());
            status = out.status();
        }
        if (!NT_SUCCESS(status)) {
            // A glitch of the real-time bus: the engine recovers and raises the stream-reset
            // flag, and the client restarts as the ASIO driver does.
            EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_REINITIALIZATION_NEEDED) << status;
            ASSERT_LT(++restarts, RESTART_LIMIT) << "the stream does not settle";
            ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
            ASSERT_TRUE(reads[0].wait());
            ASSERT_TRUE(reads[1].wait());
            ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
            ASSERT_EQ(STATUS_SUCCESS, begin());
            i = 1;
            continue;
        }
        read(h, io, blockBytes);
        ++done;
    }
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    reads[0].wait();
    reads[1].wait();
    RecordProperty("restarts", static_cast<int>(restarts));

    // Where each written frame sits in the pattern, then the longest stretch of looped frames
    // that follow the pattern one by one.
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
    // A quarter of a second of the pattern came back intact and in order. A client late with
    // its WRITEs (a slow host, a sanitizer build) makes the FIFOs slip, which ends a stretch.
    EXPECT_GE(best, 44100u / 4) << "longest exact stretch " << best << " frames";
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

INSTANTIATE_TEST_SUITE_P(Containers, EngineLoopbackTest,
                         ::testing::Values(container_case{"Bits16", 2, 16}, container_case{"Bits24", 3, 24},
                                           container_case{"Bits32", 4, 32}),
                         [](const ::testing::TestParamInfo<container_case> &info) {
                             return std::string(info.param.label);
                         });

class EngineChannelTest : public ChannelE2ETest {};

// Capture recovers from a failed transfer; the channel prepared with inputs is capture-paced, so
// its pended READs end, the stream-reset flag is up and READ and WRITE answer
// STATUS_REINITIALIZATION_NEEDED until the client stops and starts again.
TEST_F(EngineChannelTest, CaptureFailureMakesTheCapturePacedClientRestart)
{
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);
    // Requests in flight outlive the handle that ends them.
    pending_io reads[2];
    pending_io again;
    pending_io out;
    channel_handle guard;
    guard.handle = open_channel(channel_path(pdo));
    HANDLE h = guard.handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
    const ULONG blockBytes = BUFFER_FRAMES * CHANNELS * 4;

    read(h, reads[0], blockBytes);
    read(h, reads[1], blockBytes);
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START_CAPTURE).status);
    // Stream until a READ completes, then break capture once.
    ASSERT_TRUE(reads[0].wait());
    machine->port_of(pdo)->fail_transfers(sim::uac2_ids::capture_data_ep, 1);

    // Within a few buffers every pended READ ends: data, then the cancellation of the reset.
    NTSTATUS ended = STATUS_SUCCESS;
    for (ULONG i = 0; i < 200 && NT_SUCCESS(ended); ++i) {
        pending_io &io = reads[i % 2];
        ASSERT_TRUE(io.wait());
        ended = io.status();
        if (NT_SUCCESS(ended)) {
            read(h, io, blockBytes);
        }
    }
    EXPECT_TRUE(ended == STATUS_CANCELLED || ended == STATUS_REINITIALIZATION_NEEDED) << ended;
    ASSERT_TRUE(reads[0].wait());
    ASSERT_TRUE(reads[1].wait());

    ULONG flag = 0;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_STREAM_RESET, nullptr, 0, &flag, sizeof(flag)).status);
    EXPECT_EQ(1u, flag);
    read(h, again, blockBytes);
    ASSERT_TRUE(again.wait());
    EXPECT_EQ(STATUS_REINITIALIZATION_NEEDED, again.status());
    write(h, out, blockBytes, 0);
    ASSERT_TRUE(out.wait());
    EXPECT_EQ(STATUS_REINITIALIZATION_NEEDED, out.status());

    // STOP and START clear it: data flows again.
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_STREAM_RESET, nullptr, 0, &flag, sizeof(flag)).status);
    EXPECT_EQ(0u, flag);
    read(h, reads[0], blockBytes);
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START_CAPTURE).status);
    ASSERT_TRUE(reads[0].wait());
    EXPECT_EQ(STATUS_SUCCESS, reads[0].status());
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
}

} // namespace
} // namespace e2e_test
