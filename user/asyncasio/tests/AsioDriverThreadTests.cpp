// ovmlsaaso's stream thread against the client tests' channel driver, whose render-only devices
// take every write at once: buffer switches with positions, time info and time code, the order
// of the written halves with and without outputReady, stop and rate changes while running,
// format changes that must not reuse the prepared layout, suspend and resume, and a duplex
// stream's recovery from a stream reset and its stop while nothing is captured.
#include "AsioChannelDriverFixture.h"
#include <sim/asio_host.h>
#include <platform/pnp.h>
#include <platform/window_station.h>
#include <cstring>
#include <thread>
#include <string>
#include "RegUtil2.h"
#include "SyncObj.h"

namespace asio_test {
namespace {

class AsioDriverThread : public AsioChannelDriverTest {
protected:
    // The first bytes each write put into the device, one per write of 2 x 4 x 512 bytes.
    std::vector<uint8_t> written_tags(size_t writes)
    {
        std::vector<uint8_t> tags;
        for (size_t i = 0; i < writes; ++i) {
            tags.push_back(m_device->state->Loop[i * 4096]);
        }
        return tags;
    }
};

TEST_F(AsioDriverThread, SwitchesCarryPositionsTimeInfoAndTimeCodeAndAStopAsksForNoReset)
{
    open_render_only();
    create_buffers();
    EXPECT_EQ(m_driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    EXPECT_EQ(m_driver->setClockSource(0), ASE_OK);
    const int marked = record().switches.load();
    ASSERT_TRUE(wait_switches(marked + 4));
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_NotPresent) << "running";
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(record().resets.load(), 0) << "an output-only stop is a normal stop";
    EXPECT_EQ(m_driver->stop(), ASE_OK);

    std::lock_guard<std::mutex> guard(record().lock);
    const recorder &r = record();
    ASSERT_GE(r.positions.size(), 8u);
    int changed = 0;
    for (size_t i = 0; i < r.positions.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.positions[i], (int64_t)(i + 1) * 512);
        EXPECT_EQ(r.halves[i], (int32_t)(i & 1));
        EXPECT_EQ(r.time_codes[i], (uint32_t)(48000 * 600 + r.positions[i]));
        EXPECT_EQ(r.flags[i] & 7u, 7u);
        changed += (r.flags[i] & kClockSourceChanged) != 0 ? 1 : 0;
    }
    EXPECT_EQ(r.time_codes[1], 28801024u);
    EXPECT_EQ(changed, 1) << "a clock-source change is reported once";
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    ASSERT_EQ(m_driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_GE((int64_t)position.lo, r.positions.back());
}

TEST_F(AsioDriverThread, WithoutOutputReadyTheFilledHalfGoesOutOnePeriodLater)
{
    open_render_only();
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(6));
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    const std::vector<uint8_t> tags = written_tags(4);
    EXPECT_EQ(tags, (std::vector<uint8_t>{0, 1, 2, 3})) << "the first write is the untouched other half";
}

TEST_F(AsioDriverThread, WithOutputReadyTheHalfJustFilledGoesOut)
{
    open_render_only();
    record().call_output_ready = true;
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(6));
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(written_tags(4), (std::vector<uint8_t>{1, 2, 3, 4})) << "the first write is the first filled half";
}

