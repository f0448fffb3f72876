// The driver-update tool run as a program of the machine: its exit code for each command
// line, and the driver update it asks for.
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/device_install.h>
#include <platform/pnp.h>
#include <sim/machine.h>
#include <memory>
#include <string>

namespace {

const std::wstring folder = L"C:\\Program Files\\Orvan\\Marla Series\\";
const WCHAR *const hardware_id = L"USB\\VID_3A51&PID_0201&REV_0100";
char g_pdo_key;

class UpdateToolTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine = std::make_unique<sim::machine>();
        platform::device_node fields;
        fields.instance_id = L"USB\\VID_3A51&PID_0201\\OVM1001";
        fields.hardware_ids = {hardware_id, L"USB\\VID_3A51&PID_0201"};
        ASSERT_NE(nullptr, platform::pnp_create_node(reinterpret_cast<DEVICE_OBJECT *>(&g_pdo_key), fields));
        platform::file_store_add(folder + L"ovmlsau.inf");
    }
    void TearDown() override { machine.reset(); }

    // Starts the tool with the arguments after its own quoted path, in folder; its exit code.
    DWORD run(const std::string &arguments, const char *directory = "C:\\Program Files\\Orvan\\Marla Series\\")
    {
        std::string line = "\"C:\\Program Files\\Orvan\\Marla Series\\ovmupddev.exe\"" + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, directory,
                                   &startup, &info));
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        DWORD code = 99;
        EXPECT_TRUE(platform::process_start_wait(info.dwProcessId, 10000, &code));
        return code;
    }

    std::unique_ptr<sim::machine> machine;
};

TEST_F(UpdateToolTests, ForcesTheInfOntoTheDevice)
{
    EXPECT_EQ(0u, run(" \"C:\\Program Files\\Orvan\\Marla Series\\ovmlsau.inf\" \"USB\\VID_3A51&PID_0201&REV_0100\""));
    const auto updates = platform::driver_update_records();
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ(hardware_id, updates[0].hardware_id);
    EXPECT_EQ(folder + L"ovmlsau.inf", updates[0].inf_path);
    EXPECT_EQ(1u, updates[0].install_flags);
    EXPECT_EQ(0u, updates[0].error);
}

TEST_F(UpdateToolTests, RelativeInfPathIsTakenFromItsCurrentDirectory)
{
    EXPECT_EQ(0u, run(" ovmlsau.inf USB\\VID_3A51&PID_0201"));
    const auto updates = platform::driver_update_records();
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ(folder + L"ovmlsau.inf", updates[0].inf_path);
}

TEST_F(UpdateToolTests, EveryFailureExitsWithOne)
{
    struct row {
        const char *name;
        std::string arguments;
        size_t updates_after; // update requests made so far
    };
    const row rows[] = {
        {"no arguments", "", 0},
        {"two arguments", " \"C:\\Program Files\\Orvan\\Marla Series\\ovmlsau.inf\"", 0},
        {"missing INF", " \"C:\\Program Files\\Orvan\\Marla Series\\missing.inf\" USB\\VID_3A51&PID_0201", 0},
        {"INF path too long", " \"C:\\" + std::string(270, 'l') + ".inf\" USB\\VID_3A51&PID_0201", 0},
        {"device not present", " ovmlsau.inf USB\\VID_1234&PID_0001", 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(1u, run(r.arguments));
        EXPECT_EQ(r.updates_after, platform::driver_update_records().size());
    }
}

} // namespace
