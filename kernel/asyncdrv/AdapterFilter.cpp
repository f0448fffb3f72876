// The automation tables of the adapter's WaveRT filter: the component ID and the pins' jack
// descriptions on the filter, volume and mute on their nodes. The pins, nodes and data ranges
// come from the USB audio-class library's BuildFilter.
#include "AdapterFilter.h"
#include "AsyncInterfaces.h"
#include "MiniportWaveRT.h"
#include "USBAudioFilter.h"

namespace {

// The jack properties address a pin factory through the filter (the instance begins with the
// pin index), so that every pin, streaming or connector, gets an answer from the adapter.
const PCPROPERTY_ITEM g_FilterProperties[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerComponentId},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     PropertyHandlerPin},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     PropertyHandlerPin},
};
DEFINE_PCAUTOMATION_TABLE_PROP(g_FilterAutomation, g_FilterProperties);

const PCPROPERTY_ITEM g_VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerNode},
};
DEFINE_PCAUTOMATION_TABLE_PROP(g_VolumeAutomation, g_VolumeProperties);

const PCPROPERTY_ITEM g_MuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerNode},
};
DEFINE_PCAUTOMATION_TABLE_PROP(g_MuteAutomation, g_MuteProperties);

static_assert(sizeof(g_FilterProperties) / sizeof(g_FilterProperties[0]) == 3, "component ID and two jack properties");
static_assert(sizeof(g_VolumeProperties) / sizeof(g_VolumeProperties[0]) == 1, "volume node: one property");
static_assert(sizeof(g_MuteProperties) / sizeof(g_MuteProperties[0]) == 1, "mute node: one property");

} // namespace

const USBAUDIO_FILTER_AUTOMATION g_AdapterFilterAutomation = {&g_FilterAutomation, &g_VolumeAutomation,
                                                              &g_MuteAutomation};

namespace {

// The adapter of the miniport a request reached, referenced through its miniport; null when
// the major target is no miniport of this driver or has no adapter.
PMINIPORTWAVERTEXT RequestMiniport(PPCPROPERTY_REQUEST Request, PADAPTERCOMMON *Adapter)
{
    PMINIPORTWAVERTEXT miniport = nullptr;
    *Adapter = nullptr;
    if (Request->MajorTarget != nullptr &&
        NT_SUCCESS(
            Request->MajorTarget->QueryInterface(IID_IMiniportWaveRTExt, reinterpret_cast<void **>(&miniport)))) {
        *Adapter = static_cast<CMiniportWaveRT *>(miniport)->Adapter();
        if (*Adapter == nullptr) {
            miniport->Release();
            miniport = nullptr;
        }
    }
    return miniport;
}

} // namespace

NTSTATUS PropertyHandlerNode(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PADAPTERCOMMON adapter = nullptr;
    PMINIPORTWAVERTEXT miniport = RequestMiniport(Request, &adapter);
    if (miniport == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = adapter->NodePropertyHandler(Request);
    miniport->Release();
    return status;
}

NTSTATUS PropertyHandlerPin(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PADAPTERCOMMON adapter = nullptr;
    PMINIPORTWAVERTEXT miniport = RequestMiniport(Request, &adapter);
    if (miniport == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = adapter->PinPropertyHandler(Request);
    miniport->Release();
    return status;
}
