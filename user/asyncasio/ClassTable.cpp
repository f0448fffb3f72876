// The class-template table of ovmlsaaso: its one COM class. The class identifier is defined
// here (initguid.h first), every other source of the module refers to it.
#include <initguid.h>
#include "AsioDriverIds.h"
#include "QelAsioDriver.h"

const ClassTemplate ClassTemplates[] = {
    {L"QelAsioDriver", &CLSID_QelAsioDriver, CQelAsioDriver::CreateInstance, nullptr},
};
const int ClassTemplateCount = (int)(sizeof(ClassTemplates) / sizeof(ClassTemplates[0]));
static_assert(sizeof(ClassTemplates) / sizeof(ClassTemplates[0]) == 1, "ovmlsaaso serves one class");
