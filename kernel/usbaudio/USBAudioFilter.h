// The elements of the filter descriptor that CUSBAudioCL::BuildFilter fills: pin and node
// records that begin with the portcls descriptors and name the entity each stands for.
#pragma once
#include <portcls.h>

class CUSBAudioEntity;
class CUSBAudioTerminal;

// Automation tables the driver hangs on the filter and on its volume and mute nodes; any of
// them may be null.
struct USBAUDIO_FILTER_AUTOMATION {
    const PCAUTOMATION_TABLE *Filter;
    const PCAUTOMATION_TABLE *VolumeNode;
    const PCAUTOMATION_TABLE *MuteNode;
};

// Signal paths of the filter an element can belong to.
constexpr ULONG USBAUDIO_PATH_NONE = 0;
constexpr ULONG USBAUDIO_PATH_CAPTURE = 1;
constexpr ULONG USBAUDIO_PATH_RENDER = 2;

// Feature-unit controls as numbered in bmaControls; also the node kind of a feature-unit node.
constexpr ULONG USBAUDIO_FU_CONTROL_COUNT = 15;
// Node kinds that are not feature-unit controls.
constexpr ULONG USBAUDIO_NODE_ADC = 0x100;
constexpr ULONG USBAUDIO_NODE_DAC = 0x101;
constexpr ULONG USBAUDIO_NODE_UNIT = 0x102;

// Pins array element (PinSize bytes each).
struct USBAUDIO_PIN_ELEMENT {
    PCPIN_DESCRIPTOR Descriptor;
    CUSBAudioTerminal *Terminal;
    ULONG Index;
    BOOLEAN IsNode;
    ULONG Path;
};

// Nodes array element (NodeSize bytes each). Entity is the unit (null for the converters);
// Kind is a feature-unit control number or one of the USBAUDIO_NODE_ kinds.
struct USBAUDIO_NODE_ELEMENT {
    PCNODE_DESCRIPTOR Descriptor;
    CUSBAudioEntity *Entity;
    ULONG Index;
    BOOLEAN IsNode;
    ULONG Path;
    ULONG Kind;
};

static_assert(offsetof(USBAUDIO_PIN_ELEMENT, Descriptor) == 0);
static_assert(offsetof(USBAUDIO_NODE_ELEMENT, Descriptor) == 0);
