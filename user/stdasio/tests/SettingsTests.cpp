// OVSETTINGS key handling: creation with defaults, the older buffer-size conversion, values of
// hostile types and sizes, save, and the change mask.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <memory>
#include <string>
#include <sim/machine.h>
#include "Settings.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        memset(&m_record, 0xCC, sizeof(m_record));
    }
    void TearDown() override { m_machine.reset(); }

    static HKEY openKey(REGSAM access = KEY_READ | KEY_WRITE)
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, nullptr, 0,
                                                 access | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        return key;
    }
    static void setValue(LPCWSTR name, DWORD type, const void *data, DWORD bytes)
    {
        HKEY key = openKey();
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), bytes));
        RegCloseKey(key);
    }
    static void setDword(LPCWSTR name, DWORD value) { setValue(name, REG_DWORD, &value, sizeof(value)); }
    static void setText(LPCWSTR name, const std::wstring &text)
    {
        setValue(name, REG_SZ, text.c_str(), (DWORD)((text.size() + 1) * sizeof(WCHAR)));
    }
    // The stored value's type and bytes; type REG_NONE when it is missing.
    static std::pair<DWORD, std::string> stored(LPCWSTR name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
            return {REG_NONE, {}};
        }
        BYTE data[2048] = {};
        DWORD type = REG_NONE;
        DWORD size = sizeof(data);
        const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data, &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) {
            return {REG_NONE, {}};
        }
        return {type, std::string(reinterpret_cast<const char *>(data), size)};
    }
    static DWORD storedDword(LPCWSTR name)
    {
        const auto value = stored(name);
        EXPECT_EQ(value.first, (DWORD)REG_DWORD) << "value " << std::string(name, name + wcslen(name));
        DWORD result = 0;
        memcpy(&result, value.second.data(), std::min(sizeof(result), value.second.size()));
        return result;
    }

    std::unique_ptr<sim::machine> m_machine;
    OVSETTINGS m_settings;
    OVSETTINGSRECORD m_record;
};

TEST_F(SettingsTest, MissingKeyIsCreatedWithDefaultsAndRead)
{
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_EQ(m_record.presence, 0x8000u | 0x1F);
    EXPECT_EQ(m_record.bufferSize, 512u);
    EXPECT_EQ(m_record.lock, 0);
    EXPECT_EQ(m_record.notify, 0);
    EXPECT_EQ(m_record.samplingRate, 44100u);
    EXPECT_EQ(m_record.selected[0], L'\0');
    EXPECT_EQ(m_record.selectedBytes, sizeof(WCHAR));

    EXPECT_EQ(storedDword(L"buffer_size,2"), 512u);
    EXPECT_EQ(stored(L"lock"), std::make_pair((DWORD)REG_BINARY, std::string(1, '\0')));
    EXPECT_EQ(stored(L"notify"), std::make_pair((DWORD)REG_BINARY, std::string(1, '\0')));
    EXPECT_EQ(storedDword(L"sampling_rate"), 44100u);
    EXPECT_EQ(stored(L"selected"), std::make_pair((DWORD)REG_SZ, std::string(sizeof(WCHAR), '\0')));
    EXPECT_EQ(stored(L"buffer_size").first, (DWORD)REG_NONE);
}

TEST_F(SettingsTest, CreateDefaultsLeavesAnExistingKeyAlone)
{
    setDword(L"sampling_rate", 48000);
    ASSERT_TRUE(m_settings.createDefaults());
    EXPECT_EQ(storedDword(L"sampling_rate"), 48000u);
    EXPECT_EQ(stored(L"buffer_size,2").first, (DWORD)REG_NONE);
}

