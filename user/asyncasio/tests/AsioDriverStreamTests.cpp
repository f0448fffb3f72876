// ovmlsaaso streaming through the whole stack on the paced bus: a host process streams through
// the driver, the device channel and the simulated device in loopback as a clean run (no reset,
// every frame back unchanged at one latency); positions and time info of the buffer switches, a
// stop that asks for no reset, and hosts without time info or with an older engine.
#include "AsioDriverFixture.h"
#include <sim/asio_host.h>
#include <cstring>
#include <string>

namespace asio_test {
namespace {

const std::wstring DriverName = L"Orvan Marla Series Async ASIO";

class AsioDriverStream : public AsioDriverTest {
protected:
    // Two channels each way in 32-bit samples: every bit the host writes comes back.
    void SetUp() override
    {
        AsioDriverTest::SetUp();
        pace_bus();
        sim::uac2_options descriptors;
        descriptors.render_formats = {{2, 4, 32}};
        descriptors.capture_formats = {{2, 4, 32}};
        attach(descriptors);
    }

    static sim::asio_host_options host_options(double rate, int32_t size)
    {
        sim::asio_host_options options;
        options.driver = DriverName;
        options.sample_rate = rate;
        options.buffer_size = size;
        return options;
    }

    void expect_clean_run(const sim::asio_host &host)
    {
        std::string why;
        EXPECT_TRUE(host.clean_run(&why)) << why;
        EXPECT_EQ(0u, m_bus->overruns()) << "the bus never ran ahead of the machine";
    }
};

struct stream_case {
    double rate;
    DWORD index;
};

class AsioDriverStreamMatrix : public AsioDriverStream, public ::testing::WithParamInterface<stream_case> {};

TEST_P(AsioDriverStreamMatrix, DuplexStreamIsACleanRun)
{
    const stream_case c = GetParam();
    store_settings((DWORD)c.rate, c.index);
    sim::asio_host host(host_options(c.rate, 0));
    ASSERT_TRUE(host.start()) << host.error();
    const int32_t expected = (int32_t)((c.index + 1) * 64 * (c.rate == 96000 ? 2 : 1));
    EXPECT_EQ(host.buffer_size(), expected);
    EXPECT_EQ(host.sample_rate(), c.rate);
    const uint64_t switches = std::max<uint64_t>(8, (uint64_t)(c.rate * 1.5 / expected));
    ASSERT_TRUE(host.wait_buffer_switches(switches, 20000)) << host.buffer_switches();
    ASSERT_TRUE(host.stop());
    EXPECT_EQ(host.state(), sim::asio_host_state::stopped);
    expect_clean_run(host); // a duplex stop asks for no reset

    int64_t position = 0;
    int32_t half = 0;
    for (const auto &r : host.records()) {
        if (r.kind != sim::asio_callback_kind::buffer_switch_time_info) {
            continue;
        }
        position += expected;
        EXPECT_EQ(r.position, position);
        EXPECT_EQ(r.index, half);
        EXPECT_EQ(r.time_flags & 7u, 7u);
        half ^= 1;
        if (r.position != position) {
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RatesAndSizes, AsioDriverStreamMatrix,
                         ::testing::Values(stream_case{44100, 7}, stream_case{48000, 7}, stream_case{96000, 7},
                                           stream_case{48000, 0}, stream_case{48000, 31}),
                         [](const ::testing::TestParamInfo<stream_case> &info) {
                             return std::to_string((int)info.param.rate) + "Hz_index" +
                                    std::to_string(info.param.index);
                         });

// Hosts that take plain buffer switches, or that speak an engine version below 2 and never
// call outputReady, stream as a clean run through the real driver as well.
struct old_host_case {
    const char *name;
    bool time_info;
    int32_t engine_version;
    bool output_ready;
};

class AsioDriverOldHosts : public AsioDriverStream, public ::testing::WithParamInterface<old_host_case> {};

TEST_P(AsioDriverOldHosts, StreamCleanWithTheSwitchTheyAskFor)
{
    const old_host_case c = GetParam();
    store_settings(48000, 7);
    sim::asio_host_options options = host_options(48000, 0);
    options.time_info = c.time_info;
    options.engine_version = c.engine_version;
    options.use_output_ready = c.output_ready;
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(100, 20000)) << host.buffer_switches();
    ASSERT_TRUE(host.stop());
    expect_clean_run(host);
    const sim::asio_callback_kind expected =
        c.time_info ? sim::asio_callback_kind::buffer_switch_time_info : sim::asio_callback_kind::buffer_switch;
    int64_t position = 0;
    for (const auto &r : host.records()) {
        if (r.kind == sim::asio_callback_kind::asio_message ||
            r.kind == sim::asio_callback_kind::sample_rate_did_change) {
            continue;
        }
        EXPECT_EQ(r.kind, expected);
        position += 512;
        EXPECT_EQ(r.position, position) << "one buffer per switch";
        if (r.kind != expected || r.position != position) {
            break;
        }
    }
    EXPECT_EQ(position, 512 * (int64_t)host.buffer_switches());
}

INSTANTIATE_TEST_SUITE_P(Hosts, AsioDriverOldHosts,
                         ::testing::Values(old_host_case{"WithoutTimeInfo", false, 2, true},
                                           old_host_case{"EngineVersion1", true, 1, false}),
                         [](const ::testing::TestParamInfo<old_host_case> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace asio_test
