// Windows code includes this header so that the DEFINE_GUID lines after it define the GUIDs'
// storage. Here DEFINE_GUID always yields an inline constant, so it adds nothing.
#pragma once
#include <guiddef.h>
