// The varieties of real USB audio devices end to end, with the device clock at -800, 0 and
// +800 ppm, on a bus that runs frame by frame and never ahead of the driver or of the client:
// each streams through the device channel bit-exact at one constant latency, without a
// restart (the device loops its output to its input; a render-only device records what it
// played), and opens through the audio engine's WaveRT pins.
#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <ksmedia.h>
#include <sim/audio_engine.h>
#include <sim/clean_run.h>
#include <sim/device_varieties.h>
#include "DeviceChannelE2EFixture.h"
#include "EngineFixture.h"

namespace variety_test {
namespace {

using e2e_test::pending_io;

// The ASIO driver's default buffer: 512 frames at 44.1 and 48 kHz, scaled for higher rates. It
// is longer than the 8 ms the render side takes to take up a capture-paced stream.
ULONG buffer_frames(ULONG rate)
{
    return 512 * (rate % 48000 == 0 ? rate / 48000 : rate % 44100 == 0 ? rate / 44100 : 1);
}
constexpr ULONG RUN_FRAMES = 1500;     // bus milliseconds of streaming
// For the drain thread of a render-only channel: far longer than a starved thread takes, so that
// the bus never moves on with the output FIFO short of what the client queued.
constexpr auto DRAIN_STALL_LIMIT = std::chrono::seconds(60);

// The device channel requests of the end-to-end fixture, made on the calling thread.
struct channel : e2e_test::ChannelE2ETest {
    using ChannelE2ETest::channel_path;
    using ChannelE2ETest::control;
    using ChannelE2ETest::open_channel;
    using ChannelE2ETest::prepare;
    using ChannelE2ETest::read;
};

struct variety_case {
    const char *name;
    ULONG render_channels = 2;  // of the format the device streams (GET_RATE_CAPS)
    ULONG capture_channels = 2; // 0: render only
    bool store_rate = true;     // "SampleRate" stored before the start
    // The output takes the nominal packet and no more: with a fast clock the device records
    // more than it can be sent, so what comes back holds every frame written, in order, with
    // silence between.
    bool nominal_output = false;
};

const variety_case CASES[] = {
    {"HighSpeedImplicitRenderInterval2"},
    {"HighSpeedImplicitRenderInterval4"},
    {"Uac1HighSpeedExplicitFeedback", 2, 0},
    {"FeedbackEndpointNumberDiffers"},
    {"ExplicitFeedbackOnImplicitDevice"},
    {"Uac2VendorAlternateLast"},
    {"Uac1VendorAlternateLast"},
    {"VendorInterfaceAfterAudio"},
    {"InterfaceNumberGap"},
    {"WideMultichannelAlternates", 18, 18},
    {"Uac1Only48000", 2, 2, false},
    {"MonoCapture", 2, 1},
    {"Uac1ContinuousRates"},
    {"ClockSelectorFirstInputFails"},
    {"ClockDefinedAfterTerminals"},
    {"ControlInterfaceNotZero"},
    {"Uac1AdaptiveOutput"},
    {"Uac1SynchronousOutput"},
    {"Uac1AdaptiveOutputNominalPacketsOnly", 2, 2, true, true},
};

sim::device_variety find_variety(const std::string &name)
{
    for (sim::device_variety &v : sim::device_varieties()) {
        if (v.name == name) {
            return v;
        }
    }
    ADD_FAILURE() << "no variety " << name;
    return {};
}

// Byte b of sample c of frame k: never 0, so that no frame of the pattern reads as silence.
UCHAR pattern_byte(ULONGLONG k, ULONG c, ULONG b)
{
    ULONGLONG v = (k + 1) * 0x9E3779B97F4A7C15ull ^ (c + 1) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<UCHAR>(v >> (8 * (b % 8))) | 1;
}

struct layout {
    ULONG channels = 0;
    ULONG bytes = 0; // container bytes per sample
    ULONG frame() const { return channels * bytes; }
};

// The device's loopback of one render frame into its capture format: capture channel c takes
// render channel c, a narrower sample its most significant bytes, a wider one zeros below.
void looped_frame(const UCHAR *render, layout out, layout in, UCHAR *captured)
{
    for (ULONG c = 0; c < in.channels; ++c) {
        for (ULONG b = 0; b < in.bytes; ++b) {
            LONG from = static_cast<LONG>(b + out.bytes) - static_cast<LONG>(in.bytes);
            *captured++ = c < out.channels && from >= 0 ? render[c * out.bytes + from] : 0;
        }
    }
}

// What came back (in layout `in`) against what was written (in layout `out`), as a clean run
// of the device's loopback of each written frame. Where gaps are allowed, the silence the
// device records between written frames (for frames it was never sent) is counted and left
// out first.
struct comparison {
    sim::clean_run run;
    size_t gaps = 0;
};

comparison compare_stream(const std::vector<UCHAR> &written, layout out, const std::vector<UCHAR> &back, layout in,
                          bool gaps_allowed)
{
    comparison r;
    std::vector<UCHAR> data;
    const ULONG bytes = in.frame();
    bool sound = false;
    for (size_t at = 0; at + bytes <= back.size(); at += bytes) {
        const bool silent = std::all_of(back.begin() + at, back.begin() + at + bytes, [](UCHAR b) { return b == 0; });
        if (sound && silent && gaps_allowed) {
            ++r.gaps;
            continue;
        }
        sound = sound || !silent;
        data.insert(data.end(), back.begin() + at, back.begin() + at + bytes);
    }
    r.run = sim::check_clean_run(data, bytes, written.size() / out.frame(), [&](ULONGLONG k, UCHAR *frame) {
        looped_frame(&written[static_cast<size_t>(k) * out.frame()], out, in, frame);
    });
    return r;
}

class VarietyStreamTest : public engine_test::EngineTest {
protected:
    // Starts the driver on the variety and opens, acquires, prepares and starts its channel
    // at the ASIO default buffer; the rate and the layouts the device streams are filled in.
    void start_channel(const variety_case &c, int ppm)
    {
        sim::device_variety v = find_variety(c.name);
        v.options.ppm = ppm;
        start_device(v.descriptors, v.options, v.rate, c.store_rate);
        ASSERT_NE(nullptr, adapter());
        ASSERT_EQ(STATUS_SUCCESS, common()->GetSampleRate(&rate));
        EXPECT_EQ(v.rate, rate);
        handle = channel::open_channel(channel::channel_path(pdo));
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        QELASIO_RATE_CAPS caps{};
        caps.Rate = rate;
        ASSERT_EQ(STATUS_SUCCESS,
                  channel::control(handle, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps)).status);
        EXPECT_EQ(c.render_channels, caps.RenderChannels);
        EXPECT_EQ(c.capture_channels, caps.CaptureChannels);
        render = {caps.RenderChannels, caps.RenderBits / 8};
        capture = {caps.CaptureChannels, caps.CaptureBits / 8};
        frames = buffer_frames(rate);
        ASSERT_EQ(STATUS_SUCCESS, channel::control(handle, IOCTL_QELASIO_ACQUIRE).status);
        ASSERT_EQ(STATUS_SUCCESS, channel::prepare(handle, frames, capture.channels != 0, 1));
        ASSERT_EQ(STATUS_SUCCESS, while_pumping([&] { return channel::control(handle, IOCTL_QELASIO_START).status; }));
    }

