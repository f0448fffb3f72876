// Volume and mute of a feature-unit node: unit conversions, SET snapping and clamping, the
// per-channel class requests and the multichannel basic-support answer.
#include "AdapterProperties.h"
#include "USBAudioCL.h"
#include "USBAudioFeatureUnit.h"
#include "UsbAudioTrace.h"

namespace {

constexpr LONG DEVICE_TO_KS_SHIFT = 8;
constexpr LONG KS_PER_DEVICE_STEP = 256;
// Feature-unit channel numbers travel in one byte, and channel 0 is the master.
constexpr ULONG MAX_KS_CHANNELS = 254;
constexpr LONG DEVICE_VOLUME_HIGHEST = 0x7FFF;
constexpr LONG DEVICE_VOLUME_LOWEST = -0x8000;

// Basic support of a per-channel property: the description, and when the buffer holds them a
// members header with one stepping per KS channel. Stepping(channel, out stepping) supplies
// each; its first failure ends the answer with that status.
template <typename SteppingSource>
NTSTATUS MultichannelBasicSupport(PPCPROPERTY_REQUEST Request, ULONG VariantType, ULONG Channels,
                                  SteppingSource &&Stepping)
{
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) {
        Request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
        *static_cast<PULONG>(Request->Value) = PROPERTY_ACCESS_READ_WRITE;
        Request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    const ULONG fullSize = static_cast<ULONG>(sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                                              Channels * sizeof(KSPROPERTY_STEPPING_LONG));
    PUCHAR out = static_cast<PUCHAR>(Request->Value);
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = PROPERTY_ACCESS_READ_WRITE;
    description.DescriptionSize = fullSize;
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = VariantType;
    description.PropTypeSet.Flags = 0;
    description.MembersListCount = 1;
    description.Reserved = 0;
    if (Request->ValueSize < fullSize) {
        RtlCopyMemory(out, &description, sizeof(description));
        Request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }

    // The steppings are gathered first, so that a failing channel leaves the buffer as it was.
    ULONG offset = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER);
    for (ULONG channel = 0; channel < Channels; ++channel) {
        KSPROPERTY_STEPPING_LONG stepping = {};
        NTSTATUS status = Stepping(channel, &stepping);
        if (!NT_SUCCESS(status)) {
            Request->ValueSize = 0;
            return status;
        }
        RtlCopyMemory(out + offset, &stepping, sizeof(stepping));
        offset += sizeof(stepping);
    }
    KSPROPERTY_MEMBERSHEADER members = {};
    members.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    members.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    members.MembersCount = Channels;
    members.Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL;
    RtlCopyMemory(out, &description, sizeof(description));
    RtlCopyMemory(out + sizeof(description), &members, sizeof(members));
    Request->ValueSize = fullSize;
    return STATUS_SUCCESS;
}

ULONG ReadInstanceUlong(PPCPROPERTY_REQUEST Request)
{
    ULONG value = 0;
    RtlCopyMemory(&value, Request->Instance, sizeof(value));
    return value;
}

LONG ReadValueLong(PPCPROPERTY_REQUEST Request)
{
    LONG value = 0;
    RtlCopyMemory(&value, Request->Value, sizeof(value));
    return value;
}

VOID WriteValueLong(PPCPROPERTY_REQUEST Request, LONG Value)
{
    RtlCopyMemory(Request->Value, &Value, sizeof(Value));
    Request->ValueSize = sizeof(LONG);
}

} // namespace

LONG VolumeToKs(SHORT DeviceValue)
{
    if (DeviceValue == DEVICE_VOLUME_SILENT) {
        return KS_VOLUME_SILENT;
    }
    return static_cast<LONG>(DeviceValue) * (1 << DEVICE_TO_KS_SHIFT);
}

SHORT VolumeToDevice(LONG KsValue)
{
    if (KsValue == KS_VOLUME_SILENT) {
        return DEVICE_VOLUME_SILENT;
    }
    LONG device = KsValue / KS_PER_DEVICE_STEP;
    if (device > DEVICE_VOLUME_HIGHEST) {
        device = DEVICE_VOLUME_HIGHEST;
    } else if (device < DEVICE_VOLUME_LOWEST) {
        device = DEVICE_VOLUME_LOWEST;
    }
    return static_cast<SHORT>(device);
}

LONG SnapVolume(LONG Value, LONG Minimum, LONG Maximum, ULONG Step)
{
    if (Value == KS_VOLUME_SILENT) {
        return Value;
    }
    LONGLONG value = Value;
    const LONGLONG step = Step;
    if (step == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL,
                    "Volume: device reports no step, setting the minimum\n");
        value = KS_VOLUME_SILENT;
    } else if (value % step != 0) {
        value = value < 0 ? step * ((value - step / 2) / step) : step * ((value + step / 2) / step);
    }
    if (value < Minimum) {
        value = Minimum;
    } else if (value > Maximum) {
        value = Maximum;
    }
    return static_cast<LONG>(value);
}

ULONG FeatureUnitKsChannels(CUSBAudioFeatureUnit *Unit)
{
    ULONG channels = Unit != nullptr ? Unit->GetChannelCount() : 0;
    channels = channels > 1 ? channels - 1 : 0;
    return channels < MAX_KS_CHANNELS ? channels : MAX_KS_CHANNELS;
}