TEST_F(AsioDriverThread, RateChangeWhileRunningRestartsAtOnceWithoutAResetOrAStall)
{
    open_render_only();
    create_buffers();
    // The host's switch asks for the rate and the channels, as hosts do, while the rate
    // change stops the stream.
    record().query_in_switch = true;
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    const ULONGLONG began = GetTickCount64();
    ASSERT_EQ(m_driver->setSampleRate(96000), ASE_OK);
    EXPECT_LT(GetTickCount64() - began, 5000u) << "no wait for a stream thread stuck on the settings mutex";
    EXPECT_EQ(m_device->state->CurrentRate, 96000u);
    const int after = record().switches.load();
    ASSERT_TRUE(wait_switches(after + 4)) << "streaming goes on at the new rate";
    EXPECT_EQ(record().resets.load(), 0);
    double rate = 0;
    ASSERT_EQ(m_driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    std::lock_guard<std::mutex> guard(record().lock);
    int changed = 0;
    for (uint32_t flags : record().flags) {
        changed += (flags & kSampleRateChanged) != 0 ? 1 : 0;
    }
    EXPECT_EQ(changed, 1) << "the first switch at the new rate says so, once";
}

TEST_F(AsioDriverThread, RateChangeThatAltersTheDeviceFormatAsksForAResetInsteadOfReusingTheBuffers)
{
    open_device([](CHANNEL_TEST_DEVICE &s) {
        s.Caps[3] = {96000, 6, 32, 0, 32};
        s.Caps[1] = {48000, 2, 32, 0, 32};
    });
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    ASSERT_EQ(m_driver->setSampleRate(96000), ASE_OK);
    EXPECT_EQ(record().resets.load(), 1);
    EXPECT_EQ(m_driver->start(), ASE_NotPresent) << "the old buffers stay blocked until disposed";
    EXPECT_EQ(m_driver->stop(), ASE_OK);
    ASSERT_EQ(m_driver->disposeBuffers(), ASE_OK);
    int32_t in = 0, out = 0;
    ASSERT_EQ(m_driver->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(out, 6) << "the new format is in force for the next buffers";
    m_infos.assign(6, ASIOBufferInfo{ASIOFalse, 0, {}});
    for (int32_t i = 0; i < 6; ++i) {
        m_infos[(size_t)i].channelNum = i;
    }
    ASSERT_EQ(m_driver->createBuffers(m_infos.data(), 6, 1024, &m_callbacks), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverThread, SuspendKeepsThePositionMovingWithoutTheHostAndResumeGoesOnFromIt)
{
    open_render_only();
    create_buffers();
    platform::broadcast_power_event(PBT_APMSUSPEND);
    EXPECT_EQ(record().switches.load(), 0) << "suspend while not running changes nothing";
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    platform::broadcast_power_event(PBT_APMSUSPEND);
    const int at_suspend = record().switches.load();
    ASIOSamples first{}, later{};
    ASIOTimeStamp stamp{};
    ASSERT_EQ(m_driver->getSamplePosition(&first, &stamp), ASE_OK);
    ASSERT_TRUE(wait_until([&] {
        m_driver->getSamplePosition(&later, &stamp);
        return later.lo >= first.lo + 3 * 512;
    })) << "timer ticks move the position";
    EXPECT_EQ(record().switches.load(), at_suspend) << "the host is not called while suspended";
    platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC);
    ASSERT_TRUE(wait_switches(at_suspend + 4));
    {
        std::lock_guard<std::mutex> guard(record().lock);
        EXPECT_GT(record().positions[(size_t)at_suspend], record().positions[(size_t)at_suspend - 1] + 512)
            << "the position goes on from where the ticks left it";
    }
    EXPECT_EQ(record().resets.load(), 0);
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverThread, ReleaseWhileRunningStopsTheThreadAndFreesTheChannel)
{
    open_render_only();
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    m_driver->Release();
    m_driver = nullptr;
    EXPECT_EQ(m_device->state->Running, 0);
    EXPECT_EQ(m_device->state->OpenHandles, 0);
    EXPECT_EQ(m_device->state->Owner, 0);
}

TEST_F(AsioDriverThread, AStreamErrorAsksForOneResetAndAGoneDeviceStillStopsDisposesAndReleases)
{
    open_render_only();
    create_buffers();
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    // The device stops taking data: every write fails from now on.
    InterlockedExchange(&m_device->state->Running, 0);
    ASSERT_TRUE(wait_until([] { return record().resets.load() >= 1; }));
    platform::pnp_node_of(m_device->pdo)->removed = true;
    EXPECT_EQ(m_driver->stop(), ASE_NotPresent) << "the device is gone";
    EXPECT_EQ(record().resets.load(), 1) << "one reset for the error, none for the stop";
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK) << "the stream was stopped all the same";
    m_driver->Release();
    m_driver = nullptr;
    EXPECT_EQ(m_device->state->OpenHandles, 0);
    platform::pnp_node_of(m_device->pdo)->removed = false;
}

// A duplex device whose capture begins with one half of data: each half the driver writes
// comes back as the next half read, so the input side clocks the periods.
TEST_F(AsioDriverThread, DuplexStreamResetIsClearedWithoutTheHostAndThePositionsAreAlignedAgain)
{
    open_with([](CHANNEL_TEST_DEVICE &s) {
        s.PrimeCaptureBytes = 512 * 2 * 4;
        s.Position = 777;
    });
    create_buffers(512, true);
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(8));
    const size_t marker = calls(*m_device).size();
    m_device->state->StreamReset = 1; // the next write fails, and the reads with it
    const int at_reset = record().switches.load();
    ASSERT_TRUE(wait_switches(at_reset + 8)) << "streaming goes on";
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(record().resets.load(), 0) << "recovered without the host";

    std::vector<ULONG> after = calls_since(*m_device, marker);
    const std::vector<ULONG> recovery = {CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_GET_STREAM_RESET),
                                         CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_STOP),
                                         CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_START),
                                         CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_START_CAPTURE),
                                         CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_GET_POSITION),
                                         CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_SET_POSITION)};
    after.resize(std::min(after.size(), recovery.size()));
    EXPECT_EQ(after, recovery) << "restarted, then aligned on its first completed half";
    EXPECT_EQ(m_device->state->LastSetPosition, 777u);
    EXPECT_EQ(count_of(calls(*m_device), IOCTL_QELASIO_SET_POSITION), 2u) << "once per start";

    std::lock_guard<std::mutex> guard(record().lock);
    const recorder &r = record();
    ASSERT_GE(r.positions.size(), (size_t)at_reset + 8);
    for (size_t i = 0; i < r.positions.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.positions[i], (int64_t)(i + 1) * 512) << "the position goes on across the recovery";
        EXPECT_EQ(r.halves[i], (int32_t)(i & 1)) << "and so does the half";
    }
}

