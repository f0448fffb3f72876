// What a clean run of a looped-back stream is, for every streaming test: what came back is
// silence (the fill the path plays before its first data), then every frame that was sent, in
// order and unchanged, up to the end of what came back, at one constant latency; silence after
// the data only once all of it came back. A frame lost, doubled, late or changed breaks the run.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>
#include <ntdef.h>

namespace sim {

struct clean_run {
    bool clean = false;
    size_t latency = 0;        // frames of silence before the first frame of data
    ULONGLONG first = 0;       // the sent frame the data begins with
    size_t frames = 0;         // frames of data that came back
    std::string why;           // what broke the run, for the failure message
};

// Writes frame k of what was sent (frame_bytes bytes) to out.
using sent_frame = std::function<void(ULONGLONG k, UCHAR *out)>;

// Whether captured (whole frames of frame_bytes) is a clean run of sent frames
// [first, sent_frames). A first of any_frame lets the data begin with whichever sent frame
// its first frame equals (a stream whose start the test does not see).
inline constexpr ULONGLONG any_frame = ~0ull;
clean_run check_clean_run(const std::vector<UCHAR> &captured, ULONG frame_bytes, ULONGLONG sent_frames,
                          const sent_frame &sent, UCHAR silence = 0, ULONGLONG first = 0);

// The bytes [offset, offset + bytes) of each frame of stride bytes: one producer's channels of
// a stream that carries several.
std::vector<UCHAR> frame_slice(const std::vector<UCHAR> &data, ULONG stride, ULONG offset, ULONG bytes);

} // namespace sim
