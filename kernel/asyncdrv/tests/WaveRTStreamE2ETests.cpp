// The WaveRT stream end to end on the paced bus: ovmlsaau loaded by PnP for a simulated device
// that loops its output back to its input, the audio engine's role playing a 16-bit stereo
// pattern into the 4-channel 24-bit device and recording 16-bit stereo from it, while an
// ASIO-style client streams through the device channel. What the device plays carries both
// producers, each as a clean run, and what the audio engine records is a clean run too.
#include <atomic>
#include <thread>
#include <ksmedia.h>
#include <sim/audio_engine.h>
#include "DeviceChannelE2EFixture.h"
#include "EngineBusPump.h"

namespace e2e_test {
namespace {

// A device without a stored rate starts at 44100 Hz.
constexpr ULONG RATE = 44100;
constexpr ULONG FRAME_BYTES = 12;   // the device: 4 channels of packed 24 bits
constexpr ULONG BUFFER_FRAMES = 256; // the channel's buffer
constexpr LONG CHANNEL3 = 0x123456;
constexpr LONG CHANNEL4 = -0x123456;

KSDATARANGE_AUDIO stereo_range(ULONG bits)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 2;
    range.MinimumBitsPerSample = bits;
    range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = RATE;
    range.MaximumSampleFrequency = RATE;
    return range;
}

// A stereo pin of the data flow with two notifications per buffer of 100 ms.
std::unique_ptr<sim::wavert_pin> open_pin(sim::wavert_filter &filter, KSPIN_DATAFLOW flow, ULONG bits = 16)
{
    ULONG count = 0;
    EXPECT_EQ(STATUS_SUCCESS, filter.pin_count(&count));
    for (ULONG pin = 0; pin < count; ++pin) {
        KSPIN_DATAFLOW pinFlow{};
        KSPIN_COMMUNICATION communication{};
        if (!NT_SUCCESS(filter.pin_dataflow(pin, &pinFlow)) ||
            !NT_SUCCESS(filter.pin_communication(pin, &communication)) || pinFlow != flow ||
            communication == KSPIN_COMMUNICATION_BRIDGE) {
            continue;
        }
        std::vector<UCHAR> format;
        sim::ks_result probe;
        EXPECT_EQ(STATUS_SUCCESS, filter.intersect(pin, stereo_range(bits), &format, &probe));
        std::unique_ptr<sim::wavert_pin> created;
        EXPECT_EQ(STATUS_SUCCESS, filter.create_pin(pin, format, &created));
        if (created == nullptr) {
            return nullptr;
        }
        EXPECT_EQ(STATUS_SUCCESS, created->allocate_buffer(RATE / 10 * 2 * bits / 8, 2));
        EXPECT_EQ(STATUS_SUCCESS, created->register_event());
        return created;
    }
    ADD_FAILURE() << "no streaming pin of that data flow";
    return nullptr;
}

// Frame k of the WaveRT pattern as the device carries it on its first two channels: each 16-bit
// sample in the top two bytes of a packed 24-bit one.
void pattern_in_24(ULONGLONG k, UCHAR *out)
{
    UCHAR frame[4];
    sim::wavert_write_pattern(frame, k, 1, 2, 16);
    const UCHAR bytes[6] = {0, frame[0], frame[1], 0, frame[2], frame[3]};
    std::memcpy(out, bytes, sizeof(bytes));
}

// The device channel's two constants on channels 3 and 4 of a packed 24-bit frame.
void constants_in_24(ULONGLONG, UCHAR *out)
{
    for (LONG v : {CHANNEL3, CHANNEL4}) {
        for (int b = 0; b < 3; ++b) {
            *out++ = static_cast<UCHAR>(static_cast<ULONG>(v) >> (8 * b));
        }
    }
}

// A device channel WRITE block: the two constants on channels 3 and 4, or on channels 1 and 2,
// the other two channels silent.
void channel_block(ULONG frames, UCHAR *out, bool onFirstTwo)
{
    for (ULONG f = 0; f < frames; ++f, out += FRAME_BYTES) {
        std::memset(out, 0, FRAME_BYTES);
        constants_in_24(0, out + (onFirstTwo ? 0 : 6));
    }
}

// The filter of the device at 44100 Hz.
std::unique_ptr<sim::wavert_filter> open_filter()
{
    for (const std::wstring &path : sim::audio_interfaces()) {
        if (path.find(L"Wave_44100") != std::wstring::npos || path.find(L"wave_44100") != std::wstring::npos) {
            std::unique_ptr<sim::wavert_filter> filter;
            EXPECT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(path, &filter));
            return filter;
        }
    }
    ADD_FAILURE() << "no filter at 44100 Hz";
    return nullptr;
}

