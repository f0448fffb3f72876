// The Win32 key handle table: open keys with their access, view, owner process and pending
// change notifications; the predefined roots; the mapping of store statuses to Win32 errors.
#include <map>
#include <mutex>
#include <platform/machine_state.h>
#include <platform/process.h>
#include "registry_handles.h"

namespace platform {

namespace {

constexpr ACCESS_MASK generic_read = 0x80000000;
constexpr ACCESS_MASK generic_write = 0x40000000;
constexpr ACCESS_MASK generic_execute = 0x20000000;
constexpr ACCESS_MASK generic_all = 0x10000000;
constexpr ACCESS_MASK maximum_allowed = 0x02000000;

// Handle values are never reused within a boot, so a stale HKEY fails instead of reaching
// another key. A handle is valid only in the process that opened it.
constexpr ULONG_PTR first_handle = 0x1000;
constexpr ULONG_PTR handle_step = 4;

struct pending_watch {
    registry_watch_id id;
    std::shared_ptr<std::atomic<bool>> fired;
};

struct open_key {
    registry_key node;
    ACCESS_MASK access = 0;
    registry_view view = registry_view::native;
    process *owner = nullptr;
    std::vector<pending_watch> watches;
};

struct handle_table {
    std::mutex lock;
    std::map<ULONG_PTR, open_key> keys;
    ULONG_PTR next = first_handle;
};

handle_table &table()
{
    static handle_table *t = new handle_table;
    return *t;
}

process *calling_process() { return process_current(); }

void cancel_watches(std::vector<pending_watch> &watches)
{
    for (const pending_watch &watch : watches) {
        registry_watch_cancel(watch.id, true);
    }
    watches.clear();
}

void on_boot()
{
    std::map<ULONG_PTR, open_key> dropped;
    {
        std::lock_guard guard(table().lock);
        dropped.swap(table().keys);
        table().next = first_handle;
    }
}

machine_hooks hooks("registry handles", on_boot, on_boot);

void on_process_end(process *p) { registry_close_process_keys(p); }

process_end_hook end_hook("registry handles", on_process_end);

bool predefined_path(HKEY hKey, std::wstring *path)
{
    if (hKey == HKEY_LOCAL_MACHINE) {
        *path = L"\\Registry\\Machine";
    } else if (hKey == HKEY_CURRENT_USER) {
        *path = L"\\Registry\\User\\" + registry_current_user();
    } else if (hKey == HKEY_CLASSES_ROOT) {
        *path = L"\\Registry\\Machine\\SOFTWARE\\Classes";
    } else if (hKey == HKEY_USERS) {
        *path = L"\\Registry\\User";
    } else {
        return false;
    }
    return true;
}

} // namespace

LSTATUS reg_error_from_status(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND;
    case STATUS_ACCESS_DENIED:
    case STATUS_CANNOT_DELETE:
        return ERROR_ACCESS_DENIED;
    case STATUS_INVALID_HANDLE:
        return ERROR_INVALID_HANDLE;
    case STATUS_KEY_DELETED:
        return ERROR_KEY_DELETED;
    case STATUS_NO_MORE_ENTRIES:
        return ERROR_NO_MORE_ITEMS;
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_INVALID_PARAMETER:
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

registry_view reg_view_of(REGSAM sam)
{
    if ((sam & KEY_WOW64_32KEY) != 0) {
        return registry_view::wow64_32;
    }
    if ((sam & KEY_WOW64_64KEY) != 0) {
        return registry_view::native;
    }
    return registry_process_view(calling_process());
}

ACCESS_MASK reg_map_access(REGSAM sam)
{
    ACCESS_MASK access =
        sam & ~(generic_read | generic_write | generic_execute | generic_all | maximum_allowed | KEY_WOW64_RES);
    if ((sam & (generic_read | generic_execute)) != 0) {
        access |= KEY_READ;
    }
    if ((sam & generic_write) != 0) {
        access |= KEY_WRITE;
    }
    if ((sam & (generic_all | maximum_allowed)) != 0) {
        access |= KEY_ALL_ACCESS;
    }
    return access;
}

LSTATUS reg_resolve(HKEY hKey, ACCESS_MASK needed, reg_target *target)
{
    target->handle = hKey;
    if (predefined_path(hKey, &target->root_path)) {
        target->node.reset();
        target->access = KEY_ALL_ACCESS;
        target->view = registry_process_view(calling_process());
        return ERROR_SUCCESS;
    }
    process *caller = calling_process();
    std::lock_guard guard(table().lock);
    auto found = table().keys.find(reinterpret_cast<ULONG_PTR>(hKey));
    if (found == table().keys.end() || found->second.owner != caller) {
        return ERROR_INVALID_HANDLE;
    }
    if ((found->second.access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    target->node = found->second.node;
    target->access = found->second.access;
    target->view = found->second.view;
    return ERROR_SUCCESS;
}

LSTATUS reg_target_node(const reg_target &target, registry_key *node)
{
    if (target.node) {
        *node = target.node;
        return ERROR_SUCCESS;
    }
    return reg_error_from_status(registry_open(nullptr, target.root_path, target.view, node));
}

NTSTATUS reg_open_below(const reg_target &target, std::wstring_view subkey, registry_view view, registry_key *node)
{
    if (target.node) {
        return registry_open(target.node, subkey, view, node);
    }
    return registry_open(nullptr, target.root_path + L"\\" + std::wstring(subkey), view, node);
}

NTSTATUS reg_create_below(const reg_target &target, std::wstring_view subkey, registry_view view, bool volatile_key,
                          registry_key *node, bool *created)
{
    if (target.node) {
        return registry_create(target.node, subkey, view, true, volatile_key, node, created);
    }
    return registry_create(nullptr, target.root_path + L"\\" + std::wstring(subkey), view, true, volatile_key, node,
                           created);
}

HKEY reg_handle_insert(const registry_key &node, ACCESS_MASK access, registry_view view)
{
    std::lock_guard guard(table().lock);
    ULONG_PTR value = table().next;
    table().next += handle_step;
    table().keys.emplace(value, open_key{node, access, view, calling_process(), {}});
    return reinterpret_cast<HKEY>(value);
}

LSTATUS reg_handle_close(HKEY hKey)
{
    std::wstring root;
    if (predefined_path(hKey, &root)) {
        return ERROR_SUCCESS;
    }
    std::vector<pending_watch> watches;
    process *caller = calling_process();
    {
        std::lock_guard guard(table().lock);
        auto found = table().keys.find(reinterpret_cast<ULONG_PTR>(hKey));
        if (found == table().keys.end() || found->second.owner != caller) {
            return ERROR_INVALID_HANDLE;
        }
        watches.swap(found->second.watches);
        table().keys.erase(found);
    }
    cancel_watches(watches);
    return ERROR_SUCCESS;
}

void reg_handle_add_watch(HKEY hKey, registry_watch_id id, std::shared_ptr<std::atomic<bool>> fired)
{
    std::lock_guard guard(table().lock);
    auto found = table().keys.find(reinterpret_cast<ULONG_PTR>(hKey));
    if (found == table().keys.end()) {
        return;
    }
    auto &watches = found->second.watches;
    std::erase_if(watches, [](const pending_watch &w) { return w.fired->load(); });
    watches.push_back(pending_watch{id, std::move(fired)});
}

void registry_close_process_keys(process *p)
{
    std::vector<pending_watch> watches;
    {
        std::lock_guard guard(table().lock);
        for (auto it = table().keys.begin(); it != table().keys.end();) {
            if (it->second.owner == p) {
                auto &w = it->second.watches;
                watches.insert(watches.end(), w.begin(), w.end());
                it = table().keys.erase(it);
            } else {
                ++it;
            }
        }
    }
    cancel_watches(watches);
    registry_forget_process(p);
}

ULONG registry_open_handle_count()
{
    std::lock_guard guard(table().lock);
    return static_cast<ULONG>(table().keys.size());
}

} // namespace platform
