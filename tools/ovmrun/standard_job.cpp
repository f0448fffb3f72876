// The main job on the standard stack: a standard device in loopback under the standard kernel
// driver, the audio engine's exclusive-mode endpoints over its Wave filter, and the standard
// ASIO driver streaming through them as an ASIO host drives it.
#include "main_job.h"
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <platform/process.h>
#include <platform/registry.h>
#include <platform/win32_system.h>
#include <sim/audio_device.h>
#include <sim/audio_endpoints.h>
#include <sim/machine.h>
#include <sim/paced_clock.h>
#include <platform/clock.h>
#include <sim/package_drivers.h>
#include <sim/uac_descriptors.h>
#include <memory>
#include "loopback_signal.h"
#include "job_finish.h"
#include "job_log.h"
#include "package_install.h"
#include "run_report.h"
#include "stream_routes.h"

namespace ovmrun {

namespace {

// The standard device of audio class 2; its render endpoint is serviced every frame.
constexpr std::uint8_t standard_render_interval = 1;

// The Wave filter's user-mode path on the device, empty when it registered none.
std::wstring wave_filter_path(DEVICE_OBJECT *pdo)
{
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo == pdo) {
            return entry.user_path;
        }
    }
    return {};
}

struct process_view_32 {
    process_view_32()
    {
        platform::registry_set_process_view(platform::process_current(), platform::registry_view::wow64_32);
    }
    ~process_view_32()
    {
        platform::registry_set_process_view(platform::process_current(), platform::registry_view::native);
    }
};

bool started_with(DEVICE_OBJECT *pdo, const wchar_t *service, std::wstring *instance_id)
{
    bool started = false;
    platform::pnp_lock();
    if (const platform::device_node *node = platform::pnp_node_of(pdo)) {
        *instance_id = node->instance_id;
        started = node->started && node->service == service;
    }
    platform::pnp_unlock();
    return started;
}

} // namespace

job_outcome run_standard_job(const run_options &options, std::FILE *log)
{
    job_outcome outcome;
    outcome.expected_buffer_frames = options.buffer_frames;
    outcome.expected_rate = options.rate;

    sim::machine machine;
    say(log, "booted the simulated machine\n");
    // The standard ASIO driver is a 32-bit in-process server: the process that registers and
    // hosts it sees the 32-bit registry view, for the whole run.
    const process_view_32 view32;
    sim::install_package_drivers(machine);
    say(log, "installed the package's kernel drivers by hardware ID; the standard devices get ovmlsau (service "
             "OVMLSAU)\n");

    sim::audio_device_options device_options;
    device_options.ppm = options.drift_ppm;
    device_options.capture = sim::capture_source::loopback;
    const sim::uac2_options descriptors = sim::standard_uac2_options(standard_render_interval);
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), device_options);
    device_watch watch(device, device_options, descriptors);
    // The standard driver sizes its render packets by the rate's pattern alone.
    watch.set_feedback_mode(feedback_mode::pattern);
    if (!options.plot_path.empty()) {
        watch.sample_while_streaming();
    }
    // Paced: the endpoints' periods keep time by the machine clock, so the clock and the bus
    // move on together, and only while every thread of the machine waits.
    const std::unique_ptr<sim::paced_clock> paced =
        options.paced ? std::make_unique<sim::paced_clock>(platform::ticks_per_ms, &machine) : nullptr;
    if (paced != nullptr) {
        say(log, "the machine clock and the bus move on only while every thread of the machine waits (paced)\n");
    }
    DEVICE_OBJECT *pdo = nullptr;
    const NTSTATUS attached = machine.attach(device, &pdo);
    watch.watch_bus(machine.usb_bus());
    std::wstring instance_id;
    outcome.driver_started = NT_SUCCESS(attached) && started_with(pdo, L"OVMLSAU", &instance_id);
    say(log, "attached the standard device (loopback, drift %+d ppm) as %ls: %s, driver ovmlsau %s\n",
        options.drift_ppm, instance_id.c_str(), status_text(attached).c_str(),
        outcome.driver_started ? "started" : "not started");
    if (!outcome.driver_started) {
        outcome.problems.push_back("the standard kernel driver did not start on the device (" +
                                   status_text(attached) + ")");
    }

    std::unique_ptr<sim::ks_endpoint_pair> endpoints;
    if (outcome.driver_started) {
        const std::wstring path = wave_filter_path(pdo);
        const NTSTATUS created = sim::ks_endpoint_pair::create(path, &endpoints);
        if (NT_SUCCESS(created)) {
            say(log, "the audio engine shows the Wave filter %s as render and capture endpoints\n",
                narrow(path).c_str());
        } else {
            outcome.problems.push_back("the audio engine could not open the Wave filter (" + status_text(created) +
                                       ")");
        }
    }

    const registration_outcome registration = register_standard_asio_driver();
    outcome.asio_registered = registration.ok;
    if (registration.ok) {
        say(log, "registered the standard ASIO driver from %ls (DllRegisterServer); SOFTWARE\\ASIO lists it\n",
            standard_asio_module_path);
    } else {
        outcome.problems.push_back("ASIO driver registration: " + registration.detail);
    }
    if (store_standard_settings(options.rate, options.buffer_frames)) {
        say(log, "stored the standard driver's settings: %u Hz, %u frames per buffer\n", options.rate,
            options.buffer_frames);
    } else {
        outcome.problems.push_back("the standard driver's settings could not be written");
    }

    if (endpoints != nullptr && outcome.asio_registered) {
        say(log, "streaming %.2f s at %u Hz through the standard ASIO driver ...\n", options.seconds, options.rate);
        outcome.stream = stream_through_asio(options, watch, standard_asio_driver_name, true);
        if (!outcome.stream.failure.empty()) {
            outcome.problems.push_back(outcome.stream.failure);
        }
    }
    outcome.device = watch.figures();
    endpoints.reset();

    finish_job(machine, pdo, options, outcome, log);
    return outcome;
}

} // namespace ovmrun
