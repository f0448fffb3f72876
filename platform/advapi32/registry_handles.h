// The Win32 key handles (HKEY) of advapi32: a machine-wide table of open keys, each owned by
// the simulated process that opened it, and the predefined root keys resolved per call.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include <winreg.h>
#include <platform/registry.h>

namespace platform {

// What an HKEY stands for during one call. A predefined root is named by its path; an
// opened key by its node.
struct reg_target {
    registry_key node;       // null for a predefined root
    std::wstring root_path;  // "\Registry\Machine" ... for a predefined root
    ACCESS_MASK access = 0;
    registry_view view = registry_view::native;
    HKEY handle = nullptr;
};

// Resolves hKey and checks that it grants needed: ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED.
LSTATUS reg_resolve(HKEY hKey, ACCESS_MASK needed, reg_target *target);

// The node of a target (opens a predefined root in the target's view).
LSTATUS reg_target_node(const reg_target &target, registry_key *node);

// Opens or creates target\subkey in view.
NTSTATUS reg_open_below(const reg_target &target, std::wstring_view subkey, registry_view view, registry_key *node);
NTSTATUS reg_create_below(const reg_target &target, std::wstring_view subkey, registry_view view, bool volatile_key,
                          registry_key *node, bool *created);

// A new handle to node for the calling thread's process.
HKEY reg_handle_insert(const registry_key &node, ACCESS_MASK access, registry_view view);

// Closes a handle: its pending notifications fire. ERROR_INVALID_HANDLE when not open.
LSTATUS reg_handle_close(HKEY hKey);

// Records a pending notification on a handle; fired is set by the notification when it runs,
// so that the handle forgets it.
void reg_handle_add_watch(HKEY hKey, registry_watch_id id, std::shared_ptr<std::atomic<bool>> fired);

// The view named by samDesired's WOW64 bits, else the calling process's default.
registry_view reg_view_of(REGSAM sam);

// Generic and maximum rights mapped to key rights, WOW64 bits removed.
ACCESS_MASK reg_map_access(REGSAM sam);

LSTATUS reg_error_from_status(NTSTATUS status);

} // namespace platform
