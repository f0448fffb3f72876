// Pacing by the machine's quiescence (every thread it started waits, no DPC or work item
// runs). The paced clock: the machine clock made manual and moved on by a thread of its own,
// one step a real millisecond at most, each step only once the machine is quiescent; whatever
// keeps time by the machine clock, such as an audio endpoint's period timer, then never runs
// ahead of the threads that serve it. The quiescent paced bus: the paced bus waiting after each
// frame for the whole machine (every driver, every host and driver thread in a process), not
// for one driver. A loaded computer slows such a stream down instead of losing its audio, so a
// streaming test on either can ask for a clean run.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <ntdef.h>
#include <sim/paced_bus.h>

namespace sim {

// Before the machine's bus exists (before the first attach). A client on a thread of its own
// that is no thread of the machine holds a gate of the bus.
std::unique_ptr<paced_bus> quiescent_paced_bus(machine &m);

class paced_clock {
public:
    // Switches the machine clock to manual at once; step in 100 ns units. With bus_of (before
    // that machine's bus exists), its bus runs in step mode and moves on with the clock, one
    // frame a millisecond, so that a stream through a kernel driver to an endpoint keeps time
    // with the bus.
    explicit paced_clock(LONGLONG step = 10000, machine *bus_of = nullptr);
    // Stops the thread and gives the machine its real-time clock back.
    ~paced_clock();
    paced_clock(const paced_clock &) = delete;
    paced_clock &operator=(const paced_clock &) = delete;

    // Steps taken although the machine had not come to rest within the wait limit: each wait is
    // bounded so that a stuck stream fails its test instead of hanging it. A run with overruns
    // may have lost audio.
    std::uint64_t overruns() const { return overruns_; }

private:
    void run();

    const LONGLONG step_;
    machine *machine_;
    LONGLONG machine_time_ = 0; // the clock's advance so far, for the bus's frames
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> overruns_{0};
    std::thread thread_;
};

} // namespace sim
