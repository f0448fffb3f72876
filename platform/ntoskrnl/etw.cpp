// The kernel's event tracing provider functions over the tracing core.
#include <wdm.h>
#include <platform/trace.h>
#include <platform/verifier.h>

using namespace platform;

extern "C" {

NTSTATUS NTAPI EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                           PREGHANDLE RegHandle)
{
    verifier_check_irql(PASSIVE_LEVEL, "EtwRegister");
    if (ProviderId == nullptr || RegHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RegHandle = trace_register(*ProviderId, trace_enable_routine_of(EnableCallback, CallbackContext, *ProviderId),
                                __builtin_return_address(0), true);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle)
{
    verifier_check_irql(PASSIVE_LEVEL, "EtwUnregister");
    return trace_unregister(RegHandle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

BOOLEAN NTAPI EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword)
{
    return trace_provider_enabled(RegHandle, Level, Keyword) ? TRUE : FALSE;
}

NTSTATUS NTAPI EtwWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, LPCGUID ActivityId, PCWSTR String)
{
    UNREFERENCED_PARAMETER(ActivityId);
    if (String == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return trace_write(RegHandle, Level, Keyword, String) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

} // extern "C"
