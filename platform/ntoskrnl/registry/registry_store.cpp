// The registry store: the key tree under "\Registry", its values and its change watches. One
// lock guards the whole tree; watch routines run after it is released.
#include <algorithm>
#include <cwctype>
#include <mutex>
#include <unordered_map>
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <platform/registry.h>

namespace platform {

namespace {

struct value_entry {
    std::wstring name;
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
};

struct watch_entry {
    registry_watch_id id = 0;
    bool subtree = false;
    ULONG filter = 0;
    std::function<void()> fire;
};

using fire_list = std::vector<std::function<void()>>;

constexpr size_t max_key_component = 255;
constexpr ULONG change_name = 0x1;     // REG_NOTIFY_CHANGE_NAME
constexpr ULONG change_last_set = 0x4; // REG_NOTIFY_CHANGE_LAST_SET
constexpr ULONG legal_filter = 0x0F;

} // namespace

struct registry_node {
    std::wstring name;
    registry_node *parent = nullptr; // null for the root and once deleted
    std::vector<registry_key> children;
    std::vector<value_entry> values;
    std::vector<watch_entry> watches;
    bool deleted = false;
    bool volatile_key = false;
    LONGLONG last_write = 0;
};

namespace {

struct store_state {
    std::mutex lock;
    registry_key root;
    std::unordered_map<registry_watch_id, std::weak_ptr<registry_node>> watch_nodes;
    registry_watch_id next_watch_id = 1;
};

store_state &store()
{
    static store_state *s = new store_state; // outlives every static that may close keys
    return *s;
}

bool same_name(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring_view> split_path(std::wstring_view path)
{
    std::vector<std::wstring_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

registry_key find_child(const registry_node &node, std::wstring_view name)
{
    for (const registry_key &child : node.children) {
        if (same_name(child->name, name)) {
            return child;
        }
    }
    return nullptr;
}

value_entry *find_value(registry_node &node, std::wstring_view name)
{
    for (value_entry &value : node.values) {
        if (same_name(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

registry_key add_child(const registry_key &parent, std::wstring_view name, bool volatile_key)
{
    auto child = std::make_shared<registry_node>();
    child->name.assign(name);
    child->parent = parent.get();
    child->volatile_key = volatile_key;
    child->last_write = clock_system_time();
    parent->children.push_back(child);
    parent->last_write = child->last_write;
    return child;
}

// Lock held. Takes the watches of node that match (all of them with match_all), and those of
// its ancestors that watch their subtree for this kind of change.
void collect_watches(registry_node *node, ULONG kind, bool match_all, fire_list *fires)
{
    store_state &s = store();
    bool direct = true;
    for (registry_node *n = node; n != nullptr; n = n->parent, direct = false) {
        auto &watches = n->watches;
        for (auto it = watches.begin(); it != watches.end();) {
            bool hit = (direct && match_all) || ((direct || it->subtree) && (it->filter & kind) != 0);
            if (hit) {
                fires->push_back(std::move(it->fire));
                s.watch_nodes.erase(it->id);
                it = watches.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void run_fires(fire_list &fires)
{
    for (auto &fire : fires) {
        if (fire) {
            fire();
        }
    }
}

void build_root_locked()
{
    store_state &s = store();
    s.root = std::make_shared<registry_node>();
    s.root->name = L"REGISTRY";
    s.watch_nodes.clear();
    static const WCHAR *const standard_keys[] = {
        L"Machine\\SOFTWARE\\Classes\\CLSID",
        L"Machine\\SOFTWARE\\WOW6432Node\\Classes\\CLSID",
        L"Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
        L"Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
        L"Machine\\SYSTEM\\CurrentControlSet\\Enum",
        L"Machine\\SYSTEM\\CurrentControlSet\\Services",
        L"Machine\\HARDWARE\\DEVICEMAP",
    };
    std::wstring user_software = std::wstring(L"User\\") + registry_default_user_sid + L"\\Software";
    std::vector<std::wstring> paths(std::begin(standard_keys), std::end(standard_keys));
    paths.push_back(user_software);
    for (const std::wstring &path : paths) {
        registry_key node = s.root;
        for (std::wstring_view part : split_path(path)) {
            registry_key next = find_child(*node, part);
            node = next ? next : add_child(node, part, false);
        }
    }
}

registry_key root_locked()
{
    store_state &s = store();
    if (!s.root) {
        build_root_locked();
    }
    return s.root;
}

// Lock held. Resolves base\path into the starting node and the components left to walk.
NTSTATUS start_of_path(const registry_key &base, std::wstring_view path, registry_view view, registry_key *start,
                       std::vector<std::wstring> *parts)
{
    parts->clear();
    std::vector<std::wstring_view> rel = split_path(path);
    for (std::wstring_view part : rel) {
        if (part.size() > max_key_component) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    std::vector<std::wstring> absolute;
    if (base) {
        if (base->deleted) {
            return STATUS_KEY_DELETED;
        }
        if (view == registry_view::native) {
            *start = base;
            parts->assign(rel.begin(), rel.end());
            return STATUS_SUCCESS;
        }
        for (registry_node *n = base.get(); n->parent != nullptr; n = n->parent) {
            absolute.insert(absolute.begin(), n->name);
        }
        absolute.insert(absolute.end(), rel.begin(), rel.end());
    } else {
        if (path.empty() || path.front() != L'\\' || rel.empty() || !same_name(rel.front(), L"REGISTRY")) {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        absolute.assign(rel.begin() + 1, rel.end());
    }
    if (view == registry_view::wow64_32 && absolute.size() >= 2 && same_name(absolute[0], L"Machine") &&
        same_name(absolute[1], L"SOFTWARE") && !(absolute.size() >= 3 && same_name(absolute[2], L"WOW6432Node"))) {
        absolute.insert(absolute.begin() + 2, L"WOW6432Node");
    }
    *start = root_locked();
    *parts = std::move(absolute);
    return STATUS_SUCCESS;
}

// The old tree is dropped outside the lock: pending watches release the objects they hold.
void on_boot()
{
    registry_key old;
    std::lock_guard guard(store().lock);
    old = store().root;
    build_root_locked();
}

void on_shutdown()
{
    registry_key old;
    std::lock_guard guard(store().lock);
    old.swap(store().root);
    store().watch_nodes.clear();
}

machine_hooks hooks("registry store", on_boot, on_shutdown);

} // namespace

NTSTATUS registry_open(const registry_key &base, std::wstring_view path, registry_view view, registry_key *key)
{
    std::lock_guard guard(store().lock);
    registry_key node;
    std::vector<std::wstring> parts;
    NTSTATUS status = start_of_path(base, path, view, &node, &parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (const std::wstring &part : parts) {
        node = find_child(*node, part);
        if (!node) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *key = node;
    return STATUS_SUCCESS;
}

NTSTATUS registry_create(const registry_key &base, std::wstring_view path, registry_view view, bool create_parents,
                         bool volatile_key, registry_key *key, bool *created)
{
    fire_list fires;
    NTSTATUS status = STATUS_SUCCESS;
    bool made = false;
    {
        std::lock_guard guard(store().lock);
        registry_key node;
        std::vector<std::wstring> parts;
        status = start_of_path(base, path, view, &node, &parts);
        for (size_t i = 0; NT_SUCCESS(status) && i < parts.size(); ++i) {
            registry_key next = find_child(*node, parts[i]);
            if (!next) {
                if (!create_parents && i + 1 < parts.size()) {
                    status = STATUS_OBJECT_NAME_NOT_FOUND;
                    break;
                }
                next = add_child(node, parts[i], volatile_key);
                collect_watches(node.get(), change_name, false, &fires);
                made = i + 1 == parts.size();
            }
            node = next;
        }
        if (NT_SUCCESS(status)) {
            *key = node;
            if (created != nullptr) {
                *created = made;
            }
        }
    }
    run_fires(fires);
    return status;
}

NTSTATUS registry_query_value(const registry_key &key, std::wstring_view name, ULONG *type, std::vector<BYTE> *data)
{
    std::lock_guard guard(store().lock);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    value_entry *value = find_value(*key, name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    if (data != nullptr) {
        *data = value->data;
    }
    return STATUS_SUCCESS;
}

NTSTATUS registry_set_value(const registry_key &key, std::wstring_view name, ULONG type, const void *data, ULONG size)
{
    if (size != 0 && data == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    fire_list fires;
    {
        std::lock_guard guard(store().lock);
        if (key->deleted) {
            return STATUS_KEY_DELETED;
        }
        value_entry *value = find_value(*key, name);
        if (value == nullptr) {
            key->values.push_back(value_entry{std::wstring(name), type, {}});
            value = &key->values.back();
        }
        value->type = type;
        const BYTE *bytes = static_cast<const BYTE *>(data);
        value->data.assign(bytes, bytes + size);
        key->last_write = clock_system_time();
        collect_watches(key.get(), change_last_set, false, &fires);
    }
    run_fires(fires);
    return STATUS_SUCCESS;
}

NTSTATUS registry_delete_value(const registry_key &key, std::wstring_view name)
{
    fire_list fires;
    {
        std::lock_guard guard(store().lock);
        if (key->deleted) {
            return STATUS_KEY_DELETED;
        }
        auto it = std::find_if(key->values.begin(), key->values.end(),
                               [&](const value_entry &v) { return same_name(v.name, name); });
        if (it == key->values.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        key->values.erase(it);
        key->last_write = clock_system_time();
        collect_watches(key.get(), change_last_set, false, &fires);
    }
    run_fires(fires);
    return STATUS_SUCCESS;
}

NTSTATUS registry_delete_key(const registry_key &key)
{
    fire_list fires;
    {
        std::lock_guard guard(store().lock);
        if (key->deleted) {
            return STATUS_KEY_DELETED;
        }
        registry_node *parent = key->parent;
        if (parent == nullptr || parent->parent == nullptr || parent->parent->parent == nullptr) {
            return STATUS_ACCESS_DENIED; // \Registry, its hives and the users' roots stay
        }
        if (!key->children.empty()) {
            return STATUS_CANNOT_DELETE;
        }
        collect_watches(key.get(), 0, true, &fires);
        collect_watches(parent, change_name, false, &fires);
        key->deleted = true;
        key->parent = nullptr;
        parent->last_write = clock_system_time();
        auto &siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    }
    run_fires(fires);
    return STATUS_SUCCESS;
}

NTSTATUS registry_enum_key(const registry_key &key, ULONG index, std::wstring *name)
{
    std::lock_guard guard(store().lock);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (index >= key->children.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    *name = key->children[index]->name;
    return STATUS_SUCCESS;
}

NTSTATUS registry_enum_value(const registry_key &key, ULONG index, std::wstring *name, ULONG *type,
                             std::vector<BYTE> *data)
{
    std::lock_guard guard(store().lock);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (index >= key->values.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    const value_entry &value = key->values[index];
    if (name != nullptr) {
        *name = value.name;
    }
    if (type != nullptr) {
        *type = value.type;
    }
    if (data != nullptr) {
        *data = value.data;
    }
    return STATUS_SUCCESS;
}

NTSTATUS registry_query_key(const registry_key &key, registry_key_info *info)
{
    std::lock_guard guard(store().lock);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    registry_key_info result;
    result.subkeys = static_cast<ULONG>(key->children.size());
    for (const registry_key &child : key->children) {
        result.max_subkey_name = std::max(result.max_subkey_name, static_cast<ULONG>(child->name.size()));
    }
    result.values = static_cast<ULONG>(key->values.size());
    for (const value_entry &value : key->values) {
        result.max_value_name = std::max(result.max_value_name, static_cast<ULONG>(value.name.size()));
        result.max_value_data = std::max(result.max_value_data, static_cast<ULONG>(value.data.size()));
    }
    result.last_write_time = key->last_write;
    *info = result;
    return STATUS_SUCCESS;
}

std::wstring registry_key_name(const registry_key &key)
{
    std::lock_guard guard(store().lock);
    return key->name;
}

std::wstring registry_key_path(const registry_key &key)
{
    std::lock_guard guard(store().lock);
    std::wstring path;
    registry_node *n = key.get();
    for (; n != nullptr && n->parent != nullptr; n = n->parent) {
        path.insert(0, L"\\" + n->name);
    }
    return n != nullptr && !key->deleted ? L"\\REGISTRY" + path : path;
}

bool registry_key_deleted(const registry_key &key)
{
    std::lock_guard guard(store().lock);
    return key->deleted;
}

NTSTATUS registry_watch_add(const registry_key &key, bool subtree, ULONG filter, std::function<void()> fire,
                            registry_watch_id *id)
{
    if (filter == 0 || (filter & ~legal_filter) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(store().lock);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    store_state &s = store();
    registry_watch_id new_id = s.next_watch_id++;
    key->watches.push_back(watch_entry{new_id, subtree, filter, std::move(fire)});
    s.watch_nodes[new_id] = key;
    *id = new_id;
    return STATUS_SUCCESS;
}

bool registry_watch_cancel(registry_watch_id id, bool fire_now)
{
    std::function<void()> fire;
    {
        std::lock_guard guard(store().lock);
        store_state &s = store();
        auto found = s.watch_nodes.find(id);
        if (found == s.watch_nodes.end()) {
            return false;
        }
        registry_key node = found->second.lock();
        s.watch_nodes.erase(found);
        if (!node) {
            return false;
        }
        auto &watches = node->watches;
        auto it = std::find_if(watches.begin(), watches.end(), [&](const watch_entry &w) { return w.id == id; });
        if (it == watches.end()) {
            return false;
        }
        fire = std::move(it->fire);
        watches.erase(it);
    }
    if (fire_now && fire) {
        fire();
    }
    return true;
}

bool registry_delete_tree(std::wstring_view path)
{
    registry_key top;
    if (!NT_SUCCESS(registry_open(nullptr, path, registry_view::native, &top))) {
        return false;
    }
    std::vector<registry_key> order{top};
    for (size_t i = 0; i < order.size(); ++i) {
        std::lock_guard guard(store().lock);
        order.insert(order.end(), order[i]->children.begin(), order[i]->children.end());
    }
    bool all = true;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        all = NT_SUCCESS(registry_delete_key(*it)) && all;
    }
    return all;
}

} // namespace platform
