// Window and thread timers. A timer lives in the queue of the thread that owns its window (or
// of the calling thread for a thread timer); WM_TIMER is made when that thread looks for
// messages and the timer is due, so a killed timer delivers nothing more.
#include "window_manager.h"
#include <platform/clock.h>

using namespace platform;
using namespace platform::user32;

namespace {

// The queue that holds hwnd's timers, checked for a window of the caller's process (timers may
// be set and killed from any thread of that process). Expects the lock.
std::shared_ptr<message_queue> timer_queue_locked(HWND hwnd, DWORD *error)
{
    auto w = find_window(hwnd);
    if (w == nullptr) {
        *error = ERROR_INVALID_WINDOW_HANDLE;
        return nullptr;
    }
    if (!same_process(*w)) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return w->queue;
}

} // namespace

extern "C" UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc)
{
    const UINT elapse = std::clamp<UINT>(uElapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    std::shared_ptr<message_queue> q = hWnd == nullptr ? current_queue() : nullptr;
    UINT_PTR result = 0;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        if (hWnd != nullptr) {
            DWORD error = 0;
            q = timer_queue_locked(hWnd, &error);
            if (q == nullptr) {
                set_error(error);
                return 0;
            }
        }
        auto existing = std::find_if(q->timers.begin(), q->timers.end(), [&](const timer &t) {
            return t.hwnd == hWnd && t.id == nIDEvent;
        });
        if (hWnd == nullptr && existing == q->timers.end()) {
            // A new thread timer gets an identifier of its own; the one passed is ignored.
            do {
                nIDEvent = q->next_thread_timer_id--;
                if (q->next_thread_timer_id == 0) {
                    q->next_thread_timer_id = 0x7FFF;
                }
            } while (std::any_of(q->timers.begin(), q->timers.end(),
                                 [&](const timer &t) { return t.hwnd == nullptr && t.id == nIDEvent; }));
        }
        timer t{hWnd, nIDEvent, (LONGLONG)elapse * ticks_per_ms, clock_now() + (LONGLONG)elapse * ticks_per_ms,
                lpTimerFunc};
        if (existing != q->timers.end()) {
            *existing = t;
        } else {
            q->timers.push_back(t);
        }
        result = hWnd == nullptr ? nIDEvent : (nIDEvent != 0 ? nIDEvent : 1);
    }
    wake(*q);
    return result;
}

extern "C" BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    std::shared_ptr<message_queue> q;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        if (hWnd == nullptr) {
            q = queue_of_thread(current_thread());
        } else {
            DWORD error = 0;
            q = timer_queue_locked(hWnd, &error);
            if (q == nullptr) {
                set_error(error);
                return FALSE;
            }
        }
        const size_t removed = q == nullptr ? 0 : std::erase_if(q->timers, [&](const timer &t) {
            return t.hwnd == hWnd && t.id == uIDEvent;
        });
        if (removed == 0) {
            set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    wake(*q);
    return TRUE;
}
