// Win32 API: SetupAPI device information sets over the machine's PnP state: device and
// interface enumeration, interface paths as CreateFileW accepts them, device registry
// properties, instance IDs and device registry keys.
#pragma once
#include <windef.h>
#include <winerror.h>
#include <winreg.h>
#include <guiddef.h>

typedef PVOID HDEVINFO;

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

// SetupDiGetClassDevs flags.
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// SP_DEVICE_INTERFACE_DATA.Flags.
#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

// Device registry properties.
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_UNUSED0 0x00000003
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0000000E
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

// SetupDiOpenDevRegKey scope and key type.
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002
#define DIREG_BOTH 0x00000004

// SetupAPI's own error codes (customer bit and error severity set).
#define ERROR_KEY_DOES_NOT_EXIST 0xE0000204L
#define ERROR_INVALID_CLASS 0xE0000206L
#define ERROR_INVALID_REG_PROPERTY 0xE0000209L
#define ERROR_NO_SUCH_DEVINST 0xE000020BL
#define ERROR_NO_SUCH_INTERFACE_CLASS 0xE000021EL
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784L
#endif

// One device of a set. Reserved identifies the element inside its set.
typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA layout");

// One device interface of a set. Reserved identifies the interface inside its set.
typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA layout");

// The path runs past the record; a caller sets cbSize to sizeof the record (8 on x86-64) and
// passes the size of the whole buffer.
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "SP_DEVICE_INTERFACE_DETAIL_DATA_W size");
static_assert(__builtin_offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4, "DevicePath offset");

extern "C" {

// A snapshot of the devices (and with DIGCF_DEVICEINTERFACE the interfaces of ClassGuid, or of
// every class with DIGCF_ALLCLASSES) at the time of the call. INVALID_HANDLE_VALUE on failure.
// Without DIGCF_DEVICEINTERFACE, ClassGuid is a setup class, read from the device's
// "ClassGUID" value under the machine's Enum key.
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags);
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
// Adds the device with instance ID DeviceInstanceId to the set (ERROR_NO_SUCH_DEVINST when the
// machine has no such device).
BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// FALSE with ERROR_NO_MORE_ITEMS past the last member.
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);

// RequiredSize (bytes) is set whenever the interface is known; a buffer too small for the
// path fails with ERROR_INSUFFICIENT_BUFFER and is left untouched. DeviceInfoData, when given,
// receives the interface's device on success and on the size query alike.
BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData);

// Strings come back terminated (REG_MULTI_SZ with the extra terminator), their sizes in bytes.
// An absent property fails with ERROR_INVALID_DATA; a short buffer with
// ERROR_INSUFFICIENT_BUFFER, *RequiredSize and *PropertyRegDataType set and the buffer untouched.
BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
// Size in characters, terminator included.
BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
// The device's hardware key (DIREG_DEV) or software key (DIREG_DRV), opened in the 64-bit view
// for the calling process; INVALID_HANDLE_VALUE with ERROR_KEY_DOES_NOT_EXIST when missing.
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired);

} // extern "C"

#ifdef UNICODE
#define SetupDiGetClassDevs SetupDiGetClassDevsW
#define SetupDiOpenDeviceInfo SetupDiOpenDeviceInfoW
#define SetupDiGetDeviceInterfaceDetail SetupDiGetDeviceInterfaceDetailW
#define SetupDiGetDeviceRegistryProperty SetupDiGetDeviceRegistryPropertyW
#define SetupDiGetDeviceInstanceId SetupDiGetDeviceInstanceIdW
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_W SP_DEVICE_INTERFACE_DETAIL_DATA;
typedef PSP_DEVICE_INTERFACE_DETAIL_DATA_W PSP_DEVICE_INTERFACE_DETAIL_DATA;
#else
#define SetupDiGetClassDevs SetupDiGetClassDevsA
#define SetupDiOpenDeviceInfo SetupDiOpenDeviceInfoA
#define SetupDiGetDeviceInterfaceDetail SetupDiGetDeviceInterfaceDetailA
#define SetupDiGetDeviceRegistryProperty SetupDiGetDeviceRegistryPropertyA
#define SetupDiGetDeviceInstanceId SetupDiGetDeviceInstanceIdA
#endif

// Device installation (co-installer interface, driver lists, install parameters) lives in its
// own header.
#if __has_include(<setupapi_install.h>)
#include <setupapi_install.h>
#endif
