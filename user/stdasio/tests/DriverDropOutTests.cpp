// The standard ASIO driver's drop-out box, on the machine's manual clock: the host's buffer
// switches move the clock, one period each, and one switch takes a chosen time, so that the
// gap between two host calls is exact to the millisecond against the limits of two periods
// (23 ms at 512 frames and 44100 Hz) and of a short period's stream (6 ms).
#include "DriverFixture.h"
#include <platform/clock.h>
#include <platform/window_station.h>

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
    ::testing::Values(drop_out_case{"Normal22ms", 512, 1, 116100, 22, 0}, drop_out_case{"Normal23ms", 512, 1, 116100, 23, 1},
                      drop_out_case{"Normal60msNotifyOff", 512, 0, 116100, 60, 0},
                      drop_out_case{"ShortPeriod5ms", 128, 1, 29932, 5, 0},
                      drop_out_case{"ShortPeriod6ms", 128, 1, 29932, 6, 1}),
    [](const ::testing::TestParamInfo<drop_out_case> &info) { return std::string(info.param.name); });

} // namespace
} // namespace stdasio_test
