// Win32 registry keys: open and create with their disposition, access rights, delete rules,
// enumeration, the older calls, the predefined roots, the views and process ownership.
#include <cstring>
#include <platform/process.h>
#include "RegistryTest.h"

using namespace platform;

namespace {

class RegKeys : public RegistryTest {};

} // namespace

TEST_F(RegKeys, OpeningAMissingKeyFailsWithFileNotFoundAndANullHandle)
{
    HKEY key = reinterpret_cast<HKEY>(0x55);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ | KEY_WOW64_64KEY, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(reinterpret_cast<HKEY>(0x12345), L"x", 0, KEY_READ, &key));
}

TEST_F(RegKeys, CreateMakesTheWholePathAndReportsWhetherItWasNew)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                             nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_TRUE(registry_key_exists(user_path(settings_key)));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"software\\ORVAN\\{12a0debd-d683-43b5-bf51-9c131720841c}",
                                             0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ | KEY_WOW64_64KEY, &opened));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(opened));
}

TEST_F(RegKeys, AHandleAllowsOnlyWhatItWasOpenedFor)
{
    ASSERT_TRUE(registry_seed_dword(user_path(settings_key), L"sampling_rate", 44100));
    HKEY reader = nullptr, writer = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ | KEY_WOW64_64KEY, &reader));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_WRITE | KEY_WOW64_64KEY, &writer));

    DWORD rate = 48000, size = sizeof(rate);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExW(reader, L"sampling_rate", 0, REG_DWORD, reinterpret_cast<BYTE *>(&rate), sizeof(rate)));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueW(reader, L"sampling_rate"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExW(writer, L"sampling_rate", nullptr, nullptr,
                                                    reinterpret_cast<BYTE *>(&rate), &size));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegNotifyChangeKeyValue(writer, TRUE, 0x0F, nullptr, FALSE));

    // A subkey that does not exist yet cannot be made under a read-only handle.
    HKEY sub = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegCreateKeyExW(reader, L"sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(writer, L"sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition));
    RegCloseKey(sub);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(reader, L"sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(sub);

    RegCloseKey(reader);
    RegCloseKey(writer);
}

TEST_F(RegKeys, DeleteRefusesAKeyWithSubkeys)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Driver\\Inner", &key));
    RegCloseKey(key);
    HKEY asio = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", &asio));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(asio, L"Driver"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(asio, L"Missing"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyW(asio, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(asio, L"Driver\\Inner"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(asio, L"driver"));
    EXPECT_FALSE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\ASIO\\Driver"));
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\ASIO"));
    RegCloseKey(asio);
}

TEST_F(RegKeys, ClosingTwiceOrUsingAClosedHandleFails)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\T", &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(key, L"x", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));

    // A new handle never takes the value of a closed one.
    HKEY next = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_CURRENT_USER, L"Software\\T", &next));
    EXPECT_NE(key, next);
    RegCloseKey(next);
}

TEST_F(RegKeys, EnumerationIsInCreationOrderWithTheDocumentedBufferRules)
{
    HKEY key = nullptr, sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, L"CLSID", &key));
    for (const WCHAR *name : {L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}", L"B", L"a"}) {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(key, name, &sub));
        RegCloseKey(sub);
    }
    std::vector<std::wstring> names;
    WCHAR name[360];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 360) == ERROR_SUCCESS; ++i) {
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}", L"B", L"a"}), names);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyW(key, 3, name, 360));

    DWORD chars = 38; // one short of the name and its terminator
    std::wmemset(name, L'#', 360);
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    chars = 39;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(38u, chars);
    EXPECT_EQ(L'\0', name[38]);

    DWORD subkeys = 0, max_name = 0, values = 9;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &max_name, nullptr, &values,
                                              nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, subkeys);
    EXPECT_EQ(38u, max_name);
    EXPECT_EQ(0u, values);
    RegCloseKey(key);
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\B"));
}

