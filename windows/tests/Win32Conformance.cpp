// Documented behaviour of the Win32 calls the user-mode deliverables rely on, checked where it
// matters to them: results, last errors and out-parameters. The same checks run on the
// stand-in (Linux build) and under Wine (Windows build), so the stand-in answers as an
// independent Windows runtime does.
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <evntprov.h>
#include <shellapi.h>
#include <ks.h>
#include <ksmedia.h>
#include <cstring>
#include <cwchar>
#include "SmokeCheck.h"
#include "SmokeTests.h"

namespace {

const WCHAR TestKey[] = L"SOFTWARE\\Orvan\\Win32 conformance";

DWORD WINAPI WaitAndEnd(LPVOID mutex)
{
    return WaitForSingleObject((HANDLE)mutex, INFINITE);
}

void CheckRegistryValues()
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    SMOKE_CHECK(RegCreateKeyExW(HKEY_CURRENT_USER, TestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition) == ERROR_SUCCESS &&
                    disposition == REG_CREATED_NEW_KEY,
                "RegCreateKeyExW of a new key: disposition %u", (unsigned)disposition);
    if (key == nullptr) {
        return;
    }
    // A REG_SZ is written with its terminator counted and read back at the length written.
    const WCHAR text[] = L"Apartment";
    const DWORD textBytes = (DWORD)sizeof(text);
    SMOKE_CHECK(RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, (const BYTE *)text, textBytes) == ERROR_SUCCESS,
                "RegSetValueExW");
    DWORD type = REG_NONE;
    DWORD size = 0;
    SMOKE_CHECK(RegQueryValueExW(key, L"ThreadingModel", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
                    type == REG_SZ && size == textBytes,
                "size query: type %u, %u bytes", (unsigned)type, (unsigned)size);
    WCHAR small[4];
    size = sizeof(small);
    SMOKE_CHECK(RegQueryValueExW(key, L"ThreadingModel", nullptr, &type, (BYTE *)small, &size) == ERROR_MORE_DATA &&
                    size == textBytes,
                "a buffer too small: ERROR_MORE_DATA and %u bytes", (unsigned)size);
    WCHAR read[32];
    std::wmemset(read, L'#', 32);
    size = sizeof(read);
    SMOKE_CHECK(RegQueryValueExW(key, L"ThreadingModel", nullptr, &type, (BYTE *)read, &size) == ERROR_SUCCESS &&
                    size == textBytes && std::wcscmp(read, text) == 0 && read[10] == L'#',
                "read back: %u bytes", (unsigned)size);
    size = sizeof(read);
    SMOKE_CHECK(RegQueryValueExW(key, L"Missing", nullptr, &type, (BYTE *)read, &size) == ERROR_FILE_NOT_FOUND,
                "a missing value");

    // The default value, written through a null name.
    SMOKE_CHECK(RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE *)text, textBytes) == ERROR_SUCCESS,
                "RegSetValueExW of the default value");
    size = sizeof(read);
    SMOKE_CHECK(RegQueryValueExW(key, L"", nullptr, &type, (BYTE *)read, &size) == ERROR_SUCCESS && size == textBytes,
                "the default value read by an empty name");

    // A key with a subkey cannot be deleted with RegDeleteKeyW; enumeration ends with
    // ERROR_NO_MORE_ITEMS.
    HKEY child = nullptr;
    SMOKE_CHECK(RegCreateKeyW(key, L"Child", &child) == ERROR_SUCCESS, "RegCreateKeyW");
    if (child != nullptr) {
        RegCloseKey(child);
    }
    WCHAR name[64];
    SMOKE_CHECK(RegEnumKeyW(key, 0, name, 64) == ERROR_SUCCESS && std::wcscmp(name, L"Child") == 0, "RegEnumKeyW 0");
    SMOKE_CHECK(RegEnumKeyW(key, 1, name, 64) == ERROR_NO_MORE_ITEMS, "RegEnumKeyW past the end");
    DWORD nameChars = 3;
    SMOKE_CHECK(RegEnumKeyExW(key, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) == ERROR_MORE_DATA,
                "RegEnumKeyExW into a name buffer too small");
    SMOKE_CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, TestKey) == ERROR_ACCESS_DENIED, "RegDeleteKeyW of a key with a subkey");
    SMOKE_CHECK(RegDeleteKeyW(key, L"Child") == ERROR_SUCCESS, "RegDeleteKeyW of the subkey");
    RegCloseKey(key);
    SMOKE_CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, TestKey) == ERROR_SUCCESS, "RegDeleteKeyW of the emptied key");
    key = reinterpret_cast<HKEY>(1);
    SMOKE_CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, TestKey, 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND && key == nullptr,
                "RegOpenKeyExW of a deleted key");
}

