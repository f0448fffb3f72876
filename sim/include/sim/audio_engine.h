// The Windows audio engine's role towards a WaveRT filter: open the filter on its device
// interface, read its pins and data ranges, intersect formats, create a pin, allocate the
// cyclic buffer with notification, register notification events, step the pin's state, read
// positions, stream a frame-numbered pattern through the buffer and send property requests.
// All calls run at PASSIVE_LEVEL from an ordinary thread and return the kernel's status.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include <ks.h>
#include <ksmedia.h>

typedef struct _KEVENT KEVENT;

namespace platform {
struct user_file;
}

namespace sim {

// Status and Information of one completed request.
struct ks_result {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};

// The frame-numbered test pattern: sample c of frame f, as a signed value of the given width
// (8, 16, 24 or 32 bits, little endian, 8-bit unsigned with offset 0x80).
LONG wavert_pattern_sample(ULONGLONG frame, ULONG channel, ULONG bits);
// Writes frames [first, first + count) of the pattern for the format into out.
void wavert_write_pattern(UCHAR *out, ULONGLONG first, ULONG count, ULONG channels, ULONG bits);
// The frame number a buffer of pattern frames starts with, or -1 when it holds no whole
// consecutive run of the pattern.
LONGLONG wavert_find_pattern(const UCHAR *data, ULONG frames, ULONG channels, ULONG bits);

class wavert_pin;

// One KS handle (filter or pin) opened through the I/O manager.
class ks_handle {
public:
    ks_handle() = default;
    explicit ks_handle(platform::user_file *file) : m_file(file) {}
    ~ks_handle();
    ks_handle(const ks_handle &) = delete;
    ks_handle &operator=(const ks_handle &) = delete;

    platform::user_file *file() const { return m_file; }
    // Closes the handle (IRP_MJ_CLEANUP and IRP_MJ_CLOSE); later requests are refused.
    void close();
    // IOCTL_KS_PROPERTY for GET and BASICSUPPORT (the verb is in the request's Flags).
    ks_result get(const void *request, ULONG request_size, void *value, ULONG value_size);
    // IOCTL_KS_PROPERTY for SET: the value travels after the request.
    ks_result set(const void *request, ULONG request_size, const void *value, ULONG value_size);

private:
    platform::user_file *m_file = nullptr;
};

class wavert_filter {
public:
    // Opens the filter at a device interface path ("\\?\...\Wave_48000").
    static NTSTATUS open(const std::wstring &path, std::unique_ptr<wavert_filter> *filter);

    const std::wstring &path() const { return m_path; }
    ks_handle &handle() { return m_handle; }

    NTSTATUS pin_count(ULONG *count);
    NTSTATUS pin_dataflow(ULONG pin, KSPIN_DATAFLOW *flow);
    NTSTATUS pin_communication(ULONG pin, KSPIN_COMMUNICATION *communication);
    // The raw KSPROPERTY_PIN_DATARANGES answer (KSMULTIPLE_ITEM, ranges, attribute lists),
    // asked for its size first.
    NTSTATUS pin_data_ranges(ULONG pin, std::vector<UCHAR> *ranges);
    // The audio ranges of a pin, and whether a range carries the signal-processing attribute.
    NTSTATUS pin_audio_ranges(ULONG pin, std::vector<KSDATARANGE_AUDIO> *ranges, std::vector<bool> *attributed);
    // Intersection of one client range with the pin: first with output length 0, whose status
    // and size land in *probe, then with the size it asked for.
    NTSTATUS intersect(ULONG pin, const KSDATARANGE_AUDIO &client, std::vector<UCHAR> *format, ks_result *probe);
    NTSTATUS create_pin(ULONG pin, const std::vector<UCHAR> &format, std::unique_ptr<wavert_pin> *created);

    // Node properties on a channel (volume in 1/65536 dB, mute as 0/1).
    NTSTATUS get_node_value(ULONG node, ULONG id, ULONG channel, LONG *value);
    NTSTATUS set_node_value(ULONG node, ULONG id, ULONG channel, LONG value);
    NTSTATUS component_id(KSCOMPONENTID *id);
    NTSTATUS jack_description(ULONG pin, KSJACK_DESCRIPTION *jack);
    NTSTATUS signal_processing_modes(ULONG pin, std::vector<GUID> *modes);

private:
    explicit wavert_filter(platform::user_file *file, std::wstring path) : m_path(std::move(path)), m_handle(file) {}
    std::wstring m_path;
    ks_handle m_handle;
};

class wavert_pin {
public:
    ~wavert_pin();
    ks_handle &handle() { return m_handle; }

    NTSTATUS set_state(KSSTATE state);
    NTSTATUS get_state(KSSTATE *state);
    NTSTATUS allocate_buffer(ULONG size, ULONG notifications);
    UCHAR *buffer() const { return m_buffer; }
    ULONG buffer_size() const { return m_buffer_size; }
    NTSTATUS position(KSAUDIO_POSITION *position);
    NTSTATUS hw_latency(KSRTAUDIO_HWLATENCY *latency);
    // The engine's notification event, created and registered with the pin.
    NTSTATUS register_event();
    NTSTATUS unregister_event();
    // Waits for a notification (true) or the timeout.
    bool wait_notification(ULONG timeout_ms);

    // Render: fills the whole buffer with the pattern from frame 0 (before RUN).
    void prefill();
    // Render: after each notification refills the half just played with the next frames.
    // Capture: after each notification appends the half just completed to *captured. Runs
    // until `notifications` have been handled; false when one does not come within timeout_ms.
    bool stream(ULONG notifications, ULONG timeout_ms, std::vector<UCHAR> *captured);
    ULONGLONG frames_written() const { return m_next_frame; }

private:
    friend class wavert_filter;
    wavert_pin(platform::user_file *file, ULONG channels, ULONG bits)
        : m_handle(file), m_channels(channels), m_bits(bits)
    {
    }

    ks_handle m_handle;
    ULONG m_channels;
    ULONG m_bits;
    bool m_capture = false;
    UCHAR *m_buffer = nullptr;
    ULONG m_buffer_size = 0;
    ULONG m_next_half = 0;
    ULONGLONG m_next_frame = 0;
    KEVENT *m_event = nullptr;
    HANDLE m_event_handle = nullptr;
    bool m_event_registered = false;
};

// The user-mode paths of the present KSCATEGORY_AUDIO interfaces.
std::vector<std::wstring> audio_interfaces();

} // namespace sim