TEST_F(ChannelE2ETest, WaveRTStreamAndDeviceChannelMixIntoOneRenderStream)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {4, 3, 24}};
    descriptors.capture_formats = {{2, 2, 16}, {4, 3, 24}};
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach(descriptors);
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);

    std::unique_ptr<sim::wavert_filter> filter = open_filter();
    ASSERT_NE(nullptr, filter);
    std::unique_ptr<sim::wavert_pin> render = open_pin(*filter, KSPIN_DATAFLOW_IN);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT);
    ASSERT_NE(nullptr, render);
    ASSERT_NE(nullptr, capture);
    sim::paced_bus::gate pins = pump.hold([&] { return render->caught_up() && capture->caught_up(); });
    render->prefill();
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_RUN));

    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);

    // The audio engine plays on for longer than the channel's client streams.
    std::atomic<bool> renderOk{false};
    std::atomic<bool> captureOk{false};
    std::vector<UCHAR> recorded;
    std::jthread player([&] { renderOk = render->stream(30, 5000, nullptr); });
    std::jthread recorder([&] { captureOk = capture->stream(16, 5000, &recorded); });
    const channel_loopback run =
        stream_channel(h, BUFFER_FRAMES, FRAME_BYTES, 150, &pump,
                       [](ULONGLONG, ULONG frames, UCHAR *out) { channel_block(frames, out, false); });
    player.join();
    recorder.join();
    pins.release();
    ASSERT_EQ(STATUS_SUCCESS, run.failure) << "after " << run.reads << " READs";
    EXPECT_TRUE(renderOk);
    EXPECT_TRUE(captureOk);
    EXPECT_EQ(0u, pump.overruns());

    // The device played both producers at once: channels 1 and 2 carry the WaveRT pattern,
    // channels 3 and 4 the channel's constants, each a clean run to the last READ.
    const sim::clean_run stream = sim::check_clean_run(sim::frame_slice(run.looped, FRAME_BYTES, 0, 6), 6,
                                                       render->frames_written(), pattern_in_24, 0, sim::any_frame);
    EXPECT_TRUE(stream.clean) << "WaveRT: " << stream.why;
    const sim::clean_run channel =
        sim::check_clean_run(sim::frame_slice(run.looped, FRAME_BYTES, 6, 6), 6, run.written, constants_in_24);
    EXPECT_TRUE(channel.clean) << "channel: " << channel.why;

    // The WaveRT capture stream got the device's first two channels converted to 16 bits: the
    // pattern, from its first frame on.
    const sim::clean_run recording = sim::check_clean_run(
        recorded, 4, render->frames_written(),
        [](ULONGLONG k, UCHAR *out) { sim::wavert_write_pattern(out, k, 1, 2, 16); }, 0, 0);
    EXPECT_TRUE(recording.clean) << "recording: " << recording.why;

    EXPECT_TRUE(CloseHandle(h));
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_STOP));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_STOP));
    render.reset();
    capture.reset();
    filter.reset();
    pump.forget();
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

