// Long runs over the simulated host controller in step mode with a minimal pump standing in
// for the streaming engine: render sized by explicit feedback or by the captured amount keeps
// a drifting device's FIFO bounded for a minute of bus time across the frame-counter wrap,
// and the host controller sees no malformed URB.
#include "UsbAudioTestFixture.h"
#include <sim/audio_device.h>
#include <sim/usb_host_controller.h>

namespace usbaudio_test {
namespace {

constexpr ULONG PUMP_TAG = 'mPTA';
constexpr ULONG RENDER_IN_FLIGHT = 4;
constexpr ULONG CAPTURE_IN_FLIGHT = 4;
constexpr ULONG MS_PER_TRANSFER = 1;
constexpr ULONG BUFFER_BYTES = 8192;
constexpr ULONG RUN_FRAMES = 60000;

// The pump's state; its callbacks run at DISPATCH_LEVEL on the thread advancing the bus.
struct pump {
    CUSBAudioCL *audio = nullptr;
    bool running = true;
    bool implicit = false;
    PUCHAR render_memory = nullptr;
    PMDL render_mdl = nullptr;
    UCHAR feedback[512] = {};
    UCHAR capture[CAPTURE_IN_FLIGHT][BUFFER_BYTES] = {};
    ULONG render_in_flight = 0;
    ULONG capture_in_flight = 0;
    bool feedback_in_flight = false;
    ULONG errors = 0;
    ULONG submit_failures = 0;
    ULONG feedback_replaced = 0;

    static VOID render_done(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG frames)
    {
        auto p = static_cast<pump *>(context);
        --p->render_in_flight;
        p->errors += NT_SUCCESS(status) ? 0 : 1;
        if (p->running && !p->implicit) {
            p->submit_render(p->audio->GetRenderBytesPerTransfer(MS_PER_TRANSFER, p->audio->m_pRender->FeedbackValueInUse));
        }
    }
    static VOID feedback_done(NTSTATUS status, ULONG value, ULONG startFrame, PVOID context, ULONG frames)
    {
        auto p = static_cast<pump *>(context);
        p->feedback_in_flight = false;
        USB_STREAMING_INTERFACE *render = p->audio->m_pRender;
        ULONG nominal = p->audio->NominalFeedback(render->SampleRate);
        if (NT_SUCCESS(status)) {
            // Values off by more than a frame are taken for noise, as the engine does.
            if (value < 0x10000 || value + 0x10000 < nominal || value > nominal + 0x10000) {
                value = nominal;
                ++p->feedback_replaced;
            }
            render->FeedbackValueInUse = value;
        } else {
            ++p->errors;
        }
        if (p->running) {
            p->arm_feedback();
        }
    }
    static VOID capture_done(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG frames)
    {
        auto slot = static_cast<UCHAR(*)[BUFFER_BYTES]>(context);
        pump *p = current;
        --p->capture_in_flight;
        p->errors += NT_SUCCESS(status) ? 0 : 1;
        if (p->running) {
            // Render follows the captured amount, converted to render frames.
            ULONG frames_captured = bytes / p->audio->m_pCapture->BytesPerFrame;
            if (p->render_in_flight < RENDER_IN_FLIGHT && frames_captured != 0) {
                p->submit_render(frames_captured * p->audio->m_pRender->BytesPerFrame);
            }
            p->submit_capture(slot);
        }
    }

