// The fuzz targets' machine with one scripted device.
#include "FuzzMachine.h"
#include <cstdio>
#include <cstdlib>
#include <wdm.h>
#include <platform/verifier.h>
#include <sim/audio_engine.h>
#include <sim/package_drivers.h>

namespace usbaudio_test {

fuzz_machine::fuzz_machine(const sim::device_descriptors &descriptors, const sim::audio_device_options &options,
                           sim::bus_drive drive)
{
    sim::host_controller_options bus;
    bus.drive = drive;
    machine.use_usb_bus(bus);
    sim::install_package_drivers(machine);
    model = std::make_shared<sim::audio_device>(descriptors, options);
    device = std::make_shared<fuzz_device>(model);
    attach_status = machine.attach(device, &pdo);
}

fuzz_machine::~fuzz_machine()
{
    if (pdo != nullptr) {
        machine.detach(pdo);
    }
}

std::wstring fuzz_machine::audio_path()
{
    std::vector<std::wstring> paths = sim::audio_interfaces();
    return paths.empty() ? std::wstring() : paths.front();
}

void fuzz_machine::mark_pool()
{
    pool_mark_ = platform::pool_outstanding_blocks() - platform::pool_lookaside_blocks();
    pool_groups_ = platform::pool_leaks("");
}

void fuzz_machine::check(const char *target)
{
    std::string why;
    if (!platform::verifier_thread_clean(&why)) {
        std::fprintf(stderr, "%s: %s\n", target, why.c_str());
        std::abort();
    }
    const ULONG inUse = platform::pool_outstanding_blocks() - platform::pool_lookaside_blocks();
    if (inUse != pool_mark_) {
        std::fprintf(stderr, "%s: pool leak: %lu blocks in use instead of %lu (by size, lookaside caches included):\n",
                     target, static_cast<unsigned long>(inUse),
                     static_cast<unsigned long>(pool_mark_));
        for (const platform::pool_leak &now : platform::pool_leaks("")) {
            ULONG before = 0;
            for (const platform::pool_leak &then : pool_groups_) {
                before += then.tag == now.tag && then.size == now.size ? then.count : 0;
            }
            if (now.count != before) {
                std::fprintf(stderr, "  tag '%s' size %zu: %lu blocks instead of %lu\n",
                             platform::pool_tag_text(now.tag).c_str(), static_cast<size_t>(now.size),
                             static_cast<unsigned long>(now.count), static_cast<unsigned long>(before));
            }
        }
        std::abort();
    }
}

void fuzz_machine::run_frames(ULONG frames)
{
    for (ULONG i = 0; i < frames; ++i) {
        machine.usb_bus().advance(1);
        KeFlushQueuedDpcs();
    }
}

} // namespace usbaudio_test
