// The machine's audio endpoints: adding and removing them, their registry properties, the
// default endpoint per flow, the registered notification clients and the notification thread.
#include "mmdevapi_private.h"

#include <algorithm>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <audiopolicy.h>
#include <objbase.h>
#include <winreg.h>
#include <platform/machine_state.h>
#include <platform/thread.h>

namespace platform::mmdev {
namespace {

constexpr const WCHAR *k_endpoint_root = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\";
// The endpoint property that holds the device path of the device behind the endpoint.
constexpr const WCHAR *k_device_path_value = L"{b3f8fa53-0004-438e-9003-51a46e139bfc},2";
constexpr const WCHAR *k_description_value = L"{a45c254e-df1c-4efd-8020-67d146a850e0},2";
constexpr const WCHAR *k_interface_name_value = L"{026e516e-b814-414b-83cd-856d6fef4822},2";

struct table_state {
    std::vector<std::shared_ptr<endpoint>> endpoints;
    std::wstring default_id[2];
    std::vector<IMMNotificationClient *> notification_clients;
};

table_state &table()
{
    static table_state instance;
    return instance;
}

struct notifier_state {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> queue;
    bool busy = false;
    bool stopping = false;
    platform::thread *worker = nullptr;
};

notifier_state &notifier()
{
    static notifier_state instance;
    return instance;
}

void notifier_loop()
{
    platform::current_thread()->service = true;
    notifier_state &n = notifier();
    std::unique_lock<std::mutex> guard(n.lock);
    for (;;) {
        n.changed.wait(guard, [&] { return n.stopping || !n.queue.empty(); });
        if (n.queue.empty()) {
            break;
        }
        std::function<void()> call = std::move(n.queue.front());
        n.queue.pop_front();
        n.busy = true;
        guard.unlock();
        call();
        guard.lock();
        n.busy = false;
        n.changed.notify_all();
    }
}

void stop_notifier()
{
    notifier_state &n = notifier();
    platform::thread *worker = nullptr;
    {
        std::lock_guard<std::mutex> guard(n.lock);
        n.stopping = true;
        worker = n.worker;
        n.worker = nullptr;
        n.changed.notify_all();
    }
    if (worker != nullptr) {
        DISPATCHER_HEADER *header = &worker->header;
        dispatcher_wait(1, &header, false, nullptr, false);
        thread_dereference(worker);
    }
    std::lock_guard<std::mutex> guard(n.lock);
    n.queue.clear();
    n.stopping = false;
}

void write_string(HKEY key, const WCHAR *name, const std::wstring &text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

std::wstring endpoint_key_path(const endpoint &ep)
{
    return std::wstring(k_endpoint_root) + (ep.desc.flow == audio_flow::render ? L"Render\\" : L"Capture\\") +
           ep.guid_text;
}

void write_state(const endpoint &ep, DWORD state)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, endpoint_key_path(ep).c_str(), 0, nullptr, 0,
                        KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"DeviceState", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&state), sizeof(state));
        RegCloseKey(key);
    }
}

void write_properties(const endpoint &ep)
{
    const std::wstring path = endpoint_key_path(ep) + L"\\Properties";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    write_string(key, k_device_path_value, ep.desc.device_path);
    write_string(key, k_description_value, ep.desc.description);
    write_string(key, k_interface_name_value, ep.desc.interface_name);
    RegCloseKey(key);
    write_state(ep, DEVICE_STATE_ACTIVE);
}

// Queues fn for each registered notification client, each holding a reference until delivered.
void notify_clients(const std::function<void(IMMNotificationClient *)> &fn)
{
    std::vector<IMMNotificationClient *> clients;
    {
        std::lock_guard<std::mutex> guard(table_lock());
        clients = table().notification_clients;
        for (IMMNotificationClient *client : clients) {
            client->AddRef();
        }
    }
    for (IMMNotificationClient *client : clients) {
        post_notification([client, fn] {
            fn(client);
            client->Release();
        });
    }
}

