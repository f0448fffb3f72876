// The job's test signal and its loopback check.
#include "loopback_signal.h"
#include <sim/asio_host.h>

namespace ovmrun {

ASIOSampleType sample_type_for_bits(uint32_t bits)
{
    switch (bits) {
    case 16:
        return ASIOSTInt16LSB;
    case 24:
        return ASIOSTInt24LSB;
    case 32:
        return ASIOSTInt32LSB;
    default:
        return -1;
    }
}

uint32_t sample_type_bytes(ASIOSampleType type)
{
    return (uint32_t)sim::asio_host::sample_bytes(type);
}

void write_signal(ASIOSampleType type, int32_t channel, uint64_t first_frame, uint32_t frames, uint8_t *out,
                  uint32_t stride)
{
    for (uint32_t f = 0; f < frames; ++f) {
        sim::asio_host::encode_signal(type, channel, first_frame + f, out + (size_t)f * stride);
    }
}

signal_sample decode_signal(const uint8_t *sample, uint32_t width)
{
    signal_sample decoded;
    for (uint32_t b = 0; b + 1 < width; ++b) {
        decoded.counter |= (uint64_t)sample[b] << (8 * b);
    }
    decoded.tag = sample[width - 1];
    return decoded;
}

loopback_result check_loopback(const std::vector<uint8_t> &captured, ASIOSampleType type, int32_t channel,
                               uint64_t first_counter)
{
    loopback_result result;
    const uint32_t width = sample_type_bytes(type);
    if (width == 0) {
        return result;
    }
    const uint8_t tag = signal_tag(channel);
    const uint64_t counter_mask = signal_counter_mask(width);
    const uint64_t frames = captured.size() / width;
    uint64_t expected = 0;
    for (uint64_t f = 0; f < frames; ++f) {
        const uint8_t *sample = captured.data() + f * width;
        const uint64_t counter = decode_signal(sample, width).counter;
        if (!result.found) {
            if (sample[width - 1] != tag) {
                continue;
            }
            result.found = true;
            result.first_frame = f;
            result.latency_frames = (int64_t)((f - counter) & counter_mask);
            // A stream that lost its start still runs on in sequence from where it arrived.
            result.lost_at_start = (counter - first_counter) & counter_mask;
            if (result.lost_at_start != 0) {
                result.mismatches = result.lost_at_start;
                result.first_mismatch = f;
            }
            expected = counter;
        } else if (sample[width - 1] != tag || counter != expected) {
            if (result.mismatches++ == 0) {
                result.first_mismatch = f;
            }
            // A skip or repeat is one fault, not a fault on every frame after it.
            if (sample[width - 1] == tag) {
                expected = counter;
            }
        }
        ++result.frames_checked;
        expected = (expected + 1) & counter_mask;
    }
    return result;
}

} // namespace ovmrun
