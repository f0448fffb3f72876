// CAsioDeviceList over devices that ovmlsaau serves on the simulated machine: the record of the
// default device, two devices at once, the current-device rules, rate changes and removal.
#include "DriverMachineTest.h"
#include "AsioDeviceList.h"

namespace {

class DeviceListDriverTest : public DriverMachineTest {};

TEST_F(DeviceListDriverTest, FindsTheDefaultDevicesChannel)
{
    const attached_device device = attach();
    ASSERT_NE(nullptr, device.pdo);
    ASSERT_FALSE(device.channel_path.empty());

    CAsioDeviceList list;
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(1, list.GetCount());
    const AsioDeviceRecord *record = list.GetDevice(0);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(device.instance_id, record->InstanceId);
    // "\\?\usb#vid_3a51&pid_0102#ovm0001#{...}\wave_44100" became "...\asio".
    EXPECT_EQ(device.channel_path, record->ChannelPath);
    const std::wstring path = record->ChannelPath;
    EXPECT_EQ(0u, path.find(L"\\\\?\\usb#vid_3a51&pid_0102#"));
    EXPECT_EQ(path.size() - 5, path.find(L"\\asio"));
    EXPECT_STREQ(L"Marla Series USB Audio", record->Description);
    EXPECT_EQ(0u, record->IsCurrent);
    EXPECT_EQ(44100u, record->Range.Lowest);
    EXPECT_EQ(192000u, record->Range.Highest);
    EXPECT_EQ(1u, record->DsdNative);
    EXPECT_EQ(44100u, CAsioDeviceList::GetSampleRate(record));
    EXPECT_EQ(nullptr, list.GetCurrentDevice());

    // A rate change renames the WaveRT interface; the channel path stays the same.
    DWORD rate = 96000;
    ASSERT_TRUE(CAsioDeviceList::IoControl(record, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0));
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(device.channel_path, list.GetDevice(0)->ChannelPath);
    EXPECT_EQ(96000u, CAsioDeviceList::GetSampleRate(list.GetDevice(0)));
}

TEST_F(DeviceListDriverTest, NoDeviceGivesAnEmptyListAndNoCurrentDevice)
{
    CAsioDeviceList list;
    EXPECT_TRUE(list.EnumerateDevices());
    EXPECT_EQ(0, list.GetCount());
    EXPECT_EQ(nullptr, list.GetCurrentDevice());
    EXPECT_FALSE(list.SetCurrentDevice(0));
    EXPECT_EQ(-1, list.GetCurrentIndex());
}

TEST_F(DeviceListDriverTest, TwoDevicesAreListedAndTheCurrentOneIsFlaggedAlone)
{
    const attached_device first = attach(with_serial(u"OVM0001"));
    sim::audio_device_options no_vendor_mode;
    no_vendor_mode.vendor_mode_supported = false;
    const attached_device second = attach(with_serial(u"OVM0002"), no_vendor_mode);
    ASSERT_NE(nullptr, second.pdo);
    ASSERT_NE(first.channel_path, second.channel_path);

    CAsioDeviceList list;
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(2, list.GetCount());
    EXPECT_EQ(first.channel_path, list.GetDevice(0)->ChannelPath);
    EXPECT_EQ(second.channel_path, list.GetDevice(1)->ChannelPath);
    EXPECT_EQ(1u, list.GetDevice(0)->DsdNative);
    EXPECT_EQ(0u, list.GetDevice(1)->DsdNative);

    for (INT bad : {-1, 2}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(list.SetCurrentDevice(bad));
        EXPECT_EQ(-1, list.GetCurrentIndex());
    }
    ASSERT_TRUE(list.SetCurrentDevice(0));
    ASSERT_TRUE(list.SetCurrentDevice(1));
    EXPECT_EQ(0u, list.GetDevice(0)->IsCurrent);
    EXPECT_EQ(1u, list.GetDevice(1)->IsCurrent);
    EXPECT_EQ(list.GetDevice(1), list.GetCurrentDevice());
    EXPECT_FALSE(list.SetCurrentDevice(2));
    EXPECT_EQ(1, list.GetCurrentIndex());

    DWORD flag = 7;
    EXPECT_TRUE(list.FindDevice(first.instance_id.c_str(), &flag));
    EXPECT_EQ(0u, flag);
    EXPECT_TRUE(list.SelectDevice(first.instance_id.c_str()));
    EXPECT_EQ(0, list.GetCurrentIndex());
    EXPECT_EQ(1u, list.GetDevice(0)->IsCurrent);
    EXPECT_EQ(0u, list.GetDevice(1)->IsCurrent);

    // The index survives an enumeration; the fresh records carry no flag until re-selected.
    ASSERT_TRUE(list.EnumerateDevices());
    EXPECT_EQ(0, list.GetCurrentIndex());
    EXPECT_EQ(0u, list.GetDevice(0)->IsCurrent);
}

TEST_F(DeviceListDriverTest, DetachedDeviceIsNoLongerListed)
{
    const attached_device gone = attach(with_serial(u"OVM0001"));
    const attached_device stays = attach(with_serial(u"OVM0002"));
    ASSERT_NE(nullptr, stays.pdo);
    CAsioDeviceList list;
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(2, list.GetCount());
    ASSERT_EQ(STATUS_SUCCESS, m_machine->detach(gone.pdo));
    ASSERT_TRUE(list.EnumerateDevices());
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(stays.instance_id, list.GetDevice(0)->InstanceId);
}

} // namespace
