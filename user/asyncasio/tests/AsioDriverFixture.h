// Fixture of the ASIO driver's tests: a booted machine with the asynchronous kernel driver
// installed for the simulated USB audio device (looped back), ovmlsaaso registered as Windows
// registers it, helpers for the per-user settings, and a small callback recorder for tests that
// drive IASIO directly.
#pragma once
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <AsioInterface.h>
#include <platform/trace.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/paced_bus.h>

namespace asio_test {

// What the driver told the callbacks of a directly driven session. The callbacks carry no
// context, so one recorder serves the test that runs.
struct recorder {
    std::atomic<int> switches{0};
    std::atomic<int> resets{0};
    std::atomic<int> messages{0};
    std::atomic<int32_t> engine_version{2};
    std::atomic<int32_t> time_info{1};
    std::atomic<bool> call_output_ready{false};
    // The switch asks the driver what a host asks in its switch (rate, latencies, channels).
    std::atomic<bool> query_in_switch{false};
    // A reset request is answered by releasing the driver from inside the callback.
    std::atomic<bool> release_on_reset{false};
    std::atomic<bool> released{false}; // that Release has returned
    // When set, a reset request returns only once this event is signalled.
    std::atomic<HANDLE> reset_gate{nullptr};
    // Set before streaming: what the host does in its answer to a reset request, and at the
    // end of each switch (given the number of switches before it).
    std::function<void(IASIO *)> reset_answer;
    std::function<void(IASIO *, int)> in_switch;
    std::atomic<IASIO *> driver{nullptr};
    std::mutex lock;
    std::vector<int64_t> positions;   // samplePosition of each bufferSwitchTimeInfo
    std::vector<uint32_t> time_codes; // timeCodeSamples.lo
    std::vector<uint32_t> flags;
    std::vector<double> rates;        // timeInfo.sampleRate
    std::vector<int32_t> halves;
    // Output buffers the switch fills with (switch number + 1) before it calls outputReady.
    std::vector<std::pair<void *, void *>> outputs;
    size_t output_bytes = 0;
};
recorder &record();
recorder *new_recorder();
void delete_recorder();
ASIOCallbacks recording_callbacks();

// Registers ovmlsaaso (loaded into the machine's process) as its setup does and starts COM on
// the calling thread.
void register_driver(HMODULE *module);
// A new driver object through COM, as a host creates it. Null on failure.
IASIO *create_asio_driver();
// Waits until cond holds or timeout_ms passes.
bool wait_until(const std::function<bool()> &cond, DWORD timeout_ms = 10000);
// The driver's error records that a capture holds (provider, function and text, one a line),
// for a test that checks whether a path traced an error; empty when there is none.
std::string driver_errors(const platform::trace_capture &capture);

class AsioDriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts the machine's bus on the paced bus, moved on only while the machine is quiescent, so
    // that neither the driver nor a host can fall behind it: a stream on it loses no audio.
    // Before the first attach.
    void pace_bus();
    // Attaches the simulated device (class 2, looped back) with the asynchronous driver.
    void attach(sim::uac2_options descriptors = {}, sim::audio_device_options options = {});
    void detach();
    IASIO *create_driver() { return create_asio_driver(); }
    // Per-user settings of the stack, as the control panel writes them.
    static void store_settings(DWORD rate, DWORD index);
    static void store_selected(const std::wstring &instance_id);
    static DWORD stored_rate();

    std::unique_ptr<sim::machine> m_machine;
    std::unique_ptr<sim::paced_bus> m_bus;
    std::shared_ptr<sim::audio_device> m_device;
    DEVICE_OBJECT *m_pdo = nullptr;
    HMODULE m_module = nullptr;
    bool m_com = false;
};

} // namespace asio_test
