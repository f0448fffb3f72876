// A kernel driver that leaks on purpose: it allocates pool at entry and never frees it, so the
// machine's unload check must report it.
#include <wdm.h>

namespace {

constexpr ULONG LeakPoolTag = 0x6b61654c; // "Leak"

PVOID g_Leaked;

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    g_Leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 48, LeakPoolTag);
    if (g_Leaked == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