TEST_F(RegKeys, OlderCallsUseTheDefaultValueAndReturnTheSameHandleForNoSubkey)
{
    HKEY same = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_CLASSES_ROOT, nullptr, &same));
    EXPECT_EQ(HKEY_CLASSES_ROOT, same);

    const WCHAR description[] = L"Orvan Marla Series Async ASIO";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueW(HKEY_CLASSES_ROOT, L"CLSID\\{X}", REG_SZ, description, 3));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueW(HKEY_CLASSES_ROOT, L"CLSID\\{X}", REG_BINARY, description, 3));

    WCHAR text[64];
    LONG size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueW(HKEY_CLASSES_ROOT, L"CLSID\\{X}", text, &size));
    EXPECT_EQ(static_cast<LONG>(sizeof(description)), size); // the text's own length, terminator included
    EXPECT_STREQ(description, text);

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\InprocServer32", &key));
    size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueW(key, nullptr, text, &size));
    EXPECT_EQ(static_cast<LONG>(sizeof(WCHAR)), size);
    EXPECT_STREQ(L"", text);
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueW(HKEY_CLASSES_ROOT, L"CLSID\\{X}", text, &size));
    EXPECT_EQ(static_cast<LONG>(sizeof(description)), size);
    RegCloseKey(key);
}

TEST_F(RegKeys, PredefinedRootsFollowTheCurrentUser)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, settings_key, &key));
    RegCloseKey(key);
    EXPECT_TRUE(registry_key_exists(user_path(settings_key)));

    registry_set_current_user(L"S-1-5-21-1-2-3-1002");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, (std::wstring(registry_default_user_sid) + L"\\" + settings_key).c_str(),
                                           0, KEY_READ, &key));
    RegCloseKey(key);
}

TEST_F(RegKeys, ThirtyTwoBitViewRedirectsMachineSoftwareOnly)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Orvan Marla Series ASIO", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, &disposition));
    HKEY below = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(key, L"Inner", &below)); // a 32-bit handle stays in its view
    RegCloseKey(below);
    RegCloseKey(key);
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\WOW6432Node\\ASIO\\Orvan Marla Series ASIO\\Inner"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ | KEY_WOW64_64KEY, &key));

    // A process set to the 32-bit view gets it without flags, in the older calls too.
    registry_set_process_view(process_current(), registry_view::wow64_32);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Orvan Marla Series ASIO", &key));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, L"CLSID\\{E34ABBB9-E175-4A6A-9BDF-9899FC21BCBD}", &key));
    RegCloseKey(key);
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\WOW6432Node\\Classes\\CLSID\\{E34ABBB9-E175-4A6A-9BDF-9899FC21BCBD}"));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Orvan\\Marla Series ASIO", &key));
    RegCloseKey(key);
    EXPECT_TRUE(registry_key_exists(user_path(L"Software\\Orvan\\Marla Series ASIO")));
    registry_set_process_view(process_current(), registry_view::native);
}

TEST_F(RegKeys, KeysBelongToTheirProcessAndCloseWhenItEnds)
{
    process *p = process_create(L"panel.exe", L"panel.exe");
    std::atomic<bool> opened{false};
    HKEY foreign = nullptr;
    thread *t = process_start_thread(p, [&] {
        HKEY key = nullptr;
        opened = RegCreateKeyW(HKEY_CURRENT_USER, settings_key, &key) == ERROR_SUCCESS &&
                 RegOpenKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE", &foreign) == ERROR_SUCCESS;
    });
    ASSERT_NE(nullptr, t);
    ASSERT_TRUE(eventually([&] { return opened.load(); }));
    ASSERT_TRUE(process_wait_threads(p, 10000));
    HKEY mine = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE", &mine));
    EXPECT_EQ(3u, registry_open_handle_count());

    // Another process's handle means nothing here.
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(foreign, L"Classes", 0, KEY_READ, &sub));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(foreign));

    process_terminate(p, 0);
    EXPECT_EQ(1u, registry_open_handle_count());
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(foreign)) << "closed with its process";
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(mine));
    thread_dereference(t);
    process_dereference(p);
}
