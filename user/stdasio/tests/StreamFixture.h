// Fixture of the stream and driver-notification tests: a booted machine with one looped-back
// pair of simulated endpoints (what the render endpoint plays, the capture endpoint returns),
// COM started on the test thread, and a driver object whose host callbacks count reset requests.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/audio_endpoint.h>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <AsioInterface.h>
#include <sim/machine.h>
#include "OVASIO.h"
#include "OVASIOTrace.h"
#include "Queue.h"

namespace stream_test {

// What passed through the loop. Render and capture run on the endpoints' clock threads, whose
// periods fall due together in either order: capture begins to take once two periods wait, so
// that the delay from render to capture stays one for the whole stream.
struct loop_state {
    std::mutex lock;
    bool flowing = false;
    std::deque<std::vector<BYTE>> pending;    // played periods the capture side has not taken
    std::vector<std::vector<BYTE>> rendered;  // the first periods the render endpoint played
};

struct host_record {
    std::atomic<int> resets{0};
    std::atomic<int> messages{0};
};
host_record &host();
ASIOCallbacks host_callbacks();

bool wait_until(const std::function<bool()> &condition, DWORD timeoutMs = 10000);

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a render and a capture endpoint of 16-bit stereo at 44100 and 48000 Hz.
    void addEndpoints(ULONG alignmentBytes = 0);
    // The endpoint pair of one more USB device (instancePath: "USB\VID_..&PID_..\..").
    void addDevice(const std::wstring &instancePath, BYTE number, ULONG alignmentBytes = 0);
    // A driver object that no host initialised, with the host's callbacks when asked.
    OVASIO *createDriver(bool withCallbacks);
    std::vector<std::vector<BYTE>> rendered();

    std::unique_ptr<sim::machine> m_machine;
    std::shared_ptr<loop_state> m_loop;
    std::wstring m_renderId;
    std::wstring m_captureId;
    std::vector<OVASIO *> m_drivers;
    ASIOCallbacks m_callbacks{};
    // The render queue of the streams a test drives without a driver object.
    OVQUEUE m_queue;
    bool m_com = false;
    bool m_tracing = false;
};

} // namespace stream_test
