// The audio engine's role towards a WaveCyclic pin: its creation, state and position requests,
// and audio in stream requests that stay in flight until the port has moved all their bytes
// through the pin's cyclic buffer; a render and a capture loop over the frame-numbered pattern;
// the PCM connection format and client range both roles ask with.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <wdm.h>
#include <sim/audio_engine.h>
#include <platform/ks_client.h>
#include <platform/user_io.h>

namespace sim {

// Shared with the completion callbacks, which may run on any thread and after the pin has gone.
struct wavecyclic_pin::shared_state {
    struct request {
        std::vector<UCHAR> data;
        bool done = false;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::shared_ptr<request>> requests; // oldest first
    ULONG outstanding = 0;
};

std::vector<UCHAR> pcm_connection_format(ULONG channels, ULONG bits, ULONG rate)
{
    KSDATAFORMAT_WAVEFORMATEX format{};
    format.DataFormat.FormatSize = sizeof(format);
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.DataFormat.SampleSize = channels * bits / 8;
    format.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    format.WaveFormatEx.nChannels = (USHORT)channels;
    format.WaveFormatEx.nSamplesPerSec = rate;
    format.WaveFormatEx.nBlockAlign = (USHORT)(channels * bits / 8);
    format.WaveFormatEx.nAvgBytesPerSec = rate * format.WaveFormatEx.nBlockAlign;
    format.WaveFormatEx.wBitsPerSample = (USHORT)bits;
    std::vector<UCHAR> bytes(sizeof(format));
    std::memcpy(bytes.data(), &format, sizeof(format));
    return bytes;
}

KSDATARANGE_AUDIO pcm_data_range(ULONG channels, ULONG bits, ULONG rate)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = bits;
    range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = rate;
    range.MaximumSampleFrequency = rate;
    return range;
}

NTSTATUS create_wavecyclic_pin(wavert_filter &filter, ULONG pin, const std::vector<UCHAR> &format,
                               std::unique_ptr<wavecyclic_pin> *created)
{
    if (format.size() < sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> connect(sizeof(KSPIN_CONNECT) + format.size());
    KSPIN_CONNECT header{};
    header.Interface.Set = KSINTERFACESETID_Standard;
    header.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    header.Medium.Set = KSMEDIUMSETID_Standard;
    header.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    header.PinId = pin;
    header.Priority.PriorityClass = KSPRIORITY_NORMAL;
    header.Priority.PrioritySubClass = 1;
    std::memcpy(connect.data(), &header, sizeof(header));
    std::memcpy(connect.data() + sizeof(header), format.data(), format.size());

    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN;
    NTSTATUS status = filter.pin_dataflow(pin, &flow);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::wstring path =
        filter.path() + platform::ks_pin_create_name(reinterpret_cast<const KSPIN_CONNECT *>(connect.data()),
                                                     (ULONG)connect.size());
    platform::user_file *file = nullptr;
    status = platform::user_io_open(path.c_str(), GENERIC_READ | GENERIC_WRITE, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WAVEFORMATEX wave;
    std::memcpy(&wave, format.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    created->reset(new wavecyclic_pin(file, flow == KSPIN_DATAFLOW_OUT, wave.nChannels, wave.wBitsPerSample,
                                      wave.nSamplesPerSec));
    return STATUS_SUCCESS;
}

wavecyclic_pin::wavecyclic_pin(platform::user_file *file, bool capture, ULONG channels, ULONG bits, ULONG rate)
    : m_handle(file), m_capture(capture), m_channels(channels), m_bits(bits), m_rate(rate),
      m_state(std::make_shared<shared_state>())
{
}

wavecyclic_pin::~wavecyclic_pin() { m_handle.close(); }

NTSTATUS wavecyclic_pin::set_state(KSSTATE state)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    ULONG value = state;
    return m_handle.set(&request, sizeof(request), &value, sizeof(value)).status;
}

NTSTATUS wavecyclic_pin::get_state(KSSTATE *state)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0;
    NTSTATUS status = m_handle.get(&request, sizeof(request), &value, sizeof(value)).status;
    *state = (KSSTATE)value;
    return status;
}

NTSTATUS wavecyclic_pin::position(KSAUDIO_POSITION *position)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Audio;
    request.Id = KSPROPERTY_AUDIO_POSITION;
    request.Flags = KSPROPERTY_TYPE_GET;
    return m_handle.get(&request, sizeof(request), position, sizeof(*position)).status;
}

NTSTATUS wavecyclic_pin::submit(ULONG code, const UCHAR *data, ULONG bytes)
{
    auto entry = std::make_shared<shared_state::request>();
    entry->data.assign(bytes, 0);
    if (data != nullptr) {
        std::memcpy(entry->data.data(), data, bytes);
    }
    std::shared_ptr<shared_state> state = m_state;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->requests.push_back(entry);
        ++state->outstanding;
    }
    bool write = code == IOCTL_KS_WRITE_STREAM;
    NTSTATUS sent = platform::user_io_ioctl(
        m_handle.file(), code, write ? entry->data.data() : nullptr, write ? bytes : 0,
        write ? nullptr : entry->data.data(), write ? 0 : bytes, [state, entry](NTSTATUS status, ULONG_PTR information) {
            std::lock_guard<std::mutex> guard(state->lock);
            entry->status = status;
            entry->information = information;
            entry->done = true;
            --state->outstanding;
            state->changed.notify_all();
        });
    if (sent != STATUS_PENDING && !NT_SUCCESS(sent)) {
        // A refused request is not one in flight.
        std::lock_guard<std::mutex> guard(state->lock);
        std::erase(state->requests, entry);
    }
    return sent;
}

