// Events, mutexes and semaphores, unnamed or named in the machine's namespace, and the
// security descriptors their creators pass.
#include "kernel32_private.h"
#include "../ntoskrnl/dispatcher_lock.h"
#include <platform/machine_state.h>
#include <algorithm>
#include <map>

namespace platform {
namespace {

// The namespace maps a key to the living object of that name. "Global\" names live in the
// global namespace; "Local\" and bare names in the session's, which every simulated process
// shares. Names are case-sensitive.
std::mutex g_names_lock;
std::map<std::wstring, win32_sync_object *> g_names;

std::wstring namespace_key(const WCHAR *name)
{
    static constexpr WCHAR global_prefix[] = L"Global\\";
    static constexpr WCHAR local_prefix[] = L"Local\\";
    const std::wstring text(name);
    if (text.rfind(global_prefix, 0) == 0) {
        return L"G:" + text.substr(RTL_NUMBER_OF(global_prefix) - 1);
    }
    if (text.rfind(local_prefix, 0) == 0) {
        return L"L:" + text.substr(RTL_NUMBER_OF(local_prefix) - 1);
    }
    return L"L:" + text;
}

// Takes a reference to object unless it is already being destroyed.
bool try_reference(win32_object *object)
{
    LONG count = object->references.load();
    while (count > 0) {
        if (object->references.compare_exchange_weak(count, count + 1)) {
            return true;
        }
    }
    return false;
}

// A referenced living object of that key, or null.
win32_sync_object *lookup_locked(const std::wstring &key)
{
    auto found = g_names.find(key);
    if (found == g_names.end() || !try_reference(found->second)) {
        return nullptr;
    }
    return found->second;
}

struct create_request {
    win32_object_type type;
    dispatcher_type kind;
    LONG signal_state;
    LONG limit;
    bool owned;
};

bool name_is_valid(const WCHAR *name)
{
    return name == nullptr || std::wcschr(name, L'\\') == nullptr ||
           std::wcsncmp(name, L"Global\\", 7) == 0 || std::wcsncmp(name, L"Local\\", 6) == 0;
}

void take_initial_ownership(win32_sync_object *object)
{
    std::lock_guard<std::mutex> guard(dispatcher_lock());
    thread *self = current_thread();
    object->header.OwnerThread = self;
    object->header.RecursionCount = 1;
    object->header.SignalState = 0;
    self->owned_mutants.push_back(&object->header);
}

// CreateEventW/CreateMutexW/CreateSemaphoreW. An existing object of that name is opened
// (ERROR_ALREADY_EXISTS, initial state and ownership ignored); one of another type fails
// with ERROR_INVALID_HANDLE.
HANDLE create_sync_object(const create_request &request, const WCHAR *name)
{
    if (!name_is_valid(name)) {
        win32_set_last_error(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    win32_sync_object *object = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (name != nullptr && name[0] != L'\0') {
        const std::wstring key = namespace_key(name);
        std::lock_guard<std::mutex> guard(g_names_lock);
        object = lookup_locked(key);
        if (object != nullptr) {
            if (object->type != request.type) {
                win32_object_dereference(object);
                win32_set_last_error(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            error = ERROR_ALREADY_EXISTS;
        } else {
            object = new win32_sync_object(request.type);
            dispatcher_init(&object->header, request.kind, request.signal_state, request.limit);
            object->name = key;
            g_names[key] = object;
            if (request.owned) {
                take_initial_ownership(object);
            }
        }
    } else {
        object = new win32_sync_object(request.type);
        dispatcher_init(&object->header, request.kind, request.signal_state, request.limit);
        if (request.owned) {
            take_initial_ownership(object);
        }
    }
    HANDLE handle = win32_handle_insert(process_current(), object);
    win32_object_dereference(object);
    if (handle == nullptr) {
        win32_set_last_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    win32_set_last_error(error);
    return handle;
}

HANDLE open_sync_object(win32_object_type type, const WCHAR *name)
{
    if (name == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    win32_sync_object *object = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_names_lock);
        object = lookup_locked(namespace_key(name));
    }
    if (object == nullptr) {
        win32_set_last_error(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (object->type != type) {
        win32_object_dereference(object);
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HANDLE handle = win32_handle_insert(process_current(), object);
    win32_object_dereference(object);
    if (handle == nullptr) {
        win32_set_last_error(ERROR_ACCESS_DENIED);
    }
    return handle;
}

// Runs action on the object behind handle if it has type; FALSE + ERROR_INVALID_HANDLE else.
template <typename Action>
BOOL with_object(HANDLE handle, win32_object_type type, Action action)
{
    win32_object *object = win32_handle_reference(handle, type);
    if (object == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL result = action(static_cast<win32_sync_object *>(object));
    win32_object_dereference(object);
    return result;
}

void forget_all_names()
{
    std::lock_guard<std::mutex> guard(g_names_lock);
    for (auto &[key, object] : g_names) {
        object->name.clear();
    }
    g_names.clear();
}

machine_hooks g_hooks("kernel32.names", forget_all_names, forget_all_names);

} // namespace

win32_sync_object::~win32_sync_object()
{
    if (!name.empty()) {
        std::lock_guard<std::mutex> guard(g_names_lock);
        auto found = g_names.find(name);
        if (found != g_names.end() && found->second == this) {
            g_names.erase(found);
        }
    }
    if (header.Type == mutant) {
        // A mutex whose last handle closes while a thread still owns it leaves that thread's
        // list of owned mutants, so that the thread's end does not touch freed memory.
        std::lock_guard<std::mutex> guard(dispatcher_lock());
        if (header.OwnerThread != nullptr) {
            auto &owned = header.OwnerThread->owned_mutants;
            owned.erase(std::remove(owned.begin(), owned.end(), &header), owned.end());
        }
    }
}

} // namespace platform

using namespace platform;

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor) = SECURITY_DESCRIPTOR{};
    static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted)
{
    auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    descriptor->Dacl = bDaclPresent ? pDacl : nullptr;
    descriptor->Control = (WORD)((descriptor->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED)) |
                                 (bDaclPresent ? SE_DACL_PRESENT : 0) | (bDaclDefaulted ? SE_DACL_DEFAULTED : 0));
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(lpEventAttributes);
    const create_request request{win32_object_type::event, bManualReset ? notification_event : synchronization_event,
                                 bInitialState ? 1 : 0, 0, false};
    return create_sync_object(request, lpName);
}

HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(bInheritHandle);
    return open_sync_object(win32_object_type::event, lpName);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return with_object(hEvent, win32_object_type::event, [](win32_sync_object *event) {
        dispatcher_set_event(&event->header);
        return TRUE;
    });
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return with_object(hEvent, win32_object_type::event, [](win32_sync_object *event) {
        dispatcher_reset_event(&event->header);
        return TRUE;
    });
}

BOOL WINAPI PulseEvent(HANDLE hEvent)
{
    return with_object(hEvent, win32_object_type::event, [](win32_sync_object *event) {
        dispatcher_pulse_event(&event->header);
        return TRUE;
    });
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(lpMutexAttributes);
    const create_request request{win32_object_type::mutex, mutant, 1, 0, bInitialOwner != FALSE};
    return create_sync_object(request, lpName);
}

HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(bInheritHandle);
    return open_sync_object(win32_object_type::mutex, lpName);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    return with_object(hMutex, win32_object_type::mutex, [](win32_sync_object *mutex) {
        if (dispatcher_release_mutant(&mutex->header, nullptr) != STATUS_SUCCESS) {
            win32_set_last_error(ERROR_NOT_OWNER);
            return FALSE;
        }
        return TRUE;
    });
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                               LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(lpSemaphoreAttributes);
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const create_request request{win32_object_type::semaphore, semaphore, lInitialCount, lMaximumCount, false};
    return create_sync_object(request, lpName);
}

HANDLE WINAPI OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(bInheritHandle);
    return open_sync_object(win32_object_type::semaphore, lpName);
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount)
{
    return with_object(hSemaphore, win32_object_type::semaphore, [&](win32_sync_object *semaphore) {
        if (lReleaseCount <= 0) {
            win32_set_last_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        LONG previous = 0;
        if (dispatcher_release_semaphore(&semaphore->header, lReleaseCount, &previous) != STATUS_SUCCESS) {
            win32_set_last_error(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (lpPreviousCount != nullptr) {
            *lpPreviousCount = previous;
        }
        return TRUE;
    });
}
