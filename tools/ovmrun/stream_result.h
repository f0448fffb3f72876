// What one streaming run through the stack gave back, whichever way it reached the device:
// the format used, the period counts, the latencies the stack reports, and the capture with
// its loopback verdict per input channel.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include <AsioInterface.h>

namespace ovmrun {

struct input_loopback {
    std::string name;           // the input channel's name
    int32_t output_channel = 0; // the output whose signal it should carry
    bool found = false;
    bool silent = false;        // every captured sample was zero
    int64_t latency_frames = 0;
    uint64_t frames_checked = 0;
    uint64_t mismatches = 0;
    uint64_t first_mismatch = 0;
};

struct stream_result {
    // A part of the stack that the route needs is not there (not built, or not exposed by the
    // driver): nothing was streamed and nothing failed. The text says which part.
    std::string not_run;
    // A present part failed; the text says which call and how.
    std::string failure;

    std::string route;           // e.g. "ASIO driver 'name' version 1 through an ASIO host"
    uint32_t rate = 0;           // the rate the stream ran at
    uint32_t buffer_frames = 0;  // frames per buffer half
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    ASIOSampleType sample_type = -1;
    uint64_t periods_wanted = 0;
    uint64_t buffer_switches = 0;
    uint64_t drop_outs = 0;      // periods that came late or out of sequence
    uint64_t resets = 0;         // reset requests the ASIO host handled, or channel restarts
                                 // after a stream reset of the kernel
    int32_t input_latency = 0;   // as the stack reports them, frames
    int32_t output_latency = 0;
    double seconds = 0;          // machine time from the first to the last period
    std::vector<input_loopback> loopback;
    std::vector<std::vector<uint8_t>> captured; // per input channel, packed samples of sample_type

    bool streamed() const { return not_run.empty() && failure.empty(); }
    // Frames per second of machine time that the buffer switches delivered, from the first
    // switch to the last; 0 when fewer than two switches or no time passed.
    double paced_rate() const
    {
        return buffer_switches >= 2 && seconds > 0 ? (double)(buffer_switches - 1) * buffer_frames / seconds : 0.0;
    }
};

} // namespace ovmrun
