// The current directory of each simulated process, kept by kernel32's path calls and set
// when CreateProcessA starts a program in a given folder.
#pragma once
#include <string>
#include <ntdef.h>

namespace platform {

// The process's current directory with a trailing backslash; "C:\" until one is set.
std::wstring current_directory_of(ULONG process_id);
void current_directory_set(ULONG process_id, const std::wstring &directory);

// The full, normalised form of a Windows path (forward slashes become backslashes, "." and
// ".." parts are resolved, a relative path is taken from the caller's current directory).
// Empty when the path is empty.
std::wstring full_path_of(const std::wstring &path);

} // namespace platform
