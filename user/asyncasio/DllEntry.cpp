// The library entry point and the self-registration entry points of ovmlsaaso. Registration
// works on the registry only and creates no object.
#include "AsioDriverIds.h"
#include "AsioDriverTrace.h"
#include "combase/ComBase.h"
#include "combase/ComRegistration.h"
#include <olectl.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved)
{
    return TRUE;
}

// Any non-zero registration result becomes -1. Each entry traces through the provider it
// registers for its own run.
STDAPI DllRegisterServer()
{
    WPP_INIT_TRACING(L"OVMLSAASO");
    const LONG result = RegisterDriverServer(CLSID_QelAsioDriver, QEL_ASIO_MODULE_FILE_NAME, QEL_ASIO_DRIVER_NAME,
                                             QEL_ASIO_DESCRIPTION, QEL_ASIO_THREADING_MODEL);
    if (result != COMREG_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "RegisterDriverServer failed: %d", (int)result);
    }
    WPP_CLEANUP();
    return result == COMREG_OK ? S_OK : (HRESULT)-1;
}

STDAPI DllUnregisterServer()
{
    WPP_INIT_TRACING(L"OVMLSAASO");
    const LONG result = UnregisterDriverServer(CLSID_QelAsioDriver, QEL_ASIO_MODULE_FILE_NAME, QEL_ASIO_DRIVER_NAME);
    if (result != COMREG_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "UnregisterDriverServer failed: %d", (int)result);
    }
    WPP_CLEANUP();
    return result == COMREG_OK ? S_OK : (HRESULT)-1;
}
