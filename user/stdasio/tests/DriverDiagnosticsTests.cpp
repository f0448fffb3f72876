// The standard ASIO driver's diagnostics. The drop-out box, on the machine's manual clock: the
// host's buffer switches move the clock, one period each, and one switch takes a chosen time,
// so that the gap between two host calls is exact to the millisecond against the limits of two
// periods (23 ms at 512 frames and 44100 Hz) and of a short period's stream (6 ms). The
// performance log file a session leaves at the driver's destruction.
#include "DriverFixture.h"
#include <platform/clock.h>
#include <platform/device_install.h>
#include <platform/window_station.h>
#include <cstdio>
#include <map>
#include <sstream>

namespace stdasio_test {
namespace {

struct drop_out_case {
    const char *name;
    DWORD frames;           // the stored buffer size
    BYTE notify;            // the stored "notify"
    LONGLONG period_ticks;  // one stream period: 512 frames, or 132 at the 3 ms a short buffer streams with
    LONGLONG late_ms;       // how long the late switch takes
    size_t boxes;
};

void PrintTo(const drop_out_case &c, std::ostream *os)
{
    *os << c.name;
}

class DriverDropOut : public DriverTest, public ::testing::WithParamInterface<drop_out_case> {
protected:
    void TearDown() override
    {
        platform::clock_use_manual(false);
        DriverTest::TearDown();
    }
    static size_t boxes()
    {
        size_t count = 0;
        for (const auto &box : platform::message_box_history()) {
            if (box.text == L"ASIO Streaming Drop-Out") {
                EXPECT_EQ(L"Orvan Marla Series ASIO : Notification", box.caption);
                EXPECT_EQ((UINT)(MB_OK | MB_TOPMOST), box.type);
                EXPECT_EQ(nullptr, box.owner);
                ++count;
            }
        }
        return count;
    }
};

// The gap of a switch is the time from the end of the one before to its own end: here exactly
// what the switch itself moved the clock by. The clock moves by itself nowhere else once the
// first switch has begun.
TEST_P(DriverDropOut, AGapOfTwoPeriodsOrMoreShowsOneBox)
{
    const drop_out_case &c = GetParam();
    const int LateSwitch = 4;
    const int LastSwitch = 8;
    store_setting_dword(L"buffer_size,2", c.frames);
    store_setting_byte(L"notify", c.notify);
    add_device();
    std::atomic<bool> begun{false};
    record().on_switch = [&c, &begun](int number) {
        begun = true;
        if (number < LastSwitch) {
            platform::clock_advance(number == LateSwitch ? c.late_ms * platform::ticks_per_ms : c.period_ticks);
        }
    };
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    const size_t before = boxes();

    platform::clock_use_manual(true);
    ASSERT_EQ(ASE_OK, driver->start());
    // Until the first switch the test moves the clock, in steps short against every limit.
    ASSERT_TRUE(wait_until([&] {
        if (!begun) {
            platform::clock_advance(platform::ticks_per_ms);
        }
        return begun.load();
    }));
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= LastSwitch; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    // The message window shows the box; it has handled every message once its thread ended.
    m_drivers.pop_back();
    driver->Release();
    EXPECT_EQ(c.boxes, boxes() - before);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DriverDropOut,
    ::testing::Values(drop_out_case{"Normal22ms", 512, 1, 116100, 22, 0},
                      drop_out_case{"Normal23ms", 512, 1, 116100, 23, 1},
                      drop_out_case{"Normal60msNotifyOff", 512, 0, 116100, 60, 0},
                      drop_out_case{"ShortPeriod5ms", 128, 1, 29932, 5, 0},
                      drop_out_case{"ShortPeriod6ms", 128, 1, 29932, 6, 1}),
    [](const ::testing::TestParamInfo<drop_out_case> &info) { return std::string(info.param.name); });

class DriverPerfLog : public DriverTest {};

// One line of the log: counter, microseconds since the first entry, event.
struct perf_line {
    long long counter;
    unsigned micros;
    unsigned event;
};

TEST_F(DriverPerfLog, TheDestructionWritesTheSessionsEventsOverAnOlderLog)
{
    const WCHAR *path = L"C:\\_LOG\\perform.log";
    platform::file_store_add(L"C:\\_LOG", FILE_ATTRIBUTE_DIRECTORY);
    const HANDLE older = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, older);
    const std::string junk(256 * 1024, 'x');
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(older, junk.data(), (DWORD)junk.size(), &written, nullptr));
    CloseHandle(older);

    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(ASE_OK, driver->outputReady());
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 10; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ASE_OK, driver->outputReady());
    }
    ASSERT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->outputReady());
    const int switches = record().switches.load();
    m_drivers.pop_back();
    driver->Release();

    // Read back through the file API, as any program would.
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::string text(junk.size(), '\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, text.data(), (DWORD)text.size(), &read, nullptr));
    CloseHandle(file);
    text.resize(read);
    ASSERT_LT(text.size(), junk.size()) << "the older log was not truncated";
    ASSERT_EQ('\n', text.back());
    std::istringstream lines(text);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ("-- log --", line);
    std::vector<perf_line> entries;
    while (std::getline(lines, line)) {
        perf_line entry = {};
        char end = 0;
        ASSERT_EQ(3, std::sscanf(line.c_str(), "%lld\t%u\t%u%c", &entry.counter, &entry.micros, &entry.event, &end))
            << line;
        entries.push_back(entry);
    }
    ASSERT_FALSE(entries.empty());
    LARGE_INTEGER frequency = {};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    std::map<unsigned, int> counts;
    for (const perf_line &entry : entries) {
        counts[entry.event]++;
        const long long micros = (entry.counter - entries[0].counter) * 1000 * 1000 / frequency.QuadPart;
        EXPECT_EQ((unsigned)(DWORD)micros, entry.micros);
    }
    EXPECT_EQ(0u, entries[0].event) << "the session starts with the start request";
    EXPECT_EQ(1, counts[0]);
    EXPECT_EQ(1, counts[9]);
    EXPECT_EQ(3, counts[20]) << "outputReady is logged only while running";
    EXPECT_EQ(switches + 1, counts[10]) << "one engine period per host call, and the first period's read";
    EXPECT_GE(counts[30], 1);
    EXPECT_EQ(entries.size(), (size_t)(counts[0] + counts[9] + counts[10] + counts[20] + counts[30]));
}

} // namespace
} // namespace stdasio_test
