// The machine of the fuzz targets that drive whole drivers: booted with a bus in step mode (time
// passes only when a target advances it) or in real time and the package's drivers installed,
// with simulated audio devices behind scripted fuzz devices attached (so that their driver
// loads and starts), and the checks an input ends with: no pool left behind, no spin lock held
// and IRQL back at PASSIVE_LEVEL. A failed check stops the process as a crash.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <ntstatus.h>
#include <platform/pool.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>
#include "FuzzDevice.h"

namespace usbaudio_test {

struct fuzz_attached {
    std::shared_ptr<sim::audio_device> model;
    std::shared_ptr<fuzz_device> device;
    DEVICE_OBJECT *pdo = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL; // of the attach: the driver's start
};

class fuzz_machine {
public:
    explicit fuzz_machine(sim::bus_drive drive);
    // Detaches the devices and unloads their drivers with the unload checks.
    ~fuzz_machine();

    // Attaches a device of the model; its driver starts on it.
    fuzz_attached &attach(const sim::device_descriptors &descriptors, const sim::audio_device_options &options);
    // The user path of the device's first audio interface, empty when it has none.
    static std::wstring audio_path(DEVICE_OBJECT *pdo);
    // Records the pool in use now (blocks that lookaside lists cache are not in use) as what
    // every input must leave behind.
    void mark_pool();
    // Stops the process, naming target, when the pool or the thread differ from the mark.
    void check(const char *target);
    // Advances a step-mode bus by frames, one at a time: each frame's DPCs run, then settle
    // (when given) waits for the drivers' threads to use what the frame freed.
    void run_frames(ULONG frames, const std::function<void()> &settle = {});
    // Runs call while a thread of its own advances the bus frame by frame (the call may wait for
    // transfers to complete); call's result.
    NTSTATUS while_pumping(const std::function<NTSTATUS()> &call, const std::function<void()> &settle = {});

    sim::machine machine;
    std::vector<std::unique_ptr<fuzz_attached>> devices;

private:
    ULONG pool_mark_ = 0;
    std::vector<platform::pool_leak> pool_groups_;
};

} // namespace usbaudio_test
