// Win32 API: OLE, here only the COM base.
#pragma once
#include <objbase.h>
