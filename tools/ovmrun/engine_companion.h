// The audio engine beside the host: a quarter of the way through the run it opens the WaveRT
// render and capture pins of the same device in its shared format (stereo 16-bit at the
// device's rate), plays its frame-numbered pattern and records until three quarters of the
// way; afterwards it checks that the device played the sum of both streams and that its
// capture pin got the host's input. With native DSD the driver refuses the engine's pins.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <wdm.h>
#include "mix_check.h"
#include "stream_companion.h"

namespace ovmrun {

struct engine_figures {
    bool ran = false;                       // the engine was asked to play
    std::string filter;                     // the WaveRT filter's device interface path
    NTSTATUS filter_open = STATUS_SUCCESS;
    NTSTATUS render_open = STATUS_SUCCESS;  // creating the render pin (the driver's answer)
    NTSTATUS capture_open = STATUS_SUCCESS;
    uint32_t rate = 0;                      // the format it asked for
    uint32_t channels = engine_channels;
    uint32_t bits = engine_bits;
    uint64_t frames_played = 0;             // pattern frames written into its render buffer
    uint64_t frames_recorded = 0;
    uint64_t late_notifications = 0;        // waits that timed out
    std::string failure;                    // a step that failed other than the refusal
    capture_match capture;                  // its recording against the host's input
    uint32_t mixed_channels = 0;            // device channels both streams fed
};

class engine_companion final : public stream_companion {
public:
    // pdo: the device whose filter the engine opens; rate: the device's rate.
    engine_companion(DEVICE_OBJECT *pdo, uint32_t rate);
    ~engine_companion() override;

    void at(stream_point point, sim::asio_host *host) override;
    void finish(stream_result &result) override;

    engine_figures figures() const;

private:
    void run();

    DEVICE_OBJECT *m_pdo;
    uint32_t m_rate;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    engine_figures m_figures;
    std::vector<uint8_t> m_recorded;
    int64_t m_started = -1;
    int64_t m_stopped = -1;
};

} // namespace ovmrun
