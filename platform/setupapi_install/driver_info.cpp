// Driver lists and install parameters of device setup's sets: SetupDiEnumDriverInfoA and the
// ANSI device and driver install parameter calls.
#include "install_sets.h"
#include <cstring>

using namespace platform;

namespace {

// Copies text into a fixed field, cut to fit and always terminated.
void copy_field(CHAR *field, size_t capacity, const std::string &text)
{
    const size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

bool fail(DWORD error)
{
    SetLastError(error);
    return false;
}

// The set and its checked device, or null with the error set.
install_set *open_set(HDEVINFO handle, PSP_DEVINFO_DATA device)
{
    DWORD error = ERROR_SUCCESS;
    install_set *set = install_set_find_locked(handle);
    if (set == nullptr) {
        set = install_set_of_listed_locked(handle, device, &error);
        if (set == nullptr) {
            fail(error);
        }
        return set;
    }
    error = install_set_check_device_locked(*set, device);
    if (error != ERROR_SUCCESS) {
        fail(error);
        return nullptr;
    }
    return set;
}

bool driver_record_size_ok(const SP_DRVINFO_DATA_A *data)
{
    return data->cbSize == sizeof(SP_DRVINFO_DATA_V2_A) || data->cbSize == sizeof(SP_DRVINFO_DATA_V1_A);
}

// The driver a record names: by the position SetupDiEnumDriverInfoA stored in Reserved, else
// by type, description, manufacturer and provider.
install_driver *find_driver(install_set &set, PSP_DEVINFO_DATA device, const SP_DRVINFO_DATA_A *data)
{
    std::vector<install_driver> &list = device != nullptr ? set.compatible : set.class_drivers;
    if (data->Reserved != 0) {
        const ULONG_PTR index = data->Reserved - 1;
        if (index < list.size() && list[index].type == data->DriverType) {
            return &list[index];
        }
        return nullptr;
    }
    for (install_driver &driver : list) {
        const driver_candidate &c = driver.candidate;
        if (driver.type == data->DriverType && c.description == data->Description &&
            c.manufacturer == data->MfgName && c.provider == data->ProviderName) {
            return &driver;
        }
    }
    return nullptr;
}

} // namespace

BOOL WINAPI SetupDiEnumDriverInfoA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType,
                                   DWORD MemberIndex, PSP_DRVINFO_DATA_A DriverInfoData)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *set = open_set(DeviceInfoSet, DeviceInfoData);
    if (set == nullptr) {
        return FALSE;
    }
    if (DriverInfoData == nullptr || (DriverType != SPDIT_COMPATDRIVER && DriverType != SPDIT_CLASSDRIVER) ||
        (DriverType == SPDIT_COMPATDRIVER && DeviceInfoData == nullptr)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!driver_record_size_ok(DriverInfoData)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    const std::vector<install_driver> &list = DriverType == SPDIT_COMPATDRIVER ? set->compatible : set->class_drivers;
    if (MemberIndex >= list.size()) {
        return fail(ERROR_NO_MORE_ITEMS);
    }
    const driver_candidate &c = list[MemberIndex].candidate;
    DriverInfoData->DriverType = DriverType;
    DriverInfoData->Reserved = (ULONG_PTR)MemberIndex + 1;
    copy_field(DriverInfoData->Description, LINE_LEN, c.description);
    copy_field(DriverInfoData->MfgName, LINE_LEN, c.manufacturer);
    copy_field(DriverInfoData->ProviderName, LINE_LEN, c.provider);
    if (DriverInfoData->cbSize == sizeof(SP_DRVINFO_DATA_V2_A)) {
        DriverInfoData->DriverDate.dwLowDateTime = (DWORD)c.driver_date;
        DriverInfoData->DriverDate.dwHighDateTime = (DWORD)(c.driver_date >> 32);
        DriverInfoData->DriverVersion = c.driver_version;
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *set = open_set(DeviceInfoSet, DeviceInfoData);
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInstallParams == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    *DeviceInstallParams = set->params;
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *set = open_set(DeviceInfoSet, DeviceInfoData);
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInstallParams == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (std::memchr(DeviceInstallParams->DriverPath, '\0', sizeof(DeviceInstallParams->DriverPath)) == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    set->params = *DeviceInstallParams;
    return TRUE;
}

BOOL WINAPI SetupDiGetDriverInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_A DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *set = open_set(DeviceInfoSet, DeviceInfoData);
    if (set == nullptr) {
        return FALSE;
    }
    if (DriverInfoData == nullptr || DriverInstallParams == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!driver_record_size_ok(DriverInfoData) || DriverInstallParams->cbSize != sizeof(SP_DRVINSTALL_PARAMS)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    install_driver *driver = find_driver(*set, DeviceInfoData, DriverInfoData);
    if (driver == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    DriverInstallParams->Rank = driver->candidate.rank;
    DriverInstallParams->Flags = driver->candidate.flags;
    DriverInstallParams->PrivateData = 0;
    DriverInstallParams->Reserved = 0;
    // The set's DriverPath follows the driver last looked at, as setup keeps it.
    copy_field(set->params.DriverPath, sizeof(set->params.DriverPath), driver->candidate.inf_path);
    return TRUE;
}

BOOL WINAPI SetupDiSetDriverInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_A DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *set = open_set(DeviceInfoSet, DeviceInfoData);
    if (set == nullptr) {
        return FALSE;
    }
    if (DriverInfoData == nullptr || DriverInstallParams == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!driver_record_size_ok(DriverInfoData) || DriverInstallParams->cbSize != sizeof(SP_DRVINSTALL_PARAMS)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    install_driver *driver = find_driver(*set, DeviceInfoData, DriverInfoData);
    if (driver == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    driver->candidate.rank = DriverInstallParams->Rank;
    driver->candidate.flags = DriverInstallParams->Flags;
    return TRUE;
}
