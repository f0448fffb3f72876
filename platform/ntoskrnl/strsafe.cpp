// The kernel's safe string functions: every result fits its destination, is terminated (the
// counted-string forms excepted) and reports truncation as STATUS_BUFFER_OVERFLOW.
#include <ntstrsafe.h>
#include <ntstatus.h>
#include <string>
#include "format.h"

namespace {

template <typename Ch> NTSTATUS validate_dest(Ch *dest, size_t cch)
{
    if (dest == nullptr || cch == 0 || cch > NTSTRSAFE_MAX_CCH) {
        if (dest != nullptr && cch > 0) {
            dest[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Copies at most max_src characters of src (stopping at its terminator) into dest of cch
// characters, always terminating dest. cch is at least 1.
template <typename Ch> NTSTATUS copy_worker(Ch *dest, size_t cch, const Ch *src, size_t max_src)
{
    size_t i = 0;
    while (i + 1 < cch && i < max_src && src[i] != 0) {
        dest[i] = src[i];
        ++i;
    }
    dest[i] = 0;
    return (i < max_src && src[i] != 0) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Ch> NTSTATUS copy(Ch *dest, size_t cch, const Ch *src, size_t max_src)
{
    NTSTATUS status = validate_dest(dest, cch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (src == nullptr || max_src > NTSTRSAFE_MAX_CCH) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return copy_worker(dest, cch, src, max_src);
}

template <typename Ch> NTSTATUS length(const Ch *text, size_t cch_max, size_t *cch_length)
{
    if (text == nullptr || cch_max > NTSTRSAFE_MAX_CCH) {
        if (cch_length != nullptr) {
            *cch_length = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cch_max && text[n] != 0) {
        ++n;
    }
    if (n == cch_max) {
        if (cch_length != nullptr) {
            *cch_length = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (cch_length != nullptr) {
        *cch_length = n;
    }
    return STATUS_SUCCESS;
}

template <typename Ch> NTSTATUS cat(Ch *dest, size_t cch, const Ch *src)
{
    NTSTATUS status = validate_dest(dest, cch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size_t used = 0;
    status = length(static_cast<const Ch *>(dest), cch, &used);
    if (!NT_SUCCESS(status) || src == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return copy_worker(dest + used, cch - used, src, NTSTRSAFE_MAX_CCH);
}

NTSTATUS vprintf_narrow(PSTR dest, size_t cch, PCSTR format, va_list args)
{
    NTSTATUS status = validate_dest(dest, cch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return STATUS_INVALID_PARAMETER;
    }
    const std::string text = platform::format_narrow(format, args);
    return copy_worker(dest, cch, text.c_str(), text.size());
}

NTSTATUS vprintf_wide(PWSTR dest, size_t cch, PCWSTR format, va_list args)
{
    NTSTATUS status = validate_dest(dest, cch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (format == nullptr) {
        dest[0] = L'\0';
        return STATUS_INVALID_PARAMETER;
    }
    const std::wstring text = platform::format_wide(format, args);
    return copy_worker(dest, cch, text.c_str(), text.size());
}

// A byte size of the Cb forms in whole characters.
template <typename Ch> size_t chars_of(size_t cb)
{
    return cb / sizeof(Ch);
}

bool valid_counted(PCUNICODE_STRING s)
{
    return s != nullptr && s->Length <= s->MaximumLength && s->Length % sizeof(WCHAR) == 0 &&
           s->MaximumLength % sizeof(WCHAR) == 0 &&
           s->MaximumLength / sizeof(WCHAR) <= NTSTRSAFE_UNICODE_STRING_MAX_CCH &&
           (s->Buffer != nullptr || s->MaximumLength == 0);
}

// Appends count characters of text to dest at offset chars, as many as fit.
NTSTATUS put_counted(PUNICODE_STRING dest, size_t offset, const WCHAR *text, size_t count)
{
    const size_t room = dest->MaximumLength / sizeof(WCHAR) - offset;
    const size_t n = count < room ? count : room;
    for (size_t i = 0; i < n; ++i) {
        dest->Buffer[offset + i] = text[i];
    }
    dest->Length = (USHORT)((offset + n) * sizeof(WCHAR));
    return n < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS NTAPI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return copy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS NTAPI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return copy(pszDest, chars_of<WCHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS NTAPI RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return copy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS NTAPI RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return copy(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS NTAPI RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy)
{
    return copy(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS NTAPI RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy)
{
    return copy(pszDest, chars_of<WCHAR>(cbDest), pszSrc, chars_of<WCHAR>(cbToCopy));
}

NTSTATUS NTAPI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return cat(pszDest, cchDest, pszSrc);
}

NTSTATUS NTAPI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return cat(pszDest, chars_of<WCHAR>(cbDest), pszSrc);
}

NTSTATUS NTAPI RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return cat(pszDest, cchDest, pszSrc);
}

NTSTATUS NTAPI RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return cat(pszDest, cbDest, pszSrc);
}

NTSTATUS __cdecl RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = vprintf_wide(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS __cdecl RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = vprintf_wide(pszDest, chars_of<WCHAR>(cbDest), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS __cdecl RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = vprintf_narrow(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS __cdecl RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = vprintf_narrow(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS NTAPI RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    return vprintf_wide(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return vprintf_wide(pszDest, chars_of<WCHAR>(cbDest), pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList)
{
    return vprintf_narrow(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    return vprintf_narrow(pszDest, cbDest, pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t *pcchLength)
{
    return length(psz, cchMax, pcchLength);
}

NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength)
{
    size_t chars = 0;
    const NTSTATUS status = length(psz, chars_of<WCHAR>(cbMax), &chars);
    if (pcbLength != nullptr) {
        *pcbLength = chars * sizeof(WCHAR);
    }
    return status;
}

NTSTATUS NTAPI RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t *pcchLength)
{
    return length(psz, cchMax, pcchLength);
}

NTSTATUS NTAPI RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t *pcbLength)
{
    return length(psz, cbMax, pcbLength);
}

NTSTATUS NTAPI RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, va_list argList)
{
    if (!valid_counted(DestinationString) || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::wstring text = platform::format_wide(pszFormat, argList);
    return put_counted(DestinationString, 0, text.data(), text.size());
}

NTSTATUS __cdecl RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!valid_counted(DestinationString) || !valid_counted(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    return put_counted(DestinationString, 0, SourceString->Buffer, SourceString->Length / sizeof(WCHAR));
}

NTSTATUS NTAPI RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, PCWSTR pszSrc)
{
    if (!valid_counted(DestinationString) || pszSrc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return put_counted(DestinationString, 0, pszSrc, std::char_traits<WCHAR>::length(pszSrc));
}

NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!valid_counted(DestinationString) || !valid_counted(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    return put_counted(DestinationString, DestinationString->Length / sizeof(WCHAR), SourceString->Buffer,
                       SourceString->Length / sizeof(WCHAR));
}

NTSTATUS NTAPI RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc)
{
    if (!valid_counted(DestinationString) || pszSrc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return put_counted(DestinationString, DestinationString->Length / sizeof(WCHAR), pszSrc,
                       std::char_traits<WCHAR>::length(pszSrc));
}

} // extern "C"
