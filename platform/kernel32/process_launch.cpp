// CreateProcessW: a program module of the machine (one exporting wWinMain or WinMain) starts
// as a new simulated process on a new thread; any other request is recorded and succeeds or
// fails as configured.
#include "kernel32_private.h"
#include "modules.h"
#include <platform/machine_state.h>
#include <platform/win32_system.h>

namespace platform {
namespace {

typedef int(WINAPI *wide_main_routine)(HINSTANCE, HINSTANCE, LPWSTR, int);
typedef int(WINAPI *narrow_main_routine)(HINSTANCE, HINSTANCE, LPSTR, int);

std::mutex g_lock;
std::vector<process_launch_record> g_records;
bool g_launch_succeeds = true;
DWORD g_launch_error = ERROR_FILE_NOT_FOUND;

void reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_records.clear();
    g_launch_succeeds = true;
    g_launch_error = ERROR_FILE_NOT_FOUND;
}

machine_hooks g_hooks("kernel32.process_launch", reset, reset);

// Splits a command line into the program (first token, quotes removed) and the arguments.
void split_command_line(const std::wstring &line, std::wstring *program, std::wstring *arguments)
{
    size_t end = 0;
    if (!line.empty() && line[0] == L'"') {
        end = line.find(L'"', 1);
        *program = line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
        end = end == std::wstring::npos ? line.size() : end + 1;
    } else {
        end = line.find(L' ');
        end = end == std::wstring::npos ? line.size() : end;
        *program = line.substr(0, end);
    }
    while (end < line.size() && line[end] == L' ') {
        ++end;
    }
    *arguments = line.substr(end);
}

// The program's main thread: runs its entry and ends the process with its result, as
// returning from the entry point does on Windows.
DWORD run_program(process *p, loaded_module *module, const std::wstring &arguments, int show)
{
    auto instance = reinterpret_cast<HINSTANCE>(module);
    DWORD code = 0;
    if (auto wide = reinterpret_cast<wide_main_routine>(module_symbol(module, "wWinMain"))) {
        std::wstring text = arguments;
        code = (DWORD)wide(instance, nullptr, text.data(), show);
    } else if (auto narrow = reinterpret_cast<narrow_main_routine>(module_symbol(module, "WinMain"))) {
        std::string text;
        for (WCHAR c : arguments) {
            text.push_back(c < 0x80 ? (char)c : '?');
        }
        code = (DWORD)narrow(instance, nullptr, text.data(), show);
    }
    process_terminate(p, code);
    return code;
}

bool is_program(loaded_module *module)
{
    return module_symbol(module, "wWinMain") != nullptr || module_symbol(module, "WinMain") != nullptr;
}

} // namespace

std::vector<process_launch_record> process_launch_records()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_records;
}

void process_set_launch_result(bool succeed, DWORD error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_launch_succeeds = succeed;
    g_launch_error = error;
}

} // namespace platform

using namespace platform;

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation)
{
    UNREFERENCED_PARAMETER(lpProcessAttributes);
    UNREFERENCED_PARAMETER(lpThreadAttributes);
    UNREFERENCED_PARAMETER(bInheritHandles);
    UNREFERENCED_PARAMETER(lpEnvironment);
    UNREFERENCED_PARAMETER(lpCurrentDirectory);
    if ((lpApplicationName == nullptr && lpCommandLine == nullptr) || lpStartupInfo == nullptr ||
        lpProcessInformation == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring command_line = lpCommandLine != nullptr ? lpCommandLine : L"";
    std::wstring program;
    std::wstring arguments;
    split_command_line(command_line, &program, &arguments);
    if (lpApplicationName != nullptr) {
        program = lpApplicationName;
    }
    if (program.empty()) {
        win32_set_last_error(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const int show = (lpStartupInfo->dwFlags & STARTF_USESHOWWINDOW) != 0 ? lpStartupInfo->wShowWindow : 1;

    DWORD error = ERROR_SUCCESS;
    loaded_module *module = module_load(program.c_str(), true, &error);
    if (module != nullptr && !is_program(module)) {
        module = nullptr;
    }
    if (module == nullptr) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_records.push_back(process_launch_record{lpApplicationName != nullptr ? lpApplicationName : L"",
                                                  command_line, dwCreationFlags});
        if (!g_launch_succeeds) {
            win32_set_last_error(g_launch_error);
            return FALSE;
        }
    }

    process *p = process_create(module_file_name(program.c_str()), command_line);
    p->main_module = module;
    win32_thread *main_thread = win32_create_thread(
        p,
        [p, module, arguments, show]() -> DWORD {
            return module != nullptr ? run_program(p, module, arguments, show) : (process_terminate(p, 0), 0);
        },
        (dwCreationFlags & CREATE_SUSPENDED) != 0);
    process *caller = process_current();
    auto *process_object = new win32_process(p);
    process_dereference(p);
    HANDLE process_handle = win32_handle_insert(caller, process_object);
    HANDLE thread_handle = main_thread != nullptr ? win32_handle_insert(caller, main_thread) : nullptr;
    const DWORD thread_id = main_thread != nullptr ? main_thread->t->id : 0;
    win32_object_dereference(process_object);
    if (main_thread != nullptr) {
        win32_object_dereference(main_thread);
    }
    if (process_handle == nullptr || thread_handle == nullptr) {
        if (process_handle != nullptr) {
            win32_handle_close(process_handle);
        }
        if (thread_handle != nullptr) {
            win32_handle_close(thread_handle);
        }
        win32_set_last_error(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    lpProcessInformation->hProcess = process_handle;
    lpProcessInformation->hThread = thread_handle;
    lpProcessInformation->dwProcessId = p->id;
    lpProcessInformation->dwThreadId = thread_id;
    return TRUE;
}
