// ovmlsaaso and the ways hosts answer its reset requests, against the channel test driver: a
// device chosen in the control panel while the host has buffers, taken by the host's reset
// whether it makes new buffers or loads the driver again.
#include "AsioChannelDriverFixture.h"
#include <sim/asio_host.h>
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

} // namespace
} // namespace asio_test