TEST_F(AsioDriverThread, StopWhileCaptureReadsNeverCompleteEndsTheThreadAtOnce)
{
    open_with([](CHANNEL_TEST_DEVICE &) {}); // duplex; nothing is ever captured
    create_buffers(512, true);
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_until([&] {
        return count_of(calls(*m_device), IOCTL_QELASIO_START_CAPTURE) == 1;
    })) << "the thread waits for its first half";
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_device->state->Running, 0);
    EXPECT_EQ(record().switches.load(), 0);
    EXPECT_EQ(record().resets.load(), 0) << "the thread ended by itself, not by time-out";
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(m_driver->start(), ASE_NotPresent) << "disposed";
}

// A host that stops from inside its fifth buffer switch, on a render-only device or a duplex
// one: stop returns at once with the channels stopped, the thread ends by itself (no time-out,
// no reset) and no switch follows; a start from the host's thread then streams again.
class StopInsideSwitch : public AsioDriverThread, public ::testing::WithParamInterface<bool> {};

TEST_P(StopInsideSwitch, ReturnsAtOnceAndNoSwitchFollows)
{
    const bool duplex = GetParam();
    if (duplex) {
        open_with([](CHANNEL_TEST_DEVICE &s) { s.PrimeCaptureBytes = 512 * 2 * 4; });
    } else {
        open_render_only();
    }
    create_buffers(512, duplex);
    struct stop_answer {
        std::atomic<bool> done{false};
        std::atomic<ASIOError> result{ASE_NotPresent};
        std::atomic<ULONGLONG> took_ms{0};
        std::atomic<LONG> running{1};
    };
    auto stopped = std::make_shared<stop_answer>();
    test_device *device = m_device;
    record().in_switch = [stopped, device](IASIO *driver, int before) {
        if (before != 4 || stopped->done.load()) {
            return;
        }
        const ULONGLONG began = GetTickCount64();
        stopped->result = driver->stop();
        stopped->took_ms = GetTickCount64() - began;
        stopped->running = device->state->Running;
        stopped->done = true;
    };
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_until([&] { return stopped->done.load(); }, 20000));
    EXPECT_EQ(stopped->result.load(), ASE_OK);
    EXPECT_LT(stopped->took_ms.load(), 5000u) << "no wait for the thread that called";
    EXPECT_EQ(stopped->running.load(), 0) << "the channels stopped before stop returned";
    ASSERT_EQ(m_driver->start(), ASE_OK) << "once the stopped thread has ended";
    ASSERT_TRUE(wait_switches(9));
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(record().resets.load(), 0) << "the thread ended by itself, not by time-out";

    std::lock_guard<std::mutex> guard(record().lock);
    const std::vector<int64_t> &p = record().positions;
    ASSERT_GE(p.size(), 9u);
    for (size_t i = 0; i < p.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(p[i], (int64_t)(i < 5 ? i + 1 : i - 4) * 512) << "five switches, then the new start's";
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, StopInsideSwitch, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Duplex" : "RenderOnly");
                         });

