// The adapter's property handlers: node requests routed to the feature-unit volume and mute
// handlers, the jack descriptions of the filter's pins, and the size checks and basic-support
// answer shared with the component-ID property.
#include "AdapterProperties.h"
#include "AdapterCommon.h"
#include "USBAudioFeatureUnit.h"
#include "USBAudioTerminal.h"

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

} // namespace

NTSTATUS BasicSupportReadOnly(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->ValueSize < sizeof(ULONG) || Request->Value == nullptr) {
        Request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
        *static_cast<PULONG>(Request->Value) = PROPERTY_ACCESS_READ_ONLY;
        Request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = PROPERTY_ACCESS_READ_ONLY;
    description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    description.MembersListCount = 0;
    description.Reserved = 0;
    RtlCopyMemory(Request->Value, &description, sizeof(description));
    Request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
}

NTSTATUS ValidatePropertyValue(PPCPROPERTY_REQUEST Request, ULONG ValueNeeded, ULONG InstanceNeeded)
{
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (Request->ValueSize == 0) {
        Request->ValueSize = ValueNeeded;
        status = STATUS_BUFFER_OVERFLOW;
    } else if (Request->ValueSize < ValueNeeded || Request->InstanceSize < InstanceNeeded ||
               (InstanceNeeded != 0 && Request->Instance == nullptr)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (Request->ValueSize > ValueNeeded || Request->Value == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_ERROR(status)) {
        Request->ValueSize = 0;
    }
    return status;
}

// A node request reaches a volume or mute handler only through a node whose entity is a
// feature unit; any other node, a bad index or a request without a node fails with
// STATUS_UNSUCCESSFUL and touches nothing.
STDMETHODIMP CAdapterCommon::NodePropertyHandler(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr || Request->PropertyItem == nullptr || Request->PropertyItem->Set == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG id = Request->PropertyItem->Id;
    if (Request->Node == PCFILTER_NODE || !IsEqualGUID(*Request->PropertyItem->Set, KSPROPSETID_Audio) ||
        (id != KSPROPERTY_AUDIO_VOLUMELEVEL && id != KSPROPERTY_AUDIO_MUTE)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!m_FilterBuilt || m_Filter.Nodes == nullptr || Request->Node >= m_Filter.NodeCount ||
        m_Filter.NodeSize < sizeof(USBAUDIO_NODE_ELEMENT)) {
        return STATUS_UNSUCCESSFUL;
    }
    const UCHAR *nodes = reinterpret_cast<const UCHAR *>(m_Filter.Nodes);
    auto node = reinterpret_cast<const USBAUDIO_NODE_ELEMENT *>(nodes +
                                                                static_cast<SIZE_T>(Request->Node) * m_Filter.NodeSize);
    if (node->Entity == nullptr || node->Entity->GetSubtype() != UAC_AC_FEATURE_UNIT) {
        return STATUS_UNSUCCESSFUL;
    }
    auto unit = static_cast<CUSBAudioFeatureUnit *>(node->Entity);
    return id == KSPROPERTY_AUDIO_VOLUMELEVEL ? VolumeProperty(m_Usb, unit, Request)
                                              : MuteProperty(m_Usb, unit, Request);
}

// KSPROPSETID_Jack on a pin addressed by the instance's pin index. Only physical connectors
// (pins of no or bridge communication) have a jack; a query on any other pin succeeds with
// no data.
STDMETHODIMP CAdapterCommon::PinPropertyHandler(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr || Request->PropertyItem == nullptr || Request->PropertyItem->Set == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG id = Request->PropertyItem->Id;
    if (!IsEqualGUID(*Request->PropertyItem->Set, KSPROPSETID_Jack) ||
        (id != KSPROPERTY_JACK_DESCRIPTION && id != KSPROPERTY_JACK_DESCRIPTION2)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Request->InstanceSize < sizeof(ULONG) || Request->Instance == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG pinIndex = 0;
    RtlCopyMemory(&pinIndex, Request->Instance, sizeof(pinIndex));
    const USBAUDIO_PIN_ELEMENT *pin = PinElement(pinIndex);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if ((Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupportReadOnly(Request);
    }
    if (pin->Terminal == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG needed =
        id == KSPROPERTY_JACK_DESCRIPTION ? sizeof(JACK_DESCRIPTION_ANSWER) : sizeof(JACK_DESCRIPTION2_ANSWER);
    NTSTATUS status = ValidatePropertyValue(Request, needed, 0);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const KSPIN_COMMUNICATION communication = pin->Descriptor.KsPinDescriptor.Communication;
    if ((Request->Verb & KSPROPERTY_TYPE_GET) != 0 &&
        (communication == KSPIN_COMMUNICATION_NONE || communication == KSPIN_COMMUNICATION_BRIDGE)) {
        WriteJackAnswer(id, pin->Terminal, Request);
    } else {
        // Success without an answer: no byte of the value is claimed as written.
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_TRACE_LEVEL, "Jack: pin %u is no connector (verb 0x%x)\n", pinIndex,
                   Request->Verb);
        Request->ValueSize = 0;
    }
    return STATUS_SUCCESS;
}
