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
    bool found = false;         // in every buffer session
    bool silent = false;        // every captured sample was zero (or DSD silence)
    int64_t latency_frames = 0; // device frames, in the first session
    std::vector<int64_t> session_latencies; // the same per buffer session
    uint64_t frames_checked = 0;
    uint64_t lost_at_start = 0; // frames sent first in a session that never came back
    uint64_t mismatches = 0;    // lost_at_start included
    uint64_t first_mismatch = 0;
    // The audio engine's stream was mixed into this input's output: a frame is in sequence
    // when it is the saturating sum of the host's sample and the engine's (or the host's alone
    // while the engine is not playing).
    bool mixed = false;
    uint64_t frames_with_engine = 0; // frames that carried both streams
    uint64_t frames_saturated = 0;   // of those, the sums that saturated
    uint64_t engine_gaps = 0;        // frames without the engine's sample while it played
};

// One buffer session of the host: from createBuffers (at the start, and again after a reset) to
// its disposal.
struct stream_session {
    int64_t started = 0;         // machine clock, 100 ns
    int64_t first_switch = -1;   // the session's first buffer switch, or -1
    uint32_t buffer_frames = 0;  // in host samples (DSD samples with native DSD)
    uint32_t rate = 0;
    uint64_t buffer_switches = 0;
    double seconds = 0;          // first to last switch of the session
    std::vector<size_t> capture_offsets; // bytes each input had captured before it
};

struct stream_switch {
    int64_t time = 0;         // machine clock, 100 ns
    double period_ms = 0;     // the nominal period of its session
};

// Something that happened at a moment of the run, for the report and the picture.
struct run_event {
    enum class kind { drop_out, reset_request, streaming_resumed, panel_click, engine_started, engine_stopped };
    kind what = kind::drop_out;
    int64_t time = 0;         // machine clock, 100 ns
};

struct stream_result {
    // A part of the stack that the route needs is not there (not built, or not exposed by the
    // driver): nothing was streamed and nothing failed. The text says which part.
    std::string not_run;
    // A present part failed; the text says which call and how.
    std::string failure;
    // What the device cannot do of what the run asked for (native DSD at a rate): the text says
    // what; the job ends as for a rate the device lacks.
    std::string unsupported;

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
    // The rate the device's clock ran at: rate, or with native DSD the DSD rate over 32.
    uint32_t device_rate = 0;
    std::vector<stream_session> sessions;
    std::vector<stream_switch> switches;
    std::vector<run_event> events;

    bool streamed() const { return not_run.empty() && failure.empty(); }
    bool dsd() const { return sample_type == ASIOSTDSDInt8LSB1 || sample_type == ASIOSTDSDInt8MSB1; }
    // The session whose pace the run is judged by: the longest one; null when none is recorded
    // (the whole run is one session then).
    const stream_session *longest_session() const
    {
        const stream_session *longest = nullptr;
        for (const stream_session &session : sessions) {
            longest = longest == nullptr || session.seconds > longest->seconds ? &session : longest;
        }
        return longest;
    }
    // Samples per second of machine time that the buffer switches of the longest session
    // delivered, from its first switch to its last; 0 when fewer than two switches or no time
    // passed.
    double paced_rate() const
    {
        const stream_session *longest = longest_session();
        const uint64_t count = longest != nullptr ? longest->buffer_switches : buffer_switches;
        const uint32_t frames = longest != nullptr ? longest->buffer_frames : buffer_frames;
        const double span = longest != nullptr ? longest->seconds : seconds;
        return count >= 2 && span > 0 ? (double)(count - 1) * frames / span : 0.0;
    }
    // The rate that session streamed at.
    uint32_t paced_session_rate() const
    {
        const stream_session *longest = longest_session();
        return longest != nullptr ? longest->rate : rate;
    }
};

} // namespace ovmrun
