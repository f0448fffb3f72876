// The device list: recognition of supported USB devices by the vendor and product tokens in the
// endpoints' device path, pairing of render and capture endpoints, skipped endpoints, and the
// selection operations.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <memory>
#include <string>
#include <platform/audio_endpoint.h>
#include <sim/audio_endpoints.h>
#include <sim/machine.h>
#include "DeviceList.h"

namespace {

const std::wstring Supported = L"USB\\VID_3A51&PID_0201\\";
const std::wstring SecondModel = L"USB\\VID_3A51&PID_0202&MI_00\\";

GUID EndpointGuid(ULONG n, platform::audio_flow flow)
{
    return GUID{0x0DE10000u + n, 0x1234, static_cast<USHORT>(0x4000 | static_cast<USHORT>(flow)),
                {0x80, 0, 0, 0, 0, 0, 0, 1}};
}

TEST(MatchUsbIdsTest, MatchesTheVendorAndProductTokensOfAUsbKeyExactly)
{
    struct row {
        const WCHAR *key;
        BOOL result;
        int match;
    };
    const row rows[] = {
        {L"USB\\VID_3A51&PID_0201\\OVS1", TRUE, 1},
        {L"USB\\VID_3A51&PID_0201&MI_00\\7&1A&0&0000", TRUE, 1},
        {L"\\\\USB\\\\VID_3A51&&PID_0201", TRUE, 1},  // runs of separators count as one
        {L"USB\\VID_3A51&PID_0202\\OVS1", TRUE, 0},   // the other row's product
        {L"USB\\VID_3a51&PID_0201\\OVS1", TRUE, 0},   // tokens are case-sensitive
        {L"USB\\VID_1234&PID_0201\\OVS1", TRUE, 0},   // another vendor
        {L"usb\\VID_3A51&PID_0201\\OVS1", TRUE, 0},   // the bus name is case-sensitive too
        {L"HDAUDIO\\VID_3A51&PID_0201\\1", TRUE, 0},  // another bus
        {L"USB\\VID_3A51", TRUE, 0},                  // no product token
        {L"USB", TRUE, 0},
        {L"\\\\", FALSE, 0},                          // no first piece
        {L"", FALSE, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << std::string(r.key, r.key + wcslen(r.key)));
        int match = 7;
        EXPECT_EQ(OvMatchUsbIds(r.key, L"VID_3A51", L"PID_0201", &match), r.result);
        EXPECT_EQ(match, r.match);
    }
    int match = 7;
    EXPECT_FALSE(OvMatchUsbIds(nullptr, L"VID_3A51", L"PID_0201", &match));
    EXPECT_EQ(match, 0);
    EXPECT_FALSE(OvMatchUsbIds(L"USB\\VID_3A51&PID_0201\\1", L"VID_3A51", L"PID_0201", nullptr));
}

class DeviceListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    void TearDown() override
    {
        CoUninitialize();
        m_machine.reset();
    }

    // An endpoint whose device path is "{1}." followed by key (or path itself when raw).
    std::wstring Add(platform::audio_flow flow, ULONG n, const std::wstring &key, const std::wstring &name = L"Marla",
                     bool raw = false)
    {
        const std::wstring id = sim::add_plain_endpoint(flow, EndpointGuid(n, flow), raw ? key : L"{1}." + key, name);
        EXPECT_FALSE(id.empty());
        return id;
    }
    std::wstring AddRender(ULONG n, const std::wstring &key, const std::wstring &name = L"Marla")
    {
        return Add(platform::audio_flow::render, n, key, name);
    }
    std::wstring AddCapture(ULONG n, const std::wstring &key) { return Add(platform::audio_flow::capture, n, key); }

    std::unique_ptr<sim::machine> m_machine;
    OVDEVICELIST m_list;
};

