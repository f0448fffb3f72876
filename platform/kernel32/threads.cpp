// Win32 threads and the process calls that act on the caller: CreateThread with its start
// gate, suspend counts, ending threads and processes, exit codes and priorities.
#include "kernel32_private.h"
#include "../ntoskrnl/dispatcher_lock.h"
#include <atomic>
#include <memory>

namespace platform {
namespace {

bool has_ended(thread *t)
{
    return dispatcher_read_state(&t->header) != 0;
}

// Kernel priority of a thread of a normal-priority process for a THREAD_PRIORITY_* value.
bool kernel_priority_of(int priority, KPRIORITY *kernel)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
        *kernel = 1;
        return true;
    case THREAD_PRIORITY_TIME_CRITICAL:
        *kernel = 15;
        return true;
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
        *kernel = 8 + priority;
        return true;
    default:
        return false;
    }
}

int win32_priority_of(KPRIORITY kernel)
{
    if (kernel <= 1) {
        return THREAD_PRIORITY_IDLE;
    }
    if (kernel >= 15) {
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return (int)kernel - 8;
}

win32_thread *reference_thread(HANDLE handle)
{
    auto *object = static_cast<win32_thread *>(win32_handle_reference(handle, win32_object_type::thread));
    if (object == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
    }
    return object;
}

win32_process *reference_process(HANDLE handle)
{
    auto *object = static_cast<win32_process *>(win32_handle_reference(handle, win32_object_type::process));
    if (object == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
    }
    return object;
}

// The start routine of every kernel32 thread: wait for the gate (CREATE_SUSPENDED), run.
void run_thread(win32_thread *state, const std::function<DWORD()> &start)
{
    struct release_state {
        win32_thread *state;
        ~release_state()
        {
            current_thread()->win32 = nullptr;
            win32_object_dereference(state);
        }
    } release{state};
    current_thread()->win32 = state;
    DISPATCHER_HEADER *gate = &state->start_gate;
    win32_wait(1, &gate, false, INFINITE, false);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->started = true;
    }
    current_thread()->exit_code = start();
}

} // namespace

win32_thread::win32_thread(thread *thread_object) : win32_object(win32_object_type::thread), t(thread_object)
{
    dispatcher_init(&start_gate, notification_event, 1);
    dispatcher_init(&kill_request, notification_event, 0);
    if (t != nullptr) {
        thread_reference(t);
    }
}

win32_thread::~win32_thread()
{
    if (t != nullptr) {
        thread_dereference(t);
    }
}

win32_process::win32_process(process *target) : win32_object(win32_object_type::process), p(target)
{
    process_reference(p);
}

win32_process::~win32_process()
{
    process_dereference(p);
}

win32_thread *win32_current_thread()
{
    return static_cast<win32_thread *>(current_thread()->win32);
}

win32_thread *win32_create_thread(process *p, std::function<DWORD()> start, bool suspended)
{
    auto *state = new win32_thread(nullptr);
    // The gate stays shut until the thread object is known, and until ResumeThread when the
    // thread is created suspended.
    dispatcher_reset_event(&state->start_gate);
    state->suspend_count = suspended ? 1 : 0;
    win32_object_reference(state); // the running thread's reference
    // A thread whose process ends before it runs never enters run_thread; the running reference
    // is then dropped with the start routine (also when no thread could be started).
    auto entered = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<void> unentered(nullptr, [state, entered](void *) {
        if (!entered->load()) {
            win32_object_dereference(state);
        }
    });
    thread *t = process_start_thread(p, [state, start = std::move(start), entered, unentered]() {
        entered->store(true);
        run_thread(state, start);
    });
    unentered.reset();
    if (t == nullptr) {
        win32_object_dereference(state);
        return nullptr;
    }
    state->t = t; // takes the reference process_start_thread returned
    if (!suspended) {
        dispatcher_set_event(&state->start_gate);
    }
    return state;
}

void win32_abandon_mutants(thread *t)
{
    std::lock_guard<std::mutex> guard(dispatcher_lock());
    for (DISPATCHER_HEADER *m : t->owned_mutants) {
        m->OwnerThread = nullptr;
        m->RecursionCount = 0;
        m->Abandoned = 1;
        m->SignalState = 1;
    }
    t->owned_mutants.clear();
    dispatcher_wake_all_locked();
}

} // namespace platform

