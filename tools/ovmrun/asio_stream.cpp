// Streaming as an ASIO host: the host finds the registered driver under SOFTWARE\ASIO,
// creates it through COM, sets the rate, takes the buffer size the driver offers for the
// stored index, and streams until enough buffer switches have run.
#include "stream_routes.h"
#include <sim/asio_host.h>
#include <cmath>
#include "AsioDriverIds.h"

namespace ovmrun {

namespace {

constexpr uint32_t start_timeout_ms = 20000;
constexpr uint32_t stop_timeout_ms = 20000;
// Time allowed beyond the nominal streaming time before the run counts as stalled.
constexpr uint32_t stall_margin_ms = 10000;

bool driver_registered(const std::wstring &driver_name, bool wow64_32)
{
    for (const sim::asio_driver_entry &entry : sim::asio_enumerate_drivers(wow64_32)) {
        if (entry.name == driver_name) {
            return true;
        }
    }
    return false;
}

std::string narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 0x80 ? (char)c : '?');
    }
    return out;
}

} // namespace

stream_result stream_through_asio(const run_options &options, device_watch &watch)
{
    return stream_through_asio(options, watch, QEL_ASIO_DRIVER_NAME, false);
}

stream_result stream_through_asio(const run_options &options, device_watch &watch, const std::wstring &driver_name,
                                  bool wow64_32)
{
    stream_result result;
    if (!driver_registered(driver_name, wow64_32)) {
        result.failure = "the ASIO driver '" + narrow(driver_name) + "' is not registered under SOFTWARE\\ASIO";
        return result;
    }
    sim::asio_host_options host_options;
    host_options.driver = driver_name;
    host_options.wow64_32 = wow64_32;
    host_options.sample_rate = options.rate;
    host_options.capture_frames = (size_t)std::ceil(options.seconds * options.rate) + 4u * options.rate;
    host_options.image_name = L"ovmrun.exe";
    sim::asio_host host(host_options);
    if (!host.start(start_timeout_ms)) {
        result.failure = "the ASIO host could not start streaming: " + host.error();
        host.stop(stop_timeout_ms);
        return result;
    }
    watch.streaming_started();
    result.route = "ASIO driver '" + host.driver_name() + "' version " + std::to_string(host.driver_version()) +
                   " in an ASIO host";
    result.rate = (uint32_t)host.sample_rate();
    result.buffer_frames = (uint32_t)host.buffer_size();
    result.input_latency = host.input_latency();
    result.output_latency = host.output_latency();
    const std::vector<sim::asio_channel> inputs = host.inputs();
    const std::vector<sim::asio_channel> outputs = host.outputs();
    result.inputs = (uint32_t)inputs.size();
    result.outputs = (uint32_t)outputs.size();
    result.sample_type = !inputs.empty() ? inputs[0].type : (!outputs.empty() ? outputs[0].type : -1);
    result.periods_wanted = periods_for(options.seconds, options.rate, result.buffer_frames);

    const uint32_t timeout_ms = (uint32_t)(options.seconds * 1000.0) + stall_margin_ms;
    bool complete = host.wait_buffer_switches(result.periods_wanted / 2, timeout_ms);
    watch.streaming_midway();
    complete = complete && host.wait_buffer_switches(result.periods_wanted, timeout_ms);
    watch.streaming_ending();
    const std::vector<sim::asio_callback_record> records = host.records();
    if (!host.stop(stop_timeout_ms)) {
        result.failure = "the ASIO host did not stop within " + std::to_string(stop_timeout_ms / 1000) + " s";
    } else if (!complete) {
        result.failure = "buffer switches stopped after " + std::to_string(host.buffer_switches()) + " of " +
                         std::to_string(result.periods_wanted);
    }

    result.buffer_switches = host.buffer_switches();
    result.drop_outs = host.drop_outs();
    result.resets = host.resets();
    int64_t first = -1, last = -1;
    for (const sim::asio_callback_record &r : records) {
        if (r.kind == sim::asio_callback_kind::buffer_switch || r.kind == sim::asio_callback_kind::buffer_switch_time_info) {
            first = first < 0 ? r.time : first;
            last = r.time;
        }
    }
    result.seconds = first >= 0 ? (double)(last - first) / 1e7 : 0.0;
    std::vector<std::string> names;
    for (size_t i = 0; i < inputs.size(); ++i) {
        result.captured.push_back(host.captured(i));
        names.push_back(inputs[i].name);
    }
    check_inputs(result, names);
    return result;
}

} // namespace ovmrun
