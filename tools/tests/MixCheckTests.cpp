// The checks of a run with the audio engine: a recorded channel is judged frame by frame as the
// saturating sum of the host's signal and the engine's pattern (or the host's alone), and the
// engine's recording is lined up with the host's.
#include <gtest/gtest.h>
#include <sim/asio_host.h>
#include <sim/audio_engine.h>
#include <functional>
#include "mix_check.h"

namespace {

constexpr uint32_t latency = 100;       // host frames before its signal comes back
constexpr uint32_t engine_from = 300;   // capture frame where the engine's stream begins
constexpr uint32_t engine_offset = 17;  // pattern frame at engine_from
constexpr uint32_t engine_until = 40000;
// Long enough for the pattern to pass 0 again after the engine stopped.
constexpr uint32_t frames = 70000;

void put(std::vector<uint8_t> &out, int64_t value, uint32_t width)
{
    for (uint32_t b = 0; b < width; ++b) {
        out.push_back((uint8_t)((uint64_t)value >> (8 * b)));
    }
}

int64_t host_sample(ASIOSampleType type, int32_t channel, uint64_t frame)
{
    uint8_t bytes[4] = {};
    sim::asio_host::encode_signal(type, channel, frame, bytes);
    const uint32_t width = (uint32_t)sim::asio_host::sample_bytes(type);
    uint64_t raw = 0;
    for (uint32_t b = 0; b < width; ++b) {
        raw |= (uint64_t)bytes[b] << (8 * b);
    }
    const unsigned shift = 64 - 8 * width;
    return (int64_t)(raw << shift) >> shift;
}

int32_t engine_sample(int32_t channel, uint64_t f)
{
    return sim::wavert_pattern_sample(f - engine_from + engine_offset, (ULONG)channel, 16);
}

// What the device played on a channel: silence, then the host alone, then both (spoiled by
// edit), then the host alone again.
std::vector<uint8_t> played(ASIOSampleType type, int32_t channel,
                            const std::function<int64_t(uint64_t, int64_t)> &edit = {})
{
    const uint32_t width = (uint32_t)sim::asio_host::sample_bytes(type);
    std::vector<uint8_t> out;
    for (uint64_t f = 0; f < frames; ++f) {
        int64_t value = 0;
        if (f >= latency) {
            value = host_sample(type, channel, f - latency);
        }
        if (f >= engine_from && f < engine_until) {
            bool saturated = false;
            value = ovmrun::mixed_sample(type, value, engine_sample(channel, f), &saturated);
        }
        put(out, edit ? edit(f, value) : value, width);
    }
    return out;
}

TEST(MixCheck, MixedSamplesSaturateAtTheDevicesWidth)
{
    bool saturated = true;
    EXPECT_EQ(0x01234567 + (0x10 << 16), ovmrun::mixed_sample(ASIOSTInt32LSB, 0x01234567, 0x10, &saturated));
    EXPECT_FALSE(saturated);
    EXPECT_EQ(0x7FFFFFFF, ovmrun::mixed_sample(ASIOSTInt32LSB, 0x7F000000, 0x7FFF, &saturated));
    EXPECT_TRUE(saturated);
    EXPECT_EQ(-0x80000000LL, ovmrun::mixed_sample(ASIOSTInt32LSB, -0x7FFF0000LL, -0x7FFF, &saturated));
    EXPECT_TRUE(saturated);
    EXPECT_EQ(0x7FFFFF, ovmrun::mixed_sample(ASIOSTInt24LSB, 0x7FFFFF, 0x7FFF, &saturated)) << "24-bit device";
    EXPECT_EQ(0x400000, ovmrun::mixed_sample(ASIOSTInt24LSB, 0, 0x4000, &saturated));
    EXPECT_EQ(0x7FFF, ovmrun::mixed_sample(ASIOSTInt16LSB, 0x7000, 0x1000, &saturated)) << "16-bit device";
    EXPECT_TRUE(saturated);
}

TEST(MixCheck, ASumOfBothStreamsOnEveryFramePasses)
{
    for (ASIOSampleType type : {ASIOSTInt16LSB, ASIOSTInt24LSB, ASIOSTInt32LSB}) {
        for (int32_t channel : {0, 1}) {
            SCOPED_TRACE(std::to_string(type) + " channel " + std::to_string(channel));
            const ovmrun::mix_result r = ovmrun::check_mix(played(type, channel), type, channel);
            EXPECT_TRUE(r.found);
            EXPECT_EQ(latency, r.latency_frames);
            EXPECT_EQ(frames - latency, r.frames_checked);
            EXPECT_EQ(0u, r.mismatches);
            EXPECT_EQ(0u, r.engine_gaps);
            // The pattern passes 0 once per 32768 frames; that frame is the host's alone.
            EXPECT_NEAR((double)(engine_until - engine_from), (double)r.frames_with_engine, 2.0);
            if (type == ASIOSTInt32LSB) {
                EXPECT_GT(r.frames_saturated, 0u) << "the pattern's top reaches past the host's signal";
            }
        }
    }
}

TEST(MixCheck, AFrameWithoutTheEngineOrWithAnotherValueIsCounted)
{
    const ASIOSampleType type = ASIOSTInt32LSB;
    struct row {
        const char *name;
        std::function<int64_t(uint64_t, int64_t)> edit;
        uint64_t mismatches;
        uint64_t gaps;
    };
    const std::vector<row> rows = {
        {"the engine left out 10 frames",
         [](uint64_t f, int64_t v) { return f >= 5000 && f < 5010 ? host_sample(type, 0, f - latency) : v; }, 0, 10},
        {"one sample altered", [](uint64_t f, int64_t v) { return f == 7000 ? v + 1 : v; }, 1, 0},
        {"the host's sample lost", [](uint64_t f, int64_t v) { return f == 8000 ? (int64_t)engine_sample(0, f) << 16 : v; },
         1, 0},
        {"the host's first 30 frames lost", [](uint64_t f, int64_t v) { return f < latency + 30 ? 0 : v; }, 30, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        const ovmrun::mix_result result = ovmrun::check_mix(played(type, 0, r.edit), type, 0);
        EXPECT_EQ(r.mismatches, result.mismatches);
        EXPECT_EQ(r.gaps, result.engine_gaps);
    }
    const ovmrun::mix_result silent = ovmrun::check_mix(std::vector<uint8_t>(4000, 0), type, 0);
    EXPECT_FALSE(silent.found);
}

TEST(MixCheck, TheEnginesRecordingIsFoundInTheHostsAndComparedFrameByFrame)
{
    const ASIOSampleType type = ASIOSTInt32LSB;
    const std::vector<uint8_t> left = played(type, 0), right = played(type, 1);
    // The engine records from capture frame 2000 on, in 16 bits, after a stretch of silence.
    constexpr size_t start = 2000, silence = 50, count = 30000;
    std::vector<uint8_t> engine(silence * 4, 0);
    for (size_t f = start; f < start + count; ++f) {
        for (const std::vector<uint8_t> *side : {&left, &right}) {
            const uint8_t *sample = side->data() + f * 4;
            engine.push_back(sample[2]);
            engine.push_back(sample[3]);
        }
    }
    ovmrun::capture_match match = ovmrun::compare_engine_capture(engine, left, right, type);
    EXPECT_TRUE(match.found);
    EXPECT_EQ((int64_t)start - (int64_t)silence, match.offset_frames);
    EXPECT_EQ(count, match.frames_compared);
    EXPECT_EQ(0u, match.mismatches);

    engine[(silence + 500) * 4] ^= 1;
    match = ovmrun::compare_engine_capture(engine, left, right, type);
    EXPECT_EQ(1u, match.mismatches);
    EXPECT_FALSE(ovmrun::compare_engine_capture(std::vector<uint8_t>(4000, 0), left, right, type).found);
}

} // namespace
