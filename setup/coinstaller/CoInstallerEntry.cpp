// Entry points of the asynchronous stack's driver-ranking co-installer: DllMain starts and
// stops its tracing, CoInstallerEntryPoint traces every install request and ranks drivers at
// DIF_SELECTBESTCOMPATDRV. Device setup always gets NO_ERROR.
#include <windows.h>
#include <setupapi.h>
#include "CoInstallerTrace.h"
#include "DifNames.h"
#include "DriverRanking.h"

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason,
                                                                     LPVOID lpvReserved)
{
    UNREFERENCED_PARAMETER(hinstDLL);
    UNREFERENCED_PARAMETER(lpvReserved);
    if (fdwReason == DLL_PROCESS_ATTACH) {
        WPP_INIT_TRACING(L"ovmlsacoinstaller");
    } else if (fdwReason == DLL_PROCESS_DETACH) {
        WPP_CLEANUP();
    }
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) DWORD CALLBACK CoInstallerEntryPoint(
    DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
    PCOINSTALLER_CONTEXT_DATA Context)
{
    UNREFERENCED_PARAMETER(Context);
    const PCSTR name = DifName(InstallFunction);
    if (name != nullptr) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s", name);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "install function 0x%08X", (unsigned)InstallFunction);
    }
    if (InstallFunction == DIF_SELECTBESTCOMPATDRV) {
        RankOwnDriverFirst(DeviceInfoSet, DeviceInfoData);
    }
    return NO_ERROR;
}
