// The mix and engine-capture checks of a run with the audio engine beside the host.
#include "mix_check.h"
#include <sim/asio_host.h>
#include <sim/audio_engine.h>
#include <algorithm>
#include <optional>
#include "loopback_signal.h"

namespace ovmrun {

namespace {

// The engine's pattern repeats after this many frames (15 bits of a non-negative 16-bit sample).
constexpr int64_t pattern_period = 1 << 15;
// Frames a recording must agree on before it counts as lined up.
constexpr size_t match_window = 64;

int64_t read_sample(const uint8_t *p, uint32_t width)
{
    uint64_t raw = 0;
    for (uint32_t b = 0; b < width; ++b) {
        raw |= (uint64_t)p[b] << (8 * b);
    }
    const unsigned shift = 64 - 8 * width;
    return (int64_t)(raw << shift) >> shift;
}

int64_t host_signal(ASIOSampleType type, int32_t channel, uint64_t frame, uint32_t width)
{
    uint8_t bytes[4] = {};
    sim::asio_host::encode_signal(type, channel, frame, bytes);
    return read_sample(bytes, width);
}

int32_t engine_signal(int64_t engine_frame, int32_t channel)
{
    return sim::wavert_pattern_sample((ULONGLONG)engine_frame, (ULONG)channel, engine_bits);
}

int64_t modulo(int64_t value, int64_t period)
{
    const int64_t r = value % period;
    return r < 0 ? r + period : r;
}

} // namespace

int64_t mixed_sample(ASIOSampleType type, int64_t host_sample, int32_t engine_sample, bool *saturated)
{
    const uint32_t width = (uint32_t)sim::asio_host::sample_bytes(type);
    const unsigned align = 32 - 8 * width;
    int64_t sum = (host_sample << align) + ((int64_t)engine_sample << 16);
    *saturated = sum > INT32_MAX || sum < INT32_MIN;
    sum = std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX);
    return sum >> align;
}

mix_result check_mix(const std::vector<uint8_t> &captured, ASIOSampleType type, int32_t channel)
{
    mix_result result;
    const uint32_t width = (uint32_t)sim::asio_host::sample_bytes(type);
    if (width == 0) {
        return result;
    }
    const uint64_t counter_mask = signal_counter_mask(width);
    const uint64_t frames = captured.size() / width;
    // The host's signal arrives first alone; its first frame gives the host's latency, which
    // holds for the rest of the run.
    uint64_t base = 0;
    uint64_t f = 0;
    for (; f < frames && !result.found; ++f) {
        const signal_sample sample = decode_signal(captured.data() + f * width, width);
        if (sample.tag == signal_tag(channel)) {
            result.found = true;
            base = f - sample.counter;
            result.latency_frames = (int64_t)((f - sample.counter) & counter_mask);
            // The host's first frame carries counter 0: a later one first means a lost start.
            result.lost_at_start = sample.counter & counter_mask;
            if (result.lost_at_start != 0) {
                result.mismatches = result.lost_at_start;
                result.first_mismatch = f;
            }
        }
    }
    if (!result.found) {
        return result;
    }
    --f;
    std::optional<int64_t> engine_offset; // capture frame minus engine frame, modulo the period
    bool engine_seen = false;
    uint64_t host_alone_since_engine = 0;
    for (; f < frames; ++f) {
        const int64_t value = read_sample(captured.data() + f * width, width);
        const int64_t host = host_signal(type, channel, (f - base) & counter_mask, width);
        ++result.frames_checked;
        bool saturated = false;
        bool with_engine = false;
        if (engine_offset) {
            const int32_t expected = engine_signal(modulo((int64_t)f - *engine_offset, pattern_period), channel);
            // Where the pattern passes 0 the sum is the host's sample, with or without the engine.
            if (expected == 0 && value == host) {
                continue;
            }
            with_engine = mixed_sample(type, host, expected, &saturated) == value;
        }
        if (!with_engine && value != host) {
            // The engine's stream starts, or goes on after a gap at another place: an
            // unsaturated sum gives the engine's sample, and that its frame.
            const unsigned align = 32 - 8 * width;
            const int64_t difference = (value << align) - (host << align);
            if (difference > 0 && (difference & 0xFFFF) == 0 && (difference >> 16) < pattern_period) {
                const int64_t engine_sample = difference >> 16;
                const int64_t engine_frame = modulo(engine_sample - (int64_t)channel * (pattern_period >> 4), pattern_period);
                if (engine_offset && result.mismatches++ == 0) {
                    result.first_mismatch = f;
                }
                engine_offset = modulo((int64_t)f - engine_frame, pattern_period);
                with_engine = true;
            } else if (result.mismatches++ == 0) {
                result.first_mismatch = f;
                continue;
            } else {
                continue;
            }
        }
        if (with_engine) {
            ++result.frames_with_engine;
            result.frames_saturated += saturated ? 1 : 0;
            engine_seen = true;
            result.engine_gaps += host_alone_since_engine;
            host_alone_since_engine = 0;
        } else if (engine_seen) {
            ++host_alone_since_engine;
        }
    }
    return result;
}

capture_match compare_engine_capture(const std::vector<uint8_t> &engine, const std::vector<uint8_t> &host_left,
                                     const std::vector<uint8_t> &host_right, ASIOSampleType type)
{
    capture_match match;
    const uint32_t width = (uint32_t)sim::asio_host::sample_bytes(type);
    if (width == 0) {
        return match;
    }
    const unsigned align = 32 - 8 * width;
    const size_t host_frames = std::min(host_left.size(), host_right.size()) / width;
    const size_t engine_frames = engine.size() / 4;
    auto host_top = [&](const std::vector<uint8_t> &side, size_t frame) {
        return (int16_t)((read_sample(side.data() + frame * width, width) << align) >> 16);
    };
    auto engine_sample = [&](size_t frame, size_t c) {
        return (int16_t)(engine[frame * 4 + c * 2] | engine[frame * 4 + c * 2 + 1] << 8);
    };
    auto same = [&](size_t k, size_t f) {
        return engine_sample(k, 0) == host_top(host_left, f) && engine_sample(k, 1) == host_top(host_right, f);
    };
    // The host's signal alone keeps its top 16 bits for long stretches; the recording is lined
    // up where the engine's own stream makes every frame differ from the one before.
    size_t anchor = 1;
    for (size_t run = 0; anchor < engine_frames && run < match_window; ++anchor) {
        run = engine_sample(anchor, 0) != engine_sample(anchor - 1, 0) ? run + 1 : 0;
    }
    if (anchor < match_window || anchor >= engine_frames) {
        return match;
    }
    anchor -= match_window;
    for (size_t f = 0; f + match_window <= host_frames && !match.found; ++f) {
        size_t k = 0;
        while (k < match_window && same(anchor + k, f + k)) {
            ++k;
        }
        if (k == match_window) {
            match.found = true;
            match.offset_frames = (int64_t)f - (int64_t)anchor;
        }
    }
    if (!match.found) {
        return match;
    }
    // Every frame from the first the engine recorded (past the silence its buffer began
    // with) must be the host's.
    size_t first = 0;
    while (first < engine_frames && engine_sample(first, 0) == 0 && engine_sample(first, 1) == 0) {
        ++first;
    }
    for (size_t k = first; k < engine_frames && (int64_t)k + match.offset_frames < (int64_t)host_frames; ++k) {
        if ((int64_t)k + match.offset_frames < 0) {
            continue;
        }
        ++match.frames_compared;
        match.mismatches += same(k, (size_t)((int64_t)k + match.offset_frames)) ? 0 : 1;
    }
    return match;
}

} // namespace ovmrun
