// ovmlsaaso as Windows sees it: self-registration over empty, same-path and other-path
// registrations, unregistration, and a host that finds the driver under SOFTWARE\ASIO and
// creates it through CoCreateInstance with the class identifier as the interface identifier.
#include <objbase.h>
#include <gtest/gtest.h>
#include <platform/machine_state.h>
#include <platform/win32_system.h>
#include <optional>
#include <string>

namespace {

const std::wstring class_key = L"CLSID\\{4427F646-4B33-4B24-A4D1-A838CCF662C5}";
const std::wstring server_key = class_key + L"\\InprocServer32";
const std::wstring asio_key = L"SOFTWARE\\ASIO\\Orvan Marla Series Async ASIO";
const std::wstring module_path = L"C:\\Program Files\\Orvan\\ASIO\\OVMLSAASO.dll";

typedef HRESULT(STDAPICALLTYPE *entry_point)();

struct stored_value {
    std::wstring text;
    DWORD bytes;
};

bool key_exists(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::optional<stored_value> read_value(HKEY root, const std::wstring &path, LPCWSTR name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    std::optional<stored_value> result;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_SZ) {
        std::wstring text(bytes / sizeof(WCHAR) + 1, L'\0');
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(text.data()), &bytes) ==
            ERROR_SUCCESS) {
            text.resize(bytes / sizeof(WCHAR));
            result = stored_value{text, bytes};
        }
    }
    RegCloseKey(key);
    return result;
}

void write_value(HKEY root, const std::wstring &path, LPCWSTR name, const std::wstring &text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(root, path.c_str(), &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                             (DWORD)((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

std::wstring lower(std::wstring text)
{
    CharLowerW(text.data());
    return text;
}

template <typename T>
T proc(HMODULE module, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class AsioRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        platform::module_register_path(L"ovmlsaaso.dll", module_path);
        m_module = LoadLibraryW(L"ovmlsaaso.dll");
        ASSERT_NE(m_module, nullptr);
        m_register = proc<entry_point>(m_module, "DllRegisterServer");
        m_unregister = proc<entry_point>(m_module, "DllUnregisterServer");
        m_can_unload = proc<entry_point>(m_module, "DllCanUnloadNow");
        ASSERT_NE(m_register, nullptr);
        ASSERT_NE(m_unregister, nullptr);
        ASSERT_NE(m_can_unload, nullptr);
        ASSERT_NE(GetProcAddress(m_module, "DllGetClassObject"), nullptr);
        ASSERT_NE(GetProcAddress(m_module, "DllMain"), nullptr);
    }

    void TearDown() override
    {
        FreeLibrary(m_module);
        platform::machine_shutdown();
    }

    HMODULE m_module = nullptr;
    entry_point m_register = nullptr;
    entry_point m_unregister = nullptr;
    entry_point m_can_unload = nullptr;
};

TEST_F(AsioRegistrationTest, RegisterWritesTheClassKeysAndTheAsioEntryWithoutTerminators)
{
    ASSERT_EQ(m_register(), S_OK);

    auto description = read_value(HKEY_CLASSES_ROOT, class_key, nullptr);
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->text, L"Orvan Marla Series Async ASIO");
    EXPECT_EQ(description->bytes, description->text.size() * sizeof(WCHAR));

    auto server = read_value(HKEY_CLASSES_ROOT, server_key, nullptr);
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->text, lower(module_path));
    EXPECT_EQ(server->bytes, module_path.size() * sizeof(WCHAR));
    auto threading = read_value(HKEY_CLASSES_ROOT, server_key, L"ThreadingModel");
    ASSERT_TRUE(threading.has_value());
    EXPECT_EQ(threading->text, L"Apartment");

    auto clsid = read_value(HKEY_LOCAL_MACHINE, asio_key, L"CLSID");
    ASSERT_TRUE(clsid.has_value());
    EXPECT_EQ(clsid->text, L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}");
    EXPECT_EQ(clsid->bytes, 38 * sizeof(WCHAR));
    auto asio_description = read_value(HKEY_LOCAL_MACHINE, asio_key, L"Description");
    ASSERT_TRUE(asio_description.has_value());
    EXPECT_EQ(asio_description->text, L"Orvan Marla Series Async ASIO");
    EXPECT_EQ(m_can_unload(), S_OK) << "registration creates no object";
}

TEST_F(AsioRegistrationTest, RegisteringAgainFromTheSamePathKeepsTheClassKeysAndRebuildsTheAsioEntry)
{
    ASSERT_EQ(m_register(), S_OK);
    write_value(HKEY_CLASSES_ROOT, class_key, L"Marker", L"kept");
    write_value(HKEY_LOCAL_MACHINE, asio_key, L"Marker", L"stale");
    write_value(HKEY_LOCAL_MACHINE, asio_key + L"\\Sub", L"Marker", L"stale");

    ASSERT_EQ(m_register(), S_OK);
    EXPECT_TRUE(read_value(HKEY_CLASSES_ROOT, class_key, L"Marker").has_value());
    EXPECT_FALSE(read_value(HKEY_LOCAL_MACHINE, asio_key, L"Marker").has_value());
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, asio_key + L"\\Sub"));
    EXPECT_TRUE(read_value(HKEY_LOCAL_MACHINE, asio_key, L"CLSID").has_value());
}

