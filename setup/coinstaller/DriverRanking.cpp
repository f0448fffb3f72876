// The driver-ranking co-installer's work at DIF_SELECTBESTCOMPATDRV: when this package's own
// driver is among the device's compatible drivers, every other candidate gets the worst rank
// so that setup chooses the own driver.
#include "DriverRanking.h"
#include "CoInstallerTrace.h"
#include <cstring>

namespace {

constexpr DWORD WorstRank = 0xFFFFFFFF;

const PCSTR OwnManufacturer = "Orvan";

const PCSTR OwnDriverDescriptions[] = {
    "Orvan Marla Series Async Audio",
    nullptr,
};

// The module-wide found flag, cleared at each DIF_SELECTBESTCOMPATDRV.
DWORD g_Found = 0;

void TraceCandidate(const SP_DEVINSTALL_PARAMS_A &DeviceParams, const SP_DRVINFO_DATA_V2_A &DriverInfo,
                    const SP_DRVINSTALL_PARAMS &DriverParams)
{
    SYSTEMTIME date = {};
    FileTimeToSystemTime(&DriverInfo.DriverDate, &date);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Driver path \"%s\"", DeviceParams.DriverPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Description \"%s\", manufacturer \"%s\", provider \"%s\"",
                DriverInfo.Description, DriverInfo.MfgName, DriverInfo.ProviderName);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Date %04u-%02u-%02u %02u:%02u:%02u, version %u.%u.%u.%u",
                date.wYear, date.wMonth, date.wDay, date.wHour, date.wMinute, date.wSecond,
                (UINT)(DriverInfo.DriverVersion >> 48), (UINT)(DriverInfo.DriverVersion >> 32) & 0xFFFF,
                (UINT)(DriverInfo.DriverVersion >> 16) & 0xFFFF, (UINT)DriverInfo.DriverVersion & 0xFFFF);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Rank 0x%08X, flags 0x%08X", (unsigned)DriverParams.Rank,
                (unsigned)DriverParams.Flags);
}

} // namespace

DWORD WalkDriverList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DRIVER_LIST_CALLBACK Callback,
                     PVOID Context)
{
    const DWORD listType = DeviceInfoData != nullptr ? SPDIT_COMPATDRIVER : SPDIT_CLASSDRIVER;
    DWORD result = NO_ERROR;
    for (DWORD index = 0;; ++index) {
        SP_DRVINFO_DATA_V2_A driverInfo = {};
        driverInfo.cbSize = sizeof(driverInfo);
        if (!SetupDiEnumDriverInfoA(DeviceInfoSet, DeviceInfoData, listType, index, &driverInfo)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "SetupDiEnumDriverInfoA(%u) failed: 0x%08X",
                            (unsigned)index, (unsigned)error);
            }
            break;
        }
        SP_DEVINSTALL_PARAMS_A deviceParams = {};
        deviceParams.cbSize = sizeof(deviceParams);
        if (!SetupDiGetDeviceInstallParamsA(DeviceInfoSet, DeviceInfoData, &deviceParams)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "SetupDiGetDeviceInstallParamsA failed: 0x%08X",
                        (unsigned)GetLastError());
            break;
        }
        SP_DRVINSTALL_PARAMS driverParams = {};
        driverParams.cbSize = sizeof(driverParams);
        if (!SetupDiGetDriverInstallParamsA(DeviceInfoSet, DeviceInfoData, &driverInfo, &driverParams)) {
            result = GetLastError();
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "SetupDiGetDriverInstallParamsA failed: 0x%08X",
                        (unsigned)result);
            break;
        }
        // The candidate's date is converted only for a session that takes it.
        if (TraceEnabled(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE)) {
            TraceCandidate(deviceParams, driverInfo, driverParams);
        }
        result = Callback(DeviceInfoSet, DeviceInfoData, &driverInfo, &driverParams, Context);
        if (result != NO_ERROR) {
            break;
        }
    }
    return result;
}

BOOL IsOwnDriver(const SP_DRVINFO_DATA_V2_A *DriverInfoData)
{
    if (std::strcmp(DriverInfoData->MfgName, OwnManufacturer) != 0) {
        return FALSE;
    }
    for (const PCSTR *description = OwnDriverDescriptions; *description != nullptr; ++description) {
        if (std::strcmp(DriverInfoData->Description, *description) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

DWORD FindOwnDriverCallback(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                            PSP_DRVINFO_DATA_V2_A DriverInfoData, PSP_DRVINSTALL_PARAMS DriverInstallParams,
                            PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceInfoSet);
    UNREFERENCED_PARAMETER(DeviceInfoData);
    UNREFERENCED_PARAMETER(DriverInstallParams);
    if (Context == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "no found flag to set");
        return ERROR_INVALID_PARAMETER;
    }
    if (IsOwnDriver(DriverInfoData)) {
        *static_cast<DWORD *>(Context) = 1;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Own driver found");
    }
    return NO_ERROR;
}

DWORD DemoteForeignDriverCallback(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  PSP_DRVINFO_DATA_V2_A DriverInfoData, PSP_DRVINSTALL_PARAMS DriverInstallParams,
                                  PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    if (IsOwnDriver(DriverInfoData)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Own driver keeps rank 0x%08X",
                    (unsigned)DriverInstallParams->Rank);
        return NO_ERROR;
    }
    DriverInstallParams->Rank = WorstRank;
    if (!SetupDiSetDriverInstallParamsA(DeviceInfoSet, DeviceInfoData, DriverInfoData, DriverInstallParams)) {
        const DWORD error = GetLastError();
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "SetupDiSetDriverInstallParamsA failed: 0x%08X",
                    (unsigned)error);
        return error;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Foreign driver \"%s\" demoted",
                DriverInfoData->Description);
    return NO_ERROR;
}

void RankOwnDriverFirst(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    g_Found = 0;
    WalkDriverList(DeviceInfoSet, DeviceInfoData, FindOwnDriverCallback, &g_Found);
    if (g_Found != 0) {
        WalkDriverList(DeviceInfoSet, DeviceInfoData, DemoteForeignDriverCallback, nullptr);
    }
}
