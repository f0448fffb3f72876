// Both applet builds through the Control Panel protocol: the answers to each message, and the
// start of the control-panel program from the setup key, including every case that must
// start nothing.
#include <gtest/gtest.h>
#include <windows.h>
#include <cpl.h>
#include <platform/machine_state.h>
#include <platform/win32_system.h>
#include <string>

namespace {

struct Build {
    const WCHAR *module;
    const WCHAR *setup_key;
    int name_id;
    int info_id;
    const WCHAR *name;
    const WCHAR *info;
};

const Build builds[] = {
    {L"ovmlsaaudio.cpl", L"SOFTWARE\\Orvan\\{08E5CF00-6FA5-4F62-AD3A-51A60F25EE79}", 102, 103,
     L"Orvan Marla Series Async Audio", L"Orvan Marla Series Async Audio Driver Control Panel"},
    {L"ovmlsaudio.dll", L"SOFTWARE\\Orvan\\Marla Series Setup", 106, 107, L"Orvan Marla Series Audio",
     L"Orvan Marla Series Audio Driver Control Panel"},
};

std::wstring load_string(HMODULE module, int id)
{
    WCHAR text[128] = {};
    return LoadStringW(module, (UINT)id, text, 128) > 0 ? text : L"(missing)";
}

const WCHAR *const program = L"C:\\Program Files\\Orvan\\panel-under-test.exe";

class AppletTests : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        // Starts are recorded before they are refused, so the tests see every request without
        // leaving processes behind that outlive the machine.
        platform::process_set_launch_result(false, ERROR_FILE_NOT_FOUND);
        module = LoadLibraryW(GetParam().module);
        ASSERT_NE(nullptr, module);
        applet = reinterpret_cast<APPLET_PROC>(GetProcAddress(module, "CPlApplet"));
        ASSERT_NE(nullptr, applet);
    }
    void TearDown() override
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
        platform::machine_shutdown();
    }

    // Writes the "ControlPanel" value (bytes as given) under the build's key in a view.
    void write_value(DWORD type, const void *data, DWORD size, REGSAM view = KEY_WOW64_64KEY)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, GetParam().setup_key, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ControlPanel", 0, type, static_cast<const BYTE *>(data), size));
        RegCloseKey(key);
    }

    void write_path(const std::wstring &path, REGSAM view = KEY_WOW64_64KEY)
    {
        write_value(REG_SZ, path.c_str(), (DWORD)((path.size() + 1) * sizeof(WCHAR)), view);
    }

    LONG double_click() { return applet(nullptr, CPL_DBLCLK, 0, 0); }

    HMODULE module = nullptr;
    APPLET_PROC applet = nullptr;
};

TEST_P(AppletTests, AnswersTheProtocolWithOneApplet)
{
    EXPECT_EQ(1, applet(nullptr, CPL_INIT, 0, 0));
    EXPECT_EQ(1, applet(nullptr, CPL_GETCOUNT, 0, 0));
    CPLINFO info;
    info.idIcon = info.idName = info.idInfo = -1;
    info.lData = -1;
    EXPECT_EQ(0, applet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)));
    EXPECT_EQ(101, info.idIcon);
    EXPECT_EQ(GetParam().name_id, info.idName);
    EXPECT_EQ(GetParam().info_id, info.idInfo);
    EXPECT_EQ(0, info.lData);
    // What the Control Panel shows for the entry, read from the applet's own resources.
    EXPECT_EQ(GetParam().name, load_string(module, info.idName));
    EXPECT_EQ(GetParam().info, load_string(module, info.idInfo));
    EXPECT_NE(nullptr, LoadIconW(module, MAKEINTRESOURCEW(info.idIcon)));
    EXPECT_NE(nullptr, FindResourceW(module, MAKEINTRESOURCEW(2), RT_MANIFEST));
    for (UINT other : {(UINT)CPL_SELECT, (UINT)CPL_STOP, (UINT)CPL_EXIT, (UINT)CPL_NEWINQUIRE, 999u}) {
        EXPECT_EQ(0, applet(nullptr, other, 0, 0)) << other;
    }
    EXPECT_TRUE(platform::process_launch_records().empty());
}

TEST_P(AppletTests, EachDoubleClickStartsTheProgramFromTheSetupKey)
{
    write_path(program);
    EXPECT_EQ(0, double_click());
    EXPECT_EQ(0, double_click());
    const auto records = platform::process_launch_records();
    ASSERT_EQ(2u, records.size());
    for (const auto &record : records) {
        EXPECT_EQ(program, record.application_name);
        EXPECT_EQ(L"", record.command_line);
        EXPECT_EQ((DWORD)(CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS), record.creation_flags);
    }
}

TEST_P(AppletTests, NothingStartsWithoutAUsableValue)
{
    SCOPED_TRACE("no key");
    EXPECT_EQ(0, double_click());
    const DWORD number = 7;
    write_value(REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(0, double_click());
    write_path(L"");
    EXPECT_EQ(0, double_click());
    // 128 characters fill the 256-byte buffer without a terminator: too long.
    const std::wstring full(128, L'a');
    write_value(REG_SZ, full.c_str(), (DWORD)(full.size() * sizeof(WCHAR)));
    EXPECT_EQ(0, double_click());
    write_path(std::wstring(200, L'b'));
    EXPECT_EQ(0, double_click());
    EXPECT_TRUE(platform::process_launch_records().empty());
}

TEST_P(AppletTests, ValueOnlyInThe32BitViewIsNotRead)
{
    write_path(program, KEY_WOW64_32KEY);
    EXPECT_EQ(0, double_click());
    EXPECT_TRUE(platform::process_launch_records().empty());
}

TEST_P(AppletTests, LongestPathThatFitsIsStartedAndAnUnterminatedShortValueIsTerminated)
{
    const std::wstring longest = L"C:\\" + std::wstring(124, L'p');
    write_path(longest);
    EXPECT_EQ(0, double_click());
    write_value(REG_SZ, program, (DWORD)(std::wcslen(program) * sizeof(WCHAR)));
    EXPECT_EQ(0, double_click());
    const auto records = platform::process_launch_records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(longest, records[0].application_name);
    EXPECT_EQ(program, records[1].application_name);
}

TEST_P(AppletTests, FailedStartIsIgnored)
{
    write_path(program);
    platform::process_set_launch_result(false, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, double_click());
    EXPECT_EQ(1u, platform::process_launch_records().size());
}

TEST(AppletStringTests, EachBuildKeepsItsOwnTableBesideTheOther)
{
    platform::machine_boot();
    const HMODULE async = LoadLibraryW(builds[0].module);
    const HMODULE standard = LoadLibraryW(builds[1].module);
    ASSERT_NE(nullptr, async);
    ASSERT_NE(nullptr, standard);
    EXPECT_EQ(L"Orvan Marla Series Async Audio", load_string(async, 102));
    EXPECT_EQ(L"(missing)", load_string(async, 106));
    // The standard build's rows of the sibling lines carry its own two texts.
    for (int id = 102; id <= 107; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(id % 2 == 0 ? builds[1].name : builds[1].info, load_string(standard, id));
    }
    FreeLibrary(async);
    FreeLibrary(standard);
    platform::machine_shutdown();
}

INSTANTIATE_TEST_SUITE_P(BothStacks, AppletTests, ::testing::ValuesIn(builds),
                         [](const ::testing::TestParamInfo<Build> &info) {
                             return info.param.name_id == 102 ? std::string("Async") : std::string("Standard");
                         });

} // namespace
