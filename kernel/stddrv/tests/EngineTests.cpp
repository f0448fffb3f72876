// The transfer engine against a simulated standard device on the paced bus (it never runs
// ahead of the engine, so every byte of a stream must arrive): directions started and stopped,
// queued render bytes reaching the device and captured bytes filling the queued pieces, pause,
// transfer errors with pipe recovery, and the device going away.
#include <cstring>
#include <memory>
#include <vector>
#include <sim/clean_run.h>
#include <sim/paced_bus.h>
#include <algorithm>
#include <platform/trace.h>
#include <sim/usb_host_controller.h>
#include "AdapterFixture.h"
#include "StdEnginePacing.h"
#include "StdTrace.h"

namespace stddrv_test {
namespace {

constexpr ULONG FRAME_BYTES = 4; // 2 channels of 16 bits

class EngineTest : public AdapterTest {
protected:
    // The driver's trace provider is registered as DriverEntry registers it.
    void SetUp() override { TraceStart(&OVMLSAU_TRACE_GUID); }

    void TearDown() override
    {
        if (bus != nullptr) {
            EXPECT_EQ(0u, bus->overruns()) << "the bus ran ahead of the engine";
        }
        engine_gate.release();
        AdapterTest::TearDown();
        bus.reset();
        TraceStop();
    }

    static size_t error_records(const platform::trace_capture &capture)
    {
        const auto records = capture.records();
        return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const platform::trace_record &r) {
            return r.level == TRACE_LEVEL_ERROR;
        }));
    }

    void start_uac2(sim::audio_device_options options = {})
    {
        bus = std::make_unique<sim::paced_bus>(machine);
        attach_uac2(sim::standard_uac2_options(1), options);
        ASSERT_EQ(STATUS_SUCCESS, start_adapter());
        engine_gate = bus->hold([this] { return std_engine_settled(*adapter); });
    }

    void start_direction(BOOLEAN capture, ULONG rate = 48000)
    {
        ASSERT_EQ(STATUS_SUCCESS, common->SetStreamFormat(capture, 2, 16, rate));
        ASSERT_EQ(STATUS_SUCCESS, common->StartStream(capture));
    }

    ULONG64 out_bytes() const { return device->counters().out_bytes; }
    ULONG64 out_packets() const { return device->counters().out_packets; }

    std::unique_ptr<sim::paced_bus> bus;
    sim::paced_bus::gate engine_gate;
};

// Render samples that count frames, so that any byte out of place shows.
std::vector<UCHAR> counting_render(ULONG frames)
{
    std::vector<UCHAR> data(frames * FRAME_BYTES);
    for (ULONG f = 0; f < frames; ++f) {
        for (ULONG c = 0; c < 2; ++c) {
            const USHORT value = static_cast<USHORT>(f * 2 + c + 1);
            data[f * FRAME_BYTES + c * 2] = static_cast<UCHAR>(value);
            data[f * FRAME_BYTES + c * 2 + 1] = static_cast<UCHAR>(value >> 8);
        }
    }
    return data;
}

USHORT sample_at(const std::vector<UCHAR> &data, size_t index)
{
    return static_cast<USHORT>(data[index * 2] | (data[index * 2 + 1] << 8));
}

TEST_F(EngineTest, StartRunsOneThreadPerDirectionAndStopJoinsIt)
{
    start_uac2();
    for (BOOLEAN capture : {FALSE, TRUE}) {
        SCOPED_TRACE(capture ? "capture" : "render");
        start_direction(capture);
        EXPECT_TRUE(adapter->HasWorkerThread(capture));
        EXPECT_FALSE(is_set(adapter->StopEvent(capture)));
        EXPECT_NE(0u, adapter->BytesPerTransfer(capture));

        ASSERT_EQ(STATUS_SUCCESS, common->StopStream(capture));
        EXPECT_FALSE(adapter->HasWorkerThread(capture));
        EXPECT_TRUE(is_set(adapter->StopEvent(capture)));
        EXPECT_TRUE(is_set(adapter->IdleEvent(capture)));
        EXPECT_EQ(0, adapter->InFlight(capture));
        EXPECT_EQ(0u, adapter->BytesPerTransfer(capture));
        EXPECT_EQ(0u, device->current_alternate(adapter->Usb().GetStreamingInterface(capture)->InterfaceNumber));
    }
    // Stopping a direction that does not run changes nothing.
    EXPECT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
}

TEST_F(EngineTest, PausedRenderSendsNothingAndHoldsItsQueue)
{
    start_uac2();
    start_direction(FALSE);
    std::vector<UCHAR> data = counting_render(480);
    common->QueueRenderBuffer(data.data(), (ULONG)data.size());
    wait_frames(30);
    EXPECT_EQ(0u, out_packets());
    EXPECT_EQ(1u, adapter->QueuedPieces(FALSE));
    EXPECT_EQ(0, adapter->InFlight(FALSE));
    EXPECT_EQ(nullptr, callback.render_position.load());
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
    common->FlushRenderQueue();
}

