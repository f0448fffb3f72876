// Simulated processes of the machine. Each program or host runs as one: its threads carry it
// as their owner_process, its handles live in its own table, and ending it abruptly ends its
// threads, abandons the mutexes they own, closes every handle it held and runs the end hooks
// of the other platform modules (registry keys, windows).
#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include <platform/thread.h>

namespace platform {

struct process {
    DISPATCHER_HEADER header;     // signalled when the process has ended
    DISPATCHER_HEADER terminated; // notification event, set when the process is told to end
    std::atomic<LONG> references{1};
    ULONG id = 0;
    std::wstring image_name;   // e.g. L"ovmlsaudcp.exe"; empty for the default process
    std::wstring command_line;
    DWORD exit_code = 259;     // STILL_ACTIVE until the process ends
    bool ending = false;       // guarded by lock
    bool ended = false;        // guarded by lock
    void *main_module = nullptr; // the program's module (GetModuleHandleW(NULL)); null: the host
    std::mutex lock;
    std::vector<thread *> threads; // referenced; guarded by lock
};

// The process the calling thread belongs to: its owner_process, else the default process
// that threads not started by a program belong to (a test's main thread, system threads).
process *process_current();
process *process_default();

// A new running process with no threads yet. The caller holds one reference.
process *process_create(const std::wstring &image_name, const std::wstring &command_line);

// The living process with id, referenced for the caller; null when there is none.
process *process_find(ULONG id);

void process_reference(process *p);
void process_dereference(process *p);

// Starts body on a new thread of p (a user thread). Returns the thread with one reference for
// the caller, or null when p is ending. When p is ended while the thread runs, the thread's
// next platform wait unwinds it.
thread *process_start_thread(process *p, std::function<void()> body);

// Ends p abruptly (TerminateProcess): marks it ending, abandons the mutexes its threads own,
// makes their waits unwind, closes every handle it holds, runs the end hooks and signals it.
// Safe to call from one of p's own threads and more than once.
void process_terminate(process *p, DWORD exit_code);

// Waits until every thread of p has ended; false on timeout (milliseconds of machine time).
bool process_wait_threads(process *p, DWORD timeout_ms);

// True when the calling thread belongs to a process that is ending; its waits then unwind.
bool process_current_thread_killed();

// Registered by other platform modules (registry, windows): on_end runs once for each ending
// process, after its handles are closed.
struct process_end_hook {
    process_end_hook(const char *name, void (*on_end)(process *p));
};

} // namespace platform
