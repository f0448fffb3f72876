// The streaming engine under faults: failed render and capture transfers, frames the bus skips
// and a gap in the service of completions (counted as an underrun) end in one recovery each and
// streaming goes on (a failed transfer traces an error, the start and stream before it none); a device unplugged mid-stream stops
// the directions without a recovery loop; render entries that cannot be allocated neither spin
// the render thread nor hang the start.
#include "EngineFixture.h"
#include <atomic>
#include <chrono>
#include <thread>
#include <platform/pool.h>
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"

namespace engine_test {
namespace {

constexpr std::uint8_t RENDER_EP = sim::uac2_ids::render_data_ep;
constexpr std::uint8_t CAPTURE_EP = sim::uac2_ids::capture_data_ep;
// Allocations a render start makes before the engine's own on the render-only device; failing
// one of those earlier ones fails the start (and one of them, in the USB layer's interface
// selection, breaks every later start, so the sweep begins past them).
constexpr ULONG FIRST_ENGINE_ALLOCATION = 11;

class EngineFaultTest : public EngineTest {
protected:
    // The default duplex device (implicit feedback) streaming at 48 kHz.
    void stream(sim::uac2_options descriptors = {})
    {
        start(descriptors);
        ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
        run_frames(500);
        engine = adapter();
    }
    // A duplex device whose capture has a clock of its own: render alone follows the feedback
    // endpoint.
    void stream_explicit()
    {
        sim::uac2_options descriptors;
        descriptors.separate_clocks = true;
        stream(descriptors);
        ASSERT_EQ(EnginePacingExplicit, engine->EnginePacing());
    }
    // Runs the bus until the direction's recovery count passes from, at most limit frames.
    bool run_until_recovered(ULONG direction, ULONG from, ULONG limit = 3000)
    {
        for (ULONG done = 0; done < limit; done += 10) {
            run_frames(10);
            if (engine->EngineCounters().Recoveries[direction] > from) {
                return true;
            }
        }
        return false;
    }
    // After a recovery the stream settles and stays healthy: no further recovery, the device
    // plays on.
    void expect_streaming_again()
    {
        run_frames(500);
        const ENGINE_COUNTERS settled = engine->EngineCounters();
        const std::uint64_t played = device->counters().render_frames_played;
        run_frames(2000);
        EXPECT_EQ(settled.Recoveries[0], engine->EngineCounters().Recoveries[0]);
        EXPECT_EQ(settled.Recoveries[1], engine->EngineCounters().Recoveries[1]);
        EXPECT_GT(device->counters().render_frames_played, played + 48000);
        EXPECT_EQ(static_cast<LONG>(engine->EngineRenderEntries()), engine->EngineRenderInFlight());
    }

    // The bus runs Frames frames while a DPC holds the DPC thread, so that no completion is
    // served meanwhile; then the held completions run.
    void stall_service(ULONG frames)
    {
        struct hold {
            std::atomic<bool> held{false};
            std::atomic<bool> release{false};
        } flags;
        KDPC dpc;
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto *f = static_cast<hold *>(context);
                f->held = true;
                while (!f->release) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            },
            &flags);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        while (!flags.held) {
            std::this_thread::yield();
        }
        bus().advance(frames);
        flags.release = true;
        KeFlushQueuedDpcs();
    }

    // The start and the healthy stream before a fault trace no error.
    void expect_no_error_traced()
    {
        std::string first;
        EXPECT_EQ(0u, traced_errors(&first)) << first;
    }

    CAdapterCommon *engine = nullptr;
};

TEST_F(EngineFaultTest, FailedRenderTransferRecoversOnce)
{
    stream();
    ASSERT_NE(nullptr, engine);
    expect_no_error_traced();
    port()->fail_transfers(RENDER_EP, 1);
    ASSERT_TRUE(run_until_recovered(0, 0));
    EXPECT_NE(0u, traced_errors()) << "a failed transfer is traced as an error";
    EXPECT_GE(engine->EngineCounters().Failures[0], 1u);
    EXPECT_EQ(1u, engine->EngineCounters().Recoveries[0]);
    EXPECT_EQ(0u, engine->EngineCounters().Underruns[0]);
    expect_streaming_again();
}

