// The kernel executive's part of machine boot and shutdown. Shutdown stops the timer thread
// before the DPC thread (timers queue DPCs), then closes kernel handles still open.
#include <platform/machine_state.h>
#include "kernel_internal.h"

namespace platform {
namespace {

void executive_boot()
{
    pool_boot();
    handles_boot();
    ntddi_boot();
}

void executive_shutdown()
{
    timer_shutdown();
    dpc_shutdown();
    handles_shutdown();
}

const machine_hooks executive_hooks("kernel executive", executive_boot, executive_shutdown);

} // namespace
} // namespace platform
