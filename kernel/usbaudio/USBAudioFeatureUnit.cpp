// Feature unit: channel count, control bitmaps of both revisions and the mute/volume requests.
#include "USBAudioFeatureUnit.h"
#include "USBAudioCL.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr ULONG MAX_CHANNELS_SCANNED = 255;

} // namespace

NTSTATUS CUSBAudioFeatureUnit::Init()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "feature unit %u\n", GetID());
    NTSTATUS status = STATUS_SUCCESS;
    m_pSource = m_pAudio->FindEntity(UsbDescByte(m_pDescriptor, 4));
    if (m_pSource == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "feature unit %u: source %u not found\n",
                    GetID(), UsbDescByte(m_pDescriptor, 4));
        status = STATUS_NOT_SUPPORTED;
    }
    return status;
}

NTSTATUS CUSBAudioFeatureUnit::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("Feature", buffer, size);
}

LONG CUSBAudioFeatureUnit::GetSourceID(ULONG index)
{
    return UsbDescByte(m_pDescriptor, 4);
}

ULONG CUSBAudioFeatureUnit::GetChannelCount()
{
    ULONG length = UsbDescByte(m_pDescriptor, 0);
    ULONG count = 0;
    if (m_pAudio->IsUac2()) {
        count = length >= 6 ? (length - 6) / 4 : 0;
    } else {
        ULONG controlSize = UsbDescByte(m_pDescriptor, 5);
        count = length >= 7 && controlSize != 0 ? (length - 7) / controlSize : 0;
    }
    return count;
}

BOOLEAN CUSBAudioFeatureUnit::HasControl(ULONG channel, ULONG control, ULONG mode)
{
    BOOLEAN present = FALSE;
    if (channel < GetChannelCount() && control <= UAC_FU_VOLUME) {
        if (m_pAudio->IsUac2()) {
            ULONG controls = UsbDescDword(m_pDescriptor, 5 + 4 * channel);
            ULONG mask = (mode & 3) << (2 * control);
            present = (controls & mask) == mask;
        } else {
            ULONG controlSize = UsbDescByte(m_pDescriptor, 5);
            ULONG offset = 6 + channel * controlSize;
            ULONG bytes = controlSize < 4 ? controlSize : 4;
            ULONG controls = 0;
            for (ULONG i = 0; i < bytes; ++i) {
                controls |= static_cast<ULONG>(UsbDescByte(m_pDescriptor, offset + i)) << (8 * i);
            }
            present = (controls & (1u << control)) != 0;
        }
    }
    return present;
}

BOOLEAN CUSBAudioFeatureUnit::HasControlOnAnyChannel(ULONG control)
{
    ULONG channels = GetChannelCount();
    if (channels > MAX_CHANNELS_SCANNED) {
        channels = MAX_CHANNELS_SCANNED;
    }
    for (ULONG channel = 0; channel < channels; ++channel) {
        if (HasControl(channel, control, UAC_FU_MODE_READ)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS CUSBAudioFeatureUnit::Request(ULONG channel, ULONG control, UCHAR direction, UCHAR request, PVOID buffer,
                                       ULONG length)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "feature unit %u: %s control %lu channel %lu request %u, %lu bytes\n", GetID(),
                direction == UAC_FU_DIRECTION_GET ? "GET" : "SET", control, channel, request, length);
    BOOLEAN allowed = FALSE;
    BOOLEAN uac2 = m_pAudio->IsUac2();
    if (control == UAC_FU_MUTE) {
        allowed = request == 1 && length == 1;
    } else if (control == UAC_FU_VOLUME) {
        allowed = uac2 ? (request == 1 && length == 2) || (request == 2 && length == 8)
                       : request >= 1 && request <= 4 && length == 2;
    }
    if (direction != UAC_FU_DIRECTION_GET && direction != UAC_FU_DIRECTION_SET) {
        allowed = FALSE;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG mode = direction == UAC_FU_DIRECTION_GET ? UAC_FU_MODE_READ : UAC_FU_MODE_WRITE;
    if (allowed && channel <= 0xFF && HasControl(channel, control, mode)) {
        UCHAR requestType = direction == UAC_FU_DIRECTION_GET ? UAC_REQTYPE_GET : UAC_REQTYPE_SET;
        UCHAR code = uac2 ? request : static_cast<UCHAR>(request | direction);
        status = m_pAudio->ClassRequest(requestType, code, static_cast<UCHAR>(control + 1),
                                        static_cast<UCHAR>(channel), GetID(), static_cast<USHORT>(length), buffer,
                                        nullptr);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "feature unit %u: request failed 0x%08X\n", GetID(),
                        status);
        }
    } else {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "feature unit %u: control %lu channel %lu not offered\n",
                    GetID(), control, channel);
    }
    return status;
}
