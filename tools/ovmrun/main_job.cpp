// The main job's sequence: boot, install, attach, stream, write the capture, judge, report.
#include "main_job.h"
#include <RateTables.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/uac_descriptors.h>
#include <algorithm>
#include "loopback_signal.h"
#include "job_finish.h"
#include "job_log.h"
#include "package_install.h"
#include "run_report.h"
#include "stream_routes.h"

namespace ovmrun {

namespace {

sim::audio_device_options device_options_for(const run_options &options)
{
    sim::audio_device_options device;
    device.ppm = options.drift_ppm;
    device.capture = sim::capture_source::loopback;
    return device;
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

stream_result stream(const run_options &options, device_watch &watch)
{
    return options.path == stream_path::asio ? stream_through_asio(options, watch)
                                              : stream_through_channel(options, watch);
}

} // namespace

std::vector<uint32_t> device_rates()
{
    return sim::audio_device_options{}.clock_rates;
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
    const std::vector<uint32_t> rates = device_rates();
    if (std::find(rates.begin(), rates.end(), options.rate) == rates.end()) {
        std::string offered;
        for (uint32_t rate : rates) {
            offered += (offered.empty() ? "" : ", ") + std::to_string(rate);
        }
        outcome.exit_code = exit_usage;
        outcome.problems.push_back("the device has no " + std::to_string(options.rate) + " Hz clock; it offers " +
                                   offered + " Hz");
        return outcome;
    }
    outcome.expected_buffer_frames = BufferIndexToFrames(options.rate, FALSE, options.buffer_index);

    sim::machine machine;
    say(log, "booted the simulated machine\n");
    install_kernel_driver(machine);
    say(log, "installed the asynchronous kernel driver ovmlsaau (service OVMLSAAU) for %ls\n", async_hardware_id);

    const sim::audio_device_options device_options = device_options_for(options);
    sim::uac2_options descriptors;
    if (!options.device_formats.empty()) {
        descriptors.render_formats = options.device_formats;
        descriptors.capture_formats = options.device_formats;
    }
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), device_options);
    device_watch watch(device, device_options, descriptors);
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
            options.rate, options.buffer_index, outcome.expected_buffer_frames);
    } else {
        outcome.problems.push_back("the per-user settings could not be written");
    }
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo == pdo) {
            say(log, "audio interface %s\n", narrow(entry.user_path).c_str());
        }
    }

    if (outcome.driver_started) {
        say(log, "streaming %.2f s at %u Hz through %s ...\n", options.seconds, options.rate,
            options.path == stream_path::asio ? "the ASIO driver" : "the device channel");
        outcome.stream = stream(options, watch);
        if (!outcome.stream.not_run.empty()) {
            outcome.not_run.push_back(outcome.stream.not_run);
        }
        if (!outcome.stream.failure.empty()) {
            outcome.problems.push_back(outcome.stream.failure);
        }
    }
    outcome.device = watch.figures();

    finish_job(machine, pdo, options, outcome, log);
    return outcome;
}

} // namespace ovmrun
