// Simulated processes: creation, their threads, and the abrupt end that closes everything a
// process held.
#include "kernel32_private.h"
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {
namespace {

std::atomic<ULONG> g_next_process_id{0x100};

struct end_hook {
    const char *name;
    void (*on_end)(process *p);
};

std::vector<end_hook> &end_hooks()
{
    static std::vector<end_hook> hooks;
    return hooks;
}

// Every process that exists, so that a machine boot or shutdown can end them. Never destroyed:
// a thread still ending as the program exits may drop the last reference to its process.
struct process_list {
    std::mutex lock;
    std::vector<process *> processes;
};

process_list &all_processes()
{
    static auto *list = new process_list();
    return *list;
}

process *new_process(const std::wstring &image_name, const std::wstring &command_line)
{
    auto *p = new process();
    dispatcher_init(&p->header, process_object, 0);
    dispatcher_init(&p->terminated, notification_event, 0);
    p->id = g_next_process_id.fetch_add(4);
    p->image_name = image_name;
    p->command_line = command_line;
    std::lock_guard<std::mutex> guard(all_processes().lock);
    all_processes().processes.push_back(p);
    return p;
}

// Drops the threads that have ended from p's list. Expects p->lock.
void prune_threads_locked(process *p)
{
    auto &threads = p->threads;
    auto ended = std::stable_partition(threads.begin(), threads.end(),
                                       [](thread *t) { return dispatcher_read_state(&t->header) == 0; });
    for (auto it = ended; it != threads.end(); ++it) {
        thread_dereference(*it);
    }
    threads.erase(ended, threads.end());
}

void end_all_processes()
{
    std::vector<process *> living;
    {
        std::lock_guard<std::mutex> guard(all_processes().lock);
        for (process *p : all_processes().processes) {
            if (p != process_default() && p->references.load() > 0) {
                process_reference(p);
                living.push_back(p);
            }
        }
    }
    for (process *p : living) {
        process_terminate(p, 0);
    }
    // A thread that has seen its process end still unwinds (and drops its reference to the
    // process) after the process is signalled; the machine is down only once those threads are
    // gone, so that none of them runs into the next boot or into the program's exit. The wait
    // is in real time, as a test may have left the clock manual; a thread that does not reach a
    // wait within it is left to end on its own.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (process *p : living) {
        std::vector<thread *> threads;
        {
            std::lock_guard<std::mutex> guard(p->lock);
            for (thread *t : p->threads) {
                thread_reference(t);
                threads.push_back(t);
            }
        }
        for (thread *t : threads) {
            while (dispatcher_read_state(&t->header) == 0 && std::chrono::steady_clock::now() < limit) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            thread_dereference(t);
        }
        process_dereference(p);
    }
}

machine_hooks g_hooks("kernel32.processes", end_all_processes, end_all_processes);

} // namespace

process_end_hook::process_end_hook(const char *name, void (*on_end)(process *p))
{
    end_hooks().push_back(end_hook{name, on_end});
}

process *process_default()
{
    static process *instance = [] {
        process *p = new_process(L"", L"");
        return p;
    }();
    return instance;
}

process *process_current()
{
    process *owner = current_thread()->owner_process;
    return owner != nullptr ? owner : process_default();
}

process *process_create(const std::wstring &image_name, const std::wstring &command_line)
{
    return new_process(image_name, command_line);
}

process *process_find(ULONG id)
{
    std::lock_guard<std::mutex> guard(all_processes().lock);
    for (process *p : all_processes().processes) {
        if (p->id != id) {
            continue;
        }
        // A process whose last reference is going is no longer found.
        LONG references = p->references.load();
        while (references > 0 && !p->references.compare_exchange_weak(references, references + 1)) {
        }
        return references > 0 ? p : nullptr;
    }
    return nullptr;
}

void process_reference(process *p)
{
    p->references.fetch_add(1);
}

void process_dereference(process *p)
{
    if (p->references.fetch_sub(1) != 1) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(all_processes().lock);
        std::erase(all_processes().processes, p);
    }
    for (thread *t : p->threads) {
        thread_dereference(t);
    }
    delete p;
}

thread *process_start_thread(process *p, std::function<void()> body)
{
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->ending) {
        return nullptr;
    }
    prune_threads_locked(p);
    process_reference(p); // held by the running thread
    thread *t = thread_start(
        [p, body = std::move(body)]() {
            struct release_process {
                process *p;
                ~release_process() { process_dereference(p); }
            } release{p};
            if (dispatcher_read_state(&p->terminated) == 0) {
                body();
            }
        },
        p, false);
    thread_reference(t);
    p->threads.push_back(t);
    return t;
}

void process_terminate(process *p, DWORD exit_code)
{
    if (p == process_default()) {
        return;
    }
    std::vector<thread *> threads;
    {
        std::lock_guard<std::mutex> guard(p->lock);
        if (p->ending) {
            return;
        }
        p->ending = true;
        p->exit_code = exit_code;
        threads = p->threads;
    }
    dispatcher_set_event(&p->terminated);
    // What its threads own is released now, even while one has yet to reach a wait and unwind.
    for (thread *t : threads) {
        win32_abandon_mutants(t);
    }
    win32_handle_close_all(p);
    for (const end_hook &hook : end_hooks()) {
        hook.on_end(p);
    }
    {
        std::lock_guard<std::mutex> guard(p->lock);
        p->ended = true;
    }
    dispatcher_signal(&p->header);
}

bool process_wait_threads(process *p, DWORD timeout_ms)
{
    std::vector<thread *> threads;
    {
        std::lock_guard<std::mutex> guard(p->lock);
        for (thread *t : p->threads) {
            thread_reference(t);
            threads.push_back(t);
        }
    }
    const LONGLONG deadline = clock_now() + (LONGLONG)timeout_ms * ticks_per_ms;
    std::vector<DISPATCHER_HEADER *> headers;
    for (thread *t : threads) {
        headers.push_back(&t->header);
    }
    const NTSTATUS status = headers.empty()
                                ? STATUS_SUCCESS
                                : dispatcher_wait((ULONG)headers.size(), headers.data(), true, &deadline, false);
    for (thread *t : threads) {
        thread_dereference(t);
    }
    return status == STATUS_WAIT_0;
}

bool process_current_thread_killed()
{
    process *owner = current_thread()->owner_process;
    return owner != nullptr && dispatcher_read_state(&owner->terminated) != 0;
}

} // namespace platform
