// UpdateDriverForPlugAndPlayDevicesW: which requests are made and recorded, and the errors
// of those that are not.
#include <gtest/gtest.h>
#include <windows.h>
#include <newdev.h>
#include <setupapi_install.h>
#include <platform/device_install.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>

namespace {

char g_fake_pdo;
const WCHAR *const inf = L"C:\\Program Files\\Orvan\\ovmlsau.inf";

class UpdateDriverTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        platform::device_node fields;
        fields.instance_id = L"USB\\VID_3A51&PID_0201\\OVM1001";
        fields.hardware_ids = {L"USB\\VID_3A51&PID_0201&REV_0100", L"USB\\VID_3A51&PID_0201"};
        ASSERT_NE(nullptr, platform::pnp_create_node(reinterpret_cast<DEVICE_OBJECT *>(&g_fake_pdo), fields));
        platform::file_store_add(inf);
    }
    void TearDown() override { platform::machine_shutdown(); }
};

TEST_F(UpdateDriverTests, PresentDeviceWithTheIdIsUpdatedAndRecorded)
{
    BOOL reboot = TRUE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"usb\\vid_3a51&pid_0201&rev_0100", inf,
                                                   INSTALLFLAG_FORCE, &reboot));
    EXPECT_FALSE(reboot);
    const auto records = platform::driver_update_records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"usb\\vid_3a51&pid_0201&rev_0100", records[0].hardware_id);
    EXPECT_EQ(inf, records[0].inf_path);
    EXPECT_EQ((DWORD)INSTALLFLAG_FORCE, records[0].install_flags);
    EXPECT_EQ(0u, records[0].error);
    EXPECT_EQ((std::vector<std::wstring>{L"USB\\VID_3A51&PID_0201\\OVM1001"}), records[0].instance_ids);
}

TEST_F(UpdateDriverTests, FailuresNameTheirCause)
{
    struct row {
        const WCHAR *id;
        const WCHAR *path;
        DWORD flags;
        DWORD error;
    };
    const row rows[] = {
        {L"USB\\VID_3A51&PID_0201", L"C:\\Program Files\\Orvan\\missing.inf", INSTALLFLAG_FORCE, ERROR_FILE_NOT_FOUND},
        {L"USB\\VID_3A51&PID_0201", L"C:\\Program Files\\Orvan", INSTALLFLAG_FORCE, ERROR_FILE_NOT_FOUND},
        {L"USB\\VID_0000&PID_0000", inf, INSTALLFLAG_FORCE, ERROR_NO_SUCH_DEVINST},
        {L"USB\\VID_3A51&PID_0201", L"ovmlsau.inf", INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {L"", inf, INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {L"USB\\VID_3A51&PID_0201", inf, 0x100, ERROR_INVALID_FLAGS},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.error);
        SetLastError(0);
        EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, r.id, r.path, r.flags, nullptr));
        EXPECT_EQ(r.error, GetLastError());
    }
    // Requests that reach the devices are recorded with their failure; malformed ones are not.
    const auto records = platform::driver_update_records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, records[0].error);
    EXPECT_EQ((DWORD)ERROR_NO_SUCH_DEVINST, records[2].error);
}

TEST_F(UpdateDriverTests, RemovedDeviceIsNotUpdated)
{
    platform::pnp_mark_removed(reinterpret_cast<DEVICE_OBJECT *>(&g_fake_pdo));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"USB\\VID_3A51&PID_0201", inf, INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ((DWORD)ERROR_NO_SUCH_DEVINST, GetLastError());
}

} // namespace
