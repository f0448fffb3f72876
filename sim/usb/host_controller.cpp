// The simulated host controller: the frame counter, the real-time tick thread and the step
// mode, ports coming and going, and the delivery of completions at DISPATCH_LEVEL.
#include "usb_port_state.h"

#include <wdm.h>
#include <platform/clock.h>
#include <platform/realtime_processor.h>
#include <platform/thread.h>

#include <algorithm>
#include <chrono>

#include <sys/prctl.h>

namespace sim {

host_controller::host_controller(host_controller_options options) : options_(options)
{
    if (options_.asap_latency == 0) {
        options_.asap_latency = 1;
    }
    if (options_.drive == bus_drive::real_time) {
        platform::realtime_processor_hold();
        started_at_ = platform::clock_now();
        thread_ = std::thread([this] { tick_thread(); });
    }
}

host_controller::~host_controller()
{
    if (thread_.joinable()) {
        {
            std::lock_guard guard(stop_lock_);
            stop_ = true;
        }
        stop_signal_.notify_all();
        thread_.join();
        platform::realtime_processor_release();
    }
    while (!ports_.empty()) {
        remove(ports_.back());
    }
}

namespace {

// The frame timer is hardware: its thread asks for exact timer expiry and, where the process
// may, a real-time scheduling class above every thread of the simulated machine.
void raise_tick_thread_priority()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    platform::thread_run_above_all(platform::current_thread(), 16);
}

} // namespace

// The tick thread polls the machine clock twice per real millisecond, so that a manual machine
// clock drives the bus as well, and runs the frames that have passed.
void host_controller::tick_thread()
{
    raise_tick_thread_priority();
    for (;;) {
        // On the real-time clock the thread sleeps to the next frame boundary, as the hardware's
        // frame timer fires on it; a manual clock is polled.
        long long wait_us = 500;
        if (!platform::clock_is_manual()) {
            const long long next = started_at_ + static_cast<long long>(clock_frames_done_ + 1) * platform::ticks_per_ms;
            wait_us = std::clamp((next - platform::clock_now() + 9) / 10, 0LL, 500LL);
        }
        {
            std::unique_lock guard(stop_lock_);
            if (stop_signal_.wait_for(guard, std::chrono::microseconds(wait_us), [this] { return stop_; })) {
                return;
            }
        }
        const auto elapsed = static_cast<std::uint64_t>((platform::clock_now() - started_at_) / platform::ticks_per_ms);
        ULONG missed = 0;
        {
            std::lock_guard guard(lock_);
            missed = jump_pending_;
            jump_pending_ = 0;
        }
        if (missed != 0) {
            run_frames(missed, true);
        }
        if (elapsed > clock_frames_done_) {
            const std::uint64_t count = elapsed - clock_frames_done_;
            if (count > 1 && !platform::clock_is_manual()) {
                std::lock_guard guard(lock_);
                ++counters_.timer_stalls;
            }
            clock_frames_done_ = elapsed;
            run_frames(static_cast<ULONG>(count), false);
        }
    }
}

usb_port *host_controller::connect(std::shared_ptr<usb_device> device)
{
    auto *port = new usb_port(*this, std::move(device));
    std::lock_guard guard(lock_);
    ports_.push_back(port);
    return port;
}

void host_controller::disconnect(usb_port *port)
{
    completion_list done;
    {
        std::lock_guard guard(lock_);
        port->impl_->present = false;
        fail_all_requests(*port->impl_, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, done);
        counters_.device_gone += done.size();
    }
    deliver(done);
}

void host_controller::remove(usb_port *port)
{
    std::lock_guard running(run_lock_);
    disconnect(port);
    {
        std::lock_guard guard(lock_);
        std::erase(ports_, port);
    }
    delete port;
}

void host_controller::advance(ULONG count)
{
    run_frames(count, false);
}

void host_controller::jump(ULONG count)
{
    if (options_.drive == bus_drive::step) {
        run_frames(count, true);
        return;
    }
    std::lock_guard guard(lock_);
    jump_pending_ += count;
}

void host_controller::run_frames(ULONG count, bool missed)
{
    std::lock_guard running(run_lock_);
    for (ULONG i = 0; i < count; ++i) {
        completion_list done;
        {
            std::lock_guard guard(lock_);
            for (usb_port *port : ports_) {
                usb_port::impl &p = *port->impl_;
                if (!p.present) {
                    continue;
                }
                if (!port->device_->connected()) {
                    const std::size_t before = done.size();
                    fail_all_requests(p, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, done);
                    counters_.device_gone += done.size() - before;
                    port->device_->advance((frames_ + 1) * 8);
                    continue;
                }
                run_port_frame(p, *port->device_, frames_, missed, options_.start_frame, counters_, done);
            }
            ++frames_;
        }
        deliver(done);
    }
}

void host_controller::deliver(completion_list &done)
{
    if (done.empty()) {
        return;
    }
    completion_sink sink;
    {
        std::lock_guard guard(lock_);
        sink = sink_;
    }
    KIRQL old = KeGetCurrentIrql();
    const bool raise = old < DISPATCH_LEVEL;
    if (raise) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    for (auto &[request, status] : done) {
        if (sink) {
            sink(request, status);
        } else {
            platform::usb_host_complete(request, status);
        }
    }
    if (raise) {
        KeLowerIrql(old);
    }
    done.clear();
}

ULONG host_controller::current_frame() const
{
    std::lock_guard guard(lock_);
    return static_cast<ULONG>(options_.start_frame + frames_);
}

std::uint64_t host_controller::bus_microframe() const
{
    std::lock_guard guard(lock_);
    return frames_ * 8;
}

host_counters host_controller::counters() const
{
    std::lock_guard guard(lock_);
    return counters_;
}

void host_controller::set_completion_sink(completion_sink sink)
{
    std::lock_guard guard(lock_);
    sink_ = std::move(sink);
}

} // namespace sim
