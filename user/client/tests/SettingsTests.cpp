// The settings table: defaults created once by the first reader, each result code of GetValue
// and SetValue, the typed accessors of CRegUtil2 with the index clamp and the always
// terminated device ID.
#include "ClientTest.h"
#include "CmnRegUtil.h"
#include "RegUtil2.h"
#include <cstring>
#include <vector>

namespace {

using SettingsTests = ClientTest;

DWORD stored_dword(const std::wstring &path, const wchar_t *name)
{
    DWORD value = 0xDEADBEEF;
    EXPECT_TRUE(platform::registry_read_dword(path, name, &value)) << name;
    return value;
}

TEST_F(SettingsTests, FirstReadCreatesTheKeyWithItsDefaults)
{
    CmnRegUtil util;
    DWORD rate = 0;
    EXPECT_EQ(REGUTIL_OK, util.GetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)));
    EXPECT_EQ(44100u, rate);
    EXPECT_EQ(7u, stored_dword(settings_path(), L"buffer_size_index"));

    ULONG type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(platform::registry_read_value(settings_path(), L"selected", &type, &data));
    EXPECT_EQ((ULONG)REG_SZ, type);
    EXPECT_EQ(SELECTED_DEFAULT_CHARS * sizeof(WCHAR), data.size());
    EXPECT_EQ(std::vector<BYTE>(data.size(), 0), data);
    EXPECT_FALSE(platform::registry_read_value(settings_path(), L"", &type, &data)) << "the default value is not written";

    std::vector<WCHAR> selected(SELECTED_ROW_CHARS, L'x');
    EXPECT_EQ(REGUTIL_QUERY_FAILED, util.GetValue(REGVAL_SELECTED, selected.data(), SELECTED_ROW_CHARS * sizeof(WCHAR)))
        << "the default is larger than the row";
    EXPECT_EQ(L'x', selected[0]) << "a value that does not fit is not read";
}

TEST_F(SettingsTests, DefaultsAreCreatedOnceAndAnotherProcessKeepsWhatIsStored)
{
    platform::process *panel = run_in_process(L"panel.exe", [] {
        CRegUtil2 util;
        EXPECT_EQ(44100u, util.GetSamplingRate());
        EXPECT_EQ(REGUTIL_OK, util.SetSamplingRate(96000));
    });
    end_process(panel);

    platform::process *host = run_in_process(L"host.exe", [] {
        CRegUtil2 util;
        EXPECT_FALSE(util.CreateDefaults()) << "the key exists";
        EXPECT_EQ(96000u, util.GetSamplingRate());
        EXPECT_EQ(7u, util.GetBufferSizeIndex());
    });
    end_process(host);
    EXPECT_EQ(96000u, stored_dword(settings_path(), L"sampling_rate"));
}

TEST_F(SettingsTests, ResultCodesOfGetValue)
{
    CmnRegUtil util;
    DWORD value = 0x5A5A5A5A;
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.GetValue(REGVAL_SAMPLING_RATE, nullptr, sizeof(value)));
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.GetValue(REGVAL_SAMPLING_RATE, &value, 0));
    EXPECT_FALSE(platform::registry_key_exists(settings_path())) << "bad arguments are refused before the key is opened";

    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.GetValue(REGVAL_BUFFER_SIZE_INDEX, &value, 2)) << "buffer smaller than the row";
    EXPECT_EQ(0x5A5A5A5Au, value);
    EXPECT_TRUE(platform::registry_key_exists(settings_path()));

    EXPECT_EQ(REGUTIL_OK, util.GetValue(9, &value, sizeof(value))) << "no such row";
    EXPECT_EQ(0x5A5A5A5Au, value);

    ASSERT_TRUE(platform::registry_seed_string(settings_path(), L"sampling_rate", L"4"));
    EXPECT_EQ(REGUTIL_QUERY_FAILED, util.GetValue(REGVAL_SAMPLING_RATE, &value, sizeof(value)))
        << "REG_SZ where a DWORD belongs";
    const BYTE raw[4] = {1, 2, 3, 4};
    ASSERT_TRUE(platform::registry_seed_value(settings_path(), L"buffer_size_index", REG_BINARY, raw, sizeof(raw)));
    EXPECT_EQ(REGUTIL_QUERY_FAILED, util.GetValue(REGVAL_BUFFER_SIZE_INDEX, &value, sizeof(value)));
    ASSERT_TRUE(platform::registry_delete_tree(settings_path()));
    EXPECT_EQ(REGUTIL_OK, util.GetValue(REGVAL_BUFFER_SIZE_INDEX, &value, sizeof(value))) << "created again";
    EXPECT_EQ(7u, value);
}

