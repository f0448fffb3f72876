// The Windows audio engine's role towards a WaveRT filter: open the filter on its device
// interface, read its pins and data ranges, intersect formats, create a pin, allocate the
// cyclic buffer with notification, register notification events, step the pin's state, read
// positions, stream a frame-numbered pattern through the buffer and send property requests.
// All calls run at PASSIVE_LEVEL from an ordinary thread and return the kernel's status.
#pragma once
#include <atomic>
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
    // While stream runs: no notification is waiting to be handled (a paced bus's gate: the
    // engine has refilled or read every half the device reached). True when not streaming.
    bool caught_up() const;

    // Render: fills the whole buffer with the pattern from frame 0 (before RUN).
    void prefill();
    // Render: after each notification refills the half just played with the next frames.
    // Capture: after each notification appends the half just completed to *captured. Runs
    // until `notifications` have been handled; false when one does not come within timeout_ms.
    bool stream(ULONG notifications, ULONG timeout_ms, std::vector<UCHAR> *captured);
    ULONGLONG frames_written() const { return m_next_frame; }

private:
    friend class wavert_filter;
    bool wait_signalled(ULONG timeout_ms);
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
    std::atomic<bool> m_streaming{false};
};

// The audio engine's role towards a WaveCyclic filter (open it with wavert_filter::open, whose
// pin and property requests serve any KS filter). Audio travels in stream requests: a render
// request (IOCTL_KS_WRITE_STREAM) carries whole frames that the port copies into the pin's
// cyclic buffer as the device plays, a capture request (IOCTL_KS_READ_STREAM) is filled from it
// as the device records; each completes once all its bytes are moved, so the number in flight
// paces the engine. Requests are accepted from ACQUIRE on and cancelled at STOP.
class wavecyclic_pin;

// A KSDATAFORMAT_WAVEFORMATEX connection format for PCM.
std::vector<UCHAR> pcm_connection_format(ULONG channels, ULONG bits, ULONG rate);
// A client's data range of exactly one PCM format (up to channels, bits and rate, as the
// audio engine asks for an intersection).
KSDATARANGE_AUDIO pcm_data_range(ULONG channels, ULONG bits, ULONG rate);

// Creates a pin of a WaveCyclic filter with a connection format (KSDATAFORMAT_WAVEFORMATEX).
NTSTATUS create_wavecyclic_pin(wavert_filter &filter, ULONG pin, const std::vector<UCHAR> &format,
                               std::unique_ptr<wavecyclic_pin> *created);

class wavecyclic_pin {
public:
    struct shared_state;
    // Closes the pin; requests still in flight are cancelled by the port.
    ~wavecyclic_pin();
    ks_handle &handle() { return m_handle; }
    bool capture() const { return m_capture; }
    ULONG channels() const { return m_channels; }
    ULONG bits() const { return m_bits; }
    ULONG rate() const { return m_rate; }
    ULONG block_align() const { return m_channels * m_bits / 8; }

    NTSTATUS set_state(KSSTATE state);
    NTSTATUS get_state(KSSTATE *state);
    // Render: PlayOffset bytes played, WriteOffset bytes the port has copied in. Capture:
    // PlayOffset bytes the device has written, WriteOffset bytes the port has read out.
    NTSTATUS position(KSAUDIO_POSITION *position);

    // Sends one request; STATUS_PENDING while it waits in the pin, else the pin's refusal (the
    // request is then not counted).
    NTSTATUS submit_write(const UCHAR *data, ULONG bytes);
    NTSTATUS submit_read(ULONG bytes);
    ULONG in_flight() const;
    // Waits until at most max_in_flight requests are outstanding; false on timeout.
    bool wait_in_flight(ULONG max_in_flight, ULONG timeout_ms);
    // Moves the data of completed reads, oldest first and up to the first one still in flight,
    // to the end of *out. The status of the first request that failed, else STATUS_SUCCESS.
    NTSTATUS take_completed(std::vector<UCHAR> *out);

    // Render: frames [next, next + frames) of the frame-numbered pattern in requests of
    // request_frames, keeping at most depth in flight; false when a request fails or a slot does
    // not free within timeout_ms.
    bool render_pattern(ULONGLONG frames, ULONG request_frames, ULONG depth, ULONG timeout_ms);
    // Capture: frames in requests of request_frames with depth in flight, appended to *captured.
    bool capture_frames(ULONGLONG frames, ULONG request_frames, ULONG depth, ULONG timeout_ms,
                        std::vector<UCHAR> *captured);
    ULONGLONG frames_rendered() const { return m_next_frame; }
    // While render_pattern or capture_frames runs: its depth of requests is in flight, or it
    // has sent all it will (a paced bus's gate). True when neither runs.
    bool caught_up() const;

private:
    friend NTSTATUS create_wavecyclic_pin(wavert_filter &, ULONG, const std::vector<UCHAR> &,
                                          std::unique_ptr<wavecyclic_pin> *);
    wavecyclic_pin(platform::user_file *file, bool capture, ULONG channels, ULONG bits, ULONG rate);
    NTSTATUS submit(ULONG code, const UCHAR *data, ULONG bytes);

    ks_handle m_handle;
    bool m_capture;
    ULONG m_channels;
    ULONG m_bits;
    ULONG m_rate;
    ULONGLONG m_next_frame = 0;
    std::shared_ptr<shared_state> m_state;
    std::atomic<ULONG> m_streaming_depth{0}; // 0 while neither streaming call runs
    std::atomic<bool> m_all_sent{false};
};

// The user-mode paths of the present KSCATEGORY_AUDIO interfaces.
std::vector<std::wstring> audio_interfaces();

} // namespace sim
