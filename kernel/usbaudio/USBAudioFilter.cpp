// CUSBAudioCL::BuildFilter and FreeFilter: the portcls filter descriptor that mirrors the
// device's AudioControl topology (pins per terminal, nodes per unit control, the connections
// along the render and capture paths).
#include "USBAudioCL.h"
#include "USBAudioFeatureUnit.h"
#include "USBAudioFilter.h"
#include "USBAudioTerminal.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr UCHAR UAC2_AC_CLOCK_MULTIPLIER = 0x0C;

const KSDATARANGE BRIDGE_RANGE = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                                   KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE}};
const PKSDATARANGE BRIDGE_RANGES[] = {const_cast<PKSDATARANGE>(&BRIDGE_RANGE)};

struct TERMINAL_NODE_TYPE {
    USHORT TerminalType;
    const GUID *NodeType;
};

const TERMINAL_NODE_TYPE TERMINAL_NODE_TYPES[] = {
    {0x0201, &KSNODETYPE_MICROPHONE},
    {0x0202, &KSNODETYPE_DESKTOP_MICROPHONE},
    {0x0203, &KSNODETYPE_PERSONAL_MICROPHONE},
    {0x0204, &KSNODETYPE_OMNI_DIRECTIONAL_MICROPHONE},
    {0x0205, &KSNODETYPE_MICROPHONE_ARRAY},
    {0x0206, &KSNODETYPE_PROCESSING_MICROPHONE_ARRAY},
    {0x0301, &KSNODETYPE_SPEAKER},
    {0x0302, &KSNODETYPE_HEADPHONES},
    {0x0303, &KSNODETYPE_HEAD_MOUNTED_DISPLAY_AUDIO},
    {0x0304, &KSNODETYPE_DESKTOP_SPEAKER},
    {0x0305, &KSNODETYPE_ROOM_SPEAKER},
    {0x0306, &KSNODETYPE_COMMUNICATION_SPEAKER},
    {0x0307, &KSNODETYPE_LOW_FREQUENCY_EFFECTS_SPEAKER},
    {0x0401, &KSNODETYPE_HANDSET},
    {0x0402, &KSNODETYPE_HEADSET},
    {0x0403, &KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION},
    {0x0404, &KSNODETYPE_ECHO_SUPPRESSING_SPEAKERPHONE},
    {0x0405, &KSNODETYPE_ECHO_CANCELING_SPEAKERPHONE},
    {0x0501, &KSNODETYPE_PHONE_LINE},
    {0x0502, &KSNODETYPE_TELEPHONE},
    {0x0503, &KSNODETYPE_DOWN_LINE_PHONE},
    {0x0601, &KSNODETYPE_ANALOG_CONNECTOR},
    {0x0602, &KSNODETYPE_DIGITAL_AUDIO_INTERFACE},
    {0x0603, &KSNODETYPE_LINE_CONNECTOR},
    {0x0604, &KSNODETYPE_LEGACY_AUDIO_CONNECTOR},
    {0x0605, &KSNODETYPE_SPDIF_INTERFACE},
    {0x0606, &KSNODETYPE_1394_DA_STREAM},
    {0x0607, &KSNODETYPE_1394_DV_STREAM_SOUNDTRACK},
    {0x0701, &KSNODETYPE_LEVEL_CALIBRATION_NOISE_SOURCE},
    {0x0702, &KSNODETYPE_EQUALIZATION_NOISE},
    {0x0703, &KSNODETYPE_CD_PLAYER},
    {0x0704, &KSNODETYPE_DAT_IO_DIGITAL_AUDIO_TAPE},
    {0x0705, &KSNODETYPE_DCC_IO_DIGITAL_COMPACT_CASSETTE},
    {0x0706, &KSNODETYPE_MINIDISK},
    {0x0707, &KSNODETYPE_ANALOG_TAPE},
    {0x0708, &KSNODETYPE_PHONOGRAPH},
    {0x0709, &KSNODETYPE_VCR_AUDIO},
    {0x070A, &KSNODETYPE_VIDEO_DISC_AUDIO},
    {0x070B, &KSNODETYPE_DVD_AUDIO},
    {0x070C, &KSNODETYPE_TV_TUNER_AUDIO},
    {0x070D, &KSNODETYPE_SATELLITE_RECEIVER_AUDIO},
    {0x070E, &KSNODETYPE_CABLE_TUNER_AUDIO},
    {0x070F, &KSNODETYPE_DSS_AUDIO},
    {0x0710, &KSNODETYPE_RADIO_RECEIVER},
    {0x0711, &KSNODETYPE_RADIO_TRANSMITTER},
    {0x0712, &KSNODETYPE_MULTITRACK_RECORDER},
    {0x0713, &KSNODETYPE_SYNTHESIZER},
};
static_assert(sizeof(TERMINAL_NODE_TYPES) / sizeof(TERMINAL_NODE_TYPES[0]) == 47);