// Takes every client off the endpoint; table_lock is held.
void invalidate_clients_locked(endpoint &ep, ULONG reason)
{
    std::vector<audio_client *> clients = ep.clients;
    for (audio_client *client : clients) {
        invalidate_client(client, reason);
    }
    ep.exclusive_owner = nullptr;
}

void reset_table()
{
    stop_notifier();
    std::vector<IMMNotificationClient *> clients;
    std::vector<std::shared_ptr<endpoint>> endpoints;
    {
        std::lock_guard<std::mutex> guard(table_lock());
        for (auto &ep : table().endpoints) {
            invalidate_clients_locked(*ep, DisconnectReasonServerShutdown);
        }
        endpoints.swap(table().endpoints);
        clients.swap(table().notification_clients);
        table().default_id[0].clear();
        table().default_id[1].clear();
    }
    // Sessions' notices posted while invalidating are dropped with the queue.
    stop_notifier();
    for (IMMNotificationClient *client : clients) {
        client->Release();
    }
}

bool same_text_ignoring_case(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](WCHAR x, WCHAR y) { return towlower(x) == towlower(y); });
}

const machine_hooks g_hooks("mmdevapi", reset_table, reset_table);

} // namespace

std::mutex &table_lock()
{
    static std::mutex lock;
    return lock;
}

