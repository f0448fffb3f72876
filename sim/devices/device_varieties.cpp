// The varieties of real USB audio devices, built with the two descriptor builders.
#include <sim/device_varieties.h>

namespace sim {

namespace {

device_variety uac2(std::string name, const uac2_options &o, audio_device_options options = {},
                    std::uint32_t rate = 48000)
{
    return {std::move(name), build_uac2_device(o), std::move(options), rate};
}

device_variety uac1(std::string name, const uac1_options &o, audio_device_options options = {},
                    std::uint32_t rate = 48000)
{
    return {std::move(name), build_uac1_device(o), std::move(options), rate};
}

// The first input of the selector is an external clock with nothing connected: its RANGE
// request stalls.
audio_device_options first_input_unconnected()
{
    audio_device_options options;
    stall_rule range;
    range.bmRequestType = 0xA1;
    range.bRequest = 0x02;
    range.entity = uac2_ids::render_clock;
    options.stalls.push_back(range);
    return options;
}

} // namespace

std::vector<device_variety> device_varieties()
{
    using sync = uac1_options::sync;
    // The widest alternate is sized for 48 kHz only, the narrower ones for 96 and 192 kHz.
    const std::vector<pcm_format> wide = {{34, 4, 24, false, 48000}, {18, 4, 24, false, 96000},
                                          {10, 4, 24, false, 192000}};
    audio_device_options ran_at_44100;
    ran_at_44100.initial_rate = 44100; // what the endpoint ran at before
    audio_device_options recording;
    recording.record_played = true;
    return {
        uac2("HighSpeedImplicitRenderInterval2", {.render_interval = 2, .feedback = feedback_kind::implicit}),
        uac2("HighSpeedImplicitRenderInterval4", {.render_interval = 4, .feedback = feedback_kind::implicit}),
        // Render only: with a capture interface a class 1 device runs from its capture stream.
        uac1("Uac1HighSpeedExplicitFeedback",
             {.capture = false, .refresh = 3, .high_speed = true, .data_interval = 4}, recording),
        // Capture on its own clock, so that render follows its feedback endpoint.
        uac2("FeedbackEndpointNumberDiffers", {.separate_clocks = true, .feedback_address = 0x83}),
        uac2("ExplicitFeedbackOnImplicitDevice", {.implicit_capture = true}),
        uac2("Uac2VendorAlternateLast", {.vendor_alternate = true}),
        uac1("Uac1VendorAlternateLast", {.vendor_alternate = true}),
        uac2("VendorInterfaceAfterAudio", {.extra_interface = true, .extra_interface_subclass = 0x01}),
        uac2("InterfaceNumberGap", {.gap_interface = true}),
        uac2("WideMultichannelAlternates", {.render_formats = wide, .capture_formats = wide}, {}, 96000),
        uac1("Uac1Only48000", {.rates = {48000}, .render_sf_control = false, .capture_sf_control = false},
             ran_at_44100),
        uac2("MonoCapture", {.capture_formats = {{1, 2, 16}, {1, 4, 24}}}),
        uac1("Uac1ContinuousRates", {.rates = {8000, 96000}, .continuous_rates = true}, {}, 44100),
        uac2("ClockSelectorFirstInputFails", {.clock_selector = true, .selector_pins = 3}, first_input_unconnected()),
        uac2("ClockDefinedAfterTerminals", {.clocks_after_terminals = true}),
        uac2("ControlInterfaceNotZero", {.ac_interface = 2}),
        uac1("Uac1AdaptiveOutput", {.render_sync = sync::adaptive}),
        uac1("Uac1SynchronousOutput", {.render_sync = sync::synchronous}),
        // wMaxPacketSize 192: 48 stereo 16-bit frames, the nominal packet and no more.
        uac1("Uac1AdaptiveOutputNominalPacketsOnly", {.render_sync = sync::adaptive, .render_max_packet = 192}),
    };
}

} // namespace sim
