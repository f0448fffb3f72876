// The machine of the fuzz targets that drive a whole driver: booted with a bus in step mode
// (time passes only when a target advances it) or in real time, the package's drivers installed, one
// simulated audio device behind the scripted fuzz device attached (so its driver loads and
// starts), and the checks every input ends with: no pool left behind by the input, no spin
// lock held and IRQL back at PASSIVE_LEVEL. A failed check stops the process as a crash.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include <ntstatus.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>
#include <platform/pool.h>
#include "FuzzDevice.h"

namespace usbaudio_test {

class fuzz_machine {
public:
    fuzz_machine(const sim::device_descriptors &descriptors, const sim::audio_device_options &options,
                 sim::bus_drive drive);
    // Detaches the device and unloads its driver with the unload checks.
    ~fuzz_machine();

    // The user path of the device's audio interface (its first one), empty when none.
    static std::wstring audio_path();
    // Records the pool in use now (blocks that lookaside lists cache are not in use) as what
    // every input must leave behind.
    void mark_pool();
    // Stops the process, naming target, when the pool or the thread differ from the mark.
    void check(const char *target);
    // Advances a step-mode bus by frames and lets the DPCs they queued run.
    void run_frames(ULONG frames);

    sim::machine machine;
    std::shared_ptr<sim::audio_device> model;
    std::shared_ptr<fuzz_device> device;
    DEVICE_OBJECT *pdo = nullptr;
    NTSTATUS attach_status = STATUS_UNSUCCESSFUL;

private:
    ULONG pool_mark_ = 0;
    std::vector<platform::pool_leak> pool_groups_;
};

} // namespace usbaudio_test
