// WideCharToMultiByte into the ANSI code page and UTF-8: the characters each maps, the default
// character, the size probe, a short buffer, and the arguments and flags it refuses.
#include "Kernel32Test.h"
#include <string>

namespace {

class CodePageTests : public Kernel32Test {};

std::string convert(UINT codePage, const std::wstring &text, BOOL *usedDefault = nullptr, LPCCH defaultChar = nullptr)
{
    char out[64];
    const int length = WideCharToMultiByte(codePage, 0, text.c_str(), (int)text.size(), out, sizeof(out),
                                           defaultChar, usedDefault);
    return length > 0 ? std::string(out, (size_t)length) : "<failed>";
}

TEST_F(CodePageTests, TheAnsiCodePageIsWesternEuropean)
{
    EXPECT_EQ(1252u, GetACP());
    const struct {
        UINT codePage;
        std::wstring text;
        std::string bytes;
        BOOL usedDefault;
    } rows[] = {
        {CP_ACP, L"USB Audio", "USB Audio", FALSE},
        {CP_ACP, L"Ger\u00E4t \u00A0\u00FF", "Ger\xE4t \xA0\xFF", FALSE},
        {CP_ACP, L"\u20AC\u2122\u0160\u0178\u0081", "\x80\x99\x8A\x9F\x81", FALSE},
        {CP_ACP, L"\u03A9 \u0100", "? ?", TRUE}, // no best fit: the A with macron is not "A"
        {CP_THREAD_ACP, L"\u00E9", "\xE9", FALSE},
        {1252, L"\xD83D\xDE00!", "?!", TRUE}, // a surrogate pair is one character
        {CP_UTF8, L"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC", FALSE},
        {CP_UTF8, L"\xD83D\xDE00", "\xF0\x9F\x98\x80", FALSE},
        {CP_UTF8, L"a\xDC00", "a\xEF\xBF\xBD", FALSE}, // a lone surrogate becomes U+FFFD
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "code page " << row.codePage << ", row " << (&row - rows));
        BOOL used = 7;
        EXPECT_EQ(row.bytes, convert(row.codePage, row.text, row.codePage == CP_UTF8 ? nullptr : &used));
        if (row.codePage != CP_UTF8) {
            EXPECT_EQ(row.usedDefault, used);
        }
    }
    EXPECT_EQ("#x", convert(CP_ACP, L"\u03A9x", nullptr, "#"));
}

TEST_F(CodePageTests, SizesTerminatorAndShortBuffers)
{
    EXPECT_EQ(4, WideCharToMultiByte(CP_ACP, 0, L"abc", -1, nullptr, 0, nullptr, nullptr)) << "the terminator counts";
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, L"\u20AC", 1, nullptr, 0, nullptr, nullptr));
    char out[8];
    std::fill(std::begin(out), std::end(out), '#');
    EXPECT_EQ(4, WideCharToMultiByte(CP_ACP, 0, L"abc", -1, out, sizeof(out), nullptr, nullptr));
    EXPECT_STREQ("abc", out);
    std::fill(std::begin(out), std::end(out), '#');
    EXPECT_EQ(2, WideCharToMultiByte(CP_ACP, 0, L"abc", 2, out, sizeof(out), nullptr, nullptr));
    EXPECT_EQ('#', out[2]) << "an explicit length writes no terminator";
    EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, L"abc", -1, out, 3, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
}

TEST_F(CodePageTests, RefusesBadArgumentsAndFlags)
{
    char out[8];
    BOOL used = FALSE;
    const struct {
        UINT codePage;
        DWORD flags;
        LPCWCH text;
        int count;
        LPSTR buffer;
        int bytes;
        LPBOOL usedDefault;
        DWORD error;
    } rows[] = {
        {CP_ACP, 0, nullptr, 1, out, 8, nullptr, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, L"a", 0, out, 8, nullptr, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, L"a", -2, out, 8, nullptr, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, L"a", 1, out, -1, nullptr, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, L"a", 1, nullptr, 8, nullptr, ERROR_INVALID_PARAMETER},
        {437, 0, L"a", 1, out, 8, nullptr, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, L"a", 1, out, 8, &used, ERROR_INVALID_PARAMETER},
        {CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", 1, out, 8, nullptr, ERROR_INVALID_FLAGS},
        {CP_ACP, WC_ERR_INVALID_CHARS, L"a", 1, out, 8, nullptr, ERROR_INVALID_FLAGS},
        {CP_ACP, WC_COMPOSITECHECK, L"a", 1, out, 8, nullptr, ERROR_INVALID_FLAGS},
        {CP_UTF8, WC_ERR_INVALID_CHARS, L"\xDC00", 1, out, 8, nullptr, ERROR_NO_UNICODE_TRANSLATION},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(&row - rows);
        SetLastError(0);
        EXPECT_EQ(0, WideCharToMultiByte(row.codePage, row.flags, row.text, row.count, row.buffer, row.bytes, nullptr,
                                         row.usedDefault));
        EXPECT_EQ(row.error, GetLastError());
    }
    EXPECT_EQ(1, WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, L"a", 1, out, 8, nullptr, &used));
}

} // namespace
