// The main job's command line: defaults, both value forms, and the refusal of every bad value
// with an error that names the option.
#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>
#include "run_options.h"

namespace {

ovmrun::parse_result parse(std::initializer_list<std::string_view> args)
{
    const std::vector<std::string_view> list(args);
    return ovmrun::parse_options(list);
}

TEST(RunOptions, NoArgumentsGiveTheDefaults)
{
    const ovmrun::parse_result result = parse({});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.error.empty());
    EXPECT_EQ(48000u, result.options.rate);
    EXPECT_EQ(7u, result.options.buffer_index);
    EXPECT_EQ(3.0, result.options.seconds);
    EXPECT_EQ(0, result.options.drift_ppm);
    EXPECT_EQ("ovmrun-capture.wav", result.options.wav_path);
    EXPECT_EQ(ovmrun::stream_path::asio, result.options.path);
    EXPECT_FALSE(result.options.help);
}

TEST(RunOptions, EveryOptionTakesItsValueSeparatelyOrAfterAnEqualsSign)
{
    for (bool joined : {false, true}) {
        SCOPED_TRACE(joined ? "--name=value" : "--name value");
        const std::vector<std::string_view> separate = {"--rate",      "96000",     "--buffer-index", "31",
                                                        "--seconds",   "0.25",      "--drift-ppm",    "-250",
                                                        "--out",       "x/run.wav", "--via",          "channel"};
        const std::vector<std::string_view> equals = {"--rate=96000",    "--buffer-index=31", "--seconds=0.25",
                                                      "--drift-ppm=-250", "--out=x/run.wav",   "--via=channel"};
        const ovmrun::parse_result result = ovmrun::parse_options(joined ? equals : separate);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(96000u, result.options.rate);
        EXPECT_EQ(31u, result.options.buffer_index);
        EXPECT_EQ(0.25, result.options.seconds);
        EXPECT_EQ(-250, result.options.drift_ppm);
        EXPECT_EQ("x/run.wav", result.options.wav_path);
        EXPECT_EQ(ovmrun::stream_path::channel, result.options.path);
    }
}

TEST(RunOptions, LimitsAreInclusive)
{
    const ovmrun::parse_result low = parse({"--buffer-index", "0", "--drift-ppm", "-1000", "--seconds", "0.05"});
    ASSERT_TRUE(low.ok) << low.error;
    EXPECT_EQ(0u, low.options.buffer_index);
    EXPECT_EQ(-1000, low.options.drift_ppm);
    const ovmrun::parse_result high = parse({"--drift-ppm", "+1000", "--seconds", "60", "--rate", "768000"});
    ASSERT_TRUE(high.ok) << high.error;
    EXPECT_EQ(1000, high.options.drift_ppm);
    EXPECT_EQ(60.0, high.options.seconds);
    EXPECT_EQ(768000u, high.options.rate);
}

TEST(RunOptions, BadValuesAreRefusedWithTheOptionNamed)
{
    struct row {
        std::vector<std::string_view> args;
        const char *named;
    };
    const std::vector<row> rows = {
        {{"--rate", "22050"}, "--rate"},        {{"--rate", "48k"}, "--rate"},
        {{"--rate", "48000.0"}, "--rate"},      {{"--rate", "-48000"}, "--rate"},
        {{"--rate="}, "--rate"},                {{"--rate", "4294967296"}, "--rate"},
        {{"--buffer-index", "32"}, "--buffer-index"}, {{"--buffer-index", "-1"}, "--buffer-index"},
        {{"--buffer-index", "7 "}, "--buffer-index"}, {{"--seconds", "0"}, "--seconds"},
        {{"--seconds", "0.04"}, "--seconds"},   {{"--seconds", "60.5"}, "--seconds"},
        {{"--seconds", "nan"}, "--seconds"},    {{"--seconds", "inf"}, "--seconds"},
        {{"--seconds", "1e1"}, "--seconds"},    {{"--seconds", "two"}, "--seconds"},
        {{"--drift-ppm", "1001"}, "--drift-ppm"}, {{"--drift-ppm", "-1001"}, "--drift-ppm"},
        {{"--drift-ppm", "99999999999"}, "--drift-ppm"}, {{"--out="}, "--out"},
        {{"--via", "wasapi"}, "--via"},         {{"--rate"}, "--rate"},
        {{"--dsd", "32"}, "--dsd"},             {{"--dsd", "dsd64"}, "--dsd"},
        {{"--dsd"}, "--dsd"},                   {{"--with-engine=yes"}, "--with-engine"},
        {{"--paced=1"}, "--paced"},
        {{"--panel-change", "index=32"}, "--panel-change"}, {{"--panel-change", "rate=12345"}, "--panel-change"},
        {{"--panel-change", "index"}, "--panel-change"},    {{"--panel-change", "size=3"}, "--panel-change"},
        {{"--plot", "run.png"}, "--plot"},      {{"--plot="}, "--plot"},
        {{"--speed", "2"}, "--speed"},          {{"--rate-x=1"}, "--rate-x"},
        {{"run.wav"}, "run.wav"},               {{"-r"}, "-r"},
    };
    for (const row &r : rows) {
        std::string trace;
        for (std::string_view a : r.args) {
            trace += std::string(a) + " ";
        }
        SCOPED_TRACE(trace);
        const ovmrun::parse_result result = ovmrun::parse_options(r.args);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(std::string::npos, result.error.find(r.named)) << result.error;
        EXPECT_EQ(std::string::npos, result.error.find('\n'));
    }
}