void CheckNamedObjects()
{
    const WCHAR mutexName[] = L"{6F2B6A51-3C4E-4E7B-9E11-2B0C5D7A9F01}";
    HANDLE first = CreateMutexW(nullptr, FALSE, mutexName);
    SMOKE_CHECK(first != nullptr && GetLastError() == ERROR_SUCCESS, "CreateMutexW of a new name");
    HANDLE second = CreateMutexW(nullptr, TRUE, mutexName);
    SMOKE_CHECK(second != nullptr && GetLastError() == ERROR_ALREADY_EXISTS, "CreateMutexW of an existing name");
    SMOKE_CHECK(WaitForSingleObject(second, 0) == WAIT_OBJECT_0, "the existing mutex is not owned by the second open");
    SMOKE_CHECK(ReleaseMutex(second), "ReleaseMutex by the owner");
    SMOKE_CHECK(!ReleaseMutex(second) && GetLastError() == ERROR_NOT_OWNER, "ReleaseMutex by a thread not owning it");
    SetLastError(0);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, mutexName);
    SMOKE_CHECK(event == nullptr && GetLastError() == ERROR_INVALID_HANDLE, "CreateEventW of a mutex's name: %u",
                (unsigned)GetLastError());
    SMOKE_CHECK(OpenEventW(SYNCHRONIZE, FALSE, L"{6F2B6A51-3C4E-4E7B-9E11-2B0C5D7A9F02}") == nullptr &&
                    GetLastError() == ERROR_FILE_NOT_FOUND,
                "OpenEventW of a missing name");
    CloseHandle(second);
    CloseHandle(first);

    // A mutex whose owner thread ends is abandoned; the next wait owns it.
    HANDLE abandoned = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE owner = CreateThread(nullptr, 0, WaitAndEnd, abandoned, 0, nullptr);
    SMOKE_CHECK(owner != nullptr && WaitForSingleObject(owner, 10000) == WAIT_OBJECT_0, "the owner thread ends");
    SMOKE_CHECK(WaitForSingleObject(abandoned, 0) == WAIT_ABANDONED, "a wait on an abandoned mutex");
    SMOKE_CHECK(ReleaseMutex(abandoned), "the abandoned mutex is owned after the wait");
    CloseHandle(owner);
    CloseHandle(abandoned);
}

void CheckCommandLines()
{
    const struct {
        LPCWSTR line;
        int count;
        LPCWSTR last;
    } rows[] = {
        {L"tool \"C:\\Program Files\\x\\ovmlsau.inf\" \"USB\\VID_3A51&PID_0201\"", 3, L"USB\\VID_3A51&PID_0201"},
        {L"tool a\\\\\\\"b c", 3, L"c"},
        {L"tool \"a\\\\\" b", 3, L"b"},
        {L"tool \"\"", 2, L""},
        {L"tool", 1, L"tool"},
    };
    for (const auto &row : rows) {
        int count = -1;
        LPWSTR *arguments = CommandLineToArgvW(row.line, &count);
        SMOKE_CHECK(arguments != nullptr && count == row.count && std::wcscmp(arguments[count - 1], row.last) == 0,
                    "CommandLineToArgvW(%ls): %d arguments, last \"%ls\"", row.line, count,
                    arguments != nullptr && count > 0 ? arguments[count - 1] : L"");
        LocalFree(arguments);
    }
    int count = -1;
    LPWSTR *arguments = CommandLineToArgvW(L"tool \"a\\\\\\\"b\"", &count);
    SMOKE_CHECK(arguments != nullptr && count == 2 && std::wcscmp(arguments[1], L"a\\\"b") == 0,
                "backslashes before a quote: \"%ls\"", arguments != nullptr && count > 1 ? arguments[1] : L"");
    LocalFree(arguments);
}

