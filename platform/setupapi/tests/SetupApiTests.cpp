// SetupAPI and CfgMgr over device nodes and interfaces made through the PnP manager: class
// enumeration, interface details and properties with their size queries, end of lists,
// removal, device keys and the process that owns a set.
#include <gtest/gtest.h>
#include <wdm.h>
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/io_driver.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/process.h>
#include <platform/registry.h>
#include "../device_info_set.h"
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::wstring audio_guid_text = L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
const GUID other_class = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

NTSTATUS complete_everything(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class SetupApiTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        driver = platform::io_create_driver_object(L"setupapitest", "");
        for (auto &entry : driver->MajorFunction) {
            entry = complete_everything;
        }
    }

    void TearDown() override
    {
        EXPECT_EQ(0u, platform::devinfo_open_set_count()) << "a test leaked a device information set";
        while (driver->DeviceObject != nullptr) {
            IoDeleteDevice(driver->DeviceObject);
        }
        platform::io_discard_driver_object(driver);
        platform::machine_shutdown();
    }

    PDEVICE_OBJECT add_device(const std::wstring &instance, const std::wstring &service, const std::wstring &description)
    {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo));
        platform::device_node fields;
        fields.instance_id = instance;
        fields.hardware_ids = {instance.substr(0, instance.rfind(L'\\')) + L"&REV_0100",
                               instance.substr(0, instance.rfind(L'\\'))};
        fields.service = service;
        fields.description = description;
        fields.manufacturer = L"Orvan";
        EXPECT_NE(nullptr, platform::pnp_create_node(pdo, fields));
        return pdo;
    }

    // Registers and enables an interface; returns its kernel link.
    std::wstring add_interface(PDEVICE_OBJECT pdo, const GUID &class_guid, const WCHAR *reference)
    {
        UNICODE_STRING ref{}, link{};
        RtlInitUnicodeString(&ref, reference);
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &class_guid, reference ? &ref : nullptr, &link));
        EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
        std::wstring text(link.Buffer, link.Length / sizeof(WCHAR));
        RtlFreeUnicodeString(&link);
        return text;
    }

    static void disable(const std::wstring &link)
    {
        UNICODE_STRING name{};
        RtlInitUnicodeString(&name, link.c_str());
        EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, FALSE));
    }

    // The paths of the interfaces a present-interface set of class lists, in order.
    static std::vector<std::wstring> listed_paths(const GUID &class_guid)
    {
        std::vector<std::wstring> paths;
        HDEVINFO set = SetupDiGetClassDevsW(&class_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(INVALID_HANDLE_VALUE, set);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &class_guid, i, &data); ++i) {
            alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_W) BYTE buffer[4 + 262 * sizeof(WCHAR)];
            auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof(buffer), nullptr, nullptr));
            paths.push_back(detail->DevicePath);
        }
        EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return paths;
    }

    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(SetupApiTests, PresentInterfacesOfAClassAreListedWithTheirUserModePaths)
{
    PDEVICE_OBJECT first = add_device(L"USB\\VID_1234&PID_ABCD\\0001", L"OVMLSAAU", L"Async device");
    PDEVICE_OBJECT second = add_device(L"USB\\VID_1234&PID_ABCE\\0002", L"usbaudio", L"Other device");
    add_interface(first, KSCATEGORY_AUDIO, L"Wave_48000");
    add_interface(first, other_class, L"Topology");
    add_interface(second, KSCATEGORY_AUDIO, L"Wave");
    const std::wstring unused = add_interface(second, KSCATEGORY_RENDER, L"Wave");
    disable(unused);

    const auto paths = listed_paths(KSCATEGORY_AUDIO);
    ASSERT_EQ(2u, paths.size());
    EXPECT_EQ(L"\\\\?\\usb#vid_1234&pid_abcd#0001#" + audio_guid_text + L"\\Wave_48000", paths[0]);
    EXPECT_EQ(L"\\\\?\\usb#vid_1234&pid_abce#0002#" + audio_guid_text + L"\\Wave", paths[1]);
    EXPECT_TRUE(listed_paths(KSCATEGORY_RENDER).empty()) << "a disabled interface is not present";

    HDEVINFO every = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES);
    ASSERT_NE(INVALID_HANDLE_VALUE, every);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(every, nullptr, &other_class, 0, &data)) << "every class is in the set";
    ASSERT_TRUE(SetupDiEnumDeviceInfo(every, 1, &device));
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(every, &device, &KSCATEGORY_AUDIO, 0, &data)) << "the second device's own";
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(every, &device, &KSCATEGORY_AUDIO, 1, &data));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(every, &device, &other_class, 0, &data));
    data.cbSize = 8;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(every, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(every));

    HANDLE file = CreateFileW((paths[0].substr(0, paths[0].rfind(L'\\')) + L"\\asio").c_str(),
                              GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << "the listed path is one CreateFileW opens";
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(SetupApiTests, ARemovedDevicesInterfaceIsNoLongerListedButAnEarlierSnapshotKeepsIt)
{
    PDEVICE_OBJECT pdo = add_device(L"USB\\VID_1234&PID_ABCD\\0001", L"OVMLSAAU", L"Async device");
    const std::wstring link = add_interface(pdo, KSCATEGORY_AUDIO, L"Wave_44100");
    HDEVINFO before = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, before);

    platform::pnp_mark_removed(pdo);
    EXPECT_TRUE(listed_paths(KSCATEGORY_AUDIO).empty());

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(before, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_EQ((DWORD)SPINT_ACTIVE, data.Flags) << "flags as they were when the set was made";

    HDEVINFO all = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, all);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_EQ((DWORD)SPINT_REMOVED, data.Flags);

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    DWORD status = 0, problem = 0;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 0, &device));
    EXPECT_EQ((CONFIGRET)CR_NO_SUCH_DEVNODE, CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0));
    DEVINST located = 0;
    EXPECT_EQ((CONFIGRET)CR_NO_SUCH_DEVNODE, CM_Locate_DevNodeW(&located, (DEVINSTID_W)L"USB\\VID_1234&PID_ABCD\\0001", 0));
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Locate_DevNodeW(&located, (DEVINSTID_W)L"usb\\vid_1234&pid_abcd\\0001",
                                                        CM_LOCATE_DEVNODE_PHANTOM));
    EXPECT_EQ(device.DevInst, located);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(before));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
}