    void submit_render(ULONG bytes)
    {
        if (bytes == 0 || bytes > BUFFER_BYTES ||
            !NT_SUCCESS(audio->SubmitRenderTransfer(render_mdl, bytes, MS_PER_TRANSFER, render_done, this))) {
            ++submit_failures;
            return;
        }
        ++render_in_flight;
    }
    void submit_capture(UCHAR (*slot)[BUFFER_BYTES])
    {
        ULONG bytes = audio->m_pCapture->DataPipe->MaximumPacketSize * (audio->IsHighSpeed() ? 8 : 1) * MS_PER_TRANSFER;
        if (!NT_SUCCESS(audio->SubmitCaptureTransfer(*slot, bytes, capture_done, slot, 0))) {
            ++submit_failures;
            return;
        }
        ++capture_in_flight;
    }
    void arm_feedback()
    {
        ULONG size = audio->GetFeedbackBufferSize();
        if (size == 0 || size > sizeof(feedback) ||
            !NT_SUCCESS(audio->RecvFeedback(feedback, size, feedback_done, this))) {
            ++submit_failures;
            return;
        }
        feedback_in_flight = true;
    }
    static pump *current;
};
pump *pump::current = nullptr;

class StreamingRunTest : public UsbAudioTest {
protected:
    void TearDown() override
    {
        audio.reset();
        if (pdo != nullptr) {
            EXPECT_EQ(machine.detach(pdo), STATUS_SUCCESS);
        }
        if (state.render_mdl != nullptr) {
            IoFreeMdl(state.render_mdl);
            ExFreePoolWithTag(state.render_memory, PUMP_TAG);
        }
        pump::current = nullptr;
        UsbAudioTest::TearDown();
    }
    void start(sim::uac2_options descriptor_options, std::int32_t ppm)
    {
        sim::host_controller_options bus;
        bus.drive = sim::bus_drive::step;
        bus.start_frame = 0xFFFFFFFFu - 20000; // the counter wraps a third of the way in
        machine.use_usb_bus(bus);
        sim::audio_device_options device_options;
        device_options.ppm = ppm;
        device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptor_options), device_options);
        ASSERT_EQ(machine.attach(device, &pdo), STATUS_SUCCESS);
        ASSERT_NE(pdo, nullptr);
        audio = std::make_unique<CUSBAudioCL>();
        ASSERT_EQ(audio->Start(pdo, USB_AUDIO_IRP_COUNT), STATUS_SUCCESS);
        ASSERT_EQ(audio->Configure(), STATUS_SUCCESS);
        ASSERT_EQ(audio->SetSampleRate(48000), STATUS_SUCCESS);
        ULONG channels = 0, container = 0, largest = 0;
        for (ULONG direction : {0u, 1u}) {
            if (audio->GetRecord(direction) != nullptr) {
                ASSERT_EQ(audio->SelectStreamingFormat(direction, USB_AUDIO_TAG_PCM, 2, 16, 48000, MS_PER_TRANSFER,
                                                       &channels, &container, &largest),
                          STATUS_SUCCESS);
            }
        }
        state.audio = audio.get();
        pump::current = &state;
        state.render_memory = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, BUFFER_BYTES, PUMP_TAG));
        ASSERT_NE(state.render_memory, nullptr);
        RtlZeroMemory(state.render_memory, BUFFER_BYTES);
        state.render_mdl = IoAllocateMdl(state.render_memory, BUFFER_BYTES, FALSE, FALSE, nullptr);
        ASSERT_NE(state.render_mdl, nullptr);
        MmBuildMdlForNonPagedPool(state.render_mdl);
    }
    // Runs the bus a minute in slices, watching the device FIFO, then drains the pump. With
    // require_floor the FIFO must never run empty after the first second.
    void run_and_check(bool require_floor = true)
    {
        sim::host_controller &bus = machine.usb_bus();
        ULONG interface_number = audio->m_pRender->InterfaceNumber;
        ULONG lowest = MAXULONG;
        ULONG highest = 0;
        for (ULONG done = 0; done < RUN_FRAMES; done += 100) {
            bus.advance(100);
            if (done >= 1000) {
                ULONG fill = device->render_fifo_frames(static_cast<std::uint8_t>(interface_number));
                lowest = fill < lowest ? fill : lowest;
                highest = fill > highest ? fill : highest;
            }
        }
        EXPECT_LT(bus.current_frame(), 0x10000000u); // the counter wrapped
        state.running = false;
        for (int i = 0; i < 50 && (state.render_in_flight != 0 || state.capture_in_flight != 0 ||
                                   state.feedback_in_flight);
             ++i) {
            bus.advance(10);
        }
        EXPECT_EQ(state.render_in_flight, 0u);
        EXPECT_EQ(state.capture_in_flight, 0u);
        EXPECT_FALSE(state.feedback_in_flight);
        EXPECT_EQ(state.errors, 0u);
        EXPECT_EQ(state.submit_failures, 0u);
        sim::host_counters host = bus.counters();
        EXPECT_EQ(host.malformed_urbs, 0u);
        EXPECT_EQ(host.invalid_pipe_handles, 0u);
        EXPECT_EQ(host.bad_start_frames, 0u);
        sim::device_counters counters = device->counters();
        EXPECT_EQ(counters.out_invalid, 0u);
        EXPECT_EQ(counters.render_overflows, 0u);
        EXPECT_GT(counters.render_frames_played, 48000u * 50u);
        if (require_floor) {
            EXPECT_GT(lowest, 0u);
        }
        EXPECT_LT(highest, 48u * 4u);
        RecordProperty("fifo_low", static_cast<int>(lowest));
        RecordProperty("fifo_high", static_cast<int>(highest));
    }

    std::shared_ptr<sim::audio_device> device;
    DEVICE_OBJECT *pdo = nullptr;
    pump state;
};

TEST_F(StreamingRunTest, ExplicitFeedbackFollowsAFastDeviceClock)
{
    sim::uac2_options options;
    options.capture = false;
    start(options, 300);
    ASSERT_NE(audio->m_pRender->FeedbackPipe, nullptr);
    audio->m_pRender->FeedbackValueInUse = audio->NominalFeedback(48000);
    state.arm_feedback();
    for (ULONG i = 0; i < RENDER_IN_FLIGHT; ++i) {
        state.submit_render(audio->GetRenderBytesPerTransfer(MS_PER_TRANSFER, audio->m_pRender->FeedbackValueInUse));
    }
    run_and_check();
}

TEST_F(StreamingRunTest, ExplicitFeedbackFollowsASlowDeviceClock)
{
    sim::uac2_options options;
    options.capture = false;
    start(options, -300);
    audio->m_pRender->FeedbackValueInUse = audio->NominalFeedback(48000);
    state.arm_feedback();
    for (ULONG i = 0; i < RENDER_IN_FLIGHT; ++i) {
        state.submit_render(audio->GetRenderBytesPerTransfer(MS_PER_TRANSFER, audio->m_pRender->FeedbackValueInUse));
    }
    run_and_check();
}

TEST_F(StreamingRunTest, ImplicitModeRendersWhatWasCaptured)
{
    sim::uac2_options options;
    options.feedback = sim::feedback_kind::implicit;
    start(options, -300);
    ASSERT_TRUE(audio->IsImplicitFeedbackMode());
    state.implicit = true;
    for (ULONG i = 0; i < CAPTURE_IN_FLIGHT; ++i) {
        state.submit_capture(&state.capture[i]);
    }
    // This pump renders one transfer per capture completion with no prefill, so the FIFO may
    // touch empty; it must never overflow or grow.
    run_and_check(false);
}

} // namespace
} // namespace usbaudio_test
