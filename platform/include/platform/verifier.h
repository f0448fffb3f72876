// The stand-in's driver verifier: a rule broken by kernel code stops the process with a
// bug-check style message naming the rule, so that a test sees misuse that would crash a
// real machine. Death tests match the rule name.
#pragma once
#include <string>
#include <ntdef.h>

namespace platform {

// Prints "DRIVER_VERIFIER: <rule>: <details>" to stderr and aborts.
[[noreturn]] void verifier_stop(const char *rule, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Stops with IRQL_NOT_LESS_OR_EQUAL when the calling thread's IRQL is above max_irql.
void verifier_check_irql(KIRQL max_irql, const char *function);

// True when the calling thread is back at PASSIVE_LEVEL and holds no spin lock; otherwise
// false, with the reason in *why when given. For test fixtures.
bool verifier_thread_clean(std::string *why = nullptr);

// Number of spin locks the calling thread holds.
ULONG verifier_spin_locks_held();

} // namespace platform