// Capture into an 8-bit stream: each sample is the device sample's top byte, made unsigned.
TEST_F(ChannelE2ETest, EightBitCaptureStreamGetsTheTopByteOfTheDevice)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {4, 3, 24}};
    descriptors.capture_formats = {{2, 1, 8}, {2, 2, 16}, {4, 3, 24}};
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach(descriptors);
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);
    std::unique_ptr<sim::wavert_filter> filter = open_filter();
    ASSERT_NE(nullptr, filter);
    std::unique_ptr<sim::wavert_pin> render = open_pin(*filter, KSPIN_DATAFLOW_IN);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT, 8);
    ASSERT_NE(nullptr, render);
    ASSERT_NE(nullptr, capture);
    sim::paced_bus::gate pins = pump.hold([&] { return render->caught_up() && capture->caught_up(); });
    render->prefill();
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_RUN));
    std::atomic<bool> renderOk{false};
    std::vector<UCHAR> recorded;
    {
        std::jthread player([&] { renderOk = render->stream(14, 5000, nullptr); });
        EXPECT_TRUE(capture->stream(10, 5000, &recorded));
    }
    pins.release();
    EXPECT_TRUE(renderOk);
    EXPECT_EQ(0u, pump.overruns());
    const sim::clean_run recording = sim::check_clean_run(
        recorded, 2, render->frames_written(),
        [](ULONGLONG k, UCHAR *out) {
            for (ULONG c = 0; c < 2; ++c) {
                out[c] = static_cast<UCHAR>(((sim::wavert_pattern_sample(k, c, 16) >> 8) & 0xFF) ^ 0x80);
            }
        },
        0x80, 0);
    EXPECT_TRUE(recording.clean) << recording.why;
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_STOP));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_STOP));
    pump.forget();
}

// A render-only channel on a device that also captures is not paced by capture: each render
// transfer asks it for a whole transfer of frames, far more than one capture transfer holds, and
// what it wrote comes back to the audio engine's capture stream as a clean run.
TEST_F(ChannelE2ETest, RenderOnlyChannelOnADuplexDevicePlaysWholeTransfers)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {4, 3, 24}};
    descriptors.capture_formats = {{2, 2, 16}, {4, 3, 24}};
    engine_test::bus_pump pump(*machine);
    DEVICE_OBJECT *pdo = attach(descriptors);
    ASSERT_NE(nullptr, pdo);
    pump.watch(pdo);
    std::unique_ptr<sim::wavert_filter> filter = open_filter();
    ASSERT_NE(nullptr, filter);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT);
    ASSERT_NE(nullptr, capture);
    sim::paced_bus::gate pin = pump.hold([&] { return capture->caught_up(); });
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));

    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, 64, 0, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
    CDeviceChannel &channel = static_cast<CAdapterCommon *>(AsyncExtension(pdo->AttachedDevice)->Adapter)->Channel();

    std::vector<UCHAR> block(64 * FRAME_BYTES);
    channel_block(64, block.data(), true);
    std::vector<UCHAR> recorded;
    std::atomic<bool> captureOk{false};
    std::atomic<bool> writing{false};
    {
        // The writer keeps a WRITE in the driver; the drain thread has caught up once the
        // output FIFO has no room for it.
        sim::paced_bus::gate writer = pump.hold([&] {
            return writing && channel.OutputFifo().Size() - channel.OutputFifo().Fill() < block.size();
        });
        std::jthread recorder([&] { captureOk = capture->stream(8, 5000, &recorded); });
        // Writes pend until the drain thread has moved them into the output FIFO.
        for (ULONG i = 0; i < 1000 && !captureOk; ++i) {
            pending_io out;
            out.buffer = block;
            writing = true;
            out.issued =
                WriteFile(h, out.buffer.data(), static_cast<DWORD>(out.buffer.size()), nullptr, &out.overlapped);
            ASSERT_TRUE(out.wait());
            writing = false;
            ASSERT_EQ(STATUS_SUCCESS, out.status()) << "write " << i;
        }
    }
    pin.release();
    EXPECT_TRUE(captureOk);
    EXPECT_EQ(0u, pump.overruns());
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    EXPECT_TRUE(CloseHandle(h));

    // The channel's samples come back on the first two channels, cut to 16 bits, from the first
    // to the last frame recorded: a source cut to one capture transfer per render transfer
    // would leave silence in every transfer.
    const UCHAR played[4] = {static_cast<UCHAR>(CHANNEL3 >> 8), static_cast<UCHAR>(CHANNEL3 >> 16),
                             static_cast<UCHAR>(CHANNEL4 >> 8), static_cast<UCHAR>(CHANNEL4 >> 16)};
    const sim::clean_run recording =
        sim::check_clean_run(recorded, 4, ~0ull, [&](ULONGLONG, UCHAR *out) { std::memcpy(out, played, 4); });
    EXPECT_TRUE(recording.clean) << recording.why;
    EXPECT_GE(recording.frames, RATE / 20);
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_STOP));
    pump.forget();
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

} // namespace
} // namespace e2e_test
