// A pump for a machine whose USB bus runs in step mode: one frame a millisecond, each after the
// DPCs ran and the streaming engine's threads used their free slots. A loaded machine then
// slows the stream down instead of making it glitch. Used by the engine's real-time tests and
// its benchmark.
#pragma once
#include <atomic>
#include <chrono>
#include <thread>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>
#include "AdapterCommon.h"
#include "AsyncDriver.h"

namespace engine_test {

class bus_pump {
public:
    // Call before the machine's bus exists (before the first attach).
    explicit bus_pump(sim::machine &machine) : machine_(machine)
    {
        sim::host_controller_options options;
        options.drive = sim::bus_drive::step;
        machine_.use_usb_bus(options);
        // The bus exists before the pump's thread touches it, so that the thread and the
        // first attach cannot each create one.
        machine_.usb_bus();
        thread_ = std::thread([this] { run(); });
    }
    ~bus_pump() { stop(); }
    bus_pump(const bus_pump &) = delete;
    bus_pump &operator=(const bus_pump &) = delete;

    // The device whose engine the pump waits for; forget it before the device goes away.
    void watch(DEVICE_OBJECT *pdo) { pdo_ = pdo; }
    void forget()
    {
        pdo_ = nullptr;
        // The frame in progress may still look at the adapter: let it end.
        std::uint64_t seen = frames_;
        while (!quit_ && frames_ < seen + 2) {
            std::this_thread::yield();
        }
    }
    void stop()
    {
        quit_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void run()
    {
        auto next = std::chrono::steady_clock::now();
        while (!quit_) {
            machine_.usb_bus().advance(1);
            KeFlushQueuedDpcs();
            DEVICE_OBJECT *pdo = pdo_;
            if (pdo != nullptr && pdo->AttachedDevice != nullptr) {
                auto adapter = static_cast<CAdapterCommon *>(AsyncExtension(pdo->AttachedDevice)->Adapter);
                auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
                while (adapter != nullptr && adapter->EngineThreadsPending() &&
                       std::chrono::steady_clock::now() < until) {
                    std::this_thread::yield();
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

    sim::machine &machine_;
    std::atomic<DEVICE_OBJECT *> pdo_{nullptr};
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> frames_{0};
    std::thread thread_;
};

} // namespace engine_test
