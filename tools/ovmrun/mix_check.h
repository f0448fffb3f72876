// The checks of a run with the audio engine beside the ASIO host: what the device played on a
// channel both fed (every sample the saturating sum of the host's signal and the engine's
// frame-numbered pattern, or the host's alone while the engine did not play), and whether the
// engine's capture pin got the same input as the host.
#pragma once
#include <cstdint>
#include <vector>
#include <AsioInterface.h>

namespace ovmrun {

// The engine's stream as the mix path adds it: 16-bit samples, added at bits 31..16 of the
// device's sample with 32-bit saturation.
inline constexpr uint32_t engine_bits = 16;
inline constexpr uint32_t engine_channels = 2;

// The device sample that the mix path makes of the host's sample a and the engine's sample e,
// both in the host's sample type (PCM, little-endian).
int64_t mixed_sample(ASIOSampleType type, int64_t host_sample, int32_t engine_sample, bool *saturated);

struct mix_result {
    bool found = false;          // the host's signal arrived at all
    int64_t latency_frames = 0;  // of the host's signal
    uint64_t frames_checked = 0; // from the host signal's arrival on
    uint64_t lost_at_start = 0;  // the host's first frames that never came back
    uint64_t mismatches = 0;     // frames that are neither the sum nor the host's sample alone,
                                 // lost_at_start included
    uint64_t first_mismatch = 0;
    uint64_t frames_with_engine = 0;
    uint64_t frames_saturated = 0;
    uint64_t engine_gaps = 0;    // frames of the host alone between the engine's first and last
};

// Checks one captured channel (the device loops what it played back) of output channel
// channel, where the engine played channel channel of its pattern; the host's signal must
// arrive from its first frame on (one buffer session).
mix_result check_mix(const std::vector<uint8_t> &captured, ASIOSampleType type, int32_t channel);

struct capture_match {
    bool found = false;          // the engine's recording lines up with the host's
    int64_t offset_frames = 0;   // host capture frame of the engine's first compared frame
    uint64_t frames_compared = 0;
    uint64_t mismatches = 0;
};

// Compares the engine's recording (stereo 16-bit, interleaved) with the host's first two
// inputs (samples of type) cut to their top 16 bits, as the driver converts the device's
// samples for the engine.
capture_match compare_engine_capture(const std::vector<uint8_t> &engine, const std::vector<uint8_t> &host_left,
                                     const std::vector<uint8_t> &host_right, ASIOSampleType type);

} // namespace ovmrun
