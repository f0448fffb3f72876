// Win32 registry values: exact bytes and types, the size query and ERROR_MORE_DATA rules,
// RegGetValueW, enumeration, and one store shared with the kernel's Zw* calls.
#include <cstring>
#include <wdm.h>
#include "RegistryTest.h"

using namespace platform;

namespace {

class RegValues : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key_, &disposition));
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        RegistryTest::TearDown();
    }

    LSTATUS set(const WCHAR *name, DWORD type, const void *data, DWORD size)
    {
        return RegSetValueExW(key_, name, 0, type, static_cast<const BYTE *>(data), size);
    }

    HKEY key_ = nullptr;
};

UNICODE_STRING counted(const WCHAR *s)
{
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(s);
    u.Length = static_cast<USHORT>(std::wcslen(s) * sizeof(WCHAR));
    u.MaximumLength = static_cast<USHORT>(u.Length + sizeof(WCHAR));
    return u;
}

} // namespace

TEST_F(RegValues, StringsKeepExactlyTheBytesGiven)
{
    const WCHAR id[] = L"USB\\VID_1234&PID_5678\\0001";
    const DWORD without_nul = static_cast<DWORD>(std::wcslen(id) * sizeof(WCHAR));
    ASSERT_EQ(ERROR_SUCCESS, set(L"selected", REG_SZ, id, without_nul));

    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"selected", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(without_nul, size);

    BYTE buffer[256];
    std::memset(buffer, 0xAB, sizeof(buffer));
    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"selected", nullptr, &type, buffer, &size));
    EXPECT_EQ(without_nul, size);
    EXPECT_EQ(0, std::memcmp(id, buffer, without_nul));
    EXPECT_EQ(0xAB, buffer[without_nul]); // no terminator was added

    ASSERT_EQ(ERROR_SUCCESS, set(L"selected", REG_SZ, id, sizeof(id)));
    size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"selected", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(sizeof(id), size);

    const DWORD rate = 44100;
    const ULONGLONG big = 0x0102030405060708ull;
    ASSERT_EQ(ERROR_SUCCESS, set(L"sampling_rate", REG_DWORD, &rate, sizeof(rate)));
    ASSERT_EQ(ERROR_SUCCESS, set(L"q", REG_QWORD, &big, sizeof(big)));
    ASSERT_EQ(ERROR_SUCCESS, set(L"empty", REG_BINARY, nullptr, 0));
    EXPECT_EQ(ERROR_NOACCESS, set(L"bad", REG_BINARY, nullptr, 4));
    ULONG stored_type = 0;
    std::vector<BYTE> stored;
    ASSERT_TRUE(registry_read_value(user_path(settings_key), L"q", &stored_type, &stored));
    EXPECT_EQ(static_cast<ULONG>(REG_QWORD), stored_type);
    EXPECT_EQ(bytes_of(&big, sizeof(big)), stored);
    size = 99;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"empty", nullptr, &type, nullptr, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
}

TEST_F(RegValues, MoreDataLeavesTheBufferUntouchedAndReportsTheSizeNeeded)
{
    // A 256-byte string default read through a 128-byte row.
    std::vector<BYTE> zeros(256, 0);
    ASSERT_EQ(ERROR_SUCCESS, set(L"selected", REG_SZ, zeros.data(), 256));
    for (DWORD offered : {0u, 1u, 128u, 255u}) {
        SCOPED_TRACE(offered);
        BYTE buffer[256];
        std::memset(buffer, 0x5A, sizeof(buffer));
        DWORD type = 77, size = offered;
        EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key_, L"selected", nullptr, &type, buffer, &size));
        EXPECT_EQ(256u, size);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        for (BYTE b : buffer) {
            ASSERT_EQ(0x5A, b);
        }
    }
    DWORD size = 256;
    BYTE buffer[256];
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"selected", nullptr, nullptr, buffer, &size));

    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"selected", nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key_, L"selected", nullptr, &type, buffer, nullptr));
    DWORD reserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key_, L"selected", &reserved, &type, nullptr, &size));
    size = 4;
    type = 77;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, L"buffer_size_index", nullptr, &type, buffer, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(77u, type);
}

