// The Windows printf formatter. Numbers go through the C library with a normalised
// conversion; strings, characters and counted strings are laid out here, so that the
// Windows meaning of each conversion holds whatever the C library's own rules are.
#include "format.h"
#include <ntdef.h>
#include <cstdio>

namespace platform {
namespace {

enum class length_modifier { none, hh, h, l, ll, wide, size };

struct spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    length_modifier length = length_modifier::none;
};

template <typename Ch> void append_converted(std::basic_string<Ch> &out, const char *text, size_t count);

template <> void append_converted<char>(std::string &out, const char *text, size_t count)
{
    out.append(text, count);
}

template <> void append_converted<wchar_t>(std::wstring &out, const char *text, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        out.push_back((wchar_t)(unsigned char)text[i]);
    }
}

template <typename Ch> Ch narrow_of(wchar_t c);
template <> char narrow_of<char>(wchar_t c)
{
    return (c >= 0 && c < 0x100) ? (char)c : '?';
}
template <> wchar_t narrow_of<wchar_t>(wchar_t c)
{
    return c;
}

template <typename Ch> Ch char_of(unsigned char c)
{
    return (Ch)c;
}

template <typename Ch> void pad(std::basic_string<Ch> &out, int count)
{
    for (int i = 0; i < count; ++i) {
        out.push_back((Ch)' ');
    }
}

// Lays out a string of count characters, each read by get(i), with width and precision.
template <typename Ch, typename Get> void put_text(std::basic_string<Ch> &out, const spec &s, size_t count, Get get)
{
    if (s.precision >= 0 && (size_t)s.precision < count) {
        count = (size_t)s.precision;
    }
    const bool left = s.flags.find('-') != std::string::npos;
    const int fill = s.width > (int)count ? s.width - (int)count : 0;
    if (!left) {
        pad(out, fill);
    }
    for (size_t i = 0; i < count; ++i) {
        out.push_back(get(i));
    }
    if (left) {
        pad(out, fill);
    }
}

template <typename Ch> void put_narrow(std::basic_string<Ch> &out, const spec &s, const char *text, size_t count)
{
    put_text<Ch>(out, s, count, [&](size_t i) { return char_of<Ch>((unsigned char)text[i]); });
}

template <typename Ch> void put_wide(std::basic_string<Ch> &out, const spec &s, const wchar_t *text, size_t count)
{
    put_text<Ch>(out, s, count, [&](size_t i) { return narrow_of<Ch>(text[i]); });
}

size_t bounded_length(const char *text)
{
    size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

size_t bounded_length(const wchar_t *text)
{
    size_t n = 0;
    while (text[n] != L'\0') {
        ++n;
    }
    return n;
}

template <typename Ch> void put_number(std::basic_string<Ch> &out, const spec &s, char conversion, va_list &args)
{
    std::string format = "%" + s.flags;
    if (s.width >= 0) {
        format += std::to_string(s.width);
    }
    if (s.precision >= 0) {
        format += "." + std::to_string(s.precision);
    }
    format += "ll";
    format += conversion;
    const bool is_signed = conversion == 'd' || conversion == 'i';
    char buffer[128];
    int n = 0;
    if (is_signed) {
        long long value = 0;
        switch (s.length) {
        case length_modifier::hh: value = (signed char)va_arg(args, int); break;
        case length_modifier::h: value = (short)va_arg(args, int); break;
        case length_modifier::ll:
        case length_modifier::size: value = va_arg(args, long long); break;
        default: value = va_arg(args, int); break;
        }
        n = std::snprintf(buffer, sizeof(buffer), format.c_str(), value);
    } else {
        unsigned long long value = 0;
        switch (s.length) {
        case length_modifier::hh: value = (unsigned char)va_arg(args, unsigned int); break;
        case length_modifier::h: value = (unsigned short)va_arg(args, unsigned int); break;
        case length_modifier::ll:
        case length_modifier::size: value = va_arg(args, unsigned long long); break;
        default: value = va_arg(args, unsigned int); break;
        }
        n = std::snprintf(buffer, sizeof(buffer), format.c_str(), value);
    }
    if (n > 0) {
        append_converted<Ch>(out, buffer, (size_t)n < sizeof(buffer) ? (size_t)n : sizeof(buffer) - 1);
    }
}

template <typename Ch>
void put_float(std::basic_string<Ch> &out, const spec &s, char conversion, bool long_double, va_list &args)
{
    std::string format = "%" + s.flags;
    if (s.width >= 0) {
        format += std::to_string(s.width);
    }
    if (s.precision >= 0) {
        format += "." + std::to_string(s.precision);
    }
    const long double value = long_double ? va_arg(args, long double) : (long double)va_arg(args, double);
    format += 'L';
    format += conversion;
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof(buffer), format.c_str(), value);
    if (n > 0) {
        append_converted<Ch>(out, buffer, (size_t)n < sizeof(buffer) ? (size_t)n : sizeof(buffer) - 1);
    }
}

