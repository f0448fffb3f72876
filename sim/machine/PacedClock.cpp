// The paced clock, a manual machine clock stepped on while the machine is quiescent, and the
// paced bus that waits for the same.
#include <sim/paced_clock.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <chrono>

namespace sim {
namespace {

// Longer than any healthy wait on a loaded machine, short enough to fail a stuck stream.
constexpr auto WAIT_LIMIT = std::chrono::seconds(2);

} // namespace

std::unique_ptr<paced_bus> quiescent_paced_bus(machine &m)
{
    auto bus = std::make_unique<paced_bus>(m);
    bus->watch([] { return platform::machine_quiescent(); });
    return bus;
}

paced_clock::paced_clock(LONGLONG step) : step_(step)
{
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
        next += real_step;
        if (next < std::chrono::steady_clock::now()) {
            next = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_until(next);
    }
}

} // namespace sim
