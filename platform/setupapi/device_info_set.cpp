// Device information sets: the table of open sets, their creation from the machine's device
// nodes and device interfaces, device members, destruction (also when the owning process ends),
// and the device instance numbers.
#include "device_info_set.h"
#include <windows.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/process.h>
#include <platform/registry.h>
#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

namespace platform {
namespace {

std::recursive_mutex g_lock;
std::map<ULONG_PTR, std::unique_ptr<device_info_set>> g_sets;
ULONG_PTR g_next_handle = 0x5e700;
std::map<std::wstring, DEVINST> g_devinst_by_instance; // keyed by the lower-case instance ID
std::vector<std::wstring> g_instance_by_devinst;         // devinst n at index n - 1

std::wstring lower(std::wstring text)
{
    for (auto &c : text) {
        c = (WCHAR)std::towlower((wint_t)c);
    }
    return text;
}

void reset()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    g_sets.clear();
    g_devinst_by_instance.clear();
    g_instance_by_devinst.clear();
}

machine_hooks g_hooks("setupapi", reset, reset);

// A process's sets are its memory: they go with it.
process_end_hook g_end_hook("setupapi", [](process *p) {
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    for (auto it = g_sets.begin(); it != g_sets.end();) {
        it = it->second->owner == p ? g_sets.erase(it) : std::next(it);
    }
});

HDEVINFO insert_set(std::unique_ptr<device_info_set> set)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    set->owner = process_current();
    const ULONG_PTR value = g_next_handle;
    g_next_handle += 8;
    g_sets[value] = std::move(set);
    return reinterpret_cast<HDEVINFO>(value);
}

size_t add_device(device_info_set &set, const std::wstring &instance_id)
{
    for (size_t i = 0; i < set.devices.size(); ++i) {
        if (lower(set.devices[i].instance_id) == lower(instance_id)) {
            return i;
        }
    }
    devinfo_device device;
    device.devinst = devinfo_devinst_of(instance_id);
    device.instance_id = instance_id;
    device.class_guid = devinfo_setup_class(instance_id);
    set.devices.push_back(std::move(device));
    return set.devices.size() - 1;
}

// An enumerator filter names the enumerator ("USB") or, for interfaces, one device instance.
bool enumerator_matches(PCWSTR enumerator, const std::wstring &instance_id, bool allow_instance)
{
    if (enumerator == nullptr || *enumerator == L'\0') {
        return true;
    }
    const std::wstring wanted = lower(enumerator);
    const std::wstring id = lower(instance_id);
    if (allow_instance && id == wanted) {
        return true;
    }
    return id.substr(0, id.find(L'\\')) == wanted;
}

// Every interface class the machine has seen an interface of. The PnP manager lists interfaces
// per class; the classes are taken from its arrival record.
std::vector<GUID> known_interface_classes()
{
    std::vector<GUID> classes;
    for (const auto &event : pnp_interface_events()) {
        if (std::find(classes.begin(), classes.end(), event.class_guid) == classes.end()) {
            classes.push_back(event.class_guid);
        }
    }
    return classes;
}

void add_interfaces(device_info_set &set, const GUID &class_guid, PCWSTR enumerator, bool present_only)
{
    for (const auto &entry : pnp_interfaces(class_guid, present_only)) {
        if (!enumerator_matches(enumerator, entry.instance_id, true)) {
            continue;
        }
        devinfo_interface item;
        item.class_guid = entry.class_guid;
        item.path = entry.user_path;
        item.device = add_device(set, entry.instance_id);
        pnp_lock();
        const device_node *node = pnp_node_by_instance(entry.instance_id);
        const bool removed = node == nullptr || node->removed;
        pnp_unlock();
        item.flags = (entry.enabled ? SPINT_ACTIVE : 0) | (removed ? SPINT_REMOVED : 0);
        set.interfaces.push_back(std::move(item));
    }
}

void add_devices(device_info_set &set, const GUID *class_guid, PCWSTR enumerator, bool present_only)
{
    std::vector<std::wstring> ids;
    pnp_lock();
    for (const device_node *node : pnp_nodes()) {
        if ((!present_only || !node->removed) && enumerator_matches(enumerator, node->instance_id, false)) {
            ids.push_back(node->instance_id);
        }
    }
    pnp_unlock();
    std::sort(ids.begin(), ids.end(), [](const std::wstring &a, const std::wstring &b) { return lower(a) < lower(b); });
    for (const auto &id : ids) {
        if (class_guid == nullptr || devinfo_setup_class(id) == *class_guid) {
            add_device(set, id);
        }
    }
}

bool parse_guid(const std::wstring &text, GUID *guid)
{
    unsigned int d[11] = {};
    WCHAR close = 0;
    if (text.size() != 38 ||
        std::swscanf(text.c_str(), L"{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%lc", &d[0], &d[1], &d[2], &d[3], &d[4],
                     &d[5], &d[6], &d[7], &d[8], &d[9], &d[10], &close) != 12 ||
        close != L'}') {
        return false;
    }
    guid->Data1 = d[0];
    guid->Data2 = (USHORT)d[1];
    guid->Data3 = (USHORT)d[2];
    for (int i = 0; i < 8; ++i) {
        guid->Data4[i] = (UCHAR)d[3 + i];
    }
    return true;
}

} // namespace

