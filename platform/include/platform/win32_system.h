// Settings and records of the Win32 side that tests and the simulated machine use: the
// processor topology GetLogicalProcessorInformation reports, what threads asked of the
// multimedia scheduler, the module folder and registered module paths, and the processes
// CreateProcessW was asked to start.
#pragma once
#include <string>
#include <vector>
#include <ntdef.h>

namespace platform {

// Number of processor packages GetLogicalProcessorInformation reports (1 at boot; 0..64; 0
// reports the cores of one package without a package record).
void set_processor_packages(ULONG packages);

// One AvSetMmThreadCharacteristicsW registration and what followed it.
struct mmcss_record {
    ULONG thread_id = 0;
    std::wstring task_name;
    DWORD task_index = 0;
    int priority = 0;      // the last AVRT_PRIORITY set; AVRT_PRIORITY_NORMAL until then
    bool reverted = false; // AvRevertMmThreadCharacteristics was called
};
std::vector<mmcss_record> mmcss_records();

// The folder LoadLibraryW and CreateProcessW look in for module files ("<name>.so"); the
// build's module folder until set.
void module_set_directory(const std::string &directory);

// Gives a module name (e.g. L"ovmlsaaso.dll") the path GetModuleFileNameW reports for it,
// instead of "C:\Windows\System32\<name>".
void module_register_path(const std::wstring &module_name, const std::wstring &windows_path);

// A CreateProcessW request for a program that is not a module of the machine.
struct process_launch_record {
    std::wstring application_name;
    std::wstring command_line;
    DWORD creation_flags = 0;
};
std::vector<process_launch_record> process_launch_records();

// Whether such requests succeed (the default, with a process that ends at once) or fail with
// error.
void process_set_launch_result(bool succeed, DWORD error);

} // namespace platform
