// Bit-exact loopback through the device channel and the streaming engine on the paced bus: a
// client that does what the ASIO client does (PREPARE, two READs pended, START_CAPTURE, a WRITE
// for every READ) writes a pattern that covers every byte of each sample; the device loops its
// output to its input, and the pattern comes back as a clean run (silence, then every frame
// written, unchanged, in order, at one latency, without a restart) for 16-, 24- and 32-bit
// containers. A failed capture transfer under a capture-paced channel raises the stream-reset
// flag and the client must restart.
#include <algorithm>
#include "DeviceChannelE2EFixture.h"
#include <sim/usb_host_controller.h>
#include "EngineBusPump.h"

namespace e2e_test {
namespace {

constexpr ULONG BUFFER_FRAMES = 512;
constexpr ULONG READS = 200; // about 2.3 s at 44.1 kHz
constexpr ULONG CHANNELS = 2;

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

class EngineLoopbackTest : public ChannelE2ETest, public ::testing::WithParamInterface<container_case> {};

TEST_P(EngineLoopbackTest, ChannelPatternComesBackAsACleanRun)
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

    channel_handle guard;
    guard.handle = open_channel(channel_path(pdo));
    HANDLE h = guard.handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
    auto pattern = [&](ULONGLONG k, UCHAR *out) { channel_pattern(k, CHANNELS, sampleBytes, out); };
    const channel_loopback run =
        stream_channel(h, BUFFER_FRAMES, frameBytes, READS, &pump, [&](ULONGLONG first, ULONG frames, UCHAR *out) {
            for (ULONG f = 0; f < frames; ++f, out += frameBytes) {
                pattern(first + f, out);
            }
        });
    ASSERT_EQ(STATUS_SUCCESS, run.failure) << "after " << run.reads << " READs";

    const sim::clean_run clean = sim::check_clean_run(run.looped, frameBytes, run.written, pattern);
    EXPECT_TRUE(clean.clean) << clean.why;
    // The data begins within the first READs: one buffer of prefill and the transfers on the bus.
    EXPECT_LT(clean.latency, 4 * BUFFER_FRAMES);
    RecordProperty("latency", static_cast<int>(clean.latency));
    EXPECT_EQ(0u, pump.overruns());
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

INSTANTIATE_TEST_SUITE_P(Containers, EngineLoopbackTest,
                         ::testing::Values(container_case{"Bits16", 2, 16}, container_case{"Bits24", 3, 24},
                                           container_case{"Bits32", 4, 32}),
                         [](const ::testing::TestParamInfo<container_case> &info) {
                             return std::string(info.param.label);
                         });

class EngineChannelTest : public ChannelE2ETest {};

// The prefill percent the ASIO driver sends for a buffer size: its position between the sizes of
// index 0 and index 31 (64 and 2048 frames at 44.1 and 48 kHz); 0 below index 0.
ULONG asio_prefill_percent(ULONG frames)
{
    return frames <= 64 ? 0 : (frames - 64) * 100 / (2048 - 64);
}

// Every START keeps the client's first frames, at every buffer size: duplex, what the client
// writes from its first WRITE on comes back in its READs as a clean run (silence, then every
// frame from the first, at one latency, no restart); render-only, the device plays it so. Each
// row starts its prepared channel twice; duplex, both starts give the same round trip. (Small
// buffers lost their first frames when the mix source read the output FIFO before it was
// primed, up to a render transfer after the first READ.)
TEST_F(EngineChannelTest, EveryBufferSizeKeepsEveryFrameFromTheFirstWrite)
{
    std::shared_ptr<sim::usb_tap> tap;
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach({}, {}, &tap);
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);
    channel_handle guard;
    guard.handle = open_channel(channel_path(pdo));
    HANDLE h = guard.handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    constexpr ULONG SAMPLE_BYTES = 4; // the device's widest format: 2 channels in 4 bytes
    constexpr ULONG FRAME_BYTES = CHANNELS * SAMPLE_BYTES;
    auto pattern = [](ULONGLONG k, UCHAR *out) { channel_pattern(k, CHANNELS, SAMPLE_BYTES, out); };
    auto block = [&](ULONGLONG first, ULONG frames, UCHAR *out) {
        for (ULONG f = 0; f < frames; ++f, out += FRAME_BYTES) {
            pattern(first + f, out);
        }
    };

