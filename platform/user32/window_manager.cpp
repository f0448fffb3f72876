// The window manager's state, its reset at machine boot and shutdown, the per-thread message
// queues and the clean-up when a thread or a whole process ends.
#include "window_manager.h"
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <platform/process.h>
#include <cwctype>

namespace platform::user32 {
namespace {

void fail_pending_sends_locked(message_queue &q)
{
    for (auto &record : q.sent) {
        record->state = sent_message::phase::done;
        record->result = 0;
        dispatcher_set_event(&record->done_event);
    }
    q.sent.clear();
}

// Drops every window of the threads that pred selects, and their queues. No message is sent:
// the threads are gone or going.
template <typename Pred>
void drop_queues(Pred pred)
{
    window_manager &m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    for (auto it = m.windows.begin(); it != m.windows.end();) {
        if (pred(*it->second->queue)) {
            forget_window_locked(*it->second);
            it = m.windows.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = m.queues.begin(); it != m.queues.end();) {
        if (pred(*it->second)) {
            fail_pending_sends_locked(*it->second);
            it = m.queues.erase(it);
        } else {
            ++it;
        }
    }
}

void thread_ended(thread *t)
{
    drop_queues([t](const message_queue &q) { return q.owner == t; });
}

void process_ended(process *p)
{
    drop_queues([p](const message_queue &q) { return q.owner_process == p; });
}

void reset_state()
{
    stop_device_notifications();
    window_manager &m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    for (auto &entry : m.queues) {
        fail_pending_sends_locked(*entry.second);
    }
    m.windows.clear();
    m.classes.clear();
    m.queues.clear();
    m.atoms.clear();
    m.notifications.clear();
    m.foreground = nullptr;
    m.next_atom = 0xC000;
}

machine_hooks g_hooks("user32", reset_state, reset_state);
process_end_hook g_process_end("user32", process_ended);

} // namespace

window_manager &manager()
{
    static window_manager instance;
    return instance;
}

std::shared_ptr<window> find_window(HWND hwnd)
{
    auto &windows = manager().windows;
    auto it = windows.find((ULONG_PTR)hwnd);
    return it == windows.end() ? nullptr : it->second;
}

std::shared_ptr<message_queue> queue_of_thread(thread *t)
{
    auto &queues = manager().queues;
    auto it = queues.find(t);
    return it == queues.end() ? nullptr : it->second;
}

std::shared_ptr<message_queue> current_queue()
{
    thread *self = current_thread();
    window_manager &m = manager();
    {
        std::lock_guard<std::mutex> guard(m.lock);
        if (auto q = queue_of_thread(self)) {
            return q;
        }
    }
    auto q = std::make_shared<message_queue>();
    q->owner = self;
    q->thread_id = self->id;
    q->owner_process = process_current();
    dispatcher_init(&q->wake, synchronization_event, 0);
    {
        std::lock_guard<std::mutex> guard(m.lock);
        m.queues[self] = q;
    }
    // The thread's windows and queue go with it; the hook runs on this thread as it ends.
    self->exit_hooks.push_back([self]() { thread_ended(self); });
    return q;
}

process *current_process()
{
    return process_current();
}

bool same_process(const window &w)
{
    return w.queue->owner_process == process_current();
}

bool is_top_level(const window &w)
{
    return !w.message_only && (w.style & WS_CHILD) == 0;
}

std::wstring lower(const std::wstring &text)
{
    std::wstring result(text);
    for (auto &c : result) {
        c = (WCHAR)std::towlower((wint_t)c);
    }
    return result;
}

bool equal_no_case(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() && lower(a) == lower(b);
}

std::wstring text_or_empty(LPCWSTR text)
{
    return text == nullptr ? std::wstring() : std::wstring(text);
}

DWORD tick_count()
{
    return (DWORD)(clock_now() / ticks_per_ms);
}

void set_error(DWORD code)
{
    SetLastError(code);
}

NTSTATUS wait_for_any(ULONG count, DISPATCHER_HEADER *const *objects, const LONGLONG *deadline, bool *killed)
{
    process *owner = current_thread()->owner_process;
    std::vector<DISPATCHER_HEADER *> headers(objects, objects + count);
    if (owner != nullptr) {
        headers.push_back(&owner->terminated);
    }
    const NTSTATUS status = dispatcher_wait((ULONG)headers.size(), headers.data(), false, deadline, false);
    *killed = owner != nullptr && process_current_thread_killed();
    return status;
}

void unwind_killed_thread()
{
    thread_exit_current(process_current()->exit_code);
}

void wake(message_queue &q)
{
    dispatcher_set_event(&q.wake);
}

void forget_window_locked(window &w)
{
    window_manager &m = manager();
    message_queue &q = *w.queue;
    std::erase_if(q.timers, [&](const timer &t) { return t.hwnd == w.handle; });
    std::erase_if(q.posted, [&](const MSG &msg) { return msg.hwnd == w.handle; });
    std::erase_if(m.notifications, [&](const device_notification &n) { return n.recipient == w.handle; });
    if (m.foreground == w.handle) {
        m.foreground = nullptr;
    }
    if (w.cls != nullptr && w.cls->window_count > 0) {
        w.cls->window_count -= 1;
    }
    w.destroying = true;
    wake(q);
}

LRESULT call_window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        if (auto w = find_window(hwnd)) {
            proc = w->proc;
        }
    }
    return proc == nullptr ? 0 : proc(hwnd, msg, wparam, lparam);
}

