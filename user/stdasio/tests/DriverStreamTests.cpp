// The standard ASIO driver streaming over the simulated exclusive-mode endpoints: the buffer
// switch sequence and time info, the silent modes, the reset requests on a lost session, a rate
// change and a settings change, power transitions, two driver objects, and loopback through a
// 32-bit host as a clean run.
#include "DriverFixture.h"
#include <platform/audio_endpoint.h>
#include <platform/window_station.h>
#include <sim/asio_host.h>
#include <sim/paced_clock.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace stdasio_test {
namespace {

class DriverStream : public DriverTest {
protected:
    static void signal_settings_changed()
    {
        const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"{A35E532A-CC18-4c77-93AF-EAC2AD42F99E}1");
        ASSERT_NE(event, nullptr);
        SetEvent(event);
        CloseHandle(event);
    }
    static bool presence_set()
    {
        const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, L"{A35E532A-CC18-4c77-93AF-EAC2AD42F99E}0");
        if (event == nullptr) {
            return false;
        }
        const bool set = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        CloseHandle(event);
        return set;
    }
};

TEST_F(DriverStream, FirstWakeUpOnlyReadsThenHalvesAlternateWithTimeInfo)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(ASE_SUCCESS, driver->future(kAsioEnableTimeCodeRead, nullptr));
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 6; }));
    ASSERT_EQ(ASE_OK, driver->stop());

    recorder &r = record();
    std::lock_guard<std::mutex> guard(r.lock);
    EXPECT_EQ(0, r.plain_switches.load());
    ASSERT_GE(r.positions.size(), 6u);
    for (size_t i = 0; i < r.positions.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((int32_t)(i % 2), r.halves[i]);
        EXPECT_EQ((int64_t)i * 512, r.positions[i]);
        EXPECT_EQ((uint32_t)(i * 512 + 44100 * 600), r.time_codes[i]);
        EXPECT_EQ((uint32_t)(kSystemTimeValid | kSamplePositionValid | kSampleRateValid), r.flags[i]);
    }
    ASIOSamples position = {};
    ASIOTimeStamp stamp = {};
    EXPECT_EQ(ASE_OK, driver->getSamplePosition(&position, &stamp));
    EXPECT_EQ((uint32_t)((r.positions.size() - 1) * 512), position.lo);
    EXPECT_TRUE(stamp.hi != 0 || stamp.lo != 0);
}

TEST_F(DriverStream, HostWithoutTimeInfoGetsOnlyPlainSwitches)
{
    add_device();
    record().time_info = 0;
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 2; }));
    EXPECT_EQ(ASE_OK, driver->setClockSource(0));
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 4; }));
    ASSERT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(record().switches.load(), record().plain_switches.load());
    EXPECT_TRUE(record().positions.empty());
}

// Each clock-source change, before start or while running, is flagged in exactly one time
// info: the first after it.
TEST_F(DriverStream, ClockSourceChangeIsFlaggedOnceInTheNextTimeInfo)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASE_OK, driver->setClockSource(0));
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 3; }));
    size_t before = 0;
    {
        std::lock_guard<std::mutex> guard(record().lock);
        before = record().flags.size();
    }
    ASSERT_EQ(ASE_OK, driver->setClockSource(0));
    ASSERT_TRUE(wait_until([&] { return record().switches.load() >= (int)before + 3; }));
    ASSERT_EQ(ASE_OK, driver->stop());
    std::lock_guard<std::mutex> guard(record().lock);
    const std::vector<uint32_t> &flags = record().flags;
    std::vector<size_t> flagged;
    for (size_t i = 0; i < flags.size(); ++i) {
        if ((flags[i] & kClockSourceChanged) != 0) {
            flagged.push_back(i);
        }
        EXPECT_NE(0u, flags[i] & kSampleRateValid) << i;
    }
    ASSERT_EQ(2u, flagged.size());
    EXPECT_EQ(0u, flagged[0]);
    // The change came while the switch numbered before, or the one after it, was under way.
    EXPECT_GE(flagged[1], before);
    EXPECT_LE(flagged[1], before + 1);
}

