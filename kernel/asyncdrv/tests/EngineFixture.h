// Fixture of the streaming engine's tests: ovmlsaau loaded and started on a simulated device of
// a machine whose USB bus runs in step mode, and a pump thread that moves the bus on frame by
// frame, lets the DPCs run and waits for the engine's threads, so that minutes of bus time pass
// in seconds without the bus outrunning the engine.
#pragma once
#include <gtest/gtest.h>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <platform/trace.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/usb_tap.h>
#include <sim/usb_host_controller.h>
#include "AdapterCommon.h"
#include "UsbAudioTrace.h"

namespace engine_test {

class EngineTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Boots the bus (step mode, the frame counter wrapping a few seconds in), attaches the
    // device (behind a tap that records its packets when tapped), stores the rate and any tuning
    // values, and starts ovmlsaau on it.
    void start(sim::uac2_options descriptors, sim::audio_device_options options = {}, ULONG rate = 48000,
               bool tapped = false);
    // The same for any descriptor set, with the device options as given; "SampleRate" is
    // stored only when store_rate.
    void start_device(sim::device_descriptors descriptors, sim::audio_device_options options, ULONG rate, bool store_rate,
               bool tapped = false);
    static void store_tuning(const wchar_t *name, ULONG value);

    // The pump: advances the bus by frames and returns once they ran; the bus also runs while
    // a call blocks in the engine (StartStream waits for completions) through run_in_background.
    void run_frames(ULONG frames);
    void run_in_background(ULONG frames);
    void wait_for_pump();
    // Runs the bus while Call blocks in the engine, then stops it; Call's result.
    NTSTATUS while_pumping(const std::function<NTSTATUS()> &Call);

    CAdapterCommon *adapter() const;
    PADAPTERCOMMON common() const;
    sim::host_controller &bus() { return machine.usb_bus(); }
    sim::usb_port *port() { return machine.port_of(pdo); }
    // Surprise removal and removal while the pump keeps the bus going.
    NTSTATUS detach();
    // Error records the driver traced since the test began; the first one's text in First.
    size_t traced_errors(std::string *First = nullptr) const;

    sim::machine machine;
    std::shared_ptr<sim::audio_device> device;
    std::shared_ptr<sim::usb_tap> tap;
    DEVICE_OBJECT *pdo = nullptr;
    bool detached = false;
    platform::trace_capture errors{&OVMLSAAU_TRACE_GUID, TRACE_LEVEL_ERROR};

private:
    void pump_main();

    std::thread pump_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t target_ = 0;
    std::uint64_t done_ = 0;
    bool quit_ = false;
    // Frames the pump moved on while the engine's threads still had work: the bus ran ahead.
    std::atomic<ULONG> stalled_frames_{0};
};

} // namespace engine_test
