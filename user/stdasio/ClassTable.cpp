// The class-template table of ovmlsaso: its one COM class, the standard ASIO driver object.
// The GUIDs the module uses are defined here (initguid.h first): its class identifier and the
// identifiers of the audio interfaces and property keys it asks for.
#include <initguid.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <functiondiscoverykeys_devpkey.h>
#include "OVASIO.h"

const ClassTemplate ClassTemplates[] = {
    {L"OVASIO", &CLSID_OVASIO, OVASIO::CreateInstance, nullptr},
};
const int ClassTemplateCount = (int)(sizeof(ClassTemplates) / sizeof(ClassTemplates[0]));
static_assert(sizeof(ClassTemplates) / sizeof(ClassTemplates[0]) == 1, "ovmlsaso serves one class");