    // Frame after frame with the client served in between: each completed READ is answered by
    // a WRITE of the next block; a render-only client keeps three WRITEs queued. Runs for
    // runFrames, or for overrunTail more frames once a WRITE came back short.
    void stream(ULONG runFrames, ULONG overrunTail = ~0u)
    {
        HANDLE h = handle;
        const ULONG bufferFrames = frames;
        const ULONG renderInterface = adapter()->Usb().GetRecord(0)->InterfaceNumber;
        const ULONG renderBytes = bufferFrames * render.frame();
        const ULONG captureBytes = bufferFrames * capture.frame();
        auto write_next = [&](pending_io &io) {
            io.buffer.clear();
            for (ULONG f = 0; f < bufferFrames; ++f, ++next_frame) {
                for (ULONG c = 0; c < render.channels; ++c) {
                    for (ULONG b = 0; b < render.bytes; ++b) {
                        io.buffer.push_back(pattern_byte(next_frame, c, b));
                    }
                }
            }
            written.insert(written.end(), io.buffer.begin(), io.buffer.end());
            io.issued = WriteFile(h, io.buffer.data(), renderBytes, nullptr, &io.overlapped);
            io.error = io.issued ? ERROR_SUCCESS : GetLastError();
        };
        ULONG next = 0;
        if (capture.channels != 0) {
            channel::read(h, reads[0], captureBytes);
            channel::read(h, reads[1], captureBytes);
            ASSERT_EQ(STATUS_SUCCESS, channel::control(h, IOCTL_QELASIO_START_CAPTURE).status);
        } else {
            for (int i = 0; i < 3; ++i) {
                write_next(writes.emplace_back());
            }
        }
        for (ULONG frame = 0; frame < runFrames && overrunTail != 0; ++frame) {
            run_frames(1);
            if (short_writes != 0) {
                --overrunTail;
            }
            if (capture.channels != 0) {
                while (reads[next].finished()) {
                    pending_io &io = reads[next];
                    ASSERT_EQ(STATUS_SUCCESS, io.status()) << "read at bus frame " << frame;
                    ASSERT_EQ(captureBytes, io.overlapped.InternalHigh);
                    captured.insert(captured.end(), io.buffer.begin(), io.buffer.end());
                    pending_io out;
                    write_next(out);
                    ASSERT_TRUE(out.wait());
                    ASSERT_EQ(STATUS_SUCCESS, out.status()) << "write at bus frame " << frame;
                    if (out.overlapped.InternalHigh < renderBytes) {
                        if (short_writes++ == 0) {
                            first_short_write = frame;
                            written_before_short_write = written.size() / render.frame() - bufferFrames;
                        }
                        // Only the first bytes were stored: what was written is what was taken.
                        written.resize(written.size() - (renderBytes - out.overlapped.InternalHigh));
                        output_fill.push_back(adapter()->Channel().OutputFifo().Fill() / render.frame());
                    }
                    channel::read(h, io, captureBytes);
                    next ^= 1;
                }
            } else {
                // The drain thread moves a queued WRITE into the output FIFO as room appears.
                CAsioFifo &fifo = adapter()->Channel().OutputFifo();
                auto until = std::chrono::steady_clock::now() + DRAIN_STALL_LIMIT;
                auto draining = [&] { return !writes.front().finished() && fifo.Size() - fifo.Fill() >= renderBytes; };
                while (draining() && std::chrono::steady_clock::now() < until) {
                    std::this_thread::yield();
                }
                ASSERT_FALSE(draining()) << "the drain thread left a queued WRITE out of the output FIFO's room at bus frame "
                                         << frame;
                while (writes.front().finished()) {
                    ASSERT_EQ(STATUS_SUCCESS, writes.front().status()) << "write at bus frame " << frame;
                    writes.pop_front();
                    write_next(writes.emplace_back());
                }
                std::vector<UCHAR> played = device->take_played(renderInterface);
                captured.insert(captured.end(), played.begin(), played.end());
            }
        }
        ASSERT_EQ(STATUS_SUCCESS, while_pumping([&] { return channel::control(h, IOCTL_QELASIO_STOP).status; }));
        for (pending_io &io : reads) {
            EXPECT_TRUE(capture.channels == 0 || io.wait());
        }
        for (pending_io &io : writes) {
            EXPECT_TRUE(io.wait());
        }
    }

