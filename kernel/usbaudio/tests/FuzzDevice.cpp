// The scripted device of the fuzz targets.
#include "FuzzDevice.h"

namespace usbaudio_test {

sim::control_outcome fuzz_device::handle_control(const sim::setup_packet &setup, std::span<std::uint8_t> data)
{
    const bool classOrVendorIn = (setup.bmRequestType & 0x80) != 0 && (setup.bmRequestType & 0x60) != 0;
    sim::control_outcome outcome;
    if (classOrVendorIn && script_control && script_control(setup, data, &outcome)) {
        return outcome;
    }
    return model_->handle_control(setup, data);
}

sim::iso_in_result fuzz_device::iso_in(std::uint8_t address, std::uint64_t microframe, std::span<std::uint8_t> buffer)
{
    sim::iso_in_result result = model_->iso_in(address, microframe, buffer);
    if (script_in) {
        script_in(address, buffer, &result);
    }
    return result;
}

} // namespace usbaudio_test
