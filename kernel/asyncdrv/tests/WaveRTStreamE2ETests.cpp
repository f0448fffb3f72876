// The WaveRT stream end to end: ovmlsaau loaded by PnP for a simulated device that loops its
// output back to its input, the audio engine's role playing a 16-bit stereo pattern into the
// 4-channel 24-bit device and recording 16-bit stereo from it, while an ASIO-style client
// streams through the device channel. What the device plays must carry both producers.
#include <atomic>
#include <thread>
#include <ksmedia.h>
#include <sim/audio_engine.h>
#include "DeviceChannelE2EFixture.h"

namespace e2e_test {
namespace {

// A device without a stored rate starts at 44100 Hz.
constexpr ULONG RATE = 44100;
constexpr ULONG FRAME_BYTES = 12;   // the device: 4 channels of packed 24 bits
constexpr ULONG BUFFER_FRAMES = 256; // the channel's buffer
constexpr LONG CHANNEL3 = 0x123456;
constexpr LONG CHANNEL4 = -0x123456;

LONG sample24(const UCHAR *p)
{
    return static_cast<LONG>(static_cast<ULONG>(p[0]) << 8 | static_cast<ULONG>(p[1]) << 16 |
                             static_cast<ULONG>(p[2]) << 24) >> 8;
}

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

// The longest run of frames in data (4-channel 24-bit) whose first two channels carry the
// 16-bit pattern in order, with the device channel's constants on channels 3 and 4.
ULONG longest_mixed_run(const std::vector<UCHAR> &data)
{
    ULONG best = 0;
    ULONG run = 0;
    LONGLONG previous = -1;
    for (size_t at = 0; at + FRAME_BYTES <= data.size(); at += FRAME_BYTES) {
        const UCHAR *frame = &data[at];
        // Packed 24-bit samples of a 16-bit source: the source value sits in the top two bytes.
        LONG left = sample24(frame) >> 8;
        LONG right = sample24(frame + 3) >> 8;
        bool channelPart = sample24(frame + 6) == CHANNEL3 && sample24(frame + 9) == CHANNEL4;
        bool streamPart = (sample24(frame) & 0xFF) == 0 && (sample24(frame + 3) & 0xFF) == 0 &&
                          right == sim::wavert_pattern_sample(static_cast<ULONGLONG>(left), 1, 16);
        if (channelPart && streamPart && previous >= 0 &&
            left == sim::wavert_pattern_sample(static_cast<ULONGLONG>(previous) + 1, 0, 16)) {
            ++run;
        } else {
            run = channelPart && streamPart ? 1 : 0;
        }
        previous = channelPart && streamPart ? left : -1;
        best = run > best ? run : best;
    }
    return best;
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

// Whether samples holds, from some frame on, the top bytes of the 16-bit pattern as unsigned
// 8-bit stereo samples.
bool holds_pattern_top_bytes(const UCHAR *samples, ULONG frames)
{
    auto expected = [](ULONGLONG frame, ULONG channel) {
        return static_cast<UCHAR>(((sim::wavert_pattern_sample(frame, channel, 16) >> 8) & 0xFF) ^ 0x80);
    };
    for (ULONGLONG first = 0; first < 0x8000; ++first) {
        ULONG f = 0;
        while (f < frames && samples[2 * f] == expected(first + f, 0) && samples[2 * f + 1] == expected(first + f, 1)) {
            ++f;
        }
        if (f == frames) {
            return true;
        }
    }
    return false;
}

TEST_F(ChannelE2ETest, WaveRTStreamAndDeviceChannelMixIntoOneRenderStream)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {4, 3, 24}};
    descriptors.capture_formats = {{2, 2, 16}, {4, 3, 24}};
    DEVICE_OBJECT *pdo = attach(descriptors);
    ASSERT_NE(nullptr, pdo);