    // Closes the channel with the bus running, whatever state a failed step left it in: the
    // driver's cleanup stops the streams, which waits for the transfers in flight.
    void TearDown() override
    {
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(STATUS_SUCCESS,
                      while_pumping([this] { return CloseHandle(handle) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL; }));
            handle = INVALID_HANDLE_VALUE;
        }
        EngineTest::TearDown();
    }

    // A clean run: no recovery, no refused transfer, no packet the endpoint cannot take.
    void expect_clean_run(const sim::host_counters &before)
    {
        const ENGINE_COUNTERS &counters = adapter()->EngineCounters();
        for (ULONG d = 0; d < 2; ++d) {
            EXPECT_EQ(0u, counters.Recoveries[d]);
            EXPECT_EQ(0u, counters.Underruns[d]);
            EXPECT_EQ(0u, counters.Failures[d]);
        }
        const sim::host_counters after = bus().counters();
        EXPECT_EQ(before.malformed_urbs, after.malformed_urbs);
        EXPECT_EQ(before.bad_start_frames, after.bad_start_frames);
        EXPECT_EQ(0u, device->counters().out_invalid);
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    ULONG rate = 0;
    ULONG frames = 0;
    layout render;
    layout capture;

    // The audio engine's role: a stereo client range of 16 to 32 bits at the rate intersected
    // with each streaming pin, the pin created and run for two notifications.
    void open_wavert()
    {
        std::unique_ptr<sim::wavert_filter> filter;
        for (const std::wstring &path : sim::audio_interfaces()) {
            std::wstring lower;
            for (WCHAR ch : path) {
                lower.push_back(static_cast<WCHAR>(towlower(ch)));
            }
            if (lower.find(L"wave_" + std::to_wstring(rate)) != std::wstring::npos) {
                ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(path, &filter));
            }
        }
        ASSERT_NE(nullptr, filter) << "no filter named Wave_" << rate;
        ULONG pins = 0;
        ASSERT_EQ(STATUS_SUCCESS, filter->pin_count(&pins));
        ULONG opened = 0;
        for (ULONG pin = 0; pin < pins; ++pin) {
            KSPIN_DATAFLOW flow{};
            KSPIN_COMMUNICATION communication{};
            ASSERT_EQ(STATUS_SUCCESS, filter->pin_dataflow(pin, &flow));
            ASSERT_EQ(STATUS_SUCCESS, filter->pin_communication(pin, &communication));
            if (communication == KSPIN_COMMUNICATION_BRIDGE) {
                continue;
            }
            SCOPED_TRACE(flow == KSPIN_DATAFLOW_IN ? "render pin" : "capture pin");
            KSDATARANGE_AUDIO client{};
            client.DataRange.FormatSize = sizeof(client);
            client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
            client.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            client.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
            client.MaximumChannels = 1;
            client.MinimumBitsPerSample = 16;
            client.MaximumBitsPerSample = 32;
            client.MinimumSampleFrequency = client.MaximumSampleFrequency = rate;
            std::vector<UCHAR> format;
            sim::ks_result probe;
            // A client asking for one channel is refused; stereo narrows to what the pin has.
            EXPECT_EQ(STATUS_NO_MATCH, filter->intersect(pin, client, &format, &probe));
            client.MaximumChannels = 2;
            ASSERT_EQ(STATUS_SUCCESS, filter->intersect(pin, client, &format, &probe));
            const auto *wave = reinterpret_cast<const WAVEFORMATEX *>(format.data() + sizeof(KSDATAFORMAT));
            EXPECT_EQ(flow == KSPIN_DATAFLOW_OUT && capture.channels == 1 ? 1u : 2u, wave->nChannels);
            std::unique_ptr<sim::wavert_pin> created;
            ASSERT_EQ(STATUS_SUCCESS, filter->create_pin(pin, format, &created));
            ASSERT_EQ(STATUS_SUCCESS, created->allocate_buffer(rate / 10 * wave->nBlockAlign, 2));
            ASSERT_EQ(STATUS_SUCCESS, created->register_event());
            if (flow == KSPIN_DATAFLOW_IN) {
                created->prefill();
            }
            std::vector<UCHAR> recorded;
            EXPECT_EQ(STATUS_SUCCESS, while_pumping([&] {
                          NTSTATUS status = created->set_state(KSSTATE_RUN);
                          if (NT_SUCCESS(status) && !created->stream(2, 5000, flow == KSPIN_DATAFLOW_OUT ? &recorded : nullptr)) {
                              status = STATUS_IO_TIMEOUT;
                          }
                          NTSTATUS stopped = created->set_state(KSSTATE_STOP);
                          return NT_SUCCESS(status) ? stopped : status;
                      }));
            ++opened;
        }
        EXPECT_EQ(capture.channels != 0 ? 2u : 1u, opened);
    }