TEST_F(EngineFaultTest, FailedCaptureTransferRecoversCaptureAndImplicitRender)
{
    stream();
    ASSERT_NE(nullptr, engine);
    ASSERT_EQ(EnginePacingImplicit, engine->EnginePacing());
    expect_no_error_traced();
    port()->fail_transfers(CAPTURE_EP, 1);
    ASSERT_TRUE(run_until_recovered(1, 0));
    EXPECT_NE(0u, traced_errors()) << "a failed transfer is traced as an error";
    // Render follows capture in implicit-feedback mode, so it recovers with it.
    ASSERT_TRUE(run_until_recovered(0, 0));
    EXPECT_EQ(1u, engine->EngineCounters().Recoveries[1]);
    EXPECT_EQ(1u, engine->EngineCounters().Recoveries[0]);
    expect_streaming_again();
}

// Frames the bus skips (their packets are never sent) fail the transfers scheduled in them: one
// render recovery, and no render completion came late enough to count as an underrun.
TEST_F(EngineFaultTest, SkippedBusFramesFailTheirTransfersAndRecoverOnce)
{
    stream_explicit();
    ASSERT_NE(nullptr, engine);
    expect_no_error_traced();
    bus().jump(64);
    ASSERT_TRUE(run_until_recovered(0, 0));
    ASSERT_TRUE(run_until_recovered(1, 0));
    const ENGINE_COUNTERS &counters = engine->EngineCounters();
    EXPECT_GE(counters.Failures[0], 1u);
    EXPECT_EQ(0u, counters.Underruns[0]);
    EXPECT_EQ(1u, counters.Recoveries[0]);
    // Capture's 1 ms transfers see the skipped frames as a burst of failures; it may take more
    // than one recovery to get past them.
    EXPECT_GE(counters.Failures[1], 1u);
    expect_streaming_again();
}

// The machine serves no completion while the bus runs on (a DPC holds the processor): every
// transfer in flight ends, and the next render completion comes more than param2 x param1 = 64
// frames after the previous one. The gap counts as an underrun in each direction and render
// recovers once.
TEST_F(EngineFaultTest, GapInServiceIsCountedAsAnUnderrunAndRecovers)
{
    stream_explicit();
    ASSERT_NE(nullptr, engine);
    stall_service(130);
    ASSERT_TRUE(run_until_recovered(0, 0));
    ASSERT_TRUE(run_until_recovered(1, 0));
    const ENGINE_COUNTERS &counters = engine->EngineCounters();
    EXPECT_EQ(1u, counters.Underruns[0]);
    EXPECT_EQ(1u, counters.Recoveries[0]);
    EXPECT_GE(counters.Underruns[1], 1u);
    expect_streaming_again();
}

TEST_F(EngineFaultTest, UnplugMidStreamStopsWithoutARecoveryLoop)
{
    stream();
    ASSERT_NE(nullptr, engine);
    device->surprise_remove();
    run_frames(200);
    // The device-gone completions stop both directions; nothing restarts them.
    const ENGINE_COUNTERS gone = engine->EngineCounters();
    EXPECT_GE(gone.Failures[0] + gone.Failures[1], 1u);
    EXPECT_EQ(1u, AsyncExtension(pdo->AttachedDevice)->Removing);
    run_frames(500);
    EXPECT_EQ(gone.Recoveries[0], engine->EngineCounters().Recoveries[0]);
    EXPECT_EQ(gone.Recoveries[1], engine->EngineCounters().Recoveries[1]);
    EXPECT_EQ(0, engine->EngineRenderInFlight());
    EXPECT_EQ(STATUS_SUCCESS, detach());
}

