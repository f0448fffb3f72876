// The loopback check: where the signal arrives, what a lost start, a lost, repeated or foreign
// sample looks like, each buffer session on its own, and the counter's wrap in 16-bit samples.
#include <gtest/gtest.h>
#include "loopback_signal.h"
#include "stream_routes.h"

namespace {

// Captured channel: silence frames of zero, then channel's signal from frame first on.
std::vector<uint8_t> capture(ASIOSampleType type, int32_t channel, uint32_t silence, uint64_t first, uint32_t frames)
{
    const uint32_t width = ovmrun::sample_type_bytes(type);
    std::vector<uint8_t> data((size_t)(silence + frames) * width, 0);
    ovmrun::write_signal(type, channel, first, frames, data.data() + (size_t)silence * width, width);
    return data;
}

TEST(LoopbackSignal, SampleTypesFollowTheContainerWidth)
{
    EXPECT_EQ(ASIOSTInt16LSB, ovmrun::sample_type_for_bits(16));
    EXPECT_EQ(ASIOSTInt24LSB, ovmrun::sample_type_for_bits(24));
    EXPECT_EQ(ASIOSTInt32LSB, ovmrun::sample_type_for_bits(32));
    EXPECT_EQ(-1, ovmrun::sample_type_for_bits(20));
    EXPECT_EQ(3u, ovmrun::sample_type_bytes(ASIOSTInt24LSB));
    EXPECT_EQ(0u, ovmrun::sample_type_bytes(-1));
}

TEST(LoopbackSignal, InterleavedWritesFillOnlyTheirOwnSlot)
{
    std::vector<uint8_t> frames(4 * 3 * 2, 0xEE);
    ovmrun::write_signal(ASIOSTInt16LSB, 1, 0x1234, 4, frames.data() + 2, 6);
    for (size_t f = 0; f < 4; ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(0xEE, frames[f * 6]) << "the slot before is untouched";
        EXPECT_EQ((uint8_t)(0x34 + f), frames[f * 6 + 2]);
        EXPECT_EQ(2, frames[f * 6 + 3]) << "channel 1 is tagged 2";
        EXPECT_EQ(0xEE, frames[f * 6 + 4]) << "the slot after is untouched";
    }
}

TEST(LoopbackSignal, LatencyIsTheDistanceFromTheOutputFrameToWhereItArrived)
{
    for (ASIOSampleType type : {ASIOSTInt16LSB, ASIOSTInt24LSB, ASIOSTInt32LSB}) {
        SCOPED_TRACE(type);
        const ovmrun::loopback_result r = ovmrun::check_loopback(capture(type, 3, 700, 100, 500), type, 3, 100);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(700u, r.first_frame);
        // 16-bit samples carry an 8-bit counter: their latency is known modulo 256 only.
        EXPECT_EQ(type == ASIOSTInt16LSB ? 600 % 256 : 600, r.latency_frames);
        EXPECT_EQ(500u, r.frames_checked);
        EXPECT_EQ(0u, r.mismatches);
    }
}

// A signal that arrives in sequence but from a later frame than the first one sent lost its
// start: those frames count, from the arrival on (a lost start of a whole counter range is
// invisible in 16-bit samples).
TEST(LoopbackSignal, AStartThatNeverCameBackIsLost)
{
    for (ASIOSampleType type : {ASIOSTInt16LSB, ASIOSTInt32LSB}) {
        SCOPED_TRACE(type);
        const ovmrun::loopback_result r = ovmrun::check_loopback(capture(type, 0, 400, 200, 300), type, 0);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(200u, r.lost_at_start);
        EXPECT_EQ(200u, r.mismatches);
        EXPECT_EQ(400u, r.first_mismatch);
        EXPECT_EQ(200, r.latency_frames) << "the frames that came back are on time";
        EXPECT_EQ(0u, ovmrun::check_loopback(capture(type, 0, 400, 200, 300), type, 0, 200).mismatches);
    }
}

TEST(LoopbackSignal, ALostFrameCountsOnceAndTheCheckFollowsOn)
{
    std::vector<uint8_t> data = capture(ASIOSTInt32LSB, 0, 10, 0, 100);
    data.erase(data.begin() + 50 * 4, data.begin() + 51 * 4);
    const ovmrun::loopback_result r = ovmrun::check_loopback(data, ASIOSTInt32LSB, 0, 0);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(1u, r.mismatches);
    EXPECT_EQ(50u, r.first_mismatch);
    EXPECT_EQ(99u, r.frames_checked);
}

// After a reset the host's counter runs on: each buffer session must come back from the
// counter of its own first captured frame, or it lost its start.
TEST(LoopbackSignal, EachBufferSessionComesBackFromItsOwnFirstFrame)
{
    for (uint64_t lost : {0u, 50u}) {
        SCOPED_TRACE(lost);
        ovmrun::stream_result s;
        s.sample_type = ASIOSTInt32LSB;
        s.outputs = 1;
        s.captured.push_back(capture(ASIOSTInt32LSB, 0, 100, 0, 200));
        const std::vector<uint8_t> second = capture(ASIOSTInt32LSB, 0, 100, 300 + lost, 200 - (uint32_t)lost);
        s.captured[0].insert(s.captured[0].end(), second.begin(), second.end());
        s.sessions.resize(2);
        s.sessions[1].capture_offsets = {300 * 4};
        ovmrun::check_inputs(s, {"In 1"});
        ASSERT_EQ(1u, s.loopback.size());
        const ovmrun::input_loopback &in = s.loopback[0];
        EXPECT_TRUE(in.found);
        EXPECT_EQ(lost, in.lost_at_start);
        EXPECT_EQ(lost, in.mismatches);
        EXPECT_EQ((std::vector<int64_t>{100, 100 - (int64_t)lost}), in.session_latencies);
    }
}

TEST(LoopbackSignal, SilenceOrAnotherChannelAfterTheArrivalIsAMismatch)
{
    std::vector<uint8_t> data = capture(ASIOSTInt24LSB, 1, 0, 0, 20);
    data[5 * 3 + 2] = 0;             // frame 5 silent in its top byte
    data[9 * 3 + 2] = 3;             // frame 9 carries channel 2's tag
    const ovmrun::loopback_result r = ovmrun::check_loopback(data, ASIOSTInt24LSB, 1, 0);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(2u, r.mismatches);
    EXPECT_EQ(5u, r.first_mismatch);
}

TEST(LoopbackSignal, ChangedLowBitsAreAMismatch)
{
    std::vector<uint8_t> data = capture(ASIOSTInt32LSB, 0, 0, 0, 20);
    data[12 * 4] ^= 0x01;
    const ovmrun::loopback_result r = ovmrun::check_loopback(data, ASIOSTInt32LSB, 0, 0);
    EXPECT_EQ(2u, r.mismatches) << "the altered frame, then the one after it breaks the resumed sequence";
    EXPECT_EQ(12u, r.first_mismatch);
}

TEST(LoopbackSignal, TheCounterWrapsWithinSixteenBitSamples)
{
    const ovmrun::loopback_result r =
        ovmrun::check_loopback(capture(ASIOSTInt16LSB, 0, 3, 250, 20), ASIOSTInt16LSB, 0, 250);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(0u, r.mismatches);
    EXPECT_EQ((int64_t)((3 - 250) & 0xFF), r.latency_frames);
}

TEST(LoopbackSignal, ASignalThatNeverArrivesIsNotFound)
{
    const std::vector<uint8_t> silence(4 * 100, 0);
    const ovmrun::loopback_result r = ovmrun::check_loopback(silence, ASIOSTInt32LSB, 0, 0);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(0u, r.frames_checked);
    EXPECT_FALSE(ovmrun::check_loopback(capture(ASIOSTInt32LSB, 4, 0, 0, 10), ASIOSTInt32LSB, 5, 0).found);
    EXPECT_FALSE(ovmrun::check_loopback(capture(ASIOSTInt32LSB, 0, 0, 0, 10), -1, 0, 0).found);
}

} // namespace