void CheckPaths()
{
    WCHAR current[MAX_PATH];
    const DWORD currentChars = GetCurrentDirectoryW(MAX_PATH, current);
    SMOKE_CHECK(currentChars > 0 && currentChars < MAX_PATH, "GetCurrentDirectoryW");
    WCHAR expected[MAX_PATH + 16];
    std::swprintf(expected, MAX_PATH + 16, L"%ls%lsovmlsau.inf", current,
                  current[currentChars - 1] == L'\\' ? L"" : L"\\");
    WCHAR full[MAX_PATH];
    const DWORD fullChars = GetFullPathNameW(L"ovmlsau.inf", MAX_PATH, full, nullptr);
    SMOKE_CHECK(fullChars == std::wcslen(expected) && std::wcscmp(full, expected) == 0,
                "GetFullPathNameW of a relative name: \"%ls\"", full);
    WCHAR tiny[4];
    SMOKE_CHECK(GetFullPathNameW(L"ovmlsau.inf", 4, tiny, nullptr) == fullChars + 1,
                "GetFullPathNameW into a buffer too small gives the size with the terminator");
    SMOKE_CHECK(GetFullPathNameW(L"C:\\a\\b\\..\\c.inf", MAX_PATH, full, nullptr) == 10 &&
                    std::wcscmp(full, L"C:\\a\\c.inf") == 0,
                "GetFullPathNameW folds \"..\": \"%ls\"", full);
    SMOKE_CHECK(GetFileAttributesW(L"C:\\no such folder\\x.inf") == INVALID_FILE_ATTRIBUTES &&
                    GetLastError() == ERROR_PATH_NOT_FOUND,
                "GetFileAttributesW in a missing folder: %u", (unsigned)GetLastError());
}

void CheckText()
{
    WCHAR text[] = L"Z:\\Work\\OVMLSAASO.DLL";
    SMOKE_CHECK(CharLowerW(text) == text && std::wcscmp(text, L"z:\\work\\ovmlsaaso.dll") == 0, "CharLowerW in place");
    SMOKE_CHECK(lstrlenW(nullptr) == 0 && lstrlenW(L"abc") == 3, "lstrlenW");

    const CLSID clsid = {0x4427F646, 0x4B33, 0x4B24, {0xA4, 0xD1, 0xA8, 0x38, 0xCC, 0xF6, 0x62, 0xC5}};
    WCHAR guid[40];
    SMOKE_CHECK(StringFromGUID2(clsid, guid, 39) == 39 &&
                    std::wcscmp(guid, L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}") == 0,
                "StringFromGUID2: \"%ls\"", guid);
    SMOKE_CHECK(StringFromGUID2(clsid, guid, 38) == 0, "StringFromGUID2 into 38 characters");
    LPOLESTR allocated = nullptr;
    SMOKE_CHECK(StringFromCLSID(clsid, &allocated) == S_OK && allocated != nullptr &&
                    std::wcscmp(allocated, L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}") == 0,
                "StringFromCLSID");
    CoTaskMemFree(allocated);
    CLSID parsed = {};
    SMOKE_CHECK(CLSIDFromString(L"{4427f646-4b33-4b24-a4d1-a838ccf662c5}", &parsed) == NOERROR &&
                    IsEqualGUID(parsed, clsid),
                "CLSIDFromString of lower-case text");
    SMOKE_CHECK(CLSIDFromString(L"{4427F646-4B33-4B24-A4D1-A838CCF662C}", &parsed) == CO_E_CLASSSTRING,
                "CLSIDFromString of a short text");
}

