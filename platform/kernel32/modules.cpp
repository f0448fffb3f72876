// Modules: the loader over the machine's module folder. A module name or Windows path maps
// to the built "<name>.so" in that folder, loaded with dlopen; the Win32 system modules
// (kernel32, user32 ...) are the platform library itself. DllMain sees process attach and
// detach; reference counts are machine-wide.
#include "kernel32_private.h"
#include "modules.h"
#include <platform/machine_state.h>
#include <platform/trace.h>
#include <platform/win32_system.h>
#include <dlfcn.h>
#include <link.h>
#include <cwctype>
#include <list>
#include <map>

namespace platform {
namespace {

typedef BOOL(WINAPI *dll_main_routine)(HINSTANCE, DWORD, LPVOID);

constexpr const WCHAR *system_modules[] = {L"kernel32.dll", L"kernelbase.dll", L"ntdll.dll",  L"user32.dll",
                                           L"advapi32.dll", L"ole32.dll",      L"oleaut32.dll", L"setupapi.dll",
                                           L"cfgmgr32.dll", L"avrt.dll",       L"winmm.dll",    L"shell32.dll",
                                           L"newdev.dll",   L"mmdevapi.dll",   L"combase.dll",  L"shlwapi.dll",
                                           L"gdiplus.dll"};

// The loader lock: DllMain runs under it and may call back into the loader.
std::recursive_mutex g_loader_lock;
std::list<loaded_module> g_modules;
std::map<std::wstring, std::wstring> g_registered_paths;
std::string g_directory = OVM_MODULE_DIR;

void *platform_library()
{
    static void *handle = [] {
        Dl_info info{};
        void *self = nullptr;
        if (dladdr(reinterpret_cast<void *>(&GetModuleHandleW), &info) != 0 && info.dli_fname != nullptr) {
            self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        }
        return self;
    }();
    return handle;
}

std::string narrow(const std::wstring &text)
{
    std::string result;
    for (WCHAR c : text) {
        result.push_back(c < 0x80 ? (char)c : '_');
    }
    return result;
}

std::wstring lower(std::wstring text)
{
    for (WCHAR &c : text) {
        c = (WCHAR)std::towlower(c);
    }
    return text;
}

bool is_system_module(const std::wstring &name)
{
    for (const WCHAR *system : system_modules) {
        if (name == system) {
            return true;
        }
    }
    return false;
}

loaded_module *find_locked(const std::wstring &name)
{
    for (loaded_module &module : g_modules) {
        if (module.name == name) {
            return &module;
        }
    }
    return nullptr;
}

void call_dll_main(loaded_module &module, DWORD reason)
{
    if (module.dl == nullptr || module.system || module.program) {
        return;
    }
    auto entry = reinterpret_cast<dll_main_routine>(dlsym(module.dl, "DllMain"));
    if (entry != nullptr) {
        entry(reinterpret_cast<HINSTANCE>(&module), reason, nullptr);
    }
}

// Unloads a DLL or program module; trace sessions no longer call a provider it left registered.
void close_module(loaded_module &module)
{
    link_map *map = nullptr;
    if (dlinfo(module.dl, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        trace_forget_module(map->l_name);
    }
    dlclose(module.dl);
}

void unload_all()
{
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    for (loaded_module &module : g_modules) {
        if (!module.system && module.dl != nullptr) {
            call_dll_main(module, DLL_PROCESS_DETACH);
            close_module(module);
        }
    }
    g_modules.clear();
    g_registered_paths.clear();
}

machine_hooks g_hooks("kernel32.modules", unload_all, unload_all);

} // namespace

std::wstring module_file_name(const WCHAR *name_or_path)
{
    std::wstring text(name_or_path);
    const size_t slash = text.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        text = text.substr(slash + 1);
    }
    text = lower(text);
    if (text.find(L'.') == std::wstring::npos) {
        text += L".dll";
    }
    return text;
}

loaded_module *module_load(const WCHAR *name_or_path, bool program, DWORD *error)
{
    const std::wstring name = module_file_name(name_or_path);
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    if (loaded_module *existing = find_locked(name)) {
        existing->loads += existing->system ? 0 : 1;
        return existing;
    }
    loaded_module module;
    module.name = name;
    if (is_system_module(name)) {
        module.system = true;
        module.dl = platform_library();
        module.path = L"C:\\Windows\\System32\\" + name;
        g_modules.push_back(module);
        return &g_modules.back();
    }
    const std::wstring base = name.substr(0, name.rfind(L'.'));
    const std::string file = g_directory + "/" + narrow(base) + ".so";
    module.dl = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module.dl == nullptr) {
        *error = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    module.program = program;
    module.loads = 1;
    const std::wstring given(name_or_path);
    auto registered = g_registered_paths.find(name);
    if (registered != g_registered_paths.end()) {
        module.path = registered->second;
    } else if (given.find(L'\\') != std::wstring::npos) {
        module.path = given;
    } else {
        module.path = L"C:\\Windows\\System32\\" + name;
    }
    g_modules.push_back(module);
    call_dll_main(g_modules.back(), DLL_PROCESS_ATTACH);
    return &g_modules.back();
}

loaded_module *module_from_handle(HMODULE handle)
{
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    for (loaded_module &module : g_modules) {
        if (reinterpret_cast<HMODULE>(&module) == handle) {
            return &module;
        }
    }
    return nullptr;
}

void *module_symbol(loaded_module *module, const char *symbol)
{
    return module->dl != nullptr ? dlsym(module->dl, symbol) : nullptr;
}

void module_set_directory(const std::string &directory)
{
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    g_directory = directory;
}

void module_register_path(const std::wstring &module_name, const std::wstring &windows_path)
{
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    const std::wstring name = module_file_name(module_name.c_str());
    g_registered_paths[name] = windows_path;
    if (loaded_module *module = find_locked(name)) {
        module->path = windows_path;
    }
}

// The module a process runs: its program module, or for the host (the default process) the
// executable itself.
loaded_module *module_of_process(process *p)
{
    if (p->main_module != nullptr) {
        return static_cast<loaded_module *>(p->main_module);
    }
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    static constexpr const WCHAR *host_name = L"host.exe";
    if (loaded_module *host = find_locked(host_name)) {
        return host;
    }
    loaded_module host;
    host.name = host_name;
    host.system = true;
    host.dl = dlopen(nullptr, RTLD_NOW);
    host.path = std::wstring(L"C:\\Windows\\System32\\") + host_name;
    g_modules.push_back(host);
    return &g_modules.back();
}

} // namespace platform

