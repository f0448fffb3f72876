// String helpers and debug output of kernel32.
#include "kernel32_private.h"
#include <cstdio>

using namespace platform;

int WINAPI lstrlenW(LPCWSTR lpString)
{
    return lpString == nullptr ? 0 : (int)std::wcslen(lpString);
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength)
{
    if (lpString1 == nullptr || lpString2 == nullptr || iMaxLength <= 0) {
        return lpString1;
    }
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != L'\0'; ++i) {
        lpString1[i] = lpString2[i];
    }
    lpString1[i] = L'\0';
    return lpString1;
}

VOID WINAPI OutputDebugStringW(LPCWSTR lpOutputString)
{
    if (lpOutputString != nullptr && std::getenv("OVM_DEBUG_OUTPUT") != nullptr) {
        std::fprintf(stderr, "%ls", lpOutputString);
    }
}

VOID WINAPI OutputDebugStringA(LPCSTR lpOutputString)
{
    if (lpOutputString != nullptr && std::getenv("OVM_DEBUG_OUTPUT") != nullptr) {
        std::fputs(lpOutputString, stderr);
    }
}
