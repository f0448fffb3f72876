// Win32 registry values: query, set, get, delete and enumerate, in the Ex and the older forms.
// Values keep exactly the bytes and the type they were given.
#include <cstring>
#include <cwchar>
#include <windows.h>
#include "registry_handles.h"

using namespace platform;

#ifndef ERROR_UNSUPPORTED_TYPE
#define ERROR_UNSUPPORTED_TYPE 1630L
#endif

namespace {

std::wstring_view name_of(LPCWSTR name) { return name != nullptr ? std::wstring_view(name) : std::wstring_view(); }

// The key of hKey (or of its subkey when one is named) for an operation that needs access.
LSTATUS key_for(HKEY hKey, LPCWSTR subkey, ACCESS_MASK needed, bool create, registry_key *node)
{
    reg_target target;
    LSTATUS error = reg_resolve(hKey, subkey != nullptr && *subkey != L'\0' ? 0 : needed, &target);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (subkey == nullptr || *subkey == L'\0') {
        return reg_target_node(target, node);
    }
    bool created = false;
    return reg_error_from_status(create ? reg_create_below(target, subkey, target.view, false, node, &created)
                                        : reg_open_below(target, subkey, target.view, node));
}

// Hands a stored value to a caller's buffer: a null buffer asks for the size; a short buffer
// is left untouched and gets ERROR_MORE_DATA with the size needed.
LSTATUS hand_out(const std::vector<BYTE> &data, LPBYTE buffer, LPDWORD size)
{
    const DWORD needed = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        if (size != nullptr) {
            *size = needed;
        }
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed != 0) {
        std::memcpy(buffer, data.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

DWORD restriction_of(ULONG type)
{
    switch (type) {
    case REG_NONE:
        return RRF_RT_REG_NONE;
    case REG_SZ:
        return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
        return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY:
        return RRF_RT_REG_BINARY;
    case REG_DWORD:
        return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ:
        return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD:
        return RRF_RT_REG_QWORD;
    default:
        return 0;
    }
}

// Text read by RegGetValueW always ends with a terminator (two for REG_MULTI_SZ).
void terminate_text(ULONG type, std::vector<BYTE> *data)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
        return;
    }
    data->resize(data->size() / sizeof(WCHAR) * sizeof(WCHAR));
    const size_t needed = type == REG_MULTI_SZ ? 2 : 1;
    auto ends_with_zeros = [&](size_t count) {
        if (data->size() < count * sizeof(WCHAR)) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            WCHAR c;
            std::memcpy(&c, data->data() + data->size() - (i + 1) * sizeof(WCHAR), sizeof(WCHAR));
            if (c != L'\0') {
                return false;
            }
        }
        return true;
    };
    while (!ends_with_zeros(needed)) {
        data->insert(data->end(), sizeof(WCHAR), 0);
    }
}

} // namespace

extern "C" {

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    registry_key node;
    LSTATUS error = key_for(hKey, nullptr, KEY_QUERY_VALUE, false, &node);
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    if (error == ERROR_SUCCESS) {
        error = reg_error_from_status(registry_query_value(node, name_of(lpValueName), &type, &data));
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (lpType != nullptr) {
        *lpType = type;
    }
    return hand_out(data, lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                       DWORD cbData)
{
    UNREFERENCED_PARAMETER(Reserved);
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    registry_key node;
    LSTATUS error = key_for(hKey, nullptr, KEY_SET_VALUE, false, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return reg_error_from_status(registry_set_value(node, name_of(lpValueName), dwType, lpData, cbData));
}

LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData)
{
    if ((dwFlags & RRF_RT_ANY) == 0 || (pvData != nullptr && pcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD buffer_size = pcbData != nullptr ? *pcbData : 0;
    registry_key node;
    LSTATUS error = key_for(hkey, lpSubKey, KEY_QUERY_VALUE, false, &node);
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    if (error == ERROR_SUCCESS) {
        error = reg_error_from_status(registry_query_value(node, name_of(lpValue), &type, &data));
    }
    if (error == ERROR_SUCCESS && (restriction_of(type) & dwFlags) == 0) {
        error = ERROR_UNSUPPORTED_TYPE;
    }
    if (error == ERROR_SUCCESS) {
        terminate_text(type, &data);
        if (pdwType != nullptr) {
            *pdwType = type;
        }
        error = hand_out(data, static_cast<LPBYTE>(pvData), pcbData);
    }
    if (error != ERROR_SUCCESS && (dwFlags & RRF_ZEROONFAILURE) != 0 && pvData != nullptr) {
        std::memset(pvData, 0, buffer_size);
    }
    return error;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    registry_key node;
    LSTATUS error = key_for(hKey, nullptr, KEY_SET_VALUE, false, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return reg_error_from_status(registry_delete_value(node, name_of(lpValueName)));
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    registry_key node;
    LSTATUS error = key_for(hKey, nullptr, KEY_QUERY_VALUE, false, &node);
    std::wstring name;
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    if (error == ERROR_SUCCESS) {
        error = reg_error_from_status(registry_enum_value(node, dwIndex, &name, &type, &data));
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (name.size() + 1 > *lpcchValueName) {
        return ERROR_MORE_DATA;
    }
    error = hand_out(data, lpData, lpcbData);
    if (error == ERROR_SUCCESS) {
        std::wmemcpy(lpValueName, name.c_str(), name.size() + 1);
        *lpcchValueName = static_cast<DWORD>(name.size());
        if (lpType != nullptr) {
            *lpType = type;
        }
    }
    return error;
}

LSTATUS RegSetValueW(HKEY hKey, LPCWSTR lpSubKey, DWORD dwType, LPCWSTR lpData, DWORD cbData)
{
    UNREFERENCED_PARAMETER(cbData); // the text's own length, terminator included, is stored
    if (dwType != REG_SZ || lpData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    registry_key node;
    LSTATUS error = key_for(hKey, lpSubKey, KEY_SET_VALUE, true, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const ULONG bytes = static_cast<ULONG>((std::wcslen(lpData) + 1) * sizeof(WCHAR));
    return reg_error_from_status(registry_set_value(node, L"", REG_SZ, lpData, bytes));
}

LSTATUS RegQueryValueW(HKEY hKey, LPCWSTR lpSubKey, LPWSTR lpData, PLONG lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    registry_key node;
    LSTATUS error = key_for(hKey, lpSubKey, KEY_QUERY_VALUE, false, &node);
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    if (error == ERROR_SUCCESS) {
        NTSTATUS status = registry_query_value(node, L"", &type, &data);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            data.assign(sizeof(WCHAR), 0); // a key without a default value reads as ""
        } else {
            error = reg_error_from_status(status);
        }
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    DWORD size = lpcbData != nullptr && *lpcbData > 0 ? static_cast<DWORD>(*lpcbData) : 0;
    error = hand_out(data, reinterpret_cast<LPBYTE>(lpData), lpcbData != nullptr ? &size : nullptr);
    if (lpcbData != nullptr) {
        *lpcbData = static_cast<LONG>(size);
    }
    return error;
}

} // extern "C"