TEST_F(EngineTest, RenderMovesQueuedPiecesToTheDeviceInOrder)
{
    start_uac2();
    start_direction(FALSE);
    // Two pieces, as a cyclic buffer's wrap queues them; 100 ms in all.
    std::vector<UCHAR> data = counting_render(4800);
    const ULONG half = (ULONG)data.size() / 2;
    common->QueueRenderBuffer(data.data(), half);
    common->QueueRenderBuffer(data.data() + half, (ULONG)data.size() - half);
    common->SetRunEvent(FALSE);

    ASSERT_TRUE(wait_until([&] { return adapter->QueuedPieces(FALSE) == 0; }));
    ASSERT_TRUE(wait_until([&] { return out_bytes() >= data.size(); }));
    EXPECT_EQ(data.data() + data.size(), callback.render_position.load());
    EXPECT_GT(callback.render_notifications.load(), 0u);
    EXPECT_EQ(0u, device->counters().out_invalid);
    EXPECT_EQ(data.size(), out_bytes());
    // With the queue empty the chains end; the engine sends no empty transfers.
    ASSERT_TRUE(wait_until([&] { return adapter->InFlight(FALSE) == 0; }));
    const ULONG64 packets = out_packets();
    wait_frames(20);
    EXPECT_EQ(packets, out_packets());

    common->ClearRunEvent(FALSE);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
}

TEST_F(EngineTest, RunningRenderWithAnEmptyQueueAsksThePortForDataWithoutSpinning)
{
    start_uac2();
    start_direction(FALSE);
    common->SetRunEvent(FALSE);
    wait_frames(50);
    const ULONG notifications = callback.render_notifications.load();
    // About one request per millisecond while the queue stays dry, never a busy loop.
    EXPECT_GT(notifications, 0u);
    EXPECT_LT(notifications, 500u);
    EXPECT_EQ(0u, out_packets());
    common->ClearRunEvent(FALSE);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
}

TEST_F(EngineTest, RenderedBytesComeBackThroughLoopbackCapture)
{
    platform::trace_capture errors(&OVMLSAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    start_uac2();
    start_direction(TRUE);
    start_direction(FALSE);
    std::vector<UCHAR> captured(48000 / 2 * FRAME_BYTES, 0);
    common->QueueCaptureBuffer(captured.data(), (ULONG)captured.size());
    common->SetRunEvent(TRUE);
    std::vector<UCHAR> data = counting_render(4800);
    common->QueueRenderBuffer(data.data(), (ULONG)data.size());
    common->SetRunEvent(FALSE);

    ASSERT_TRUE(wait_until([&] { return adapter->QueuedPieces(TRUE) == 0; }));
    EXPECT_EQ(captured.data() + captured.size() - FRAME_BYTES, callback.capture_position.load());
    EXPECT_GT(callback.capture_notifications.load(), 0u);

    // Silence, every rendered frame in order, then silence again: a clean run.
    const sim::clean_run run =
        sim::check_clean_run(captured, FRAME_BYTES, 4800, [&](ULONGLONG k, UCHAR *out) {
            std::memcpy(out, data.data() + k * FRAME_BYTES, FRAME_BYTES);
        });
    EXPECT_TRUE(run.clean) << run.why;
    EXPECT_EQ(4800u, run.frames);
    EXPECT_EQ(0u, error_records(errors)) << "a clean start and run traces no error";

    common->ClearRunEvent(FALSE);
    common->ClearRunEvent(TRUE);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(TRUE));
}

TEST_F(EngineTest, CaptureFillsPiecesInOrderOnlyWhileRunning)
{
    sim::audio_device_options options;
    options.capture = sim::capture_source::pattern;
    start_uac2(options);
    start_direction(TRUE);
    std::vector<UCHAR> buffer(9600, 0xEE);
    common->QueueCaptureBuffer(buffer.data(), 4800);
    common->QueueCaptureBuffer(buffer.data() + 4800, 4800);
    // Capture transfers run from the start; what arrives before RUN is dropped.
    ASSERT_TRUE(wait_until([&] { return device->counters().in_packets >= 20; }));
    EXPECT_EQ(2u, adapter->QueuedPieces(TRUE));
    EXPECT_EQ(0xEE, buffer[0]);
    EXPECT_EQ(0u, callback.capture_notifications.load());

    common->SetRunEvent(TRUE);
    ASSERT_TRUE(wait_until([&] { return adapter->QueuedPieces(TRUE) == 0; }));
    for (size_t i = 1; i < buffer.size() / 2; ++i) {
        ASSERT_EQ(static_cast<USHORT>(sample_at(buffer, i - 1) + 1), sample_at(buffer, i)) << "sample " << i;
    }
    EXPECT_EQ(buffer.data() + buffer.size() - FRAME_BYTES, callback.capture_position.load());

    common->ClearRunEvent(TRUE);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(TRUE));
    EXPECT_EQ(0, adapter->InFlight(TRUE));
}