// A host that stops from its own thread while its buffer switch stops too, in either order:
// the switch's stop returns at once, the other returns ASE_OK once the stream thread has ended.
class StopFromTwoThreads : public AsioDriverThread, public ::testing::WithParamInterface<bool> {};

TEST_P(StopFromTwoThreads, TheSwitchsStopReturnsAndTheOtherWaitsForTheStream)
{
    const bool switch_first = GetParam();
    open_render_only();
    create_buffers(512, false);
    struct answers {
        std::atomic<bool> done{false};
        std::atomic<ASIOError> in_switch{ASE_NotPresent};
        std::atomic<ULONGLONG> took_ms{0};
        std::atomic<ASIOError> other{ASE_NotPresent};
        std::atomic<bool> other_after_switch{false};
        std::thread other_thread;
    };
    auto stops = std::make_shared<answers>();
    record().in_switch = [stops, switch_first](IASIO *driver, int before) {
        if (before != 4 || stops->done.load()) {
            return;
        }
        const ULONGLONG began = GetTickCount64();
        if (switch_first) {
            stops->in_switch = driver->stop();
        }
        stops->other_thread = std::thread([stops, driver] {
            stops->other = driver->stop();
            stops->other_after_switch = stops->done.load();
        });
        // Gives the other stop time to be under way (waiting for this thread, or for the section).
        Sleep(100);
        if (!switch_first) {
            stops->in_switch = driver->stop();
        }
        stops->took_ms = GetTickCount64() - began;
        stops->done = true;
    };
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_until([&] { return stops->done.load(); }, 20000));
    stops->other_thread.join();
    EXPECT_EQ(stops->in_switch.load(), ASE_OK);
    EXPECT_LT(stops->took_ms.load(), 5000u) << "the switch's stop waited for no one";
    EXPECT_EQ(stops->other.load(), ASE_OK);
    EXPECT_TRUE(stops->other_after_switch.load()) << "the other stop returned once the stream had ended";
    EXPECT_EQ(record().switches.load(), 5);
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(7));
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(record().resets.load(), 0) << "no thread ended by time-out";
}

INSTANTIATE_TEST_SUITE_P(Order, StopFromTwoThreads, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "SwitchFirst" : "OtherFirst");
                         });

