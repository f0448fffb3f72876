// Self-registration of the ASIO drivers: the COM class keys and the ASIO driver entry, and the
// small registry helpers they are built from.
#include "ComRegistration.h"
#include <UserTrace.h>
#include <objbase.h>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The stored server path is read only when it holds at most 360 bytes of UTF-16 text; a longer
// one counts as a different path and the class keys are rebuilt.
constexpr DWORD STORED_PATH_READ_BYTES = 180 * sizeof(WCHAR);
constexpr int CLSID_TEXT_CHARS = 100;

// Formats "a\b" or "a\b\c" into a REG_PATH_CHARS buffer; false when it does not fit.
bool JoinPath(WCHAR (&out)[REG_PATH_CHARS], LPCWSTR a, LPCWSTR b, LPCWSTR c = nullptr)
{
    const int written = c == nullptr ? std::swprintf(out, REG_PATH_CHARS, L"%ls\\%ls", a, b)
                                     : std::swprintf(out, REG_PATH_CHARS, L"%ls\\%ls\\%ls", a, b, c);
    return written >= 0 && written < REG_PATH_CHARS;
}

struct RecordedKey {
    HKEY key;
    HKEY parent;
    std::wstring name;
};

// Opens parent\name and records it after its subkeys.
void CollectKeyTree(HKEY parent, LPCWSTR name, std::vector<RecordedKey> *keys)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    WCHAR subkey[REG_PATH_CHARS];
    for (DWORD index = 0; RegEnumKeyW(key, index, subkey, REG_PATH_CHARS) == ERROR_SUCCESS; ++index) {
        CollectKeyTree(key, subkey, keys);
    }
    keys->push_back(RecordedKey{key, parent, name});
}

// Steps shared by registration and unregistration: the module's lower-cased path and the class
// identifier's text.
LONG ModuleAndClassText(REFCLSID clsid, LPCWSTR moduleFileName, WCHAR (&modulePath)[REG_PATH_CHARS],
                        WCHAR (&clsidText)[CLSID_TEXT_CHARS])
{
    HMODULE module = GetModuleHandleW(moduleFileName);
    if (module == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "%ls not loaded", moduleFileName);
        return COMREG_MODULE_NOT_LOADED;
    }
    // A path that fills the buffer was cut short; registering it would name another file.
    const DWORD length = GetModuleFileNameW(module, modulePath, REG_PATH_CHARS);
    if (length == 0 || length >= (DWORD)REG_PATH_CHARS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "no path for %ls: %u characters", moduleFileName,
                    (unsigned)length);
        return COMREG_NO_MODULE_PATH;
    }
    CharLowerW(modulePath);
    LPOLESTR text = nullptr;
    if (FAILED(StringFromCLSID(clsid, &text)) || text == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "StringFromCLSID failed");
        return COMREG_CLSID_TEXT_FAILED;
    }
    const size_t textLength = std::wcslen(text);
    if (textLength >= (size_t)CLSID_TEXT_CHARS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "class identifier text of %llu characters",
                    (unsigned long long)textLength);
        CoTaskMemFree(text);
        return COMREG_CLSID_TEXT_TOO_LONG;
    }
    std::wmemcpy(clsidText, text, textLength + 1);
    CoTaskMemFree(text);
    return COMREG_OK;
}

} // namespace

LONG KeyExists(HKEY root, LPCWSTR path)
{
    if (path == nullptr) {
        return -1;
    }
    HKEY key = nullptr;
    if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS) {
        return 0;
    }
    RegCloseKey(key);
    return 1;
}

LONG createRegPath(HKEY root, LPCWSTR path, LPCWSTR name)
{
    WCHAR full[REG_PATH_CHARS];
    if (!JoinPath(full, path, name)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "%ls\\%ls is too long", path, name);
        return -1;
    }
    if (KeyExists(root, full) == 1) {
        return 0;
    }
    HKEY parent = nullptr;
    const LSTATUS opened = RegOpenKeyW(root, path, &parent);
    if (opened != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "%ls not opened: %d", path, (int)opened);
        return -1;
    }
    HKEY created = nullptr;
    const LSTATUS status = RegCreateKeyW(parent, name, &created);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(created);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "%ls\\%ls not created: %d", path, name, (int)status);
    }
    RegCloseKey(parent);
    return status == ERROR_SUCCESS ? 0 : -1;
}

LONG SetStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPCWSTR text)
{
    HKEY key = nullptr;
    if (path == nullptr || text == nullptr || RegOpenKeyW(root, path, &key) != ERROR_SUCCESS) {
        return -1;
    }
    const DWORD bytes = (DWORD)(std::wcslen(text) * sizeof(WCHAR));
    const LSTATUS status =
        RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : -1;
}

LONG GetStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPWSTR buffer, DWORD bufferBytes)
{
    HKEY key = nullptr;
    if (path == nullptr || buffer == nullptr || RegOpenKeyW(root, path, &key) != ERROR_SUCCESS) {
        return -1;
    }
    DWORD bytes = 0;
    LONG result = -1;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS && bytes <= bufferBytes &&
        RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &bytes) == ERROR_SUCCESS) {
        result = 0;
    }
    RegCloseKey(key);
    return result;
}

