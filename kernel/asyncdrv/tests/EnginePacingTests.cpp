// The streaming engine holds a drifting device for a minute of bus time in each pacing mode:
// explicit feedback, implicit feedback (render sized from capture) and plain (the rate's packet
// pattern into an adaptive endpoint), without a device FIFO underrun or overflow, without a
// recovery, across the bus frame counter's wrap.
#include "EngineFixture.h"

namespace engine_test {
namespace {

constexpr ULONG WARM_UP_FRAMES = 1000;
constexpr ULONG RUN_FRAMES = 60000;
constexpr ULONG RATE = 48000;

struct pacing_case {
    const char *label;
    sim::uac2_options descriptors;
    std::int32_t ppm;
    ULONG pacing;
};

sim::uac2_options explicit_duplex()
{
    sim::uac2_options options;
    options.separate_clocks = true; // capture on its own clock: render follows the feedback endpoint
    return options;
}

sim::uac2_options explicit_render_only()
{
    sim::uac2_options options;
    options.capture = false;
    return options;
}

sim::uac2_options implicit_duplex() { return sim::uac2_options{}; }

sim::uac2_options plain_render_only()
{
    sim::uac2_options options;
    options.capture = false;
    options.feedback = sim::feedback_kind::none;
    return options;
}

sim::uac2_options plain_duplex()
{
    sim::uac2_options options;
    options.separate_clocks = true;
    options.feedback = sim::feedback_kind::none;
    return options;
}

class EnginePacingTest : public EngineTest, public ::testing::WithParamInterface<pacing_case> {};

TEST_P(EnginePacingTest, HoldsADriftingDeviceForAMinute)
{
    const pacing_case &c = GetParam();
    sim::audio_device_options options;
    options.ppm = c.ppm;
    start(c.descriptors, options, RATE);
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    CAdapterCommon *engine = adapter();
    EXPECT_EQ(c.pacing, engine->EnginePacing());
    EXPECT_EQ(8u, engine->EngineRenderEntries());

    run_frames(WARM_UP_FRAMES);
    const sim::device_counters before = device->counters();
    const sim::host_counters bus_before = bus().counters();
    run_frames(RUN_FRAMES);
    const sim::device_counters after = device->counters();
    const sim::host_counters bus_after = bus().counters();

    EXPECT_EQ(before.render_underruns, after.render_underruns);
    EXPECT_EQ(before.render_overflows, after.render_overflows);
    EXPECT_EQ(before.out_invalid, after.out_invalid);
    EXPECT_EQ(bus_before.bad_start_frames, bus_after.bad_start_frames);
    EXPECT_EQ(bus_before.late_packets, bus_after.late_packets);
    EXPECT_EQ(0u, bus_after.malformed_urbs);
    // A minute at the device's clock, give or take the drift and the transfers in flight.
    const std::uint64_t played = after.render_frames_played - before.render_frames_played;
    EXPECT_GT(played, std::uint64_t{RATE} * 59);
    EXPECT_LT(played, std::uint64_t{RATE} * 61);
    const ENGINE_COUNTERS &counters = engine->EngineCounters();
    EXPECT_EQ(0u, counters.Recoveries[0]);
    EXPECT_EQ(0u, counters.Recoveries[1]);
    EXPECT_EQ(0u, counters.Underruns[0]);
    EXPECT_EQ(0u, counters.Underruns[1]);
    EXPECT_EQ(0u, counters.Failures[0]);
    EXPECT_EQ(0u, counters.Failures[1]);
    // Every render transfer is back in flight from the DPC: the thread is not involved.
    EXPECT_EQ(static_cast<LONG>(engine->EngineRenderEntries()), engine->EngineRenderInFlight());
    EXPECT_GT(bus().current_frame(), 0u);
    EXPECT_LT(bus().current_frame(), 0x10000000u) << "the run crosses the frame counter's wrap";

    EXPECT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
    EXPECT_EQ(0u, engine->RunCount(FALSE));
    EXPECT_EQ(0, engine->EngineRenderInFlight());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EnginePacingTest,
    ::testing::Values(pacing_case{"ExplicitDuplexFast", explicit_duplex(), 300, EnginePacingExplicit},
                      pacing_case{"ExplicitRenderOnlySlow", explicit_render_only(), -300, EnginePacingExplicit},
                      pacing_case{"ImplicitFast", implicit_duplex(), 300, EnginePacingImplicit},
                      pacing_case{"ImplicitSlow", implicit_duplex(), -300, EnginePacingImplicit},
                      pacing_case{"PlainRenderOnlyFast", plain_render_only(), 300, EnginePacingPlain},
                      pacing_case{"PlainDuplexSlow", plain_duplex(), -300, EnginePacingPlain}),
    [](const ::testing::TestParamInfo<pacing_case> &info) { return std::string(info.param.label); });

} // namespace
} // namespace engine_test
