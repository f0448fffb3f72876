// The picture of a run: three graphs over the run's time, the marks of what happened, thinned
// series for long runs, and the pacing graph that fits the device's feedback mode.
#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include "plot_writer.h"

namespace {

constexpr int64_t ms = 10000; // 100 ns units

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// switches buffer switches 10 ms apart and device samples every 2 ms over the same time.
ovmrun::job_outcome run_of(size_t switches)
{
    ovmrun::job_outcome outcome;
    ovmrun::stream_result &s = outcome.stream;
    s.route = "test route";
    s.rate = 48000;
    s.buffer_frames = 480;
    for (size_t i = 0; i < switches; ++i) {
        s.switches.push_back({(int64_t)i * 10 * ms, 10.0});
    }
    for (int64_t t = 0; t < (int64_t)switches * 10 * ms; t += 2 * ms) {
        outcome.device.samples.push_back({t, 300, 0x60000, (uint64_t)(t / ms) * 48 * 8});
    }
    outcome.device.capture_format = {2, 4, 24};
    outcome.device.nominal_rate = 48000;
    return outcome;
}

TEST(PlotWriter, ThreeGraphsOverTimeWithEveryKindOfMarkThatHappened)
{
    ovmrun::job_outcome outcome = run_of(300);
    outcome.stream.events = {{ovmrun::run_event::kind::drop_out, 500 * ms},
                             {ovmrun::run_event::kind::panel_click, 1000 * ms},
                             {ovmrun::run_event::kind::reset_request, 1001 * ms},
                             {ovmrun::run_event::kind::streaming_resumed, 1100 * ms}};
    const std::string svg = ovmrun::plot_svg(outcome, ovmrun::run_options{});
    EXPECT_EQ(0u, svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_EQ(svg.size() - 7, svg.rfind("</svg>\n"));
    for (const char *title : {"buffer-switch interval (ms)", "device render FIFO (frames)", "test route",
                              "machine time (s)", "drop-out", "reset request", "streaming resumed",
                              "control-panel click"}) {
        EXPECT_NE(std::string::npos, svg.find(title)) << title;
    }
    EXPECT_EQ(std::string::npos, svg.find("engine started")) << "only the marks that happened are explained";
    EXPECT_EQ(std::string::npos, svg.find("no drop-outs"));
    // Intervals and period, FIFO level, measured and nominal pace.
    EXPECT_EQ(5u, count(svg, "<polyline"));
    // Each mark crosses all three graphs: the drop-out's solid red line three times.
    EXPECT_EQ(3u, count(svg, "stroke=\"#d62728\" />"));

    outcome.device.mode = ovmrun::feedback_mode::explicit_endpoint;
    EXPECT_NE(std::string::npos, ovmrun::plot_svg(outcome, {}).find("feedback value as a rate (Hz)"));
    outcome.device.mode = ovmrun::feedback_mode::implicit;
    EXPECT_NE(std::string::npos, ovmrun::plot_svg(outcome, {}).find("captured amount as a rate (Hz)"));
}

TEST(PlotWriter, LongRunsAreThinnedAndAFileIsWritten)
{
    const ovmrun::job_outcome outcome = run_of(40000);
    const std::string svg = ovmrun::plot_svg(outcome, {});
    EXPECT_NE(std::string::npos, svg.find("no drop-outs"));
    const size_t first = svg.find("points=\"");
    ASSERT_NE(std::string::npos, first);
    const std::string points = svg.substr(first, svg.find('"', first + 8) - first);
    EXPECT_LE(count(points, ","), 1200u) << "at most two points per column of the thinned series";
    EXPECT_LT(svg.size(), 400000u);

    const std::string path = ::testing::TempDir() + "ovmrun_plot.svg";
    std::string error;
    ASSERT_TRUE(ovmrun::write_plot(path, outcome, {}, &error)) << error;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(svg, std::string(std::istreambuf_iterator<char>(in), {}));
    std::remove(path.c_str());
    EXPECT_FALSE(ovmrun::write_plot(::testing::TempDir() + "no/such/folder/run.svg", outcome, {}, &error));
    EXPECT_NE(std::string::npos, error.find("no/such/folder"));
}

} // namespace