TEST_F(RegValues, NullAndEmptyNamesAreTheDefaultValue)
{
    const WCHAR text[] = L"Apartment";
    ASSERT_EQ(ERROR_SUCCESS, set(nullptr, REG_SZ, text, sizeof(text)));
    WCHAR read[32] = {};
    DWORD size = sizeof(read);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"", nullptr, nullptr, reinterpret_cast<BYTE *>(read), &size));
    EXPECT_STREQ(text, read);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key_, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, nullptr, nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key_, L""));
}

TEST_F(RegValues, GetValueChecksTheTypeAndTerminatesText)
{
    const WCHAR path[] = {L'C', L':', L'\\', L'x'}; // stored without a terminator
    ASSERT_EQ(ERROR_SUCCESS, set(L"ControlPanel", REG_SZ, path, sizeof(path)));
    const DWORD rate = 44100;
    ASSERT_EQ(ERROR_SUCCESS, set(L"sampling_rate", REG_DWORD, &rate, sizeof(rate)));

    DWORD size = 0, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, settings_key, L"ControlPanel", RRF_RT_REG_SZ, &type,
                                          nullptr, &size));
    EXPECT_EQ(sizeof(path) + sizeof(WCHAR), size);
    WCHAR text[8];
    std::wmemset(text, L'#', 8);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, settings_key, L"ControlPanel", RRF_RT_REG_SZ, &type, text,
                                          &size));
    EXPECT_STREQ(L"C:\\x", text);

    DWORD value = 0;
    size = sizeof(value);
    EXPECT_EQ(1630, RegGetValueW(key_, nullptr, L"sampling_rate", RRF_RT_REG_SZ, nullptr, &value, &size));
    size = sizeof(value);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(key_, nullptr, L"sampling_rate", RRF_RT_DWORD, nullptr, &value, &size));
    EXPECT_EQ(44100u, value);
    value = 0xFFFF;
    size = sizeof(value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegGetValueW(key_, nullptr, L"missing", RRF_RT_DWORD | RRF_ZEROONFAILURE, nullptr, &value, &size));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegGetValueW(key_, nullptr, L"sampling_rate", 0, nullptr, &value, &size));
}

TEST_F(RegValues, EnumerationFollowsCreationOrder)
{
    const DWORD index = 7, rate = 44100;
    ASSERT_EQ(ERROR_SUCCESS, set(L"sampling_rate", REG_DWORD, &rate, sizeof(rate)));
    ASSERT_EQ(ERROR_SUCCESS, set(L"buffer_size_index", REG_DWORD, &index, sizeof(index)));
    WCHAR name[32];
    DWORD chars = 32, type = 0, value = 0, size = sizeof(value);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key_, 0, name, &chars, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size));
    EXPECT_STREQ(L"sampling_rate", name);
    EXPECT_EQ(13u, chars);
    EXPECT_EQ(44100u, value);
    chars = 17; // "buffer_size_index" without room for its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key_, 1, name, &chars, nullptr, nullptr, nullptr, nullptr));
    chars = 18;
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key_, 1, name, &chars, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size));
    EXPECT_EQ(4u, size);
    chars = 32;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(key_, 2, name, &chars, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegValues, KernelAndWin32SeeOneStore)
{
    const DWORD rate = 96000;
    HKEY device = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Enum\\USB\\VID_1\\0001\\Device Parameters",
                            &device));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(device, L"SampleRate", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&rate),
                                            sizeof(rate)));

    UNICODE_STRING path = counted(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1\\0001\\Device Parameters");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE kernel_key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwOpenKey(&kernel_key, KEY_ALL_ACCESS, &attributes));
    BYTE record[64];
    ULONG result = 0;
    UNICODE_STRING name = counted(L"SampleRate");
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(kernel_key, &name, KeyValuePartialInformation, record, sizeof(record), &result));
    auto *partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(record);
    EXPECT_EQ(static_cast<ULONG>(REG_DWORD), partial->Type);
    EXPECT_EQ(0, std::memcmp(partial->Data, &rate, sizeof(rate)));

    const WCHAR dsd[] = L"1";
    UNICODE_STRING dsd_name = counted(L"DSDNativeModeSupported");
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(kernel_key, &dsd_name, 0, REG_SZ, const_cast<WCHAR *>(dsd), sizeof(dsd)));
    ZwClose(kernel_key);

    WCHAR text[4] = {};
    DWORD type = 0, size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(device, L"dsdnativemodesupported", nullptr, &type,
                                              reinterpret_cast<BYTE *>(text), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof(dsd), size);
    EXPECT_STREQ(dsd, text);
    RegCloseKey(device);
}
