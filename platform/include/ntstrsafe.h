// Safe string functions of the kernel. Cb functions take the destination size in bytes, Cch
// functions in characters (sizeof(WCHAR) bytes each for the W forms). Results:
//   STATUS_SUCCESS            the whole result fitted and is terminated;
//   STATUS_BUFFER_OVERFLOW    the result was cut to fit, and is terminated;
//   STATUS_INVALID_PARAMETER  a size of 0 or above NTSTRSAFE_MAX_CCH characters (nothing is
//                             written for size 0; otherwise the destination becomes empty),
//                             or a destination to append to without a terminator.
// The printf forms follow the Windows format rules (%ws, %S, %wZ, %I64d; l is 32-bit).
#pragma once
#include <cstdarg>
#include <ntdef.h>
#include <ntstatus.h>

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

typedef const UNICODE_STRING *PCUNICODE_STRING;
typedef PCHAR NTSTRSAFE_PSTR;
typedef PCSTR NTSTRSAFE_PCSTR;
typedef PWSTR NTSTRSAFE_PWSTR;
typedef PCWSTR NTSTRSAFE_PCWSTR;

extern "C" {

NTSTATUS NTAPI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS NTAPI RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy);
NTSTATUS NTAPI RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy);

NTSTATUS NTAPI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);

NTSTATUS __cdecl RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS __cdecl RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS __cdecl RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS __cdecl RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS NTAPI RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS NTAPI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS NTAPI RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);
NTSTATUS NTAPI RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);

// Length without the terminator; STATUS_INVALID_PARAMETER (and 0) when there is no terminator
// within the given maximum.
NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t *pcchLength);
NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength);
NTSTATUS NTAPI RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t *pcchLength);
NTSTATUS NTAPI RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t *pcbLength);

// Counted-string forms: the result is not terminated; Length receives its size in bytes.
// The destination must be a valid counted string of at most NTSTRSAFE_UNICODE_STRING_MAX_CCH
// characters (STATUS_INVALID_PARAMETER otherwise).
NTSTATUS __cdecl RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);
NTSTATUS NTAPI RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, va_list argList);
NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, PCWSTR pszSrc);
NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc);

} // extern "C"