TEST_F(EngineFaultTest, RenderStartWithoutAnyEntryFailsAtOnce)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    start(descriptors);
    platform::pool_fail_tag(ASYNC_TAG);
    NTSTATUS status = while_pumping([this] { return common()->StartStream(FALSE); });
    platform::pool_fail_reset();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
    EXPECT_EQ(0u, adapter()->RunCount(FALSE));
    EXPECT_EQ(0u, adapter()->EngineCounters().IdleSlotReleases);
    // Memory back: the next start streams.
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    run_frames(200);
    EXPECT_EQ(8u, adapter()->EngineRenderEntries());
}

// A start that fails part-way (an allocation refused) leaves nothing that blocks the next one.
TEST_F(EngineFaultTest, StartAfterAFailedStartStreams)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    descriptors.feedback = sim::feedback_kind::none;
    start(descriptors);
    for (ULONG nth = 1; nth <= 3; ++nth) {
        SCOPED_TRACE(nth);
        platform::pool_fail_nth(nth);
        NTSTATUS failed = while_pumping([this] { return common()->StartStream(FALSE); });
        platform::pool_fail_reset();
        if (NT_SUCCESS(failed)) {
            EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
        }
        EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
        run_frames(200);
        EXPECT_EQ(1u, adapter()->RunCount(FALSE));
        EXPECT_EQ(static_cast<LONG>(adapter()->EngineRenderEntries()), adapter()->EngineRenderInFlight());
        EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
    }
}

// Explicit feedback: a value the device reports that is more than a frame off nominal is
// replaced by the nominal value; the stream goes on without a recovery.
TEST_F(EngineFaultTest, FeedbackValueFarFromNominalIsReplaced)
{
    sim::uac2_options descriptors;
    descriptors.separate_clocks = true;
    start(descriptors);
    device->inject_feedback_fault(40, sim::feedback_fault{sim::feedback_fault_kind::value, 0x00010000});
    device->inject_feedback_fault(41, sim::feedback_fault{sim::feedback_fault_kind::value, 0x00200000});
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    engine = adapter();
    ASSERT_EQ(EnginePacingExplicit, engine->EnginePacing());
    run_frames(2000);
    EXPECT_GE(engine->EngineCounters().FeedbackReplaced, 1u);
    EXPECT_EQ(0u, engine->EngineCounters().Recoveries[0]);
    EXPECT_EQ(0u, device->counters().render_overflows);
}

// Fewer entries than render slots: the slots in play shrink with them, so no slot is taken and
// handed straight back while the stream runs.
TEST_F(EngineFaultTest, FewerRenderEntriesDoNotSpin)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    descriptors.feedback = sim::feedback_kind::none; // plain mode: every slot is free at start
    start(descriptors);
    bool fewer = false;
    for (ULONG nth = FIRST_ENGINE_ALLOCATION; nth <= FIRST_ENGINE_ALLOCATION + 30 && !fewer; ++nth) {
        SCOPED_TRACE(nth);
        platform::pool_fail_nth(nth);
        NTSTATUS status = while_pumping([this] { return common()->StartStream(FALSE); });
        platform::pool_fail_reset();
        if (!NT_SUCCESS(status)) {
            continue;
        }
        CAdapterCommon *a = adapter();
        run_frames(200);
        const ULONG releases = a->EngineCounters().IdleSlotReleases;
        run_frames(1000);
        EXPECT_LE(a->EngineCounters().IdleSlotReleases, releases + 2) << "the render thread spins";
        EXPECT_EQ(static_cast<LONG>(a->EngineRenderEntries()), a->EngineRenderInFlight());
        fewer = a->EngineRenderEntries() < 8;
        EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
    }
    EXPECT_TRUE(fewer) << "no start ran with fewer entries";
}

} // namespace
} // namespace engine_test
