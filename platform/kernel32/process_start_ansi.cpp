// CreateProcessA over CreateProcessW, with the new process's current directory kept and each
// start recorded (with a reference to the process, so its exit code stays readable), and
// GetCommandLineW.
#include "kernel32_private.h"
#include "current_directory.h"
#include <platform/device_install.h>
#include <platform/machine_state.h>

namespace platform {
namespace {

struct started_process {
    process_start_record record;
    process *p = nullptr; // referenced
};

std::mutex g_lock;
std::vector<started_process> g_started;

void reset()
{
    std::vector<started_process> started;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        started.swap(g_started);
    }
    for (started_process &entry : started) {
        process_dereference(entry.p);
    }
}

machine_hooks g_hooks("kernel32.process_start_ansi", reset, reset);

std::wstring widen(LPCSTR text)
{
    std::wstring result;
    for (; text != nullptr && *text != '\0'; ++text) {
        result.push_back((WCHAR)(unsigned char)*text);
    }
    return result;
}

} // namespace

std::vector<process_start_record> process_start_records()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<process_start_record> records;
    for (const started_process &entry : g_started) {
        records.push_back(entry.record);
    }
    return records;
}

bool process_start_wait(ULONG process_id, DWORD timeout_ms, DWORD *exit_code)
{
    process *p = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const started_process &entry : g_started) {
            if (entry.record.process_id == process_id) {
                p = entry.p;
                process_reference(p);
                break;
            }
        }
    }
    if (p == nullptr) {
        return false;
    }
    DISPATCHER_HEADER *object = &p->header;
    const LONGLONG deadline = dispatcher_deadline_from_timeout(-(LONGLONG)timeout_ms * 10000);
    const bool ended = dispatcher_wait(1, &object, false, &deadline, false) == STATUS_WAIT_0;
    if (ended && exit_code != nullptr) {
        std::lock_guard<std::mutex> guard(p->lock);
        *exit_code = p->exit_code;
    }
    process_dereference(p);
    return ended;
}

} // namespace platform

using namespace platform;

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                           LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation)
{
    if ((lpApplicationName == nullptr && lpCommandLine == nullptr) || lpStartupInfo == nullptr ||
        lpProcessInformation == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring application = widen(lpApplicationName);
    std::wstring command_line = widen(lpCommandLine);
    const std::wstring directory = lpCurrentDirectory != nullptr
                                       ? full_path_of(widen(lpCurrentDirectory))
                                       : current_directory_of(process_current()->id);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = lpStartupInfo->dwFlags;
    startup.wShowWindow = lpStartupInfo->wShowWindow;
    // Started suspended so that its current directory is in place before its first line runs.
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(lpApplicationName != nullptr ? application.c_str() : nullptr,
                        lpCommandLine != nullptr ? command_line.data() : nullptr, lpProcessAttributes,
                        lpThreadAttributes, bInheritHandles, dwCreationFlags | CREATE_SUSPENDED, lpEnvironment,
                        nullptr, &startup, &info)) {
        return FALSE;
    }
    current_directory_set(info.dwProcessId, directory);
    win32_object *object = win32_handle_reference(info.hProcess, win32_object_type::process);
    if (object != nullptr) {
        process *p = static_cast<win32_process *>(object)->p;
        process_reference(p);
        win32_object_dereference(object);
        std::lock_guard<std::mutex> guard(g_lock);
        g_started.push_back(started_process{
            process_start_record{application, widen(lpCommandLine), directory, dwCreationFlags, info.dwProcessId}, p});
    }
    if ((dwCreationFlags & CREATE_SUSPENDED) == 0) {
        ResumeThread(info.hThread);
    }
    *lpProcessInformation = info;
    return TRUE;
}

LPWSTR WINAPI GetCommandLineW()
{
    return process_current()->command_line.data();
}
