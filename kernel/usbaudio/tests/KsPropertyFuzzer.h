// The body of the KS property fuzz targets of both drivers: a machine with one device whose
// driver presents a filter, on a bus in real time (a pin's streams, started at ACQUIRE by the
// standard driver, wait for their transfers when they stop), and per input a sequence of operations, each a choice byte and its
// fields: a KS request to the filter (KsFuzzRequests.h), answers for the next class requests
// the driver sends (stall or bytes of the input), or a connector plugged or pulled. Every input
// must leave the pool as it found it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include <sim/audio_device.h>

namespace usbaudio_test {

struct ks_property_device {
    sim::device_descriptors descriptors;
    sim::audio_device_options options;
    std::vector<std::uint8_t> connectors; // terminal IDs the input may plug and pull
};

// One input; the machine boots with make_device() on the first.
int run_ks_property_input(const char *target, ks_property_device (*make_device)(), const std::uint8_t *data,
                          std::size_t size);

} // namespace usbaudio_test
