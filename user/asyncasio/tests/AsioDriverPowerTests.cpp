// ovmlsaaso's power handling against the channel test driver, on the machine's manual clock:
// the suspended-position timer's period, the polls of the device's power at resume and what
// each outcome does, a rate change while suspended, and a release while suspended.
#include "AsioChannelDriverFixture.h"
#include <platform/pnp.h>
#include <platform/window_station.h>

namespace asio_test {
namespace {

class AsioDriverPower : public AsioChannelDriverTest {
protected:
    // Streams at rate with buffers of size, then suspends with the clock held still.
    void suspend_while_running(DWORD rate, int32_t size)
    {
        open_render_only(rate);
        create_buffers(size);
        ASSERT_EQ(m_driver->start(), ASE_OK);
        ASSERT_TRUE(wait_switches(4));
        watch_window();
        platform::clock_use_manual(true);
        platform::broadcast_power_event(PBT_APMSUSPEND);
        ASSERT_EQ(m_device->state->Running, 0) << "the stream stopped at the suspend";
        m_switches = record().switches.load();
        m_position = position();
    }

    // One period of the suspended-position timer: nothing until it has passed, then the
    // position moves on by one host buffer.
    void expect_tick_after(LONGLONG period_ms, int32_t size)
    {
        const int before = ticks(SuspendedTimer);
        platform::clock_advance((period_ms - 1) * platform::ticks_per_ms);
        EXPECT_EQ(ticks(SuspendedTimer), before) << "no timer is due before its period";
        EXPECT_EQ(position(), m_position);
        platform::clock_advance(platform::ticks_per_ms);
        ASSERT_TRUE(wait_until([&] { return ticks(SuspendedTimer) == before + 1; }));
        EXPECT_EQ(position(), m_position + (uint64_t)size);
        m_position = position();
    }

    void set_power(ULONG state, bool removed = false)
    {
        platform::pnp_lock();
        platform::pnp_node_of(m_device->pdo)->device_power_state = state;
        platform::pnp_node_of(m_device->pdo)->removed = removed;
        platform::pnp_unlock();
    }