using namespace platform;

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (lpLibFileName == nullptr || lpLibFileName[0] == L'\0') {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    loaded_module *module = module_load(lpLibFileName, false, &error);
    if (module == nullptr) {
        win32_set_last_error(error);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(module);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName == nullptr) {
        return reinterpret_cast<HMODULE>(module_of_process(process_current()));
    }
    const std::wstring name = module_file_name(lpModuleName);
    if (is_system_module(name)) {
        DWORD error = ERROR_SUCCESS;
        return reinterpret_cast<HMODULE>(module_load(lpModuleName, false, &error));
    }
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    loaded_module *module = find_locked(name);
    if (module == nullptr) {
        win32_set_last_error(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(module);
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    std::wstring path;
    {
        std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
        loaded_module *module =
            hModule == nullptr ? module_of_process(process_current()) : module_from_handle(hModule);
        if (module == nullptr) {
            win32_set_last_error(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = module->path;
    }
    if (lpFilename == nullptr || nSize == 0) {
        win32_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // A path that does not fit is cut to nSize - 1 characters, terminated, and the call
    // returns nSize with ERROR_INSUFFICIENT_BUFFER.
    if (path.size() >= nSize) {
        path.copy(lpFilename, nSize - 1);
        lpFilename[nSize - 1] = L'\0';
        win32_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    path.copy(lpFilename, path.size());
    lpFilename[path.size()] = L'\0';
    win32_set_last_error(ERROR_SUCCESS);
    return (DWORD)path.size();
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    loaded_module *module = module_from_handle(hModule);
    if (module == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpProcName == nullptr || (ULONG_PTR)lpProcName < 0x10000) {
        // Lookups by ordinal: the stand-in's modules export by name only.
        win32_set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void *symbol = module_symbol(module, lpProcName);
    if (symbol == nullptr) {
        win32_set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    std::lock_guard<std::recursive_mutex> guard(g_loader_lock);
    loaded_module *module = module_from_handle(hLibModule);
    if (module == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (module->system || module->program) {
        return TRUE;
    }
    module->loads -= 1;
    if (module->loads == 0) {
        call_dll_main(*module, DLL_PROCESS_DETACH);
        close_module(*module);
        g_modules.remove_if([module](const loaded_module &m) { return &m == module; });
    }
    return TRUE;
}