LONG DeleteKeyTree(HKEY root, LPCWSTR path, LPCWSTR name)
{
    HKEY parent = nullptr;
    if (path == nullptr || name == nullptr || RegOpenKeyW(root, path, &parent) != ERROR_SUCCESS) {
        return -1;
    }
    std::vector<RecordedKey> keys;
    CollectKeyTree(parent, name, &keys);
    int deleted = 0;
    for (const RecordedKey &entry : keys) {
        RegCloseKey(entry.key);
        if (RegDeleteKeyW(entry.parent, entry.name.c_str()) == ERROR_SUCCESS) {
            ++deleted;
        }
    }
    RegCloseKey(parent);
    return deleted > 0 ? 0 : -1;
}

LONG RegisterDriverServer(REFCLSID clsid, LPCWSTR moduleFileName, LPCWSTR driverName, LPCWSTR description,
                          LPCWSTR threadingModel)
{
    WCHAR modulePath[REG_PATH_CHARS];
    WCHAR clsidText[CLSID_TEXT_CHARS];
    LONG result = ModuleAndClassText(clsid, moduleFileName, modulePath, clsidText);
    if (result != COMREG_OK) {
        return result;
    }

    WCHAR classKey[REG_PATH_CHARS];
    WCHAR serverKey[REG_PATH_CHARS];
    WCHAR asioKey[REG_PATH_CHARS];
    if (!JoinPath(classKey, L"CLSID", clsidText) || !JoinPath(serverKey, L"CLSID", clsidText, L"InprocServer32") ||
        !JoinPath(asioKey, L"SOFTWARE\\ASIO", driverName)) {
        return COMREG_WRITE_FAILED;
    }

    bool writeFailed = false;
    auto check = [&writeFailed](LONG status) { writeFailed = writeFailed || status != 0; };

    // The class keys stay as they are when they already name this very file.
    bool classKeysCurrent = false;
    if (KeyExists(HKEY_CLASSES_ROOT, classKey) == 1) {
        WCHAR stored[REG_PATH_CHARS + 1] = {};
        GetStringValue(HKEY_CLASSES_ROOT, serverKey, nullptr, stored, STORED_PATH_READ_BYTES);
        stored[REG_PATH_CHARS] = L'\0';
        CharLowerW(stored);
        classKeysCurrent = std::wcscmp(stored, modulePath) == 0;
        if (!classKeysCurrent) {
            DeleteKeyTree(HKEY_CLASSES_ROOT, L"CLSID", clsidText);
        }
    }
    if (!classKeysCurrent) {
        check(createRegPath(HKEY_CLASSES_ROOT, L"CLSID", clsidText));
        check(SetStringValue(HKEY_CLASSES_ROOT, classKey, nullptr, description));
        check(createRegPath(HKEY_CLASSES_ROOT, classKey, L"InprocServer32"));
        check(SetStringValue(HKEY_CLASSES_ROOT, serverKey, nullptr, modulePath));
        check(SetStringValue(HKEY_CLASSES_ROOT, serverKey, L"ThreadingModel", threadingModel));
    }

    // The driver entry is always rebuilt, so no stale value of an older version survives.
    if (KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO") == 1) {
        if (KeyExists(HKEY_LOCAL_MACHINE, asioKey) == 1) {
            DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", driverName);
        }
    } else {
        check(createRegPath(HKEY_LOCAL_MACHINE, L"SOFTWARE", L"ASIO"));
    }
    check(createRegPath(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", driverName));
    check(SetStringValue(HKEY_LOCAL_MACHINE, asioKey, L"CLSID", clsidText));
    check(SetStringValue(HKEY_LOCAL_MACHINE, asioKey, L"Description", description));
    return writeFailed ? COMREG_WRITE_FAILED : COMREG_OK;
}

LONG UnregisterDriverServer(REFCLSID clsid, LPCWSTR moduleFileName, LPCWSTR driverName)
{
    WCHAR modulePath[REG_PATH_CHARS];
    WCHAR clsidText[CLSID_TEXT_CHARS];
    const LONG result = ModuleAndClassText(clsid, moduleFileName, modulePath, clsidText);
    if (result != COMREG_OK) {
        return result;
    }
    WCHAR classKey[REG_PATH_CHARS];
    WCHAR asioKey[REG_PATH_CHARS];
    if (JoinPath(classKey, L"CLSID", clsidText) && KeyExists(HKEY_CLASSES_ROOT, classKey) == 1) {
        DeleteKeyTree(HKEY_CLASSES_ROOT, L"CLSID", clsidText);
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO") == 1 && JoinPath(asioKey, L"SOFTWARE\\ASIO", driverName) &&
        KeyExists(HKEY_LOCAL_MACHINE, asioKey) == 1) {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", driverName);
    }
    return COMREG_OK;
}