    // Requests in flight outlive a failed step until the channel is closed.
    pending_io reads[2];
    std::deque<pending_io> writes;
    std::vector<UCHAR> written;
    std::vector<UCHAR> captured;
    ULONGLONG next_frame = 0;
    ULONG short_writes = 0;
    ULONG first_short_write = 0;      // bus frame of the stream
    ULONGLONG written_before_short_write = 0;
    std::vector<ULONG> output_fill;   // frames in the output FIFO after each short WRITE
};

class DeviceVarietyTest : public VarietyStreamTest,
                          public ::testing::WithParamInterface<std::tuple<variety_case, int>> {};

TEST_P(DeviceVarietyTest, StreamsBitExactThroughTheChannelAndOpensThroughWaveRT)
{
    const variety_case &c = std::get<0>(GetParam());
    const int ppm = std::get<1>(GetParam());
    ASSERT_NO_FATAL_FAILURE(start_channel(c, ppm));
    const sim::host_counters before = bus().counters();
    ASSERT_NO_FATAL_FAILURE(stream(RUN_FRAMES));
    EXPECT_EQ(STATUS_SUCCESS, channel::control(handle, IOCTL_QELASIO_UNPREPARE).status);
    EXPECT_EQ(STATUS_SUCCESS, channel::control(handle, IOCTL_QELASIO_RELEASE).status);
    EXPECT_TRUE(CloseHandle(handle));
    handle = INVALID_HANDLE_VALUE;
    expect_clean_run(before);
    EXPECT_EQ(0u, short_writes);

    const bool gaps = c.nominal_output && ppm > 0;
    const layout back = capture.channels != 0 ? capture : render;
    const comparison r = compare_stream(written, render, captured, back, gaps);
    EXPECT_TRUE(r.run.clean) << r.run.why;
    // Everything written came back but the last buffers: those in the FIFOs, the transfers
    // in flight and, for a render-only client, its queued WRITEs.
    EXPECT_GE(r.run.frames + r.run.latency + (capture.channels != 0 ? 2 : 7) * frames, written.size() / render.frame());

    open_wavert();
}

