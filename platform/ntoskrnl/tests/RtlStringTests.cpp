// Counted strings, integer and GUID text, and the safe string functions with the Windows
// format rules.
#include "KernelTestFixture.h"
#include <ntstrsafe.h>
#include <cwchar>

using namespace kernel_test;

namespace {

struct RtlStringTests : KernelTest {};
struct StrSafeTests : KernelTest {};

constexpr WCHAR poison = L'#';

template <size_t N> void fill_poison(WCHAR (&buffer)[N])
{
    for (WCHAR &c : buffer) {
        c = poison;
    }
}

std::wstring text_of(const UNICODE_STRING &s)
{
    return std::wstring(s.Buffer, s.Length / sizeof(WCHAR));
}

} // namespace

TEST_F(RtlStringTests, InitUnicodeStringCountsBytesOfWideCharacters)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"asio");
    EXPECT_EQ(4 * sizeof(WCHAR), s.Length);
    EXPECT_EQ(5 * sizeof(WCHAR), s.MaximumLength);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(0, s.Length);
    EXPECT_EQ(0, s.MaximumLength);
    EXPECT_EQ(nullptr, s.Buffer);

    std::wstring long_text(40000, L'x');
    RtlInitUnicodeString(&s, long_text.c_str());
    EXPECT_EQ(0u, s.Length % sizeof(WCHAR)) << "cut at a whole character";
    EXPECT_LE(s.Length, s.MaximumLength);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "Wave");
    EXPECT_EQ(4, a.Length);
    EXPECT_EQ(5, a.MaximumLength);
}

TEST_F(RtlStringTests, CopyUnicodeStringCutsToTheDestinationAndTerminatesWhenThereIsRoom)
{
    WCHAR buffer[8];
    fill_poison(buffer);
    UNICODE_STRING dest;
    RtlInitEmptyUnicodeString(&dest, buffer, 4 * sizeof(WCHAR));
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"abcdef");
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(L"abcd", text_of(dest));
    EXPECT_EQ(poison, buffer[4]) << "no terminator past MaximumLength";

    RtlInitUnicodeString(&source, L"ab");
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(L"ab", text_of(dest));
    EXPECT_EQ(L'\0', buffer[2]);

    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(0, dest.Length);
}

TEST_F(RtlStringTests, AppendFailsWholeWhenTheResultDoesNotFit)
{
    WCHAR buffer[6];
    fill_poison(buffer);
    UNICODE_STRING dest;
    RtlInitEmptyUnicodeString(&dest, buffer, sizeof(buffer));
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&dest, L"abc"));
    EXPECT_EQ(L"abc", text_of(dest));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&dest, L"defg"));
    EXPECT_EQ(L"abc", text_of(dest));
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"def");
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&dest, &tail));
    EXPECT_EQ(L"abcdef", text_of(dest));
}

TEST_F(RtlStringTests, CompareAndEqualHonourCase)
{
    UNICODE_STRING a;
    UNICODE_STRING b;
    UNICODE_STRING c;
    RtlInitUnicodeString(&a, L"\\ASIO");
    RtlInitUnicodeString(&b, L"\\asio");
    RtlInitUnicodeString(&c, L"\\asio2");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(0, RtlCompareUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&b, &c, TRUE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&a, &c, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&c, &a, TRUE));
}

TEST_F(RtlStringTests, IntegerToTextInEachBase)
{
    WCHAR buffer[16];
    UNICODE_STRING s;
    RtlInitEmptyUnicodeString(&s, buffer, sizeof(buffer));
    struct row {
        ULONG value;
        ULONG base;
        const wchar_t *text;
    } rows[] = {{48000, 10, L"48000"}, {48000, 0, L"48000"}, {255, 16, L"FF"}, {5, 2, L"101"}, {8, 8, L"10"}, {0, 10, L"0"}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(r.value, r.base, &s));
        EXPECT_EQ(r.text, text_of(s));
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlIntegerToUnicodeString(1, 7, &s));
    RtlInitEmptyUnicodeString(&s, buffer, 4 * sizeof(WCHAR));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(44100, 10, &s));
    RtlInitEmptyUnicodeString(&s, buffer, 5 * sizeof(WCHAR));
    EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(44100, 10, &s)) << "exact fit without terminator";
    EXPECT_EQ(L"44100", text_of(s));
}

