// The stand-in's window manager seen from the machine and from tests: machine-wide
// broadcasts, device-interface notifications and the answers of message boxes. System code
// never includes this header.
#pragma once
#include <windef.h>
#include <string>
#include <vector>

namespace platform {

// Sends msg to every top-level window of every simulated process (message-only windows
// excluded), each on its own thread, one after another. A window whose thread does not answer
// within timeout_ms is skipped. Returns the number of windows that answered.
ULONG broadcast_system_message(UINT msg, WPARAM wparam, LPARAM lparam, ULONG timeout_ms = 10000);

// Power transitions as Windows announces them: WM_POWERBROADCAST with PBT_APMSUSPEND or
// PBT_APMRESUMEAUTOMATIC (or any other event code).
ULONG broadcast_power_event(WPARAM event, ULONG timeout_ms = 10000);

// A device interface of class interface_class arrived (DBT_DEVICEARRIVAL) or left
// (DBT_DEVICEREMOVECOMPLETE). Every window registered for that class (or for all classes) with
// RegisterDeviceNotificationW receives WM_DEVICECHANGE with a DEV_BROADCAST_DEVICEINTERFACE_W
// naming symbolic_link. The I/O manager reports every interface that a driver enables or
// disables, or that goes with its device, through here by itself; a test calls it only to
// inject a notification that no interface change caused. Delivery runs on a notification
// thread of its own, in the order of the calls, so the caller may hold locks;
// device_notifications_flush waits until everything queued so far has been delivered.
void notify_device_interface_change(WPARAM event, const GUID &interface_class, const std::wstring &symbolic_link);
void device_notifications_flush();

// Message boxes do not block: each call is recorded and answered with the configured answer
// (IDOK after boot).
struct message_box_record {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
    ULONG thread_id;
};
void message_box_set_answer(int answer);
std::vector<message_box_record> message_box_history();

} // namespace platform
