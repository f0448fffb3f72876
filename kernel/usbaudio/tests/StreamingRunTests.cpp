// Long runs over the simulated host controller in step mode, with the minimal pump standing in
// for the streaming engine: in explicit-feedback, plain and implicit mode, at full and high
// speed, a device whose clock drifts by 300 ppm either way keeps its render FIFO bounded for a
// minute of bus time across the frame-counter wrap, the host controller sees no malformed URB
// and nothing is traced as an error.
#include "UsbAudioTestFixture.h"
#include "StreamingPump.h"
#include <functional>
#include <sim/audio_device.h>
#include <sim/usb_host_controller.h>

namespace usbaudio_test {
namespace {

constexpr ULONG RUN_FRAMES = 60000;
constexpr ULONG SETTLE_FRAMES = 1000;
constexpr ULONG SLICE_FRAMES = 20;

struct run_case {
    const char *name;
    std::function<sim::device_descriptors()> device;
    pump_mode mode;
    std::int32_t ppm;
    ULONG rate;
};

class StreamingRunTest : public UsbAudioTest, public ::testing::WithParamInterface<run_case> {
protected:
    void TearDown() override
    {
        pump.reset();
        audio.reset();
        if (pdo != nullptr) {
            EXPECT_EQ(machine.detach(pdo), STATUS_SUCCESS);
        }
        UsbAudioTest::TearDown();
    }

    // Attaches the device to a stepped bus that wraps its frame counter a third of the way in,
    // starts the library on it and lets the pump select the formats.
    void start(const run_case &c)
    {
        sim::host_controller_options bus;
        bus.drive = sim::bus_drive::step;
        bus.start_frame = 0xFFFFFFFFu - RUN_FRAMES / 3;
        machine.use_usb_bus(bus);
        sim::audio_device_options options;
        options.ppm = c.ppm;
        device = std::make_shared<sim::audio_device>(c.device(), options);
        ASSERT_EQ(machine.attach(device, &pdo), STATUS_SUCCESS);
        ASSERT_NE(pdo, nullptr);
        audio = std::make_unique<CUSBAudioCL>();
        ASSERT_EQ(audio->Start(pdo, USB_AUDIO_IRP_COUNT), STATUS_SUCCESS);
        ASSERT_EQ(audio->Configure(), STATUS_SUCCESS);
        if (audio->IsUac2()) {
            ASSERT_EQ(audio->SetSampleRate(c.rate), STATUS_SUCCESS);
        }
        ASSERT_NE(audio->m_pRender, nullptr);
        pump = std::make_unique<streaming_pump>(*audio, c.mode);
        ASSERT_EQ(pump->prepare(16, c.rate), STATUS_SUCCESS);
        ASSERT_EQ(device->stream_rate(audio->m_pRender->InterfaceNumber), c.rate);
    }