TEST_F(EngineTest, FailedTransfersResetThePipeAndStreamingGoesOn)
{
    sim::audio_device_options options;
    options.capture = sim::capture_source::pattern;
    start_uac2(options);
    start_direction(TRUE);
    start_direction(FALSE);
    std::vector<UCHAR> captured(9600, 0);
    common->QueueCaptureBuffer(captured.data(), (ULONG)captured.size());
    common->SetRunEvent(TRUE);
    std::vector<UCHAR> data = counting_render(9600);
    common->QueueRenderBuffer(data.data(), (ULONG)data.size());
    common->SetRunEvent(FALSE);
    ASSERT_TRUE(wait_until([&] { return out_packets() > 10; }));

    platform::trace_capture errors(&OVMLSAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    machine.port_of(pdo)->fail_transfers(sim::uac2_ids::render_data_ep, 2);
    machine.port_of(pdo)->fail_transfers(sim::uac2_ids::capture_data_ep, 2);
    ASSERT_TRUE(wait_until([&] { return adapter->Recoveries(FALSE) >= 1 && adapter->Recoveries(TRUE) >= 1; }));
    // Both directions run on: the render queue drains and the capture piece fills.
    ASSERT_TRUE(wait_until([&] { return adapter->QueuedPieces(FALSE) == 0; }));
    ASSERT_TRUE(wait_until([&] { return adapter->QueuedPieces(TRUE) == 0; }));
    EXPECT_FALSE(is_set(adapter->StopEvent(FALSE)));
    EXPECT_FALSE(is_set(adapter->StopEvent(TRUE)));
    EXPECT_TRUE(adapter->HasWorkerThread(FALSE));
    EXPECT_EQ(data.data() + data.size(), callback.render_position.load());
    EXPECT_NE(0u, error_records(errors)) << "the failed transfers are traced";

    common->ClearRunEvent(FALSE);
    common->ClearRunEvent(TRUE);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(TRUE));
}

TEST_F(EngineTest, DeviceGoneEndsBothThreadsAndStopStillJoinsThem)
{
    start_uac2();
    start_direction(TRUE);
    start_direction(FALSE);
    std::vector<UCHAR> data = counting_render(48000);
    common->QueueRenderBuffer(data.data(), (ULONG)data.size());
    common->SetRunEvent(FALSE);
    common->SetRunEvent(TRUE);
    ASSERT_TRUE(wait_until([&] { return out_packets() > 10; }));

    device->surprise_remove();
    ASSERT_TRUE(wait_until([&] { return is_set(adapter->StopEvent(FALSE)) && is_set(adapter->StopEvent(TRUE)); }));
    ASSERT_TRUE(wait_until([&] { return adapter->InFlight(FALSE) == 0 && adapter->InFlight(TRUE) == 0; }));
    EXPECT_TRUE(adapter->HasWorkerThread(FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->StopStream(TRUE));
    EXPECT_FALSE(adapter->HasWorkerThread(FALSE));
    EXPECT_FALSE(adapter->HasWorkerThread(TRUE));
    common->FlushRenderQueue();
}

TEST_F(EngineTest, SurpriseRemovalMidStreamStopsAndJoinsBothDirections)
{
    start_uac2();
    start_direction(TRUE);
    start_direction(FALSE);
    std::vector<UCHAR> captured(9600, 0);
    common->QueueCaptureBuffer(captured.data(), (ULONG)captured.size());
    std::vector<UCHAR> data = counting_render(48000);
    common->QueueRenderBuffer(data.data(), (ULONG)data.size());
    common->SetRunEvent(FALSE);
    common->SetRunEvent(TRUE);
    ASSERT_TRUE(wait_until([&] { return out_packets() > 10; }));

    device->surprise_remove();
    common->SurpriseRemoval();
    EXPECT_TRUE(common->IsDeviceRemoved());
    for (BOOLEAN capture : {FALSE, TRUE}) {
        SCOPED_TRACE(capture ? "capture" : "render");
        EXPECT_FALSE(adapter->HasWorkerThread(capture));
        EXPECT_FALSE(is_set(adapter->RunEvent(capture)));
        EXPECT_TRUE(is_set(adapter->StopEvent(capture)));
        EXPECT_EQ(0, adapter->InFlight(capture));
        EXPECT_EQ(0u, adapter->QueuedPieces(capture));
        EXPECT_EQ(STATUS_DELETE_PENDING, common->StopStream(capture));
    }
}

} // namespace
} // namespace stddrv_test
