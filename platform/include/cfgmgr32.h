// Win32 API: the configuration manager's device node calls (instance IDs and node status) over
// the machine's PnP state. A DEVINST is the same number SetupAPI reports in SP_DEVINFO_DATA.
#pragma once
#include <windef.h>

typedef DWORD CONFIGRET;
typedef DWORD DEVINST, *PDEVINST;
typedef DWORD DEVNODE, *PDEVNODE;
typedef WCHAR *DEVINSTID_W;
#ifdef UNICODE
typedef DEVINSTID_W DEVINSTID;
#endif

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_BUFFER_SMALL 0x0000001A

#define MAX_DEVICE_ID_LEN 200

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001

// Device node status bits.
#define DN_DRIVER_LOADED 0x00000002
#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400
#define DN_NT_ENUMERATOR 0x00800000
#define DN_NT_DRIVER 0x01000000

extern "C" {

// Without CM_LOCATE_DEVNODE_PHANTOM a removed device is not found (CR_NO_SUCH_DEVNODE).
CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags);
// Characters without the terminator.
CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags);
// BufferLen in characters; the ID and its terminator must fit, else CR_BUFFER_SMALL and the
// buffer is left untouched.
CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags);
// A removed device gives CR_NO_SUCH_DEVNODE.
CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags);

} // extern "C"

#ifdef UNICODE
#define CM_Locate_DevNode CM_Locate_DevNodeW
#define CM_Get_Device_ID CM_Get_Device_IDW
#else
#define CM_Locate_DevNode CM_Locate_DevNodeA
#define CM_Get_Device_ID CM_Get_Device_IDA
#endif
