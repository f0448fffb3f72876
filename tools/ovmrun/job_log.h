// The main job's progress lines and the small text conversions they use.
#pragma once
#include <cstdio>
#include <string>
#include <ntdef.h>

namespace ovmrun {

// printf to log and flush; nothing when log is null.
void say(std::FILE *log, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Printable ASCII of a wide text, '?' for anything else.
std::string narrow(const std::wstring &text);
// "0x%08X" of a status.
std::string status_text(NTSTATUS status);
// The name of a status the job's report meets, else its number.
std::string status_name(NTSTATUS status);

} // namespace ovmrun
