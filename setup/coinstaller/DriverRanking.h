// The driver-ranking co-installer's walk over a device's driver list and the two callbacks
// that find this package's own driver and demote every other one.
#pragma once
#include <windows.h>
#include <setupapi.h>

// Called for each candidate driver with the driver's data and install parameters; a non-zero
// result ends the walk and becomes its result.
typedef DWORD (*DRIVER_LIST_CALLBACK)(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_V2_A DriverInfoData, PSP_DRVINSTALL_PARAMS DriverInstallParams,
                                      PVOID Context);

// Walks the compatible list when DeviceInfoData is given, else the class list. Ends normally
// at ERROR_NO_MORE_ITEMS (result 0); a failure to enumerate or to read the device install
// parameters ends it with 0, a failure to read the driver's install parameters with that
// error, and a callback's non-zero result with that result. Every failure is traced.
DWORD WalkDriverList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DRIVER_LIST_CALLBACK Callback,
                     PVOID Context);

// True for a driver of this package: manufacturer "Orvan" and a description from the own
// list, both compared exactly.
BOOL IsOwnDriver(const SP_DRVINFO_DATA_V2_A *DriverInfoData);

// Context: the found flag (a DWORD), set to 1 when the candidate is an own driver.
// ERROR_INVALID_PARAMETER without a context.
DWORD FindOwnDriverCallback(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                            PSP_DRVINFO_DATA_V2_A DriverInfoData, PSP_DRVINSTALL_PARAMS DriverInstallParams,
                            PVOID Context);

// Gives every foreign candidate the worst rank (0xFFFFFFFF), written back to setup; the
// write's error is returned when it fails. Own candidates keep their rank.
DWORD DemoteForeignDriverCallback(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  PSP_DRVINFO_DATA_V2_A DriverInfoData, PSP_DRVINSTALL_PARAMS DriverInstallParams,
                                  PVOID Context);

// DIF_SELECTBESTCOMPATDRV pre-processing: demotes foreign drivers when an own one is listed.
void RankOwnDriverFirst(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