TEST_F(DeviceListTest, ListsASupportedDeviceWithItsNameKeyAndBothEndpoints)
{
    const std::wstring render = AddRender(1, Supported + L"OVS1", L"Marla 2x2");
    const std::wstring capture = AddCapture(1, Supported + L"OVS1");
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 1u);
    const OVDEVICERECORD *record = m_list.recordAt(0);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->name, L"Marla 2x2");
    EXPECT_EQ(std::wstring(record->key), Supported + L"OVS1");
    EXPECT_EQ(std::wstring(record->renderId), render);
    EXPECT_EQ(std::wstring(record->captureId), capture);
    EXPECT_EQ(record->paired, 1);
    EXPECT_EQ(record->selected, 0);
    EXPECT_EQ(m_list.recordAt(1), nullptr);
    EXPECT_TRUE(m_list.hasDevices());
}

TEST_F(DeviceListTest, SkipsDevicesWithoutBothEndpointsAndEndpointsThatAreNotSupportedUsbDevices)
{
    AddRender(1, Supported + L"NOCAPTURE");
    AddCapture(2, Supported + L"NORENDER");
    AddRender(3, L"USB\\VID_1234&PID_0201\\X");  // another vendor
    AddCapture(3, L"USB\\VID_1234&PID_0201\\X");
    AddRender(4, L"HDAUDIO\\FUNC_01&VEN_3A51&DEV_0201\\1");  // another bus
    AddCapture(4, L"HDAUDIO\\FUNC_01&VEN_3A51&DEV_0201\\1");
    Add(platform::audio_flow::render, 5, L"NOSEPARATOR", L"Marla", true);  // one piece only
    Add(platform::audio_flow::capture, 5, L"NOSEPARATOR", L"Marla", true);
    AddRender(6, Supported + L"OVS6");
    AddCapture(6, Supported + L"OVS6");
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 1u);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->key), Supported + L"OVS6");

    // A device that leaves is not listed at the next refresh.
    ASSERT_TRUE(platform::audio_endpoint_remove(m_list.recordAt(0)->captureId));
    ASSERT_TRUE(m_list.refresh());
    EXPECT_EQ(m_list.count(), 0u);
    EXPECT_FALSE(m_list.hasDevices());
}

TEST_F(DeviceListTest, TwoDevicesOfOneModelAreListedInRenderOrderEachWithItsOwnCapture)
{
    const std::wstring renderB = AddRender(1, Supported + L"B");
    const std::wstring captureA = AddCapture(2, Supported + L"A");
    const std::wstring renderA = AddRender(3, Supported + L"A");
    const std::wstring captureB = AddCapture(4, Supported + L"B");
    const std::wstring renderC = AddRender(5, SecondModel + L"7&1&0&0000");
    const std::wstring captureC = AddCapture(5, SecondModel + L"7&1&0&0000");
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 3u);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->renderId), renderB);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->captureId), captureB);
    EXPECT_EQ(std::wstring(m_list.recordAt(1)->renderId), renderA);
    EXPECT_EQ(std::wstring(m_list.recordAt(1)->captureId), captureA);
    EXPECT_EQ(std::wstring(m_list.recordAt(2)->captureId), captureC);
}

TEST_F(DeviceListTest, SeveralEndpointsOfOneDevicePairInEnumerationOrder)
{
    const std::wstring render1 = AddRender(1, Supported + L"M");
    const std::wstring render2 = AddRender(2, Supported + L"M");
    const std::wstring capture1 = AddCapture(3, Supported + L"M");
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 1u);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->renderId), render1);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->captureId), capture1);
}

TEST_F(DeviceListTest, ADevicePathThatIsNotAStringOrTooLongIsSkipped)
{
    const std::wstring id = AddRender(1, Supported + L"REG");
    AddCapture(1, Supported + L"REG");
    AddRender(2, Supported + std::wstring(100, L'L'));  // 124 characters of path: fits, key too
    AddCapture(2, Supported + std::wstring(100, L'L'));
    AddRender(3, Supported + std::wstring(130, L'X'));  // more than the 256 bytes read
    AddCapture(3, Supported + std::wstring(130, L'X'));
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 2u);

    // The engine's registry copy of the render endpoint's device path turns into a number.
    const std::wstring guid = id.substr(id.find(L".{") + 1);
    const std::wstring path =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render\\" + guid + L"\\Properties";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
    const DWORD number = 1;
    ASSERT_EQ(RegSetValueExW(key, L"{b3f8fa53-0004-438e-9003-51a46e139bfc},2", 0, REG_DWORD,
                             reinterpret_cast<const BYTE *>(&number), sizeof(number)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 1u);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->key), Supported + std::wstring(100, L'L'));
}

