// The automation tables the adapter hangs on the filter that the USB audio-class library
// builds: the filter's component-ID and jack properties and the volume and mute node properties.
#pragma once
#include <portcls.h>

struct USBAUDIO_FILTER_AUTOMATION;

// The tables passed to CUSBAudioCL::BuildFilter.
extern const USBAUDIO_FILTER_AUTOMATION g_AdapterFilterAutomation;

// The filter's component-ID property (GET, BASICSUPPORT).
NTSTATUS PropertyHandlerComponentId(PPCPROPERTY_REQUEST Request);
// Volume and mute node requests, passed unchanged to the adapter of the miniport they reach.
NTSTATUS PropertyHandlerNode(PPCPROPERTY_REQUEST Request);
// Jack-description requests of a pin factory, passed unchanged to the adapter of the miniport
// they reach.
NTSTATUS PropertyHandlerPin(PPCPROPERTY_REQUEST Request);