NTSTATUS wavecyclic_pin::submit_write(const UCHAR *data, ULONG bytes)
{
    return submit(IOCTL_KS_WRITE_STREAM, data, bytes);
}

NTSTATUS wavecyclic_pin::submit_read(ULONG bytes) { return submit(IOCTL_KS_READ_STREAM, nullptr, bytes); }

ULONG wavecyclic_pin::in_flight() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->outstanding;
}

bool wavecyclic_pin::wait_in_flight(ULONG max_in_flight, ULONG timeout_ms)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                     [&] { return m_state->outstanding <= max_in_flight; });
}

NTSTATUS wavecyclic_pin::take_completed(std::vector<UCHAR> *out)
{
    NTSTATUS result = STATUS_SUCCESS;
    std::lock_guard<std::mutex> guard(m_state->lock);
    while (!m_state->requests.empty() && m_state->requests.front()->done) {
        std::shared_ptr<shared_state::request> entry = m_state->requests.front();
        m_state->requests.pop_front();
        if (!NT_SUCCESS(entry->status)) {
            if (NT_SUCCESS(result)) {
                result = entry->status;
            }
            continue;
        }
        if (out != nullptr && m_capture) {
            out->insert(out->end(), entry->data.begin(), entry->data.begin() + entry->information);
        }
    }
    return result;
}

bool wavecyclic_pin::caught_up() const
{
    const ULONG depth = m_streaming_depth;
    return depth == 0 || m_all_sent || in_flight() >= depth;
}

bool wavecyclic_pin::render_pattern(ULONGLONG frames, ULONG request_frames, ULONG depth, ULONG timeout_ms)
{
    std::vector<UCHAR> chunk;
    ULONGLONG end = m_next_frame + frames;
    bool ok = true;
    m_all_sent = false;
    m_streaming_depth = depth;
    while (ok && m_next_frame < end) {
        if (!wait_in_flight(depth - 1, timeout_ms) || !NT_SUCCESS(take_completed(nullptr))) {
            ok = false;
            break;
        }
        ULONG count = (ULONG)std::min<ULONGLONG>(request_frames, end - m_next_frame);
        chunk.assign((size_t)count * block_align(), 0);
        wavert_write_pattern(chunk.data(), m_next_frame, count, m_channels, m_bits);
        NTSTATUS status = submit_write(chunk.data(), (ULONG)chunk.size());
        ok = status == STATUS_PENDING || NT_SUCCESS(status);
        if (ok) {
            m_next_frame += count;
        }
    }
    m_all_sent = true;
    ok = ok && NT_SUCCESS(take_completed(nullptr));
    m_streaming_depth = 0;
    return ok;
}

bool wavecyclic_pin::capture_frames(ULONGLONG frames, ULONG request_frames, ULONG depth, ULONG timeout_ms,
                                    std::vector<UCHAR> *captured)
{
    ULONGLONG submitted = 0;
    bool ok = true;
    m_all_sent = false;
    m_streaming_depth = depth;
    while (ok && submitted < frames) {
        if (!wait_in_flight(depth - 1, timeout_ms) || !NT_SUCCESS(take_completed(captured))) {
            ok = false;
            break;
        }
        ULONG count = (ULONG)std::min<ULONGLONG>(request_frames, frames - submitted);
        NTSTATUS status = submit_read(count * block_align());
        ok = status == STATUS_PENDING || NT_SUCCESS(status);
        submitted += count;
    }
    m_all_sent = true;
    ok = ok && wait_in_flight(0, timeout_ms) && NT_SUCCESS(take_completed(captured));
    m_streaming_depth = 0;
    return ok;
}

} // namespace sim