TEST_F(SetupApiTests, InterfaceDetailSizeQueryAndShortBuffers)
{
    PDEVICE_OBJECT pdo = add_device(L"USB\\VID_1234&PID_ABCD\\0001", L"OVMLSAAU", L"Async device");
    add_interface(pdo, KSCATEGORY_AUDIO, L"Wave_48000");
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_TRUE(IsEqualGUID(KSCATEGORY_AUDIO, data.InterfaceClassGuid));

    const std::wstring expected = L"\\\\?\\usb#vid_1234&pid_abcd#0001#" + audio_guid_text + L"\\Wave_48000";
    const DWORD exact = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (expected.size() + 1) * sizeof(WCHAR));
    DWORD required = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, &device));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(exact, required);
    EXPECT_NE(0u, device.DevInst) << "the device is reported with the size query";

    std::vector<BYTE> buffer(exact + 16, 0xCD);
    auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, exact - 1, &required, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0xCD, buffer[4]) << "a short buffer is left untouched";

    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, exact, &required, nullptr));
    EXPECT_EQ(expected, std::wstring(detail->DevicePath));
    EXPECT_EQ(0xCD, buffer[exact]) << "nothing written past the path";

    detail->cbSize = exact;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, exact, &required, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError()) << "cbSize is the record's size, not the buffer's";
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, exact, &required, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());

    SP_DEVICE_INTERFACE_DATA forged = data;
    forged.Reserved = 7;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &forged, nullptr, 0, &required, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTests, DevicePropertiesWithSizeQueriesAndAbsentValues)
{
    PDEVICE_OBJECT pdo = add_device(L"USB\\VID_1234&PID_ABCD\\0001", L"OVMLSAAU", L"Async device");
    add_interface(pdo, KSCATEGORY_AUDIO, L"Wave_48000");
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &device));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());

    struct row {
        DWORD property;
        DWORD type;
        std::wstring value; // terminators included
    };
    const row rows[] = {
        {SPDRP_SERVICE, REG_SZ, std::wstring(L"OVMLSAAU") + L'\0'},
        {SPDRP_DEVICEDESC, REG_SZ, std::wstring(L"Async device") + L'\0'},
        {SPDRP_MFG, REG_SZ, std::wstring(L"Orvan") + L'\0'},
        {SPDRP_ENUMERATOR_NAME, REG_SZ, std::wstring(L"USB") + L'\0'},
        {SPDRP_HARDWAREID, REG_MULTI_SZ,
         std::wstring(L"USB\\VID_1234&PID_ABCD&REV_0100") + L'\0' + L"USB\\VID_1234&PID_ABCD" + L'\0' + L'\0'},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.property);
        const DWORD bytes = (DWORD)(r.value.size() * sizeof(WCHAR));
        DWORD type = 0xFFFF, required = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, r.property, &type, nullptr, 0, &required));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        EXPECT_EQ(bytes, required);
        EXPECT_EQ(r.type, type);
        std::vector<BYTE> buffer(bytes + 8, 0xCD);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, r.property, &type, buffer.data(), bytes - 1, &required));
        EXPECT_EQ(0xCD, buffer[0]);
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &device, r.property, &type, buffer.data(), bytes, &required));
        EXPECT_EQ(0, std::memcmp(buffer.data(), r.value.data(), bytes));
        EXPECT_EQ(0xCD, buffer[bytes]);
    }

    DWORD required = 0;
    BYTE small[4];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr, small, sizeof(small), &required));
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError()) << "a property the device lacks";
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_MAXIMUM_PROPERTY, nullptr, small, sizeof(small), &required));
    EXPECT_EQ((DWORD)ERROR_INVALID_REG_PROPERTY, GetLastError());

    ASSERT_TRUE(platform::registry_seed_string(L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_ABCD\\0001",
                                               L"FriendlyName", L"Studio interface"));
    std::vector<BYTE> name(64 * sizeof(WCHAR));
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr, name.data(), (DWORD)name.size(), &required));
    EXPECT_EQ(std::wstring(L"Studio interface"), std::wstring(reinterpret_cast<const WCHAR *>(name.data())))
        << "what the node lacks comes from the device's Enum key";

    SP_DEVINFO_DATA wrong = device;
    wrong.cbSize = sizeof(device) - 4;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &wrong, SPDRP_SERVICE, nullptr, nullptr, 0, &required));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    wrong = device;
    wrong.Reserved = 5;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &wrong, SPDRP_SERVICE, nullptr, nullptr, 0, &required));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTests, InstanceIdsThroughSetupApiAndTheConfigurationManager)
{
    const std::wstring instance = L"USB\\VID_1234&PID_ABCD\\0001";
    PDEVICE_OBJECT pdo = add_device(instance, L"OVMLSAAU", L"Async device");
    add_interface(pdo, KSCATEGORY_AUDIO, L"Wave_48000");
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));

    const DWORD chars = (DWORD)instance.size() + 1;
    WCHAR buffer[261];
    std::wmemset(buffer, L'#', 261);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &device, buffer, chars - 1, &required));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(chars, required);
    EXPECT_EQ(L'#', buffer[0]);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, buffer, 261, &required));
    EXPECT_EQ(instance, std::wstring(buffer));

    ULONG length = 0;
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_Device_ID_Size(&length, device.DevInst, 0));
    EXPECT_EQ(instance.size(), length);
    std::wmemset(buffer, L'#', 261);
    EXPECT_EQ((CONFIGRET)CR_BUFFER_SMALL, CM_Get_Device_IDW(device.DevInst, buffer, length, 0));
    EXPECT_EQ(L'#', buffer[0]);
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_Device_IDW(device.DevInst, buffer, length + 1, 0));
    EXPECT_EQ(instance, std::wstring(buffer));
    EXPECT_EQ((CONFIGRET)CR_INVALID_DEVNODE, CM_Get_Device_IDW(device.DevInst + 100, buffer, 261, 0));

    ULONG status = 0, problem = 9;
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0));
    EXPECT_EQ(0u, status & DN_STARTED);
    platform::pnp_node_of(pdo)->started = true;
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0));
    EXPECT_NE(0u, status & DN_STARTED);
    EXPECT_EQ(0u, problem);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTests, DeviceSetsBySetupClassEnumeratorAndOpenedInstance)
{
    add_device(L"USB\\VID_1234&PID_ABCD\\0001", L"OVMLSAAU", L"Async device");
    add_device(L"HDAUDIO\\FUNC_01\\0002", L"hdaudio", L"Another");
    ASSERT_TRUE(platform::registry_seed_string(L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_ABCD\\0001",
                                               L"ClassGUID", L"{4d36e96c-e325-11ce-bfc1-08002be10318}"));
    auto count = [](HDEVINFO set) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        DWORD n = 0;
        while (SetupDiEnumDeviceInfo(set, n, &device)) {
            ++n;
        }
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return n;
    };
    EXPECT_EQ(1u, count(SetupDiGetClassDevsW(&GUID_DEVCLASS_MEDIA, nullptr, nullptr, DIGCF_PRESENT)));
    EXPECT_EQ(2u, count(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)));
    EXPECT_EQ(1u, count(SetupDiGetClassDevsW(nullptr, L"usb", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)));
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, L"usb\\vid_1234&pid_abcd\\0001", nullptr, 0, &device));
    EXPECT_TRUE(IsEqualGUID(GUID_DEVCLASS_MEDIA, device.ClassGuid));
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, L"USB\\VID_9999&PID_9999\\1", nullptr, 0, &device));
    EXPECT_EQ((DWORD)ERROR_NO_SUCH_DEVINST, GetLastError());
    EXPECT_EQ(1u, count(set));

    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set)) << "destroyed already";
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(SetupApiTests, DeviceKeyOpensTheHardwareKey)
{
    const std::wstring instance = L"USB\\VID_1234&PID_ABCD\\0001";
    add_device(instance, L"OVMLSAAU", L"Async device");
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &device));
    EXPECT_EQ(INVALID_HANDLE_VALUE, (HANDLE)SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    EXPECT_EQ((DWORD)ERROR_KEY_DOES_NOT_EXIST, GetLastError());

    ASSERT_TRUE(platform::registry_seed_dword(platform::registry_device_key_path(instance), L"SampleRate", 96000));
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, (HANDLE)key);
    DWORD rate = 0, size = sizeof(rate), type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"SampleRate", nullptr, &type, reinterpret_cast<BYTE *>(&rate), &size));
    EXPECT_EQ(96000u, rate);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTests, SetsOfAnEndedProcessAreFreed)
{
    platform::process *p = platform::process_create(L"host.exe", L"host.exe");
    std::atomic<bool> made{false};
    platform::thread *t = platform::process_start_thread(p, [&] {
        made = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) !=
               INVALID_HANDLE_VALUE;
    });
    ASSERT_NE(nullptr, t);
    ASSERT_TRUE(platform::process_wait_threads(p, 10000));
    EXPECT_TRUE(made.load());
    EXPECT_EQ(1u, platform::devinfo_open_set_count());
    platform::process_terminate(p, 0);
    EXPECT_EQ(0u, platform::devinfo_open_set_count());
    platform::thread_dereference(t);
    platform::process_dereference(p);
}

} // namespace
