// The paced bus: a machine's USB bus in step mode, moved on one frame a millisecond by a thread
// of its own, and never ahead of the driver or of the clients that stream through it. After
// each frame it lets the DPCs run and waits until the driver has used what the frame gave it;
// before the next frame it waits until every client holding a gate has answered what it was
// given. A loaded machine then slows a stream down instead of losing audio, so a streaming
// test on this bus can ask for a clean run.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace sim {

class machine;

class paced_bus {
public:
    // Call before the machine's bus exists (before the first attach).
    explicit paced_bus(machine &m);
    ~paced_bus();
    paced_bus(const paced_bus &) = delete;
    paced_bus &operator=(const paced_bus &) = delete;

    // The driver's question after each frame: has it used every free slot the frame gave it?
    // Null forgets it; once watch returns the old question is no longer being asked.
    void watch(std::function<bool()> settled);

    // A client's question before each frame (has it answered everything delivered so far?),
    // asked while the gate lives. Release the gate before anything that needs the bus to run
    // while the client no longer answers (a stop that drains the transfers in flight).
    class gate {
    public:
        gate() = default;
        gate(gate &&other) noexcept : bus_(other.bus_), entry_(other.entry_) { other.bus_ = nullptr; }
        gate &operator=(gate &&other) noexcept;
        ~gate() { release(); }
        void release();

    private:
        friend class paced_bus;
        using entry = std::list<std::function<bool()>>::iterator;
        gate(paced_bus *bus, entry e) : bus_(bus), entry_(e) {}
        paced_bus *bus_ = nullptr;
        entry entry_{};
    };
    [[nodiscard]] gate hold(std::function<bool()> ready);

    // Frames run on although the driver or a client had not caught up within the wait limit:
    // each wait is bounded so that a stuck stream fails its test instead of hanging it. A run
    // with overruns may have lost audio.
    std::uint64_t overruns() const { return overruns_; }
    std::uint64_t frames() const { return frames_; }

    void stop();

private:
    void run();
    // Waits, under lock_, until every question answers yes or the limit passes.
    bool wait_until_ready(std::unique_lock<std::mutex> &guard, bool clients);

    machine &machine_;
    std::mutex lock_;
    std::function<bool()> settled_;
    std::list<std::function<bool()>> gates_;
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> overruns_{0};
    std::thread thread_;
};

} // namespace sim
