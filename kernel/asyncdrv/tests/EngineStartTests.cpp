// How the streaming engine starts render in each pacing mode, seen on the bus through a tap in
// front of the device: explicit feedback sends no render transfer before the first feedback
// value; plain mode primes every transfer with fill and mixes from the first completion on;
// implicit feedback sizes the first transfers by what capture delivered while it measured; and
// capture ending while render measures ends render without a transfer, and a capture recovery
// while render measures leaves render waiting for the bus, not for its own work.
#include "EngineFixture.h"
#include <atomic>
#include <chrono>
#include <thread>
#include <sim/clean_run.h>
#include "MixSource.h"
#include "TransferEntry.h"

namespace engine_test {
namespace {

constexpr std::uint8_t RENDER_EP = sim::uac2_ids::render_data_ep;
constexpr ULONG PARAM2 = 8;
constexpr ULONG MICROFRAMES_PER_MS = 8;

// A render producer for the engine alone, in direct mode: sample c of frame k is 2k + c + 1, as
// 32-bit samples of two channels.
class counting_source final : public CMixSource {
public:
    BOOLEAN IsCapturePaced() override { return FALSE; }
    BOOLEAN IsSourceStarted() override { return TRUE; }
    PLIST_ENTRY PieceLink(TransferEntry *Entry) override { return &Entry->AsioMixLink; }
    TransferEntry *PieceFromLink(PLIST_ENTRY Link) override
    {
        return CONTAINING_RECORD(Link, TransferEntry, AsioMixLink);
    }
    ULONG ReadFrames(ULONG Frames, PUCHAR Destination) override
    {
        for (ULONG f = 0; f < Frames; ++f, ++next) {
            frame(next, Destination + f * 8);
        }
        return Frames;
    }
    ULONG GetMode() override { return MIX_MODE_PCM; }
    ULONG GetBitsPerSample() override { return 32; }
    ULONG GetChannels() override { return 2; }

    static void frame(ULONGLONG k, UCHAR *out)
    {
        for (ULONG c = 0; c < 2; ++c) {
            const ULONG value = static_cast<ULONG>(2 * k + c + 1);
            std::memcpy(out + 4 * c, &value, 4);
        }
    }

    std::atomic<ULONGLONG> next{0};
};

class EngineStartTest : public EngineTest {
protected:
    // StartStream(render) on a thread of its own, so that the test moves the bus meanwhile.
    void start_render_async()
    {
        starter = std::thread([this] { started = common()->StartStream(FALSE); });
    }
    NTSTATUS join_start()
    {
        run_until([this] { return started != STATUS_PENDING; });
        starter.join();
        return started;
    }
    void TearDown() override
    {
        if (starter.joinable()) {
            join_start();
        }
        EngineTest::TearDown();
    }
    // Until condition holds, for at most 10 s: the bus runs frame by frame (run_bus), or it
    // stands while the engine's threads work.
    bool run_until(const std::function<bool()> &condition, bool run_bus = true)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            if (run_bus) {
                run_frames(1);
            } else {
                std::this_thread::yield();
            }
        }
        return true;
    }
    // Frames of each render transfer on the bus, in order: transfers are param1 frames of the
    // bus long, counted from the first render packet.
    std::vector<ULONG> transfer_frames(ULONG param1, ULONG frameBytes) const
    {
        std::vector<ULONG> frames;
        const std::vector<sim::usb_tap::packet> packets = tap->packets(RENDER_EP);
        for (const sim::usb_tap::packet &p : packets) {
            const size_t index = (p.microframe - packets.front().microframe) / (param1 * MICROFRAMES_PER_MS);
            frames.resize(std::max(frames.size(), index + 1), 0);
            frames[index] += static_cast<ULONG>(p.bytes.size() / frameBytes);
        }
        return frames;
    }

    std::thread starter;
    std::atomic<NTSTATUS> started{STATUS_PENDING};
};

TEST_F(EngineStartTest, ExplicitFeedbackSendsNoRenderTransferBeforeTheFirstFeedbackValue)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    start(descriptors, {}, 48000, true);
    CAdapterCommon *engine = adapter();
    start_render_async();
    // The feedback reads are out before the bus has moved; the render slots are not granted.
    ASSERT_TRUE(run_until(
        [&] { return engine->EngineCounters().FeedbackReads >= 1 && !engine->EngineThreadsPending(); }, false));
    ULONG frames = 0;
    ASSERT_TRUE(run_until([&] {
        EXPECT_TRUE(tap->packets(RENDER_EP).empty()) << "frame " << frames;
        ++frames;
        return engine->EngineRenderInFlight() != 0;
    }));
    // Render began in the frame a feedback read completed, with every render slot at once.
    ASSERT_FALSE(tap->packets(sim::uac2_ids::feedback_ep).empty());
    EXPECT_GT(frames, 1u) << "render began before any frame ran";
    EXPECT_EQ(static_cast<LONG>(PARAM2), engine->EngineRenderInFlight());
    EXPECT_EQ(STATUS_SUCCESS, join_start());
    run_frames(50);
    EXPECT_EQ(static_cast<LONG>(PARAM2), engine->EngineRenderInFlight());
    EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
}

