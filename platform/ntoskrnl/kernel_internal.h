// Private links between the kernel executive's files.
#pragma once
#include <string>
#include <ntdef.h>

namespace platform {

// Machine state of each part, called in order by the executive's one boot/shutdown hook.
void pool_boot();
void handles_boot();
void handles_shutdown();
void dpc_shutdown();
// No DPC is queued or running.
bool dpc_queue_idle();
void timer_shutdown();
void ntddi_boot();

// Verifier help for pool frees: stops when [begin, begin + size) holds a timer that is set or
// a DPC that is queued.
void timers_check_free(const void *begin, SIZE_T size);
void dpcs_check_free(const void *begin, SIZE_T size);

// The module that contains a code address: its path as loaded, with links resolved.
const char *module_of_address(const void *address);
// A path with its links resolved, as module_of_address gives it; the path itself when it
// does not resolve.
std::string canonical_path(const char *path);

} // namespace platform
