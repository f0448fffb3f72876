// Shared by the kernel registry calls: their IRQL rule (PASSIVE_LEVEL only, checked by the
// verifier on every call) and the key behind a kernel key handle.
#pragma once
#include <platform/registry.h>
#include <platform/verifier.h>

namespace platform {

inline void registry_check_passive(const char *routine) { verifier_check_irql(0, routine); }

// The key behind a kernel registry key handle, with the access it was opened for.
NTSTATUS registry_kernel_key(HANDLE handle, ACCESS_MASK needed, registry_key *key);

} // namespace platform