TEST_F(RtlStringTests, TextToInteger)
{
    struct row {
        const wchar_t *text;
        ULONG base;
        ULONG value;
    } rows[] = {{L"48000", 10, 48000}, {L"  42", 0, 42},   {L"-1", 10, 0xFFFFFFFF}, {L"0x1F", 0, 31},
                {L"0b101", 0, 5},      {L"0o17", 0, 15},   {L"ff", 16, 255},        {L"12ab", 10, 12},
                {L"", 10, 0},          {L"+7", 0, 7}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, r.text);
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToInteger(&s, r.base, &value));
        EXPECT_EQ(r.value, value);
    }
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"10");
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlUnicodeStringToInteger(&s, 3, &value));
    EXPECT_EQ(0xDEADBEEFu, value);
}

TEST_F(RtlStringTests, GuidTextRoundTrip)
{
    constexpr GUID guid = {0xC771BD86, 0x2394, 0x49D3, {0xB4, 0x5F, 0xE3, 0x52, 0x43, 0x8C, 0xA9, 0xA9}};
    UNICODE_STRING text;
    ASSERT_EQ(STATUS_SUCCESS, RtlStringFromGUID(guid, &text));
    EXPECT_EQ(L"{C771BD86-2394-49D3-B45F-E352438CA9A9}", text_of(text));
    EXPECT_EQ(L'\0', text.Buffer[38]);
    GUID parsed{};
    EXPECT_EQ(STATUS_SUCCESS, RtlGUIDFromString(&text, &parsed));
    EXPECT_TRUE(IsEqualGUID(guid, parsed));
    RtlFreeUnicodeString(&text);
    EXPECT_EQ(nullptr, text.Buffer);

    UNICODE_STRING lower;
    RtlInitUnicodeString(&lower, L"{c771bd86-2394-49d3-b45f-e352438ca9a9}");
    EXPECT_EQ(STATUS_SUCCESS, RtlGUIDFromString(&lower, &parsed));
    EXPECT_TRUE(IsEqualGUID(guid, parsed));

    for (const wchar_t *bad : {L"C771BD86-2394-49D3-B45F-E352438CA9A9", L"{C771BD86-2394-49D3-B45F-E352438CA9AG}",
                               L"{C771BD86+2394-49D3-B45F-E352438CA9A9}", L"{C771BD86-2394-49D3-B45F-E352438CA9A}", L""}) {
        SCOPED_TRACE(bad);
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, bad);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlGUIDFromString(&s, &parsed));
    }
}

TEST_F(RtlStringTests, GuidTextFailsWhenPoolFails)
{
    platform::pool_fail_nth(1);
    UNICODE_STRING text{};
    EXPECT_EQ(STATUS_NO_MEMORY, RtlStringFromGUID(GUID_NULL, &text));
}

TEST_F(RtlStringTests, AnsiAndUnicodeConvertWithAllocation)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "Wave_48000");
    UNICODE_STRING wide;
    ASSERT_EQ(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE));
    EXPECT_EQ(L"Wave_48000", text_of(wide));
    ANSI_STRING back;
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&back, &wide, TRUE));
    EXPECT_EQ(std::string("Wave_48000"), std::string(back.Buffer, back.Length));
    RtlFreeUnicodeString(&wide);
    RtlFreeAnsiString(&back);
}

TEST_F(RtlStringTests, CompareMemoryCountsTheEqualPrefix)
{
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(2u, RtlCompareMemory(a, b, sizeof(a)));
    EXPECT_EQ(4u, RtlCompareMemory(a, a, sizeof(a)));
    EXPECT_TRUE(RtlEqualMemory(a, b, 2));
}

TEST_F(StrSafeTests, CopyAtZeroSizeMinusOneExactAndLarger)
{
    const wchar_t *source = L"Wave";
    struct row {
        size_t chars;
        NTSTATUS status;
        const wchar_t *result;
    } rows[] = {{0, STATUS_INVALID_PARAMETER, nullptr}, {4, STATUS_BUFFER_OVERFLOW, L"Wav"},
                {5, STATUS_SUCCESS, L"Wave"}, {8, STATUS_SUCCESS, L"Wave"}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.chars);
        WCHAR buffer[10];
        fill_poison(buffer);
        EXPECT_EQ(r.status, RtlStringCbCopyW(buffer, r.chars * sizeof(WCHAR), source));
        if (r.result == nullptr) {
            EXPECT_EQ(poison, buffer[0]) << "nothing written for size 0";
            continue;
        }
        EXPECT_STREQ(r.result, buffer);
        EXPECT_EQ(poison, buffer[std::wcslen(r.result) + 1]) << "nothing written past the terminator";
        fill_poison(buffer);
        EXPECT_EQ(r.status, RtlStringCchCopyW(buffer, r.chars, source));
        EXPECT_STREQ(r.result, buffer);
    }
    WCHAR buffer[4];
    fill_poison(buffer);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchCopyW(buffer, (size_t)NTSTRSAFE_MAX_CCH + 1, source));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbCopyW(buffer, 3, source)) << "less than one character";
}

