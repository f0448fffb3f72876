// Streaming as an ASIO host: the host finds the registered driver under SOFTWARE\ASIO,
// creates it through COM, sets the io format (native DSD) and the rate, takes the buffer size
// the driver offers for the stored index, and streams until enough buffer switches have run,
// calling the run's companions a quarter, half and three quarters of the way through.
#include "stream_routes.h"
#include <sim/asio_host.h>
#include <algorithm>
#include <cmath>
#include "AsioDriverIds.h"
#include "job_log.h"

namespace ovmrun {

namespace {

constexpr uint32_t start_timeout_ms = 20000;
constexpr uint32_t stop_timeout_ms = 20000;
// Time allowed beyond the nominal streaming time before the run counts as stalled.
constexpr uint32_t stall_margin_ms = 10000;
// Capture room kept beyond the streaming time, in seconds of audio.
constexpr double capture_margin_seconds = 4.0;
// DSD channel buffers hold 8 samples per byte.
constexpr double dsd_samples_per_byte = 8.0;

bool driver_registered(const std::wstring &driver_name, bool wow64_32)
{
    for (const sim::asio_driver_entry &entry : sim::asio_enumerate_drivers(wow64_32)) {
        if (entry.name == driver_name) {
            return true;
        }
    }
    return false;
}

bool is_switch(const sim::asio_callback_record &r)
{
    return r.kind == sim::asio_callback_kind::buffer_switch || r.kind == sim::asio_callback_kind::buffer_switch_time_info;
}

sim::asio_host_options host_options_for(const run_options &options, const std::wstring &driver_name, bool wow64_32)
{
    sim::asio_host_options host_options;
    host_options.driver = driver_name;
    host_options.wow64_32 = wow64_32;
    host_options.sample_rate = options.stream_rate();
    host_options.image_name = L"ovmrun.exe";
    const double kept_seconds = options.seconds + capture_margin_seconds;
    if (options.dsd != 0) {
        host_options.io_format = kASIODSDFormat;
        // A DSD input is kept in bytes.
        host_options.capture_frames = (size_t)std::ceil(kept_seconds * options.stream_rate() / dsd_samples_per_byte);
    } else {
        host_options.capture_frames = (size_t)std::ceil(kept_seconds * options.rate);
    }
    return host_options;
}

// The sessions, buffer switches, drop-outs, reset requests and resumptions the host recorded.
void take_timeline(const sim::asio_host &host, const std::vector<sim::asio_callback_record> &records,
                   stream_result &result)
{
    for (const sim::asio_session_record &record : host.sessions()) {
        stream_session session;
        session.started = record.time;
        session.buffer_frames = (uint32_t)record.buffer_size;
        session.rate = (uint32_t)record.sample_rate;
        session.capture_offsets = record.capture_offsets;
        result.sessions.push_back(session);
    }
    size_t current = 0;
    int64_t first = -1, last = -1, previous = -1, last_position = -1;
    for (const sim::asio_callback_record &r : records) {
        if (r.kind == sim::asio_callback_kind::asio_message && r.index == kAsioResetRequest) {
            result.events.push_back({run_event::kind::reset_request, r.time});
            continue;
        }
        if (!is_switch(r)) {
            continue;
        }
        bool new_session = false;
        while (current + 1 < result.sessions.size() && r.time >= result.sessions[current + 1].started) {
            ++current;
            new_session = true;
        }
        stream_session *session = result.sessions.empty() ? nullptr : &result.sessions[current];
        const uint32_t frames = session != nullptr ? session->buffer_frames : result.buffer_frames;
        const uint32_t rate = session != nullptr ? session->rate : result.rate;
        const double period_ms = rate != 0 ? frames * 1000.0 / rate : 0.0;
        if (session != nullptr) {
            if (session->first_switch < 0) {
                session->first_switch = r.time;
                if (current != 0) {
                    result.events.push_back({run_event::kind::streaming_resumed, r.time});
                }
            }
            ++session->buffer_switches;
            session->seconds = (double)(r.time - session->first_switch) / 1e7;
        }
        // Late past half a period plus one USB frame, or a sample position that skipped: the
        // host's own drop-out rule.
        if (new_session) {
            previous = -1;
            last_position = -1;
        }
        const int64_t period = (int64_t)(period_ms * 10000.0);
        const bool late = previous >= 0 && r.time - previous > period + period / 2 + 10000;
        const bool skipped = last_position >= 0 && r.position >= 0 && r.position != last_position + frames;
        if (late || skipped) {
            result.events.push_back({run_event::kind::drop_out, r.time});
        }
        previous = r.time;
        last_position = r.position;
        result.switches.push_back({r.time, period_ms});
        first = first < 0 ? r.time : first;
        last = r.time;
    }
    result.seconds = first >= 0 ? (double)(last - first) / 1e7 : 0.0;
}

} // namespace

stream_result stream_through_asio(const run_options &options, device_watch &watch, const stream_companions &companions)
{
    return stream_through_asio(options, watch, QEL_ASIO_DRIVER_NAME, false, companions);
}

stream_result stream_through_asio(const run_options &options, device_watch &watch, const std::wstring &driver_name,
                                  bool wow64_32, const stream_companions &companions)
{
    stream_result result;
    if (!driver_registered(driver_name, wow64_32)) {
        result.failure = "the ASIO driver '" + narrow(driver_name) + "' is not registered under SOFTWARE\\ASIO";
        return result;
    }
    sim::asio_host host(host_options_for(options, driver_name, wow64_32));
    if (!host.start(start_timeout_ms)) {
        result.failure = "the ASIO host could not start streaming: " + host.error();
        if (options.dsd != 0 && host.error().find("io format") != std::string::npos) {
            result.unsupported = "the device has no DSD mode: its ASIO driver refuses the DSD io format";
        } else if (options.dsd != 0 && host.error().find("sample rate") != std::string::npos) {
            result.unsupported = "the device has no DSD" + std::to_string(options.dsd) + ": its ASIO driver cannot run at " +
                                 std::to_string(options.stream_rate()) + " Hz";
        }
        host.stop(stop_timeout_ms);
        return result;
    }
    watch.streaming_started();
    result.route = "ASIO driver '" + host.driver_name() + "' version " + std::to_string(host.driver_version()) +
                   " in an ASIO host";
    result.rate = (uint32_t)host.sample_rate();
    result.device_rate = options.dsd != 0 ? result.rate / run_options::dsd_rate_divisor : result.rate;
    result.buffer_frames = (uint32_t)host.buffer_size();
    result.input_latency = host.input_latency();
    result.output_latency = host.output_latency();
    const std::vector<sim::asio_channel> inputs = host.inputs();
    const std::vector<sim::asio_channel> outputs = host.outputs();
    result.inputs = (uint32_t)inputs.size();
    result.outputs = (uint32_t)outputs.size();
    result.sample_type = !inputs.empty() ? inputs[0].type : (!outputs.empty() ? outputs[0].type : -1);
    const uint64_t first_periods = periods_for(options.seconds, result.rate, result.buffer_frames);
    result.periods_wanted = first_periods;

    const uint32_t timeout_ms = (uint32_t)(options.seconds * 1000.0) + stall_margin_ms;
    bool complete = host.wait_buffer_switches(first_periods / 4, timeout_ms);
    call_companions(companions, stream_point::quarter, &host);
    complete = complete && host.wait_buffer_switches(first_periods / 2, timeout_ms);
    call_companions(companions, stream_point::midway, &host);
    watch.streaming_midway();
    // A setting changed half-way gives the second half of the run its own buffers: it streams
    // as long again in them.
    if (host.sessions().size() > 1) {
        const uint64_t done = host.buffer_switches();
        result.periods_wanted = done + periods_for(options.seconds / 2, (uint32_t)host.sample_rate(),
                                                   (uint32_t)host.buffer_size());
    }
    const uint64_t done_at_midway = std::min(host.buffer_switches(), result.periods_wanted);
    complete = complete && host.wait_buffer_switches(done_at_midway + (result.periods_wanted - done_at_midway) / 2,
                                                     timeout_ms);
    call_companions(companions, stream_point::three_quarters, &host);
    complete = complete && host.wait_buffer_switches(result.periods_wanted, timeout_ms);
    watch.streaming_ending();
    call_companions(companions, stream_point::ending, &host);
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
    // The size and rate in force at the end, and the latencies the driver gave for them.
    result.buffer_frames = (uint32_t)host.buffer_size();
    result.rate = (uint32_t)host.sample_rate();
    result.device_rate = options.dsd != 0 ? result.rate / run_options::dsd_rate_divisor : result.rate;
    result.input_latency = host.input_latency();
    result.output_latency = host.output_latency();
    take_timeline(host, records, result);
    std::vector<std::string> names;
    for (size_t i = 0; i < inputs.size(); ++i) {
        result.captured.push_back(host.captured(i));
        names.push_back(inputs[i].name);
    }
    check_inputs(result, names);
    for (stream_companion *companion : companions) {
        companion->finish(result);
    }
    return result;
}

} // namespace ovmrun
