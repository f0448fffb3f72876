// libFuzzer target: KS requests to the asynchronous driver's WaveRT filter as the audio engine
// sends them (volume, mute, jack, component ID, pin and data-range requests of any sizes and
// contents, pin creation with any format), with the device's answers to the class requests
// behind them from the input too (KsPropertyFuzzer.h).
#include "KsPropertyFuzzer.h"

namespace {

// Per-channel volume ranges the conversions must survive (no step, a minimum above the
// maximum, the widest), a clock selector and units of every kind on the render path, so that
// the filter has many nodes and pins.
usbaudio_test::ks_property_device async_device()
{
    sim::uac2_options descriptors;
    descriptors.clock_selector = true;
    descriptors.extra_units = {4, 5, 7, 8};
    usbaudio_test::ks_property_device device;
    device.descriptors = sim::build_uac2_device(descriptors);
    device.options.channel_volume_ranges[1] = {-0x100, 0x100, 0};
    device.options.channel_volume_ranges[2] = {0x100, -0x100, 0x80};
    device.options.channel_volume_ranges[3] = {-0x7FFF, 0x7FFF, 0x7FFF};
    device.connectors = {sim::uac2_ids::speaker_out, sim::uac2_ids::mic_in};
    return device;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return usbaudio_test::run_ks_property_input("ovmlsaau_property_fuzz", async_device, data, size);
}
