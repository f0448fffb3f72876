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
