// Descriptor sets shaped like those of shipping USB audio devices, beside the two devices our
// builders make by default: interval and feedback layouts, vendor alternates and interfaces,
// interface numbering, wide multichannel alternates, rate sets, clock selectors and endpoint
// synchronisation types. Tests stream each of them and the fuzz corpus seeds from them.
#pragma once
#include <string>
#include <vector>

#include <sim/audio_device.h>
#include <sim/uac_descriptors.h>

namespace sim {

struct device_variety {
    std::string name;
    device_descriptors descriptors;
    audio_device_options options;  // drift left at 0
    std::uint32_t rate = 48000;    // the rate the device is streamed at
};

std::vector<device_variety> device_varieties();

} // namespace sim
