// AsioDeviceRecord: one device of the asynchronous stack that answers on its device channel,
// as device discovery lists it for the ASIO driver and the control panel.
#pragma once
#include <windows.h>
#include "include/QelAsioIoctl.h"

#define ASIO_DEVICE_ID_CHARS 260   // instance ID, terminator included
#define ASIO_DEVICE_PATH_CHARS 260 // device-channel path, terminator included
#define ASIO_DEVICE_DESC_CHARS 128 // device description, terminator included

struct AsioDeviceRecord {
    WCHAR InstanceId[ASIO_DEVICE_ID_CHARS];    // SetupDiGetDeviceInstanceIdW; what "selected" stores
    WCHAR ChannelPath[ASIO_DEVICE_PATH_CHARS]; // interface path, lower case, "\wave..." replaced by "\asio"
    WCHAR Description[ASIO_DEVICE_DESC_CHARS]; // SPDRP_DEVICEDESC, cut to the field
    DWORD IsCurrent;                           // 1 on the current record, else 0
    RateRange Range;                           // GET_RATE_RANGE, Hz
    DWORD DsdNative;                           // GET_DSD_SUPPORT, 0 or 1
};
