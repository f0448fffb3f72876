// Win32 registry keys: open, create, delete, close, enumerate and describe, in the Ex and the
// older forms, over the machine's registry store.
#include <cwchar>
#include <windows.h>
#include "registry_handles.h"

using namespace platform;

namespace {

std::wstring_view subkey_of(LPCWSTR subkey) { return subkey != nullptr ? std::wstring_view(subkey) : std::wstring_view(); }

bool both_views(REGSAM sam) { return (sam & KEY_WOW64_RES) == KEY_WOW64_RES; }

void put_filetime(struct _FILETIME *time, LONGLONG value)
{
    if (time != nullptr) {
        time->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFF);
        time->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(value) >> 32);
    }
}

// Copies name with its terminator into a buffer of *chars characters; on success *chars is
// the length without the terminator.
LSTATUS copy_name(const std::wstring &name, LPWSTR buffer, LPDWORD chars)
{
    if (name.size() + 1 > *chars) {
        return ERROR_MORE_DATA;
    }
    std::wmemcpy(buffer, name.c_str(), name.size() + 1);
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    UNREFERENCED_PARAMETER(ulOptions);
    if (phkResult == nullptr || both_views(samDesired)) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    reg_target target;
    LSTATUS error = reg_resolve(hKey, 0, &target);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const registry_view view = (samDesired & KEY_WOW64_RES) != 0 ? reg_view_of(samDesired) : target.view;
    registry_key node;
    error = reg_error_from_status(reg_open_below(target, subkey_of(lpSubKey), view, &node));
    if (error == ERROR_SUCCESS) {
        *phkResult = reg_handle_insert(node, reg_map_access(samDesired), view);
    }
    return error;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, struct _SECURITY_ATTRIBUTES *lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(lpClass);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    if (phkResult == nullptr || lpSubKey == nullptr || both_views(samDesired)) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    reg_target target;
    LSTATUS error = reg_resolve(hKey, 0, &target);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const registry_view view = (samDesired & KEY_WOW64_RES) != 0 ? reg_view_of(samDesired) : target.view;
    registry_key node;
    bool created = false;
    NTSTATUS status = reg_open_below(target, lpSubKey, view, &node);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // Making a subkey takes KEY_CREATE_SUB_KEY on the key it is made under.
        if ((target.access & KEY_CREATE_SUB_KEY) == 0) {
            return ERROR_ACCESS_DENIED;
        }
        status = reg_create_below(target, lpSubKey, view, (dwOptions & REG_OPTION_VOLATILE) != 0, &node, &created);
    }
    error = reg_error_from_status(status);
    if (error == ERROR_SUCCESS) {
        *phkResult = reg_handle_insert(node, reg_map_access(samDesired), view);
        if (lpdwDisposition != nullptr) {
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    return error;
}

LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpSubKey == nullptr || *lpSubKey == L'\0') {
        reg_target target;
        LSTATUS error = reg_resolve(hKey, 0, &target);
        *phkResult = error == ERROR_SUCCESS ? hKey : nullptr;
        return error;
    }
    return RegOpenKeyExW(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

LSTATUS RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpSubKey == nullptr || *lpSubKey == L'\0') {
        return RegOpenKeyW(hKey, nullptr, phkResult);
    }
    return RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, phkResult,
                           nullptr);
}

LSTATUS RegCloseKey(HKEY hKey) { return reg_handle_close(hKey); }

LSTATUS RegFlushKey(HKEY hKey)
{
    reg_target target;
    return reg_resolve(hKey, 0, &target);
}

LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved)
{
    UNREFERENCED_PARAMETER(Reserved);
    if (lpSubKey == nullptr || both_views(samDesired)) {
        return ERROR_INVALID_PARAMETER;
    }
    reg_target target;
    LSTATUS error = reg_resolve(hKey, 0, &target);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const registry_view view = (samDesired & KEY_WOW64_RES) != 0 ? reg_view_of(samDesired) : target.view;
    registry_key node;
    NTSTATUS status = reg_open_below(target, lpSubKey, view, &node);
    if (NT_SUCCESS(status)) {
        status = registry_delete_key(node);
    }
    return reg_error_from_status(status);
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return RegDeleteKeyExW(hKey, lpSubKey, 0, 0); }

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, struct _FILETIME *lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    reg_target target;
    registry_key node;
    LSTATUS error = reg_resolve(hKey, KEY_ENUMERATE_SUB_KEYS, &target);
    if (error == ERROR_SUCCESS) {
        error = reg_target_node(target, &node);
    }
    std::wstring name;
    if (error == ERROR_SUCCESS) {
        error = reg_error_from_status(registry_enum_key(node, dwIndex, &name));
    }
    registry_key child;
    registry_key_info info;
    if (error == ERROR_SUCCESS && NT_SUCCESS(registry_open(node, name, registry_view::native, &child)) &&
        NT_SUCCESS(registry_query_key(child, &info))) {
        put_filetime(lpftLastWriteTime, info.last_write_time);
    }
    if (error == ERROR_SUCCESS) {
        error = copy_name(name, lpName, lpcchName);
    }
    if (error == ERROR_SUCCESS && lpClass != nullptr) {
        if (*lpcchClass > 0) {
            lpClass[0] = L'\0';
        }
        *lpcchClass = 0;
    }
    return error;
}

LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName)
{
    DWORD chars = cchName;
    return RegEnumKeyExW(hKey, dwIndex, lpName, &chars, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         struct _FILETIME *lpftLastWriteTime)
{
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    reg_target target;
    registry_key node;
    LSTATUS error = reg_resolve(hKey, KEY_QUERY_VALUE, &target);
    if (error == ERROR_SUCCESS) {
        error = reg_target_node(target, &node);
    }
    registry_key_info info;
    if (error == ERROR_SUCCESS) {
        error = reg_error_from_status(registry_query_key(node, &info));
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (lpClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = L'\0';
    }
    const DWORD outputs[] = {0, info.subkeys, info.max_subkey_name, 0, info.values, info.max_value_name,
                             info.max_value_data, 0};
    LPDWORD targets[] = {lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen,
                         lpcbMaxValueLen, lpcbSecurityDescriptor};
    for (size_t i = 0; i < std::size(targets); ++i) {
        if (targets[i] != nullptr) {
            *targets[i] = outputs[i];
        }
    }
    put_filetime(lpftLastWriteTime, info.last_write_time);
    return ERROR_SUCCESS;
}

} // extern "C"
