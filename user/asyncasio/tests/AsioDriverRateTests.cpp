// ovmlsaaso's rate and format changes against the channel test driver: a running rate change
// that the device refuses or that cannot restart, a rate change under prepared buffers, an io
// format change while streaming or suspended, and a device chosen anew in the DSD format.
#include "AsioChannelDriverFixture.h"
#include <platform/window_station.h>
#include "SyncObj.h"

namespace asio_test {
namespace {

using AsioDriverRates = AsioChannelDriverTest;

DWORD stored_rate()
{
    CRegUtil2 settings;
    return settings.GetSamplingRate();
}

double driver_rate(IASIO *driver)
{
    double rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    return rate;
}

struct failed_switch_case {
    const char *name;
    ULONG failing;       // the control code the device refuses from then on
    ASIOError result;    // what setSampleRate answers
    DWORD rate_after;    // the rate of the device, the settings and getSampleRate
};

class RunningRateChangeFails : public AsioDriverRates, public ::testing::WithParamInterface<failed_switch_case> {};

// Either way the host hears of it, by the result and by one reset request, and its stale
// buffers cannot be started again; a refused rate goes back out of the settings.
TEST_P(RunningRateChangeFails, ReportsTheFailureAsksForAResetAndKeepsTheRateInForce)
{
    const failed_switch_case c = GetParam();
    open_render_only();
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    m_device->state->FailMask = CHANNEL_TEST_BIT(c.failing);
    EXPECT_EQ(m_driver->setSampleRate(96000), c.result);
    EXPECT_EQ(record().resets.load(), 1);
    EXPECT_EQ(m_device->state->Running, 0) << "the stream stays stopped";
    EXPECT_EQ(m_device->state->CurrentRate, c.rate_after);
    EXPECT_EQ(stored_rate(), c.rate_after);
    EXPECT_EQ(driver_rate(m_driver), (double)c.rate_after);
    m_device->state->FailMask = 0;
    EXPECT_EQ(m_driver->start(), ASE_NotPresent) << "the old buffers wait for the host's reset";
    EXPECT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    create_buffers();
    EXPECT_EQ(m_driver->start(), ASE_OK) << "new buffers stream";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RunningRateChangeFails,
    ::testing::Values(failed_switch_case{"DeviceRefusesTheRate", IOCTL_QELASIO_SET_SAMPLE_RATE, ASE_NotPresent, 48000},
                      failed_switch_case{"RestartFails", IOCTL_QELASIO_START, ASE_HWMalfunction, 96000}),
    [](const ::testing::TestParamInfo<failed_switch_case> &info) { return std::string(info.param.name); });

TEST_F(AsioDriverRates, RateChangeUnderPreparedBuffersSetsTheDeviceAndBlocksThoseBuffers)
{
    open_render_only();
    create_buffers();
    ASSERT_EQ(m_driver->setSampleRate(96000), ASE_OK);
    EXPECT_EQ(m_device->state->CurrentRate, 96000u);
    EXPECT_EQ(stored_rate(), 96000u);
    EXPECT_EQ(driver_rate(m_driver), 96000.0);
    EXPECT_EQ(record().resets.load(), 1);
    EXPECT_EQ(m_driver->start(), ASE_NotPresent) << "buffers made for 48000 Hz";
    ASSERT_EQ(m_driver->disposeBuffers(), ASE_OK);
    create_buffers(1024);
    EXPECT_EQ(m_device->state->LastPrepare.BufferFrames, 1024u);
    EXPECT_EQ(m_driver->start(), ASE_OK);
}

// The buffers carry the old format's samples: the host is asked for a reset whether the
// stream runs or is suspended, and the buffers are not started again.
class FormatChange : public AsioDriverRates, public ::testing::WithParamInterface<bool> {};

TEST_P(FormatChange, WhileStreamingOrSuspendedAsksForAReset)
{
    const bool suspended = GetParam();
    open_render_only();
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    if (suspended) {
        platform::broadcast_power_event(PBT_APMSUSPEND);
    }
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    ASSERT_EQ(m_driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(record().resets.load(), 1);
    ASIOChannelInfo info{};
    ASSERT_EQ(m_driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->start(), ASE_NotPresent);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(record().resets.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(States, FormatChange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Suspended" : "Running");
                         });

// A device chosen anew in the DSD format must have a DSD sample type at the device rate of the
// stored DSD rate; one that has not is refused before its rate is touched.
struct dsd_choice_case {
    const char *name;
    ULONG bits_at_176400;
    bool taken;
};

class DsdDeviceChoice : public AsioDriverRates, public ::testing::WithParamInterface<dsd_choice_case> {};

TEST_P(DsdDeviceChoice, ChecksTheSampleTypeBeforeSettingTheDeviceRate)
{
    const dsd_choice_case c = GetParam();
    auto dsd_range = [](CHANNEL_TEST_DEVICE &s, ULONG bits) {
        s.Range = {44100, 192000};
        s.Caps[s.CapsCount++] = {176400, 2, bits, 0, bits};
    };
    open_device([&](CHANNEL_TEST_DEVICE &s) { dsd_range(s, 32); });
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    ASSERT_EQ(m_driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    ASSERT_EQ(m_driver->setSampleRate(5644800), ASE_OK);
    test_device &other = add_device({OtherDeviceId, L"Marla Other"}, [&](CHANNEL_TEST_DEVICE &s) {
        render_only(s);
        dsd_range(s, c.bits_at_176400);
    });
    {
        CRegUtil2 settings;
        ASSERT_EQ(REGUTIL_OK, settings.SetSelected(OtherDeviceId.c_str()));
    }
    SYNCOBJ_ASIO::NotifySettingsChanged();
    ASSERT_TRUE(wait_until([&] { return m_device->state->OpenHandles == 0; })) << "the old device was let go";
    int32_t in = 0, out = 0;
    EXPECT_EQ(m_driver->getChannels(&in, &out), c.taken ? ASE_OK : ASE_NotPresent);
    EXPECT_EQ(out, c.taken ? 2 : 0);
    EXPECT_EQ(count_of(calls(other), IOCTL_QELASIO_SET_SAMPLE_RATE), c.taken ? 1u : 0u);
    EXPECT_EQ(other.state->CurrentRate, c.taken ? 176400u : 48000u);
    EXPECT_EQ(other.state->Owner, c.taken ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, DsdDeviceChoice,
                         ::testing::Values(dsd_choice_case{"ThirtyTwoBits", 32, true},
                                           dsd_choice_case{"TwentyFourBits", 24, false}),
                         [](const ::testing::TestParamInfo<dsd_choice_case> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace asio_test