TEST_F(AsioRegistrationTest, RegisteringFromAnotherPathRebuildsTheClassKeys)
{
    ASSERT_EQ(m_register(), S_OK);
    write_value(HKEY_CLASSES_ROOT, class_key, L"Marker", L"old");
    write_value(HKEY_CLASSES_ROOT, server_key + L"\\Sub", nullptr, L"old");

    const std::wstring moved = L"D:\\Audio\\Drivers\\ovmlsaaso.dll";
    platform::module_register_path(L"ovmlsaaso.dll", moved);
    ASSERT_EQ(m_register(), S_OK);
    EXPECT_FALSE(read_value(HKEY_CLASSES_ROOT, class_key, L"Marker").has_value());
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, server_key + L"\\Sub"));
    auto server = read_value(HKEY_CLASSES_ROOT, server_key, nullptr);
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->text, lower(moved));
    EXPECT_TRUE(read_value(HKEY_CLASSES_ROOT, server_key, L"ThreadingModel").has_value());
}

TEST_F(AsioRegistrationTest, StoredPathBeyondTheReadLimitCountsAsAnotherPath)
{
    // 200 characters: more than 360 bytes of UTF-16, so the stored path is not read back.
    const std::wstring long_path = L"C:\\" + std::wstring(181, L'd') + L"\\ovmlsaaso.dll";
    ASSERT_EQ(long_path.size(), 198u);
    platform::module_register_path(L"ovmlsaaso.dll", long_path);
    ASSERT_EQ(m_register(), S_OK);
    write_value(HKEY_CLASSES_ROOT, class_key, L"Marker", L"old");
    ASSERT_EQ(m_register(), S_OK);
    EXPECT_FALSE(read_value(HKEY_CLASSES_ROOT, class_key, L"Marker").has_value());
    EXPECT_EQ(read_value(HKEY_CLASSES_ROOT, server_key, nullptr)->text, lower(long_path));
}

TEST_F(AsioRegistrationTest, PathThatDoesNotFitIsRefusedRatherThanRegisteredCut)
{
    platform::module_register_path(L"ovmlsaaso.dll", L"C:\\" + std::wstring(400, L'x') + L"\\ovmlsaaso.dll");
    EXPECT_EQ(m_register(), (HRESULT)-1);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, asio_key));
    EXPECT_EQ(m_unregister(), (HRESULT)-1);
}

TEST_F(AsioRegistrationTest, RegistrationThatCouldNotWriteItsKeysIsReportedAsAFailure)
{
    // Without HKCR\CLSID the class keys cannot be made: a host could not create the driver.
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"CLSID"), ERROR_SUCCESS);
    EXPECT_EQ(m_register(), (HRESULT)-1);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, asio_key)) << "the steps after a failed write still run";
}

TEST_F(AsioRegistrationTest, UnregisterRemovesOnlyThisDriverAndNothingRegisteredIsNotAFailure)
{
    EXPECT_EQ(m_unregister(), S_OK);
    ASSERT_EQ(m_register(), S_OK);
    write_value(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Another Driver", L"CLSID", L"{00000000-0000-0000-0000-000000000001}");

    EXPECT_EQ(m_unregister(), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, asio_key));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Another Driver"));
    EXPECT_EQ(m_unregister(), S_OK);
}

TEST_F(AsioRegistrationTest, HostFindsTheDriverUnderSoftwareAsioAndCreatesItThroughCom)
{
    ASSERT_EQ(m_register(), S_OK);

    HKEY asio = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &asio), ERROR_SUCCESS);
    WCHAR name[MAX_PATH];
    std::wstring found;
    for (DWORD i = 0; RegEnumKeyW(asio, i, name, MAX_PATH) == ERROR_SUCCESS; ++i) {
        found = name;
    }
    RegCloseKey(asio);
    ASSERT_EQ(found, L"Orvan Marla Series Async ASIO");
    auto clsid_text = read_value(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\" + found, L"CLSID");
    ASSERT_TRUE(clsid_text.has_value());
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(clsid_text->text.c_str(), &clsid), S_OK);

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IUnknown *driver = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void **>(&driver)), S_OK);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(m_can_unload(), S_FALSE);

    void *other = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    IUnknown *identity = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
    EXPECT_EQ(identity->Release(), 1u);

    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(m_can_unload(), S_OK);
    CoUninitialize();
}

} // namespace
