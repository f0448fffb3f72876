// Machine-level registry settings beside the store: the current user, the per-process default
// view, the device-key paths and the PnP resolver, and the helpers tests use to seed and read
// values by absolute path.
#include <map>
#include <mutex>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/registry.h>

namespace platform {

namespace {

// The class key of sound, video and game controllers, under which audio drivers' software
// keys live.
constexpr const WCHAR *media_class_key =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}";

struct machine_settings {
    std::mutex lock;
    std::wstring current_user = registry_default_user_sid;
    std::map<process *, registry_view> process_views;
    std::vector<std::wstring> driver_instances; // index = software key number
    std::function<bool(_DEVICE_OBJECT *, std::wstring *)> resolver;
};

machine_settings &settings()
{
    static machine_settings *s = new machine_settings;
    return *s;
}

void on_boot()
{
    machine_settings &s = settings();
    std::lock_guard guard(s.lock);
    s.current_user = registry_default_user_sid;
    s.process_views.clear();
    s.driver_instances.clear();
}

machine_hooks hooks("registry settings", on_boot, on_boot);

} // namespace

void registry_set_current_user(std::wstring_view sid)
{
    registry_key hive;
    bool created = false;
    registry_create(nullptr, L"\\Registry\\User\\" + std::wstring(sid) + L"\\Software", registry_view::native, true,
                    false, &hive, &created);
    std::lock_guard guard(settings().lock);
    settings().current_user.assign(sid);
}

std::wstring registry_current_user()
{
    std::lock_guard guard(settings().lock);
    return settings().current_user;
}

void registry_set_process_view(process *p, registry_view view)
{
    std::lock_guard guard(settings().lock);
    if (view == registry_view::native) {
        settings().process_views.erase(p);
    } else {
        settings().process_views[p] = view;
    }
}

registry_view registry_process_view(process *p)
{
    std::lock_guard guard(settings().lock);
    auto found = settings().process_views.find(p);
    return found == settings().process_views.end() ? registry_view::native : found->second;
}

std::wstring registry_device_key_path(std::wstring_view instance_id)
{
    return L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + std::wstring(instance_id) +
           L"\\Device Parameters";
}

std::wstring registry_driver_key_path(std::wstring_view instance_id)
{
    machine_settings &s = settings();
    std::lock_guard guard(s.lock);
    size_t index = 0;
    while (index < s.driver_instances.size() && s.driver_instances[index] != instance_id) {
        ++index;
    }
    if (index == s.driver_instances.size()) {
        s.driver_instances.emplace_back(instance_id);
    }
    WCHAR number[8];
    swprintf(number, sizeof(number) / sizeof(number[0]), L"%04u", static_cast<unsigned>(index));
    return std::wstring(media_class_key) + L"\\" + number;
}

void registry_set_instance_resolver(std::function<bool(_DEVICE_OBJECT *, std::wstring *)> resolver)
{
    std::lock_guard guard(settings().lock);
    settings().resolver = std::move(resolver);
}

bool registry_resolve_instance(_DEVICE_OBJECT *pdo, std::wstring *instance_id)
{
    std::function<bool(_DEVICE_OBJECT *, std::wstring *)> resolver;
    {
        std::lock_guard guard(settings().lock);
        resolver = settings().resolver;
    }
    if (resolver) {
        return resolver(pdo, instance_id);
    }
    pnp_lock();
    const device_node *node = pnp_node_of(pdo);
    const bool found = node != nullptr && !node->instance_id.empty();
    if (found) {
        *instance_id = node->instance_id;
    }
    pnp_unlock();
    return found;
}

void registry_forget_process(process *p)
{
    std::lock_guard guard(settings().lock);
    settings().process_views.erase(p);
}

bool registry_seed_value(std::wstring_view path, std::wstring_view name, ULONG type, const void *data, ULONG size)
{
    registry_key key;
    bool created = false;
    return NT_SUCCESS(registry_create(nullptr, path, registry_view::native, true, false, &key, &created)) &&
           NT_SUCCESS(registry_set_value(key, name, type, data, size));
}

bool registry_seed_dword(std::wstring_view path, std::wstring_view name, DWORD value)
{
    return registry_seed_value(path, name, REG_DWORD, &value, sizeof(value));
}

bool registry_seed_string(std::wstring_view path, std::wstring_view name, std::wstring_view value)
{
    std::wstring text(value);
    return registry_seed_value(path, name, REG_SZ, text.c_str(),
                               static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR)));
}

bool registry_read_value(std::wstring_view path, std::wstring_view name, ULONG *type, std::vector<BYTE> *data)
{
    registry_key key;
    return NT_SUCCESS(registry_open(nullptr, path, registry_view::native, &key)) &&
           NT_SUCCESS(registry_query_value(key, name, type, data));
}

bool registry_read_dword(std::wstring_view path, std::wstring_view name, DWORD *value)
{
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    if (!registry_read_value(path, name, &type, &data) || type != REG_DWORD || data.size() != sizeof(DWORD)) {
        return false;
    }
    std::copy(data.begin(), data.end(), reinterpret_cast<BYTE *>(value));
    return true;
}

bool registry_key_exists(std::wstring_view path)
{
    registry_key key;
    return NT_SUCCESS(registry_open(nullptr, path, registry_view::native, &key));
}

} // namespace platform
