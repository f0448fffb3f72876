// The loader's records, shared by the module calls and CreateProcessW.
#pragma once
#include "kernel32_private.h"
#include <string>

namespace platform {

struct loaded_module {
    std::wstring name;    // lower-case file name with extension, e.g. L"ovmlsaaso.dll"
    std::wstring path;    // what GetModuleFileNameW reports
    void *dl = nullptr;   // dlopen handle
    LONG loads = 0;       // LoadLibraryW count; system and program modules are never freed
    bool system = false;  // the platform library or the host executable
    bool program = false; // loaded as a process's program: no DllMain, stays until shutdown
};

// The lower-case file name of a module name or path; ".dll" is added when there is no
// extension.
std::wstring module_file_name(const WCHAR *name_or_path);

// Loads a module (or takes another reference); null with *error when its file is missing.
loaded_module *module_load(const WCHAR *name_or_path, bool program, DWORD *error);

loaded_module *module_from_handle(HMODULE handle);
void *module_symbol(loaded_module *module, const char *symbol);
loaded_module *module_of_process(process *p);

} // namespace platform
