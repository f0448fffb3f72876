// Isochronous streaming of the device model, driven in step mode by bus time: packet sizes
// that follow the device clock, feedback values, the render FIFO (also on an adaptive
// endpoint), loopback and pattern capture, OUT validation, and injected packet faults.
#include "device_test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>

namespace {

using namespace sim;
using namespace sim::test;

constexpr std::uint8_t render_if = 1;
constexpr std::uint8_t capture_if = 2;

std::uint32_t read_feedback(audio_device &d, std::uint64_t microframe, std::uint32_t bytes = 4)
{
    std::vector<std::uint8_t> b(bytes, 0);
    const iso_in_result r = d.iso_in(uac2_ids::feedback_ep, microframe, b);
    EXPECT_EQ(r.status, packet_status::ok);
    return read_le(b, 0, r.length);
}

TEST(CaptureClock, FullSpeed441PacketsAre44Or45FramesAndSumExactly)
{
    audio_device d(build_uac1_device({}));
    d.set_endpoint_rate(uac1_ids::capture_data_ep, 44100);
    ASSERT_TRUE(configure(d, {{2, 1}}));
    std::vector<std::uint8_t> buffer(1023);
    std::uint64_t frames = 0;
    std::set<std::uint32_t> sizes;
    for (std::uint64_t frame = 1; frame <= 1000; ++frame) {
        const iso_in_result r = d.iso_in(uac1_ids::capture_data_ep, frame * 8, buffer);
        ASSERT_EQ(r.status, packet_status::ok);
        ASSERT_EQ(r.length % 4, 0u);
        sizes.insert(r.length / 4);
        frames += r.length / 4;
    }
    EXPECT_EQ(sizes, (std::set<std::uint32_t>{44, 45}));
    EXPECT_EQ(frames, 44100u);
}

TEST(CaptureClock, HighSpeedPacketsFollowTheRateActuallySet)
{
    audio_device d(build_uac2_device({}));
    ASSERT_TRUE(set(d, 0x21, 1, 0x0100, uac2_ids::render_clock << 8, le(44100, 4)));
    ASSERT_TRUE(configure(d, {{capture_if, 1}}));
    std::vector<std::uint8_t> buffer(1024);
    std::uint64_t frames = 0;
    std::set<std::uint32_t> sizes;
    for (std::uint64_t m = 1; m <= 8000; ++m) {
        frames += d.iso_in(uac2_ids::capture_data_ep, m, buffer).length / 4;
        sizes.insert(static_cast<std::uint32_t>(d.counters().in_bytes));
    }
    EXPECT_EQ(frames, 44100u);

    audio_device e(build_uac2_device({}));
    ASSERT_TRUE(set(e, 0x21, 1, 0x0100, uac2_ids::render_clock << 8, le(44100, 4)));
    ASSERT_TRUE(configure(e, {{capture_if, 1}}));
    std::set<std::uint32_t> per_packet;
    for (std::uint64_t m = 1; m <= 800; ++m) {
        per_packet.insert(e.iso_in(uac2_ids::capture_data_ep, m, buffer).length / 4);
    }
    EXPECT_EQ(per_packet, (std::set<std::uint32_t>{5, 6}));
}

TEST(Feedback, PlusHundredPpmIn1616And1014)
{
    audio_device_options options;
    options.ppm = 100;
    audio_device hs(build_uac2_device({}), options);
    ASSERT_TRUE(configure(hs, {{render_if, 1}}));
    EXPECT_EQ(read_feedback(hs, 8), 393255u) << "48 kHz: 6.0006 frames per microframe in 16.16";
    ASSERT_TRUE(set(hs, 0x21, 1, 0x0100, uac2_ids::render_clock << 8, le(44100, 4)));
    EXPECT_EQ(read_feedback(hs, 16), 361303u);

    audio_device fs(build_uac1_device({}), options);
    fs.set_endpoint_rate(uac1_ids::render_data_ep, 44100);
    ASSERT_TRUE(configure(fs, {{render_if, 1}}));
    std::vector<std::uint8_t> b(3, 0);
    const iso_in_result r = fs.iso_in(uac1_ids::sync_ep, 8, b);
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(read_le(b, 0, 3), 722607u) << "44.1 kHz: 44.1044 frames per frame in 10.14";

    options.full_speed_feedback_bytes = 4;
    audio_device fs4(build_uac1_device({}), options);
    fs4.set_endpoint_rate(uac1_ids::render_data_ep, 44100);
    ASSERT_TRUE(configure(fs4, {{render_if, 1}}));
    std::vector<std::uint8_t> b4(4, 0);
    EXPECT_EQ(fs4.iso_in(uac1_ids::sync_ep, 8, b4).length, 4u);
    EXPECT_EQ(read_le(b4, 0, 4), 2890427u);
}

TEST(Feedback, InjectedFaultsAndRefreshZeroLengthPackets)
{
    audio_device d(build_uac2_device({}));
    ASSERT_TRUE(configure(d, {{render_if, 1}}));
    d.inject_feedback_fault(1, {feedback_fault_kind::two_bytes, 0});
    d.inject_feedback_fault(2, {feedback_fault_kind::error, 0});
    d.inject_feedback_fault(3, {feedback_fault_kind::value, 0x1000});
    std::vector<std::uint8_t> b(4);
    EXPECT_EQ(d.iso_in(uac2_ids::feedback_ep, 8, b).length, 4u);
    EXPECT_EQ(d.iso_in(uac2_ids::feedback_ep, 16, b).length, 2u);
    const iso_in_result error = d.iso_in(uac2_ids::feedback_ep, 24, b);
    EXPECT_EQ(error.status, packet_status::error);
    EXPECT_EQ(error.length, 0u);
    EXPECT_EQ(read_feedback(d, 32), 0x1000u);
    EXPECT_EQ(read_feedback(d, 40), 6u << 16);

    audio_device_options options;
    options.refresh_zero_length = true;
    uac1_options o;
    o.refresh = 2;
    audio_device fs(build_uac1_device(o), options);
    ASSERT_TRUE(configure(fs, {{render_if, 1}}));
    std::vector<std::uint32_t> lengths;
    for (std::uint64_t frame = 0; frame < 8; ++frame) {
        lengths.push_back(fs.iso_in(uac1_ids::sync_ep, frame * 8, b).length);
    }
    EXPECT_EQ(lengths, (std::vector<std::uint32_t>{3, 0, 0, 0, 3, 0, 0, 0}));
}

// Plays 2ch/16 at the rate the feedback endpoint reports, one packet per microframe, for the
// given span; returns the FIFO levels seen after playback started.
std::pair<std::uint32_t, std::uint32_t> play_at_feedback_rate(audio_device &d, std::uint64_t microframes,
                                                              std::uint64_t *hash = nullptr)
{
    std::uint32_t feedback = 6u << 16;
    std::uint64_t accumulator = 0;
    std::uint32_t low = ~0u;
    std::uint32_t high = 0;
    std::uint16_t sample = 1;
    std::vector<std::uint8_t> capture(1024);
    for (std::uint64_t m = 1; m <= microframes; ++m) {
        if (m % 8 == 0) {
            feedback = read_feedback(d, m);
        }
        accumulator += feedback;
        const std::uint32_t frames = static_cast<std::uint32_t>(accumulator >> 16);
        accumulator &= 0xFFFF;
        std::vector<std::uint8_t> packet;
        for (std::uint32_t i = 0; i < frames * 2; ++i, ++sample) {
            packet.push_back(static_cast<std::uint8_t>(sample));
            packet.push_back(static_cast<std::uint8_t>(sample >> 8));
        }
        EXPECT_EQ(d.iso_out(uac2_ids::render_data_ep, m, packet), packet_status::ok);
        if (hash != nullptr) {
            const iso_in_result r = d.iso_in(uac2_ids::capture_data_ep, m, capture);
            *hash = std::accumulate(capture.begin(), capture.begin() + r.length, *hash * 31 + r.length);
        }
        if (m > 200) {
            const std::uint32_t level = d.render_fifo_frames(render_if);
            low = std::min(low, level);
            high = std::max(high, level);
        }
    }
    return {low, high};
}

TEST(RenderFifo, StaysBoundedAtTheFeedbackRateOverTenSecondsOfDrift)
{
    for (std::int32_t ppm : {-300, 0, 250}) {
        SCOPED_TRACE(ppm);
        audio_device_options options;
        options.ppm = ppm;
        audio_device d(build_uac2_device({}), options);
        ASSERT_TRUE(configure(d, {{render_if, 1}}));
        const auto [low, high] = play_at_feedback_rate(d, 80000);
        const device_counters c = d.counters();
        EXPECT_EQ(c.render_underruns, 0u);
        EXPECT_EQ(c.render_overflows, 0u);
        EXPECT_EQ(c.out_invalid, 0u);
        EXPECT_GE(low, 96u - 8u);
        EXPECT_LE(high, 96u + 8u);
    }
}

TEST(RenderFifo, UnderrunsWhenStarvedAndOverflowsWhenFlooded)
{
    audio_device d(build_uac2_device({}));
    ASSERT_TRUE(configure(d, {{render_if, 1}}));
    std::vector<std::uint8_t> packet(6 * 4 * 4, 0); // 24 frames per microframe
    for (std::uint64_t m = 1; m <= 4; ++m) {
        ASSERT_EQ(d.iso_out(uac2_ids::render_data_ep, m, packet), packet_status::ok);
    }
    EXPECT_EQ(d.render_fifo_frames(render_if), 96u) << "playback starts half full, at microframe 4";
    d.advance(4 + 16);
    EXPECT_EQ(d.render_fifo_frames(render_if), 0u);
    EXPECT_EQ(d.counters().render_underruns, 0u);
    EXPECT_EQ(d.counters().render_frames_played, 96u);
    d.advance(4 + 17);
    EXPECT_EQ(d.counters().render_underruns, 1u);
    EXPECT_EQ(d.counters().render_underrun_frames, 6u);

    for (std::uint64_t m = 30; m < 50; ++m) {
        d.iso_out(uac2_ids::render_data_ep, m, packet);
    }
    EXPECT_GT(d.counters().render_overflows, 0u);
    EXPECT_LE(d.render_fifo_frames(render_if), 192u);
}

// An adaptive render endpoint recovers its clock from the data: fed the nominal rate, it
// stays bounded whatever its local clock's drift within the pull range, and runs dry when the
// local clock is further off than the range allows.
TEST(RenderFifo, AdaptiveEndpointFollowsTheHostRateWithinItsPullRange)
{
    uac2_options descriptors;
    descriptors.capture = false;
    descriptors.feedback = feedback_kind::none;
    const std::vector<std::uint8_t> packet(6 * 4, 0); // 48 kHz: 6 frames per microframe
    for (std::int32_t ppm : {-300, 300, 3000}) {
        SCOPED_TRACE(ppm);
        audio_device_options options;
        options.ppm = ppm;
        audio_device d(build_uac2_device(descriptors), options);
        ASSERT_TRUE(configure(d, {{render_if, 1}}));
        std::uint32_t low = 192;
        std::uint32_t high = 0;
        for (std::uint64_t m = 1; m <= 80000; ++m) {
            ASSERT_EQ(d.iso_out(uac2_ids::render_data_ep, m, packet), packet_status::ok);
            if (m > 8000) {
                low = std::min(low, d.render_fifo_frames(render_if));
                high = std::max(high, d.render_fifo_frames(render_if));
            }
        }
        const device_counters c = d.counters();
        EXPECT_EQ(c.out_invalid, 0u);
        EXPECT_EQ(c.render_overflows, 0u);
        if (ppm == 3000) {
            EXPECT_GT(c.render_underruns, 0u);
        } else {
            EXPECT_EQ(c.render_underruns, 0u);
            EXPECT_GT(low, 0u);
            EXPECT_LT(high, 192u);
        }
    }
}

TEST(Loopback, BitExactThroughTheModelWithChannelMapAndWidening)
{
    audio_device_options options;
    options.loopback_channel_map = {1, 0};
    audio_device d(build_uac2_device({}), options);
    ASSERT_TRUE(configure(d, {{render_if, 1}, {capture_if, 2}})); // render 2ch/16, capture 2ch/24-in-32
    std::vector<std::uint16_t> sent;
    std::vector<std::uint32_t> received;
    std::vector<std::uint8_t> capture(1024);
    std::uint16_t next = 1;
    for (std::uint64_t m = 1; m <= 16000; ++m) {
        std::vector<std::uint8_t> packet;
        for (int f = 0; f < 6; ++f) {
            for (int c = 0; c < 2; ++c) {
                sent.push_back(next);
                packet.push_back(static_cast<std::uint8_t>(next));
                packet.push_back(static_cast<std::uint8_t>(next >> 8));
                next = static_cast<std::uint16_t>(next == 0xFFFF ? 1 : next + 1);
            }
        }
        ASSERT_EQ(d.iso_out(uac2_ids::render_data_ep, m, packet), packet_status::ok);
        const iso_in_result r = d.iso_in(uac2_ids::capture_data_ep, m, capture);
        ASSERT_EQ(r.length % 8, 0u);
        for (std::uint32_t at = 0; at < r.length; at += 4) {
            received.push_back(read_le(capture, at, 4));
        }
    }
    const auto first = std::find_if(received.begin(), received.end(), [](std::uint32_t v) { return v != 0; });
    ASSERT_NE(first, received.end());
    const std::size_t offset = static_cast<std::size_t>(first - received.begin());
    ASSERT_EQ(offset % 2, 0u);
    const std::size_t compared = received.size() - offset;
    ASSERT_GT(compared, 150000u);
    for (std::size_t i = 0; i < compared; ++i) {
        const std::size_t swapped = i ^ 1; // capture channel 0 records render channel 1
        ASSERT_EQ(received[offset + i], std::uint32_t{sent[swapped]} << 16) << "sample " << i;
    }
    EXPECT_EQ(d.counters().render_underruns, 0u);
}

TEST(PatternCapture, CountsPerChannelAcrossPackets)
{
    audio_device_options options;
    options.capture = capture_source::pattern;
    audio_device d(build_uac2_device({}), options);
    ASSERT_TRUE(configure(d, {{capture_if, 3}})); // 8ch/24-in-32
    std::vector<std::uint8_t> buffer(1024);
    std::uint64_t frame = 0;
    for (std::uint64_t m = 1; m <= 100; ++m) {
        const iso_in_result r = d.iso_in(uac2_ids::capture_data_ep, m, buffer);
        for (std::uint32_t at = 0; at < r.length; at += 32, ++frame) {
            for (std::uint32_t c = 0; c < 8; ++c) {
                ASSERT_EQ(read_le(buffer, at + 4 * c, 4), capture_pattern_sample(frame, c, 8));
            }
        }
    }
    EXPECT_EQ(frame, 600u);
}

TEST(CapturePackets, InjectedFaultsAndCapacityAreHonoured)
{
    audio_device_options options;
    options.capture = capture_source::pattern;
    audio_device d(build_uac2_device({}), options);
    ASSERT_TRUE(configure(d, {{capture_if, 1}}));
    d.inject_capture_fault(0, {capture_fault_kind::zero_length, 0});
    d.inject_capture_fault(1, {capture_fault_kind::frames_delta, 1});
    d.inject_capture_fault(2, {capture_fault_kind::frames_delta, -2});
    d.inject_capture_fault(3, {capture_fault_kind::error, 0});
    std::vector<std::uint8_t> b(1024);
    EXPECT_EQ(d.iso_in(uac2_ids::capture_data_ep, 1, b).length, 0u);
    EXPECT_EQ(d.iso_in(uac2_ids::capture_data_ep, 2, b).length, 28u);
    EXPECT_EQ(d.iso_in(uac2_ids::capture_data_ep, 3, b).length, 16u);
    const iso_in_result error = d.iso_in(uac2_ids::capture_data_ep, 4, b);
    EXPECT_EQ(error.status, packet_status::error);
    EXPECT_EQ(error.length, 0u);

    std::vector<std::uint8_t> small(18, 0xA5);
    const iso_in_result cut = d.iso_in(uac2_ids::capture_data_ep, 5, std::span(small).first(10));
    EXPECT_EQ(cut.length, 8u) << "whole frames that fit";
    EXPECT_TRUE(std::all_of(small.begin() + 10, small.end(), [](std::uint8_t v) { return v == 0xA5; }));
    EXPECT_EQ(d.counters().capture_truncated, 1u);
}

TEST(OutPackets, ValidationLengthPrefixHaltAndRemoval)
{
    audio_device_options options;
    options.length_prefixed_render = true;
    audio_device d(build_uac2_device({}), options);
    ASSERT_TRUE(configure(d, {{render_if, 1}}));
    std::vector<std::uint8_t> good = {8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(d.iso_out(uac2_ids::render_data_ep, 1, good), packet_status::ok);
    std::vector<std::uint8_t> mismatch = {12, 0, 0, 0, 1, 2, 3, 4};
    EXPECT_EQ(d.iso_out(uac2_ids::render_data_ep, 2, mismatch), packet_status::ok);
    EXPECT_EQ(d.counters().length_prefix_errors, 1u);
    std::vector<std::uint8_t> partial = {5, 0, 0, 0, 1, 2, 3, 4, 5};
    d.iso_out(uac2_ids::render_data_ep, 3, partial);
    EXPECT_EQ(d.counters().out_invalid, 1u) << "5 bytes is not a whole 4-byte frame";
    std::vector<std::uint8_t> huge(2000, 0);
    d.iso_out(uac2_ids::render_data_ep, 4, huge);
    EXPECT_GE(d.counters().out_invalid, 2u);
    EXPECT_EQ(d.iso_out(uac2_ids::capture_data_ep, 5, good), packet_status::error);

    d.halt_endpoint(uac2_ids::render_data_ep);
    EXPECT_EQ(d.iso_out(uac2_ids::render_data_ep, 6, good), packet_status::stall);
    d.clear_halt(uac2_ids::render_data_ep);
    EXPECT_EQ(d.iso_out(uac2_ids::render_data_ep, 7, good), packet_status::ok);
    d.surprise_remove();
    EXPECT_EQ(d.iso_out(uac2_ids::render_data_ep, 8, good), packet_status::no_response);
    std::vector<std::uint8_t> b(8);
    EXPECT_EQ(d.iso_in(uac2_ids::feedback_ep, 9, b).status, packet_status::no_response);
}

TEST(ImplicitFeedback, RenderPacketsOutOfStepWithCaptureCountAsSlips)
{
    uac2_options o;
    o.feedback = feedback_kind::implicit;
    audio_device d(build_uac2_device(o));
    ASSERT_TRUE(configure(d, {{render_if, 1}, {capture_if, 1}}));
    std::vector<std::uint8_t> b(1024);
    for (std::uint64_t m = 1; m <= 40; ++m) {
        const iso_in_result r = d.iso_in(uac2_ids::capture_data_ep, m, b);
        std::vector<std::uint8_t> packet(r.length + (m == 20 ? 4 : 0), 0);
        d.iso_out(uac2_ids::render_data_ep, m, packet);
    }
    EXPECT_EQ(d.counters().implicit_slips, 1u);
}

TEST(StepMode, TenSecondRunWithDriftIsDeterministicAndExact)
{
    audio_device_options options;
    options.ppm = 37;
    std::uint64_t hashes[2] = {0, 0};
    device_counters counters[2];
    for (int run = 0; run < 2; ++run) {
        audio_device d(build_uac2_device({}), options);
        ASSERT_TRUE(configure(d, {{render_if, 1}, {capture_if, 1}}));
        play_at_feedback_rate(d, 80000, &hashes[run]);
        counters[run] = d.counters();
    }
    EXPECT_EQ(hashes[0], hashes[1]);
    EXPECT_EQ(counters[0].in_bytes, counters[1].in_bytes);
    EXPECT_EQ(counters[0].render_frames_played, counters[1].render_frames_played);
    EXPECT_EQ(counters[0].in_bytes / 4, 480017u) << "floor(10 s x 48000 x 1.000037)";
    EXPECT_EQ(counters[0].render_underruns, 0u);
}

} // namespace

namespace {

using namespace sim;
using namespace sim::test;

TEST(DeviceClocks, SeparateClocksKeepTheirOwnRateAndDrift)
{
    uac2_options o;
    o.separate_clocks = true;
    audio_device_options options;
    options.clock_ppm[uac2_ids::capture_clock] = -1000;
    audio_device d(build_uac2_device(o), options);
    ASSERT_TRUE(set(d, 0x21, 1, 0x0100, uac2_ids::render_clock << 8, le(96000, 4)));
    EXPECT_EQ(d.stream_rate(1), 96000u);
    EXPECT_EQ(d.stream_rate(2), 48000u);
    ASSERT_TRUE(configure(d, {{1, 1}, {2, 1}}));
    EXPECT_EQ(d.nominal_feedback(1), 12u << 16) << "the render clock has no drift";
    std::vector<std::uint8_t> b(1024);
    std::uint64_t frames = 0;
    for (std::uint64_t m = 1; m <= 8000; ++m) {
        frames += d.iso_in(uac2_ids::capture_data_ep, m, b).length / 4;
    }
    EXPECT_EQ(frames, 47952u) << "floor(48000 x 0.999)";
}

} // namespace

namespace {

// A class 1 alternate with one fixed rate and no sampling-frequency control runs at its rate,
// not at the one the endpoint had before.
TEST(CaptureClock, SingleFixedRateAlternateRunsAtItsRate)
{
    uac1_options o;
    o.rates = {48000};
    o.render_sf_control = false;
    o.capture_sf_control = false;
    audio_device_options options;
    options.initial_rate = 44100;
    audio_device d(build_uac1_device(o), options);
    ASSERT_TRUE(configure(d, {{capture_if, 1}}));
    EXPECT_EQ(d.stream_rate(capture_if), 48000u);
    std::vector<std::uint8_t> buffer(256);
    for (std::uint64_t m = 8; m <= 80; m += 8) {
        EXPECT_EQ(d.iso_in(uac1_ids::capture_data_ep, m, buffer).length, 48u * 4u);
    }
}

// Feedback packets have the size and format of their endpoint descriptor at either speed: a
// class 1 synch endpoint of 3 bytes sends 10.14 also at high speed, in frames per microframe.
TEST(Feedback, ClassOneSynchEndpointSendsTenFourteenAtHighSpeed)
{
    uac1_options o;
    o.high_speed = true;
    o.data_interval = 4;
    o.capture = false;
    audio_device_options options;
    options.ppm = 100;
    audio_device d(build_uac1_device(o), options);
    d.set_endpoint_rate(uac1_ids::render_data_ep, 48000);
    ASSERT_TRUE(configure(d, {{render_if, 1}}));
    ASSERT_TRUE(d.find_endpoint(uac1_ids::sync_ep).has_value());
    EXPECT_EQ(d.find_endpoint(uac1_ids::sync_ep)->max_bytes_per_interval(), 3u);
    std::vector<std::uint8_t> b(4, 0xEE);
    const iso_in_result r = d.iso_in(uac1_ids::sync_ep, 64, b);
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(read_le(b, 0, 3), 98314u) << "6.0006 frames per microframe in 10.14";
    EXPECT_EQ(b[3], 0xEE);
    EXPECT_EQ(d.nominal_feedback(render_if), 98314u);
}

} // namespace

namespace {

// An adaptive output fed what the input captured (as a host in implicit-feedback mode does)
// plays at the capture rate on average but follows its FIFO from packet to packet: the loopback
// path's delay keeps that jitter out of what the input records.
TEST(Loopback, AdaptiveOutputFedFromCaptureComesBackWithoutGaps)
{
    for (std::int32_t ppm : {-800, 800}) {
        SCOPED_TRACE(ppm);
        uac1_options o;
        o.render_sync = uac1_options::sync::adaptive;
        audio_device_options options;
        options.ppm = ppm;
        audio_device d(build_uac1_device(o), options);
        d.set_endpoint_rate(uac1_ids::render_data_ep, 48000);
        d.set_endpoint_rate(uac1_ids::capture_data_ep, 48000);
        ASSERT_TRUE(configure(d, {{render_if, 1}, {capture_if, 1}}));
        std::vector<std::uint8_t> capture(1024);
        std::uint16_t next = 1;
        std::uint32_t frames = 48;
        std::size_t gaps = 0;
        bool sound = false;
        for (std::uint64_t m = 8; m <= 8 * 10000; m += 8) {
            std::vector<std::uint8_t> packet;
            for (std::uint32_t f = 0; f < 2 * frames; ++f, next = static_cast<std::uint16_t>(next == 0xFFFF ? 1 : next + 1)) {
                packet.push_back(static_cast<std::uint8_t>(next));
                packet.push_back(static_cast<std::uint8_t>(next >> 8));
            }
            ASSERT_EQ(d.iso_out(uac1_ids::render_data_ep, m, packet), packet_status::ok);
            const iso_in_result r = d.iso_in(uac1_ids::capture_data_ep, m, capture);
            frames = r.length / 4;
            for (std::uint32_t at = 0; at < r.length; at += 4) {
                const bool silent = read_le(capture, at, 4) == 0;
                gaps += sound && silent ? 1 : 0;
                sound = sound || !silent;
            }
        }
        EXPECT_TRUE(sound);
        EXPECT_EQ(gaps, 0u);
        EXPECT_EQ(d.counters().render_underruns, 0u);
    }
}

} // namespace
