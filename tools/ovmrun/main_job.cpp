// The main job's sequence: boot, install, attach, stream, write the capture, judge, report.
#include "main_job.h"
#include <RateTables.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/clock.h>
#include <platform/pnp.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/paced_clock.h>
#include <sim/uac_descriptors.h>
#include <algorithm>
#include <memory>
#include "loopback_signal.h"
#include "job_finish.h"
#include "job_log.h"
#include "package_install.h"
#include "run_report.h"
#include "stream_routes.h"

namespace ovmrun {

namespace {

// The DSD rates reach the device divided by 32; the job's device offers the highest PCM
// rate DSD256 needs beside its usual ones.
constexpr uint32_t dsd256_device_rate = 352800;

sim::audio_device_options device_options_for(const run_options &options)
{
    sim::audio_device_options device;
    device.ppm = options.drift_ppm;
    device.capture = sim::capture_source::loopback;
    device.vendor_mode_supported = options.device_vendor_mode;
    if (options.dsd != 0) {
        device.clock_rates.push_back(dsd256_device_rate);
    }
    return device;
}

sim::uac2_options descriptors_for(const run_options &options)
{
    sim::uac2_options descriptors;
    if (!options.device_formats.empty()) {
        descriptors.render_formats = options.device_formats;
        descriptors.capture_formats = options.device_formats;
    }
    if (options.dsd != 0) {
        descriptors.max_rate = dsd256_device_rate;
    }
    return descriptors;
}

std::string rate_list(const std::vector<uint32_t> &rates)
{
    std::string text;
    for (uint32_t rate : rates) {
        text += (text.empty() ? "" : ", ") + std::to_string(rate);
    }
    return text;
}

bool offers(const std::vector<uint32_t> &rates, uint32_t rate)
{
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

// What the device cannot do of what the options ask; empty when it can do all of it.
std::string refusal_before_boot(const run_options &options)
{
    const std::vector<uint32_t> rates = device_rates(options);
    if (options.dsd != 0) {
        if (!offers(rates, options.device_rate())) {
            return "the device has no DSD" + std::to_string(options.dsd) + ": " +
                   std::to_string(options.stream_rate()) + " Hz needs its clock at " +
                   std::to_string(options.device_rate()) + " Hz, and it offers " + rate_list(rates) + " Hz";
        }
    } else if (!offers(rates, options.rate)) {
        return "the device has no " + std::to_string(options.rate) + " Hz clock; it offers " + rate_list(rates) +
               " Hz";
    }
    if (options.panel.what == panel_setting::rate && !offers(rates, options.panel.value)) {
        return "--panel-change: the device has no " + std::to_string(options.panel.value) + " Hz clock; it offers " +
               rate_list(rates) + " Hz";
    }
    return {};
}

// The attached device's node as PnP left it.
struct node_view {
    std::wstring instance_id;
    std::wstring service;
    bool started = false;
};

node_view view_node(DEVICE_OBJECT *pdo)
{
    node_view view;
    platform::pnp_lock();
    if (const platform::device_node *node = platform::pnp_node_of(pdo)) {
        view.instance_id = node->instance_id;
        view.service = node->service;
        view.started = node->started;
    }
    platform::pnp_unlock();
    return view;
}

stream_result stream(const run_options &options, device_watch &watch, const stream_companions &companions)
{
    return options.path == stream_path::asio ? stream_through_asio(options, watch, companions)
                                              : stream_through_channel(options, watch, companions);
}

} // namespace

std::vector<uint32_t> device_rates(const run_options &options)
{
    return device_options_for(options).clock_rates;
}

uint32_t expected_buffer_frames(const run_options &options, uint32_t index)
{
    if (options.dsd != 0) {
        return BufferIndexToFrames(options.stream_rate(), TRUE, index) * run_options::dsd_rate_divisor;
    }
    return BufferIndexToFrames(options.rate, FALSE, index);
}

job_outcome run_main_job(const run_options &options, std::FILE *log)
{
    job_outcome outcome;
    if (options.stack == device_stack::standard) {
        for (uint32_t rate : standard_rates) {
            if (rate == options.rate) {
                return run_standard_job(options, log);
            }
        }
        outcome.exit_code = exit_usage;
        outcome.problems.push_back("the standard device has no " + std::to_string(options.rate) +
                                   " Hz rate; it offers 44100 and 48000 Hz");
        return outcome;
    }
    const std::string refusal = refusal_before_boot(options);
    if (!refusal.empty()) {
        outcome.exit_code = exit_usage;
        outcome.problems.push_back(refusal);
        return outcome;
    }
    // A new buffer size chosen in the control panel gives the stream new buffers half-way
    // through. A rate it refuses while the device streams: the stream keeps its own.
    outcome.expected_buffer_frames = expected_buffer_frames(
        options, options.panel.what == panel_setting::buffer_index ? options.panel.value : options.buffer_index);
    outcome.expected_rate = options.stream_rate();

    sim::machine machine;
    say(log, "booted the simulated machine\n");
    install_kernel_driver(machine);
    say(log, "installed the asynchronous kernel driver ovmlsaau (service OVMLSAAU) for %ls\n", async_hardware_id);

    const sim::audio_device_options device_options = device_options_for(options);
    const sim::uac2_options descriptors = descriptors_for(options);
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), device_options);
    device_watch watch(device, device_options, descriptors);
    if (!options.plot_path.empty()) {
        watch.sample_while_streaming();
    }
    const std::unique_ptr<sim::paced_clock> paced =
        options.paced ? std::make_unique<sim::paced_clock>(platform::ticks_per_ms, &machine) : nullptr;
    if (paced != nullptr) {
        say(log, "the machine clock and the bus move on only while every thread of the machine waits (paced)\n");
    }
    DEVICE_OBJECT *pdo = nullptr;
    const NTSTATUS attached = machine.attach(device, &pdo);
    watch.watch_bus(machine.usb_bus());
    const node_view node = view_node(pdo);
    outcome.driver_started = NT_SUCCESS(attached) && node.started && node.service == L"OVMLSAAU";
    say(log, "attached the default asynchronous device (loopback, drift %+d ppm) as %ls: %s, driver %ls %s\n",
        options.drift_ppm, node.instance_id.c_str(), status_text(attached).c_str(), node.service.c_str(),
        node.started ? "started" : "not started");
    if (!outcome.driver_started) {
        outcome.problems.push_back("the kernel driver did not start on the device (" + status_text(attached) + ")");
    }

