// Machine-wide broadcasts to the top-level windows of every simulated process, and the
// device-interface notifications that RegisterDeviceNotificationW asks for. Notifications are
// delivered on a thread of their own, as the Plug and Play service does on Windows; the I/O
// manager reports each interface arrival and removal to it through the listener installed at
// machine boot.
#include "window_manager.h"
#include <dbt.h>
#include <platform/clock.h>
#include <platform/device_interface_listener.h>
#include <platform/machine_state.h>
#include <platform/realtime_processor.h>
#include <platform/window_station.h>
#include <condition_variable>
#include <functional>
#include <thread>

using namespace platform;
using namespace platform::user32;

namespace {

constexpr ULONG notification_timeout_ms = 10000;

struct notification_thread {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> jobs;
    bool busy = false;
    bool stopping = false;
    std::thread worker;

    void run()
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty()) {
                return;
            }
            auto job = std::move(jobs.front());
            jobs.pop_front();
            busy = true;
            guard.unlock();
            job();
            guard.lock();
            busy = false;
            changed.notify_all();
        }
    }
};

notification_thread &notifier()
{
    static notification_thread instance;
    return instance;
}

std::vector<HWND> broadcast_targets()
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

void deliver_interface_change(WPARAM event, const GUID &interface_class, const std::wstring &link)
{
    std::vector<HWND> recipients;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        for (const auto &n : manager().notifications) {
            if (n.all_classes || n.interface_class == interface_class) {
                recipients.push_back(n.recipient);
            }
        }
    }
    const size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (link.size() + 1) * sizeof(WCHAR);
    std::vector<BYTE> storage(std::max(bytes, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
    auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(storage.data());
    const LONGLONG timeout = (LONGLONG)notification_timeout_ms * ticks_per_ms;
    for (HWND hwnd : recipients) {
        // Rebuilt for each window: a receiver may have written into the record.
        std::fill(storage.begin(), storage.end(), 0);
        record->dbcc_size = (DWORD)bytes;
        record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        record->dbcc_classguid = interface_class;
        link.copy(record->dbcc_name, link.size());
        LRESULT ignored;
        send_message(hwnd, WM_DEVICECHANGE, event, (LPARAM)record, &timeout, &ignored);
    }
}

// Runs on the thread that changed the interface, under the PnP manager's lock: only queues.
void interface_changed(const interface_event &event)
{
    notify_device_interface_change(event.arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, event.class_guid,
                                   event.user_path);
}

void listen_to_interfaces()
{
    set_device_interface_listener(interface_changed);
}

void stop_listening()
{
    set_device_interface_listener(nullptr);
}

machine_hooks g_hooks("user32 device notifications", listen_to_interfaces, stop_listening);

} // namespace

namespace platform::user32 {

void stop_device_notifications()
{
    notification_thread &n = notifier();
    {
        std::lock_guard<std::mutex> guard(n.lock);
        if (!n.worker.joinable()) {
            return;
        }
        n.stopping = true;
    }
    n.changed.notify_all();
    n.worker.join();
    std::lock_guard<std::mutex> guard(n.lock);
    n.stopping = false;
    n.jobs.clear();
}

} // namespace platform::user32

namespace platform {

ULONG broadcast_system_message(UINT msg, WPARAM wparam, LPARAM lparam, ULONG timeout_ms)
{
    const LONGLONG timeout = (LONGLONG)timeout_ms * ticks_per_ms;
    ULONG answered = 0;
    for (HWND hwnd : broadcast_targets()) {
        LRESULT ignored;
        if (send_message(hwnd, msg, wparam, lparam, &timeout, &ignored)) {
            answered += 1;
        }
    }
    return answered;
}

ULONG broadcast_power_event(WPARAM event, ULONG timeout_ms)
{
    return broadcast_system_message(WM_POWERBROADCAST, event, 0, timeout_ms);
}

void notify_device_interface_change(WPARAM event, const GUID &interface_class, const std::wstring &symbolic_link)
{
    notification_thread &n = notifier();
    {
        std::lock_guard<std::mutex> guard(n.lock);
        if (!n.worker.joinable()) {
            n.worker = std::thread([&n] {
                platform::realtime_processor_leave_inherited();
                n.run();
            });
        }
        n.jobs.push_back([event, interface_class, symbolic_link] {
            deliver_interface_change(event, interface_class, symbolic_link);
        });
    }
    n.changed.notify_all();
}

void device_notifications_flush()
{
    notification_thread &n = notifier();
    std::unique_lock<std::mutex> guard(n.lock);
    n.changed.wait(guard, [&n] { return n.jobs.empty() && !n.busy; });
}

} // namespace platform

extern "C" HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags)
{
    if ((Flags & DEVICE_NOTIFY_SERVICE_HANDLE) != 0) {
        set_error(ERROR_INVALID_PARAMETER); // only windows receive notifications here
        return nullptr;
    }
    const auto *header = static_cast<const DEV_BROADCAST_HDR *>(NotificationFilter);
    if (header == nullptr || header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        set_error(ERROR_INVALID_DATA);
        return nullptr;
    }
    const auto *filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(NotificationFilter);
    window_manager &m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    if (find_window((HWND)hRecipient) == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    device_notification n;
    n.handle = (HDEVNOTIFY)m.next_notification;
    m.next_notification += 4;
    n.recipient = (HWND)hRecipient;
    n.all_classes = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    n.interface_class = filter->dbcc_classguid;
    m.notifications.push_back(n);
    return n.handle;
}

extern "C" BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    const size_t removed =
        std::erase_if(manager().notifications, [&](const device_notification &n) { return n.handle == Handle; });
    if (removed == 0) {
        set_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
