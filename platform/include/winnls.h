// National language support (kernel32): the ANSI code page and the conversion of wide text to
// a code page's bytes.
#pragma once
#include <windef.h>
#include <winerror.h>

#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

typedef const WCHAR *LPCWCH;
typedef const CHAR *LPCCH;

extern "C" {

// The machine's ANSI code page: 1252 (Western European).
UINT WINAPI GetACP();
// The code pages known here are CP_ACP and CP_THREAD_ACP (both 1252), 1252 and CP_UTF8. A
// character that 1252 lacks becomes the default character ('?' unless lpDefaultChar names
// one) without a best-fit replacement, as with WC_NO_BEST_FIT_CHARS; the composition flags
// are refused (ERROR_INVALID_FLAGS).
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);

} // extern "C"
