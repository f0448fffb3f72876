// The paced bus: a step-mode USB bus moved on frame by frame, waiting for the driver after each
// frame and for the clients' gates before the next.
#include <sim/paced_bus.h>
#include <wdm.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>

namespace sim {
namespace {

// Far longer than any healthy wait, also on a machine loaded by sanitizer builds running in
// parallel (a thread can be kept off the processor for more than a second there), and still
// short enough that a stuck stream fails its test instead of hanging it.
constexpr auto WAIT_LIMIT = std::chrono::seconds(10);

} // namespace

paced_bus::gate &paced_bus::gate::operator=(gate &&other) noexcept
{
    if (this != &other) {
        release();
        bus_ = other.bus_;
        entry_ = other.entry_;
        other.bus_ = nullptr;
    }
    return *this;
}

void paced_bus::gate::release()
{
    if (bus_ != nullptr) {
        std::lock_guard<std::mutex> guard(bus_->lock_);
        bus_->gates_.erase(entry_);
        bus_ = nullptr;
    }
}

paced_bus::paced_bus(machine &m) : machine_(m)
{
    host_controller_options options;
    options.drive = bus_drive::step;
    machine_.use_usb_bus(options);
    // The bus exists before the thread touches it, so that the thread and the first attach
    // cannot each create one.
    machine_.usb_bus();
    thread_ = std::thread([this] { run(); });
}

paced_bus::~paced_bus() { stop(); }

void paced_bus::watch(std::function<bool()> settled)
{
    std::lock_guard<std::mutex> guard(lock_);
    settled_ = std::move(settled);
}

paced_bus::gate paced_bus::hold(std::function<bool()> ready)
{
    std::lock_guard<std::mutex> guard(lock_);
    gates_.push_back(std::move(ready));
    return gate(this, std::prev(gates_.end()));
}

void paced_bus::stop()
{
    quit_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool paced_bus::wait_until_ready(std::unique_lock<std::mutex> &guard, bool clients)
{
    const auto until = std::chrono::steady_clock::now() + WAIT_LIMIT;
    for (;;) {
        bool ready = true;
        if (clients) {
            for (const auto &gate : gates_) {
                ready = ready && gate();
            }
        } else {
            ready = !settled_ || settled_();
        }
        if (ready) {
            return true;
        }
        if (quit_ || std::chrono::steady_clock::now() > until) {
            return false;
        }
        guard.unlock();
        std::this_thread::yield();
        guard.lock();
    }
}

void paced_bus::run()
{
    auto next = std::chrono::steady_clock::now();
    while (!quit_) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (!wait_until_ready(guard, true) && !quit_) {
                ++overruns_;
            }
        }
        machine_.usb_bus().advance(1);
        KeFlushQueuedDpcs();
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (!wait_until_ready(guard, false) && !quit_) {
                ++overruns_;
            }
        }
        ++frames_;
        next += std::chrono::milliseconds(1);
        if (next < std::chrono::steady_clock::now()) {
            next = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_until(next);
    }
}

} // namespace sim
