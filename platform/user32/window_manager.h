// The window manager's machine-wide state: window classes, windows, the message queue of
// each thread that uses windows or messages, timers and device-notification registrations.
// One lock guards all of it; window procedures are always called without it.
#pragma once
#include <windows.h>
#include <dbt.h>
#include <platform/dispatcher.h>
#include <platform/thread.h>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::user32 {

struct window_class {
    std::wstring name;
    ATOM atom = 0;
    process *owner = nullptr; // classes are per process, as on Windows
    WNDCLASSEXW info{};
    ULONG window_count = 0;
};

struct timer {
    HWND hwnd = nullptr; // null: a thread timer
    UINT_PTR id = 0;
    LONGLONG period = 0; // machine-clock units
    LONGLONG due = 0;
    TIMERPROC proc = nullptr;
};

// A message sent to a window of another thread. The sender waits on done_event; the record is
// shared by the sender and the target queue so that either may give up on it first.
struct sent_message {
    enum class phase { queued, running, done };
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    phase state = phase::queued;
    LRESULT result = 0;
    DISPATCHER_HEADER done_event{};
};

struct message_queue {
    thread *owner = nullptr;
    ULONG thread_id = 0;
    process *owner_process = nullptr;
    DISPATCHER_HEADER wake{}; // set whenever something arrives or a timer changes
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<sent_message>> sent;
    std::vector<timer> timers;
    bool quit = false;
    int quit_code = 0;
    ULONG handling_sent = 0;
    UINT_PTR next_thread_timer_id = 0x7FFF;
};

struct window {
    HWND handle = nullptr;
    std::shared_ptr<window_class> cls;
    std::shared_ptr<message_queue> queue;
    HWND parent = nullptr;
    bool message_only = false;
    DWORD style = 0;
    DWORD ex_style = 0;
    std::wstring text;
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    LONG_PTR id = 0;
    LONG_PTR user_data = 0;
    std::vector<BYTE> extra;
    bool visible = false;
    bool minimized = false;
    bool enabled = true;
    bool destroying = false;
};

struct device_notification {
    HDEVNOTIFY handle = nullptr;
    HWND recipient = nullptr;
    bool all_classes = false;
    GUID interface_class{};
};

struct window_manager {
    std::mutex lock;
    std::map<ULONG_PTR, std::shared_ptr<window>> windows; // by handle value: creation order
    std::vector<std::shared_ptr<window_class>> classes;
    std::map<thread *, std::shared_ptr<message_queue>> queues;
    std::map<std::wstring, ATOM> atoms; // lower-cased names of classes and registered messages
    std::vector<device_notification> notifications;
    HWND foreground = nullptr;
    ULONG_PTR next_handle = 0x10010;
    ATOM next_atom = 0xC000;
    ULONG_PTR next_notification = 0x5000;
};

window_manager &manager();

// Both expect manager().lock to be held.
std::shared_ptr<window> find_window(HWND hwnd);
std::shared_ptr<message_queue> queue_of_thread(thread *t);

// The calling thread's queue, created on first use (takes the lock).
std::shared_ptr<message_queue> current_queue();

process *current_process();
bool same_process(const window &w);
bool is_top_level(const window &w);
std::wstring lower(const std::wstring &text);
bool equal_no_case(const std::wstring &a, const std::wstring &b);
std::wstring text_or_empty(LPCWSTR text);
DWORD tick_count();

void set_error(DWORD code);

// Calls the window's procedure on the calling thread; 0 for a window that no longer exists.
LRESULT call_window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

// Sends msg to hwnd: a direct call on the window's own thread, otherwise queued to that thread
// while the caller keeps answering messages sent to itself. timeout (machine-clock units) may be
// null for no limit. False when the window does not exist or did not answer in time.
bool send_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, const LONGLONG *timeout, LRESULT *result);

// Runs the messages other threads sent to q; called on q's own thread.
void handle_sent_messages(const std::shared_ptr<message_queue> &q);

// Waits for one of objects like dispatcher_wait (not alertable), and also returns, with *killed
// set, when the calling thread's process is being ended; the caller then cleans up and calls
// unwind_killed_thread.
NTSTATUS wait_for_any(ULONG count, DISPATCHER_HEADER *const *objects, const LONGLONG *deadline, bool *killed);
[[noreturn]] void unwind_killed_thread();

// Wakes q's thread (its lock need not be held).
void wake(message_queue &q);

// Class lookup in the calling process; both expect the lock.
std::shared_ptr<window_class> find_class_locked(LPCWSTR name, HINSTANCE instance, bool exact_instance);
bool class_name_matches(const window_class &c, LPCWSTR name);

// Ends the device-notification thread (machine shutdown).
void stop_device_notifications();

// Removes a window's timers, posted messages and notifications; the lock must be held.
void forget_window_locked(window &w);

} // namespace platform::user32