    if (!node.instance_id.empty()) {
        const setup_outcome setup = run_device_setup(node.instance_id);
        if (setup.ok) {
            say(log, "device setup with the package's co-installer chose \"%s\"\n", setup.chosen.c_str());
        } else {
            outcome.problems.push_back(setup.detail);
        }
    }

    const registration_outcome registration = register_asio_driver();
    outcome.asio_registered = registration.ok;
    if (registration.ok) {
        say(log, "registered the ASIO driver from %ls (DllRegisterServer); SOFTWARE\\ASIO lists it\n",
            asio_module_path);
    } else {
        outcome.problems.push_back("ASIO driver registration: " + registration.detail);
    }
    if (store_settings(options.rate, options.buffer_index)) {
        say(log, "stored the settings as the control panel does: %u Hz, buffer-size index %u (%u frames)\n",
            options.rate, options.buffer_index, (unsigned)BufferIndexToFrames(options.rate, FALSE, options.buffer_index));
    } else {
        outcome.problems.push_back("the per-user settings could not be written");
    }
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo == pdo) {
            say(log, "audio interface %s\n", narrow(entry.user_path).c_str());
        }
    }

    std::unique_ptr<engine_companion> engine;
    std::unique_ptr<panel_companion> panel;
    stream_companions companions;
    if (options.with_engine) {
        engine = std::make_unique<engine_companion>(pdo, options.device_rate());
        companions.push_back(engine.get());
    }
    if (options.panel.what != panel_setting::none) {
        if (install_control_panel()) {
            say(log, "installed the control-panel program and its setup key, as the installer does\n");
        } else {
            outcome.problems.push_back("the control panel's setup key could not be written");
        }
        panel = std::make_unique<panel_companion>(options.panel);
        companions.push_back(panel.get());
    }

    if (outcome.driver_started) {
        if (options.dsd != 0) {
            say(log, "streaming %.2f s of native DSD%u (%u Hz) through the ASIO driver ...\n", options.seconds,
                options.dsd, options.stream_rate());
        } else {
            say(log, "streaming %.2f s at %u Hz through %s%s ...\n", options.seconds, options.rate,
                options.path == stream_path::asio ? "the ASIO driver" : "the device channel",
                options.with_engine ? ", the audio engine beside it from a quarter to three quarters of the way" : "");
        }
        outcome.stream = stream(options, watch, companions);
        if (!outcome.stream.not_run.empty()) {
            outcome.not_run.push_back(outcome.stream.not_run);
        }
        if (!outcome.stream.unsupported.empty()) {
            outcome.exit_code = exit_usage;
            outcome.problems.push_back(outcome.stream.unsupported);
        } else if (!outcome.stream.failure.empty()) {
            outcome.problems.push_back(outcome.stream.failure);
        }
    }
    if (engine != nullptr) {
        outcome.engine = engine->figures();
    }
    if (panel != nullptr) {
        outcome.panel = panel->figures();
    }
    outcome.device = watch.figures();

    finish_job(machine, pdo, options, outcome, log);
    return outcome;
}

} // namespace ovmrun
