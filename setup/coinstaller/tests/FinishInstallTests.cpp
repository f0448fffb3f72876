// The finish-install co-installer in device setup: which devices get the update tool started,
// its exact command line, folder and flags, the tool's run and the driver update it makes,
// and every case that must end silently with NO_ERROR.
#include "SetupFixture.h"
#include "../SupportedDeviceIds.h"
#include <sim/uac_descriptors.h>

namespace {

const WCHAR *const instance = L"USB\\VID_3A51&PID_0201\\OVM1001";
const WCHAR *const setup_key = L"SOFTWARE\\Orvan\\Marla Series Setup";
const std::wstring folder = L"C:\\Program Files\\Orvan\\Marla Series\\";
const sim::coinstaller_ref finish{L"ovmlscoinstaller.dll", "ovmsCoInstaller"};

class FinishInstallTests : public SetupFixture {
protected:
    void SetUp() override
    {
        SetupFixture::SetUp();
        platform::file_store_add(folder + L"ovmlsau.inf");
        platform::file_store_add(folder + L"ovmupddev.exe");
    }

    void write_install_path(const std::wstring &path)
    {
        write_setup_value(setup_key, L"InstallPath", REG_SZ, path.c_str(), (DWORD)((path.size() + 1) * sizeof(WCHAR)));
    }

    // Setup of the device with the generic class driver offered alone.
    sim::device_setup_result setup_with_class_driver(const char *manufacturer = "(Generic USB Audio)")
    {
        return sim::run_device_setup(instance, {driver("USB Audio Device", manufacturer, 0x00FF0000)}, finish);
    }

    static void expect_no_error_anywhere(const sim::device_setup_result &result)
    {
        EXPECT_EQ(0u, result.error);
        for (const auto &call : result.calls) {
            EXPECT_EQ(0u, call.result) << call.function;
        }
    }
};

TEST_F(FinishInstallTests, SupportedDeviceOnTheClassDriverGetsTheUpdateToolAndItsDriver)
{
    add_device(instance, {L"USB\\VID_3A51&PID_0201&REV_0100", L"USB\\VID_3A51&PID_0201"});
    write_install_path(folder);
    const auto result = setup_with_class_driver();
    expect_no_error_anywhere(result);
    EXPECT_TRUE(result.finish_install_action);
    ASSERT_FALSE(result.calls.empty());
    EXPECT_EQ((UINT)DIF_FINISHINSTALL_ACTION, result.calls.back().function);

    const auto starts = platform::process_start_records();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(L"", starts[0].application_name);
    EXPECT_EQ(L"\"" + folder + L"ovmupddev.exe\" \"" + folder + L"ovmlsau.inf\" \"USB\\VID_3A51&PID_0201&REV_0100\"",
              starts[0].command_line);
    EXPECT_EQ(folder, starts[0].current_directory);
    EXPECT_EQ((DWORD)(CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE), starts[0].creation_flags);

    DWORD exit_code = 99;
    ASSERT_TRUE(platform::process_start_wait(starts[0].process_id, 10000, &exit_code));
    EXPECT_EQ(0u, exit_code);
    const auto updates = platform::driver_update_records();
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ(L"USB\\VID_3A51&PID_0201&REV_0100", updates[0].hardware_id);
    EXPECT_EQ(folder + L"ovmlsau.inf", updates[0].inf_path);
    EXPECT_EQ(1u, updates[0].install_flags);
    EXPECT_EQ(0u, updates[0].error);
    EXPECT_EQ(std::vector<std::wstring>{instance}, updates[0].instance_ids);
}

TEST(SupportedDeviceIdsTests, SimulatedStandardDeviceIsASupportedOne)
{
    const sim::uac1_options defaults;
    EXPECT_EQ(OvmVendorId, defaults.vendor_id);
    EXPECT_EQ(OvmStandardProductIds[0], defaults.product_id);
}

TEST_F(FinishInstallTests, SecondProductAndAPrefixOfTheOwnMakerAreHandledToo)
{
    add_device(L"USB\\VID_3A51&PID_0202\\A", {L"USB\\VID_3A51&PID_0202"});
    write_install_path(folder);
    // An installed driver whose maker only starts with the own maker's name is foreign.
    const auto result = sim::run_device_setup(L"USB\\VID_3A51&PID_0202\\A",
                                              {driver("USB Audio Device", "Orvan Clone Works", 0x00FF0000)}, finish);
    expect_no_error_anywhere(result);
    const auto starts = platform::process_start_records();
    ASSERT_EQ(1u, starts.size());
    EXPECT_NE(std::wstring::npos, starts[0].command_line.find(L"\"USB\\VID_3A51&PID_0202\""));
}

TEST_F(FinishInstallTests, DevicesThatAreNotOursOrAlreadyOnOurDriverAreLeftAlone)
{
    struct row {
        const char *name;
        std::wstring hardware_id;
        const char *manufacturer;
    };
    const row rows[] = {
        {"other vendor", L"USB\\VID_1234&PID_0201&REV_0100", "(Generic USB Audio)"},
        {"other product", L"USB\\VID_3A51&PID_0102&REV_0100", "(Generic USB Audio)"},
        {"longer product token", L"USB\\VID_3A51&PID_02010", "(Generic USB Audio)"},
        {"lower-case tokens", L"USB\\vid_3a51&pid_0201", "(Generic USB Audio)"},
        {"other bus", L"HID\\VID_3A51&PID_0201", "(Generic USB Audio)"},
        {"already on the own driver", L"USB\\VID_3A51&PID_0201&REV_0100", "Orvan"},
    };
    int n = 0;
    write_install_path(folder);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        const std::wstring id = L"USB\\ROW\\" + std::to_wstring(n++);
        add_device(id, {r.hardware_id});
        const auto result = sim::run_device_setup(id, {driver("Some Audio", r.manufacturer, 0)}, finish);
        expect_no_error_anywhere(result);
        EXPECT_TRUE(result.finish_install_action);
    }
    EXPECT_TRUE(platform::process_start_records().empty());
}

