// Device setup's sets as co-installers see them: driver list enumeration, device and driver
// install parameters, and 8-bit device properties.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi_install.h>
#include <platform/device_install.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <cstring>

namespace {

char g_fake_pdo;
const wchar_t *const instance = L"USB\\VID_3A51&PID_0201\\OVM1001";

class DriverInfoTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        platform::device_node fields;
        fields.instance_id = instance;
        fields.hardware_ids = {L"USB\\VID_3A51&PID_0201&REV_0100", L"USB\\VID_3A51&PID_0201"};
        fields.manufacturer = L"(Standard USB Audio)";
        ASSERT_NE(nullptr, platform::pnp_create_node(reinterpret_cast<DEVICE_OBJECT *>(&g_fake_pdo), fields));
        platform::driver_candidate own{"Own Audio", "Maker", "Maker", "C:\\inf\\own.inf", 0x01D0000000000000ull, 7, 0x00FF0001, 0};
        platform::driver_candidate other{"Generic Audio", "Generic", "Generic", "C:\\inf\\generic.inf", 0, 0, 0x00FF0000, 0};
        set = platform::install_set_create(instance, {own, other}, {other});
        ASSERT_NE(nullptr, set);
        platform::install_set_device_data(set, &device);
    }
    void TearDown() override { platform::machine_shutdown(); }

    static SP_DRVINFO_DATA_A poisoned_record()
    {
        SP_DRVINFO_DATA_A record;
        std::memset(&record, 0xCC, sizeof(record));
        record.cbSize = sizeof(record);
        return record;
    }

    void *set = nullptr;
    SP_DEVINFO_DATA device{};
};

TEST_F(DriverInfoTests, EnumeratesTheCompatibleListThenReportsNoMoreItems)
{
    SP_DRVINFO_DATA_A record = poisoned_record();
    ASSERT_TRUE(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 0, &record));
    EXPECT_EQ((DWORD)SPDIT_COMPATDRIVER, record.DriverType);
    EXPECT_STREQ("Own Audio", record.Description);
    EXPECT_STREQ("Maker", record.MfgName);
    EXPECT_STREQ("Maker", record.ProviderName);
    EXPECT_EQ(0x01D00000u, record.DriverDate.dwHighDateTime);
    EXPECT_EQ(7u, record.DriverVersion);
    ASSERT_TRUE(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 1, &record));
    EXPECT_STREQ("Generic Audio", record.Description);

    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 2, &record));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());

    ASSERT_TRUE(SetupDiEnumDriverInfoA(set, nullptr, SPDIT_CLASSDRIVER, 0, &record));
    EXPECT_STREQ("Generic Audio", record.Description);
    EXPECT_FALSE(SetupDiEnumDriverInfoA(set, nullptr, SPDIT_CLASSDRIVER, 1, &record));
}

TEST_F(DriverInfoTests, OlderRecordIsFilledWithoutDateAndVersion)
{
    SP_DRVINFO_DATA_A record = poisoned_record();
    record.cbSize = sizeof(SP_DRVINFO_DATA_V1_A);
    ASSERT_TRUE(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 0, &record));
    EXPECT_STREQ("Own Audio", record.Description);
    EXPECT_EQ(0xCCCCCCCCu, record.DriverDate.dwLowDateTime);
}

TEST_F(DriverInfoTests, WrongSizesHandlesAndDevicesAreRefusedWithoutWriting)
{
    for (DWORD size : {0u, (DWORD)sizeof(SP_DRVINFO_DATA_A) - 1, (DWORD)sizeof(SP_DRVINFO_DATA_A) + 1}) {
        SCOPED_TRACE(size);
        SP_DRVINFO_DATA_A record = poisoned_record();
        record.cbSize = size;
        SetLastError(0);
        EXPECT_FALSE(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 0, &record));
        EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
        EXPECT_EQ('\xCC', record.Description[0]);
    }
    SP_DRVINFO_DATA_A record = poisoned_record();
    int other_set = 0;
    EXPECT_FALSE(SetupDiEnumDriverInfoA(&other_set, &device, SPDIT_COMPATDRIVER, 0, &record));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    SP_DEVINFO_DATA stranger = device;
    stranger.DevInst += 100;
    EXPECT_FALSE(SetupDiEnumDriverInfoA(set, &stranger, SPDIT_COMPATDRIVER, 0, &record));
    EXPECT_EQ((DWORD)ERROR_NO_SUCH_DEVINST, GetLastError());

    EXPECT_FALSE(SetupDiEnumDriverInfoA(set, nullptr, SPDIT_COMPATDRIVER, 0, &record));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params) - 1;
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &device, &params));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
}

