// OVRENDER and OVCAPTURE over looped-back simulated endpoints: the opening steps and their
// refusals, alignment, priming, render thread to capture read as a clean run, the health check and
// session loss after the endpoint goes.
#include "StreamFixture.h"
#include <platform/clock.h>
#include <sim/clean_run.h>
#include <cstring>
#include <platform/thread.h>
#include <platform/trace.h>
#include <algorithm>
#include <thread>
#include "Queue.h"
#include "SessionNotifications.h"
#include "Stream.h"

namespace stream_test {
namespace {

// Duration of a 10 ms buffer in 100-ns units.
const REFERENCE_TIME TenMs = 100000;

template <class TStream>
DWORD OpenAll(TStream &stream, const std::wstring &id, DWORD rate, REFERENCE_TIME duration,
              OVAUDIOSESSIONNOTIFICATIONS **events = nullptr)
{
    DWORD result = stream.getDevice(id.c_str());
    if (result == OV_STREAM_OK) {
        result = stream.activate();
    }
    if (result == OV_STREAM_OK) {
        result = stream.open(rate, duration, 16);
    }
    if (result == OV_STREAM_OK) {
        result = stream.getServices();
    }
    if (result == OV_STREAM_OK) {
        OVAUDIOSESSIONNOTIFICATIONS *ignored = nullptr;
        result = stream.registerSessionEvents(events != nullptr ? events : &ignored);
    }
    return result;
}

// Block n of the loop test: left sample i is n * 7 + i, right sample its complement.
void FillBlock(int n, DWORD frames, SHORT *left, SHORT *right)
{
    for (DWORD i = 0; i < frames; i++) {
        left[i] = (SHORT)(n * 7 + (int)i);
        right[i] = (SHORT)~left[i];
    }
}

TEST_F(StreamTest, EveryStepRefusesWithoutItsPrerequisite)
{
    OVRENDER render(nullptr, &m_queue);
    EXPECT_EQ(render.getDevice(nullptr), (DWORD)OV_STREAM_INVALID);
    EXPECT_EQ(render.activate(), (DWORD)OV_STREAM_MISSING);
    EXPECT_EQ(render.open(44100, TenMs, 16), (DWORD)OV_STREAM_MISSING);
    EXPECT_EQ(render.getServices(), (DWORD)OV_STREAM_MISSING);
    OVAUDIOSESSIONNOTIFICATIONS *events = nullptr;
    EXPECT_EQ(render.registerSessionEvents(&events), (DWORD)OV_STREAM_MISSING);
    EXPECT_EQ(events, nullptr);
    EXPECT_EQ(render.startThread(), (DWORD)OV_STREAM_MISSING);
    EXPECT_EQ(render.startClient(), (DWORD)OV_STREAM_MISSING);
    EXPECT_EQ(render.joinThread(), (DWORD)OV_STREAM_MISSING);
    EXPECT_FALSE(render.checkHealth());
    EXPECT_EQ(render.close(), (DWORD)OV_STREAM_OK);
    EXPECT_NE(render.bufferEvent(), nullptr);
}

TEST_F(StreamTest, OpenSequenceTakesTheEndpointOnceAndCloseGivesItBack)
{
    addEndpoints();
    OVCAPTURE capture(nullptr);
    EXPECT_EQ(capture.getDevice(L"{0.0.1.00000000}.{no-such-endpoint}"), (DWORD)OV_STREAM_FAILED);
    ASSERT_EQ(capture.getDevice(m_captureId.c_str()), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(capture.getDevice(m_captureId.c_str()), (DWORD)OV_STREAM_PRESENT);
    ASSERT_EQ(capture.activate(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(capture.activate(), (DWORD)OV_STREAM_PRESENT);

    // An unsupported rate is refused before the client is touched: it still opens afterwards.
    EXPECT_EQ(capture.open(32000, TenMs, 16), (DWORD)OV_STREAM_INVALID);
    EXPECT_EQ(capture.bufferFrames(), 0u);
    EXPECT_EQ(capture.blockAlign(), 0u);
    ASSERT_EQ(capture.open(44100, TenMs, 16), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(capture.bufferFrames(), 441u);
    EXPECT_EQ(capture.blockAlign(), 4u);
    EXPECT_TRUE(platform::audio_endpoint_in_exclusive_use(m_captureId));

    ASSERT_EQ(capture.getServices(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(capture.getServices(), (DWORD)OV_STREAM_PRESENT);
    OVAUDIOSESSIONNOTIFICATIONS *events = nullptr;
    ASSERT_EQ(capture.registerSessionEvents(&events), (DWORD)OV_STREAM_OK);
    ASSERT_NE(events, nullptr);
    EXPECT_EQ(events->flow(), (DWORD)OV_FLOW_CAPTURE);
    OVAUDIOSESSIONNOTIFICATIONS *second = nullptr;
    EXPECT_EQ(capture.registerSessionEvents(&second), (DWORD)OV_STREAM_PRESENT);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(capture.checkHealth());

    EXPECT_EQ(capture.close(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(platform::audio_endpoint_client_count(m_captureId), 0u);
    EXPECT_FALSE(platform::audio_endpoint_in_exclusive_use(m_captureId));
    // The same object opens again: its events live as long as it does.
    EXPECT_EQ(OpenAll(capture, m_captureId, 48000, TenMs), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(capture.bufferFrames(), 480u);
    capture.close();
}

// An alignment refusal is a failure like any other; the caller closes and opens again with a
// duration the endpoint accepts.
TEST_F(StreamTest, AlignmentRefusalFailsTheOpenAndAnAlignedRetryWorks)
{
    addEndpoints(512);
    OVRENDER render(nullptr, &m_queue);
    ASSERT_EQ(render.getDevice(m_renderId.c_str()), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(render.activate(), (DWORD)OV_STREAM_OK);
    const auto errors = [](const platform::trace_capture &capture) {
        const auto records = capture.records();
        return std::count_if(records.begin(), records.end(),
                             [](const platform::trace_record &r) { return r.level <= TRACE_LEVEL_ERROR; });
    };
    {
        platform::trace_capture refused(&OVMLSASO_TRACE_GUID, TRACE_LEVEL_ERROR);
        EXPECT_EQ(render.open(44100, TenMs, 16), (DWORD)OV_STREAM_FAILED);
        EXPECT_NE(errors(refused), 0) << "the refused Initialize left no error record";
    }
    render.close();
    EXPECT_EQ(platform::audio_endpoint_client_count(m_renderId), 0u);

    // 512 frames of 4 bytes are a multiple of 512 bytes.
    const REFERENCE_TIME aligned = (REFERENCE_TIME)(512.0 / 44100.0 * 10000000.0 + 0.5);
    platform::trace_capture clean(&OVMLSASO_TRACE_GUID, TRACE_LEVEL_ERROR);
    ASSERT_EQ(OpenAll(render, m_renderId, 44100, aligned), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(errors(clean), 0);
    EXPECT_EQ(render.bufferFrames(), 512u);
    render.close();
}

TEST_F(StreamTest, PrimeHandsTheQueuedBlockToTheDeviceFirst)
{
    addEndpoints();
    OVRENDER render(nullptr, &m_queue);
    ASSERT_EQ(OpenAll(render, m_renderId, 44100, TenMs), (DWORD)OV_STREAM_OK);
    const DWORD frames = render.bufferFrames();
    ASSERT_EQ(m_queue.init(2, frames), 1u);
    std::vector<SHORT> left(frames), right(frames);
    FillBlock(3, frames, left.data(), right.data());
    ASSERT_EQ(m_queue.push(left.data(), right.data(), frames), 1u);

    ASSERT_EQ(render.startClient(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(m_queue.filled(), 0u);
    EXPECT_NE(WaitForSingleObject(m_queue.dataEvent(), 0), (DWORD)WAIT_OBJECT_0);
    HANDLE space = nullptr;
    ASSERT_EQ(m_queue.getSpaceEvent(&space), 1u);
    EXPECT_EQ(WaitForSingleObject(space, 0), (DWORD)WAIT_OBJECT_0);

    ASSERT_TRUE(wait_until([&] { return rendered().size() >= 1; }));
    const auto played = rendered();
    ASSERT_EQ(played[0].size(), frames * 4);
    const SHORT *samples = reinterpret_cast<const SHORT *>(played[0].data());
    for (DWORD i = 0; i < frames; i++) {
        ASSERT_EQ(samples[2 * i], left[i]) << i;
        ASSERT_EQ(samples[2 * i + 1], right[i]) << i;
    }
    // Without a stream thread, joining still stops the client.
    EXPECT_EQ(render.joinThread(), (DWORD)OV_STREAM_OK);
    render.close();
    m_queue.close();
}

TEST_F(StreamTest, RenderPeriodOfAnEmptyQueuePlaysSilence)
{
    addEndpoints();
    OVRENDER render(nullptr, &m_queue);
    ASSERT_EQ(OpenAll(render, m_renderId, 48000, TenMs), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(m_queue.init(2, render.bufferFrames()), 1u);
    {
        std::lock_guard<std::mutex> guard(m_loop->lock);
        m_loop->rendered.clear();
    }
    ASSERT_EQ(render.startClient(), (DWORD)OV_STREAM_OK);
    ASSERT_TRUE(wait_until([&] { return rendered().size() >= 1; }));
    const auto played = rendered();
    for (BYTE b : played[0]) {
        ASSERT_EQ(b, 0);
    }
    EXPECT_EQ(render.joinThread(), (DWORD)OV_STREAM_OK);
    render.close();
    m_queue.close();
}

// The engine's order: the render thread runs, the capture client starts, two blocks are
// queued and then the render client starts. On the manual clock, moved on a millisecond at a
// time only while the machine rests and the test has read and queued what it can, what the
// capture side reads is silence, then every queued block in order and unchanged.
TEST_F(StreamTest, QueuedBlocksComeBackThroughTheLoopAsACleanRun)
{
    addEndpoints();
    OVRENDER render(nullptr, &m_queue);
    OVCAPTURE capture(nullptr);
    ASSERT_EQ(OpenAll(capture, m_captureId, 48000, TenMs), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(OpenAll(render, m_renderId, 48000, TenMs), (DWORD)OV_STREAM_OK);
    const DWORD frames = render.bufferFrames();
    ASSERT_EQ(capture.bufferFrames(), frames);
    ASSERT_EQ(m_queue.init(2, frames), 1u);
    std::vector<BYTE> staging(frames * 4);
    capture.setBuffers(staging.data(), frames);
    HANDLE space = nullptr;
    ASSERT_EQ(m_queue.getSpaceEvent(&space), 1u);

    platform::clock_use_manual(true);
    ASSERT_EQ(render.startThread(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(render.startThread(), (DWORD)OV_STREAM_PRESENT);
    ASSERT_EQ(capture.startClient(), (DWORD)OV_STREAM_OK);
    std::vector<SHORT> left(frames), right(frames);
    int pushed = 0;
    auto push = [&] {
        FillBlock(pushed + 1, frames, left.data(), right.data());
        pushed += m_queue.push(left.data(), right.data(), frames) ? 1 : 0;
    };
    push();
    push();
    ASSERT_EQ(2, pushed);
    ASSERT_EQ(render.startClient(), (DWORD)OV_STREAM_OK);

    std::vector<UCHAR> captured; // interleaved as the endpoint carries it
    for (int ms = 0; ms < 1000 && captured.size() < 40u * frames * 4; ++ms) {
        ASSERT_TRUE(wait_until([] { return platform::machine_quiescent(); }));
        if (WaitForSingleObject(capture.getBufferEvent(), 0) == WAIT_OBJECT_0) {
            capture.readPeriod(left.data(), right.data());
            for (DWORD i = 0; i < frames; ++i) {
                const SHORT frame[2] = {left[i], right[i]};
                captured.insert(captured.end(), (const UCHAR *)frame, (const UCHAR *)frame + 4);
            }
        }
        if (WaitForSingleObject(space, 0) == WAIT_OBJECT_0) {
            push();
        }
        platform::clock_advance(platform::ticks_per_ms);
    }
    ASSERT_EQ(40u * frames * 4, captured.size());
    // Frame k is frame k % frames of block k / frames + 1.
    const sim::clean_run run = sim::check_clean_run(captured, 4, (ULONGLONG)pushed * frames, [frames](ULONGLONG k, UCHAR *out) {
        const SHORT sample = (SHORT)((int)(k / frames + 1) * 7 + (int)(k % frames));
        const SHORT frame[2] = {sample, (SHORT)~sample};
        std::memcpy(out, frame, sizeof(frame));
    });
    EXPECT_TRUE(run.clean) << run.why;

    EXPECT_EQ(render.signalStop(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(capture.joinThread(), (DWORD)OV_STREAM_OK);
    EXPECT_EQ(render.joinThread(), (DWORD)OV_STREAM_OK);
    EXPECT_FALSE(render.hasThread());
    render.close();
    capture.close();
    m_queue.close();
    platform::clock_use_manual(false);
}

// The audio engine may grant more frames than the host's buffer holds: nothing is written past
// the staging length.
TEST_F(StreamTest, CaptureReadsStayWithinTheHostHalves)
{
    addEndpoints();
    OVCAPTURE capture(nullptr);
    ASSERT_EQ(OpenAll(capture, m_captureId, 44100, TenMs), (DWORD)OV_STREAM_OK);
    const DWORD halfFrames = 128;
    ASSERT_GT(capture.bufferFrames(), halfFrames);
    std::vector<BYTE> staging(halfFrames * 4);
    capture.setBuffers(staging.data(), halfFrames);
    ASSERT_EQ(capture.startClient(), (DWORD)OV_STREAM_OK);

    const SHORT Guard = 0x3C3C;
    std::vector<SHORT> left(capture.bufferFrames(), Guard), right(capture.bufferFrames(), Guard);
    ASSERT_EQ(WaitForSingleObject(capture.getBufferEvent(), 5000), (DWORD)WAIT_OBJECT_0);
    capture.readSilence(left.data(), right.data(), capture.bufferFrames());
    ASSERT_EQ(WaitForSingleObject(capture.getBufferEvent(), 5000), (DWORD)WAIT_OBJECT_0);
    capture.readPeriod(left.data(), right.data());
    for (DWORD i = 0; i < capture.bufferFrames(); i++) {
        const SHORT expected = i < halfFrames ? 0 : Guard;
        ASSERT_EQ(left[i], expected) << i;
        ASSERT_EQ(right[i], expected) << i;
    }
    EXPECT_EQ(capture.joinThread(), (DWORD)OV_STREAM_OK);
    capture.close();
}

// With no buffer event (the client never started), the render thread's time-out check finds
// the removed endpoint, stops the engine and reports the lost session once.
TEST_F(StreamTest, RemovedEndpointEndsTheRenderThreadAndLosesTheSession)
{
    addEndpoints();
    OVASIO *driver = createDriver(true);
    ASSERT_NE(driver, nullptr);
    OVRENDER render(driver, driver->m_renderQueue);
    OVCAPTURE capture(driver);
    ASSERT_EQ(OpenAll(render, m_renderId, 44100, TenMs), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(OpenAll(capture, m_captureId, 44100, TenMs), (DWORD)OV_STREAM_OK);
    ResetEvent(driver->m_stopEvent);
    ASSERT_EQ(render.startThread(), (DWORD)OV_STREAM_OK);
    EXPECT_TRUE(render.checkHealth());

    ASSERT_TRUE(platform::audio_endpoint_remove(m_renderId));
    ASSERT_TRUE(wait_until([&] { return driver->m_sessionLost != 0; }));
    EXPECT_EQ(WaitForSingleObject(driver->m_stopEvent, 0), (DWORD)WAIT_OBJECT_0);
    render.joinThread();
    EXPECT_FALSE(render.hasThread());
    EXPECT_EQ(host().resets.load(), 1);
    EXPECT_EQ(driver->m_resetRequested, 1u);

    // The capture side's check after its own endpoint goes asks for nothing more.
    ASSERT_TRUE(platform::audio_endpoint_remove(m_captureId));
    EXPECT_FALSE(capture.checkHealth());
    EXPECT_EQ(host().resets.load(), 1);
    render.close();
    capture.close();
}

} // namespace
} // namespace stream_test
