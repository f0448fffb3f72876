// Code pages of kernel32: the machine's ANSI code page (1252) and WideCharToMultiByte into it
// and into UTF-8. Wide text is UTF-16 as on Windows; a wchar_t above 0xFFFF (which UTF-16
// cannot hold) counts as one character, and as an invalid one when it is beyond U+10FFFF.
#include "kernel32_private.h"
#include <string>

using namespace platform;

namespace {

const UINT AnsiCodePage = 1252;

// The characters of 1252's bytes 0x80 to 0x9F; the five bytes 1252 leaves undefined map to the
// control characters of the same number, as Windows maps them.
const WCHAR Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The 1252 byte of a character, or -1 when 1252 has none.
int Cp1252Byte(unsigned long c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return (int)c;
    }
    for (int i = 0; i < 32; ++i) {
        if ((unsigned long)Cp1252High[i] == c) {
            return 0x80 + i;
        }
    }
    return -1;
}

// The next character of the text from index i (a surrogate pair is one), advancing i; a
// lone surrogate or a value beyond U+10FFFF gives 0xFFFFFFFF.
unsigned long NextCharacter(LPCWCH text, size_t count, size_t *i)
{
    const unsigned long unit = (unsigned long)text[*i];
    *i += 1;
    if (unit >= 0xD800 && unit <= 0xDBFF && *i < count) {
        const unsigned long low = (unsigned long)text[*i];
        if (low >= 0xDC00 && low <= 0xDFFF) {
            *i += 1;
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
        return 0xFFFFFFFFUL;
    }
    return unit;
}

void AppendUtf8(std::string *out, unsigned long c)
{
    if (c < 0x80) {
        out->push_back((char)c);
    } else if (c < 0x800) {
        out->push_back((char)(0xC0 | (c >> 6)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back((char)(0xE0 | (c >> 12)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (c >> 18)));
        out->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    }
}

} // namespace

UINT WINAPI GetACP()
{
    return AnsiCodePage;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (CodePage == CP_ACP || CodePage == CP_THREAD_ACP) {
        CodePage = AnsiCodePage;
    }
    const bool utf8 = CodePage == CP_UTF8;
    if ((!utf8 && CodePage != AnsiCodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
        (cbMultiByte != 0 && (const void *)lpMultiByteStr == (const void *)lpWideCharStr) ||
        (utf8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD allowed = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    if ((dwFlags & ~allowed) != 0) {
        win32_set_last_error(ERROR_INVALID_FLAGS);
        return 0;
    }
    // -1: the text through its terminator, which is converted too.
    const size_t count = cchWideChar == -1 ? std::char_traits<WCHAR>::length(lpWideCharStr) + 1 : (size_t)cchWideChar;
    const char defaultChar = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
    std::string out;
    bool usedDefault = false;
    for (size_t i = 0; i < count;) {
        const unsigned long c = NextCharacter(lpWideCharStr, count, &i);
        if (utf8) {
            if (c == 0xFFFFFFFFUL && (dwFlags & WC_ERR_INVALID_CHARS) != 0) {
                win32_set_last_error(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            AppendUtf8(&out, c == 0xFFFFFFFFUL ? 0xFFFD : c);
            continue;
        }
        const int byte = c == 0xFFFFFFFFUL ? -1 : Cp1252Byte(c);
        if (byte < 0) {
            usedDefault = true;
            out.push_back(defaultChar);
        } else {
            out.push_back((char)byte);
        }
    }
    if (lpUsedDefaultChar != nullptr) {
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    if (cbMultiByte == 0) {
        return (int)out.size();
    }
    if (out.size() > (size_t)cbMultiByte) {
        out.copy(lpMultiByteStr, (size_t)cbMultiByte);
        win32_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    out.copy(lpMultiByteStr, out.size());
    return (int)out.size();
}
