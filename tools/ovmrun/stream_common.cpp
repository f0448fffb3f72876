// Period count and loopback verdict shared by the streaming routes.
#include "stream_routes.h"
#include <algorithm>
#include <cmath>
#include "loopback_signal.h"

namespace ovmrun {

namespace {

// The byte the driver fills DSD silence with.
constexpr uint8_t dsd_silence = 0x96;

// [begin, end) byte ranges of one input's capture, one per buffer session.
std::vector<std::pair<size_t, size_t>> session_ranges(const stream_result &result, size_t input, size_t bytes)
{
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t begin = 0;
    for (size_t k = 1; k < result.sessions.size(); ++k) {
        const std::vector<size_t> &offsets = result.sessions[k].capture_offsets;
        const size_t end = input < offsets.size() ? std::min(offsets[input], bytes) : begin;
        if (end > begin) {
            ranges.emplace_back(begin, end);
            begin = end;
        }
    }
    ranges.emplace_back(begin, bytes);
    return ranges;
}

} // namespace

uint64_t periods_for(double seconds, uint32_t rate, uint32_t frames)
{
    if (frames == 0) {
        return 0;
    }
    const double periods = std::ceil(seconds * rate / frames);
    return periods < 4 ? 4 : (uint64_t)periods;
}

ASIOSampleType signal_layout(ASIOSampleType type)
{
    return type == ASIOSTDSDInt8LSB1 || type == ASIOSTDSDInt8MSB1 ? ASIOSTInt32LSB : type;
}

void check_inputs(stream_result &result, const std::vector<std::string> &input_names)
{
    result.loopback.clear();
    const ASIOSampleType layout = signal_layout(result.sample_type);
    for (size_t i = 0; i < result.captured.size(); ++i) {
        input_loopback entry;
        entry.name = i < input_names.size() ? input_names[i] : "In " + std::to_string(i + 1);
        entry.output_channel = (int32_t)i;
        const std::vector<uint8_t> &captured = result.captured[i];
        entry.silent = std::all_of(captured.begin(), captured.end(),
                                   [&](uint8_t b) { return b == 0 || (result.dsd() && b == dsd_silence); });
        if (i < result.outputs) {
            // After a reset the host streams anew: each session's audio comes back on its own,
            // after the latency of its own buffers.
            entry.found = true;
            for (const auto &[begin, end] : session_ranges(result, i, captured.size())) {
                const std::vector<uint8_t> part(captured.begin() + (ptrdiff_t)begin, captured.begin() + (ptrdiff_t)end);
                // The host's frame counter runs on across sessions, as far as its capture
                // does: a session's first output frame carries the counter of its first
                // captured frame, and its latency counts from there.
                const uint32_t width = std::max<uint32_t>(1, sample_type_bytes(layout));
                const uint64_t first_frame = begin / width;
                const loopback_result check =
                    check_loopback(part, layout, (int32_t)i, first_frame & signal_counter_mask(width));
                const int64_t latency =
                    (int64_t)(((uint64_t)check.latency_frames + first_frame) & signal_counter_mask(width));
                if (entry.session_latencies.empty()) {
                    entry.latency_frames = latency;
                }
                entry.session_latencies.push_back(latency);
                entry.found = entry.found && check.found;
                if (check.mismatches != 0 && entry.mismatches == 0) {
                    entry.first_mismatch = first_frame + check.first_mismatch;
                }
                entry.frames_checked += check.frames_checked;
                entry.lost_at_start += check.lost_at_start;
                entry.mismatches += check.mismatches;
            }
        }
        result.loopback.push_back(entry);
    }
}

} // namespace ovmrun
