// The main job's progress lines and the small text conversions they use.
#include "job_log.h"
#include <ntstatus.h>
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

std::string status_name(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return "STATUS_SUCCESS";
    case STATUS_DEVICE_BUSY:
        return "STATUS_DEVICE_BUSY";
    case STATUS_INVALID_PARAMETER:
        return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_MATCH:
        return "STATUS_NO_MATCH";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_NOT_SUPPORTED:
        return "STATUS_NOT_SUPPORTED";
    default:
        return status_text(status);
    }
}

} // namespace ovmrun