    std::unique_ptr<sim::wavert_filter> filter = open_filter();
    ASSERT_NE(nullptr, filter);
    std::unique_ptr<sim::wavert_pin> render = open_pin(*filter, KSPIN_DATAFLOW_IN);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT);
    ASSERT_NE(nullptr, render);
    ASSERT_NE(nullptr, capture);
    render->prefill();
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));

    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, BUFFER_FRAMES, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);

    std::atomic<bool> renderOk{false};
    std::atomic<bool> captureOk{false};
    std::vector<UCHAR> recorded;
    std::jthread player([&] { renderOk = render->stream(20, 5000, nullptr); });
    std::jthread recorder([&] { captureOk = capture->stream(16, 5000, &recorded); });

    // The channel client: two READs in flight; each completed READ is answered by a WRITE of
    // silence on channels 1 and 2 and the constants on channels 3 and 4.
    std::vector<UCHAR> block;
    for (ULONG f = 0; f < BUFFER_FRAMES; ++f) {
        for (LONG v : {static_cast<LONG>(0), static_cast<LONG>(0), CHANNEL3, CHANNEL4}) {
            for (int b = 0; b < 3; ++b) {
                block.push_back(static_cast<UCHAR>(static_cast<ULONG>(v) >> (8 * b)));
            }
        }
    }
    // Real-time streaming on a loaded machine may glitch; the engine then recovers and the
    // client restarts its channel as the ASIO driver does (STOP, START, fresh READs).
    pending_io reads[2];
    auto begin = [&] {
        read(h, reads[0], BUFFER_FRAMES * FRAME_BYTES);
        read(h, reads[1], BUFFER_FRAMES * FRAME_BYTES);
        return control(h, IOCTL_QELASIO_START_CAPTURE).status;
    };
    ASSERT_EQ(STATUS_SUCCESS, begin());
    std::vector<UCHAR> looped;
    ULONG restarts = 0;
    for (ULONG done = 0, i = 0; done < 150; ++i) {
        pending_io &io = reads[i % 2];
        ASSERT_TRUE(io.wait()) << "read " << done;
        NTSTATUS status = io.status();
        pending_io out;
        if (NT_SUCCESS(status)) {
            looped.insert(looped.end(), io.buffer.begin(), io.buffer.end());
            out.buffer = block;
            out.issued =
                WriteFile(h, out.buffer.data(), static_cast<DWORD>(out.buffer.size()), nullptr, &out.overlapped);
            ASSERT_TRUE(out.wait());
            status = out.status();
        }
        if (!NT_SUCCESS(status)) {
            EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_REINITIALIZATION_NEEDED) << status;
            ASSERT_LT(++restarts, 10u) << "the stream does not settle";
            ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
            ASSERT_TRUE(reads[0].wait());
            ASSERT_TRUE(reads[1].wait());
            ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
            ASSERT_EQ(STATUS_SUCCESS, begin());
            i = 1;
            continue;
        }
        read(h, io, BUFFER_FRAMES * FRAME_BYTES);
        ++done;
    }
    player.join();
    recorder.join();
    RecordProperty("restarts", static_cast<int>(restarts));
    EXPECT_TRUE(renderOk);
    EXPECT_TRUE(captureOk);

    // The device played both producers at once: a long stretch carries the WaveRT pattern on
    // channels 1 and 2, in order, and the channel's constants on channels 3 and 4.
    EXPECT_GE(longest_mixed_run(looped), RATE / 10);

    // The WaveRT capture stream got the device's first two channels converted to 16 bits: the
    // pattern, in order, over a whole half buffer somewhere in what it recorded.
    const ULONG half = RATE / 10 * 4 / 2;
    bool found = false;
    for (size_t at = 0; at + half <= recorded.size() && !found; at += half) {
        found = sim::wavert_find_pattern(&recorded[at], half / 4, 2, 16) >= 0;
    }
    EXPECT_TRUE(found) << "no half of the recording holds the pattern";

    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    EXPECT_TRUE(CloseHandle(h));
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_STOP));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_STOP));
    render.reset();
    capture.reset();
    filter.reset();
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