void CheckDeviceSetup()
{
    // The asynchronous stack's discovery on a machine without its devices.
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SMOKE_CHECK(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsW of the audio interfaces");
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        SMOKE_CHECK(!SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data) &&
                        GetLastError() == ERROR_NO_MORE_ITEMS,
                    "SetupDiEnumDeviceInterfaces of an empty set: %u", (unsigned)GetLastError());
        SetupDiDestroyDeviceInfoList(set);
    }

    // The co-installers' calls on a set without devices or driver lists.
    set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SMOKE_CHECK(set != INVALID_HANDLE_VALUE, "SetupDiCreateDeviceInfoList");
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof(params) - 1;
    SMOKE_CHECK(!SetupDiGetDeviceInstallParamsA(set, nullptr, &params) && GetLastError() == ERROR_INVALID_USER_BUFFER,
                "SetupDiGetDeviceInstallParamsA with a wrong cbSize: %u", (unsigned)GetLastError());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    SMOKE_CHECK(!SetupDiEnumDeviceInfo(set, 0, &device) && GetLastError() == ERROR_NO_MORE_ITEMS,
                "SetupDiEnumDeviceInfo of an empty set: %u", (unsigned)GetLastError());
    SetupDiDestroyDeviceInfoList(set);
}

void CheckEventTracing()
{
    // Each traced module registers its provider at load and writes strings to it; with no
    // session taking the provider, registration and writes still succeed.
    static const GUID provider = {0x3C1B6E52, 0x91D4, 0x4F0A, {0x8E, 0x27, 0x5B, 0x60, 0xC3, 0x1F, 0x9A, 0x44}};
    SMOKE_CHECK(EventRegister(&provider, nullptr, nullptr, nullptr) == ERROR_INVALID_PARAMETER,
                "EventRegister without a handle to fill");
    REGHANDLE handle = 0;
    const ULONG registered = EventRegister(&provider, nullptr, nullptr, &handle);
    SMOKE_CHECK(registered == ERROR_SUCCESS && handle != 0, "EventRegister: %u", (unsigned)registered);
    const ULONG written = EventWriteString(handle, 2, 1, L"Win32 conformance");
    SMOKE_CHECK(written == ERROR_SUCCESS, "EventWriteString without a session: %u", (unsigned)written);
    const ULONG unregistered = EventUnregister(handle);
    SMOKE_CHECK(unregistered == ERROR_SUCCESS, "EventUnregister: %u", (unsigned)unregistered);
}

void CheckWindows()
{
    const UINT message = RegisterWindowMessageW(L"Win32 conformance message");
    SMOKE_CHECK(message >= 0xC000 && message <= 0xFFFF && RegisterWindowMessageW(L"Win32 conformance message") == message,
                "RegisterWindowMessageW: 0x%X", message);
    SMOKE_CHECK(FindWindowW(nullptr, L"No such window title at all") == nullptr, "FindWindowW of a missing title");

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"Win32Conformance";
    SMOKE_CHECK(RegisterClassExW(&windowClass) != 0, "RegisterClassExW");
    SMOKE_CHECK(RegisterClassExW(&windowClass) == 0 && GetLastError() == ERROR_CLASS_ALREADY_EXISTS,
                "RegisterClassExW of a registered class: %u", (unsigned)GetLastError());
    HWND window = CreateWindowExW(0, L"Win32Conformance", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    SMOKE_CHECK(window != nullptr && !IsWindowVisible(window), "a hidden window");
    SMOKE_CHECK(!UnregisterClassW(L"Win32Conformance", windowClass.hInstance) &&
                    GetLastError() == ERROR_CLASS_HAS_WINDOWS,
                "UnregisterClassW of a class with a window: %u", (unsigned)GetLastError());
    SMOKE_CHECK(PostMessageW(window, WM_QUIT, 0, 0), "PostMessageW of WM_QUIT");
    MSG msg = {};
    SMOKE_CHECK(GetMessageW(&msg, nullptr, 0, 0) == FALSE && msg.message == WM_QUIT, "GetMessageW returns 0 at WM_QUIT");
    SMOKE_CHECK(DestroyWindow(window), "DestroyWindow");
    SMOKE_CHECK(UnregisterClassW(L"Win32Conformance", windowClass.hInstance), "UnregisterClassW");
}

} // namespace

int RunWin32Conformance()
{
    CheckRegistryValues();
    CheckNamedObjects();
    CheckCommandLines();
    CheckPaths();
    CheckText();
    CheckDeviceSetup();
    CheckEventTracing();
    CheckWindows();
    return smoke::FailureCount();
}