TEST_F(DriverStream, ShortBufferStreamsWithAThreeMillisecondPeriodAndSilentInputs)
{
    store_setting_dword(L"buffer_size,2", 128);
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    std::memset(infos[0].buffers[0], 0x33, 512);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 40; }));
    ASSERT_EQ(ASE_OK, driver->stop());
    std::lock_guard<std::mutex> guard(record().lock);
    ASSERT_FALSE(record().first_input_samples.empty());
    for (size_t i = 0; i < record().first_input_samples.size(); ++i) {
        ASSERT_EQ(0, record().first_input_samples[i]) << i;
    }
    const auto *bytes = static_cast<const unsigned char *>(infos[0].buffers[0]);
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(0, bytes[i]) << i;
    }
}

// A device that opens only at 48000 Hz while the driver runs at 44100: the streams run at the
// device's rate, the host is called at its own buffer size and rate and hears and plays
// silence.
TEST_F(DriverStream, RateDiffersModeRunsTheDeviceAtItsRateWithSilenceBothWays)
{
    m_rates = {48000};
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(48000u, last_open_rate());
    std::memset(infos[0].buffers[0], 0x33, 2048);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 20; }));
    ASSERT_EQ(ASE_OK, driver->stop());

    ASIOSampleRate rate = 0;
    EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
    EXPECT_EQ(44100.0, rate);
    EXPECT_EQ(0, audible_render_periods()) << "the host's output reached the device";
    const auto *input = static_cast<const unsigned char *>(infos[0].buffers[0]);
    EXPECT_TRUE(std::all_of(input, input + 2048, [](unsigned char b) { return b == 0; }));
    std::lock_guard<std::mutex> guard(record().lock);
    for (size_t i = 0; i < record().positions.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((int64_t)i * 512, record().positions[i]);
        EXPECT_EQ((int32_t)(i % 2), record().halves[i]);
        EXPECT_EQ(44100.0, record().time_rates[i]);
        EXPECT_EQ(0, record().first_input_samples[i]);
    }
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverStream, OutputsOnlyArePacedByTheRenderQueueAndRestartAfterResumeAndStop)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 2, 512, &callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 10; }));

    // The queue is full whenever the stream stops; a restart must not wait for room in it.
    ASSERT_GE(platform::broadcast_power_event(PBT_APMSUSPEND), 1u);
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    int before = record().switches.load();
    EXPECT_TRUE(wait_until([&] { return record().switches.load() >= before + 10; })) << "after the resume";
    ASSERT_EQ(ASE_OK, driver->stop());
    ASSERT_EQ(ASE_OK, driver->start());
    before = record().switches.load();
    EXPECT_TRUE(wait_until([&] { return record().switches.load() >= before + 10; })) << "after stop and start";
    ASSERT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(0, record().resets.load());
}

// A host that stops from inside its fifth buffer switch, duplex or with outputs only: stop
// returns at once, no switch follows, and a start from the host's thread streams again.
class DriverStopInsideSwitch : public DriverStream, public ::testing::WithParamInterface<bool> {
protected:
    // A driver with buffers for both directions (the parameter) or for the outputs only.
    IASIO *driver_for_param(ASIOBufferInfo infos[4], ASIOCallbacks *callbacks)
    {
        add_device();
        if (GetParam()) {
            return prepared_driver(infos, callbacks);
        }
        IASIO *driver = create_driver();
        infos[0] = {ASIOFalse, 0, {}};
        infos[1] = {ASIOFalse, 1, {}};
        if (driver == nullptr || driver->init(nullptr) != ASIOTrue ||
            driver->createBuffers(infos, 2, 512, callbacks) != ASE_OK) {
            ADD_FAILURE() << "no outputs-only driver";
            return nullptr;
        }
        return driver;
    }
};

TEST_P(DriverStopInsideSwitch, ReturnsAtOnceAndNoSwitchFollows)
{
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = driver_for_param(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    struct stop_answer {
        std::atomic<bool> done{false};
        std::atomic<ASIOError> result{ASE_NotPresent};
    };
    auto stopped = std::make_shared<stop_answer>();
    record().on_switch = [stopped, driver](int number) {
        if (number == 4 && !stopped->done.load()) {
            stopped->result = driver->stop();
            stopped->done = true;
        }
    };
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([&] { return stopped->done.load(); })) << "stop returned inside the switch";
    EXPECT_EQ(ASE_OK, stopped->result.load());
    ASSERT_EQ(ASE_OK, driver->start()) << "once the stopped thread has ended";
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 9; }));
    ASSERT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(0, record().resets.load());

    std::lock_guard<std::mutex> guard(record().lock);
    const std::vector<int64_t> &positions = record().positions;
    ASSERT_GE(positions.size(), 9u);
    for (size_t i = 0; i < positions.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((int64_t)(i < 5 ? i : i - 5) * 512, positions[i]) << "five switches, then the new start's";
    }
}

