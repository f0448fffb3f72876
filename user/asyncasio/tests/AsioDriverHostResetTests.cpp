// ovmlsaaso and the ways hosts answer its reset requests, against the channel test driver: a
// device chosen in the control panel while the host has buffers, taken by the host's reset
// whether it makes new buffers or loads the driver again; and a release from inside the reset
// request on each of the driver's threads.
#include "AsioChannelDriverFixture.h"
#include <sim/asio_host.h>
#include <platform/pnp.h>
#include <platform/window_station.h>
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

} // namespace
} // namespace asio_test
