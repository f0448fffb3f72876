// ovmlsaaso and the ways hosts answer its reset requests, against the channel test driver: a
// device chosen in the control panel while the host has buffers, taken by the host's reset
// whether it makes new buffers or loads the driver again; a release from inside the reset
// request on each of the driver's threads; panel writes that come together; and a settings
// thread whose wait fails.
#include "AsioChannelDriverFixture.h"
#include <sim/asio_host.h>
#include <platform/pnp.h>
#include <platform/win32_handles.h>
#include <platform/window_station.h>
#include "NamedObjects.h"
#include "SyncObj.h"

namespace asio_test {
namespace {

class AsioDriverHostReset : public AsioChannelDriverTest {
protected:
    static void select_in_panel(const std::wstring &instance_id)
    {
        CRegUtil2 settings;
        ASSERT_EQ(REGUTIL_OK, settings.SetSelected(instance_id.c_str()));
        SYNCOBJ_ASIO::NotifySettingsChanged();
    }

    static void notify_index(DWORD rate, DWORD index)
    {
        store(rate, index);
        SYNCOBJ_ASIO::NotifySettingsChanged();
    }

    int32_t preferred_size()
    {
        int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
        EXPECT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
        return preferred;
    }

    double sample_rate()
    {
        double rate = 0;
        EXPECT_EQ(m_driver->getSampleRate(&rate), ASE_OK);
        return rate;
    }
};

// The host answers on its own thread: by disposing and creating its buffers, or by releasing
// the driver and loading it again.
class PanelDeviceChoice : public AsioDriverHostReset, public ::testing::WithParamInterface<bool> {};

TEST_P(PanelDeviceChoice, IsInUseAfterTheHostsReset)
{
    m_device = &add_device({DeviceId}, render_only);
    test_device &other = add_device({OtherDeviceId, L"Marla Other"}, render_only);
    store(48000, 7);
    sim::asio_host_options options;
    options.driver = L"Orvan Marla Series Async ASIO";
    options.reload_on_reset = GetParam();
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(4, 10000));
    EXPECT_EQ(m_device->state->Owner, 1);

    select_in_panel(OtherDeviceId);
    ASSERT_TRUE(host.wait_resets(1, 10000));
    const uint64_t after = host.buffer_switches();
    ASSERT_TRUE(host.wait_buffer_switches(after + 4, 10000));
    EXPECT_EQ(other.state->Owner, 1) << "the chosen device streams";
    EXPECT_EQ(other.state->Running, 1);
    EXPECT_EQ(m_device->state->OpenHandles, 0) << "the old device was given back";
    EXPECT_EQ(host.resets(), 1u);
    ASSERT_TRUE(host.stop());
    EXPECT_EQ(other.state->OpenHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, PanelDeviceChoice, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "ReloadTheDriver" : "NewBuffers");
                         });

// The thread on which the driver asks for the reset, and how it is brought to ask.
enum class asking_thread { settings, stream, message };

class ReleaseInsideResetRequest : public AsioDriverHostReset,
                                  public ::testing::WithParamInterface<asking_thread> {};

TEST_P(ReleaseInsideResetRequest, ReturnsToTheDriverAndTheTeardownEndsOnItsOwn)
{
    const asking_thread thread = GetParam();
    open_render_only();
    create_buffers();
    if (thread != asking_thread::settings) {
        ASSERT_EQ(m_driver->start(), ASE_OK);
        ASSERT_TRUE(wait_switches(4));
    }
    if (thread == asking_thread::message) {
        platform::broadcast_power_event(PBT_APMSUSPEND);
    }
    // The recorder holds the only reference from here on and lets go of it in the callback.
    m_driver = nullptr;
    record().release_on_reset = true;
    switch (thread) {
    case asking_thread::settings:
        notify_index(48000, 3);
        break;
    case asking_thread::stream:
        InterlockedExchange(&m_device->state->Running, 0); // every write fails
        break;
    case asking_thread::message:
        platform::pnp_node_of(m_device->pdo)->removed = true; // the power query fails
        platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC);
        break;
    }
    ASSERT_TRUE(wait_until([] { return record().released.load(); })) << "Release returned to the callback";
    ASSERT_TRUE(wait_until([&] { return m_device->state->OpenHandles == 0; })) << "the teardown ended";
    platform::pnp_node_of(m_device->pdo)->removed = false;
    EXPECT_EQ(m_device->state->Owner, 0);
    EXPECT_EQ(record().resets.load(), 1);

    m_driver = create_asio_driver();
    ASSERT_NE(m_driver, nullptr) << "the process's driver place was given back";
    EXPECT_EQ(m_driver->init(nullptr), ASIOTrue) << "and so were the named objects";
}

std::string thread_name(const ::testing::TestParamInfo<asking_thread> &info)
{
    return info.param == asking_thread::settings ? "SettingsThread"
           : info.param == asking_thread::stream ? "StreamThread"
                                                 : "MessageThread";
}

