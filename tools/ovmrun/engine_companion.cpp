// The audio engine's role beside the host, and the checks of what the device made of both.
#include "engine_companion.h"
#include <ks.h>
#include <ksmedia.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <platform/pnp.h>
#include <sim/audio_engine.h>
#include <algorithm>
#include "job_log.h"

namespace ovmrun {

namespace {

// The engine's buffer: 100 ms in two halves, each half one notification.
constexpr uint32_t buffer_ms = 100;
constexpr uint32_t notifications_per_buffer = 2;
constexpr uint32_t notification_timeout_ms = 500;

KSDATARANGE_AUDIO shared_format(uint32_t rate)
{
    return sim::pcm_data_range(engine_channels, engine_bits, rate);
}

// The streaming pin of a data flow, or -1.
LONG streaming_pin(sim::wavert_filter &filter, KSPIN_DATAFLOW flow)
{
    ULONG count = 0;
    if (!NT_SUCCESS(filter.pin_count(&count))) {
        return -1;
    }
    for (ULONG pin = 0; pin < count; ++pin) {
        KSPIN_DATAFLOW pin_flow{};
        KSPIN_COMMUNICATION communication{};
        if (NT_SUCCESS(filter.pin_dataflow(pin, &pin_flow)) && NT_SUCCESS(filter.pin_communication(pin, &communication)) &&
            pin_flow == flow && communication != KSPIN_COMMUNICATION_BRIDGE) {
            return (LONG)pin;
        }
    }
    return -1;
}

// Opens a pin in the shared format with its buffer and notification event; the status of the
// first step that failed.
NTSTATUS open_pin(sim::wavert_filter &filter, KSPIN_DATAFLOW flow, uint32_t rate, std::unique_ptr<sim::wavert_pin> *pin)
{
    const LONG id = streaming_pin(filter, flow);
    if (id < 0) {
        return STATUS_NOT_FOUND;
    }
    std::vector<UCHAR> format;
    sim::ks_result probe;
    NTSTATUS status = filter.intersect((ULONG)id, shared_format(rate), &format, &probe);
    if (NT_SUCCESS(status)) {
        status = filter.create_pin((ULONG)id, format, pin);
    }
    const uint32_t frame_bytes = engine_channels * engine_bits / 8;
    if (NT_SUCCESS(status)) {
        status = (*pin)->allocate_buffer(rate * buffer_ms / 1000 * frame_bytes, notifications_per_buffer);
    }
    if (NT_SUCCESS(status)) {
        status = (*pin)->register_event();
    }
    if (!NT_SUCCESS(status)) {
        pin->reset();
    }
    return status;
}

} // namespace

engine_companion::engine_companion(DEVICE_OBJECT *pdo, uint32_t rate) : m_pdo(pdo), m_rate(rate)
{
    m_figures.rate = rate;
}

engine_companion::~engine_companion()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void engine_companion::at(stream_point point, sim::asio_host *)
{
    if (point == stream_point::quarter && !m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_figures.ran = true;
        }
        m_thread = std::thread([this] { run(); });
    } else if (point == stream_point::three_quarters) {
        m_stop = true;
    } else if (point == stream_point::ending) {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
}

void engine_companion::run()
{
    std::wstring path;
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo == m_pdo) {
            path = entry.user_path;
            break;
        }
    }
    std::unique_ptr<sim::wavert_filter> filter;
    const NTSTATUS opened = path.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : sim::wavert_filter::open(path, &filter);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_figures.filter = narrow(path);
        m_figures.filter_open = opened;
    }
    if (!NT_SUCCESS(opened)) {
        return;
    }
    std::unique_ptr<sim::wavert_pin> render, capture;
    const NTSTATUS render_status = open_pin(*filter, KSPIN_DATAFLOW_IN, m_rate, &render);
    const NTSTATUS capture_status = open_pin(*filter, KSPIN_DATAFLOW_OUT, m_rate, &capture);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_figures.render_open = render_status;
        m_figures.capture_open = capture_status;
    }
    if (render == nullptr || capture == nullptr) {
        return;
    }
    render->prefill();
    NTSTATUS status = capture->set_state(KSSTATE_RUN);
    status = NT_SUCCESS(status) ? render->set_state(KSSTATE_RUN) : status;
    const int64_t started = platform::clock_now();
    std::atomic<uint64_t> late{0};
    std::vector<uint8_t> recorded;
    if (NT_SUCCESS(status)) {
        // The engine's threads are the machine's: a paced bus waits for them as for the
        // driver's.
        std::thread recorder([&] {
            const platform::machine_thread_scope member;
            while (!m_stop) {
                late += capture->stream(1, notification_timeout_ms, &recorded) ? 0 : 1;
            }
        });
        {
            const platform::machine_thread_scope member;
            while (!m_stop) {
                late += render->stream(1, notification_timeout_ms, nullptr) ? 0 : 1;
            }
        }
        recorder.join();
    }
    const NTSTATUS render_stop = render->set_state(KSSTATE_STOP);
    const NTSTATUS capture_stop = capture->set_state(KSSTATE_STOP);
    const int64_t stopped = platform::clock_now();
    std::lock_guard<std::mutex> guard(m_lock);
    if (!NT_SUCCESS(status)) {
        m_figures.failure = "the engine's pins did not run (" + status_text(status) + ")";
    } else if (!NT_SUCCESS(render_stop) || !NT_SUCCESS(capture_stop)) {
        m_figures.failure = "the engine's pins did not stop (" + status_text(render_stop) + ", " +
                            status_text(capture_stop) + ")";
    }
    m_figures.frames_played = render->frames_written();
    m_figures.frames_recorded = recorded.size() / (engine_channels * engine_bits / 8);
    m_figures.late_notifications = late;
    m_recorded = std::move(recorded);
    m_started = NT_SUCCESS(status) ? started : -1;
    m_stopped = NT_SUCCESS(status) ? stopped : -1;
}

void engine_companion::finish(stream_result &result)
{
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_started >= 0) {
        result.events.push_back({run_event::kind::engine_started, m_started});
        result.events.push_back({run_event::kind::engine_stopped, m_stopped});
    }
    if (m_recorded.empty() || result.dsd()) {
        return;
    }
    // The engine's stereo stream goes to the device's first two channels; what came back on
    // them is judged as the sum of both streams.
    m_figures.mixed_channels = std::min<uint32_t>(engine_channels, std::min(result.outputs, (uint32_t)result.captured.size()));
    for (uint32_t c = 0; c < m_figures.mixed_channels && c < result.loopback.size(); ++c) {
        const mix_result mix = check_mix(result.captured[c], result.sample_type, (int32_t)c);
        input_loopback &in = result.loopback[c];
        in.mixed = true;
        in.found = mix.found;
        in.latency_frames = mix.latency_frames;
        in.session_latencies = {mix.latency_frames};
        in.frames_checked = mix.frames_checked;
        in.lost_at_start = mix.lost_at_start;
        in.mismatches = mix.mismatches;
        in.first_mismatch = mix.first_mismatch;
        in.frames_with_engine = mix.frames_with_engine;
        in.frames_saturated = mix.frames_saturated;
        in.engine_gaps = mix.engine_gaps;
    }
    if (result.captured.size() >= engine_channels) {
        m_figures.capture = compare_engine_capture(m_recorded, result.captured[0], result.captured[1], result.sample_type);
    }
}

engine_figures engine_companion::figures() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_figures;
}

} // namespace ovmrun