TEST_F(SettingsTests, ResultCodesOfSetValue)
{
    CmnRegUtil util;
    const DWORD rate = 48000;
    EXPECT_EQ(REGUTIL_KEY_NOT_OPEN, util.SetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)))
        << "a write does not create the key";
    EXPECT_FALSE(platform::registry_key_exists(settings_path()));

    EXPECT_TRUE(util.CreateDefaults());
    EXPECT_FALSE(util.CreateDefaults());
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.SetValue(-1, &rate, sizeof(rate)));
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.SetValue(REGVAL_SAMPLING_RATE, nullptr, sizeof(rate)));
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.SetValue(REGVAL_SAMPLING_RATE, &rate, 0));
    EXPECT_EQ(REGUTIL_OK, util.SetValue(9, &rate, sizeof(rate)));
    ULONG type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(3u, [&] {
        ULONG count = 0;
        for (const wchar_t *name : {L"selected", L"buffer_size_index", L"sampling_rate"}) {
            count += platform::registry_read_value(settings_path(), name, &type, &data) ? 1 : 0;
        }
        return count;
    }()) << "nothing but the three defaults exists";
    EXPECT_EQ(REGUTIL_OK, util.SetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)));
    EXPECT_EQ(48000u, stored_dword(settings_path(), L"sampling_rate"));
}

TEST_F(SettingsTests, SelectedIsStoredWithoutTerminatorAndAlwaysReadTerminated)
{
    CRegUtil2 util;
    ASSERT_TRUE(util.CreateDefaults());
    const std::wstring id = L"USB\\VID_1234&PID_ABCD\\0001";
    EXPECT_EQ(REGUTIL_OK, util.SetSelected(id.c_str()));
    ULONG type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(platform::registry_read_value(settings_path(), L"selected", &type, &data));
    EXPECT_EQ(id.size() * sizeof(WCHAR), data.size());

    WCHAR buffer[129];
    std::wmemset(buffer, L'#', 129);
    EXPECT_EQ(REGUTIL_OK, util.GetSelected(buffer, 129));
    EXPECT_EQ(id, std::wstring(buffer));

    const std::wstring longest(SELECTED_ROW_CHARS, L'A');
    EXPECT_EQ(REGUTIL_OK, util.SetSelected(longest.c_str()));
    std::wmemset(buffer, L'#', 129);
    EXPECT_EQ(REGUTIL_OK, util.GetSelected(buffer, SELECTED_ROW_CHARS));
    EXPECT_EQ(longest.substr(0, SELECTED_ROW_CHARS - 1), std::wstring(buffer)) << "terminated inside the buffer";
    EXPECT_EQ(L'#', buffer[SELECTED_ROW_CHARS]);
    EXPECT_EQ(REGUTIL_OK, util.GetSelected(buffer, 129));
    EXPECT_EQ(longest, std::wstring(buffer));

    EXPECT_EQ(REGUTIL_OK, util.SetSelected((longest + L"B").c_str()));
    std::wmemset(buffer, L'#', 129);
    EXPECT_EQ(REGUTIL_QUERY_FAILED, util.GetSelected(buffer, 129));
    EXPECT_EQ(std::wstring(), std::wstring(buffer)) << "an unreadable value reads as an empty ID";

    const DWORD number = 0x00410041;
    ASSERT_TRUE(platform::registry_seed_value(settings_path(), L"selected", REG_DWORD, &number, sizeof(number)));
    std::wmemset(buffer, L'#', 129);
    EXPECT_EQ(REGUTIL_QUERY_FAILED, util.GetSelected(buffer, 129));
    EXPECT_EQ(std::wstring(), std::wstring(buffer)) << "a mistyped value leaves no bytes behind";
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.GetSelected(buffer, 0));
    EXPECT_EQ(REGUTIL_BAD_ARGUMENT, util.SetSelected(nullptr));
}

TEST_F(SettingsTests, NumbersReadAsZeroWhenUnreadableAndTheIndexIsClamped)
{
    CRegUtil2 util;
    ASSERT_TRUE(util.CreateDefaults());
    ASSERT_TRUE(platform::registry_seed_dword(settings_path(), L"buffer_size_index", 40));
    EXPECT_EQ(31u, util.GetBufferSizeIndex());
    ASSERT_TRUE(platform::registry_seed_dword(settings_path(), L"buffer_size_index", 0xFFFFFFFF));
    EXPECT_EQ(31u, util.GetBufferSizeIndex());
    ASSERT_TRUE(platform::registry_seed_string(settings_path(), L"buffer_size_index", L"12"));
    EXPECT_EQ(0u, util.GetBufferSizeIndex());
    ASSERT_TRUE(platform::registry_seed_string(settings_path(), L"sampling_rate", L"48000"));
    EXPECT_EQ(0u, util.GetSamplingRate());
    EXPECT_EQ(REGUTIL_OK, util.SetSamplingRate(5644800));
    EXPECT_EQ(5644800u, util.GetSamplingRate()) << "a DSD rate is stored as itself";
}

} // namespace
