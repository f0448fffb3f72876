// The main job's progress lines and the small text conversions they use.
#include "job_log.h"
#include <cstdarg>

namespace ovmrun {

void say(std::FILE *log, const char *format, ...)
{
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    std::fflush(log);
}

std::string narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c >= 0x20 && c < 0x7F ? (char)c : '?');
    }
    return out;
}

std::string status_text(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
    return text;
}

} // namespace ovmrun
