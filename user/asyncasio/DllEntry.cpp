// The library entry point and the self-registration entry points of ovmlsaaso. Registration
// works on the registry only and creates no object.
#include "AsioDriverIds.h"
#include "combase/ComBase.h"
#include "combase/ComRegistration.h"
#include <olectl.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved)
{
    return TRUE;
}

// Any non-zero registration result becomes -1.
STDAPI DllRegisterServer()
{
    const LONG result = RegisterDriverServer(CLSID_QelAsioDriver, QEL_ASIO_MODULE_FILE_NAME, QEL_ASIO_DRIVER_NAME,
                                             QEL_ASIO_DESCRIPTION, QEL_ASIO_THREADING_MODEL);
    return result == COMREG_OK ? S_OK : (HRESULT)-1;
}

STDAPI DllUnregisterServer()
{
    const LONG result = UnregisterDriverServer(CLSID_QelAsioDriver, QEL_ASIO_MODULE_FILE_NAME, QEL_ASIO_DRIVER_NAME);
    return result == COMREG_OK ? S_OK : (HRESULT)-1;
}
