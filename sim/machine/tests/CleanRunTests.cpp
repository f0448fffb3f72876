// The clean-run check every streaming test relies on: it passes a delayed, unchanged stream and
// fails each way audio can be lost.
#include <gtest/gtest.h>
#include <sim/clean_run.h>

namespace {

constexpr ULONG FRAME_BYTES = 2;

void counting(ULONGLONG k, UCHAR *out)
{
    out[0] = static_cast<UCHAR>(k + 1);
    out[1] = static_cast<UCHAR>((k + 1) >> 8);
}

// silence frames of 0, then sent frames [from, to) with the edit applied.
std::vector<UCHAR> stream(size_t silence, ULONGLONG from, ULONGLONG to)
{
    std::vector<UCHAR> data(silence * FRAME_BYTES, 0);
    for (ULONGLONG k = from; k < to; ++k) {
        UCHAR frame[FRAME_BYTES];
        counting(k, frame);
        data.insert(data.end(), frame, frame + FRAME_BYTES);
    }
    return data;
}

TEST(CleanRun, PassesADelayedStreamAndFailsEveryLoss)
{
    struct row {
        const char *label;
        std::vector<UCHAR> captured;
        ULONGLONG first;
        bool clean;
        size_t latency;
        size_t frames;
    };
    std::vector<UCHAR> lost = stream(3, 0, 50);
    lost.erase(lost.begin() + 20 * FRAME_BYTES, lost.begin() + 21 * FRAME_BYTES);
    std::vector<UCHAR> doubled = stream(3, 0, 50);
    doubled.insert(doubled.begin() + 20 * FRAME_BYTES, doubled.begin() + 19 * FRAME_BYTES,
                   doubled.begin() + 20 * FRAME_BYTES);
    std::vector<UCHAR> changed = stream(3, 0, 50);
    changed[30 * FRAME_BYTES + 1] ^= 0x40;
    std::vector<UCHAR> gap = stream(3, 0, 20);
    const std::vector<UCHAR> rest = stream(5, 20, 50);
    gap.insert(gap.end(), rest.begin(), rest.end());
    std::vector<UCHAR> tail = stream(3, 0, 100);
    tail.insert(tail.end(), 4 * FRAME_BYTES, 0);
    std::vector<UCHAR> noise = stream(3, 0, 100);
    noise.push_back(7);
    noise.push_back(0);

    const std::vector<row> rows = {
        {"delayed and whole", stream(7, 0, 60), 0, true, 7, 60},
        {"the start never came back", stream(7, 5, 60), 0, false, 7, 0},
        {"joined late, any start", stream(7, 5, 60), sim::any_frame, true, 7, 55},
        {"a frame lost", lost, 0, false, 3, 17},
        {"a frame doubled", doubled, 0, false, 3, 17},
        {"a byte changed", changed, 0, false, 3, 27},
        {"silence inside the data", gap, 0, false, 3, 20},
        {"silence once everything came back", tail, 0, true, 3, 100},
        {"sound after the last frame", noise, 0, false, 3, 100},
        {"only silence", std::vector<UCHAR>(40, 0), 0, false, 0, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        const sim::clean_run run = sim::check_clean_run(r.captured, FRAME_BYTES, 100, counting, 0, r.first);
        EXPECT_EQ(r.clean, run.clean) << run.why;
        EXPECT_EQ(r.clean, run.why.empty());
        if (r.frames != 0) {
            EXPECT_EQ(r.latency, run.latency);
            EXPECT_EQ(r.frames, run.frames);
        }
    }
}

TEST(CleanRun, SilentSentFramesCountAsData)
{
    // Frame 0 of what was sent is itself silence: the data begins one frame before the sound.
    auto sent = [](ULONGLONG k, UCHAR *out) { counting(k == 0 ? ~0ull : k - 1, out); };
    std::vector<UCHAR> captured(4 * FRAME_BYTES, 0);
    const std::vector<UCHAR> rest = stream(0, 0, 30);
    captured.insert(captured.end(), rest.begin(), rest.end());
    const sim::clean_run run = sim::check_clean_run(captured, FRAME_BYTES, 31, sent);
    EXPECT_TRUE(run.clean) << run.why;
    EXPECT_EQ(3u, run.latency);
    EXPECT_EQ(0u, run.first);
    EXPECT_EQ(31u, run.frames);
}

TEST(CleanRun, FrameSliceKeepsOneProducersBytes)
{
    const std::vector<UCHAR> data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ((std::vector<UCHAR>{2, 3, 5, 6, 8, 9}), sim::frame_slice(data, 3, 1, 2));
    EXPECT_TRUE(sim::frame_slice(data, 3, 2, 2).empty());
}

} // namespace
