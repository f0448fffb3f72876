// RegNotifyChangeKeyValue: one-shot change notifications on a key or its subtree, signalled
// through an event (asynchronous) or by returning (synchronous).
#include <windows.h>
#include <platform/dispatcher.h>
#include <platform/win32_handles.h>
#include "registry_handles.h"

using namespace platform;

namespace {

// Holds a reference on the event object for as long as the notification is pending, so that
// closing the event handle early cannot make the notification signal something else.
struct event_reference {
    win32_object *object;
    explicit event_reference(win32_object *o) : object(o) {}
    ~event_reference() { win32_object_dereference(object); }
    event_reference(const event_reference &) = delete;
    event_reference &operator=(const event_reference &) = delete;
};

} // namespace

extern "C" LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                           BOOL fAsynchronous)
{
    const DWORD filter = dwNotifyFilter & ~static_cast<DWORD>(REG_NOTIFY_THREAD_AGNOSTIC);
    if (filter == 0 || (dwNotifyFilter & ~static_cast<DWORD>(REG_LEGAL_CHANGE_FILTER)) != 0 ||
        (fAsynchronous && hEvent == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    reg_target target;
    registry_key node;
    LSTATUS error = reg_resolve(hKey, KEY_NOTIFY, &target);
    if (error == ERROR_SUCCESS) {
        error = reg_target_node(target, &node);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    auto fired = std::make_shared<std::atomic<bool>>(false);
    std::function<void()> fire;
    std::shared_ptr<DISPATCHER_HEADER> done;
    if (fAsynchronous) {
        win32_object *event = win32_handle_reference(hEvent, win32_object_type::event);
        if (event == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        auto reference = std::make_shared<event_reference>(event);
        fire = [reference, fired] {
            fired->store(true);
            dispatcher_set_event(reference->object->wait_header());
        };
    } else {
        done = std::make_shared<DISPATCHER_HEADER>();
        dispatcher_init(done.get(), notification_event, 0);
        fire = [done, fired] {
            fired->store(true);
            dispatcher_set_event(done.get());
        };
    }
    registry_watch_id id = 0;
    error = reg_error_from_status(registry_watch_add(node, bWatchSubtree != FALSE, filter, std::move(fire), &id));
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (target.node) {
        reg_handle_add_watch(hKey, id, fired);
    }
    if (done) {
        DISPATCHER_HEADER *objects[] = {done.get()};
        dispatcher_wait(1, objects, false, nullptr, false);
    }
    return ERROR_SUCCESS;
}