INSTANTIATE_TEST_SUITE_P(Threads, ReleaseInsideResetRequest,
                         ::testing::Values(asking_thread::settings, asking_thread::stream, asking_thread::message),
                         thread_name);

// A host that answers the panel's reset request by setting a rate does so on the settings
// thread, inside the comparison that holds the settings mutex, while its switch asks the driver
// for the rate and the channels: the stream still ends at once and goes on at the new rate.
TEST_F(AsioDriverHostReset, RateSetInsideTheSettingsThreadsResetRequestStopsTheStreamAtOnce)
{
    open_render_only();
    create_buffers();
    struct answer {
        std::atomic<bool> done{false};
        std::atomic<ASIOError> result{ASE_OK};
        std::atomic<ULONGLONG> took_ms{0};
    };
    auto answered = std::make_shared<answer>();
    record().reset_answer = [answered](IASIO *driver) {
        if (answered->done.load()) {
            return;
        }
        const ULONGLONG began = GetTickCount64();
        answered->result = driver->setSampleRate(96000);
        answered->took_ms = GetTickCount64() - began;
        answered->done = true;
    };
    record().query_in_switch = true;
    ASSERT_EQ(m_driver->start(), ASE_OK);
    ASSERT_TRUE(wait_switches(4));
    notify_index(48000, 3);
    ASSERT_TRUE(wait_until([&] { return answered->done.load(); }, 20000));
    EXPECT_EQ(answered->result.load(), ASE_OK);
    EXPECT_LT(answered->took_ms.load(), 5000u) << "no wait for a stream thread stuck on the settings mutex";
    EXPECT_EQ(m_device->state->CurrentRate, 96000u);
    const int after = record().switches.load();
    ASSERT_TRUE(wait_switches(after + 4)) << "streaming goes on at the new rate";
    EXPECT_EQ(record().resets.load(), 1) << "the panel's; none for a stream thread that had to be ended";
    ASSERT_EQ(m_driver->stop(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

// The settings-changed event is auto-reset: writes that come while the settings thread is busy
// give one comparison. Each comparison asks again for a rate change the host has not answered,
// which makes the number of comparisons visible.
TEST_F(AsioDriverHostReset, PanelWritesWhileTheSettingsThreadIsBusyGiveOneComparison)
{
    open_render_only();
    create_buffers();
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(gate, nullptr);
    record().reset_gate = gate;
    const int messages = record().messages.load();
    notify_index(48000, 3);
    ASSERT_TRUE(wait_until([&] { return record().messages.load() == messages + 1; })) << "held in the reset request";
    notify_index(96000, 3);
    notify_index(96000, 4);
    notify_index(96000, 5);
    SetEvent(gate);
    ASSERT_TRUE(wait_until([] { return record().resets.load() >= 2; }));
    // A last write: its comparison follows every earlier one.
    notify_index(96000, 6);
    ASSERT_TRUE(wait_until([&] { return record().resets.load() >= 3 && preferred_size() == 7 * 64; }));
    EXPECT_EQ(record().resets.load(), 3) << "one comparison for the three writes in between";
    record().reset_gate = nullptr;
    CloseHandle(gate);
}

// Closes this process's handles to the named settings-changed event, other than one of the
// test's own, among the handles made between first and last: as a host that closes handles
// it does not own would. Returns how many it closed.
size_t close_handles_to_change_event(HANDLE first, HANDLE last)
{
    const HANDLE own = OpenEventW(SYNCHRONIZE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME);
    EXPECT_NE(own, nullptr);
    platform::win32_object *target = platform::win32_handle_reference(own);
    size_t closed = 0;
    for (ULONG_PTR value = (ULONG_PTR)first; value <= (ULONG_PTR)last; value += 4) {
        platform::win32_object *object =
            value == (ULONG_PTR)own ? nullptr : platform::win32_handle_reference((HANDLE)value);
        if (object == nullptr) {
            continue;
        }
        if (object == target) {
            EXPECT_TRUE(CloseHandle((HANDLE)value));
            ++closed;
        }
        platform::win32_object_dereference(object);
    }
    platform::win32_object_dereference(target);
    CloseHandle(own);
    return closed;
}

TEST_F(AsioDriverHostReset, SettingsThreadGoesOnFollowingThePanelAfterItsWaitFailed)
{
    const HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(first, nullptr);
    open_render_only();
    const HANDLE last = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(close_handles_to_change_event(first, last), 1u) << "the driver's handle";

    // The wait in progress still ends on the signal; the next one fails.
    notify_index(96000, 7);
    ASSERT_TRUE(wait_until([&] { return sample_rate() == 96000.0; }));
    notify_index(44100, 7);
    EXPECT_TRUE(wait_until([&] { return sample_rate() == 44100.0; })) << "the panel is still followed";
    HANDLE marker = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME);
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(WaitForSingleObject(marker, 0), WAIT_OBJECT_0) << "and the driver still says it listens";
    CloseHandle(marker);
    CloseHandle(first);
    CloseHandle(last);
    EXPECT_EQ(record().messages.load(), 0);
}

} // namespace
} // namespace asio_test
