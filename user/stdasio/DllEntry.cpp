// The library entry point and the self-registration entry points of ovmlsaso. Registration
// works on the registry only and creates no object. The keys go to the registering process's
// registry view: a 32-bit registration tool puts them in the 32-bit view, where 32-bit hosts
// look for them.
#include "OVASIO.h"
#include "OVASIOTrace.h"
#include "combase/ComRegistration.h"
#include <olectl.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved)
{
    UNREFERENCED_PARAMETER(hInstance);
    UNREFERENCED_PARAMETER(reason);
    UNREFERENCED_PARAMETER(reserved);
    return TRUE;
}

// Any non-zero registration result becomes -1. The entries register no provider of their own:
// they trace through the one a driver object of this module holds, if any.
STDAPI DllRegisterServer()
{
    const LONG result = RegisterDriverServer(CLSID_OVASIO, OVASIO_MODULE_FILE_NAME, OVASIO_DRIVER_NAME,
                                             OVASIO_DESCRIPTION, OVASIO_THREADING_MODEL);
    if (result != COMREG_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "RegisterDriverServer failed: %d", (int)result);
    }
    return result == COMREG_OK ? S_OK : (HRESULT)-1;
}

STDAPI DllUnregisterServer()
{
    const LONG result = UnregisterDriverServer(CLSID_OVASIO, OVASIO_MODULE_FILE_NAME, OVASIO_DRIVER_NAME);
    if (result != COMREG_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "UnregisterDriverServer failed: %d", (int)result);
    }
    return result == COMREG_OK ? S_OK : (HRESULT)-1;
}
