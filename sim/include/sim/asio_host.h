// An ASIO host as real hosts behave, for tests and the main job: it finds a driver under
// HKLM\SOFTWARE\ASIO, creates it through COM, streams a known signal to the outputs, keeps the
// inputs for a bit-exact check, records every callback with its machine time, counts
// drop-outs, and handles reset requests on its own thread. It runs inside a simulated process,
// so that killing the host is possible.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include <AsioInterface.h>
#include <guiddef.h>
#include <windef.h>

namespace platform {
struct process;
struct thread;
} // namespace platform

namespace sim {

// One driver entry of HKLM\SOFTWARE\ASIO (64-bit view, or the 32-bit view for a 32-bit host).
struct asio_driver_entry {
    std::wstring name;        // the subkey's name
    std::wstring clsid_text;  // "CLSID" value
    std::wstring description; // "Description" value; the name when missing
    CLSID clsid{};
};
// Entries with a readable, well-formed "CLSID" value, in key order.
std::vector<asio_driver_entry> asio_enumerate_drivers(bool wow64_32 = false);

struct asio_host_options {
    std::wstring driver;        // subkey name under SOFTWARE\ASIO; empty: the first entry
    double sample_rate = 0;     // set before creating buffers; 0 keeps the driver's rate
    int32_t buffer_size = 0;    // 0: the driver's preferred size
    int32_t max_inputs = -1;    // channels to create buffers for; -1: all
    int32_t max_outputs = -1;
    int32_t engine_version = 2; // answer to kAsioEngineVersion
    bool time_info = true;      // answer to kAsioSupportsTimeInfo
    bool use_output_ready = true;
    // A reset request is answered by releasing the driver and loading it again (create, init,
    // buffers, start), as many hosts do, instead of by disposing and creating the buffers.
    bool reload_on_reset = false;
    size_t capture_frames = 10 * 48000; // input frames kept per channel
    std::wstring image_name = L"asiohost.exe";
    // A 32-bit host: its process opens keys in the 32-bit registry view, so it finds the
    // drivers and classes that 32-bit in-process servers register there.
    bool wow64_32 = false;
    // The io format set with kAsioSetIoFormat (after kAsioCanDoIoFormat) before the rate;
    // kASIODSDFormat streams native DSD. PCM leaves the driver's format as it is.
    ASIOIoFormatType io_format = kASIOPCMFormat;
};

// One buffer session: from createBuffers (at start, and again after each reset) to its
// disposal.
struct asio_session_record {
    int64_t time = 0;           // machine clock when the host called the driver's start
    int32_t buffer_size = 0;
    double sample_rate = 0;
    // Bytes each input had captured before this session's first buffer switch.
    std::vector<size_t> capture_offsets;
};

enum class asio_callback_kind { buffer_switch, buffer_switch_time_info, sample_rate_did_change, asio_message };

struct asio_callback_record {
    asio_callback_kind kind = asio_callback_kind::asio_message;
    int64_t time = 0;      // machine clock, 100 ns units
    int32_t index = 0;     // buffer half, or the message selector
    int32_t value = 0;     // directProcess, or the message value
    int64_t position = -1; // sample position at a buffer switch; -1 when unknown
    int32_t result = 0;    // the host's answer to a message
    uint32_t time_flags = 0; // timeInfo.flags of a bufferSwitchTimeInfo
};

struct asio_channel {
    int32_t number = 0;
    bool input = false;
    ASIOSampleType type = 0;
    std::string name;
};

// Result of checking one input channel for the host's own output signal coming back.
struct asio_loopback_check {
    bool found = false;          // the signal arrived at all
    bool clean = false;          // silence, then every frame the host wrote from its first on, in
                                 // order and unchanged, to the end of the capture
    int64_t latency_frames = 0;  // capture frames of silence before the signal's first frame
    uint64_t frames_checked = 0; // frames of the signal that came back in sequence
    std::string why;             // what broke the run
};

enum class asio_host_state { idle, starting, running, stopped, failed, killed };

class asio_host {
public:
    explicit asio_host(asio_host_options options = {});
    // Stops the host if it still runs; kills its process when it does not end in time.
    ~asio_host();
    asio_host(const asio_host &) = delete;
    asio_host &operator=(const asio_host &) = delete;

    // Starts the host process and waits until it streams (true) or has failed (false; see
    // error()). Only once per object.
    bool start(uint32_t timeout_ms = 10000);
    // Tells the host to stop, dispose the buffers and release the driver, and waits for its
    // process to end. True when it ended in time.
    bool stop(uint32_t timeout_ms = 10000);
    // Ends the host process abruptly, as a crash would: the driver is never stopped or released.
    void kill();

    // Wait until the count of buffer switches (both kinds) or handled resets reaches count.
    bool wait_buffer_switches(uint64_t count, uint32_t timeout_ms);
    bool wait_resets(uint64_t count, uint32_t timeout_ms);

