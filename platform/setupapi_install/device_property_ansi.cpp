// SetupDiGetDeviceRegistryPropertyA on device setup's sets: the device node's properties as
// 8-bit text, REG_SZ or REG_MULTI_SZ.
#include "install_sets.h"
#include <platform/pnp.h>
#include <cstring>

using namespace platform;

namespace {

std::string narrow(const std::wstring &text)
{
    std::string result;
    for (WCHAR c : text) {
        result.push_back(c >= 0 && c < 0x80 ? (char)c : '?');
    }
    return result;
}

// The property's bytes and type; false when the device does not have it. Takes pnp_lock.
bool read_property(const std::wstring &instance_id, DWORD property, std::string *bytes, DWORD *type, DWORD *error)
{
    bool found = false;
    pnp_lock();
    const device_node *node = pnp_node_by_instance(instance_id);
    if (node == nullptr) {
        *error = ERROR_NO_SUCH_DEVINST;
    } else if (property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS) {
        const std::vector<std::wstring> &ids = property == SPDRP_HARDWAREID ? node->hardware_ids : node->compatible_ids;
        for (const std::wstring &id : ids) {
            bytes->append(narrow(id));
            bytes->push_back('\0');
        }
        bytes->push_back('\0');
        *type = REG_MULTI_SZ;
        found = !ids.empty();
        *error = found ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    } else {
        const std::wstring *text = nullptr;
        switch (property) {
        case SPDRP_DEVICEDESC: text = &node->description; break;
        case SPDRP_SERVICE: text = &node->service; break;
        case SPDRP_MFG: text = &node->manufacturer; break;
        case SPDRP_FRIENDLYNAME: text = &node->friendly_name; break;
        default: break;
        }
        if (text == nullptr) {
            *error = ERROR_INVALID_REG_PROPERTY;
        } else {
            *bytes = narrow(*text);
            bytes->push_back('\0');
            *type = REG_SZ;
            found = !text->empty();
            *error = found ? ERROR_SUCCESS : ERROR_INVALID_DATA;
        }
    }
    pnp_unlock();
    return found;
}

} // namespace

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    std::wstring instance_id;
    {
        std::lock_guard<std::mutex> guard(install_set_lock());
        install_set *set = install_set_find_locked(DeviceInfoSet);
        if (set == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // The property call names its device; it cannot fall back to the set's.
        const DWORD error = DeviceInfoData == nullptr ? (DWORD)ERROR_INVALID_PARAMETER
                                                      : install_set_check_device_locked(*set, DeviceInfoData);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
        instance_id = set->instance_id;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::string bytes;
    DWORD type = REG_NONE;
    DWORD error = ERROR_SUCCESS;
    if (!read_property(instance_id, Property, &bytes, &type, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = (DWORD)bytes.size();
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = type;
    }
    if (bytes.size() > PropertyBufferSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return TRUE;
}
