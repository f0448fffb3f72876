// Message retrieval and delivery: posted and thread messages, WM_QUIT, messages sent across
// threads (run while the receiver retrieves messages), and WM_TIMER made from the queue's due
// timers. Waits follow the machine clock.
#include "window_manager.h"
#include <platform/clock.h>
#include <algorithm>

using namespace platform;
using namespace platform::user32;

namespace {

#ifndef ERROR_NOT_ENOUGH_QUOTA
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#endif

constexpr size_t posted_limit = 10000; // a queue's posted-message quota, as on Windows

#define THREAD_MESSAGES_ONLY ((HWND)(LONG_PTR)-1)

bool matches(const MSG &msg, HWND filter, UINT min, UINT max)
{
    if (filter == THREAD_MESSAGES_ONLY) {
        if (msg.hwnd != nullptr) {
            return false;
        }
    } else if (filter != nullptr && msg.hwnd != filter) {
        return false;
    }
    return (min == 0 && max == 0) || (msg.message >= min && msg.message <= max);
}

bool range_includes(UINT message, UINT min, UINT max)
{
    return (min == 0 && max == 0) || (message >= min && message <= max);
}

// Looks for a message in q without waiting: posted messages first, then WM_QUIT, then timers.
// Expects the lock.
bool take_locked(message_queue &q, MSG *out, HWND filter, UINT min, UINT max, bool remove)
{
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (matches(*it, filter, min, max)) {
            *out = *it;
            if (remove) {
                q.posted.erase(it);
            }
            return true;
        }
    }
    if (q.quit && range_includes(WM_QUIT, min, max)) {
        *out = MSG{nullptr, WM_QUIT, (WPARAM)q.quit_code, 0, tick_count(), {0, 0}};
        if (remove) {
            q.quit = false;
        }
        return true;
    }
    const LONGLONG now = clock_now();
    for (auto &t : q.timers) {
        MSG msg{t.hwnd, WM_TIMER, t.id, (LPARAM)t.proc, tick_count(), {0, 0}};
        if (t.due <= now && matches(msg, filter, min, max)) {
            *out = msg;
            if (remove) {
                t.due = now + t.period;
            }
            return true;
        }
    }
    return false;
}

LONGLONG next_timer_due_locked(const message_queue &q)
{
    LONGLONG due = MAXLONGLONG;
    for (const auto &t : q.timers) {
        due = std::min(due, t.due);
    }
    return due;
}

bool filter_valid(HWND filter)
{
    if (filter == nullptr || filter == THREAD_MESSAGES_ONLY) {
        return true;
    }
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(filter);
    return w != nullptr && w->queue->owner == current_thread();
}

bool peek(const std::shared_ptr<message_queue> &q, MSG *msg, HWND filter, UINT min, UINT max, bool remove)
{
    handle_sent_messages(q);
    std::lock_guard<std::mutex> guard(manager().lock);
    return take_locked(*q, msg, filter, min, max, remove);
}

// Sleeps until something arrives in q or its earliest timer falls due.
void wait_for_input(const std::shared_ptr<message_queue> &q)
{
    LONGLONG due;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        due = next_timer_due_locked(*q);
    }
    DISPATCHER_HEADER *objects[1] = {&q->wake};
    bool killed = false;
    wait_for_any(1, objects, due == MAXLONGLONG ? nullptr : &due, &killed);
    if (killed) {
        unwind_killed_thread();
    }
}

BOOL post_to_queue(const std::shared_ptr<message_queue> &q, HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        if (q->posted.size() >= posted_limit) {
            set_error(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        q->posted.push_back(MSG{hwnd, msg, wparam, lparam, tick_count(), {0, 0}});
    }
    wake(*q);
    return TRUE;
}

std::vector<HWND> top_level_handles()
{
    std::lock_guard<std::mutex> guard(manager().lock);
    std::vector<HWND> result;
    for (auto &entry : manager().windows) {
        if (is_top_level(*entry.second) && !entry.second->destroying) {
            result.push_back(entry.second->handle);
        }
    }
    return result;
}

} // namespace

extern "C" BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (lpMsg == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!filter_valid(hWnd)) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return peek(current_queue(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0);
}

// Returns 0 for WM_QUIT, -1 for a bad filter window, else non-zero.
extern "C" BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!filter_valid(hWnd)) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    auto q = current_queue();
    while (!peek(q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true)) {
        wait_for_input(q);
    }
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" BOOL WINAPI WaitMessage()
{
    auto q = current_queue();
    MSG msg;
    if (!peek(q, &msg, nullptr, 0, 0, false)) {
        wait_for_input(q);
    }
    return TRUE;
}

extern "C" BOOL WINAPI TranslateMessage(const MSG *lpMsg)
{
    // No keyboard exists, so there are no key messages to turn into characters.
    return FALSE;
}

extern "C" LRESULT WINAPI DispatchMessageW(const MSG *lpMsg)
{
    if (lpMsg == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
        // Only a procedure this thread's timer was set with is called; any other lParam of a
        // WM_TIMER (one posted by hand, say) is not a code address to jump to.
        bool registered = false;
        {
            std::lock_guard<std::mutex> guard(manager().lock);
            if (auto q = queue_of_thread(current_thread())) {
                registered = std::any_of(q->timers.begin(), q->timers.end(), [&](const timer &t) {
                    return t.hwnd == lpMsg->hwnd && t.id == lpMsg->wParam && (LPARAM)t.proc == lpMsg->lParam;
                });
            }
        }
        if (registered) {
            ((TIMERPROC)lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, tick_count());
            return 0;
        }
    }
    if (lpMsg->hwnd == nullptr) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        auto w = find_window(lpMsg->hwnd);
        if (w == nullptr) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->queue->owner != current_thread()) {
            set_error(ERROR_WINDOW_OF_OTHER_THREAD);
            return 0;
        }
    }
    return call_window_proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

extern "C" BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (hWnd == nullptr) {
        return post_to_queue(current_queue(), nullptr, Msg, wParam, lParam);
    }
    if (hWnd == HWND_BROADCAST) {
        for (HWND target : top_level_handles()) {
            PostMessageW(target, Msg, wParam, lParam);
        }
        return TRUE;
    }
    std::shared_ptr<message_queue> q;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        auto w = find_window(hWnd);
        if (w == nullptr) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q = w->queue;
    }
    return post_to_queue(q, hWnd, Msg, wParam, lParam);
}

extern "C" BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<message_queue> q;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        for (auto &entry : manager().queues) {
            if (entry.second->thread_id == idThread) {
                q = entry.second;
            }
        }
    }
    if (q == nullptr) {
        set_error(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return post_to_queue(q, nullptr, Msg, wParam, lParam);
}

// Across threads the caller waits for the answer and meanwhile answers what is sent to it.
extern "C" LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (hWnd == HWND_BROADCAST) {
        for (HWND target : top_level_handles()) {
            LRESULT ignored;
            send_message(target, Msg, wParam, lParam, nullptr, &ignored);
        }
        return 0;
    }
    LRESULT result = 0;
    if (!send_message(hWnd, Msg, wParam, lParam, nullptr, &result)) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return result;
}

extern "C" VOID WINAPI PostQuitMessage(int nExitCode)
{
    auto q = current_queue();
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        q->quit = true;
        q->quit_code = nExitCode;
    }
    wake(*q);
}

extern "C" BOOL WINAPI InSendMessage()
{
    auto q = current_queue();
    std::lock_guard<std::mutex> guard(manager().lock);
    return q->handling_sent > 0;
}