TEST_F(SettingsTest, OlderBufferSizeAloneIsConvertedAndSavedWithTheRecord)
{
    setDword(L"buffer_size", 80);
    m_record.lock = 1;
    m_record.notify = 0;
    m_record.samplingRate = 48000;
    wcscpy(m_record.selected, L"KEY");
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_EQ(m_record.presence, 0x8000u | 0x20);
    EXPECT_EQ(m_record.bufferSize, 512u);
    EXPECT_EQ(storedDword(L"buffer_size,2"), 512u);
    EXPECT_EQ(storedDword(L"buffer_size"), 80u);
    // The other four as the record stood, since the key had none of them.
    EXPECT_EQ(stored(L"lock"), std::make_pair((DWORD)REG_BINARY, std::string(1, '\1')));
    EXPECT_EQ(storedDword(L"sampling_rate"), 48000u);
    const auto selected = stored(L"selected");
    EXPECT_EQ(selected.first, (DWORD)REG_SZ);
    EXPECT_EQ(selected.second.size(), 4 * sizeof(WCHAR));
}

// A converted size outside 64..4096 frames is clamped into it before it is saved: a size of 0
// would make every createBuffers fail.
TEST_F(SettingsTest, OlderBufferSizeConversionRows)
{
    const struct {
        DWORD older;
        DWORD converted;
    } rows[] = {{80, 512}, {25, 128}, {10, 64}, {9, 64}, {0, 64}, {640, 4096}, {650, 4096}, {0xFFFFFFFF, 4096}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.older);
        HKEY key = openKey();
        RegDeleteValueW(key, L"buffer_size,2");
        RegCloseKey(key);
        setDword(L"buffer_size", row.older);
        ASSERT_TRUE(m_settings.load(&m_record));
        EXPECT_EQ(m_record.bufferSize, row.converted);
        EXPECT_EQ(storedDword(L"buffer_size,2"), row.converted);
    }
}

TEST_F(SettingsTest, StoredBufferSizeIsClampedIntoItsRangeWithoutBeingRewritten)
{
    const struct {
        DWORD stored;
        DWORD loaded;
    } rows[] = {{0, 64}, {63, 64}, {64, 64}, {512, 512}, {4096, 4096}, {4097, 4096}, {0xFFFFFFFF, 4096}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.stored);
        setDword(L"buffer_size,2", row.stored);
        ASSERT_TRUE(m_settings.load(&m_record));
        EXPECT_EQ(m_record.bufferSize, row.loaded);
        EXPECT_NE(m_record.presence & 0x1, 0u);
        EXPECT_EQ(storedDword(L"buffer_size,2"), row.stored);
    }
}

TEST_F(SettingsTest, NewerBufferSizeWinsAndNothingIsWritten)
{
    setDword(L"buffer_size", 80);
    setDword(L"buffer_size,2", 256);
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_EQ(m_record.presence, 0x8000u | 0x20 | 0x1);
    EXPECT_EQ(m_record.bufferSize, 256u);
    EXPECT_EQ(stored(L"lock").first, (DWORD)REG_NONE);
    EXPECT_EQ(stored(L"selected").first, (DWORD)REG_NONE);
}

// A value of another type or size never changes its member, so a half-written number cannot
// reach the driver.
TEST_F(SettingsTest, ValuesOfWrongTypeOrSizeKeepTheMember)
{
    setDword(L"lock", 1);                             // one byte expected
    const BYTE shortSize[2] = {0x00, 0x01};           // REG_DWORD of two bytes
    setValue(L"buffer_size,2", REG_DWORD, shortSize, sizeof(shortSize));
    const DWORD binaryRate = 48000;                   // right size, wrong type
    setValue(L"sampling_rate", REG_BINARY, &binaryRate, sizeof(binaryRate));
    const BYTE longNotify[4] = {1, 1, 1, 1};
    setValue(L"notify", REG_BINARY, longNotify, sizeof(longNotify));
    setDword(L"selected", 7);

    m_record.bufferSize = 1024;
    m_record.lock = 0x5A;
    m_record.notify = 0x5B;
    m_record.samplingRate = 44100;
    wcscpy(m_record.selected, L"PREVIOUS");
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_EQ(m_record.presence, 0x8000u);
    EXPECT_EQ(m_record.bufferSize, 1024u);
    EXPECT_EQ(m_record.lock, 0x5A);
    EXPECT_EQ(m_record.notify, 0x5B);
    EXPECT_EQ(m_record.samplingRate, 44100u);
    EXPECT_STREQ(m_record.selected, L"PREVIOUS");
    // No older value: nothing is written back.
    EXPECT_EQ(storedDword(L"lock"), 1u);
}