TEST_P(DriverStopInsideSwitch, LastReleaseInsideTheSwitchReturnsAndTheTeardownFollows)
{
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = driver_for_param(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    m_drivers.pop_back(); // the switch lets go of the last reference
    auto released = std::make_shared<std::atomic<bool>>(false);
    record().on_switch = [released, driver](int number) {
        if (number == 4 && !released->load()) {
            driver->Release();
            released->store(true);
        }
    };
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([&] { return released->load(); })) << "Release returned inside the switch";
    const auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE *)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_module, "DllCanUnloadNow")));
    ASSERT_NE(can_unload, nullptr);
    EXPECT_TRUE(wait_until([&] { return can_unload() == S_OK; })) << "the object was freed";
    EXPECT_EQ(5, record().switches.load()) << "no switch after the release";
    EXPECT_EQ(0, record().resets.load());
}

INSTANTIATE_TEST_SUITE_P(Directions, DriverStopInsideSwitch, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Duplex" : "OutputsOnly");
                         });

// A host that stops from its own thread while its buffer switch stops too, in either order.
class DriverStopFromTwoThreads : public DriverStream, public ::testing::WithParamInterface<bool> {};

TEST_P(DriverStopFromTwoThreads, TheSwitchsStopReturnsAndTheOtherWaitsForTheStream)
{
    const bool switch_first = GetParam();
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    struct answers {
        std::atomic<bool> done{false};
        std::atomic<ASIOError> in_switch{ASE_NotPresent};
        std::atomic<ASIOError> other{ASE_NotPresent};
        std::atomic<bool> other_after_switch{false};
        std::thread other_thread;
    };
    auto stops = std::make_shared<answers>();
    record().on_switch = [stops, driver, switch_first](int number) {
        if (number != 4) {
            return;
        }
        if (switch_first) {
            stops->in_switch = driver->stop();
        }
        stops->other_thread = std::thread([stops, driver] {
            stops->other = driver->stop();
            stops->other_after_switch = stops->done.load();
        });
        // Gives the other stop time to be under way (waiting for this thread, or for the mutex).
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!switch_first) {
            stops->in_switch = driver->stop();
        }
        stops->done = true;
    };
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([&] { return stops->done.load(); })) << "the switch's stop returned";
    stops->other_thread.join();
    EXPECT_EQ(ASE_OK, stops->in_switch.load());
    EXPECT_EQ(ASE_OK, stops->other.load());
    EXPECT_TRUE(stops->other_after_switch.load()) << "the other stop returned once the stream had ended";
    EXPECT_EQ(5, record().switches.load());
    EXPECT_EQ(ASE_NotPresent, driver->stop());
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 7; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
}

INSTANTIATE_TEST_SUITE_P(Order, DriverStopFromTwoThreads, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "SwitchFirst" : "OtherFirst");
                         });

TEST_F(DriverStream, LostSessionAsksForOneResetAndRefusesStartUntilTheDriverIsRecreated)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 3; }));
    ASSERT_TRUE(platform::audio_endpoint_disconnect(m_captureId, 5));
    platform::audio_notifications_drain();
    ASSERT_TRUE(wait_until([] { return record().resets.load() >= 1; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());

    // A later reason to reset is not reported again.
    EXPECT_EQ(ASE_OK, driver->createBuffers(infos, 4, 512, &callbacks));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(48000.0));
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ(1, record().resets.load());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());

    IASIO *fresh = create_driver();
    ASSERT_NE(fresh, nullptr);
    ASSERT_EQ(ASIOTrue, fresh->init(nullptr));
}

// A new rate once buffers exist, prepared (false) or running (true): it is stored, announced
// and reported by getSampleRate, the host is asked once for a reset, and the streams go on at
// the old rate, the time info flagging the change once and no longer calling the rate valid.
class DriverRateChange : public DriverStream, public ::testing::WithParamInterface<bool> {};

