// The 8-bit registry calls: RegOpenKeyExA and RegQueryValueExA over their wide forms. Text
// data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is converted character by character; sizes are
// those of the 8-bit data.
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring widen(LPCSTR text)
{
    std::wstring result;
    for (; text != nullptr && *text != '\0'; ++text) {
        result.push_back((WCHAR)(unsigned char)*text);
    }
    return result;
}

bool is_text(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    const std::wstring sub_key = widen(lpSubKey);
    return RegOpenKeyExW(hKey, lpSubKey != nullptr ? sub_key.c_str() : nullptr, ulOptions, samDesired, phkResult);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring name = widen(lpValueName);
    LPCWSTR wide_name = lpValueName != nullptr ? name.c_str() : nullptr;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(hKey, wide_name, lpReserved, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<BYTE> wide(size);
    status = RegQueryValueExW(hKey, wide_name, lpReserved, &type, wide.data(), &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<BYTE> bytes;
    if (is_text(type)) {
        // Wide data of an odd byte count keeps its whole characters only.
        for (DWORD i = 0; i + sizeof(WCHAR) <= size; i += sizeof(WCHAR)) {
            WCHAR c;
            std::memcpy(&c, wide.data() + i, sizeof(c));
            bytes.push_back(c >= 0 && c < 0x100 ? (BYTE)c : (BYTE)'?');
        }
    } else {
        bytes.assign(wide.begin(), wide.begin() + size);
    }
    if (lpType != nullptr) {
        *lpType = type;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD capacity = *lpcbData;
    *lpcbData = (DWORD)bytes.size();
    if (lpData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (bytes.size() > capacity) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}
