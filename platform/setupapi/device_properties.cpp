// Device registry properties, instance IDs and device registry keys of a device information
// set's devices. Properties come from the PnP manager's node of the device; what the node
// leaves empty is read from the device's Enum key, where device setup records it.
#include "device_info_set.h"
#include <windows.h>
#include <platform/pnp.h>
#include <platform/registry.h>
#include <cstring>
#include <cwctype>

namespace platform {
namespace {

constexpr const WCHAR *enum_root = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

struct property_source {
    DWORD property;
    const WCHAR *enum_value; // the value of the Enum key that holds it
    DWORD type;
};

constexpr property_source g_sources[] = {
    {SPDRP_DEVICEDESC, L"DeviceDesc", REG_SZ},         {SPDRP_HARDWAREID, L"HardwareID", REG_MULTI_SZ},
    {SPDRP_COMPATIBLEIDS, L"CompatibleIDs", REG_MULTI_SZ}, {SPDRP_SERVICE, L"Service", REG_SZ},
    {SPDRP_CLASS, L"Class", REG_SZ},                   {SPDRP_CLASSGUID, L"ClassGUID", REG_SZ},
    {SPDRP_DRIVER, L"Driver", REG_SZ},                 {SPDRP_MFG, L"Mfg", REG_SZ},
    {SPDRP_FRIENDLYNAME, L"FriendlyName", REG_SZ},     {SPDRP_LOCATION_INFORMATION, L"LocationInformation", REG_SZ},
    {SPDRP_ENUMERATOR_NAME, nullptr, REG_SZ},
};

void store_text(const std::wstring &text, bool multi, std::vector<BYTE> *data)
{
    std::wstring value = text;
    value.push_back(L'\0');
    if (multi) {
        value.push_back(L'\0');
    }
    data->resize(value.size() * sizeof(WCHAR));
    std::memcpy(data->data(), value.data(), data->size());
}

std::wstring join_multi(const std::vector<std::wstring> &items)
{
    std::wstring text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += items[i];
        if (i + 1 < items.size()) {
            text.push_back(L'\0');
        }
    }
    return text;
}

// The node's own value of a property; empty when the node does not carry it.
std::wstring node_value(const device_node &node, DWORD property)
{
    switch (property) {
    case SPDRP_DEVICEDESC:
        return node.description;
    case SPDRP_HARDWAREID:
        return join_multi(node.hardware_ids);
    case SPDRP_COMPATIBLEIDS:
        return join_multi(node.compatible_ids);
    case SPDRP_SERVICE:
        return node.service;
    case SPDRP_MFG:
        return node.manufacturer;
    case SPDRP_FRIENDLYNAME:
        return node.friendly_name;
    default:
        return std::wstring();
    }
}

} // namespace

DWORD devinfo_property(const std::wstring &instance_id, DWORD property, DWORD *type, std::vector<BYTE> *data)
{
    const property_source *source = nullptr;
    for (const auto &entry : g_sources) {
        if (entry.property == property) {
            source = &entry;
        }
    }
    if (property >= SPDRP_MAXIMUM_PROPERTY) {
        return ERROR_INVALID_REG_PROPERTY;
    }
    if (source == nullptr) {
        return ERROR_INVALID_DATA;
    }
    bool known = false;
    std::wstring text;
    pnp_lock();
    if (const device_node *node = pnp_node_by_instance(instance_id)) {
        known = true;
        text = node_value(*node, property);
    }
    pnp_unlock();
    const std::wstring enum_key = enum_root + instance_id;
    known = known || registry_key_exists(enum_key);
    if (!known) {
        return ERROR_NO_SUCH_DEVINST;
    }
    *type = source->type;
    if (property == SPDRP_ENUMERATOR_NAME) {
        text = instance_id.substr(0, instance_id.find(L'\\'));
    }
    if (!text.empty()) {
        store_text(text, source->type == REG_MULTI_SZ, data);
        return ERROR_SUCCESS;
    }
    ULONG stored_type = 0;
    if (source->enum_value != nullptr && registry_read_value(enum_key, source->enum_value, &stored_type, data) &&
        !data->empty()) {
        *type = stored_type;
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_DATA;
}

} // namespace platform

using namespace platform;

namespace {

// The instance ID of the member DeviceInfoData names; false with the last error set.
bool member_instance(HDEVINFO set_handle, const SP_DEVINFO_DATA *data, std::wstring *instance_id)
{
    return with_device_info_set(set_handle, [&](device_info_set &set) {
        size_t index = 0;
        const DWORD error = devinfo_find_device(set, data, &index);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return false;
        }
        *instance_id = set.devices[index].instance_id;
        return true;
    });
}

} // namespace

extern "C" {

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    std::wstring instance_id;
    if (!member_instance(DeviceInfoSet, DeviceInfoData, &instance_id)) {
        return FALSE;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD type = 0;
    std::vector<BYTE> data;
    const DWORD error = devinfo_property(instance_id, Property, &type, &data);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = type;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = (DWORD)data.size();
    }
    if (PropertyBufferSize < data.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(PropertyBuffer, data.data(), data.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    std::wstring instance_id;
    if (!member_instance(DeviceInfoSet, DeviceInfoData, &instance_id)) {
        return FALSE;
    }
    if (DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const DWORD required = (DWORD)instance_id.size() + 1;
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInstanceIdSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, instance_id.c_str(), required * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                                 DWORD KeyType, REGSAM samDesired)
{
    std::wstring instance_id;
    if (!member_instance(DeviceInfoSet, DeviceInfoData, &instance_id)) {
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
        (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    const std::wstring path =
        KeyType == DIREG_DEV ? registry_device_key_path(instance_id) : registry_driver_key_path(instance_id);
    const std::wstring machine = L"\\Registry\\Machine\\";
    HKEY key = nullptr;
    bool under_machine = path.size() > machine.size();
    for (size_t i = 0; under_machine && i < machine.size(); ++i) {
        under_machine = std::towlower((wint_t)path[i]) == std::towlower((wint_t)machine[i]);
    }
    if (!under_machine ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str() + machine.size(), 0,
                      (samDesired & ~(REGSAM)KEY_WOW64_32KEY) | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    SetLastError(ERROR_SUCCESS);
    return key;
}

} // extern "C"