TEST_P(DriverRateChange, IsPendingUntilTheResetAndAsksForItOnce)
{
    const bool running = GetParam();
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    if (running) {
        ASSERT_EQ(ASE_OK, driver->start());
        ASSERT_TRUE(wait_until([] { return record().switches.load() >= 2; }));
    }
    size_t before = 0;
    {
        std::lock_guard<std::mutex> guard(record().lock);
        before = record().flags.size();
    }
    ASSERT_EQ(ASE_OK, driver->setSampleRate(48000.0));
    ASIOSampleRate rate = 0;
    EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
    EXPECT_EQ(48000.0, rate);
    EXPECT_EQ(1, record().rate_changes.load());
    EXPECT_EQ(1, record().resets.load());
    EXPECT_EQ(48000u, stored_setting_dword(L"sampling_rate"));
    if (!running) {
        ASSERT_EQ(ASE_OK, driver->start());
    }
    ASSERT_TRUE(wait_until([&] { return record().switches.load() >= (int)before + 4; }));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(44100.0));
    EXPECT_EQ(1, record().resets.load());
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(44100u, last_open_rate()) << "the streams keep the rate they were opened at";
    std::lock_guard<std::mutex> guard(record().lock);
    // A switch under way while the rate was set may still show the old one; the next shows the
    // new rate and the change.
    const std::vector<uint32_t> &flags = record().flags;
    std::vector<size_t> changed;
    for (size_t i = 0; i < flags.size(); ++i) {
        if ((flags[i] & kSampleRateChanged) != 0) {
            changed.push_back(i);
        }
        if (i < before) {
            EXPECT_EQ(44100.0, record().time_rates[i]) << i;
        } else if (i > before || !running) {
            EXPECT_EQ(48000.0, record().time_rates[i]) << i;
        }
    }
    ASSERT_EQ(1u, changed.size());
    EXPECT_GE(changed[0], before);
    EXPECT_LE(changed[0], before + (running ? 1 : 0));
    EXPECT_EQ(0u, flags.back() & (kSampleRateValid | kSampleRateChanged));
    EXPECT_NE(0u, flags.back() & kSamplePositionValid);
    for (size_t i = 1; i < record().positions.size(); ++i) {
        ASSERT_EQ(record().positions[i - 1] + 512, record().positions[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(PreparedOrRunning, DriverRateChange, ::testing::Bool());

TEST_F(DriverStream, SettingsChangeWhilePreparedAsksForOneReset)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_TRUE(wait_until([] { return presence_set(); }));

    store_setting_dword(L"buffer_size,2", 256);
    signal_settings_changed();
    ASSERT_TRUE(wait_until([] { return record().resets.load() >= 1; }));
    store_setting_dword(L"sampling_rate", 48000);
    signal_settings_changed();
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(1, record().resets.load());
}

TEST_F(DriverStream, SettingsChangeBeforeBuffersIsReportedByCreateBuffers)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    ASSERT_TRUE(wait_until([] { return presence_set(); }));
    store_setting_dword(L"buffer_size,2", 256);
    signal_settings_changed();
    ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    // The reload runs on the notification thread; until it did, createBuffers has nothing to
    // report.
    ASSERT_TRUE(wait_until([&] {
        if (driver->createBuffers(infos, 4, 512, &callbacks) == ASE_OK) {
            driver->disposeBuffers();
        }
        return record().resets.load() >= 1;
    }));
    EXPECT_EQ(ASE_OK, driver->createBuffers(infos, 4, 512, &callbacks));
    EXPECT_EQ(1, record().resets.load());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
}

TEST_F(DriverStream, SuspendStopsAndResumeRestartsASecondLaterWithoutResettingThePosition)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 4; }));

    ASSERT_GE(platform::broadcast_power_event(PBT_APMSUSPEND), 1u);
    size_t before = 0;
    int64_t last = 0;
    {
        std::lock_guard<std::mutex> guard(record().lock);
        before = record().positions.size();
        last = record().positions.back();
    }

    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    ASSERT_TRUE(wait_until([&] { return record().switches.load() >= (int)before + 4; }));
    {
        std::lock_guard<std::mutex> guard(record().lock);
        EXPECT_EQ(last + 512, record().positions[before]);
        EXPECT_EQ(1 - record().halves[before - 1], record().halves[before]);
    }
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverStream, HostStopWhileSuspendedCancelsTheRestart)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 2; }));
    ASSERT_GE(platform::broadcast_power_event(PBT_APMSUSPEND), 1u);
    EXPECT_EQ(ASE_NotPresent, driver->stop());
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    EXPECT_EQ(ASE_NotPresent, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
}

