// The machine's one registry store, shared by the kernel's Zw* calls and the Win32 Reg* calls:
// a tree of keys under "\Registry" (Machine, User\<sid>) with case-insensitive names kept as
// written, values with their exact bytes and type, creation-order enumeration and one-shot
// change watches. It is emptied at every machine boot. Also the helpers tests use to seed and
// read values, the device-key paths, and the per-process cleanup of Win32 key handles.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include <ntdef.h>
#include <ntstatus.h>
#include <km/wdm_regtypes.h>

struct _DEVICE_OBJECT;

namespace platform {

struct process;
struct registry_node;

// A counted reference to a key. A deleted key stays valid for its holders; every operation on
// it then fails with STATUS_KEY_DELETED.
using registry_key = std::shared_ptr<registry_node>;

// Registry views. In the 32-bit view, paths under \Registry\Machine\SOFTWARE (the classes root
// included) are redirected to \Registry\Machine\SOFTWARE\WOW6432Node; the native view is the
// 64-bit one and is also what the kernel sees.
enum class registry_view : UCHAR { native = 0, wow64_32 = 1 };

// Opens base\path (base null: path is absolute, "\Registry\..."). Components are separated by
// backslashes; empty components are skipped. STATUS_OBJECT_NAME_NOT_FOUND when a component is
// missing, STATUS_OBJECT_PATH_SYNTAX_BAD for a relative path without a base,
// STATUS_INVALID_PARAMETER for a component longer than 255 characters.
NTSTATUS registry_open(const registry_key &base, std::wstring_view path, registry_view view, registry_key *key);

// Opens or creates base\path. With create_parents false only the last component may be
// created (a missing parent gives STATUS_OBJECT_NAME_NOT_FOUND). *created tells whether the
// last component was new.
NTSTATUS registry_create(const registry_key &base, std::wstring_view path, registry_view view, bool create_parents,
                         bool volatile_key, registry_key *key, bool *created);

// Values. An empty name is the key's default value.
NTSTATUS registry_query_value(const registry_key &key, std::wstring_view name, ULONG *type, std::vector<BYTE> *data);
NTSTATUS registry_set_value(const registry_key &key, std::wstring_view name, ULONG type, const void *data,
                            ULONG size);
NTSTATUS registry_delete_value(const registry_key &key, std::wstring_view name);

// Deletes a key without subkeys (else STATUS_CANNOT_DELETE). \Registry, Machine, User and the
// keys right below them (Machine\SOFTWARE, User\<sid> ...) cannot be deleted
// (STATUS_ACCESS_DENIED). Watches on the key fire.
NTSTATUS registry_delete_key(const registry_key &key);

// Enumeration in creation order: STATUS_NO_MORE_ENTRIES past the last entry.
NTSTATUS registry_enum_key(const registry_key &key, ULONG index, std::wstring *name);
NTSTATUS registry_enum_value(const registry_key &key, ULONG index, std::wstring *name, ULONG *type,
                             std::vector<BYTE> *data);

struct registry_key_info {
    ULONG subkeys = 0;
    ULONG max_subkey_name = 0; // characters
    ULONG values = 0;
    ULONG max_value_name = 0;  // characters
    ULONG max_value_data = 0;  // bytes
    LONGLONG last_write_time = 0; // system time, 100 ns units
};
NTSTATUS registry_query_key(const registry_key &key, registry_key_info *info);

// The key's own name as written, and its full path ("\Registry\Machine\SOFTWARE\...").
std::wstring registry_key_name(const registry_key &key);
std::wstring registry_key_path(const registry_key &key);
bool registry_key_deleted(const registry_key &key);

// Change watches (RegNotifyChangeKeyValue). filter holds REG_NOTIFY_CHANGE_* bits: NAME fires
// on a subkey created or deleted, LAST_SET on a value set or deleted; ATTRIBUTES and SECURITY
// are accepted and never change here. A watch fires once: for a matching change in key (or,
// with subtree, below it) and always when key itself is deleted. fire runs without the store
// lock held, on the thread that made the change.
using registry_watch_id = ULONGLONG;
NTSTATUS registry_watch_add(const registry_key &key, bool subtree, ULONG filter, std::function<void()> fire,
                            registry_watch_id *id);
// Removes a pending watch; with fire_now its routine runs (a closed key handle signals its
// pending notifications). False when it had already fired.
bool registry_watch_cancel(registry_watch_id id, bool fire_now);

// The current simulated user: HKEY_CURRENT_USER is \Registry\User\<sid>. One default user
// exists at boot; setting another creates its hive key when missing.
void registry_set_current_user(std::wstring_view sid);
std::wstring registry_current_user();
inline constexpr const WCHAR *registry_default_user_sid = L"S-1-5-21-1004336348-1177238915-682003330-1001";

// The default view of the Win32 calls of a process (without KEY_WOW64_* flags), for a process
// that plays a 32-bit host. Native unless set; reset at boot.
void registry_set_process_view(process *p, registry_view view);
registry_view registry_process_view(process *p);

// Device keys. The hardware key of a device instance ("USB\VID_...\...") is
// \Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters; its software
// key is \Registry\Machine\System\CurrentControlSet\Control\Class\<media class>\<NNNN>, the
// number given to the instance at its first request since boot.
std::wstring registry_device_key_path(std::wstring_view instance_id);
std::wstring registry_driver_key_path(std::wstring_view instance_id);

// How IoOpenDeviceRegistryKey finds the instance ID of a physical device object: the PnP
// manager's device node of the PDO, unless a test sets a resolver of its own (null restores
// the node lookup). A PDO without a node fails the call with STATUS_INVALID_PARAMETER.
void registry_set_instance_resolver(std::function<bool(_DEVICE_OBJECT *pdo, std::wstring *instance_id)> resolver);
bool registry_resolve_instance(_DEVICE_OBJECT *pdo, std::wstring *instance_id);

// Closes every Win32 key handle owned by p (its pending notifications fire) and forgets its
// default view. Runs by itself when a process ends.
void registry_close_process_keys(process *p);
void registry_forget_process(process *p);

// Number of open Win32 key handles (all processes): lets tests check that code closes its keys.
ULONG registry_open_handle_count();

// Test helpers over absolute paths. seed creates the key (and its parents) when missing.
bool registry_seed_value(std::wstring_view path, std::wstring_view name, ULONG type, const void *data, ULONG size);
bool registry_seed_dword(std::wstring_view path, std::wstring_view name, DWORD value);
// REG_SZ with its terminating NUL counted, as most writers store it.
bool registry_seed_string(std::wstring_view path, std::wstring_view name, std::wstring_view value);
bool registry_read_value(std::wstring_view path, std::wstring_view name, ULONG *type, std::vector<BYTE> *data);
bool registry_read_dword(std::wstring_view path, std::wstring_view name, DWORD *value);
bool registry_key_exists(std::wstring_view path);
// Removes a whole tree; false when the key does not exist.
bool registry_delete_tree(std::wstring_view path);

} // namespace platform
