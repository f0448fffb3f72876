// The verifier's stop, its IRQL checks, the bug check and assertions.
#include <platform/verifier.h>
#include <platform/thread.h>
#include <wdm.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include "kernel_internal.h"

namespace platform {

void verifier_stop(const char *rule, const char *format, ...)
{
    char details[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(details, sizeof(details), format, args);
    va_end(args);
    std::fprintf(stderr, "\n*** DRIVER_VERIFIER: %s: %s\n", rule, details);
    std::fflush(stderr);
    std::abort();
}

void verifier_check_irql(KIRQL max_irql, const char *function)
{
    const KIRQL irql = current_thread()->irql;
    if (irql > max_irql) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u, above its maximum %u", function,
                      (unsigned)irql, (unsigned)max_irql);
    }
}

void verifier_check_paged_code(const char *function)
{
    const KIRQL irql = current_thread()->irql;
    if (irql > APC_LEVEL) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "pageable code %s runs at IRQL %u", function, (unsigned)irql);
    }
}

bool verifier_thread_clean(std::string *why)
{
    const KIRQL irql = current_thread()->irql;
    const ULONG locks = verifier_spin_locks_held();
    if (irql == PASSIVE_LEVEL && locks == 0) {
        return true;
    }
    if (why != nullptr) {
        *why = "IRQL " + std::to_string(irql) + ", " + std::to_string(locks) + " spin lock(s) held";
    }
    return false;
}

} // namespace platform

extern "C" {

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                        ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4)
{
    std::fprintf(stderr, "\n*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX)\n", (unsigned)BugCheckCode,
                 (unsigned long long)BugCheckParameter1, (unsigned long long)BugCheckParameter2,
                 (unsigned long long)BugCheckParameter3, (unsigned long long)BugCheckParameter4);
    std::fflush(stderr);
    std::abort();
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode)
{
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage)
{
    platform::verifier_stop("ASSERTION_FAILURE", "%s%s%s (%s:%u)", MutableMessage != nullptr ? MutableMessage : "",
                            MutableMessage != nullptr ? ": " : "", static_cast<const char *>(VoidFailedAssertion),
                            static_cast<const char *>(VoidFileName), (unsigned)LineNumber);
}

VOID NTAPI DbgBreakPoint()
{
    platform::verifier_stop("BREAKPOINT", "DbgBreakPoint with no debugger attached");
}

} // extern "C"
