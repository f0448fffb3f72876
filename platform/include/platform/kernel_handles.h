// The kernel handle table: handles returned by PsCreateSystemThread, ZwOpenKey, ZwCreateKey
// and friends, closed by ZwClose. Each entry holds an object pointer, its type and the
// routine that ZwClose calls for it.
#pragma once
#include <ntdef.h>

namespace platform {

enum class kernel_handle_type : ULONG {
    thread = 1,
    registry_key = 2,
    event = 3,
    file = 4,
};

// Inserts object; close runs once when the handle is closed (or at machine shutdown).
HANDLE kernel_handle_insert(void *object, kernel_handle_type type, void (*close)(void *object));

// The object behind handle when it has that type, else null.
void *kernel_handle_lookup(HANDLE handle, kernel_handle_type type);

// Closes a handle: STATUS_SUCCESS, or STATUS_INVALID_HANDLE for an unknown handle (the verifier
// stops on a handle closed twice).
NTSTATUS kernel_handle_close(HANDLE handle);

} // namespace platform

namespace platform {

// Reference counting of kernel objects for ObReferenceObject / ObDereferenceObject. A module
// that creates objects (threads, file objects, device objects ...) registers each one with
// its reference routines; an unregistered pointer passed to Ob* is a verifier stop.
struct object_ops {
    void (*reference)(void *object);
    void (*dereference)(void *object);
};

void object_register(void *object, const object_ops *ops);
void object_unregister(void *object);
// False when object is not registered.
bool object_reference(void *object);
bool object_dereference(void *object);

} // namespace platform
