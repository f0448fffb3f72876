// The automation tables of the adapter's WaveRT filter: the component ID on the filter, volume
// and mute on their nodes. The pins, nodes and data ranges come from the USB audio-class
// library's BuildFilter.
#include "AdapterFilter.h"
#include "AsyncInterfaces.h"
#include "MiniportWaveRT.h"
#include "USBAudioFilter.h"

namespace {

const PCPROPERTY_ITEM g_FilterProperties[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerComponentId},
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

static_assert(sizeof(g_FilterProperties) / sizeof(g_FilterProperties[0]) == 1, "component ID only");
static_assert(sizeof(g_VolumeProperties) / sizeof(g_VolumeProperties[0]) == 1, "volume node: one property");
static_assert(sizeof(g_MuteProperties) / sizeof(g_MuteProperties[0]) == 1, "mute node: one property");

} // namespace

const USBAUDIO_FILTER_AUTOMATION g_AdapterFilterAutomation = {&g_FilterAutomation, &g_VolumeAutomation,
                                                              &g_MuteAutomation};

NTSTATUS PropertyHandlerNode(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr || Request->MajorTarget == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PMINIPORTWAVERTEXT miniport = nullptr;
    NTSTATUS status =
        Request->MajorTarget->QueryInterface(IID_IMiniportWaveRTExt, reinterpret_cast<void **>(&miniport));
    if (NT_SUCCESS(status)) {
        status = static_cast<CMiniportWaveRT *>(miniport)->Adapter()->NodePropertyHandler(Request);
        miniport->Release();
    }
    return status;
}
