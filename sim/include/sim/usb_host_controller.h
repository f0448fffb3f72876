// The simulated USB host controller: a 32-bit 1 ms frame counter (8 microframes per frame at
// high speed), one port per attached device, URB execution against the device models, the
// isochronous schedule, and fault injection for tests. It runs either on its own real-time
// tick thread or, in step mode, only when a test advances it.
#pragma once
#include <platform/usb_host.h>
#include <sim/usb_device.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

enum class bus_drive { real_time, step };

struct host_controller_options {
    bus_drive drive = bus_drive::real_time;
    ULONG start_frame = 0;  // the 32-bit frame number the bus starts at
    ULONG asap_latency = 1; // an idle pipe's ASAP transfer starts this many frames ahead
};

// What the host controller refused or reported; tests assert that none of the first group
// happened on a healthy run.
struct host_counters {
    std::uint64_t malformed_urbs = 0;     // wrong Length, bad packet layout, oversized packets
    std::uint64_t invalid_pipe_handles = 0;
    std::uint64_t bad_start_frames = 0;
    std::uint64_t unsupported_urbs = 0;
    std::uint64_t completed = 0;          // requests finished through the completion path
    std::uint64_t cancelled = 0;
    std::uint64_t device_gone = 0;
    std::uint64_t iso_packets = 0;
    std::uint64_t late_packets = 0;       // packets whose frame the bus skipped
    std::uint64_t timer_stalls = 0;       // frame-timer wake-ups a whole frame or more after their frame
};

class host_controller;

// One device on the bus, as the bus device object sees it. Created by host_controller::connect
// and valid until host_controller::remove.
class usb_port final : public platform::usb_host_port {
public:
    NTSTATUS submit(PURB urb, platform::usb_request request) override;
    void cancel(platform::usb_request request) override;
    ULONG current_frame() const override;
    bool is_high_speed() const override;
    bool is_connected() const override;
    bool completes_inline(USHORT function) const override;

    usb_device &device() const { return *device_; }

    // Fault injection. Transfer URBs on the pipe of endpoint address fail as a whole (every
    // packet in error, USBD_STATUS_ISOCH_REQUEST_FAILED) for the next count submissions.
    void fail_transfers(std::uint8_t address, int count);
    // The next count SELECT_CONFIGURATION / SELECT_INTERFACE requests fail.
    void fail_select_configuration(int count);
    void fail_select_interface(int count);
    // RESET_PIPE is refused with a busy status while transfers are pending on the pipe.
    void refuse_reset_while_pending(bool refuse);
    // Requests that are not transfers complete through the completion path at the next frame
    // instead of inline.
    void defer_control_requests(bool defer);

    struct impl;
    explicit usb_port(host_controller &bus, std::shared_ptr<usb_device> device);
    ~usb_port();

private:
    friend class host_controller;
    host_controller &bus_;
    std::shared_ptr<usb_device> device_;
    std::unique_ptr<impl> impl_;
};

class host_controller {
public:
    explicit host_controller(host_controller_options options = {});
    ~host_controller();
    host_controller(const host_controller &) = delete;
    host_controller &operator=(const host_controller &) = delete;

    // Puts a device on the bus; the port lives until remove.
    usb_port *connect(std::shared_ptr<usb_device> device);
    // The device leaves the bus: every pending request completes with a device-gone status and
    // new ones fail at once. The port stays valid.
    void disconnect(usb_port *port);
    // Frees a port; its requests complete as device-gone first.
    void remove(usb_port *port);

    // Step mode: the bus runs count frames on the calling thread, completions included (they
    // run at DISPATCH_LEVEL on this thread). Call at PASSIVE_LEVEL.
    void advance(ULONG count);
    // The bus skips count frames: packets scheduled in them are not sent (late) and the device
    // clocks run on. In real-time mode the frame number jumps at the next tick.
    void jump(ULONG count);

    ULONG current_frame() const;
    std::uint64_t bus_microframe() const;
    host_counters counters() const;
    const host_controller_options &options() const { return options_; }

    // Replaces usb_host_complete as the receiver of completions (tests of the bus alone).
    using completion_sink = std::function<void(platform::usb_request, NTSTATUS)>;
    void set_completion_sink(completion_sink sink);

private:
    friend class usb_port;
    void run_frames(ULONG count, bool missed);
    // Finishes requests at DISPATCH_LEVEL, without the lock held.
    void deliver(std::vector<std::pair<platform::usb_request, NTSTATUS>> &done);
    void tick_thread();

    host_controller_options options_;
    mutable std::mutex lock_;
    std::vector<usb_port *> ports_;
    std::uint64_t frames_ = 0; // frames the bus has passed since it started
    ULONG jump_pending_ = 0;
    host_counters counters_;
    completion_sink sink_;
    std::mutex run_lock_;      // one runner of frames at a time
    std::mutex stop_lock_;
    std::condition_variable stop_signal_;
    bool stop_ = false;
    std::thread thread_;
    long long started_at_ = 0;
    std::uint64_t clock_frames_done_ = 0;
};

} // namespace sim