// An output that takes the nominal packet and no more, under a clock 800 ppm fast (38.4 frames
// a second more captured than it can be sent): no packet exceeds the endpoint, and the frames
// left over wait, first in the render transfers queued ahead, then in the output FIFO. Once that
// is full (about a minute in) the overrun reaches the client as WRITEs that come back short, and
// the output goes on playing what the FIFO holds. Every frame the channel took comes back, in
// order, between the silence the device records for the frames it was not sent, also half a
// minute after the FIFO filled. (Paying the overflow ahead of the FIFO's data kept the FIFO full
// and turned the output silent for good some 18 s after it filled.)
TEST_F(VarietyStreamTest, NominalOutputKeepsWhatItCannotSendUntilTheFifoIsFull)
{
    const variety_case c = {"Uac1AdaptiveOutputNominalPacketsOnly", 2, 2, true, true};
    ASSERT_NO_FATAL_FAILURE(start_channel(c, 800));
    const sim::host_counters before = bus().counters();
    ASSERT_NO_FATAL_FAILURE(stream(150000, 30000));
    expect_clean_run(before);
    ASSERT_NE(0u, short_writes) << "the output FIFO never filled";
    RecordProperty("first_short_write_ms", static_cast<int>(first_short_write));
    const ULONG fifo = adapter()->Channel().OutputFifo().Size() / render.frame();
    ASSERT_FALSE(output_fill.empty());
    EXPECT_GT(output_fill.back() + frames, fifo) << "the FIFO is full when the WRITEs come back short";
    const comparison r = compare_stream(written, render, captured, capture, true);
    EXPECT_GT(r.gaps, 0u);
    EXPECT_TRUE(r.run.clean) << r.run.why;
    EXPECT_GT(r.run.frames, written_before_short_write);
    EXPECT_GE(r.run.frames + r.run.latency + fifo + 4 * frames, written.size() / render.frame());
    // The last second came back as sound, not as the fill of an overflow.
    const size_t second = static_cast<size_t>(rate) * capture.frame();
    ASSERT_GT(captured.size(), second);
    size_t silent = 0;
    for (size_t at = captured.size() - second; at < captured.size(); at += capture.frame()) {
        silent += std::all_of(captured.begin() + at, captured.begin() + at + capture.frame(),
                              [](UCHAR b) { return b == 0; });
    }
    EXPECT_LT(silent, rate / 100u);
}

void PrintTo(const variety_case &c, std::ostream *os)
{
    *os << c.name;
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<variety_case, int>> &info)
{
    const int ppm = std::get<1>(info.param);
    return std::string(std::get<0>(info.param).name) + (ppm < 0 ? "Slow" : ppm > 0 ? "Fast" : "Nominal");
}

INSTANTIATE_TEST_SUITE_P(RealDevices, DeviceVarietyTest,
                         ::testing::Combine(::testing::ValuesIn(CASES), ::testing::Values(-800, 0, 800)), case_name);

} // namespace
} // namespace variety_test
