// Shared internals of the kernel32 module: the Win32 objects behind handles, the killable
// wait every Win32 wait goes through, and the thread-local last error.
#pragma once
#include <windows.h>
#include <platform/process.h>
#include <platform/win32_handles.h>
#include <functional>
#include <mutex>
#include <string>

namespace platform {

// Events, mutexes and semaphores. A named object is listed in the machine's namespace while
// it lives, that is while any handle to it is open.
struct win32_sync_object : win32_object {
    explicit win32_sync_object(win32_object_type t) : win32_object(t) {}
    ~win32_sync_object() override;
    DISPATCHER_HEADER *wait_header() override { return &header; }

    DISPATCHER_HEADER header;
    std::wstring name; // namespace key; empty when unnamed
};

// A thread as seen through a handle. Threads created by CreateThread (and every thread of a
// program's process) have one as their thread::win32 state, which also holds the start gate
// of CREATE_SUSPENDED and the request to end that TerminateThread makes.
struct win32_thread : win32_object {
    explicit win32_thread(thread *t);
    ~win32_thread() override;
    DISPATCHER_HEADER *wait_header() override { return &t->header; }

    thread *t;                      // referenced; set once at creation
    DISPATCHER_HEADER start_gate;   // notification event: set once the thread may run
    DISPATCHER_HEADER kill_request; // notification event: set by TerminateThread
    std::atomic<DWORD> kill_code{0};
    std::mutex lock;
    DWORD suspend_count = 0; // guarded by lock
    bool started = false;    // guarded by lock: the start routine was entered
};

struct win32_process : win32_object {
    explicit win32_process(process *p);
    ~win32_process() override;
    DISPATCHER_HEADER *wait_header() override { return &p->header; }

    process *const p; // referenced
};

// The calling thread's Win32 state; null for threads not created through kernel32.
win32_thread *win32_current_thread();

void win32_set_last_error(DWORD error);

// The one wait of every Win32 wait: waits on objects like dispatcher_wait, and also on the
// calling thread's termination request and its process's end, in which case the thread
// unwinds (it never returns). Returns the dispatcher's status.
NTSTATUS win32_wait(ULONG count, DISPATCHER_HEADER *const *objects, bool wait_all, DWORD milliseconds,
                    bool alertable);

// Starts start on a new thread of p, gated as CreateThread does: a suspended thread waits for
// ResumeThread. Returns its state referenced for the caller, or null when p is ending.
win32_thread *win32_create_thread(process *p, std::function<DWORD()> start, bool suspended);

// Releases every mutex t owns as abandoned, as the end of t would.
void win32_abandon_mutants(thread *t);

// Unwinds the calling thread if it has been told to end.
void win32_check_killed();

// The Win32 error for an NTSTATUS, as the I/O calls report it.
DWORD win32_error_from_status(NTSTATUS status);

} // namespace platform