    std::shared_ptr<sim::audio_device> device;
    DEVICE_OBJECT *pdo = nullptr;
    std::unique_ptr<streaming_pump> pump;
};

void PrintTo(const run_case &c, std::ostream *out)
{
    *out << c.name;
}

sim::device_descriptors uac2_device(bool high_speed, bool capture, sim::feedback_kind feedback)
{
    sim::uac2_options options;
    options.high_speed = high_speed;
    options.capture = capture;
    options.feedback = feedback;
    return sim::build_uac2_device(options);
}

sim::device_descriptors uac1_device(bool capture, sim::uac1_options::sync sync)
{
    sim::uac1_options options;
    options.capture = capture;
    options.render_sync = sync;
    return sim::build_uac1_device(options);
}

TEST_P(StreamingRunTest, DriftingDeviceKeepsItsFifoBoundedAcrossTheFrameWrap)
{
    const run_case &c = GetParam();
    // A clean start and run traces no error.
    platform::trace_capture errors(&OVMLSAAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    start(c);
    ASSERT_EQ(audio->IsImplicitFeedbackMode() != FALSE, c.mode == pump_mode::implicit);
    ASSERT_EQ(audio->m_pRender->FeedbackPipe != nullptr, c.mode == pump_mode::explicit_feedback);
    pump->start();

    sim::host_controller &bus = machine.usb_bus();
    const auto interface_number = static_cast<std::uint8_t>(audio->m_pRender->InterfaceNumber);
    const ULONG capacity = c.rate * 4 / 1000; // the device's 4 ms FIFO
    ULONG lowest = MAXULONG;
    ULONG highest = 0;
    std::uint64_t underruns_settled = 0;
    for (ULONG done = 0; done < RUN_FRAMES; done += SLICE_FRAMES) {
        bus.advance(SLICE_FRAMES);
        if (done + SLICE_FRAMES == SETTLE_FRAMES) {
            underruns_settled = device->counters().render_underruns;
        }
        if (done >= SETTLE_FRAMES) {
            ULONG fill = device->render_fifo_frames(interface_number);
            lowest = fill < lowest ? fill : lowest;
            highest = fill > highest ? fill : highest;
        }
    }
    EXPECT_LT(bus.current_frame(), RUN_FRAMES); // the counter wrapped
    const sim::device_counters played = device->counters();
    pump->stop();
    for (int i = 0; i < 50 && !pump->idle(); ++i) {
        bus.advance(10);
    }
    EXPECT_TRUE(pump->idle());

    const pump_counts &counts = pump->counts();
    EXPECT_EQ(counts.errors, 0u);
    EXPECT_EQ(counts.submit_failures, 0u);
    EXPECT_EQ(counts.feedback_replaced, 0u);
    EXPECT_EQ(counts.feedback_completions != 0, c.mode == pump_mode::explicit_feedback);
    EXPECT_EQ(counts.capture_completions != 0, c.mode == pump_mode::implicit);
    const sim::host_counters host = bus.counters();
    EXPECT_EQ(host.malformed_urbs, 0u);
    EXPECT_EQ(host.invalid_pipe_handles, 0u);
    EXPECT_EQ(host.bad_start_frames, 0u);
    EXPECT_EQ(host.late_packets, 0u);
    EXPECT_EQ(played.out_invalid, 0u);
    EXPECT_EQ(played.render_overflows, 0u);
    EXPECT_EQ(played.render_underruns, underruns_settled);
    EXPECT_GT(played.render_frames_played, std::uint64_t{c.rate} * (RUN_FRAMES / 1000 - 2));
    EXPECT_GT(lowest, 0u);
    EXPECT_LT(highest, capacity);
    EXPECT_EQ(error_records(errors), 0u);
    RecordProperty("fifo_low", static_cast<int>(lowest));
    RecordProperty("fifo_high", static_cast<int>(highest));
}

const run_case RUN_CASES[] = {
    {"ExplicitHighSpeedFast", [] { return uac2_device(true, false, sim::feedback_kind::explicit_endpoint); },
     pump_mode::explicit_feedback, 300, 48000},
    {"ExplicitHighSpeedSlow", [] { return uac2_device(true, false, sim::feedback_kind::explicit_endpoint); },
     pump_mode::explicit_feedback, -300, 44100},
    {"ExplicitFullSpeed1014Fast", [] { return uac1_device(false, sim::uac1_options::sync::sync_endpoint); },
     pump_mode::explicit_feedback, 300, 44100},
    {"ExplicitFullSpeed1014Slow", [] { return uac1_device(false, sim::uac1_options::sync::sync_endpoint); },
     pump_mode::explicit_feedback, -300, 48000},
    {"PlainHighSpeedFast", [] { return uac2_device(true, false, sim::feedback_kind::none); }, pump_mode::plain, 300,
     44100},
    {"PlainHighSpeedSlow", [] { return uac2_device(true, false, sim::feedback_kind::none); }, pump_mode::plain, -300,
     44100},
    {"PlainFullSpeedFast", [] { return uac1_device(false, sim::uac1_options::sync::adaptive); }, pump_mode::plain,
     300, 44100},
    {"PlainFullSpeedSlow", [] { return uac1_device(false, sim::uac1_options::sync::adaptive); }, pump_mode::plain,
     -300, 44100},
    {"ImplicitHighSpeedFast", [] { return uac2_device(true, true, sim::feedback_kind::implicit); },
     pump_mode::implicit, 300, 48000},
    {"ImplicitHighSpeedSlow", [] { return uac2_device(true, true, sim::feedback_kind::implicit); },
     pump_mode::implicit, -300, 44100},
    {"ImplicitFullSpeedFast", [] { return uac1_device(true, sim::uac1_options::sync::implicit_in); },
     pump_mode::implicit, 300, 44100},
    {"ImplicitFullSpeedSlow", [] { return uac1_device(true, sim::uac1_options::sync::implicit_in); },
     pump_mode::implicit, -300, 48000},
};

INSTANTIATE_TEST_SUITE_P(Modes, StreamingRunTest, ::testing::ValuesIn(RUN_CASES),
                         [](const ::testing::TestParamInfo<run_case> &info) { return std::string(info.param.name); });

} // namespace
} // namespace usbaudio_test
