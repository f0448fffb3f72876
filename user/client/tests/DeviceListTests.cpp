// CAsioDeviceList against devices of the channel test driver: which interfaces are listed (by
// service, reference string and probe answers), the probes each record costs, and the ASCII-only
// case folding of instance IDs.
#include "ChannelMachineTest.h"
#include "AsioDeviceList.h"

namespace {

class DeviceListTest : public ChannelMachineTest {};

TEST_F(DeviceListTest, ListsOnlyTheAsyncDriversDevicesThatAnswerBothProbes)
{
    add_device({L"USB\\VID_1234&PID_0001\\A1", L"Marla Async One"}, [](CHANNEL_TEST_DEVICE &s) {
        s.Range = {32000, 192000};
        s.DsdNative = 1;
    });
    add_device({L"USB\\VID_1234&PID_0002\\B2", L"Other Maker", L"OTHERSVC"});
    add_device({L"USB\\VID_1234&PID_0003\\C3", L"No Wave", L"OVMLSAAU", L"Topology"});
    add_device({L"USB\\VID_1234&PID_0004\\D4", L"Dsd Probe Fails"},
               [](CHANNEL_TEST_DEVICE &s) { s.FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_DSD_SUPPORT); });
    add_device({L"USB\\VID_1234&PID_0005\\E5", L"Short Range"},
               [](CHANNEL_TEST_DEVICE &s) { s.ShortMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_RATE_RANGE); });
    add_device({L"USB\\VID_1234&PID_0006\\F6", L"Service Case", L"ovmlsaau"});
    add_device({L"USB\\VID_1234&PID_0007\\G7", L"Marla Async Two", L"OVMLSAAU", L"WAVE"},
               [](CHANNEL_TEST_DEVICE &s) { s.DsdNative = 0; });

    CAsioDeviceList list;
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(2, list.GetCount());

    const AsioDeviceRecord *first = list.GetDevice(0);
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ(L"USB\\VID_1234&PID_0001\\A1", first->InstanceId);
    EXPECT_EQ(channel_path_of(L"USB\\VID_1234&PID_0001\\A1"), first->ChannelPath);
    EXPECT_STREQ(L"Marla Async One", first->Description);
    EXPECT_EQ(0u, first->IsCurrent);
    EXPECT_EQ(32000u, first->Range.Lowest);
    EXPECT_EQ(192000u, first->Range.Highest);
    EXPECT_EQ(1u, first->DsdNative);

    // "\WAVE" matches once the path is lower-cased.
    const AsioDeviceRecord *second = list.GetDevice(1);
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ(L"USB\\VID_1234&PID_0007\\G7", second->InstanceId);
    EXPECT_EQ(channel_path_of(L"USB\\VID_1234&PID_0007\\G7"), second->ChannelPath);
    EXPECT_EQ(0u, second->DsdNative);

    EXPECT_EQ(nullptr, list.GetDevice(2));
    EXPECT_EQ(nullptr, list.GetDevice(-1));
    EXPECT_EQ(nullptr, list.GetCurrentDevice());
    EXPECT_EQ(48000u, CAsioDeviceList::GetSampleRate(first));
}

TEST_F(DeviceListTest, ProbesReachTheChannelAndCloseTheirHandles)
{
    test_device &device = add_device({L"USB\\VID_1234&PID_0001\\A1"});
    CAsioDeviceList list;
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(1, list.GetCount());
    const std::vector<ULONG> expected = {CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_GET_RATE_RANGE),
                                         CHANNEL_TEST_FUNCTION(IOCTL_QELASIO_GET_DSD_SUPPORT)};
    EXPECT_EQ(expected, calls(device));
    EXPECT_EQ(0, device.state->OpenHandles);

    device.state->ShortMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_SAMPLE_RATE);
    EXPECT_EQ(0u, CAsioDeviceList::GetSampleRate(list.GetDevice(0)));
    device.state->ShortMask = 0;
    device.state->FailMask = CHANNEL_TEST_BIT(IOCTL_QELASIO_GET_SAMPLE_RATE);
    EXPECT_EQ(0u, CAsioDeviceList::GetSampleRate(list.GetDevice(0)));
    EXPECT_EQ(0u, CAsioDeviceList::GetSampleRate(nullptr));
    EXPECT_EQ(0, device.state->OpenHandles);
}

TEST_F(DeviceListTest, SelectDeviceFoldsOnlyAsciiLetters)
{
    add_device({L"USB\\VID_1234&PID_0001\\A1"});
    add_device({L"USB\\VID_1234&PID_0002\\S\u00C9RIE"});
    CAsioDeviceList list;
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(2, list.GetCount());

    EXPECT_TRUE(list.SelectDevice(L"usb\\vid_1234&pid_0001\\a1"));
    EXPECT_EQ(0, list.GetCurrentIndex());
    EXPECT_FALSE(list.SelectDevice(L"usb\\vid_1234&pid_0002\\s\u00E9rie"));
    EXPECT_EQ(0, list.GetCurrentIndex());
    EXPECT_TRUE(list.SelectDevice(L"usb\\vid_1234&pid_0002\\s\u00C9rie"));
    EXPECT_EQ(1, list.GetCurrentIndex());
    EXPECT_EQ(0u, list.GetDevice(0)->IsCurrent);
    EXPECT_FALSE(list.SelectDevice(L"USB\\VID_1234&PID_0001"));
    EXPECT_FALSE(list.SelectDevice(nullptr));
    EXPECT_EQ(1, list.GetCurrentIndex());
}

} // namespace