// Feature-unit controls in node creation order; bass, mid, treble and bass boost share one
// tone node, made at the position of the first of them.
constexpr ULONG FU_TONE = 2;
const ULONG FEATURE_NODE_ORDER[] = {0, 1, FU_TONE, 5, 6, 7, 9, 10, 11, 12, 13, 14};
const ULONG TONE_CONTROLS[] = {2, 3, 4, 8};

const GUID *FeatureNodeType(ULONG control)
{
    switch (control) {
    case 0:
        return &KSNODETYPE_MUTE;
    case 1:
        return &KSNODETYPE_VOLUME;
    case FU_TONE:
        return &KSNODETYPE_TONE;
    case 5:
        return &KSNODETYPE_EQUALIZER;
    case 6:
        return &KSNODETYPE_AGC;
    case 7:
        return &KSNODETYPE_DELAY;
    case 9:
        return &KSNODETYPE_LOUDNESS;
    default:
        return &KSNODETYPE_DEV_SPECIFIC;
    }
}

const GUID *TerminalCategory(USHORT terminalType)
{
    for (const TERMINAL_NODE_TYPE &row : TERMINAL_NODE_TYPES) {
        if (row.TerminalType == terminalType) {
            return row.NodeType;
        }
    }
    return nullptr;
}

BOOLEAN IsTerminal(UCHAR subtype)
{
    return subtype == UAC_AC_INPUT_TERMINAL || subtype == UAC_AC_OUTPUT_TERMINAL;
}

// An element on a path: a pin or a node index, tagged.
constexpr ULONG NODE_BIT = 0x80000000u;

// An ordered signal path of pins and nodes with room for every element of the filter.
struct SIGNAL_PATH {
    PULONG Items;
    ULONG Count;

    VOID InsertAt(ULONG position, ULONG item)
    {
        for (ULONG i = Count; i > position; --i) {
            Items[i] = Items[i - 1];
        }
        Items[position] = item;
        ++Count;
    }
};

