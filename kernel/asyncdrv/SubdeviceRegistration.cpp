// Driver-wide values of the asynchronous kernel driver and the registration of its one WaveRT
// subdevice under the name of the device's current rate.
#include <portcls.h>
#include "AsyncDriver.h"
#include "UsbAudioTrace.h"

ASYNC_TUNING g_Tuning = {8, 8, 1, 8};
LONG g_DumpCapture = 0;
POOL_TYPE g_PoolType = NonPagedPool;
ULONG g_MdlPriority = NormalPagePriority;

namespace {

struct SUBDEVICE_NAME {
    ULONG Rate;
    PCWSTR Name;
};

const SUBDEVICE_NAME g_SubdeviceNames[] = {
    {32000, L"Wave_32000"},   {44100, L"Wave_44100"},   {48000, L"Wave_48000"},   {88200, L"Wave_88200"},
    {96000, L"Wave_96000"},   {176400, L"Wave_176400"}, {192000, L"Wave_192000"}, {352800, L"Wave_352800"},
    {384000, L"Wave_384000"}, {705600, L"Wave_705600"}, {768000, L"Wave_768000"}, {0, nullptr},
};
static_assert(sizeof(g_SubdeviceNames) / sizeof(g_SubdeviceNames[0]) == 12, "11 rates and the end row");

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PCWSTR Name, REFCLSID PortClassId, PUNKNOWN UnknownAdapter)
{
    PPORT port = nullptr;
    PUNKNOWN miniport = nullptr;
    NTSTATUS status = PcNewPort(&port, PortClassId);
    if (NT_SUCCESS(status)) {
        status = CreateMiniportWaveRT(&miniport, PortClassId, nullptr, g_PoolType);
    }
    if (NT_SUCCESS(status)) {
        status = port->Init(DeviceObject, nullptr, miniport, UnknownAdapter, nullptr);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(DeviceObject, const_cast<PWSTR>(Name), port);
    }
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (port != nullptr) {
        port->Release();
    }
    return status;
}

} // namespace

ULONG PcmTableRate(ULONG index)
{
    return index < sizeof(g_SubdeviceNames) / sizeof(g_SubdeviceNames[0]) ? g_SubdeviceNames[index].Rate : 0;
}

PCWSTR WaveSubdeviceName(ULONG rate)
{
    for (const SUBDEVICE_NAME *row = g_SubdeviceNames; row->Name != nullptr; ++row) {
        if (row->Rate == rate) {
            return row->Name;
        }
    }
    return nullptr;
}

NTSTATUS RegisterWaveSubdevice(PDEVICE_OBJECT DeviceObject, PADAPTERCOMMON Adapter)
{
    ULONG rate = 0;
    Adapter->GetSampleRate(&rate);
    PCWSTR name = rate == 0 ? L"Wave" : WaveSubdeviceName(rate);
    if (name == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "no WaveRT subdevice name for %lu Hz: 0x%08X", rate,
                    STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS status = InstallSubdevice(DeviceObject, name, CLSID_PortWaveRT, Adapter);
    if (NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "registered %ws", name);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "registration of %ws failed: 0x%08X", name, status);
    }
    return status;
}

VOID ForgetAdapter(PDEVICE_OBJECT DeviceObject, PADAPTERCOMMON Adapter)
{
    ASYNC_DEVICE_EXTENSION *extension = AsyncExtension(DeviceObject);
    KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
    if (extension->Adapter == Adapter) {
        extension->Adapter = nullptr;
    }
    KeReleaseMutex(&extension->ExtensionMutex, FALSE);
}