// Plain mode: all param2 transfers leave at once, carrying fill; from the first completion on the
// recycled transfers carry what the source mixes, so the source's audio follows exactly the
// primed transfers on the bus, frame for frame.
TEST_F(EngineStartTest, PlainModePrimesSilenceThenMixesFromTheFirstCompletion)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    descriptors.feedback = sim::feedback_kind::none;
    descriptors.render_formats = {{2, 4, 32}};
    start(descriptors, {}, 48000, true);
    CAdapterCommon *engine = adapter();
    // The device format, learned from a first start.
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    const ADAPTER_FORMAT format = engine->DeviceFormat(FALSE);
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
    ASSERT_EQ(8u, format.FrameBytes);

    counting_source source;
    MIX_DEVICE_FORMAT mix{};
    mix.RenderChannels = format.Channels;
    mix.RenderBitsPerSample = format.BitsPerSample;
    mix.RenderSampleRate = format.SampleRate;
    mix.RenderBytesPerFrame = format.FrameBytes;
    mix.RenderMaxTransferBytes = 4 * 64 * format.FrameBytes;
    mix.Timing = MIX_TIMING{4, PARAM2, 1};
    mix.PoolType = NonPagedPool;
    source.SetDeviceFormat(mix);
    ASSERT_EQ(STATUS_SUCCESS, source.Prime());
    engine->AttachMixSources(&source, nullptr);
    const size_t before = tap->packets(RENDER_EP).size();

    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    run_frames(200);
    EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
    engine->AttachMixSources(&engine->AsioMix(), &engine->OsMix());

    std::vector<UCHAR> played;
    std::vector<sim::usb_tap::packet> packets = tap->packets(RENDER_EP);
    for (size_t i = before; i < packets.size(); ++i) {
        played.insert(played.end(), packets[i].bytes.begin(), packets[i].bytes.end());
    }
    const sim::clean_run run = sim::check_clean_run(played, 8, source.next, counting_source::frame);
    EXPECT_TRUE(run.clean) << run.why;
    // The fill lasts exactly the param2 primed transfers of 4 ms (a render-only device).
    ULONG primed = 0;
    for (size_t i = before; i < packets.size() && packets[i].microframe < packets[before].microframe + PARAM2 * 4 * 8;
         ++i) {
        primed += static_cast<ULONG>(packets[i].bytes.size() / 8);
    }
    EXPECT_EQ(PARAM2 * 4 * 48, primed);
    EXPECT_EQ(primed, run.latency);
    EXPECT_GT(run.frames, 48u * 100);
}

// Implicit feedback: while render measures, each of its param2 entries adds up param1 / param3
// capture transfers, converted to render frames; the first param2 render transfers carry exactly
// that. Capture delivers one frame more than its clock per packet here, so the measured amount
// differs from the nominal one.
TEST_F(EngineStartTest, ImplicitFeedbackSizesTheFirstTransfersByWhatCaptureDelivered)
{
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 4, 32}};
    descriptors.capture_formats = {{2, 4, 32}};
    start(descriptors, {}, 48000, true);
    for (std::uint64_t packet = 0; packet < 4000; ++packet) {
        device->inject_capture_fault(packet, sim::capture_fault{sim::capture_fault_kind::frames_delta, 1});
    }
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    ASSERT_EQ(EnginePacingImplicit, adapter()->EnginePacing());
    run_frames(200);
    EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));

    // Each capture transfer of 1 ms held 8 packets of 7 frames instead of 6.
    const std::vector<ULONG> frames = transfer_frames(8, 8);
    ASSERT_GT(frames.size(), PARAM2);
    for (ULONG i = 0; i < PARAM2; ++i) {
        EXPECT_EQ(8u * 8 * 7, frames[i]) << "transfer " << i;
    }
    EXPECT_EQ(0u, adapter()->EngineCounters().Recoveries[0]);
}

// Capture ends (the device goes) while render measures: the render thread leaves without a
// transfer and the start answers STATUS_CANCELLED.
TEST_F(EngineStartTest, CaptureEndingWhileRenderMeasuresEndsRenderWithoutATransfer)
{
    start({}, {}, 48000, true);
    start_render_async();
    // Measuring takes param2 x param1 capture transfers; well inside it the device goes.
    ASSERT_TRUE(run_until([this] { return !tap->packets(sim::uac2_ids::capture_data_ep).empty(); }));
    run_frames(16);
    ASSERT_EQ(STATUS_PENDING, started.load());
    device->surprise_remove();
    EXPECT_EQ(STATUS_CANCELLED, join_start());
    EXPECT_TRUE(tap->packets(RENDER_EP).empty());
    EXPECT_EQ(0, adapter()->EngineRenderInFlight());
    EXPECT_EQ(0u, adapter()->RunCount(FALSE));
    EXPECT_EQ(0u, adapter()->RunCount(TRUE));
}

// A capture transfer fails while render measures: the capture recovery raises a render recovery
// behind the measuring, and render still waits for captured data, which only the bus brings. A
// bus that waits for the engine after each frame must not wait for it then.
TEST_F(EngineStartTest, RenderMeasuringBehindARaisedRecoveryIsNotPendingForTheBus)
{
    start({}, {}, 48000, true);
    start_render_async();
    ASSERT_TRUE(run_until([this] { return !tap->packets(sim::uac2_ids::capture_data_ep).empty(); }));
    const std::uint64_t next = tap->packets(sim::uac2_ids::capture_data_ep).size() + 8;
    for (std::uint64_t packet = next; packet < next + 16; ++packet) {
        device->inject_capture_fault(packet, sim::capture_fault{sim::capture_fault_kind::error, 0});
    }
    CAdapterCommon *engine = adapter();
    ASSERT_TRUE(run_until([engine] { return engine->EngineCounters().Recoveries[ENGINE_CAPTURE] >= 1; }));
    ASSERT_EQ(STATUS_PENDING, started.load()) << "render still measures";
    EXPECT_TRUE(run_until([engine] { return !engine->EngineThreadsPending(); }, false));
}

} // namespace
} // namespace engine_test
