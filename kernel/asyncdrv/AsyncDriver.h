// Driver-wide declarations shared by the entry code, the adapter and the miniport: the device
// extension, the tuning values, the allocation policy and the subdevice registration.
#pragma once
#include <portcls.h>
#include "AsyncInterfaces.h"

// The driver's fields follow portcls's reserved area in every adapter device's extension.
struct ASYNC_DEVICE_EXTENSION {
    UCHAR PortClassReserved[PORT_CLASS_DEVICE_EXTENSION_SIZE];
    // Uncounted: the adapter lives on the references portcls's power registration and the
    // miniport hold. Null until StartDevice succeeded and again once the adapter is destroyed.
    PADAPTERCOMMON Adapter;
    // Guards Removing against device channel opens.
    KMUTEX ExtensionMutex;
    ULONG Removing;
    // This device's own physical device object, recorded by AddDevice.
    PDEVICE_OBJECT PhysicalDeviceObject;
};

inline ASYNC_DEVICE_EXTENSION *AsyncExtension(PDEVICE_OBJECT deviceObject)
{
    return static_cast<ASYNC_DEVICE_EXTENSION *>(deviceObject->DeviceExtension);
}

// Tuning values read at each adapter Init: milliseconds per render transfer and render
// transfers in flight, milliseconds per capture transfer and capture transfers in flight.
struct ASYNC_TUNING {
    ULONG Param1;
    ULONG Param2;
    ULONG Param3;
    ULONG Param4;
};
extern ASYNC_TUNING g_Tuning;
// Diagnostic dump selector from the device key: 2 capture, -2 render.
extern LONG g_DumpCapture;
// Pool type and MDL mapping priority chosen at each StartDevice.
extern POOL_TYPE g_PoolType;
extern ULONG g_MdlPriority;

// Registers the WaveRT subdevice named after the adapter's current rate. STATUS_UNSUCCESSFUL
// (nothing registered) for a rate without a name. PASSIVE_LEVEL.
NTSTATUS RegisterWaveSubdevice(PDEVICE_OBJECT DeviceObject, PADAPTERCOMMON Adapter);
// The name of a rate's subdevice, or null for a rate outside the table.
PCWSTR WaveSubdeviceName(ULONG rate);
// The rate of row index of the PCM rate table (32000 .. 768000 Hz), 0 past its end.
ULONG PcmTableRate(ULONG index);
// Clears the extension's adapter pointer when it still names adapter.
VOID ForgetAdapter(PDEVICE_OBJECT DeviceObject, PADAPTERCOMMON Adapter);

// Creates the WaveRT miniport (referenced) from the driver's pool.
NTSTATUS CreateMiniportWaveRT(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);
