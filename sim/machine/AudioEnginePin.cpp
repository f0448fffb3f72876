// The audio engine's role on a WaveRT pin: state, cyclic buffer, notification event,
// position, and the frame-numbered pattern it renders and checks.
#include <cstring>
#include <wdm.h>
#include <sim/audio_engine.h>
#include <platform/kernel_handles.h>
#include <platform/user_io.h>

namespace sim {
namespace {

void delete_event(void *object) { delete static_cast<KEVENT *>(object); }

ULONG bytes_of(ULONG bits) { return (bits + 7) / 8; }

} // namespace

LONG wavert_pattern_sample(ULONGLONG frame, ULONG channel, ULONG bits)
{
    ULONG width = bits >= 32 ? 31 : bits - 1;
    ULONGLONG mask = (1ull << width) - 1;
    ULONGLONG step = 1ull << (width > 4 ? width - 4 : 0);
    return (LONG)((frame + channel * step) & mask);
}

void wavert_write_pattern(UCHAR *out, ULONGLONG first, ULONG count, ULONG channels, ULONG bits)
{
    ULONG width = bytes_of(bits);
    for (ULONG f = 0; f < count; ++f) {
        for (ULONG c = 0; c < channels; ++c) {
            ULONG value = (ULONG)wavert_pattern_sample(first + f, c, bits);
            if (bits == 8) {
                value = (value + 0x80) & 0xFF;
            }
            for (ULONG b = 0; b < width; ++b) {
                *out++ = (UCHAR)(value >> (8 * b));
            }
        }
    }
}

LONGLONG wavert_find_pattern(const UCHAR *data, ULONG frames, ULONG channels, ULONG bits)
{
    if (frames == 0) {
        return -1;
    }
    ULONG width = bytes_of(bits);
    ULONG value = 0;
    for (ULONG b = 0; b < width; ++b) {
        value |= (ULONG)data[b] << (8 * b);
    }
    if (bits == 8) {
        value = (value - 0x80) & 0xFF;
    }
    std::vector<UCHAR> expected(frames * channels * width);
    wavert_write_pattern(expected.data(), value, frames, channels, bits);
    return std::memcmp(expected.data(), data, expected.size()) == 0 ? (LONGLONG)value : -1;
}

void ks_handle::close()
{
    if (m_file != nullptr) {
        platform::user_io_close(m_file);
        m_file = nullptr;
    }
}

wavert_pin::~wavert_pin()
{
    if (m_event_registered) {
        unregister_event();
    }
    // The pin goes before the event it may still signal.
    m_handle.close();
    if (m_event_handle != nullptr) {
        platform::kernel_handle_close(m_event_handle);
    }
}

NTSTATUS wavert_pin::set_state(KSSTATE state)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    ULONG value = state;
    return m_handle.set(&request, sizeof(request), &value, sizeof(value)).status;
}

NTSTATUS wavert_pin::get_state(KSSTATE *state)
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

NTSTATUS wavert_pin::allocate_buffer(ULONG size, ULONG notifications)
{
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.RequestedBufferSize = size;
    request.NotificationCount = notifications;
    KSRTAUDIO_BUFFER buffer{};
    NTSTATUS status = m_handle.get(&request, sizeof(request), &buffer, sizeof(buffer)).status;
    if (NT_SUCCESS(status)) {
        m_buffer = static_cast<UCHAR *>(buffer.BufferAddress);
        m_buffer_size = buffer.ActualBufferSize;
        m_next_half = 0;
        m_next_frame = 0;
    }
    return status;
}

NTSTATUS wavert_pin::position(KSAUDIO_POSITION *position)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Audio;
    request.Id = KSPROPERTY_AUDIO_POSITION;
    request.Flags = KSPROPERTY_TYPE_GET;
    return m_handle.get(&request, sizeof(request), position, sizeof(*position)).status;
}

NTSTATUS wavert_pin::hw_latency(KSRTAUDIO_HWLATENCY *latency)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_RtAudio;
    request.Id = KSPROPERTY_RTAUDIO_HWLATENCY;
    request.Flags = KSPROPERTY_TYPE_GET;
    return m_handle.get(&request, sizeof(request), latency, sizeof(*latency)).status;
}

NTSTATUS wavert_pin::register_event()
{
    if (m_event == nullptr) {
        // Cleared once the notification is handled, so that a signalled event means one that
        // is still waiting for the engine (caught_up).
        m_event = new KEVENT;
        KeInitializeEvent(m_event, NotificationEvent, FALSE);
        m_event_handle = platform::kernel_handle_insert(m_event, platform::kernel_handle_type::event, delete_event);
    }
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.NotificationEvent = m_event_handle;
    NTSTATUS status = m_handle.get(&request, sizeof(request), nullptr, 0).status;
    m_event_registered = NT_SUCCESS(status);
    return status;
}

NTSTATUS wavert_pin::unregister_event()
{
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.NotificationEvent = m_event_handle;
    NTSTATUS status = m_handle.get(&request, sizeof(request), nullptr, 0).status;
    m_event_registered = false;
    return status;
}

bool wavert_pin::wait_signalled(ULONG timeout_ms)
{
    if (m_event == nullptr) {
        return false;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)timeout_ms * 10000;
    return KeWaitForSingleObject(m_event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool wavert_pin::wait_notification(ULONG timeout_ms)
{
    bool signalled = wait_signalled(timeout_ms);
    if (signalled) {
        KeClearEvent(m_event);
    }
    return signalled;
}

bool wavert_pin::caught_up() const
{
    return !m_streaming || KeReadStateEvent(m_event) == 0;
}

void wavert_pin::prefill()
{
    ULONG block = m_channels * bytes_of(m_bits);
    if (m_buffer == nullptr || block == 0) {
        return;
    }
    ULONG frames = m_buffer_size / block;
    wavert_write_pattern(m_buffer, 0, frames, m_channels, m_bits);
    m_next_frame = frames;
    m_next_half = 0;
}

bool wavert_pin::stream(ULONG notifications, ULONG timeout_ms, std::vector<UCHAR> *captured)
{
    ULONG block = m_channels * bytes_of(m_bits);
    if (m_buffer == nullptr || block == 0) {
        return false;
    }
    ULONG half = m_buffer_size / 2;
    ULONG half_frames = half / block;
    m_streaming = true;
    bool handled = true;
    for (ULONG i = 0; i < notifications && handled; ++i) {
        handled = wait_signalled(timeout_ms);
        if (!handled) {
            break;
        }
        UCHAR *part = m_buffer + m_next_half * half;
        if (m_capture) {
            if (captured != nullptr) {
                captured->insert(captured->end(), part, part + half_frames * block);
            }
        } else {
            wavert_write_pattern(part, m_next_frame, half_frames, m_channels, m_bits);
            m_next_frame += half_frames;
        }
        m_next_half ^= 1;
        KeClearEvent(m_event);
    }
    m_streaming = false;
    return handled;
}

} // namespace sim
