// The varieties of real USB audio devices, built with the two descriptor builders.
#include <sim/device_varieties.h>

namespace sim {

namespace {

device_variety uac2(std::string name, uac2_options o, audio_device_options options = {}, std::uint32_t rate = 48000)
{
    return {std::move(name), build_uac2_device(o), std::move(options), rate};
}

device_variety uac1(std::string name, uac1_options o, audio_device_options options = {}, std::uint32_t rate = 48000)
{
    return {std::move(name), build_uac1_device(o), std::move(options), rate};
}

uac2_options implicit_render_interval(std::uint8_t interval)
{
    uac2_options o;
    o.feedback = feedback_kind::implicit;
    o.render_interval = interval;
    return o;
}

uac1_options uac1_high_speed_explicit()
{
    // Render only: with a capture interface a class 1 device runs from its capture stream.
    uac1_options o;
    o.high_speed = true;
    o.data_interval = 4;
    o.capture = false;
    o.refresh = 3;
    return o;
}

uac2_options feedback_number_differs()
{
    uac2_options o;
    o.separate_clocks = true; // render follows its feedback endpoint
    o.feedback_address = 0x83;
    return o;
}

uac2_options explicit_on_implicit()
{
    uac2_options o;
    o.implicit_capture = true;
    return o;
}

uac2_options uac2_vendor_alternate()
{
    uac2_options o;
    o.vendor_alternate = true;
    return o;
}

uac1_options uac1_vendor_alternate()
{
    uac1_options o;
    o.vendor_alternate = true;
    return o;
}

uac2_options vendor_interface_after()
{
    uac2_options o;
    o.extra_interface = true;
    o.extra_interface_subclass = 0x01;
    return o;
}

uac2_options interface_gap()
{
    uac2_options o;
    o.gap_interface = true;
    return o;
}

// The widest alternate is sized for 48 kHz only, the narrower ones for 96 and 192 kHz.
uac2_options wide_multichannel()
{
    uac2_options o;
    o.render_formats = {{34, 4, 24, false, 48000}, {18, 4, 24, false, 96000}, {10, 4, 24, false, 192000}};
    o.capture_formats = o.render_formats;
    return o;
}

audio_device_options only_48000_options()
{
    audio_device_options options;
    options.initial_rate = 44100; // what the endpoint ran at before
    return options;
}

uac1_options only_48000()
{
    uac1_options o;
    o.rates = {48000};
    o.render_sf_control = false;
    o.capture_sf_control = false;
    return o;
}

uac2_options mono_capture()
{
    uac2_options o;
    o.capture_formats = {{1, 2, 16}, {1, 4, 24}};
    return o;
}

uac1_options continuous_rates()
{
    uac1_options o;
    o.rates = {8000, 96000};
    o.continuous_rates = true;
    return o;
}

uac2_options selector_of_three()
{
    uac2_options o;
    o.clock_selector = true;
    o.selector_pins = 3;
    return o;
}

audio_device_options first_input_unconnected()
{
    // The first input is an external clock with nothing connected: its RANGE request stalls.
    audio_device_options options;
    stall_rule range;
    range.bmRequestType = 0xA1;
    range.bRequest = 0x02;
    range.entity = uac2_ids::render_clock;
    options.stalls.push_back(range);
    return options;
}

uac2_options clocks_last()
{
    uac2_options o;
    o.clocks_after_terminals = true;
    return o;
}

uac2_options control_interface_two()
{
    uac2_options o;
    o.ac_interface = 2;
    return o;
}

uac1_options uac1_output(uac1_options::sync sync, std::uint16_t max_packet = 0)
{
    uac1_options o;
    o.render_sync = sync;
    o.render_max_packet = max_packet;
    return o;
}

audio_device_options recording_played()
{
    audio_device_options options;
    options.record_played = true;
    return options;
}

} // namespace

std::vector<device_variety> device_varieties()
{
    using sync = uac1_options::sync;
    return {
        uac2("HighSpeedImplicitRenderInterval2", implicit_render_interval(2)),
        uac2("HighSpeedImplicitRenderInterval4", implicit_render_interval(4)),
        uac1("Uac1HighSpeedExplicitFeedback", uac1_high_speed_explicit(), recording_played()),
        uac2("FeedbackEndpointNumberDiffers", feedback_number_differs()),
        uac2("ExplicitFeedbackOnImplicitDevice", explicit_on_implicit()),
        uac2("Uac2VendorAlternateLast", uac2_vendor_alternate()),
        uac1("Uac1VendorAlternateLast", uac1_vendor_alternate()),
        uac2("VendorInterfaceAfterAudio", vendor_interface_after()),
        uac2("InterfaceNumberGap", interface_gap()),
        uac2("WideMultichannelAlternates", wide_multichannel(), {}, 96000),
        uac1("Uac1Only48000", only_48000(), only_48000_options()),
        uac2("MonoCapture", mono_capture()),
        uac1("Uac1ContinuousRates", continuous_rates(), {}, 44100),
        uac2("ClockSelectorFirstInputFails", selector_of_three(), first_input_unconnected()),
        uac2("ClockDefinedAfterTerminals", clocks_last()),
        uac2("ControlInterfaceNotZero", control_interface_two()),
        uac1("Uac1AdaptiveOutput", uac1_output(sync::adaptive)),
        uac1("Uac1SynchronousOutput", uac1_output(sync::synchronous)),
        // wMaxPacketSize 192: 48 stereo 16-bit frames, the nominal packet and no more.
        uac1("Uac1AdaptiveOutputNominalPacketsOnly", uac1_output(sync::adaptive, 192)),
    };
}

} // namespace sim