bool devinfo_lock_set(HDEVINFO handle, device_info_set **set)
{
    g_lock.lock();
    auto it = g_sets.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == g_sets.end()) {
        g_lock.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *set = it->second.get();
    return true;
}

void devinfo_unlock()
{
    g_lock.unlock();
}

DWORD devinfo_find_device(const device_info_set &set, const SP_DEVINFO_DATA *data, size_t *index)
{
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    const ULONG_PTR slot = data->Reserved;
    if (slot == 0 || slot > set.devices.size() || set.devices[slot - 1].devinst != data->DevInst) {
        return ERROR_INVALID_PARAMETER;
    }
    *index = slot - 1;
    return ERROR_SUCCESS;
}

void devinfo_fill(const device_info_set &set, size_t index, SP_DEVINFO_DATA *data)
{
    data->ClassGuid = set.devices[index].class_guid;
    data->DevInst = set.devices[index].devinst;
    data->Reserved = index + 1;
}

DEVINST devinfo_devinst_of(const std::wstring &instance_id)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto [it, inserted] = g_devinst_by_instance.try_emplace(lower(instance_id), 0);
    if (inserted) {
        g_instance_by_devinst.push_back(instance_id);
        it->second = (DEVINST)g_instance_by_devinst.size();
    }
    return it->second;
}

bool devinfo_instance_of(DEVINST devinst, std::wstring *instance_id)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (devinst == 0 || devinst > g_instance_by_devinst.size()) {
        return false;
    }
    *instance_id = g_instance_by_devinst[devinst - 1];
    return true;
}

GUID devinfo_setup_class(const std::wstring &instance_id)
{
    ULONG type = 0;
    std::vector<BYTE> data;
    GUID guid = GUID_NULL;
    if (!registry_read_value(L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance_id, L"ClassGUID",
                             &type, &data) ||
        type != REG_SZ) {
        return guid;
    }
    std::wstring text(reinterpret_cast<const WCHAR *>(data.data()), data.size() / sizeof(WCHAR));
    text = text.substr(0, text.find(L'\0'));
    if (!parse_guid(text, &guid)) {
        guid = GUID_NULL;
    }
    return guid;
}

ULONG devinfo_open_set_count()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return (ULONG)g_sets.size();
}

} // namespace platform

using namespace platform;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags)
{
    const bool all_classes = (Flags & DIGCF_ALLCLASSES) != 0;
    const bool present_only = (Flags & DIGCF_PRESENT) != 0;
    if (!all_classes && ClassGuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<device_info_set>();
    if (!all_classes && (Flags & DIGCF_DEVICEINTERFACE) == 0) {
        set->has_class = true;
        set->class_guid = *ClassGuid;
    }
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0) {
        const std::vector<GUID> classes = all_classes ? known_interface_classes() : std::vector<GUID>{*ClassGuid};
        for (const GUID &class_guid : classes) {
            add_interfaces(*set, class_guid, Enumerator, present_only);
        }
    } else {
        add_devices(*set, all_classes ? nullptr : ClassGuid, Enumerator, present_only);
    }
    HDEVINFO handle = insert_set(std::move(set));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND)
{
    auto set = std::make_unique<device_info_set>();
    if (ClassGuid != nullptr) {
        set->has_class = true;
        set->class_guid = *ClassGuid;
    }
    HDEVINFO handle = insert_set(std::move(set));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD,
                                   PSP_DEVINFO_DATA DeviceInfoData)
{
    return with_device_info_set(DeviceInfoSet, [&](device_info_set &set) {
        if (DeviceInstanceId == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return false;
        }
        std::wstring instance_id;
        pnp_lock();
        const device_node *node = pnp_node_by_instance(DeviceInstanceId);
        if (node != nullptr) {
            instance_id = node->instance_id;
        }
        pnp_unlock();
        if (instance_id.empty()) {
            SetLastError(ERROR_NO_SUCH_DEVINST);
            return false;
        }
        const size_t index = add_device(set, instance_id);
        if (set.has_class && set.devices[index].class_guid != set.class_guid) {
            set.devices.erase(set.devices.begin() + (std::ptrdiff_t)index);
            SetLastError(ERROR_INVALID_CLASS);
            return false;
        }
        if (DeviceInfoData != nullptr) {
            devinfo_fill(set, index, DeviceInfoData);
        }
        SetLastError(ERROR_SUCCESS);
        return true;
    });
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (g_sets.erase(reinterpret_cast<ULONG_PTR>(DeviceInfoSet)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    return with_device_info_set(DeviceInfoSet, [&](device_info_set &set) {
        if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(DeviceInfoData == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
            return false;
        }
        if (MemberIndex >= set.devices.size()) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return false;
        }
        devinfo_fill(set, MemberIndex, DeviceInfoData);
        SetLastError(ERROR_SUCCESS);
        return true;
    });
}

} // extern "C"
