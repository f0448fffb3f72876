// User mode's event tracing provider functions over the tracing core.
#include <windows.h>
#include <evntprov.h>
#include <platform/trace.h>

using namespace platform;

extern "C" {

ULONG EVNTAPI EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                            PREGHANDLE RegHandle)
{
    if (ProviderId == nullptr || RegHandle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *RegHandle = trace_register(*ProviderId, trace_enable_routine_of(EnableCallback, CallbackContext, *ProviderId),
                                __builtin_return_address(0), false);
    return ERROR_SUCCESS;
}

ULONG EVNTAPI EventUnregister(REGHANDLE RegHandle)
{
    return trace_unregister(RegHandle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

BOOLEAN EVNTAPI EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword)
{
    return trace_provider_enabled(RegHandle, Level, Keyword) ? TRUE : FALSE;
}

ULONG EVNTAPI EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String)
{
    if (String == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return trace_write(RegHandle, Level, Keyword, String) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // extern "C"
