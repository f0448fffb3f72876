// The machine's Win32 handle table, CloseHandle, DuplicateHandle and the last error.
#include "kernel32_private.h"
#include <platform/machine_state.h>
#include <map>
#include <vector>

namespace platform {
namespace {

struct handle_entry {
    process *owner;
    win32_object *object;
};

// Win32 handle values start high, away from the kernel's handle values, and are multiples of
// four as on Windows.
constexpr ULONG_PTR first_handle_value = 0x10000;

struct handle_table {
    std::mutex lock;
    std::map<ULONG_PTR, handle_entry> entries;
    ULONG_PTR next = first_handle_value;
};

handle_table &table()
{
    static handle_table instance;
    return instance;
}

const HANDLE current_process_pseudo = (HANDLE)(LONG_PTR)-1;
const HANDLE current_thread_pseudo = (HANDLE)(LONG_PTR)-2;

thread_local DWORD t_last_error = 0;

void close_entries(std::vector<win32_object *> &objects)
{
    for (win32_object *object : objects) {
        win32_object_dereference(object);
    }
}

void close_all_handles()
{
    std::vector<win32_object *> objects;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        for (auto &[value, entry] : table().entries) {
            objects.push_back(entry.object);
        }
        table().entries.clear();
        table().next = first_handle_value;
    }
    close_entries(objects);
}

machine_hooks g_hooks("kernel32.handles", close_all_handles, close_all_handles);

} // namespace

void win32_object_reference(win32_object *object)
{
    object->references.fetch_add(1);
}

void win32_object_dereference(win32_object *object)
{
    if (object->references.fetch_sub(1) == 1) {
        delete object;
    }
}

HANDLE win32_handle_insert(process *owner, win32_object *object)
{
    {
        std::lock_guard<std::mutex> guard(owner->lock);
        if (owner->ending) {
            return nullptr;
        }
    }
    win32_object_reference(object);
    std::lock_guard<std::mutex> guard(table().lock);
    const ULONG_PTR value = table().next;
    table().next += 4;
    table().entries.emplace(value, handle_entry{owner, object});
    return (HANDLE)value;
}

win32_object *win32_handle_reference(HANDLE handle)
{
    if (handle == current_thread_pseudo) {
        thread *self = current_thread();
        if (self->win32 == nullptr) {
            // A thread not created by CreateThread gets its Win32 state on first use; it is
            // released as the thread ends.
            auto *state = new win32_thread(self);
            self->win32 = state;
            self->exit_hooks.push_back([self, state]() {
                self->win32 = nullptr;
                win32_object_dereference(state);
            });
        }
        auto *state = static_cast<win32_thread *>(self->win32);
        win32_object_reference(state);
        return state;
    }
    if (handle == current_process_pseudo) {
        return new win32_process(process_current());
    }
    std::lock_guard<std::mutex> guard(table().lock);
    auto found = table().entries.find((ULONG_PTR)handle);
    if (found == table().entries.end()) {
        return nullptr;
    }
    win32_object_reference(found->second.object);
    return found->second.object;
}

win32_object *win32_handle_reference(HANDLE handle, win32_object_type type)
{
    win32_object *object = win32_handle_reference(handle);
    if (object != nullptr && object->type != type) {
        win32_object_dereference(object);
        return nullptr;
    }
    return object;
}

bool win32_handle_close(HANDLE handle)
{
    win32_object *object = nullptr;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        auto found = table().entries.find((ULONG_PTR)handle);
        if (found == table().entries.end()) {
            return false;
        }
        object = found->second.object;
        table().entries.erase(found);
    }
    win32_object_dereference(object);
    return true;
}

void win32_handle_close_all(process *owner)
{
    std::vector<win32_object *> objects;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        for (auto it = table().entries.begin(); it != table().entries.end();) {
            if (it->second.owner == owner) {
                objects.push_back(it->second.object);
                it = table().entries.erase(it);
            } else {
                ++it;
            }
        }
    }
    close_entries(objects);
}

ULONG win32_handle_count(process *owner)
{
    std::lock_guard<std::mutex> guard(table().lock);
    ULONG count = 0;
    for (auto &[value, entry] : table().entries) {
        count += entry.owner == owner ? 1 : 0;
    }
    return count;
}

void win32_set_last_error(DWORD error)
{
    t_last_error = error;
}

} // namespace platform

using namespace platform;

DWORD WINAPI GetLastError()
{
    return t_last_error;
}

VOID WINAPI SetLastError(DWORD dwErrCode)
{
    t_last_error = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (!win32_handle_close(hObject)) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(bInheritHandle);
    auto *source = static_cast<win32_process *>(win32_handle_reference(hSourceProcessHandle, win32_object_type::process));
    auto *target = static_cast<win32_process *>(win32_handle_reference(hTargetProcessHandle, win32_object_type::process));
    win32_object *object = win32_handle_reference(hSourceHandle);
    BOOL result = FALSE;
    DWORD error = ERROR_INVALID_HANDLE;
    if (source != nullptr && target != nullptr && object != nullptr) {
        HANDLE duplicate = win32_handle_insert(target->p, object);
        if (duplicate != nullptr) {
            if (lpTargetHandle != nullptr) {
                *lpTargetHandle = duplicate;
            }
            if ((dwOptions & DUPLICATE_CLOSE_SOURCE) != 0) {
                win32_handle_close(hSourceHandle);
            }
            result = TRUE;
        } else {
            error = ERROR_ACCESS_DENIED;
        }
    }
    for (win32_object *held : {static_cast<win32_object *>(source), static_cast<win32_object *>(target), object}) {
        if (held != nullptr) {
            win32_object_dereference(held);
        }
    }
    if (!result) {
        win32_set_last_error(error);
    }
    return result;
}
