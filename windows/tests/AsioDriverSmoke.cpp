// An ASIO driver's life as a host and its installer see it, on a machine without a Marla device:
// the driver registers itself, a host finds it under HKLM\SOFTWARE\ASIO, creates it through
// COM with the class identifier as interface identifier, calls it through the host's own
// declaration of the interface, releases it, and the driver unregisters itself.
#include <windows.h>
#include <objbase.h>
#include <cstring>
#include <cwchar>
#include "HostAsio.h"
#include "SmokeCheck.h"
#include "SmokeTests.h"

namespace {

struct AsioDriverCase {
    LPCWSTR moduleName;
    LPCWSTR driverName; // the key under SOFTWARE\ASIO and its description
    const char *reportedName;
    const char *noDeviceText;
};

const AsioDriverCase AsioDrivers[] = {
    {L"ovmlsaaso.dll", L"Orvan Marla Series Async ASIO", "Orvan Marla Series Async ASIO", "No device\n"},
    {L"ovmlsaso.dll", L"Orvan Marla Series ASIO", "Orvan Marla Series ASIO", "No device.\n"},
};

const WCHAR AsioKey[] = L"SOFTWARE\\ASIO";

typedef HRESULT(STDAPICALLTYPE *ServerEntry)();

bool KeyOpens(HKEY root, LPCWSTR path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool ReadString(HKEY key, LPCWSTR name, WCHAR *text, DWORD chars)
{
    DWORD type = REG_NONE;
    DWORD bytes = chars * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)text, &bytes) != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    text[bytes / sizeof(WCHAR) < chars ? bytes / sizeof(WCHAR) : chars - 1] = L'\0';
    return true;
}

// Walks SOFTWARE\ASIO as a host lists its drivers and reads the class identifier of the one
// named driverName.
bool FindRegisteredDriver(LPCWSTR driverName, CLSID *clsid)
{
    HKEY asio = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsioKey, 0, KEY_READ, &asio) != ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    WCHAR name[256];
    for (DWORD index = 0; !found; ++index) {
        DWORD nameChars = 256;
        if (RegEnumKeyExW(asio, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        HKEY driver = nullptr;
        if (std::wcscmp(name, driverName) != 0 || RegOpenKeyExW(asio, name, 0, KEY_READ, &driver) != ERROR_SUCCESS) {
            continue;
        }
        WCHAR clsidText[64];
        WCHAR description[256];
        found = ReadString(driver, L"CLSID", clsidText, 64) && CLSIDFromString(clsidText, clsid) == S_OK;
        SMOKE_CHECK(ReadString(driver, L"Description", description, 256) && std::wcscmp(description, driverName) == 0,
                    "Description of %ls", driverName);
        RegCloseKey(driver);
    }
    RegCloseKey(asio);
    return found;
}

// The calls a host makes before and at init, through its own declaration of the interface:
// pointer, double and no arguments, with and without results.
void CallUninitialisedDriver(IHostAsio *driver, const AsioDriverCase &expected)
{
    char name[32];
    std::memset(name, 0x7F, sizeof(name));
    driver->getDriverName(name);
    SMOKE_CHECK(std::strcmp(name, expected.reportedName) == 0, "getDriverName gave \"%.32s\"", name);
    SMOKE_CHECK(driver->getDriverVersion() == 1, "getDriverVersion");
    SMOKE_CHECK(driver->canSampleRate(48000.0) == HostAsioNotPresent, "canSampleRate before init");

    SMOKE_CHECK(driver->init(nullptr) == 0, "init without a device");
    char error[124];
    std::memset(error, 0x7F, sizeof(error));
    driver->getErrorMessage(error);
    SMOKE_CHECK(std::strcmp(error, expected.noDeviceText) == 0, "getErrorMessage gave \"%.124s\"", error);

    long inputs = -1;
    long outputs = -1;
    SMOKE_CHECK(driver->getChannels(&inputs, &outputs) == HostAsioNotPresent, "getChannels after a failed init");
    long minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
    SMOKE_CHECK(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity) == HostAsioNotPresent,
                "getBufferSize after a failed init");
}

void CreateAndRelease(const AsioDriverCase &expected, const CLSID &clsid, ServerEntry canUnload)
{
    SMOKE_CHECK(CoInitialize(nullptr) == S_OK, "CoInitialize");
    IHostAsio *driver = nullptr;
    const HRESULT created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, (void **)&driver);
    SMOKE_CHECK(created == S_OK && driver != nullptr, "CoCreateInstance: 0x%08lX", (unsigned long)created);
    if (driver != nullptr) {
        CallUninitialisedDriver(driver, expected);
        SMOKE_CHECK(driver->Release() == 0, "the host's reference is the last");
        SMOKE_CHECK(canUnload() == S_OK, "DllCanUnloadNow once the driver is released");
    }
    CoUninitialize();
}

} // namespace

int RunAsioDriverSmoke(LPCWSTR modulePath)
{
    const AsioDriverCase *expected = nullptr;
    for (const AsioDriverCase &row : AsioDrivers) {
        const size_t pathChars = std::wcslen(modulePath);
        const size_t nameChars = std::wcslen(row.moduleName);
        if (pathChars >= nameChars && _wcsicmp(modulePath + pathChars - nameChars, row.moduleName) == 0) {
            expected = &row;
        }
    }
    SMOKE_CHECK(expected != nullptr, "%ls is not an ASIO driver of the package", modulePath);
    HMODULE module = expected != nullptr ? LoadLibraryW(modulePath) : nullptr;
    SMOKE_CHECK(module != nullptr, "LoadLibrary %ls: %lu", modulePath, GetLastError());
    if (module == nullptr) {
        return smoke::FailureCount();
    }
    const auto registerServer = (ServerEntry)(void *)GetProcAddress(module, "DllRegisterServer");
    const auto unregisterServer = (ServerEntry)(void *)GetProcAddress(module, "DllUnregisterServer");
    const auto canUnload = (ServerEntry)(void *)GetProcAddress(module, "DllCanUnloadNow");
    SMOKE_CHECK(registerServer != nullptr && unregisterServer != nullptr && canUnload != nullptr,
                "registration entry points");
    if (registerServer != nullptr && unregisterServer != nullptr && canUnload != nullptr) {
        SMOKE_CHECK(registerServer() == S_OK, "DllRegisterServer");
        CLSID clsid = {};
        const bool found = FindRegisteredDriver(expected->driverName, &clsid);
        SMOKE_CHECK(found, "%ls under HKLM\\%ls", expected->driverName, AsioKey);
        if (found) {
            CreateAndRelease(*expected, clsid, canUnload);
        }

        WCHAR driverKey[300];
        std::swprintf(driverKey, 300, L"%ls\\%ls", AsioKey, expected->driverName);
        WCHAR classKey[64] = L"CLSID\\";
        StringFromGUID2(clsid, classKey + 6, 58);
        SMOKE_CHECK(unregisterServer() == S_OK, "DllUnregisterServer");
        SMOKE_CHECK(!KeyOpens(HKEY_LOCAL_MACHINE, driverKey), "HKLM\\%ls is gone after unregistering", driverKey);
        SMOKE_CHECK(!KeyOpens(HKEY_CLASSES_ROOT, classKey), "HKCR\\%ls is gone after unregistering", classKey);
        SMOKE_CHECK(KeyOpens(HKEY_LOCAL_MACHINE, AsioKey), "HKLM\\%ls stays", AsioKey);
        SMOKE_CHECK(unregisterServer() == S_OK, "DllUnregisterServer with nothing registered");
    }
    FreeLibrary(module);
    return smoke::FailureCount();
}