void handle_sent_messages(const std::shared_ptr<message_queue> &q)
{
    window_manager &m = manager();
    for (;;) {
        std::shared_ptr<sent_message> record;
        {
            std::lock_guard<std::mutex> guard(m.lock);
            if (q->sent.empty()) {
                return;
            }
            record = q->sent.front();
            q->sent.pop_front();
            record->state = sent_message::phase::running;
            q->handling_sent += 1;
        }
        const LRESULT result = call_window_proc(record->hwnd, record->msg, record->wparam, record->lparam);
        {
            std::lock_guard<std::mutex> guard(m.lock);
            q->handling_sent -= 1;
            record->result = result;
            record->state = sent_message::phase::done;
        }
        dispatcher_set_event(&record->done_event);
    }
}

bool send_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, const LONGLONG *timeout, LRESULT *result)
{
    window_manager &m = manager();
    std::shared_ptr<message_queue> target;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        auto w = find_window(hwnd);
        if (w == nullptr) {
            return false;
        }
        target = w->queue;
    }
    if (target->owner == current_thread()) {
        *result = call_window_proc(hwnd, msg, wparam, lparam);
        return true;
    }

    auto self = current_queue();
    auto record = std::make_shared<sent_message>();
    record->hwnd = hwnd;
    record->msg = msg;
    record->wparam = wparam;
    record->lparam = lparam;
    dispatcher_init(&record->done_event, notification_event, 0);
    {
        std::lock_guard<std::mutex> guard(m.lock);
        if (queue_of_thread(target->owner) != target) {
            return false; // the window's thread ended meanwhile
        }
        target->sent.push_back(record);
    }
    wake(*target);

    const LONGLONG deadline = timeout == nullptr ? 0 : clock_now() + *timeout;
    bool limited = timeout != nullptr;
    for (;;) {
        DISPATCHER_HEADER *objects[2] = {&record->done_event, &self->wake};
        bool killed = false;
        const NTSTATUS status = wait_for_any(2, objects, limited ? &deadline : nullptr, &killed);
        if (killed) {
            // The message's arguments live on this thread's stack: withdraw it, or let the
            // receiver finish with it, before the thread unwinds.
            bool withdrawn;
            {
                std::lock_guard<std::mutex> guard(m.lock);
                withdrawn = record->state == sent_message::phase::queued;
                if (withdrawn) {
                    std::erase(target->sent, record);
                }
            }
            if (!withdrawn) {
                DISPATCHER_HEADER *done[1] = {&record->done_event};
                dispatcher_wait(1, done, false, nullptr, false);
            }
            unwind_killed_thread();
        }
        if (status == STATUS_WAIT_0) {
            break;
        }
        if (status == STATUS_WAIT_0 + 1) {
            handle_sent_messages(self);
            continue;
        }
        // Timed out: withdraw the message unless the target already runs it, in which case its
        // arguments must stay valid until it returns.
        std::lock_guard<std::mutex> guard(m.lock);
        if (record->state == sent_message::phase::queued) {
            std::erase(target->sent, record);
            return false;
        }
        limited = false;
    }
    *result = record->result;
    return true;
}

} // namespace platform::user32
