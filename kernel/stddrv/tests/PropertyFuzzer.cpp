// libFuzzer target: KS requests to the standard driver's WaveCyclic filter as the audio engine
// sends them (component ID, pin and data-range requests of any sizes and contents, pin creation
// with any format and the pin's state and property requests), on the class 1 standard device
// (KsPropertyFuzzer.h).
#include "KsPropertyFuzzer.h"

namespace {

usbaudio_test::ks_property_device standard_device()
{
    usbaudio_test::ks_property_device device;
    device.descriptors = sim::build_uac1_device(sim::standard_uac1_options());
    device.connectors = {sim::uac1_ids::speaker_out, sim::uac1_ids::mic_in};
    return device;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return usbaudio_test::run_ks_property_input("ovmlsau_property_fuzz", standard_device, data, size);
}
