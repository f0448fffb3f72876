// The fuzz targets' machine with one scripted device.
#include "FuzzMachine.h"
#include <atomic>
#include <thread>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <sim/package_drivers.h>
#include "FuzzProcess.h"

namespace usbaudio_test {

fuzz_machine::fuzz_machine(sim::bus_drive drive)
{
    sim::host_controller_options bus;
    bus.drive = drive;
    machine.use_usb_bus(bus);
    sim::install_package_drivers(machine);
}

fuzz_machine::~fuzz_machine()
{
    for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
        if ((*it)->pdo != nullptr) {
            machine.detach((*it)->pdo);
        }
    }
}

fuzz_attached &fuzz_machine::attach(const sim::device_descriptors &descriptors,
                                    const sim::audio_device_options &options)
{
    auto attached = std::make_unique<fuzz_attached>();
    attached->model = std::make_shared<sim::audio_device>(descriptors, options);
    attached->device = std::make_shared<fuzz_device>(attached->model);
    attached->status = machine.attach(attached->device, &attached->pdo);
    devices.push_back(std::move(attached));
    return *devices.back();
}

std::wstring fuzz_machine::audio_path(DEVICE_OBJECT *pdo)
{
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo == pdo) {
            return entry.user_path;
        }
    }
    return std::wstring();
}

void fuzz_machine::mark_pool()
{
    pool_mark_ = platform::pool_outstanding_blocks() - platform::pool_lookaside_blocks();
    pool_groups_ = platform::pool_leaks("");
}

void fuzz_machine::check(const char *target)
{
    fuzz_check_thread(target);
    const ULONG inUse = platform::pool_outstanding_blocks() - platform::pool_lookaside_blocks();
    if (inUse == pool_mark_) {
        return;
    }
    std::string groups;
    for (const platform::pool_leak &now : platform::pool_leaks("")) {
        ULONG before = 0;
        for (const platform::pool_leak &then : pool_groups_) {
            before += then.tag == now.tag && then.size == now.size ? then.count : 0;
        }
        if (now.count != before) {
            groups += "\n  tag '" + platform::pool_tag_text(now.tag) + "' size " + std::to_string(now.size) + ": " +
                      std::to_string(now.count) + " blocks instead of " + std::to_string(before);
        }
    }
    fuzz_stop(target, "pool leak: %lu blocks in use instead of %lu (by size, lookaside caches included):%s",
              static_cast<unsigned long>(inUse), static_cast<unsigned long>(pool_mark_), groups.c_str());
}

void fuzz_machine::run_frames(ULONG frames, const std::function<void()> &settle)
{
    for (ULONG i = 0; i < frames; ++i) {
        machine.usb_bus().advance(1);
        KeFlushQueuedDpcs();
        if (settle) {
            settle();
        }
    }
}

NTSTATUS fuzz_machine::while_pumping(const std::function<NTSTATUS()> &call, const std::function<void()> &settle)
{
    std::atomic<bool> done{false};
    std::thread pump([&] {
        while (!done) {
            run_frames(1, settle);
        }
    });
    NTSTATUS status = call();
    done = true;
    pump.join();
    return status;
}

} // namespace usbaudio_test
