// Period count and loopback verdict shared by both streaming routes.
#include "stream_routes.h"
#include <algorithm>
#include <cmath>
#include "loopback_signal.h"

namespace ovmrun {

uint64_t periods_for(double seconds, uint32_t rate, uint32_t frames)
{
    if (frames == 0) {
        return 0;
    }
    const double periods = std::ceil(seconds * rate / frames);
    return periods < 4 ? 4 : (uint64_t)periods;
}

void check_inputs(stream_result &result, const std::vector<std::string> &input_names)
{
    result.loopback.clear();
    for (size_t i = 0; i < result.captured.size(); ++i) {
        input_loopback entry;
        entry.name = i < input_names.size() ? input_names[i] : "In " + std::to_string(i + 1);
        entry.output_channel = (int32_t)i;
        const std::vector<uint8_t> &captured = result.captured[i];
        entry.silent = std::all_of(captured.begin(), captured.end(), [](uint8_t b) { return b == 0; });
        if (i < result.outputs) {
            const loopback_result check = check_loopback(result.captured[i], result.sample_type, (int32_t)i);
            entry.found = check.found;
            entry.latency_frames = check.latency_frames;
            entry.frames_checked = check.frames_checked;
            entry.mismatches = check.mismatches;
            entry.first_mismatch = check.first_mismatch;
        }
        result.loopback.push_back(entry);
    }
}

} // namespace ovmrun