TEST_F(FinishInstallTests, UnusableInstallPathEndsTheActionSilently)
{
    add_device(instance, {L"USB\\VID_3A51&PID_0201&REV_0100"});
    SCOPED_TRACE("missing key");
    expect_no_error_anywhere(setup_with_class_driver());
    const DWORD number = 1;
    write_setup_value(setup_key, L"InstallPath", REG_DWORD, &number, sizeof(number));
    expect_no_error_anywhere(setup_with_class_driver());
    write_install_path(L"");
    expect_no_error_anywhere(setup_with_class_driver());
    // 128 characters fill the 128-byte buffer with no room for a terminator.
    const std::wstring full = L"C:\\" + std::wstring(125, L'f');
    write_setup_value(setup_key, L"InstallPath", REG_SZ, full.c_str(), (DWORD)(full.size() * sizeof(WCHAR)));
    expect_no_error_anywhere(setup_with_class_driver());
    EXPECT_TRUE(platform::process_start_records().empty());
}

TEST_F(FinishInstallTests, CommandLineThatWouldNotFitStartsNothing)
{
    // A 127-character folder makes the quoted tool path too long for its 256 bytes only with
    // the folder twice; the line of 512 bytes overflows with a long hardware ID.
    const std::wstring long_folder = L"C:\\" + std::wstring(122, L'd') + L"\\";
    write_install_path(long_folder);
    add_device(instance, {L"USB\\VID_3A51&PID_0201&REV_0100&" + std::wstring(300, L'X')});
    expect_no_error_anywhere(setup_with_class_driver());
    EXPECT_TRUE(platform::process_start_records().empty());
}

TEST_F(FinishInstallTests, UnreadableManufacturerEndsTheAction)
{
    add_device(instance, {L"USB\\VID_3A51&PID_0201"});
    write_install_path(folder);
    // Calling the action directly on a device no driver was installed on: no manufacturer.
    HMODULE module = LoadLibraryW(L"ovmlscoinstaller.dll");
    ASSERT_NE(nullptr, module);
    auto entry = reinterpret_cast<COINSTALLER_ROUTINE>(GetProcAddress(module, "ovmsCoInstaller"));
    ASSERT_NE(nullptr, entry);
    void *set = platform::install_set_create(instance, {}, {});
    SP_DEVINFO_DATA device{};
    platform::install_set_device_data(set, &device);
    COINSTALLER_CONTEXT_DATA context{};
    EXPECT_EQ((DWORD)NO_ERROR, entry(DIF_FINISHINSTALL_ACTION, set, &device, &context));
    EXPECT_TRUE(platform::process_start_records().empty());
    for (DI_FUNCTION function = 0; function <= 0x40; ++function) {
        EXPECT_EQ((DWORD)NO_ERROR, entry(function, nullptr, nullptr, nullptr)) << function;
    }
    platform::install_set_destroy(set);
    FreeLibrary(module);
}

TEST_F(FinishInstallTests, UpdateToolReportsAMissingInfThroughItsExitCode)
{
    add_device(instance, {L"USB\\VID_3A51&PID_0201&REV_0100"});
    write_install_path(folder);
    platform::file_store_remove(folder + L"ovmlsau.inf");
    expect_no_error_anywhere(setup_with_class_driver());
    const auto starts = platform::process_start_records();
    ASSERT_EQ(1u, starts.size());
    DWORD exit_code = 99;
    ASSERT_TRUE(platform::process_start_wait(starts[0].process_id, 10000, &exit_code));
    EXPECT_EQ(1u, exit_code);
    EXPECT_TRUE(platform::driver_update_records().empty());
}

} // namespace