template <typename Ch> std::basic_string<Ch> format_any(const Ch *format, va_list args_in, bool wide_format)
{
    std::basic_string<Ch> out;
    va_list args;
    va_copy(args, args_in);
    static const char null_text[] = "(null)";
    for (const Ch *p = format; *p != 0; ++p) {
        if (*p != (Ch)'%') {
            out.push_back(*p);
            continue;
        }
        const Ch *start = p++;
        spec s;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            s.flags.push_back((char)*p++);
        }
        if (*p == '*') {
            s.width = va_arg(args, int);
            if (s.width < 0) {
                s.flags.push_back('-');
                s.width = -s.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                s.width = (s.width < 0 ? 0 : s.width) * 10 + (int)(*p++ - '0');
            }
        }
        if (*p == '.') {
            ++p;
            s.precision = 0;
            if (*p == '*') {
                s.precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    s.precision = s.precision * 10 + (int)(*p++ - '0');
                }
            }
        }
        bool long_double = false;
        if (p[0] == 'h' && p[1] == 'h') {
            s.length = length_modifier::hh;
            p += 2;
        } else if (p[0] == 'h') {
            s.length = length_modifier::h;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            s.length = length_modifier::ll;
            p += 2;
        } else if (p[0] == 'l') {
            s.length = length_modifier::l;
            ++p;
        } else if (p[0] == 'w') {
            s.length = length_modifier::wide;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            s.length = length_modifier::ll;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            s.length = length_modifier::none;
            p += 3;
        } else if (p[0] == 'I' || p[0] == 'z' || p[0] == 'j' || p[0] == 't') {
            s.length = length_modifier::size;
            ++p;
        } else if (p[0] == 'L') {
            long_double = true;
            ++p;
        }
        const Ch conversion = *p;
        if (conversion == 0) {
            out.append(start, p);
            break;
        }
        const bool wants_wide_text = s.length == length_modifier::l || s.length == length_modifier::wide;
        const bool wants_narrow_text = s.length == length_modifier::h;
        switch (conversion) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
            put_number(out, s, (char)conversion, args);
            break;
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            put_float(out, s, (char)conversion, long_double, args);
            break;
        case 'p': {
            char buffer[32];
            const int n = std::snprintf(buffer, sizeof(buffer), "%016llX",
                                        (unsigned long long)(ULONG_PTR)va_arg(args, void *));
            append_converted<Ch>(out, buffer, (size_t)n);
            break;
        }
        case 'c': case 'C': {
            const bool wide_char = wants_wide_text || (conversion == 'c' ? wide_format && !wants_narrow_text
                                                                           : !wide_format && !wants_narrow_text);
            const int value = va_arg(args, int);
            if (wide_char) {
                const wchar_t c = (wchar_t)value;
                put_wide(out, s, &c, 1);
            } else {
                const char c = (char)value;
                put_narrow(out, s, &c, 1);
            }
            break;
        }
        case 's': case 'S': {
            const bool wide_text = wants_wide_text || (conversion == 's' ? wide_format && !wants_narrow_text
                                                                           : !wide_format && !wants_narrow_text);
            if (wide_text) {
                const auto *text = va_arg(args, const wchar_t *);
                if (text == nullptr) {
                    put_narrow(out, s, null_text, sizeof(null_text) - 1);
                } else {
                    put_wide(out, s, text, bounded_length(text));
                }
            } else {
                const auto *text = va_arg(args, const char *);
                if (text == nullptr) {
                    put_narrow(out, s, null_text, sizeof(null_text) - 1);
                } else {
                    put_narrow(out, s, text, bounded_length(text));
                }
            }
            break;
        }
        case 'Z': {
            if (s.length == length_modifier::wide) {
                const auto *text = va_arg(args, const UNICODE_STRING *);
                if (text == nullptr || text->Buffer == nullptr) {
                    put_narrow(out, s, null_text, sizeof(null_text) - 1);
                } else {
                    put_wide(out, s, text->Buffer, text->Length / sizeof(WCHAR));
                }
            } else {
                const auto *text = va_arg(args, const ANSI_STRING *);
                if (text == nullptr || text->Buffer == nullptr) {
                    put_narrow(out, s, null_text, sizeof(null_text) - 1);
                } else {
                    put_narrow(out, s, text->Buffer, text->Length);
                }
            }
            break;
        }
        case 'n':
            (void)va_arg(args, void *);
            break;
        case '%':
            out.push_back((Ch)'%');
            break;
        default:
            out.append(start, p + 1);
            break;
        }
    }
    va_end(args);
    return out;
}

} // namespace

std::string format_narrow(const char *format, va_list args)
{
    return format_any<char>(format, args, false);
}

std::wstring format_wide(const wchar_t *format, va_list args)
{
    return format_any<wchar_t>(format, args, true);
}

} // namespace platform
