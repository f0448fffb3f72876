// CUSBAudioCL class controls: volume and mute of feature units, and the vendor request that
// switches the streaming interfaces between PCM and native DSD operation.
#include "USBAudioCL.h"
#include "USBAudioFeatureUnit.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

// Request codes without the direction bit: CUR, and revision 1 MIN, MAX, RES (revision 2
// uses 2 for RANGE).
constexpr UCHAR REQUEST_CUR = 0x01;
constexpr UCHAR REQUEST_MIN = 0x02;
constexpr UCHAR REQUEST_MAX = 0x03;
constexpr UCHAR REQUEST_RES = 0x04;
constexpr UCHAR UAC2_RANGE_LENGTH = 8;
constexpr UCHAR VENDOR_INTERFACE_OUT = 0x41;
constexpr UCHAR VENDOR_REQUEST_MODE = 0x00;

} // namespace

NTSTATUS CUSBAudioCL::SetVolume(CUSBAudioFeatureUnit *unit, UCHAR channel, SHORT value)
{
    if (unit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data[2] = {static_cast<UCHAR>(value), static_cast<UCHAR>(static_cast<USHORT>(value) >> 8)};
    return unit->Request(channel, UAC_FU_VOLUME, UAC_FU_DIRECTION_SET, REQUEST_CUR, data, sizeof(data));
}

NTSTATUS CUSBAudioCL::GetVolume(CUSBAudioFeatureUnit *unit, UCHAR channel, PSHORT value)
{
    if (unit == nullptr || value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data[2] = {};
    NTSTATUS status = unit->Request(channel, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, REQUEST_CUR, data, sizeof(data));
    if (NT_SUCCESS(status)) {
        *value = static_cast<SHORT>(UsbReadLe16(data));
    }
    return status;
}

NTSTATUS CUSBAudioCL::GetVolumeRange(CUSBAudioFeatureUnit *unit, UCHAR channel, PSHORT minimum, PSHORT maximum,
                                     PUSHORT resolution)
{
    if (unit == nullptr || minimum == nullptr || maximum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    if (m_IsUac2) {
        // Only the first subrange is read; a short answer leaves zeros, never stale bytes.
        UCHAR data[UAC2_RANGE_LENGTH] = {};
        status = unit->Request(channel, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, UAC2_REQUEST_RANGE, data, sizeof(data));
        if (NT_SUCCESS(status)) {
            *minimum = static_cast<SHORT>(UsbReadLe16(data + 2));
            *maximum = static_cast<SHORT>(UsbReadLe16(data + 4));
            *resolution = UsbReadLe16(data + 6);
        }
    } else {
        UCHAR data[2] = {};
        status = unit->Request(channel, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, REQUEST_MIN, data, sizeof(data));
        if (NT_SUCCESS(status)) {
            *minimum = static_cast<SHORT>(UsbReadLe16(data));
            status = unit->Request(channel, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, REQUEST_MAX, data, sizeof(data));
        }
        if (NT_SUCCESS(status)) {
            *maximum = static_cast<SHORT>(UsbReadLe16(data));
            status = unit->Request(channel, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, REQUEST_RES, data, sizeof(data));
        }
        if (NT_SUCCESS(status)) {
            *resolution = UsbReadLe16(data);
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::SetMute(CUSBAudioFeatureUnit *unit, UCHAR value)
{
    if (unit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data = value;
    return unit->Request(0, UAC_FU_MUTE, UAC_FU_DIRECTION_SET, REQUEST_CUR, &data, sizeof(data));
}

NTSTATUS CUSBAudioCL::GetMute(CUSBAudioFeatureUnit *unit, PUCHAR value)
{
    if (unit == nullptr || value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data = 0;
    NTSTATUS status = unit->Request(0, UAC_FU_MUTE, UAC_FU_DIRECTION_GET, REQUEST_CUR, &data, sizeof(data));
    if (NT_SUCCESS(status)) {
        *value = data;
    }
    return status;
}

NTSTATUS CUSBAudioCL::SendVendorMode(USB_STREAMING_INTERFACE *record, USHORT mode)
{
    return ControlRequest(VENDOR_INTERFACE_OUT, VENDOR_REQUEST_MODE, mode, record->InterfaceNumber, 0, nullptr);
}

NTSTATUS CUSBAudioCL::SetVendorMode(USHORT mode)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr && NT_SUCCESS(status);
         record = record->Next) {
        status = SendVendorMode(record, mode);
        if (NT_SUCCESS(status)) {
            record->VendorMode = mode;
        } else {
            // A warning: the adapter asks for mode 0 at each start to learn whether the device
            // has native DSD at all, and a device without it refuses; callers that needed the
            // mode trace their own failure.
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "vendor mode %u refused by interface %u: %08x\n",
                        mode, record->InterfaceNumber, status);
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::RestoreVendorMode()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr && NT_SUCCESS(status);
         record = record->Next) {
        status = SendVendorMode(record, static_cast<USHORT>(record->VendorMode));
    }
    return status;
}
