// Test helper: a thread that owns one window of a test class and pumps its messages until
// WM_QUIT, recording every message its window procedure sees and on which thread.
#pragma once
#include <windows.h>
#include <platform/clock.h>
#include <platform/process.h>
#include <platform/thread.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace user32_test {

struct seen_message {
    UINT msg;
    WPARAM wparam;
    LPARAM lparam;
    ULONG thread_id;
};

class window_thread {
public:
    // Creates the window on a new thread of owner (null: a thread of the default process).
    // parent may be HWND_MESSAGE for a message-only window.
    using handler = std::function<bool(UINT, WPARAM, LPARAM, LRESULT *)>;

    // on_message runs on the window's thread for every message before the default handling;
    // returning true makes *result the message's result.
    explicit window_thread(handler on_message = {}, platform::process *owner = nullptr, LPCWSTR title = L"",
                           HWND parent = nullptr)
        : m_on_message(std::move(on_message)), m_title(title), m_parent(parent)
    {
        auto body = [this] { run(); };
        if (owner != nullptr) {
            m_thread = platform::process_start_thread(owner, body);
        } else {
            m_thread = platform::thread_start(body, nullptr, false);
        }
        wait_until([this] { return m_ready; });
    }

    ~window_thread()
    {
        if (IsWindow(m_hwnd)) {
            PostMessageW(m_hwnd, WM_QUIT, 0, 0);
        }
        DISPATCHER_HEADER *objects[1] = {&m_thread->header};
        const LONGLONG deadline = platform::clock_now() + 30 * platform::ticks_per_second;
        platform::dispatcher_wait(1, objects, false, platform::clock_is_manual() ? nullptr : &deadline, false);
        platform::thread_dereference(m_thread);
    }

    HWND hwnd() const { return m_hwnd; }
    ULONG thread_id() const { return m_thread->id; }

    std::vector<seen_message> messages(UINT msg)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<seen_message> result;
        for (auto &m : m_seen) {
            if (m.msg == msg) {
                result.push_back(m);
            }
        }
        return result;
    }

    // Waits (real time, generous) until pred holds; pred runs under the recorder's lock.
    template <typename Pred>
    bool wait_until(Pred pred)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(20), pred);
    }

    bool wait_for_count(UINT msg, size_t count)
    {
        return wait_until([&] {
            size_t n = 0;
            for (auto &m : m_seen) {
                n += m.msg == msg ? 1 : 0;
            }
            return n >= count;
        });
    }

    // Posts a marker and waits until the window has handled it: everything posted or due before
    // it has then been handled too.
    bool sync()
    {
        const UINT marker = WM_APP + 0x77;
        const size_t before = messages(marker).size();
        return PostMessageW(m_hwnd, marker, 0, 0) && wait_for_count(marker, before + 1);
    }

    int quit_code() const { return m_quit_code; }

    static constexpr LPCWSTR class_name = L"User32TestWindow";

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
    {
        auto *self = reinterpret_cast<window_thread *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == WM_NCCREATE) {
            auto *cs = reinterpret_cast<CREATESTRUCTW *>(lparam);
            self = static_cast<window_thread *>(cs->lpCreateParams);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)self);
        }
        if (self == nullptr) {
            return DefWindowProcW(hwnd, msg, wparam, lparam);
        }
        LRESULT result = 0;
        const bool handled = self->m_on_message && self->m_on_message(msg, wparam, lparam, &result);
        {
            std::lock_guard<std::mutex> guard(self->m_lock);
            self->m_seen.push_back({msg, wparam, lparam, platform::current_thread()->id});
        }
        self->m_changed.notify_all();
        return handled ? result : DefWindowProcW(hwnd, msg, wparam, lparam);
    }

    void run()
    {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.lpszClassName = class_name;
        RegisterClassExW(&wc); // a second thread of the process finds it registered already
        HWND hwnd = CreateWindowExW(0, class_name, m_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                    m_parent, nullptr, nullptr, this);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_hwnd = hwnd;
            m_ready = true;
        }
        m_changed.notify_all();
        MSG msg;
        while (hwnd != nullptr && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        m_quit_code = (int)msg.wParam;
        if (hwnd != nullptr) {
            DestroyWindow(hwnd);
        }
    }

    handler m_on_message;
    LPCWSTR m_title;
    HWND m_parent;
    platform::thread *m_thread = nullptr;
    HWND m_hwnd = nullptr;
    bool m_ready = false;
    int m_quit_code = -1;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<seen_message> m_seen;
};

} // namespace user32_test