TEST_F(DriverStream, SecondResumeWhileTheTimerIsPendingRestartsAtOnce)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 2; }));
    ASSERT_GE(platform::broadcast_power_event(PBT_APMSUSPEND), 1u);
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    // The broadcast returns once the window has handled it: the stream runs again now, not a
    // second later.
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverStream, ASecondObjectsDestructionLeavesTheFirstItsStopEventAndItsPowerHandling)
{
    add_device();
    IASIO *first = create_driver();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(ASIOTrue, first->init(nullptr));
    IASIO *second = create_driver();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(ASIOTrue, second->init(nullptr));
    m_drivers.pop_back();
    second->Release();

    ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    ASSERT_EQ(ASE_OK, first->createBuffers(infos, 4, 512, &callbacks));
    ASSERT_EQ(ASE_OK, first->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 3; }));
    ASSERT_GE(platform::broadcast_power_event(PBT_APMSUSPEND), 1u);
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    ASSERT_GE(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    const int switches = record().switches.load();
    ASSERT_TRUE(wait_until([&] { return record().switches.load() >= switches + 3; }));
    EXPECT_EQ(ASE_OK, first->stop());
    EXPECT_EQ(ASE_OK, first->disposeBuffers());
}

// The second host of a process: callbacks carry no context, so it has its own.
std::atomic<int> g_second_switches{0};
void second_switch(int32_t, ASIOBool)
{
    g_second_switches++;
}
int32_t second_message(int32_t selector, int32_t, void *, double *)
{
    return selector == kAsioResetRequest ? 1 : 0;
}

TEST_F(DriverStream, TwoObjectsStreamTwoDevicesAndOneStopsAlone)
{
    const std::wstring firstKey = add_device(L"USB Audio", 1);
    const std::wstring secondKey = add_device(L"USB Audio", 2);
    store_setting_text(L"selected", firstKey);
    IASIO *first = create_driver();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(ASIOTrue, first->init(nullptr));
    store_setting_text(L"selected", secondKey);
    IASIO *second = create_driver();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(ASIOTrue, second->init(nullptr));

    ASIOBufferInfo firstInfos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOBufferInfo secondInfos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks firstCallbacks = recording_callbacks();
    ASIOCallbacks secondCallbacks = {second_switch, nullptr, second_message, nullptr};
    g_second_switches = 0;
    ASSERT_EQ(ASE_OK, first->createBuffers(firstInfos, 4, 512, &firstCallbacks));
    ASSERT_EQ(ASE_OK, second->createBuffers(secondInfos, 4, 512, &secondCallbacks));
    ASSERT_EQ(ASE_OK, first->start());
    ASSERT_EQ(ASE_OK, second->start());
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 5 && g_second_switches.load() >= 5; }));

    ASSERT_EQ(ASE_OK, first->stop());
    const int secondBefore = g_second_switches.load();
    EXPECT_TRUE(wait_until([&] { return g_second_switches.load() >= secondBefore + 10; }))
        << "the other object's stop ended this one's engine";
    EXPECT_EQ(ASE_OK, second->stop());
    EXPECT_EQ(ASE_OK, first->disposeBuffers());
    EXPECT_EQ(ASE_OK, second->disposeBuffers());
    EXPECT_EQ(0, record().resets.load());
}

class DriverLoopback : public DriverTest, public ::testing::WithParamInterface<double> {};

// On the paced clock the endpoints' periods wait for the driver and the host: a clean run.
TEST_P(DriverLoopback, ThirtyTwoBitHostHearsItsOutputAsACleanRun)
{
    add_device();
    sim::paced_clock clock;
    sim::asio_host_options options;
    options.driver = DriverName;
    options.sample_rate = GetParam();
    options.wow64_32 = true;
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    EXPECT_EQ("Orvan Marla Series ASIO", host.driver_name());
    EXPECT_EQ(GetParam(), host.sample_rate());
    ASSERT_TRUE(host.wait_buffer_switches(200, 20000));
    ASSERT_TRUE(host.stop());
    ASSERT_EQ(2u, host.inputs().size());
    std::string why;
    EXPECT_TRUE(host.clean_run(&why)) << why;
    EXPECT_EQ(0u, host.drop_outs());
    EXPECT_EQ(0, line_underruns());
    EXPECT_EQ(0u, clock.overruns()) << "the clock never ran ahead of the machine";
}

INSTANTIATE_TEST_SUITE_P(Rates, DriverLoopback, ::testing::Values(44100.0, 48000.0));

} // namespace
} // namespace stdasio_test