using namespace platform;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId)
{
    UNREFERENCED_PARAMETER(lpThreadAttributes);
    UNREFERENCED_PARAMETER(dwStackSize);
    if (lpStartAddress == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    process *owner = process_current();
    win32_thread *state = win32_create_thread(
        owner, [lpStartAddress, lpParameter]() { return lpStartAddress(lpParameter); },
        (dwCreationFlags & CREATE_SUSPENDED) != 0);
    if (state == nullptr) {
        win32_set_last_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HANDLE handle = win32_handle_insert(owner, state);
    const DWORD id = state->t->id;
    win32_object_dereference(state);
    if (handle == nullptr) {
        win32_set_last_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (lpThreadId != nullptr) {
        *lpThreadId = id;
    }
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread)
{
    win32_thread *target = reference_thread(hThread);
    if (target == nullptr) {
        return (DWORD)-1;
    }
    DWORD previous = 0;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        previous = target->suspend_count;
        if (target->suspend_count > 0) {
            target->suspend_count -= 1;
            if (target->suspend_count == 0) {
                dispatcher_set_event(&target->start_gate);
            }
        }
    }
    win32_object_dereference(target);
    return previous;
}

DWORD WINAPI SuspendThread(HANDLE hThread)
{
    // A thread that already runs cannot be stopped from outside here; its count is kept so
    // that ResumeThread answers as on Windows.
    win32_thread *target = reference_thread(hThread);
    if (target == nullptr) {
        return (DWORD)-1;
    }
    DWORD previous = 0;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        previous = target->suspend_count;
        target->suspend_count += 1;
        if (!target->started) {
            dispatcher_reset_event(&target->start_gate);
        }
    }
    win32_object_dereference(target);
    return previous;
}

VOID WINAPI ExitThread(DWORD dwExitCode)
{
    thread_exit_current(dwExitCode);
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode)
{
    win32_thread *target = reference_thread(hThread);
    if (target == nullptr) {
        return FALSE;
    }
    if (target->t == current_thread()) {
        win32_object_dereference(target);
        thread_exit_current(dwExitCode);
    }
    BOOL result = TRUE;
    if (target->t == nullptr || target->t->owner_process == nullptr) {
        // Not a thread this module started: it cannot be made to end.
        win32_set_last_error(ERROR_ACCESS_DENIED);
        result = FALSE;
    } else if (!has_ended(target->t)) {
        // The thread unwinds at its next platform wait (at once when it never ran); what it
        // owns is released now, as when Windows ends a thread.
        target->kill_code.store(dwExitCode);
        dispatcher_set_event(&target->kill_request);
        win32_abandon_mutants(target->t);
    }
    win32_object_dereference(target);
    return result;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    win32_thread *target = reference_thread(hThread);
    if (target == nullptr) {
        return FALSE;
    }
    if (lpExitCode != nullptr) {
        *lpExitCode = has_ended(target->t) ? target->t->exit_code : (DWORD)STILL_ACTIVE;
    }
    win32_object_dereference(target);
    return TRUE;
}

HANDLE WINAPI GetCurrentThread()
{
    return (HANDLE)(LONG_PTR)-2;
}

DWORD WINAPI GetCurrentThreadId()
{
    return current_thread()->id;
}

DWORD WINAPI GetThreadId(HANDLE Thread)
{
    win32_thread *target = reference_thread(Thread);
    if (target == nullptr) {
        return 0;
    }
    const DWORD id = target->t->id;
    win32_object_dereference(target);
    return id;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    KPRIORITY kernel = 0;
    if (!kernel_priority_of(nPriority, &kernel)) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    win32_thread *target = reference_thread(hThread);
    if (target == nullptr) {
        return FALSE;
    }
    target->t->priority = kernel;
    thread_apply_priority(target->t);
    win32_object_dereference(target);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    win32_thread *target = reference_thread(hThread);
    if (target == nullptr) {
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    const int priority = win32_priority_of(target->t->priority);
    win32_object_dereference(target);
    return priority;
}

HANDLE WINAPI GetCurrentProcess()
{
    return (HANDLE)(LONG_PTR)-1;
}

DWORD WINAPI GetCurrentProcessId()
{
    return process_current()->id;
}

DWORD WINAPI GetProcessId(HANDLE Process)
{
    win32_process *target = reference_process(Process);
    if (target == nullptr) {
        return 0;
    }
    const DWORD id = target->p->id;
    win32_object_dereference(target);
    return id;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    win32_process *target = reference_process(hProcess);
    if (target == nullptr) {
        return FALSE;
    }
    process *p = target->p;
    win32_object_dereference(target);
    if (p == process_default()) {
        win32_set_last_error(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    process_terminate(p, uExitCode);
    if (current_thread()->owner_process == p) {
        thread_exit_current(uExitCode);
    }
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    win32_process *target = reference_process(hProcess);
    if (target == nullptr) {
        return FALSE;
    }
    if (lpExitCode != nullptr) {
        std::lock_guard<std::mutex> guard(target->p->lock);
        *lpExitCode = target->p->ended ? target->p->exit_code : (DWORD)STILL_ACTIVE;
    }
    win32_object_dereference(target);
    return TRUE;
}

VOID WINAPI ExitProcess(UINT uExitCode)
{
    process_terminate(process_current(), uExitCode);
    thread_exit_current(uExitCode);
}