TEST_F(StrSafeTests, CatAppendsWhatFitsAndNeedsATerminatedDestination)
{
    WCHAR buffer[8];
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCopyW(buffer, sizeof(buffer), L"ab"));
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbCatW(buffer, sizeof(buffer), L"cd"));
    EXPECT_STREQ(L"abcd", buffer);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCbCatW(buffer, sizeof(buffer), L"efghij"));
    EXPECT_STREQ(L"abcdefg", buffer);
    fill_poison(buffer);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbCatW(buffer, sizeof(buffer), L"x"));
    EXPECT_EQ(poison, buffer[0]);

    char narrow[6] = "ab";
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCbCatA(narrow, sizeof(narrow), "cdefg"));
    EXPECT_STREQ("abcde", narrow);
}

TEST_F(StrSafeTests, PrintfUsesTheWindowsFormatRules)
{
    WCHAR buffer[128];
    ULONG rate = 48000;
    ULONGLONG frames = 0x123456789ULL;
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbPrintfW(buffer, sizeof(buffer), L"%s_%lu %S %ws %I64X %c%%", L"Wave", rate,
                                                 "narrow", L"wide", frames, L'!'));
    EXPECT_STREQ(L"Wave_48000 narrow wide 123456789 !%", buffer);

    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchPrintfW(buffer, 128, L"[%5d|%-4u|%04X|%hs]", -12, 7u, 0xABu, "x"));
    EXPECT_STREQ(L"[  -12|7   |00AB|x]", buffer);

    char narrow[128];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\asio");
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbPrintfA(narrow, sizeof(narrow), "%wZ %s %S %ld %p", &name, "n", L"w", -5,
                                                 (void *)0x1234));
    EXPECT_STREQ("\\asio n w -5 0000000000001234", narrow);
}

TEST_F(StrSafeTests, PrintfCutsAndTerminatesOnOverflow)
{
    WCHAR buffer[8];
    fill_poison(buffer);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlStringCbPrintfW(buffer, 6 * sizeof(WCHAR), L"Wave_%u", 768000u));
    EXPECT_STREQ(L"Wave_", buffer);
    EXPECT_EQ(poison, buffer[6]);
    fill_poison(buffer);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbPrintfW(buffer, 0, L"x"));
    EXPECT_EQ(poison, buffer[0]);
}

TEST_F(StrSafeTests, LengthNeedsATerminatorWithinTheMaximum)
{
    size_t length = 99;
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCbLengthW(L"abc", 4 * sizeof(WCHAR), &length));
    EXPECT_EQ(3 * sizeof(WCHAR), length);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCbLengthW(L"abc", 3 * sizeof(WCHAR), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(STATUS_SUCCESS, RtlStringCchLengthW(L"", 1, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlStringCchLengthW(nullptr, 10, &length));
}

TEST_F(StrSafeTests, UnicodeStringPrintfFillsToMaximumLengthWithoutTerminator)
{
    WCHAR buffer[8];
    fill_poison(buffer);
    UNICODE_STRING s;
    RtlInitEmptyUnicodeString(&s, buffer, 5 * sizeof(WCHAR));
    EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringPrintf(&s, L"W%d", 48));
    EXPECT_EQ(L"W48", text_of(s));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlUnicodeStringPrintf(&s, L"Wave_%d", 48000));
    EXPECT_EQ(L"Wave_", text_of(s));
    EXPECT_EQ(poison, buffer[5]);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlUnicodeStringCatString(&s, L"x"));

    UNICODE_STRING bad;
    bad.Buffer = buffer;
    bad.MaximumLength = 4 * sizeof(WCHAR);
    bad.Length = 5 * sizeof(WCHAR);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlUnicodeStringPrintf(&bad, L"x"));
}
