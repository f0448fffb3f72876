// The paced clock, a manual machine clock stepped on while the machine is quiescent, and the
// paced bus that waits for the same.
#include <sim/paced_clock.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>
#include <wdm.h>
#include <chrono>

namespace sim {
namespace {

// Far longer than any healthy wait, also on a machine loaded by sanitizer builds running in
// parallel (a thread can be kept off the processor for more than a second there), and still
// short enough that a stuck stream fails its test instead of hanging it.
constexpr auto WAIT_LIMIT = std::chrono::seconds(10);

} // namespace

std::unique_ptr<paced_bus> quiescent_paced_bus(machine &m)
{
    auto bus = std::make_unique<paced_bus>(m);
    bus->watch([] { return platform::machine_quiescent(); });
    return bus;
}

paced_clock::paced_clock(LONGLONG step, machine *bus_of) : step_(step), machine_(bus_of)
{
    if (machine_ != nullptr) {
        host_controller_options options;
        options.drive = bus_drive::step;
        machine_->use_usb_bus(options);
        machine_->usb_bus();
    }
    platform::clock_use_manual(true);
    thread_ = std::thread([this] { run(); });
}

paced_clock::~paced_clock()
{
    quit_ = true;
    thread_.join();
    platform::clock_use_manual(false);
}

void paced_clock::run()
{
    const auto real_step = std::chrono::nanoseconds(step_ * 100);
    auto next = std::chrono::steady_clock::now();
    while (!quit_) {
        const auto until = std::chrono::steady_clock::now() + WAIT_LIMIT;
        while (!quit_ && !platform::machine_quiescent()) {
            if (std::chrono::steady_clock::now() > until) {
                ++overruns_;
                break;
            }
            std::this_thread::yield();
        }
        platform::clock_advance(step_);
        if (machine_ != nullptr) {
            const LONGLONG frames = (machine_time_ + step_) / platform::ticks_per_ms - machine_time_ / platform::ticks_per_ms;
            machine_time_ += step_;
            machine_->usb_bus().advance(static_cast<ULONG>(frames));
            KeFlushQueuedDpcs();
        }
        next += real_step;
        if (next < std::chrono::steady_clock::now()) {
            next = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_until(next);
    }
}

} // namespace sim
