// The machine clock behind every time source, timer and timed wait, kernel and Win32 alike.
// It runs in real time; a test may switch to a manual clock that moves only when advanced,
// and every timed wait, timer and delay then follows it.
#pragma once
#include <ntdef.h>

namespace platform {

// Machine time in 100 ns units since the machine booted (interrupt time).
LONGLONG clock_now();

// System time in 100 ns units since 1 January 1601 (UTC), following the machine clock.
LONGLONG clock_system_time();

// Switches between real time (the default) and a manual clock that holds still until
// clock_advance. Switching keeps the current machine time.
void clock_use_manual(bool manual);
bool clock_is_manual();

// Moves a manual clock forward and wakes every wait whose deadline has passed.
void clock_advance(LONGLONG delta_100ns);

// Boot: machine time restarts at zero, in real time.
void clock_reset();

inline constexpr LONGLONG ticks_per_ms = 10000;
inline constexpr LONGLONG ticks_per_second = 10000000;

} // namespace platform
