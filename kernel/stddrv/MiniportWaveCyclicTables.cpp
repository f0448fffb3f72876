// The static description of the "Wave" filter: a capture and a render streaming pin, each with
// its bridge pin, the ADC and DAC nodes between them, the data ranges of 16-bit stereo PCM at
// 44100 to 48000 Hz, and the filter's component identifier.
#include <string.h>
#include "MiniportWaveCyclic.h"

namespace {

// {185FEDFA-9905-11D1-95A9-00C04FB925D3}
const GUID kCaptureStreamName = {0x185FEDFA, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
// {9FF41AC7-49A2-4CB3-9F72-CF7E84C40D88}
const GUID kCaptureBridgeName = {0x9FF41AC7, 0x49A2, 0x4CB3, {0x9F, 0x72, 0xCF, 0x7E, 0x84, 0xC4, 0x0D, 0x88}};
// {50382A18-5B26-4D3F-A8AC-4B9E10437CD6}
const GUID kRenderBridgeName = {0x50382A18, 0x5B26, 0x4D3F, {0xA8, 0xAC, 0x4B, 0x9E, 0x10, 0x43, 0x7C, 0xD6}};

// The component identifier's GUIDs.
// {D5A47FA8-6D98-11D1-A21A-00A0C9223196}
const GUID kManufacturer = {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// {7F9A48F5-2205-43A4-B413-1650C6072146}
const GUID kProduct = {0x7F9A48F5, 0x2205, 0x43A4, {0xB4, 0x13, 0x16, 0x50, 0xC6, 0x07, 0x21, 0x46}};
// {CBE1D1C9-1118-47CB-9556-F132D944E16F}
const GUID kComponentName = {0xCBE1D1C9, 0x1118, 0x47CB, {0x95, 0x56, 0xF1, 0x32, 0xD9, 0x44, 0xE1, 0x6F}};

KSDATARANGE_AUDIO g_StreamRange = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}},
    2,
    16,
    16,
    44100,
    48000,
};

KSDATARANGE g_BridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                              KSDATAFORMAT_SPECIFIER_NONE}};

const PKSDATARANGE g_StreamRanges[] = {reinterpret_cast<PKSDATARANGE>(&g_StreamRange)};
const PKSDATARANGE g_BridgeRanges[] = {&g_BridgeRange};

const PCPIN_DESCRIPTOR g_Pins[] = {
    // capture stream
    {1, 1, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, g_StreamRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
      &kCaptureStreamName, {0}}},
    // capture bridge
    {0, 0, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, g_BridgeRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE,
      &KSNODETYPE_LINE_CONNECTOR, &kCaptureBridgeName, {0}}},
    // render stream
    {1, 1, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, g_StreamRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
      nullptr, {0}}},
    // render bridge
    {0, 0, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, g_BridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPEAKER,
      &kRenderBridgeName, {0}}},
};
static_assert(sizeof(g_Pins) / sizeof(g_Pins[0]) == STD_PIN_COUNT, "four pins");

enum : ULONG { kNodeAdc = 0, kNodeDac = 1, kNodeCount = 2 };

const PCNODE_DESCRIPTOR g_Nodes[] = {
    {0, nullptr, &KSNODETYPE_ADC, nullptr},
    {0, nullptr, &KSNODETYPE_DAC, nullptr},
};
static_assert(sizeof(g_Nodes) / sizeof(g_Nodes[0]) == kNodeCount, "ADC and DAC");

const PCCONNECTION_DESCRIPTOR g_Connections[] = {
    {PCFILTER_NODE, STD_PIN_CAPTURE_BRIDGE, kNodeAdc, 1},
    {kNodeAdc, 0, PCFILTER_NODE, STD_PIN_CAPTURE_STREAM},
    {PCFILTER_NODE, STD_PIN_RENDER_STREAM, kNodeDac, 1},
    {kNodeDac, 0, PCFILTER_NODE, STD_PIN_RENDER_BRIDGE},
};
static_assert(sizeof(g_Connections) / sizeof(g_Connections[0]) == 4, "two paths of two connections");

const PCPROPERTY_ITEM g_FilterProperties[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerStdComponentId},
};
static_assert(sizeof(g_FilterProperties) / sizeof(g_FilterProperties[0]) == 1, "component ID only");
DEFINE_PCAUTOMATION_TABLE_PROP(g_FilterAutomation, g_FilterProperties);

} // namespace

const PCFILTER_DESCRIPTOR g_StdWaveFilter = {
    0,
    &g_FilterAutomation,
    sizeof(PCPIN_DESCRIPTOR),
    STD_PIN_COUNT,
    g_Pins,
    sizeof(PCNODE_DESCRIPTOR),
    kNodeCount,
    g_Nodes,
    sizeof(g_Connections) / sizeof(g_Connections[0]),
    g_Connections,
    0,
    nullptr,
};

// BASICSUPPORT: a full description, the access flags alone, or too small. GET: the size for an
// empty value buffer, the identifier for exactly its size, anything else refused.
NTSTATUS PropertyHandlerStdComponentId(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
    if ((Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        if (Request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION) && Request->Value != nullptr) {
            KSPROPERTY_DESCRIPTION description;
            memset(&description, 0, sizeof(description));
            description.AccessFlags = access;
            description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
            memcpy(Request->Value, &description, sizeof(description));
            Request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
            return STATUS_SUCCESS;
        }
        if (Request->ValueSize >= sizeof(ULONG) && Request->Value != nullptr) {
            memcpy(Request->Value, &access, sizeof(access));
            Request->ValueSize = sizeof(ULONG);
            return STATUS_SUCCESS;
        }
        Request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if ((Request->Verb & KSPROPERTY_TYPE_GET) != 0) {
        if (Request->ValueSize == 0) {
            Request->ValueSize = sizeof(KSCOMPONENTID);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (Request->ValueSize == sizeof(KSCOMPONENTID) && Request->Value != nullptr) {
            KSCOMPONENTID id;
            memset(&id, 0, sizeof(id));
            id.Manufacturer = kManufacturer;
            id.Product = kProduct;
            id.Component = GUID_NULL;
            id.Name = kComponentName;
            id.Version = 1;
            id.Revision = 0;
            memcpy(Request->Value, &id, sizeof(id));
            return STATUS_SUCCESS;
        }
        Request->ValueSize = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}
