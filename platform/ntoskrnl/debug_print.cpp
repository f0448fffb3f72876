// Debug output of kernel code: DbgPrint and its kin go to the debugger, which here is stderr
// when OVM_DEBUG_OUTPUT is set (as for OutputDebugString). Formats follow the Windows rules.
#include <wdm.h>
#include <cstdio>
#include <cstdlib>
#include "format.h"

using namespace platform;

namespace {

void to_debugger(const std::string &text)
{
    if (std::getenv("OVM_DEBUG_OUTPUT") != nullptr) {
        std::fputs(text.c_str(), stderr);
    }
}

} // namespace

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    to_debugger(format_narrow(Format, args));
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    to_debugger(format_narrow(Format, args));
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    to_debugger(format_narrow(Format, arglist));
    return STATUS_SUCCESS;
}

} // extern "C"
