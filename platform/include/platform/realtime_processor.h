// The processor that the machine's real-time threads share.
//
// Every thread in the OS real-time class (a real-time priority, a multimedia task, the DPC
// thread, a bus's frame timer) runs on one processor, as a DPC runs on the processor that
// queued it: a wake-up then needs no inter-processor interrupt. While a real-time bus runs,
// that processor also polls in its idle loop instead of halting, because a virtual processor
// that halts may resume milliseconds after its timer or wake-up is due, which is longer than a
// short audio buffer lasts.
#pragma once
#include <pthread.h>

namespace platform {

// Binds a thread that has just entered the real-time class to the shared processor, or gives
// a thread that has left it every processor of the process again. Nothing happens where the
// process may use only one processor, nor in a build with a sanitizer.
void realtime_processor_bind(pthread_t thread, bool realtime);

// Whether this process binds its real-time threads to a shared processor (and polls it).
bool realtime_processor_in_use();

// An OS thread starts in the scheduling class and on the processors of the thread that created
// it. A new thread of the machine calls this first: it leaves an inherited real-time class and
// the shared processor, so that only the threads given a real-time priority run there.
void realtime_processor_leave_inherited();

// While at least one hold is taken, an idle-class thread keeps the shared processor from
// halting. Holds nest; the last release stops and joins the thread.
void realtime_processor_hold();
void realtime_processor_release();

// CPU time in seconds that the idle loop has used so far (it is idle time, not work of the
// machine, and a benchmark leaves it out).
double realtime_processor_idle_seconds();

} // namespace platform