TEST_F(SettingsTest, SelectedIsReadUpToOneDeviceKey)
{
    const std::wstring longest(OV_SELECTED_READ_CHARS - 1, L'K');
    setText(L"selected", longest);
    wcscpy(m_record.selected, L"PREVIOUS");
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_NE(m_record.presence & 0x10, 0u);
    EXPECT_EQ(std::wstring(m_record.selected), longest);
    EXPECT_EQ(m_record.selectedBytes, OV_SELECTED_READ_CHARS * sizeof(WCHAR));

    const std::wstring huge(OV_SELECTED_CHARS * 4, L'H');
    setText(L"selected", huge);
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_EQ(m_record.presence & 0x10, 0u);
    EXPECT_EQ(std::wstring(m_record.selected), longest);

    // Exactly the read limit with no room for a terminator.
    const std::wstring unterminated(OV_SELECTED_READ_CHARS, L'U');
    setValue(L"selected", REG_SZ, unterminated.c_str(), (DWORD)(unterminated.size() * sizeof(WCHAR)));
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_EQ(m_record.presence & 0x10, 0u);
    EXPECT_EQ(std::wstring(m_record.selected), longest);
}

// Text stored without its terminator ends where the stored text ends, not where an earlier,
// longer value ended.
TEST_F(SettingsTest, SelectedWithoutTerminatorIsCutAtItsLength)
{
    wcscpy(m_record.selected, L"ABCDEFGH");
    const WCHAR text[2] = {L'X', L'Y'};
    setValue(L"selected", REG_SZ, text, sizeof(text));
    ASSERT_TRUE(m_settings.load(&m_record));
    EXPECT_STREQ(m_record.selected, L"XY");
    EXPECT_EQ(m_record.selectedBytes, sizeof(text));
}

TEST_F(SettingsTest, SaveWritesTheFiveValuesOnlyIntoAnExistingKey)
{
    OVSETTINGSRECORD record = OvDefaultSettings;
    record.bufferSize = 128;
    record.lock = 1;
    record.notify = 1;
    record.samplingRate = 48000;
    wcscpy(record.selected, L"USB\\VID_1234&PID_5678\\1");
    EXPECT_FALSE(m_settings.save(&record));
    EXPECT_EQ(stored(L"buffer_size,2").first, (DWORD)REG_NONE);

    HKEY key = openKey();
    RegCloseKey(key);
    ASSERT_TRUE(m_settings.save(&record));
    EXPECT_EQ(storedDword(L"buffer_size,2"), 128u);
    EXPECT_EQ(stored(L"lock"), std::make_pair((DWORD)REG_BINARY, std::string(1, '\1')));
    EXPECT_EQ(stored(L"notify"), std::make_pair((DWORD)REG_BINARY, std::string(1, '\1')));
    EXPECT_EQ(storedDword(L"sampling_rate"), 48000u);
    const auto selected = stored(L"selected");
    EXPECT_EQ(selected.first, (DWORD)REG_SZ);
    EXPECT_EQ(selected.second.size(), (wcslen(record.selected) + 1) * sizeof(WCHAR));

    OVSETTINGSRECORD reread = OvDefaultSettings;
    ASSERT_TRUE(m_settings.load(&reread));
    EXPECT_EQ(reread.presence, 0x8000u | 0x1F);
    EXPECT_EQ(reread.bufferSize, 128u);
    EXPECT_EQ(reread.samplingRate, 48000u);
    EXPECT_STREQ(reread.selected, record.selected);
}

} // namespace
