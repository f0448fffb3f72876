// The class-template table of ovmlsaso: its one COM class, the standard ASIO driver object.
#include "OVASIO.h"

const ClassTemplate ClassTemplates[] = {
    {L"OVASIO", &CLSID_OVASIO, OVASIO::CreateInstance, nullptr},
};
const int ClassTemplateCount = (int)(sizeof(ClassTemplates) / sizeof(ClassTemplates[0]));
static_assert(sizeof(ClassTemplates) / sizeof(ClassTemplates[0]) == 1, "ovmlsaso serves one class");
