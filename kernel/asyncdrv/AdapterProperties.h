// The KS audio properties of the adapter's filter: the size checks and basic-support answer
// shared with the component-ID property, the unit conversions between the KS boundary
// (1/65536 dB) and the device (1/256 dB), and the volume and mute handlers of a feature unit.
#pragma once
#include <portcls.h>

class CUSBAudioCL;
class CUSBAudioFeatureUnit;

// Access flags the property answers advertise.
constexpr ULONG PROPERTY_ACCESS_READ_ONLY = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG PROPERTY_ACCESS_READ_WRITE = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// The KS minimum volume, which stands for "silent" on both sides of the conversion.
constexpr LONG KS_VOLUME_SILENT = static_cast<LONG>(0x80000000u);
constexpr SHORT DEVICE_VOLUME_SILENT = static_cast<SHORT>(0x8000);

// Basic support of a read-only property: below 4 bytes STATUS_BUFFER_TOO_SMALL with a value
// size of 0; below a KSPROPERTY_DESCRIPTION only the access flags; otherwise a description
// without members.
NTSTATUS BasicSupportReadOnly(PPCPROPERTY_REQUEST Request);

// Checks the value and instance sizes of a GET or SET. A value size of 0 is a size query:
// the size needed and STATUS_BUFFER_OVERFLOW. Short buffers give STATUS_BUFFER_TOO_SMALL, a
// longer or missing value buffer STATUS_UNSUCCESSFUL; every failure but the size query sets
// the value size to 0. Nothing else of the request is touched.
NTSTATUS ValidatePropertyValue(PPCPROPERTY_REQUEST Request, ULONG ValueNeeded, ULONG InstanceNeeded);

// Device volume (1/256 dB) to KS (1/65536 dB): the silent value maps to the KS minimum.
LONG VolumeToKs(SHORT DeviceValue);
// KS volume to device: truncating division by 256, the KS minimum to the silent value, and
// anything beyond the device's 16 bits saturated.
SHORT VolumeToDevice(LONG KsValue);
// A SET value moved onto the stepping grid (halves away from zero) and clamped into
// [Minimum, Maximum], computed in 64 bits. The KS minimum passes unchanged; a step of 0 gives
// Minimum.
LONG SnapVolume(LONG Value, LONG Minimum, LONG Maximum, ULONG Step);

// The number of KS channels of a feature unit: its logical channels without the master.
ULONG FeatureUnitKsChannels(CUSBAudioFeatureUnit *Unit);

// Per-channel volume requests on KS channel Channel (feature-unit channel Channel + 1).
// STATUS_INVALID_PARAMETER for a null unit or a channel at or beyond the KS channel count;
// device failures are returned as they come. PASSIVE_LEVEL.
NTSTATUS GetChannelVolumeRange(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, ULONG Channel, PLONG Minimum,
                               PLONG Maximum, PULONG Step);
NTSTATUS GetChannelVolume(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, ULONG Channel, PLONG Value);
NTSTATUS SetChannelVolume(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, ULONG Channel, LONG Value);

// KSPROPERTY_AUDIO_VOLUMELEVEL and KSPROPERTY_AUDIO_MUTE of a node whose entity has been
// checked to be a feature unit. PASSIVE_LEVEL.
NTSTATUS VolumeProperty(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, PPCPROPERTY_REQUEST Request);
NTSTATUS MuteProperty(CUSBAudioCL &Usb, CUSBAudioFeatureUnit *Unit, PPCPROPERTY_REQUEST Request);