TEST_F(DeviceListTest, ADevicePathStoredWithoutItsTerminatorIsReadWithinItsBuffer)
{
    // 128 characters fill the 256 bytes that are read, so no terminator comes with them.
    const std::wstring key = Supported + std::wstring(128 - 4 - Supported.size(), L'T');
    const std::wstring value = L"{1}." + key;
    ASSERT_EQ(value.size(), 128u);
    for (const std::wstring &id : {AddRender(1, key), AddCapture(1, key)}) {
        const bool render = id.rfind(L"{0.0.0.", 0) == 0;
        const std::wstring path = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\") +
                                  (render ? L"Render\\" : L"Capture\\") + id.substr(id.find(L".{") + 1) + L"\\Properties";
        HKEY handle = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE | KEY_WOW64_64KEY, &handle), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(handle, L"{b3f8fa53-0004-438e-9003-51a46e139bfc},2", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(value.data()), (DWORD)(value.size() * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(handle);
    }
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 1u);
    EXPECT_EQ(std::wstring(m_list.recordAt(0)->key), key);
}

TEST_F(DeviceListTest, SelectionFollowsIndexAndExactKey)
{
    AddRender(1, Supported + L"A");
    AddCapture(1, Supported + L"A");
    AddRender(2, Supported + L"B");
    AddCapture(2, Supported + L"B");
    ASSERT_TRUE(m_list.refresh());
    DWORD index = 77;
    EXPECT_FALSE(m_list.findSelected(&index));
    EXPECT_EQ(index, 77u);
    WCHAR key[OV_DEVICE_TEXT_CHARS] = L"untouched";
    EXPECT_FALSE(m_list.selectedKey(key, ARRAYSIZE(key)));

    EXPECT_TRUE(m_list.selectIndex(1));
    EXPECT_TRUE(m_list.findSelected(&index));
    EXPECT_EQ(index, 1u);
    EXPECT_FALSE(m_list.selectIndex(2));
    EXPECT_TRUE(m_list.findSelected(&index));
    EXPECT_EQ(index, 1u);

    EXPECT_FALSE(m_list.selectByKey((Supported + L"a").c_str()));
    EXPECT_FALSE(m_list.findSelected(&index)) << "a key that matches none deselects every record";
    EXPECT_TRUE(m_list.selectByKey((Supported + L"A").c_str()));
    EXPECT_TRUE(m_list.findSelected(&index));
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(m_list.selectByKey(nullptr));
    EXPECT_TRUE(m_list.findSelected(&index));

    EXPECT_TRUE(m_list.selectedKey(key, ARRAYSIZE(key)));
    EXPECT_EQ(std::wstring(key), Supported + L"A");
    EXPECT_FALSE(m_list.selectedKey(key, static_cast<DWORD>(Supported.size() + 1))) << "no room for the whole key";
    EXPECT_FALSE(m_list.selectedKey(nullptr, ARRAYSIZE(key)));
    EXPECT_FALSE(m_list.selectedKey(key, 0));

    int found = 5;
    int selected = 5;
    EXPECT_TRUE(m_list.findKey((Supported + L"B").c_str(), &found, &selected));
    EXPECT_EQ(found, 1);
    EXPECT_EQ(selected, 0);
    EXPECT_TRUE(m_list.findKey((Supported + L"A").c_str(), &found, &selected));
    EXPECT_EQ(selected, 1);
    EXPECT_FALSE(m_list.findKey(L"USB\\VID_3A51&PID_0201\\GONE", &found, &selected));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(selected, 0);
    EXPECT_FALSE(m_list.findKey(nullptr, &found, &selected));
}

TEST_F(DeviceListTest, RefreshFailsWithoutComAndLeavesTheListEmpty)
{
    AddRender(1, Supported + L"A");
    AddCapture(1, Supported + L"A");
    ASSERT_TRUE(m_list.refresh());
    ASSERT_EQ(m_list.count(), 1u);
    CoUninitialize();
    const BOOL refreshed = m_list.refresh();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_FALSE(refreshed);
    EXPECT_EQ(m_list.count(), 0u);
}

} // namespace