    asio_host_state state() const;
    std::string error() const;       // why start failed
    std::string driver_name() const; // getDriverName
    int32_t driver_version() const;
    int32_t input_latency() const;
    int32_t output_latency() const;
    int32_t buffer_size() const; // the size buffers were created with
    double sample_rate() const;  // getSampleRate after the buffers were created
    std::vector<asio_channel> inputs() const;
    std::vector<asio_channel> outputs() const;
    bool output_ready_supported() const;
    std::vector<asio_session_record> sessions() const;

    // Calls the driver's controlPanel on the host's thread, as a host's settings button does,
    // and waits for it to return. False when the host does not stream or the call did not
    // return in time; *result is the driver's answer.
    bool open_control_panel(uint32_t timeout_ms, ASIOError *result);

    uint64_t buffer_switches() const;
    uint64_t drop_outs() const;
    // Of the drop-outs: switches whose sample position did not follow the previous one (audio
    // the driver skipped); the others only came late.
    uint64_t position_skips() const;
    uint64_t resets() const;        // reset requests handled by re-creating the buffers
    uint64_t latency_changes() const;
    std::vector<asio_callback_record> records() const;
    bool callback_outside_session() const; // a callback arrived while no buffers existed

    // The raw bytes captured from input channel i (in the order of inputs()).
    std::vector<uint8_t> captured(size_t i) const;
    asio_loopback_check check_loopback(size_t input, size_t output) const;
    // Whether the run was clean: one buffer session without a reset request, each switch one
    // buffer on from the one before, and every input that has an output of its own number
    // carrying that output's signal as a clean run at the same latency as the others. False
    // with the first fault in *why otherwise.
    bool clean_run(std::string *why) const;
    // Writes the captured inputs as a PCM WAV file (16, 24 or 32 bit as the channels carry).
    // False for DSD sample types, mixed types, no inputs, or a write failure.
    bool write_wav(const std::string &path) const;

    // The signal the host writes: output channel c, frame n, encoded in type's byte layout.
    // In a DSD type each 32 samples of a channel (4 bytes, one 32-bit word of the device)
    // carry the channel tag and a word counter as the 32-bit PCM signal does: word w of
    // channel c is encode_signal(ASIOSTInt32LSB, c, w).
    static size_t sample_bytes(ASIOSampleType type); // 0 for DSD and unknown types
    static void encode_signal(ASIOSampleType type, int32_t channel, uint64_t frame, uint8_t *out);

    // Callback entry points (called through per-slot trampolines).
    void on_buffer_switch(int32_t index, ASIOBool direct, const ASIOTime *time, bool with_time);
    int32_t on_message(int32_t selector, int32_t value);
    void on_rate_change(double rate);

private:
    struct session;
    void run();
    bool open_driver(session &s);
    bool load_driver();
    void release_driver();
    bool create_buffers(session &s);
    void dispose_buffers(session &s);
    void close_driver(session &s);
    void fail(const std::string &text);
    void set_state(asio_host_state state);
    void record(const asio_callback_record &r);
    bool wait_for(uint32_t timeout_ms, const std::function<bool()> &condition) const;

    asio_host_options options_;
    int slot_ = -1;
    platform::process *process_ = nullptr;
    platform::thread *thread_ = nullptr;
    CLSID clsid_{};         // the driver's class, as found in the registry
    HWND window_ = nullptr; // the host's window, given to init

    mutable std::mutex lock_; // results, records, state
    mutable std::condition_variable changed_;
    asio_host_state state_ = asio_host_state::idle;
    std::string error_;
    std::string driver_name_;
    int32_t driver_version_ = 0;
    int32_t input_latency_ = 0;
    int32_t output_latency_ = 0;
    std::deque<asio_callback_record> records_; // grows in small blocks; entries never move
    uint64_t switches_ = 0;
    uint64_t drop_outs_ = 0;
    uint64_t position_skips_ = 0;
    uint64_t resets_ = 0;
    uint64_t latency_changes_ = 0;
    bool outside_session_ = false;

    // Stream data: written by the host thread only while the driver is stopped, read by the
    // buffer switch under stream_lock_.
    mutable std::mutex stream_lock_;
    IASIO *driver_ = nullptr;
    std::vector<ASIOBufferInfo> buffers_;
    std::vector<asio_channel> inputs_;
    std::vector<asio_channel> outputs_;
    int32_t buffer_size_ = 0;
    double sample_rate_ = 0;
    bool streaming_ = false;
    int output_ready_ = -1; // -1 not yet asked, 0 not supported, 1 supported
    uint64_t output_frame_ = 0;
    int64_t last_switch_time_ = -1;
    int64_t last_position_ = -1;
    std::vector<std::vector<uint8_t>> capture_;

    std::vector<asio_session_record> sessions_; // under lock_
    ASIOError panel_result_ = ASE_OK;             // under lock_
    uint64_t panel_calls_ = 0;                    // under lock_

    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> panel_requested_{false};
    std::atomic<bool> reset_requested_{false};
    std::atomic<bool> latencies_changed_{false};
};

} // namespace sim
