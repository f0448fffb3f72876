// The known signal the job plays and the check of what came back: every output sample carries
// its channel number in its top byte and a frame counter below it (the ASIO host's signal), so
// a captured channel shows where the signal arrived and whether any sample was lost, repeated
// or altered on the way.
#pragma once
#include <cstdint>
#include <vector>
#include <AsioInterface.h>

namespace ovmrun {

// The ASIO sample type of a little-endian container of bits (16, 24 packed, 32); -1 otherwise.
ASIOSampleType sample_type_for_bits(uint32_t bits);
// Container bytes of a PCM sample type; 0 for any other type.
uint32_t sample_type_bytes(ASIOSampleType type);

// Writes frames of output channel channel's signal, starting at first_frame, into out with
// stride bytes from one frame to the next (the container width for a channel's own buffer,
// the frame size for interleaved data).
void write_signal(ASIOSampleType type, int32_t channel, uint64_t first_frame, uint32_t frames, uint8_t *out,
                  uint32_t stride);

// The channel tag and frame counter one sample of the signal carries (width bytes, the tag in
// the top byte), and the counter's range as a mask.
struct signal_sample {
    uint8_t tag = 0;
    uint64_t counter = 0;
};
signal_sample decode_signal(const uint8_t *sample, uint32_t width);
inline uint64_t signal_counter_mask(uint32_t width) { return (1ull << ((width - 1) * 8)) - 1; }
inline uint8_t signal_tag(int32_t channel) { return (uint8_t)((channel + 1) & 0x7F); }

struct loopback_result {
    bool found = false;          // the output channel's signal arrived at all
    uint64_t first_frame = 0;    // captured frame where it first appears
    int64_t latency_frames = 0;  // first_frame minus the output frame that sample carried, modulo
                                 // the counter's range (256 frames for 16-bit samples)
    uint64_t frames_checked = 0; // frames from the first arrival to the end of the capture
    uint64_t lost_at_start = 0;  // frames the host sent first that never came back: the signal
                                 // arrived with a later counter (modulo the counter's range)
    uint64_t mismatches = 0;     // frames that break the sequence, lost_at_start included
    uint64_t first_mismatch = 0; // captured frame of the first mismatch (the arrival when the
                                 // start was lost)
};

// Looks for output channel channel's signal in one captured channel (samples of type, packed).
// Silence before the first arrival is expected; the first frame that arrives must carry
// first_counter, the counter of the first frame the host sent (0 for a run's first buffer
// session), and every frame after it the next counter value. The counter wraps at the width
// below the top byte; after a skip or a repeat the check follows the sequence from the sample
// that broke it.
loopback_result check_loopback(const std::vector<uint8_t> &captured, ASIOSampleType type, int32_t channel,
                               uint64_t first_counter = 0);

} // namespace ovmrun
