// printf-style formatting with the Windows rules, for the safe string functions and tracing:
// l is 32-bit, I64/ll and I/z are 64-bit; in narrow formats %s is narrow and %S, %ls, %ws
// wide, in wide formats %s is wide and %S, %hs narrow; %Z prints an ANSI_STRING, %wZ a
// UNICODE_STRING; %p prints 16 upper-case hex digits; %n writes nothing.
#pragma once
#include <cstdarg>
#include <string>

namespace platform {

std::string format_narrow(const char *format, va_list args);
std::wstring format_wide(const wchar_t *format, va_list args);

} // namespace platform