// Capture into an 8-bit stream: each sample is the device sample's top byte, made unsigned.
TEST_F(ChannelE2ETest, EightBitCaptureStreamGetsTheTopByteOfTheDevice)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {4, 3, 24}};
    descriptors.capture_formats = {{2, 1, 8}, {2, 2, 16}, {4, 3, 24}};
    ASSERT_NE(nullptr, attach(descriptors));
    std::unique_ptr<sim::wavert_filter> filter = open_filter();
    ASSERT_NE(nullptr, filter);
    std::unique_ptr<sim::wavert_pin> render = open_pin(*filter, KSPIN_DATAFLOW_IN);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT, 8);
    ASSERT_NE(nullptr, render);
    ASSERT_NE(nullptr, capture);
    render->prefill();
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));
    std::atomic<bool> renderOk{false};
    std::vector<UCHAR> recorded;
    {
        std::jthread player([&] { renderOk = render->stream(14, 5000, nullptr); });
        EXPECT_TRUE(capture->stream(10, 5000, &recorded));
    }
    EXPECT_TRUE(renderOk);
    const ULONG half = RATE / 10 * 2 / 2;
    bool found = false;
    for (size_t at = 0; at + half <= recorded.size() && !found; at += half) {
        found = holds_pattern_top_bytes(&recorded[at], half / 2);
    }
    EXPECT_TRUE(found) << "no half of the recording holds the pattern's top bytes";
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_STOP));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_STOP));
}

// A render-only channel on a device that also captures is not paced by capture: each render
// transfer asks it for a whole transfer of frames, far more than one capture transfer holds.
TEST_F(ChannelE2ETest, RenderOnlyChannelOnADuplexDevicePlaysWholeTransfers)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {4, 3, 24}};
    descriptors.capture_formats = {{2, 2, 16}, {4, 3, 24}};
    DEVICE_OBJECT *pdo = attach(descriptors);
    ASSERT_NE(nullptr, pdo);
    std::unique_ptr<sim::wavert_filter> filter = open_filter();
    ASSERT_NE(nullptr, filter);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT);
    ASSERT_NE(nullptr, capture);
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));

    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, 64, 0, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);

    std::vector<UCHAR> block;
    for (ULONG f = 0; f < 64; ++f) {
        for (LONG v : {CHANNEL3, CHANNEL4, static_cast<LONG>(0), static_cast<LONG>(0)}) {
            for (int b = 0; b < 3; ++b) {
                block.push_back(static_cast<UCHAR>(static_cast<ULONG>(v) >> (8 * b)));
            }
        }
    }
    std::vector<UCHAR> recorded;
    std::atomic<bool> captureOk{false};
    {
        std::jthread recorder([&] { captureOk = capture->stream(8, 5000, &recorded); });
        // Writes pend until the drain thread has moved them into the output FIFO.
        for (ULONG i = 0; i < 300 && !captureOk; ++i) {
            pending_io out;
            out.buffer = block;
            out.issued =
                WriteFile(h, out.buffer.data(), static_cast<DWORD>(out.buffer.size()), nullptr, &out.overlapped);
            ASSERT_TRUE(out.wait());
            ASSERT_EQ(STATUS_SUCCESS, out.status()) << "write " << i;
        }
    }
    EXPECT_TRUE(captureOk);
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    EXPECT_TRUE(CloseHandle(h));

    // The channel's samples come back on the first two channels, cut to 16 bits, without gaps
    // over many render transfers: a source cut to one capture transfer per render transfer
    // would leave silence in every transfer.
    ULONG run = 0;
    ULONG longest = 0;
    for (size_t at = 0; at + 4 <= recorded.size(); at += 4) {
        SHORT left = static_cast<SHORT>(recorded[at] | recorded[at + 1] << 8);
        SHORT right = static_cast<SHORT>(recorded[at + 2] | recorded[at + 3] << 8);
        bool played = left == static_cast<SHORT>(CHANNEL3 >> 8) && right == static_cast<SHORT>(CHANNEL4 >> 8);
        run = played ? run + 1 : 0;
        longest = run > longest ? run : longest;
    }
    EXPECT_GE(longest, RATE / 20) << "the channel's data did not play whole transfers";
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_STOP));
    EXPECT_EQ(0u, devices[0]->counters().out_invalid);
}

} // namespace
} // namespace e2e_test
