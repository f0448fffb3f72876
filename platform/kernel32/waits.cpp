// Waits on handles, alertable waits and user APCs, Sleep, critical sections and slim
// reader/writer locks. Every wait goes through the dispatcher, so kernel and Win32 waits share
// one clock; a slim lock, which has no object to wait on, spins.
#include "kernel32_private.h"
#include <platform/clock.h>
#include <vector>

namespace platform {
namespace {

// What made a killable wait end early, and with which exit code the thread unwinds.
bool kill_requested(DWORD *exit_code)
{
    win32_thread *self = win32_current_thread();
    if (self != nullptr && dispatcher_read_state(&self->kill_request) != 0) {
        *exit_code = self->kill_code.load();
        return true;
    }
    process *owner = current_thread()->owner_process;
    if (owner != nullptr && dispatcher_read_state(&owner->terminated) != 0) {
        std::lock_guard<std::mutex> guard(owner->lock);
        *exit_code = owner->exit_code;
        return true;
    }
    return false;
}

DWORD wait_result(NTSTATUS status)
{
    if (status == STATUS_TIMEOUT) {
        return WAIT_TIMEOUT;
    }
    if (status == STATUS_USER_APC) {
        return WAIT_IO_COMPLETION;
    }
    return (DWORD)status;
}

struct held_objects {
    std::vector<win32_object *> objects;
    ~held_objects()
    {
        for (win32_object *object : objects) {
            win32_object_dereference(object);
        }
    }
};

// The critical section's gate lives in its spare words: a synchronization event that is
// signalled while the section is free.
DISPATCHER_HEADER *gate_of(LPCRITICAL_SECTION section)
{
    static_assert(sizeof(section->Gate) >= sizeof(DISPATCHER_HEADER), "critical section gate storage");
    return reinterpret_cast<DISPATCHER_HEADER *>(section->Gate);
}

HANDLE current_thread_tag()
{
    return (HANDLE)(ULONG_PTR)current_thread()->id;
}

} // namespace

void win32_check_killed()
{
    DWORD exit_code = 0;
    if (kill_requested(&exit_code)) {
        thread_exit_current(exit_code);
    }
}

NTSTATUS win32_wait(ULONG count, DISPATCHER_HEADER *const *objects, bool wait_all, DWORD milliseconds,
                    bool alertable)
{
    win32_check_killed();
    std::vector<DISPATCHER_HEADER *> headers(objects, objects + count);
    ULONG extra = 0;
    // A wait for all cannot also wait for the end request; the system's waits for all are
    // short ones on its own objects, and the thread unwinds at its next wait.
    if (!wait_all) {
        win32_thread *self = win32_current_thread();
        if (self != nullptr) {
            headers.push_back(&self->kill_request);
            ++extra;
        }
        process *owner = current_thread()->owner_process;
        if (owner != nullptr) {
            headers.push_back(&owner->terminated);
            ++extra;
        }
    }
    LONGLONG deadline = 0;
    if (milliseconds != INFINITE) {
        deadline = clock_now() + (LONGLONG)milliseconds * ticks_per_ms;
    }
    const NTSTATUS status = dispatcher_wait((ULONG)headers.size(), headers.data(), wait_all,
                                            milliseconds == INFINITE ? nullptr : &deadline, alertable);
    if (extra > 0 && status >= (NTSTATUS)count && status < (NTSTATUS)(count + extra)) {
        win32_check_killed();
    }
    return status;
}

} // namespace platform

using namespace platform;

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                      BOOL bAlertable)
{
    // A thread of an ended process unwinds here too: its handles are closed by then, and a
    // wait that failed on them would never reach the check in win32_wait.
    win32_check_killed();
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    held_objects held;
    std::vector<DISPATCHER_HEADER *> headers;
    for (DWORD i = 0; i < nCount; ++i) {
        win32_object *object = win32_handle_reference(lpHandles[i]);
        if (object == nullptr) {
            win32_set_last_error(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        held.objects.push_back(object);
        DISPATCHER_HEADER *header = object->wait_header();
        if (header == nullptr) {
            win32_set_last_error(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        headers.push_back(header);
    }
    return wait_result(win32_wait(nCount, headers.data(), bWaitAll != FALSE, dwMilliseconds, bAlertable != FALSE));
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData)
{
    auto *target = static_cast<win32_thread *>(win32_handle_reference(hThread, win32_object_type::thread));
    if (target == nullptr || pfnAPC == nullptr) {
        if (target != nullptr) {
            win32_object_dereference(target);
        }
        win32_set_last_error(target == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    thread_queue_user_apc(target->t, [pfnAPC, dwData]() { pfnAPC(dwData); });
    win32_object_dereference(target);
    return 1;
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    const NTSTATUS status = win32_wait(0, nullptr, false, dwMilliseconds, bAlertable != FALSE);
    return status == STATUS_USER_APC ? WAIT_IO_COMPLETION : 0;
}

VOID WINAPI Sleep(DWORD dwMilliseconds)
{
    SleepEx(dwMilliseconds, FALSE);
}

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount)
{
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->SpinCount = dwSpinCount;
    dispatcher_init(gate_of(lpCriticalSection), synchronization_event, 1);
    return TRUE;
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    const HANDLE self = current_thread_tag();
    if (std::atomic_ref<HANDLE>(lpCriticalSection->OwningThread).load() == self) {
        lpCriticalSection->RecursionCount += 1;
        return;
    }
    DISPATCHER_HEADER *gate = gate_of(lpCriticalSection);
    win32_wait(1, &gate, false, INFINITE, false);
    std::atomic_ref<HANDLE>(lpCriticalSection->OwningThread).store(self);
    lpCriticalSection->RecursionCount = 1;
    lpCriticalSection->LockCount = 0;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    const HANDLE self = current_thread_tag();
    if (std::atomic_ref<HANDLE>(lpCriticalSection->OwningThread).load() == self) {
        lpCriticalSection->RecursionCount += 1;
        return TRUE;
    }
    DISPATCHER_HEADER *gate = gate_of(lpCriticalSection);
    const LONGLONG now = clock_now();
    if (dispatcher_wait(1, &gate, false, &now, false) != STATUS_WAIT_0) {
        return FALSE;
    }
    std::atomic_ref<HANDLE>(lpCriticalSection->OwningThread).store(self);
    lpCriticalSection->RecursionCount = 1;
    lpCriticalSection->LockCount = 0;
    return TRUE;
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (std::atomic_ref<HANDLE>(lpCriticalSection->OwningThread).load() != current_thread_tag()) {
        return;
    }
    lpCriticalSection->RecursionCount -= 1;
    if (lpCriticalSection->RecursionCount == 0) {
        lpCriticalSection->LockCount = -1;
        std::atomic_ref<HANDLE>(lpCriticalSection->OwningThread).store(nullptr);
        dispatcher_set_event(gate_of(lpCriticalSection));
    }
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    *lpCriticalSection = CRITICAL_SECTION{};
}

VOID WINAPI InitializeSRWLock(PSRWLOCK SRWLock)
{
    SRWLock->Ptr = nullptr;
}

BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock)
{
    PVOID expected = nullptr;
    return std::atomic_ref<PVOID>(SRWLock->Ptr).compare_exchange_strong(expected, current_thread_tag()) ? TRUE : FALSE;
}

VOID WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock)
{
    for (ULONG spins = 0; !TryAcquireSRWLockExclusive(SRWLock); ++spins) {
        thread_spin_wait(spins);
    }
}

VOID WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock)
{
    std::atomic_ref<PVOID>(SRWLock->Ptr).store(nullptr);
}