NTSTATUS GetChannelVolumeRange(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, ULONG Channel, PLONG Minimum,
                               PLONG Maximum, PULONG Step)
{
    if (Unit == nullptr || Channel >= FeatureUnitKsChannels(Unit)) {
        return STATUS_INVALID_PARAMETER;
    }
    SHORT minimum = 0;
    SHORT maximum = 0;
    USHORT resolution = 0;
    NTSTATUS status =
        Usb.GetVolumeRange(Unit, static_cast<UCHAR>(Channel + 1), &minimum, &maximum, &resolution);
    if (NT_SUCCESS(status)) {
        *Minimum = VolumeToKs(minimum);
        *Maximum = VolumeToKs(maximum);
        // The resolution is a magnitude: no silent value to map.
        *Step = static_cast<ULONG>(resolution) << DEVICE_TO_KS_SHIFT;
    }
    return status;
}

NTSTATUS GetChannelVolume(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, ULONG Channel, PLONG Value)
{
    if (Unit == nullptr || Channel >= FeatureUnitKsChannels(Unit)) {
        return STATUS_INVALID_PARAMETER;
    }
    SHORT device = 0;
    NTSTATUS status = Usb.GetVolume(Unit, static_cast<UCHAR>(Channel + 1), &device);
    if (NT_SUCCESS(status)) {
        *Value = VolumeToKs(device);
    }
    return status;
}

NTSTATUS SetChannelVolume(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, ULONG Channel, LONG Value)
{
    if (Unit == nullptr || Channel >= FeatureUnitKsChannels(Unit)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Usb.SetVolume(Unit, static_cast<UCHAR>(Channel + 1), VolumeToDevice(Value));
}

NTSTATUS VolumeProperty(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, PPCPROPERTY_REQUEST Request)
{
    if ((Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return MultichannelBasicSupport(Request, VT_I4, FeatureUnitKsChannels(Unit),
                                        [&](ULONG Channel, PKSPROPERTY_STEPPING_LONG Stepping) {
                                            return GetChannelVolumeRange(Usb, Unit, Channel,
                                                                         &Stepping->Bounds.SignedMinimum,
                                                                         &Stepping->Bounds.SignedMaximum,
                                                                         &Stepping->SteppingDelta);
                                        });
    }
    // The range is read first: it refuses a bad channel and gives SET its grid and bounds.
    LONG minimum = 0;
    LONG maximum = 0;
    ULONG step = 0;
    ULONG channel = 0;
    NTSTATUS status = ValidatePropertyValue(Request, sizeof(LONG), sizeof(ULONG));
    if (status == STATUS_SUCCESS) {
        channel = ReadInstanceUlong(Request);
        status = GetChannelVolumeRange(Usb, Unit, channel, &minimum, &maximum, &step);
        if (NT_SUCCESS(status) && (Request->Verb & KSPROPERTY_TYPE_GET) != 0) {
            LONG value = 0;
            status = GetChannelVolume(Usb, Unit, channel, &value);
            if (NT_SUCCESS(status)) {
                if (value != KS_VOLUME_SILENT && (value < minimum || value > maximum ||
                                                  (step != 0 && static_cast<LONGLONG>(value) % step != 0))) {
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                                "Volume: channel %lu reads %ld outside [%ld, %ld] step %lu\n", channel, value, minimum,
                                maximum, step);
                }
                WriteValueLong(Request, value);
            }
        } else if (NT_SUCCESS(status) && (Request->Verb & KSPROPERTY_TYPE_SET) != 0) {
            status = SetChannelVolume(Usb, Unit, channel, SnapVolume(ReadValueLong(Request), minimum, maximum, step));
        } else if (NT_SUCCESS(status)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (NT_ERROR(status)) {
        Request->ValueSize = 0;
    }
    return status;
}

NTSTATUS MuteProperty(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, PPCPROPERTY_REQUEST Request)
{
    const ULONG channels = FeatureUnitKsChannels(Unit);
    if ((Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return MultichannelBasicSupport(Request, VT_BOOL, channels,
                                        [](ULONG, PKSPROPERTY_STEPPING_LONG Stepping) {
                                            Stepping->SteppingDelta = 1;
                                            Stepping->Reserved = 0;
                                            Stepping->Bounds.SignedMinimum = 0;
                                            Stepping->Bounds.SignedMaximum = 1;
                                            return STATUS_SUCCESS;
                                        });
    }
    NTSTATUS status = ValidatePropertyValue(Request, sizeof(LONG), sizeof(ULONG));
    if (status == STATUS_SUCCESS) {
        // Mute acts on the master channel whatever the channel; -1 names all channels.
        const LONG channel = static_cast<LONG>(ReadInstanceUlong(Request));
        if (channel < -1 || channel >= static_cast<LONG>(channels)) {
            status = STATUS_INVALID_PARAMETER;
        } else if ((Request->Verb & KSPROPERTY_TYPE_GET) != 0) {
            UCHAR muted = 0;
            status = Usb.GetMute(Unit, &muted);
            if (NT_SUCCESS(status)) {
                WriteValueLong(Request, muted != 0 ? 1 : 0);
            }
        } else if ((Request->Verb & KSPROPERTY_TYPE_SET) != 0) {
            status = Usb.SetMute(Unit, ReadValueLong(Request) != 0 ? 1 : 0);
        } else {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (NT_ERROR(status)) {
        Request->ValueSize = 0;
    }
    return status;
}
