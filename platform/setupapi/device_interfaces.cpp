// Device interfaces of a device information set: enumeration by class (optionally of one
// device) and the interface detail with the path user mode opens.
#include "device_info_set.h"
#include <windows.h>
#include <cstddef>
#include <cstring>

using namespace platform;

namespace {

DWORD find_interface(const device_info_set &set, const SP_DEVICE_INTERFACE_DATA *data, size_t *index)
{
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    const ULONG_PTR slot = data->Reserved;
    if (slot == 0 || slot > set.interfaces.size() || set.interfaces[slot - 1].class_guid != data->InterfaceClassGuid) {
        return ERROR_INVALID_PARAMETER;
    }
    *index = slot - 1;
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    return with_device_info_set(DeviceInfoSet, [&](device_info_set &set) {
        if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return false;
        }
        size_t device = 0;
        if (DeviceInfoData != nullptr) {
            const DWORD error = devinfo_find_device(set, DeviceInfoData, &device);
            if (error != ERROR_SUCCESS) {
                SetLastError(error);
                return false;
            }
        }
        DWORD seen = 0;
        for (size_t i = 0; i < set.interfaces.size(); ++i) {
            const devinfo_interface &item = set.interfaces[i];
            if (item.class_guid != *InterfaceClassGuid || (DeviceInfoData != nullptr && item.device != device)) {
                continue;
            }
            if (seen++ == MemberIndex) {
                DeviceInterfaceData->InterfaceClassGuid = item.class_guid;
                DeviceInterfaceData->Flags = item.flags;
                DeviceInterfaceData->Reserved = i + 1;
                SetLastError(ERROR_SUCCESS);
                return true;
            }
        }
        SetLastError(ERROR_NO_MORE_ITEMS);
        return false;
    });
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    return with_device_info_set(DeviceInfoSet, [&](device_info_set &set) {
        constexpr DWORD path_offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        size_t index = 0;
        DWORD error = find_interface(set, DeviceInterfaceData, &index);
        if (error == ERROR_SUCCESS && DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0) {
            error = ERROR_INVALID_USER_BUFFER;
        }
        if (error == ERROR_SUCCESS && DeviceInterfaceDetailData != nullptr &&
            (DeviceInterfaceDetailDataSize < path_offset + sizeof(WCHAR) ||
             DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))) {
            error = ERROR_INVALID_USER_BUFFER;
        }
        if (error == ERROR_SUCCESS && DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            error = ERROR_INVALID_USER_BUFFER;
        }
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return false;
        }
        const devinfo_interface &item = set.interfaces[index];
        const DWORD required = path_offset + (DWORD)((item.path.size() + 1) * sizeof(WCHAR));
        if (RequiredSize != nullptr) {
            *RequiredSize = required;
        }
        if (DeviceInfoData != nullptr) {
            devinfo_fill(set, item.device, DeviceInfoData);
        }
        if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        std::memcpy(DeviceInterfaceDetailData->DevicePath, item.path.c_str(), (item.path.size() + 1) * sizeof(WCHAR));
        SetLastError(ERROR_SUCCESS);
        return true;
    });
}

} // extern "C"
