// The clean-run check of looped-back streams and the slicing of one producer's channels.
#include <sim/clean_run.h>
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

bool is_silence(const UCHAR *frame, ULONG bytes, UCHAR silence)
{
    return std::all_of(frame, frame + bytes, [silence](UCHAR b) { return b == silence; });
}

std::string hex(const UCHAR *frame, ULONG bytes)
{
    std::string text;
    char digits[4];
    for (ULONG b = 0; b < bytes && b < 16; ++b) {
        std::snprintf(digits, sizeof(digits), "%02x", frame[b]);
        text += digits;
    }
    return text;
}

} // namespace

clean_run check_clean_run(const std::vector<UCHAR> &captured, ULONG frame_bytes, ULONGLONG sent_frames,
                          const sent_frame &sent, UCHAR silence, ULONGLONG first)
{
    clean_run run;
    if (frame_bytes == 0) {
        run.why = "no frame size";
        return run;
    }
    const size_t total = captured.size() / frame_bytes;
    std::vector<UCHAR> expected(frame_bytes);
    size_t sound = 0;
    while (sound < total && is_silence(&captured[sound * frame_bytes], frame_bytes, silence)) {
        ++sound;
    }
    if (sound == total) {
        run.why = "only silence came back (" + std::to_string(total) + " frames)";
        return run;
    }

    // Where the data begins: sent frames that are silence themselves hide in the lead-in.
    ULONGLONG k = first;
    size_t start = sound;
    if (first == any_frame) {
        for (k = 0; k < sent_frames; ++k) {
            sent(k, expected.data());
            if (std::memcmp(expected.data(), &captured[sound * frame_bytes], frame_bytes) == 0) {
                break;
            }
        }
        if (k == sent_frames) {
            run.why = "frame " + std::to_string(sound) + " (" + hex(&captured[sound * frame_bytes], frame_bytes) +
                      ") is none of the sent frames";
            return run;
        }
    } else {
        while (k < sent_frames && start > 0) {
            sent(k, expected.data());
            if (!is_silence(expected.data(), frame_bytes, silence)) {
                break;
            }
            ++k;
            --start;
        }
    }
    run.first = first == any_frame ? k : first;
    run.latency = start;

    for (size_t at = start; at < total; ++at) {
        const UCHAR *got = &captured[at * frame_bytes];
        const ULONGLONG want = run.first + (at - start);
        if (want >= sent_frames) {
            if (!is_silence(got, frame_bytes, silence)) {
                run.frames = at - start;
                run.why = "frame " + std::to_string(at) + " (" + hex(got, frame_bytes) +
                          ") follows the last sent frame and is not silence";
                return run;
            }
            continue;
        }
        sent(want, expected.data());
        if (std::memcmp(expected.data(), got, frame_bytes) != 0) {
            run.why = "frame " + std::to_string(at) + " is " + hex(got, frame_bytes) + ", sent frame " +
                      std::to_string(want) + " was " + hex(expected.data(), frame_bytes) + " (" +
                      std::to_string(at - start) + " frames after the data began at " + std::to_string(start) + ")";
            run.frames = at - start;
            return run;
        }
    }
    run.frames = static_cast<size_t>(std::min<ULONGLONG>(total - start, sent_frames - run.first));
    run.clean = true;
    return run;
}

std::vector<UCHAR> frame_slice(const std::vector<UCHAR> &data, ULONG stride, ULONG offset, ULONG bytes)
{
    std::vector<UCHAR> slice;
    if (stride == 0 || offset + bytes > stride) {
        return slice;
    }
    slice.reserve(data.size() / stride * bytes);
    for (size_t at = 0; at + stride <= data.size(); at += stride) {
        slice.insert(slice.end(), data.begin() + at + offset, data.begin() + at + offset + bytes);
    }
    return slice;
}

} // namespace sim
