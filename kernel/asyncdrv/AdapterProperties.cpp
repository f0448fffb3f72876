// The adapter's property handlers: node requests routed to the feature-unit volume and mute
// handlers, the jack descriptions of the filter's pins, and the size checks and basic-support
// answer shared with the component-ID property.
#include "AdapterProperties.h"
#include "AdapterCommon.h"
#include "USBAudioFeatureUnit.h"
#include "USBAudioTerminal.h"
#include "UsbAudioTrace.h"

namespace {

// Front left and right.
constexpr DWORD JACK_CHANNEL_MAPPING = KSAUDIO_SPEAKER_STEREO;

struct JACK_DESCRIPTION_ANSWER {
    KSMULTIPLE_ITEM Header;
    KSJACK_DESCRIPTION Jack;
};
static_assert(sizeof(JACK_DESCRIPTION_ANSWER) == 36, "KSMULTIPLE_ITEM and one KSJACK_DESCRIPTION");

struct JACK_DESCRIPTION2_ANSWER {
    KSMULTIPLE_ITEM Header;
    KSJACK_DESCRIPTION2 Jack;
};
static_assert(sizeof(JACK_DESCRIPTION2_ANSWER) == 16, "KSMULTIPLE_ITEM and one KSJACK_DESCRIPTION2");

// Writes the jack answer of a physical connector. The connector state is read from the
// terminal: 1 connected, 0 not, -1 unknown (no connector control, or a failed read).
VOID WriteJackAnswer(ULONG Id, CUSBAudioTerminal *Terminal, PPCPROPERTY_REQUEST Request)
{
    const LONG state = Terminal->GetConnectorState();
    if (Id == KSPROPERTY_JACK_DESCRIPTION) {
        JACK_DESCRIPTION_ANSWER answer = {};
        answer.Header.Size = sizeof(answer);
        answer.Header.Count = 1;
        answer.Jack.ChannelMapping = JACK_CHANNEL_MAPPING;
        answer.Jack.Color = 0;
        answer.Jack.ConnectionType = eConnTypeUnknown;
        answer.Jack.GeoLocation = eGeoLocFront;
        answer.Jack.GenLocation = eGenLocPrimaryBox;
        answer.Jack.PortConnection = ePortConnJack;
        // A state that cannot be read counts as connected.
        answer.Jack.IsConnected = state == 0 ? FALSE : TRUE;
        RtlCopyMemory(Request->Value, &answer, sizeof(answer));
        Request->ValueSize = sizeof(answer);
    } else {
        JACK_DESCRIPTION2_ANSWER answer = {};
        answer.Header.Size = sizeof(answer);
        answer.Header.Count = 1;
        answer.Jack.DeviceStateInfo = 0;
        answer.Jack.JackCapabilities = state == 0 || state == 1 ? JACKDESC2_PRESENCE_DETECT_CAPABILITY : 0;
        RtlCopyMemory(Request->Value, &answer, sizeof(answer));
        Request->ValueSize = sizeof(answer);
    }
}

// The feature unit behind a node of the filter, or null for a bad index, a node without an
// entity (the converters) and an entity that is not a feature unit.
CUSBAudioFeatureUnit *NodeFeatureUnit(const PCFILTER_DESCRIPTOR *Filter, ULONG Node)
{
    CUSBAudioFeatureUnit *unit = nullptr;
    if (Filter != nullptr && Filter->Nodes != nullptr && Node != PCFILTER_NODE && Node < Filter->NodeCount &&
        Filter->NodeSize >= sizeof(USBAUDIO_NODE_ELEMENT)) {
        auto node = reinterpret_cast<const USBAUDIO_NODE_ELEMENT *>(reinterpret_cast<const UCHAR *>(Filter->Nodes) +
                                                                    static_cast<SIZE_T>(Node) * Filter->NodeSize);
        if (node->Entity != nullptr && node->Entity->GetSubtype() == UAC_AC_FEATURE_UNIT) {
            unit = static_cast<CUSBAudioFeatureUnit *>(node->Entity);
        }
    }
    return unit;
}

} // namespace