std::shared_ptr<endpoint> find_endpoint(const std::wstring &id)
{
    std::lock_guard<std::mutex> guard(table_lock());
    for (auto &ep : table().endpoints) {
        if (same_text_ignoring_case(ep->id, id)) {
            return ep;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<endpoint>> list_endpoints(EDataFlow flow, DWORD state_mask)
{
    std::vector<std::shared_ptr<endpoint>> result;
    std::lock_guard<std::mutex> guard(table_lock());
    for (auto &ep : table().endpoints) {
        const bool flow_matches = flow == eAll || static_cast<EDataFlow>(ep->desc.flow) == flow;
        if (flow_matches && (ep->state & state_mask) != 0) {
            result.push_back(ep);
        }
    }
    return result;
}

std::shared_ptr<endpoint> default_endpoint(EDataFlow flow)
{
    std::lock_guard<std::mutex> guard(table_lock());
    std::shared_ptr<endpoint> first;
    for (auto &ep : table().endpoints) {
        if (static_cast<EDataFlow>(ep->desc.flow) != flow || ep->state != DEVICE_STATE_ACTIVE) {
            continue;
        }
        if (ep->id == table().default_id[flow]) {
            return ep;
        }
        if (!first) {
            first = ep;
        }
    }
    return first;
}

void post_notification(std::function<void()> call)
{
    notifier_state &n = notifier();
    std::lock_guard<std::mutex> guard(n.lock);
    if (n.stopping) {
        return;
    }
    n.queue.push_back(std::move(call));
    if (n.worker == nullptr) {
        n.worker = thread_start(notifier_loop, nullptr, false);
    }
    n.changed.notify_all();
}

void register_notification_client(IMMNotificationClient *client)
{
    client->AddRef();
    std::lock_guard<std::mutex> guard(table_lock());
    table().notification_clients.push_back(client);
}

bool unregister_notification_client(IMMNotificationClient *client)
{
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(table_lock());
        auto &clients = table().notification_clients;
        auto it = std::find(clients.begin(), clients.end(), client);
        if (it != clients.end()) {
            clients.erase(it);
            found = true;
        }
    }
    if (found) {
        client->Release();
    }
    return found;
}

LPWSTR task_string(const std::wstring &text)
{
    auto *copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy != nullptr) {
        wmemcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

std::wstring guid_text_lower(const GUID &guid)
{
    WCHAR text[CHARS_IN_GUID] = {};
    StringFromGUID2(guid, text, CHARS_IN_GUID);
    std::wstring result(text);
    for (WCHAR &c : result) {
        c = static_cast<WCHAR>(towlower(c));
    }
    return result;
}

} // namespace platform::mmdev

namespace platform {

using namespace mmdev;

std::wstring audio_endpoint_add(const audio_endpoint_desc &desc)
{
    if (desc.formats.empty()) {
        return {};
    }
    auto ep = std::make_shared<endpoint>();
    ep->desc = desc;
    ep->guid_text = guid_text_lower(desc.guid);
    ep->id = std::wstring(desc.flow == audio_flow::render ? L"{0.0.0.00000000}." : L"{0.0.1.00000000}.") + ep->guid_text;
    {
        std::lock_guard<std::mutex> guard(table_lock());
        auto &endpoints = table().endpoints;
        auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const auto &e) { return e->id == ep->id; });
        if (it == endpoints.end()) {
            endpoints.push_back(ep);
        } else if ((*it)->state == DEVICE_STATE_ACTIVE) {
            return {};
        } else {
            // A returning endpoint keeps its place in the enumeration order, as its registry
            // key keeps its name.
            *it = ep;
        }
    }
    write_properties(*ep);
    const std::wstring id = ep->id;
    notify_clients([id](IMMNotificationClient *client) { client->OnDeviceAdded(id.c_str()); });
    notify_clients([id](IMMNotificationClient *client) { client->OnDeviceStateChanged(id.c_str(), DEVICE_STATE_ACTIVE); });
    return id;
}

bool audio_endpoint_remove(const std::wstring &id)
{
    std::shared_ptr<endpoint> ep = find_endpoint(id);
    // The backend goes with the device; it is released here, outside the table lock. Clients
    // already initialised keep their own streams until they are released.
    std::shared_ptr<audio_endpoint_backend> backend;
    {
        std::lock_guard<std::mutex> guard(table_lock());
        if (!ep || ep->state != DEVICE_STATE_ACTIVE) {
            return false;
        }
        ep->state = DEVICE_STATE_NOTPRESENT;
        invalidate_clients_locked(*ep, DisconnectReasonDeviceRemoval);
        backend.swap(ep->desc.backend);
    }
    backend.reset();
    write_state(*ep, DEVICE_STATE_NOTPRESENT);
    const std::wstring endpoint_id = ep->id;
    notify_clients([endpoint_id](IMMNotificationClient *client) {
        client->OnDeviceStateChanged(endpoint_id.c_str(), DEVICE_STATE_NOTPRESENT);
    });
    return true;
}

bool audio_endpoint_disconnect(const std::wstring &id, ULONG reason)
{
    std::shared_ptr<endpoint> ep = find_endpoint(id);
    std::lock_guard<std::mutex> guard(table_lock());
    if (!ep || ep->state != DEVICE_STATE_ACTIVE) {
        return false;
    }
    invalidate_clients_locked(*ep, reason);
    return true;
}

bool audio_endpoint_set_default(const std::wstring &id)
{
    std::shared_ptr<endpoint> ep = find_endpoint(id);
    {
        std::lock_guard<std::mutex> guard(table_lock());
        if (!ep || ep->state != DEVICE_STATE_ACTIVE) {
            return false;
        }
        table().default_id[static_cast<ULONG>(ep->desc.flow)] = ep->id;
    }
    const EDataFlow flow = static_cast<EDataFlow>(ep->desc.flow);
    const std::wstring endpoint_id = ep->id;
    for (ERole role : {eConsole, eMultimedia, eCommunications}) {
        notify_clients([flow, role, endpoint_id](IMMNotificationClient *client) {
            client->OnDefaultDeviceChanged(flow, role, endpoint_id.c_str());
        });
    }
    return true;
}

ULONG audio_endpoint_client_count(const std::wstring &id)
{
    std::shared_ptr<endpoint> ep = find_endpoint(id);
    std::lock_guard<std::mutex> guard(table_lock());
    return ep ? static_cast<ULONG>(ep->clients.size()) : 0;
}

bool audio_endpoint_in_exclusive_use(const std::wstring &id)
{
    std::shared_ptr<endpoint> ep = find_endpoint(id);
    std::lock_guard<std::mutex> guard(table_lock());
    return ep && ep->exclusive_owner != nullptr;
}

void audio_notifications_drain()
{
    notifier_state &n = notifier();
    std::unique_lock<std::mutex> guard(n.lock);
    n.changed.wait(guard, [&] { return n.queue.empty() && !n.busy; });
}

} // namespace platform