TEST_F(DriverInfoTests, DriverRankWrittenBackIsWhatSetupSees)
{
    SP_DRVINFO_DATA_A record = poisoned_record();
    ASSERT_TRUE(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 1, &record));
    SP_DRVINSTALL_PARAMS params;
    std::memset(&params, 0xCC, sizeof(params));
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDriverInstallParamsA(set, &device, &record, &params));
    EXPECT_EQ(0x00FF0000u, params.Rank);
    EXPECT_EQ(0u, params.Flags);
    params.Rank = 0xFFFFFFFF;
    ASSERT_TRUE(SetupDiSetDriverInstallParamsA(set, &device, &record, &params));

    const auto drivers = platform::install_set_drivers(set, true);
    ASSERT_EQ(2u, drivers.size());
    EXPECT_EQ(0x00FF0001u, drivers[0].rank);
    EXPECT_EQ(0xFFFFFFFFu, drivers[1].rank);

    SP_DEVINSTALL_PARAMS_A device_params{};
    device_params.cbSize = sizeof(device_params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &device, &device_params));
    EXPECT_STREQ("C:\\inf\\generic.inf", device_params.DriverPath);

    // A record that names no driver of the list (as one made up by hand) is refused.
    record.Reserved = 0;
    std::strcpy(record.Description, "Unknown");
    EXPECT_FALSE(SetupDiGetDriverInstallParamsA(set, &device, &record, &params));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(DriverInfoTests, DeviceInstallFlagsPersistAcrossCalls)
{
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &device, &params));
    EXPECT_EQ(0u, params.FlagsEx);
    params.FlagsEx |= DI_FLAGSEX_FINISHINSTALL_ACTION;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &device, &params));
    EXPECT_EQ((DWORD)DI_FLAGSEX_FINISHINSTALL_ACTION, platform::install_set_flags_ex(set));

    // A driver path without its terminator is not taken.
    std::memset(params.DriverPath, 'x', sizeof(params.DriverPath));
    params.FlagsEx = 0;
    EXPECT_FALSE(SetupDiSetDeviceInstallParamsA(set, &device, &params));
    EXPECT_EQ((DWORD)DI_FLAGSEX_FINISHINSTALL_ACTION, platform::install_set_flags_ex(set));
}

// A co-installer may be handed any set, also one that SetupAPI itself made.
TEST_F(DriverInfoTests, SetsSetupApiMadeHaveInstallParametersOfTheirOwnAndNoDriverLists)
{
    HDEVINFO listed = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, listed);
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof(member);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(listed, instance, nullptr, 0, &member));

    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params) - 1;
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(listed, &member, &params));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(listed, &member, &params));
    EXPECT_EQ(0u, params.FlagsEx);
    params.FlagsEx = DI_FLAGSEX_FINISHINSTALL_ACTION;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(listed, &member, &params));

    // The device's parameters are its own: not the set's, nor those of device setup's set.
    SP_DEVINSTALL_PARAMS_A read{};
    read.cbSize = sizeof(read);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(listed, &member, &read));
    EXPECT_EQ((DWORD)DI_FLAGSEX_FINISHINSTALL_ACTION, read.FlagsEx);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(listed, nullptr, &read));
    EXPECT_EQ(0u, read.FlagsEx);
    EXPECT_EQ(0u, platform::install_set_flags_ex(set));

    SP_DRVINFO_DATA_A record = poisoned_record();
    EXPECT_FALSE(SetupDiEnumDriverInfoA(listed, &member, SPDIT_COMPATDRIVER, 0, &record));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_FALSE(SetupDiEnumDriverInfoA(listed, nullptr, SPDIT_CLASSDRIVER, 0, &record));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());

    SP_DEVINFO_DATA stranger = member;
    stranger.Reserved = 99;
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(listed, &stranger, &read));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(listed));
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(listed, nullptr, &read));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(DriverInfoTests, HardwareIdsComeAsDoublyTerminatedListWithSizeProbes)
{
    const char expected[] = "USB\\VID_3A51&PID_0201&REV_0100\0USB\\VID_3A51&PID_0201\0";
    const DWORD size = sizeof(expected);
    DWORD required = 0;
    DWORD type = 0;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(size, required);

    BYTE buffer[128];
    std::memset(buffer, 0xCC, sizeof(buffer));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, buffer, size - 1, &required));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0xCC, buffer[0]);

    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, buffer, size, &required));
    EXPECT_EQ((DWORD)REG_MULTI_SZ, type);
    EXPECT_EQ(0, std::memcmp(expected, buffer, size));
    EXPECT_EQ(0xCC, buffer[size]);

    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_MFG, &type, buffer, sizeof(buffer), nullptr));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_STREQ("(Standard USB Audio)", reinterpret_cast<char *>(buffer));

    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type, buffer, sizeof(buffer), nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError());
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, nullptr, SPDRP_MFG, &type, buffer, sizeof(buffer), nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(DriverInfoTests, SetForAnUnknownDeviceIsNotMadeAndADestroyedSetIsInvalid)
{
    EXPECT_EQ(nullptr, platform::install_set_create(L"USB\\VID_0000&PID_0000\\X", {}, {}));
    platform::install_set_destroy(set);
    EXPECT_FALSE(platform::install_set_is_valid(set));
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &device, &params));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

} // namespace