NTSTATUS BasicSupportReadOnly(PPCPROPERTY_REQUEST Request)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Request == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) {
        Request->ValueSize = 0;
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (Request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
        *static_cast<PULONG>(Request->Value) = PROPERTY_ACCESS_READ_ONLY;
        Request->ValueSize = sizeof(ULONG);
    } else {
        KSPROPERTY_DESCRIPTION description = {};
        description.AccessFlags = PROPERTY_ACCESS_READ_ONLY;
        description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        description.MembersListCount = 0;
        description.Reserved = 0;
        RtlCopyMemory(Request->Value, &description, sizeof(description));
        Request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    }
    return status;
}

NTSTATUS ValidatePropertyValue(PPCPROPERTY_REQUEST Request, ULONG ValueNeeded, ULONG InstanceNeeded)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Request == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Request->ValueSize == 0) {
        Request->ValueSize = ValueNeeded;
        status = STATUS_BUFFER_OVERFLOW;
    } else if (Request->ValueSize < ValueNeeded || Request->InstanceSize < InstanceNeeded ||
               (InstanceNeeded != 0 && Request->Instance == nullptr)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (Request->ValueSize > ValueNeeded || Request->Value == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (Request != nullptr && NT_ERROR(status)) {
        Request->ValueSize = 0;
    }
    return status;
}

// A node request reaches a volume or mute handler only through a node whose entity is a
// feature unit; any other node, a bad index or a request without a node fails with
// STATUS_UNSUCCESSFUL and touches nothing.
STDMETHODIMP CAdapterCommon::NodePropertyHandler(PPCPROPERTY_REQUEST Request)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (Request == nullptr || Request->PropertyItem == nullptr || Request->PropertyItem->Set == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (IsEqualGUID(*Request->PropertyItem->Set, KSPROPSETID_Audio)) {
        CUSBAudioFeatureUnit *unit = NodeFeatureUnit(GetFilterDescriptor(), Request->Node);
        if (unit != nullptr && Request->PropertyItem->Id == KSPROPERTY_AUDIO_VOLUMELEVEL) {
            status = VolumeProperty(m_Usb, unit, Request);
        } else if (unit != nullptr && Request->PropertyItem->Id == KSPROPERTY_AUDIO_MUTE) {
            status = MuteProperty(m_Usb, unit, Request);
        }
    }
    return status;
}

// KSPROPSETID_Jack on a pin addressed by the instance's pin index. Only physical connectors
// (pins of no or bridge communication) have a jack; a query on any other pin succeeds with
// no data.
STDMETHODIMP CAdapterCommon::PinPropertyHandler(PPCPROPERTY_REQUEST Request)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    const USBAUDIO_PIN_ELEMENT *pin = nullptr;
    ULONG pinIndex = 0;
    if (Request == nullptr || Request->PropertyItem == nullptr || Request->PropertyItem->Set == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (IsEqualGUID(*Request->PropertyItem->Set, KSPROPSETID_Jack) &&
               (Request->PropertyItem->Id == KSPROPERTY_JACK_DESCRIPTION ||
                Request->PropertyItem->Id == KSPROPERTY_JACK_DESCRIPTION2) &&
               Request->InstanceSize >= sizeof(ULONG) && Request->Instance != nullptr) {
        RtlCopyMemory(&pinIndex, Request->Instance, sizeof(pinIndex));
        pin = PinElement(pinIndex);
    }
    if (pin != nullptr && (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        status = BasicSupportReadOnly(Request);
    } else if (pin != nullptr && pin->Terminal != nullptr) {
        const ULONG id = Request->PropertyItem->Id;
        const KSPIN_COMMUNICATION communication = pin->Descriptor.KsPinDescriptor.Communication;
        const BOOLEAN connector =
            communication == KSPIN_COMMUNICATION_NONE || communication == KSPIN_COMMUNICATION_BRIDGE;
        const ULONG needed =
            id == KSPROPERTY_JACK_DESCRIPTION ? sizeof(JACK_DESCRIPTION_ANSWER) : sizeof(JACK_DESCRIPTION2_ANSWER);
        status = ValidatePropertyValue(Request, needed, 0);
        if (status == STATUS_SUCCESS && (Request->Verb & KSPROPERTY_TYPE_GET) != 0 && connector) {
            WriteJackAnswer(id, pin->Terminal, Request);
        } else if (status == STATUS_SUCCESS) {
            // Success without an answer: no byte of the value is claimed as written.
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "Jack: pin %lu is no connector (verb 0x%lx)\n",
                        pinIndex, Request->Verb);
            Request->ValueSize = 0;
        }
    }
    return status;
}