// A feature unit has a control when any channel's bmaControls marks it (readable in revision 2).
BOOLEAN FeatureHasControl(const UCHAR *descriptor, BOOLEAN uac2, ULONG control)
{
    ULONG length = UsbDescByte(descriptor, 0);
    if (uac2) {
        ULONG channels = length >= 6 ? (length - 6) / 4 : 0;
        for (ULONG c = 0; c < channels; ++c) {
            if ((UsbDescDword(descriptor, 5 + 4 * c) & (1u << (2 * control))) != 0) {
                return TRUE;
            }
        }
    } else {
        ULONG size = UsbDescByte(descriptor, 5);
        ULONG channels = length >= 7 && size != 0 ? (length - 7) / size : 0;
        ULONG byte = control / 8;
        for (ULONG c = 0; c < channels && byte < size; ++c) {
            if ((UsbDescByte(descriptor, 6 + c * size + byte) & (1u << (control % 8))) != 0) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

} // namespace

VOID CUSBAudioCL::FreeFilter(PPCFILTER_DESCRIPTOR filter)
{
    if (filter == nullptr) {
        return;
    }
    if (filter->Pins != nullptr) {
        ExFreePoolWithTag(const_cast<PCPIN_DESCRIPTOR *>(filter->Pins), USBAUDIO_TAG);
    }
    if (filter->Nodes != nullptr) {
        ExFreePoolWithTag(const_cast<PCNODE_DESCRIPTOR *>(filter->Nodes), USBAUDIO_TAG);
    }
    if (filter->Connections != nullptr) {
        ExFreePoolWithTag(const_cast<PCCONNECTION_DESCRIPTOR *>(filter->Connections), USBAUDIO_TAG);
    }
    filter->Pins = nullptr;
    filter->PinCount = 0;
    filter->Nodes = nullptr;
    filter->NodeCount = 0;
    filter->Connections = nullptr;
    filter->ConnectionCount = 0;
}

NTSTATUS CUSBAudioCL::BuildFilter(PPCFILTER_DESCRIPTOR filter, const USBAUDIO_FILTER_AUTOMATION *automation)
{
    if (filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(filter, sizeof(*filter));
    NTSTATUS rangeStatus = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *records[] = {m_pRender, m_pCapture};
    for (USB_STREAMING_INTERFACE *record : records) {
        if (record == nullptr) {
            continue;
        }
        NTSTATUS status = BuildDataRanges(record);
        if (!NT_SUCCESS(status)) {
            rangeStatus = status;
        }
    }

    ULONG pinCount = 0;
    ULONG nodeCount = 0;
    BOOLEAN capturePin = FALSE;
    BOOLEAN renderPin = FALSE;
    for (CUSBAudioEntity *entity = m_pEntities; entity != nullptr; entity = entity->m_pNext) {
        UCHAR subtype = entity->GetSubtype();
        if (IsTerminal(subtype)) {
            ++pinCount;
            BOOLEAN streaming = static_cast<CUSBAudioTerminal *>(entity)->GetTerminalType() == UAC_TERMINAL_USB_STREAMING;
            BOOLEAN input = subtype == UAC_AC_INPUT_TERMINAL;
            (input == streaming ? renderPin : capturePin) = TRUE;
        } else if (m_IsUac2 && subtype >= UAC2_AC_CLOCK_SOURCE && subtype <= UAC2_AC_CLOCK_MULTIPLIER) {
            continue;
        } else if (subtype == UAC_AC_FEATURE_UNIT) {
            for (ULONG control : FEATURE_NODE_ORDER) {
                BOOLEAN present = FeatureHasControl(entity->GetDescriptor(), m_IsUac2, control);
                for (ULONG i = 0; control == FU_TONE && !present && i < 4; ++i) {
                    present = FeatureHasControl(entity->GetDescriptor(), m_IsUac2, TONE_CONTROLS[i]);
                }
                nodeCount += present ? 1 : 0;
            }
        } else {
            ++nodeCount;
        }
    }
    nodeCount += (capturePin ? 1 : 0) + (renderPin ? 1 : 0);

    NTSTATUS status = STATUS_SUCCESS;
    auto pins = static_cast<USBAUDIO_PIN_ELEMENT *>(
        ExAllocatePoolWithTag(PoolType(), (pinCount != 0 ? pinCount : 1) * sizeof(USBAUDIO_PIN_ELEMENT), USBAUDIO_TAG));
    auto nodes = static_cast<USBAUDIO_NODE_ELEMENT *>(ExAllocatePoolWithTag(
        PoolType(), (nodeCount != 0 ? nodeCount : 1) * sizeof(USBAUDIO_NODE_ELEMENT), USBAUDIO_TAG));
    ULONG elements = pinCount + nodeCount;
    auto pathItems = static_cast<PULONG>(ExAllocatePoolWithTag(PoolType(), 2 * (elements + 1) * sizeof(ULONG), USBAUDIO_TAG));
    auto connections = static_cast<PCCONNECTION_DESCRIPTOR *>(ExAllocatePoolWithTag(
        PoolType(), (elements != 0 ? elements : 1) * sizeof(PCCONNECTION_DESCRIPTOR), USBAUDIO_TAG));
    if (pins == nullptr || nodes == nullptr || pathItems == nullptr || connections == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(pins, (pinCount != 0 ? pinCount : 1) * sizeof(USBAUDIO_PIN_ELEMENT));
        RtlZeroMemory(nodes, (nodeCount != 0 ? nodeCount : 1) * sizeof(USBAUDIO_NODE_ELEMENT));
        filter->Version = 0;
        filter->AutomationTable = automation != nullptr ? automation->Filter : nullptr;
        filter->PinSize = sizeof(USBAUDIO_PIN_ELEMENT);
        filter->PinCount = pinCount;
        filter->Pins = &pins[0].Descriptor;
        filter->NodeSize = sizeof(USBAUDIO_NODE_ELEMENT);
        filter->NodeCount = nodeCount;
        filter->Nodes = &nodes[0].Descriptor;
        filter->Connections = connections;
        pins = nullptr;
        nodes = nullptr;
        connections = nullptr;
    }
    if (!NT_SUCCESS(status)) {
        if (pins != nullptr) {
            ExFreePoolWithTag(pins, USBAUDIO_TAG);
        }
        if (nodes != nullptr) {
            ExFreePoolWithTag(nodes, USBAUDIO_TAG);
        }
        if (connections != nullptr) {
            ExFreePoolWithTag(connections, USBAUDIO_TAG);
        }
        if (pathItems != nullptr) {
            ExFreePoolWithTag(pathItems, USBAUDIO_TAG);
        }
        return status;
    }

    auto pinArray = reinterpret_cast<USBAUDIO_PIN_ELEMENT *>(const_cast<PCPIN_DESCRIPTOR *>(filter->Pins));
    auto nodeArray = reinterpret_cast<USBAUDIO_NODE_ELEMENT *>(const_cast<PCNODE_DESCRIPTOR *>(filter->Nodes));
    SIGNAL_PATH capture = {pathItems, 0};
    SIGNAL_PATH render = {pathItems + elements + 1, 0};
    SIGNAL_PATH *paths[] = {&capture, &render};

    // Pins, in entity order. Fronts and ends are collected apart and joined after.
    ULONG captureFront = 0;
    ULONG renderFront = 0;
    ULONG pin = 0;
    for (CUSBAudioEntity *entity = m_pEntities; entity != nullptr; entity = entity->m_pNext) {
        UCHAR subtype = entity->GetSubtype();
        if (!IsTerminal(subtype)) {
            continue;
        }
        auto terminal = static_cast<CUSBAudioTerminal *>(entity);
        BOOLEAN input = subtype == UAC_AC_INPUT_TERMINAL;
        USBAUDIO_PIN_ELEMENT &element = pinArray[pin];
        KSPIN_DESCRIPTOR &ks = element.Descriptor.KsPinDescriptor;
        element.Terminal = terminal;
        element.Index = pin;
        element.IsNode = FALSE;
        ks.DataFlow = input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
        if (terminal->GetTerminalType() == UAC_TERMINAL_USB_STREAMING) {
            USB_STREAMING_INTERFACE *record = input ? m_pRender : m_pCapture;
            element.Descriptor.MaxGlobalInstanceCount = 1;
            element.Descriptor.MaxFilterInstanceCount = 1;
            element.Descriptor.MinFilterInstanceCount = 0;
            ks.Communication = KSPIN_COMMUNICATION_SINK;
            ks.Category = &KSCATEGORY_AUDIO;
            if (record != nullptr && record->DataRangeEntries != nullptr) {
                ks.DataRangesCount = record->DataRangeEntryCount;
                ks.DataRanges = record->DataRangeEntries;
            }
            // The streaming input starts the render path; the streaming output ends capture.
            if (input) {
                element.Path = USBAUDIO_PATH_RENDER;
                render.InsertAt(renderFront++, pin);
            } else {
                element.Path = USBAUDIO_PATH_CAPTURE;
                capture.InsertAt(capture.Count, pin);
            }
        } else {
            ks.Communication = KSPIN_COMMUNICATION_BRIDGE;
            ks.DataRangesCount = 1;
            ks.DataRanges = BRIDGE_RANGES;
            ks.Category = TerminalCategory(terminal->GetTerminalType());
            if (input) {
                element.Path = USBAUDIO_PATH_CAPTURE;
                capture.InsertAt(captureFront++, pin);
            } else {
                element.Path = USBAUDIO_PATH_RENDER;
                render.InsertAt(render.Count, pin);
            }
        }
        ++pin;
    }

    // Nodes: the converters first, then each unit's nodes in entity order.
    ULONG node = 0;
    ULONG adc = MAXULONG;
    ULONG dac = MAXULONG;
    auto addNode = [&](CUSBAudioEntity *entity, ULONG kind, const GUID *type) {
        USBAUDIO_NODE_ELEMENT &element = nodeArray[node];
        element.Entity = entity;
        element.Index = node;
        element.IsNode = TRUE;
        element.Kind = kind;
        element.Descriptor.Type = type;
        if (automation != nullptr && kind == 0) {
            element.Descriptor.AutomationTable = automation->MuteNode;
        } else if (automation != nullptr && kind == 1) {
            element.Descriptor.AutomationTable = automation->VolumeNode;
        }
        ++node;
    };
    if (capturePin) {
        adc = node;
        addNode(nullptr, USBAUDIO_NODE_ADC, &KSNODETYPE_ADC);
    }
    if (renderPin) {
        dac = node;
        addNode(nullptr, USBAUDIO_NODE_DAC, &KSNODETYPE_DAC);
    }
    for (CUSBAudioEntity *entity = m_pEntities; entity != nullptr; entity = entity->m_pNext) {
        UCHAR subtype = entity->GetSubtype();
        if (IsTerminal(subtype) || (m_IsUac2 && subtype >= UAC2_AC_CLOCK_SOURCE && subtype <= UAC2_AC_CLOCK_MULTIPLIER)) {
            continue;
        }
        if (subtype != UAC_AC_FEATURE_UNIT) {
            addNode(entity, USBAUDIO_NODE_UNIT, &KSNODETYPE_DEV_SPECIFIC);
            continue;
        }
        for (ULONG control : FEATURE_NODE_ORDER) {
            BOOLEAN present = FeatureHasControl(entity->GetDescriptor(), m_IsUac2, control);
            for (ULONG i = 0; control == FU_TONE && !present && i < 4; ++i) {
                present = FeatureHasControl(entity->GetDescriptor(), m_IsUac2, TONE_CONTROLS[i]);
            }
            if (present) {
                addNode(entity, control, FeatureNodeType(control));
            }
        }
    }
    ASSERT(node == nodeCount);

    // Each unit node goes right after the first element fed to it: capture path first, each
    // from its front, never past the last element.
    auto entityOf = [&](ULONG item) -> CUSBAudioEntity * {
        return (item & NODE_BIT) != 0 ? nodeArray[item & ~NODE_BIT].Entity : pinArray[item].Terminal;
    };
    for (ULONG n = 0; n < nodeCount; ++n) {
        CUSBAudioEntity *unit = nodeArray[n].Entity;
        if (unit == nullptr) {
            continue;
        }
        LONG source = unit->GetSourceID(0);
        BOOLEAN placed = FALSE;
        for (SIGNAL_PATH *path : paths) {
            for (ULONG i = 0; !placed && i + 1 < path->Count; ++i) {
                CUSBAudioEntity *entity = entityOf(path->Items[i]);
                if (entity != nullptr && source >= 0 && static_cast<LONG>(entity->GetID()) == source) {
                    path->InsertAt(i + 1, n | NODE_BIT);
                    nodeArray[n].Path = path == &capture ? USBAUDIO_PATH_CAPTURE : USBAUDIO_PATH_RENDER;
                    placed = TRUE;
                }
            }
        }
    }
    // One converter per path: the ADC after the last bridge input pin (wherever the unit nodes
    // placed it), the DAC before the first bridge output pin. A second insertion of the same
    // node would tie the path into a loop.
    if (adc != MAXULONG && captureFront != 0) {
        ULONG after = 0;
        for (ULONG i = 0; i < capture.Count; ++i) {
            ULONG item = capture.Items[i];
            if ((item & NODE_BIT) == 0 && pinArray[item].Descriptor.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE) {
                after = i + 1;
            }
        }
        capture.InsertAt(after, adc | NODE_BIT);
        nodeArray[adc].Path = USBAUDIO_PATH_CAPTURE;
    }
    if (dac != MAXULONG) {
        for (ULONG i = 0; i < render.Count; ++i) {
            ULONG item = render.Items[i];
            if ((item & NODE_BIT) == 0 && pinArray[item].Descriptor.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE) {
                render.InsertAt(i, dac | NODE_BIT);
                nodeArray[dac].Path = USBAUDIO_PATH_RENDER;
                break;
            }
        }
    }

    ULONG connectionCount = 0;
    auto connectionArray = const_cast<PCCONNECTION_DESCRIPTOR *>(filter->Connections);
    for (SIGNAL_PATH *path : paths) {
        for (ULONG i = 0; i + 1 < path->Count; ++i) {
            ULONG from = path->Items[i];
            ULONG to = path->Items[i + 1];
            PCCONNECTION_DESCRIPTOR &c = connectionArray[connectionCount++];
            c.FromNode = (from & NODE_BIT) != 0 ? from & ~NODE_BIT : PCFILTER_NODE;
            c.FromNodePin = (from & NODE_BIT) != 0 ? 0 : from;
            c.ToNode = (to & NODE_BIT) != 0 ? to & ~NODE_BIT : PCFILTER_NODE;
            c.ToNodePin = (to & NODE_BIT) != 0 ? 1 : to;
        }
    }
    filter->ConnectionCount = connectionCount;
    ExFreePoolWithTag(pathItems, USBAUDIO_TAG);
    return rangeStatus;
}
