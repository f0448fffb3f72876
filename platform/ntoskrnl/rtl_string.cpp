// Rtl memory comparison, counted strings, integers and GUIDs as text.
#include <wdm.h>
#include <platform/pool.h>
#include <cwchar>

namespace {

// Rtl-allocated string buffers, freed with RtlFreeUnicodeString / RtlFreeAnsiString.
constexpr ULONG string_tag = 0x67727453; // "Strg"

// The longest counted-string length, in bytes, that is a whole number of characters.
template <typename Ch> constexpr USHORT max_counted_bytes()
{
    return (USHORT)((MAXUSHORT - sizeof(Ch)) / sizeof(Ch) * sizeof(Ch));
}

WCHAR upcase(WCHAR c)
{
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return (WCHAR)(c - 0x20);
    }
    return c;
}

WCHAR downcase(WCHAR c)
{
    if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return (WCHAR)(c + 0x20);
    }
    return c;
}

int hex_value(WCHAR c)
{
    if (c >= L'0' && c <= L'9') {
        return (int)(c - L'0');
    }
    if (c >= L'a' && c <= L'f') {
        return (int)(c - L'a' + 10);
    }
    if (c >= L'A' && c <= L'F') {
        return (int)(c - L'A' + 10);
    }
    return -1;
}

// Reads digits hex digits at text; false when one is not a hex digit.
bool read_hex(const WCHAR *text, int digits, ULONGLONG &value)
{
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const int v = hex_value(text[i]);
        if (v < 0) {
            return false;
        }
        value = value * 16 + (ULONGLONG)v;
    }
    return true;
}

void terminate_if_room(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) {
        s->Buffer[s->Length / sizeof(WCHAR)] = L'\0';
    }
}

NTSTATUS append(PUNICODE_STRING Destination, const WCHAR *source, size_t bytes)
{
    if (bytes == 0) {
        return STATUS_SUCCESS;
    }
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    terminate_if_room(Destination);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const auto *a = static_cast<const UCHAR *>(Source1);
    const auto *b = static_cast<const UCHAR *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > max_counted_bytes<WCHAR>()) {
        bytes = max_counted_bytes<WCHAR>();
        DestinationString->Length = (USHORT)bytes;
        DestinationString->MaximumLength = (USHORT)bytes;
        return;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > max_counted_bytes<CHAR>()) {
        bytes = max_counted_bytes<CHAR>();
        DestinationString->Length = (USHORT)bytes;
        DestinationString->MaximumLength = (USHORT)bytes;
        return;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + 1);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString)
{
    RtlInitAnsiString(DestinationString, SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = (USHORT)(DestinationString->MaximumLength / sizeof(WCHAR) * sizeof(WCHAR));
    }
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    terminate_if_room(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return append(Destination, Source, std::wcslen(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return append(Destination, Source->Buffer, Source->Length);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    const size_t n1 = String1->Length / sizeof(WCHAR);
    const size_t n2 = String2->Length / sizeof(WCHAR);
    const size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = upcase(a);
            b = upcase(b);
        }
        if (a != b) {
            return (LONG)a - (LONG)b;
        }
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0 ? TRUE : FALSE;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return upcase(SourceCharacter);
}

WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter)
{
    return downcase(SourceCharacter);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    size_t count = 0;
    do {
        const ULONG digit = Value % Base;
        digits[count++] = (WCHAR)(digit < 10 ? L'0' + digit : L'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    const size_t bytes = count * sizeof(WCHAR);
    if (bytes > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < count; ++i) {
        String->Buffer[i] = digits[count - 1 - i];
    }
    String->Length = (USHORT)bytes;
    terminate_if_room(String);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    const WCHAR *p = String->Buffer;
    size_t left = String->Length / sizeof(WCHAR);
    while (left > 0 && *p <= L' ') {
        ++p;
        --left;
    }
    bool negative = false;
    if (left > 0 && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
        --left;
    }
    if (Base == 0) {
        Base = 10;
        if (left >= 2 && p[0] == L'0') {
            const WCHAR prefix = p[1];
            if (prefix == L'x') {
                Base = 16;
            } else if (prefix == L'o') {
                Base = 8;
            } else if (prefix == L'b') {
                Base = 2;
            }
            if (Base != 10) {
                p += 2;
                left -= 2;
            }
        }
    }
    ULONG result = 0;
    for (; left > 0; ++p, --left) {
        const int digit = hex_value(*p);
        if (digit < 0 || (ULONG)digit >= Base) {
            break;
        }
        result = result * Base + (ULONG)digit;
    }
    *Value = negative ? (ULONG)(0u - result) : result;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePoolWithTag(UnicodeString->Buffer, string_tag);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer != nullptr) {
        ExFreePoolWithTag(AnsiString->Buffer, string_tag);
    }
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}

// Characters outside the 8-bit range become '?', as a code page without them would have it.
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    const size_t count = SourceString->Length / sizeof(WCHAR);
    if (count + 1 > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        auto *buffer = static_cast<PCHAR>(
            platform::pool_allocate(PagedPool, count + 1, string_tag, __builtin_return_address(0)));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)(count + 1);
    } else if (count > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < count; ++i) {
        const WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = (c >= 0 && c < 0x100) ? (CHAR)c : '?';
    }
    DestinationString->Length = (USHORT)count;
    if (count < DestinationString->MaximumLength) {
        DestinationString->Buffer[count] = '\0';
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    const size_t count = SourceString->Length;
    const size_t bytes = count * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        auto *buffer = static_cast<PWSTR>(
            platform::pool_allocate(PagedPool, bytes + sizeof(WCHAR), string_tag, __builtin_return_address(0)));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < count; ++i) {
        DestinationString->Buffer[i] = (WCHAR)(UCHAR)SourceString->Buffer[i];
    }
    DestinationString->Length = (USHORT)bytes;
    terminate_if_room(DestinationString);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString)
{
    constexpr size_t chars = 38;
    auto *buffer = static_cast<PWSTR>(platform::pool_allocate(PagedPool, (chars + 1) * sizeof(WCHAR), string_tag,
                                                              __builtin_return_address(0)));
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }
    std::swprintf(buffer, chars + 1, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)Guid.Data1,
                  (unsigned)Guid.Data2, (unsigned)Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2],
                  Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    GuidString->Buffer = buffer;
    GuidString->Length = (USHORT)(chars * sizeof(WCHAR));
    GuidString->MaximumLength = (USHORT)((chars + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID *Guid)
{
    const WCHAR *t = GuidString->Buffer;
    if (GuidString->Length != 38 * sizeof(WCHAR) || t == nullptr || t[0] != L'{' || t[9] != L'-' ||
        t[14] != L'-' || t[19] != L'-' || t[24] != L'-' || t[37] != L'}') {
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG data1 = 0;
    ULONGLONG data2 = 0;
    ULONGLONG data3 = 0;
    if (!read_hex(t + 1, 8, data1) || !read_hex(t + 10, 4, data2) || !read_hex(t + 15, 4, data3)) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data4[8];
    static const int offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        ULONGLONG byte = 0;
        if (!read_hex(t + offsets[i], 2, byte)) {
            return STATUS_INVALID_PARAMETER;
        }
        data4[i] = (UCHAR)byte;
    }
    Guid->Data1 = (ULONG)data1;
    Guid->Data2 = (USHORT)data2;
    Guid->Data3 = (USHORT)data3;
    std::memcpy(Guid->Data4, data4, sizeof(data4));
    return STATUS_SUCCESS;
}

} // extern "C"
