// The Win32 handle tables: every HANDLE that kernel32 hands out names a reference-counted
// object of a type, owned by one simulated process. Handle values are unique across the
// machine, so the platform's own services (registry notifications, I/O completion) can
// signal an event handle from whichever thread they run on.
#pragma once
#include <atomic>
#include <string>
#include <platform/dispatcher.h>

namespace platform {

struct process;

enum class win32_object_type : ULONG {
    event = 1,
    mutex = 2,
    semaphore = 3,
    thread = 4,
    process = 5,
    file = 6,
};

// The base of every object behind a Win32 handle. The object is destroyed when its last
// reference goes; a handle holds one reference, and so does any call using the object.
struct win32_object {
    explicit win32_object(win32_object_type t) : type(t) {}
    virtual ~win32_object() = default;
    win32_object(const win32_object &) = delete;
    win32_object &operator=(const win32_object &) = delete;

    // The dispatcher object a wait on this handle waits for; null when not waitable.
    virtual DISPATCHER_HEADER *wait_header() { return nullptr; }

    std::atomic<LONG> references{1};
    const win32_object_type type;
};

void win32_object_reference(win32_object *object);
void win32_object_dereference(win32_object *object);

// Inserts a handle to object into owner's table; the handle takes its own reference.
// Returns null when the owner has ended.
HANDLE win32_handle_insert(process *owner, win32_object *object);

// The object behind handle, referenced for the caller (release with win32_object_dereference),
// or null when handle is not open. The pseudo handles of GetCurrentThread/GetCurrentProcess
// resolve to the caller's thread and process.
win32_object *win32_handle_reference(HANDLE handle);

// The same, but null also when the object is not of type.
win32_object *win32_handle_reference(HANDLE handle, win32_object_type type);

// Closes a handle. false when it is not open (closed already, never issued, a pseudo handle).
bool win32_handle_close(HANDLE handle);

// Closes every handle owner holds. Used when a process ends.
void win32_handle_close_all(process *owner);

// Number of open handles owner holds.
ULONG win32_handle_count(process *owner);

} // namespace platform