    for (ULONG rate : {44100u, 48000u, 96000u}) {
        ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, sizeof(rate)).status);
        for (ULONG frames : {32u, 64u, 128u, 512u, 2048u}) {
            // At 96 kHz a capture completion brings 96 frames and a client keeps two READs
            // pended: buffers below 48 frames cannot carry the stream (the ASIO driver's
            // smallest there is 128).
            if (rate == 96000 && frames < 64) {
                continue;
            }
            for (bool duplex : {true, false}) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << frames << " frames, "
                                                << (duplex ? "duplex" : "render-only"));
                ASSERT_EQ(STATUS_SUCCESS, acquire(h));
                ASSERT_EQ(STATUS_SUCCESS, prepare(h, frames, duplex, 1, QELASIO_MODE_PCM, asio_prefill_percent(frames)));
                // A fifth of a second per start, 12 buffers at least: 25 render transfers, the
                // render-only FIFO and transfers in flight and more.
                const ULONG blocks = std::max(rate / 5 / frames, 12u);
                size_t latency[2] = {};
                for (int start = 0; start < 2; ++start) {
                    SCOPED_TRACE(start == 0 ? "first start" : "second start");
                    const size_t played = tap->packets(sim::uac2_ids::render_data_ep).size();
                    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
                    const channel_loopback run = duplex ? stream_channel(h, frames, FRAME_BYTES, blocks, &pump, block)
                                                        : stream_render(h, frames, FRAME_BYTES, blocks, &pump, block);
                    ASSERT_EQ(STATUS_SUCCESS, run.failure) << "after " << run.reads << " blocks";
                    std::vector<UCHAR> back = run.looped;
                    if (!duplex) {
                        const auto packets = tap->packets(sim::uac2_ids::render_data_ep);
                        for (size_t p = played; p < packets.size(); ++p) {
                            back.insert(back.end(), packets[p].bytes.begin(), packets[p].bytes.end());
                        }
                    }
                    const sim::clean_run clean = sim::check_clean_run(back, FRAME_BYTES, run.written, pattern);
                    EXPECT_TRUE(clean.clean) << clean.why;
                    EXPECT_GT(clean.frames, run.written / 4);
                    latency[start] = clean.latency;
                }
                if (duplex) {
                    // At 44.1 kHz a packet carries 44 or 45 frames, and a start falls anywhere in
                    // that pattern: its round trip may differ by a few frames, never by more.
                    EXPECT_NEAR(static_cast<double>(latency[0]), static_cast<double>(latency[1]),
                                rate % 1000 == 0 ? 0.0 : 5.0);
                }
                RecordProperty(std::to_string(rate) + "_" + std::to_string(frames) + (duplex ? "_duplex" : "_render"),
                               static_cast<int>(latency[0]));
                ASSERT_EQ(STATUS_SUCCESS, unprepare(h));
                ASSERT_EQ(STATUS_SUCCESS, release(h));
            }
        }
    }
    EXPECT_EQ(0u, pump.overruns());
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

// Capture recovers from a failed transfer; a channel prepared with inputs is capture-paced, with
// or without render, so its pended READs end, the stream-reset flag is up and READ (and WRITE,
// when it renders) answer STATUS_REINITIALIZATION_NEEDED until the client stops and starts again.
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
    const ULONG blockBytes = BUFFER_FRAMES * CHANNELS * 4;
    for (ULONG render : {1u, 0u}) {
        SCOPED_TRACE(render != 0 ? "capture and render" : "capture only");
        ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, render));
        ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
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
        if (render != 0) {
            write(h, out, blockBytes, 0);
            ASSERT_TRUE(out.wait());
            EXPECT_EQ(STATUS_REINITIALIZATION_NEEDED, out.status());
        }

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
        ASSERT_EQ(STATUS_SUCCESS, unprepare(h));
    }
}

} // namespace
} // namespace e2e_test
