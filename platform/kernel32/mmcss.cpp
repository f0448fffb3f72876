// The multimedia class scheduler (avrt): registrations are recorded for tests; the thread's
// scheduling is not changed.
#include "kernel32_private.h"
#include <avrt.h>
#include <platform/machine_state.h>
#include <platform/win32_system.h>
#include <cwctype>

namespace platform {
namespace {

// A registration is its index in g_records plus one, handed out as the AVRT handle.
std::mutex g_lock;
std::vector<mmcss_record> g_records;

bool known_task(const WCHAR *name)
{
    static constexpr const WCHAR *tasks[] = {L"Audio",    L"Capture",        L"Distribution", L"Games",
                                             L"Playback", L"Pro Audio",      L"Window Manager"};
    for (const WCHAR *task : tasks) {
        if (std::wcslen(task) == std::wcslen(name)) {
            bool same = true;
            for (size_t i = 0; task[i] != L'\0' && same; ++i) {
                same = std::towlower(task[i]) == std::towlower(name[i]);
            }
            if (same) {
                return true;
            }
        }
    }
    return false;
}

// The record behind handle when the calling thread made it and has not reverted it.
mmcss_record *record_of(HANDLE handle)
{
    const ULONG_PTR index = (ULONG_PTR)handle;
    if (index == 0 || index > g_records.size()) {
        return nullptr;
    }
    mmcss_record &record = g_records[index - 1];
    if (record.reverted || record.thread_id != current_thread()->id) {
        return nullptr;
    }
    return &record;
}

// A registered task's thread runs in the real-time priority range, as the multimedia class
// scheduler raises it: 23 at normal task priority, moved by the task priority set.
void set_task_priority(thread *t, int priority)
{
    t->priority = static_cast<KPRIORITY>(23 + priority);
    thread_apply_priority(t);
}

void reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_records.clear();
}

machine_hooks g_hooks("avrt", reset, reset);

} // namespace

std::vector<mmcss_record> mmcss_records()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_records;
}

} // namespace platform

using namespace platform;

HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex)
{
    if (TaskName == nullptr || TaskIndex == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!known_task(TaskName)) {
        win32_set_last_error(ERROR_INVALID_TASK_NAME);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    mmcss_record record;
    record.thread_id = current_thread()->id;
    record.task_name = TaskName;
    record.task_index = *TaskIndex != 0 ? *TaskIndex : (DWORD)g_records.size() + 1;
    record.priority = AVRT_PRIORITY_NORMAL;
    *TaskIndex = record.task_index;
    g_records.push_back(record);
    thread *self = current_thread();
    self->priority_before_mmcss = self->priority;
    set_task_priority(self, AVRT_PRIORITY_NORMAL);
    return (HANDLE)(ULONG_PTR)g_records.size();
}

BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority)
{
    std::lock_guard<std::mutex> guard(g_lock);
    mmcss_record *record = record_of(AvrtHandle);
    if (record == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Priority < AVRT_PRIORITY_VERYLOW || Priority > AVRT_PRIORITY_CRITICAL) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    record->priority = Priority;
    set_task_priority(current_thread(), Priority);
    return TRUE;
}

BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    mmcss_record *record = record_of(AvrtHandle);
    if (record == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    record->reverted = true;
    thread *self = current_thread();
    self->priority = self->priority_before_mmcss;
    thread_apply_priority(self);
    return TRUE;
}
