// Whether the machine is quiescent: the question a paced bus or clock asks before it moves on.
#include <platform/thread.h>
#include "dispatcher_lock.h"
#include "io/io_internal.h"
#include "kernel_internal.h"

namespace platform {

// The threads are asked twice: a DPC or work item queued by a thread that then blocked is seen
// by the queue check, and one that wakes a thread after the queue check by the second ask.
bool machine_quiescent()
{
    return dispatcher_started_threads_blocked() && dpc_queue_idle() && io_work_idle() &&
           dispatcher_started_threads_blocked();
}

} // namespace platform