TEST(RunOptions, StandardStackTakesFramesAndItsTwoRates)
{
    const ovmrun::parse_result result = parse({"--stack", "standard", "--rate", "44100", "--buffer-frames", "256"});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ovmrun::device_stack::standard, result.options.stack);
    EXPECT_EQ(44100u, result.options.rate);
    EXPECT_EQ(256u, result.options.buffer_frames);
    const ovmrun::parse_result defaults = parse({"--stack=standard"});
    ASSERT_TRUE(defaults.ok) << defaults.error;
    EXPECT_EQ(48000u, defaults.options.rate);
    EXPECT_EQ(512u, defaults.options.buffer_frames);
    EXPECT_EQ(ovmrun::device_stack::async, parse({"--stack", "async"}).options.stack);

    // Options of the other stack, or values the standard stack lacks, are refused whatever
    // their order.
    const std::vector<std::vector<std::string_view>> refused = {
        {"--stack", "standard", "--rate", "96000"},
        {"--rate", "88200", "--stack", "standard"},
        {"--stack", "standard", "--via", "channel"},
        {"--buffer-index", "3", "--stack", "standard"},
        {"--buffer-frames", "256"},
        {"--stack", "standard", "--buffer-frames", "63"},
        {"--stack", "standard", "--buffer-frames", "4097"},
        {"--stack", "both"},
    };
    for (const auto &args : refused) {
        SCOPED_TRACE(std::string(args[0]) + " " + std::string(args[1]));
        const ovmrun::parse_result bad = ovmrun::parse_options(args);
        EXPECT_FALSE(bad.ok);
        EXPECT_NE(std::string::npos, bad.error.find("--")) << bad.error;
    }
}

TEST(RunOptions, TheRoutesTakeTheirValuesAndRefuseWhatTheyCannotRunWith)
{
    const ovmrun::parse_result routes =
        parse({"--dsd", "128", "--with-engine", "--panel-change", "index=3", "--plot", "run.svg"});
    EXPECT_FALSE(routes.ok) << "the mix check follows one buffer session";
    const ovmrun::parse_result dsd = parse({"--dsd=256", "--with-engine", "--plot=out/run.svg", "--paced"});
    ASSERT_TRUE(dsd.ok) << dsd.error;
    EXPECT_TRUE(dsd.options.paced);
    EXPECT_EQ(256u, dsd.options.dsd);
    EXPECT_EQ(11289600u, dsd.options.stream_rate());
    EXPECT_EQ(352800u, dsd.options.device_rate());
    EXPECT_TRUE(dsd.options.with_engine);
    EXPECT_EQ("out/run.svg", dsd.options.plot_path);
    const ovmrun::parse_result index = parse({"--panel-change", "index=3"});
    ASSERT_TRUE(index.ok) << index.error;
    EXPECT_EQ(ovmrun::panel_setting::buffer_index, index.options.panel.what);
    EXPECT_EQ(3u, index.options.panel.value);
    const ovmrun::parse_result rate = parse({"--panel-change=rate=96000", "--dsd", "64"});
    EXPECT_FALSE(rate.ok) << "the panel offers no DSD rate";
    const ovmrun::parse_result pcm_rate = parse({"--panel-change=rate=96000"});
    ASSERT_TRUE(pcm_rate.ok) << pcm_rate.error;
    EXPECT_EQ(ovmrun::panel_setting::rate, pcm_rate.options.panel.what);
    EXPECT_EQ(96000u, pcm_rate.options.panel.value);
    EXPECT_EQ(48000u, pcm_rate.options.stream_rate());

    const std::vector<std::vector<std::string_view>> refused = {
        {"--dsd", "64", "--stack", "standard"},
        {"--dsd", "64", "--via", "channel"},
        {"--dsd", "64", "--rate", "88200"},
        {"--with-engine", "--stack", "standard"},
        {"--panel-change", "index=3", "--stack", "standard"},
        {"--panel-change", "index=3", "--via", "channel"},
        {"--panel-change", "index=7"},
        {"--panel-change", "rate=44100", "--rate", "44100"},
    };
    for (const auto &args : refused) {
        std::string trace;
        for (std::string_view a : args) {
            trace += std::string(a) + " ";
        }
        SCOPED_TRACE(trace);
        const ovmrun::parse_result bad = ovmrun::parse_options(args);
        EXPECT_FALSE(bad.ok);
        EXPECT_NE(std::string::npos, bad.error.find("--")) << bad.error;
    }
    EXPECT_TRUE(parse({"--with-engine", "--via", "channel"}).ok) << "the engine plays beside either route";
}

TEST(RunOptions, HelpStopsParsingButAnEarlierErrorStands)
{
    const ovmrun::parse_result help = parse({"--help", "--rate", "12345"});
    ASSERT_TRUE(help.ok);
    EXPECT_TRUE(help.options.help);
    EXPECT_TRUE(parse({"-h"}).options.help);
    const ovmrun::parse_result bad = parse({"--rate", "12345", "--help"});
    EXPECT_FALSE(bad.ok);
    EXPECT_FALSE(bad.options.help);
}

TEST(RunOptions, LaterValuesOverrideEarlierOnes)
{
    const ovmrun::parse_result result = parse({"--rate", "44100", "--rate=88200"});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(88200u, result.options.rate);
}

TEST(RunOptions, UsageNamesEveryOptionAndTheProgram)
{
    const std::string text = ovmrun::usage_text("tools/ovmrun");
    EXPECT_EQ(0u, text.find("usage: tools/ovmrun"));
    for (const char *option : {"--rate", "--buffer-index", "--seconds", "--drift-ppm", "--out", "--via", "--stack",
                               "--buffer-frames", "--dsd", "--with-engine", "--panel-change", "--plot", "--paced",
                               "--help"}) {
        EXPECT_NE(std::string::npos, text.find(option)) << option;
    }
}

} // namespace