    int m_switches = 0;
    uint64_t m_position = 0;
};

struct tick_case {
    DWORD rate;
    int32_t size;
    LONGLONG period_ms; // one host buffer period, rounded up
};

class SuspendedTimerPeriod : public AsioDriverPower, public ::testing::WithParamInterface<tick_case> {};

TEST_P(SuspendedTimerPeriod, TicksOncePerHostBufferPeriodRoundedUpWithoutCallingTheHost)
{
    const tick_case c = GetParam();
    suspend_while_running(c.rate, c.size);
    expect_tick_after(c.period_ms, c.size);
    expect_tick_after(c.period_ms, c.size);
    EXPECT_EQ(record().switches.load(), m_switches) << "the host is not called while suspended";
    EXPECT_EQ(record().resets.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(RatesAndSizes, SuspendedTimerPeriod,
                         ::testing::Values(tick_case{48000, 512, 11}, tick_case{44100, 512, 12},
                                           tick_case{96000, 1024, 11}, tick_case{48000, 2048, 43}),
                         [](const ::testing::TestParamInfo<tick_case> &info) {
                             return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.size);
                         });

// What the device answers at each power poll of a resume, and what the resume comes to.
enum class answer { on, off, gone };
struct resume_case {
    const char *name;
    std::vector<answer> polls; // the answer at the broadcast, then at each 100 ms tick
    bool restarts;             // otherwise one reset request after the last poll
};

class Resume : public AsioDriverPower, public ::testing::WithParamInterface<resume_case> {};

TEST_P(Resume, PollsTheDevicePowerAndRestartsOrAsksForExactlyOneReset)
{
    const resume_case c = GetParam();
    suspend_while_running(48000, 512);
    for (size_t poll = 0; poll < c.polls.size(); ++poll) {
        SCOPED_TRACE(poll);
        set_power(c.polls[poll] == answer::off ? PowerDeviceD3 : PowerDeviceD0, c.polls[poll] == answer::gone);
        if (poll == 0) {
            platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC);
        } else {
            platform::clock_advance(99 * platform::ticks_per_ms);
            EXPECT_EQ(ticks(ResumeTimer), (int)poll - 1) << "one poll each 100 ms";
            platform::clock_advance(platform::ticks_per_ms);
            ASSERT_TRUE(wait_until([&] { return ticks(ResumeTimer) == (int)poll; }));
        }
        const bool last = poll + 1 == c.polls.size();
        EXPECT_EQ(m_device->state->Running, last && c.restarts ? 1 : 0);
        EXPECT_EQ(record().resets.load(), last && !c.restarts ? 1 : 0);
    }
    set_power(PowerDeviceD0);
    if (c.restarts) {
        platform::clock_use_manual(false);
        ASSERT_TRUE(wait_switches(m_switches + 4));
        std::lock_guard<std::mutex> guard(record().lock);
        EXPECT_GT(record().positions[(size_t)m_switches], (int64_t)m_position)
            << "the position goes on from where the suspended ticks left it";
    } else {
        const uint64_t at_reset = position();
        advance_ms(1000);
        EXPECT_EQ(position(), at_reset) << "the suspended-position timer ended with the reset request";
        EXPECT_EQ(ticks(ResumeTimer), (int)c.polls.size() - 1) << "no poll after the last";
        EXPECT_EQ(m_device->state->Running, 0);
        EXPECT_EQ(record().resets.load(), 1);
        platform::clock_use_manual(false);
    }
    EXPECT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Resume,
    ::testing::Values(resume_case{"OnAtTheBroadcast", {answer::on}, true},
                      resume_case{"OnAtTheFifthPoll", {answer::off, answer::off, answer::off, answer::off, answer::on},
                                  true},
                      resume_case{"OffForTenPolls", std::vector<answer>(10, answer::off), false},
                      resume_case{"PowerQueryFails", {answer::gone}, false},
                      resume_case{"QueryFailsAfterTwoPolls", {answer::off, answer::off, answer::gone}, false}),
    [](const ::testing::TestParamInfo<resume_case> &info) { return std::string(info.param.name); });

// A rate set while suspended is the rate the stream resumes at: the first switch after the
// resume carries it, flagged once, and the suspended ticks keep its pace. Buffers that the new
// rate does not allow are not resumed on; the host is asked for a reset instead.
struct suspended_rate_case {
    int32_t size;
    bool fits; // size is a buffer size of 96000 Hz
};

class SuspendedRateChange : public AsioDriverPower, public ::testing::WithParamInterface<suspended_rate_case> {};

TEST_P(SuspendedRateChange, ResumesAtTheNewRateOrAsksForAReset)
{
    const suspended_rate_case c = GetParam();
    suspend_while_running(48000, c.size);
    ASSERT_EQ(m_driver->setSampleRate(96000), ASE_OK);
    EXPECT_EQ(m_device->state->CurrentRate, 96000u);
    EXPECT_EQ(record().resets.load(), c.fits ? 0 : 1);
    if (c.fits) {
        expect_tick_after(11, c.size); // 22 ms at 48000 Hz
        expect_tick_after(11, c.size);
    }
    platform::clock_use_manual(false);
    platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC);
    if (!c.fits) {
        EXPECT_EQ(m_device->state->Running, 0) << "the buffers do not fit the new rate";
        EXPECT_EQ(m_driver->start(), ASE_NotPresent);
    } else {
        ASSERT_TRUE(wait_switches(m_switches + 4));
        std::lock_guard<std::mutex> guard(record().lock);
        const recorder &r = record();
        EXPECT_EQ(r.rates[(size_t)m_switches - 1], 48000.0);
        int flagged = 0;
        for (size_t i = (size_t)m_switches; i < r.rates.size(); ++i) {
            EXPECT_EQ(r.rates[i], 96000.0) << i;
            flagged += (r.flags[i] & kSampleRateChanged) != 0 ? 1 : 0;
        }
        EXPECT_EQ(flagged, 1) << "the new rate is reported once";
        EXPECT_EQ((r.flags[(size_t)m_switches] & kSampleRateChanged), (uint32_t)kSampleRateChanged);
    }
    EXPECT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SuspendedRateChange,
                         ::testing::Values(suspended_rate_case{1024, true}, suspended_rate_case{64, false}),
                         [](const ::testing::TestParamInfo<suspended_rate_case> &info) {
                             return std::to_string(info.param.size);
                         });

TEST_F(AsioDriverPower, ReleaseWhileSuspendedNeitherStopsNorDisposesAndGivesTheDeviceBack)
{
    suspend_while_running(48000, 512);
    platform::clock_use_manual(false);
    set_power(PowerDeviceD3);
    const size_t at_suspend = calls(*m_device).size();
    m_driver->Release();
    m_driver = nullptr;
    const std::vector<ULONG> after = calls_since(*m_device, at_suspend);
    EXPECT_EQ(count_of(after, IOCTL_QELASIO_STOP), 0u);
    EXPECT_EQ(count_of(after, IOCTL_QELASIO_UNPREPARE), 0u) << "closing the channel walks the device back";
    EXPECT_EQ(m_device->state->OpenHandles, 0);
    EXPECT_EQ(m_device->state->Owner, 0);
    EXPECT_EQ(record().resets.load(), 0);
    set_power(PowerDeviceD0);
}

} // namespace
} // namespace asio_test