TEST_F(AsioDriverThread, DsdFormatCountsBufferSizesInDsdSamplesAndRefusesPartialWords)
{
    open_device([](CHANNEL_TEST_DEVICE &s) {
        s.Range = {44100, 192000};
        s.Caps[s.CapsCount++] = {176400, 2, 32, 0, 32};
    });
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    ASSERT_EQ(m_driver->future(kAsioCanDoIoFormat, &format), ASE_SUCCESS);
    ASSERT_EQ(m_driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(m_driver->canSampleRate(22579200), ASE_OK) << "any DSD rate, whatever the range";
    EXPECT_EQ(m_driver->canSampleRate(48000), ASE_NoClock);
    ASSERT_EQ(m_driver->setSampleRate(5644800), ASE_OK);
    EXPECT_EQ(m_device->state->CurrentRate, 176400u) << "the device runs at the DSD rate over 32";
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 65536);
    ASIOChannelInfo info{};
    ASSERT_EQ(m_driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);

    m_infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    EXPECT_EQ(m_driver->createBuffers(m_infos.data(), 2, 1000, &m_callbacks), ASE_InvalidParameter);
    ASSERT_EQ(m_driver->createBuffers(m_infos.data(), 2, 65536, &m_callbacks), ASE_OK);
    EXPECT_EQ(static_cast<uint8_t *>(m_infos[0].buffers[0])[0], 0x96) << "DSD silence";
    EXPECT_EQ(m_device->state->LastPrepare.BufferFrames, 2048u);

    format.FormatType = kASIOPCMFormat;
    ASSERT_EQ(m_driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(record().resets.load(), 1) << "the prepared buffers carry the old format";
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverThread, ChoosingADeviceOfAnotherWidthChangesTheSampleType)
{
    open_render_only();
    const std::wstring other = OtherDeviceId;
    add_device({other, L"Marla Narrow"}, [](CHANNEL_TEST_DEVICE &s) {
        s.CapsCount = 0;
        for (ULONG rate : {44100u, 48000u, 88200u, 96000u}) {
            s.Caps[s.CapsCount++] = {rate, 2, 24, 0, 24};
        }
    });
    {
        CRegUtil2 settings;
        ASSERT_EQ(REGUTIL_OK, settings.SetSelected(other.c_str()));
    }
    SYNCOBJ_ASIO::NotifySettingsChanged();
    ASIOChannelInfo info{};
    ASSERT_TRUE(wait_until([&] {
        info = ASIOChannelInfo{};
        return m_driver->getChannelInfo(&info) == ASE_OK && std::string(info.name).find("Narrow") != std::string::npos;
    }));
    EXPECT_EQ(info.type, ASIOSTInt24LSB) << "three bytes per sample, as the buffers will hold";
    m_infos = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(m_driver->createBuffers(m_infos.data(), 1, 512, &m_callbacks), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverThread, AKilledHostLeavesTheDeviceToTheNextHost)
{
    if (LeakChecked) {
        GTEST_SKIP() << "the dead host's driver object is never freed in a simulated process";
    }
    m_device = &add_device({DeviceId}, render_only);
    sim::asio_host_options options;
    options.driver = L"Orvan Marla Series Async ASIO";
    options.sample_rate = 48000;
    {
        sim::asio_host first(options);
        ASSERT_TRUE(first.start()) << first.error();
        ASSERT_TRUE(first.wait_buffer_switches(4, 10000));
        first.kill();
        EXPECT_EQ(first.state(), sim::asio_host_state::killed);
    }
    EXPECT_EQ(m_device->state->Owner, 0) << "closing the dead host's handle gave the channel back";
    EXPECT_EQ(m_device->state->OpenHandles, 0);
    HANDLE in_use = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\{18ACAFF7-A601-4B99-A38D-A3B7A418AB30}");
    EXPECT_EQ(in_use, nullptr) << "the dead host's named objects went with it";

    sim::asio_host next(options);
    ASSERT_TRUE(next.start()) << next.error();
    ASSERT_TRUE(next.wait_buffer_switches(4, 10000));
    ASSERT_TRUE(next.stop());
    EXPECT_EQ(next.state(), sim::asio_host_state::stopped);
    EXPECT_EQ(m_device->state->OpenHandles, 0);
}

} // namespace
} // namespace asio_test
