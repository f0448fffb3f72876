// Fixture of the device channel's end-to-end tests: a machine on which PnP loads ovmlsaau for a
// simulated USB audio device, host processes that open "\asio" on the device's audio interface
// through the Win32 stand-in, and request helpers that report the kernel's status.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <platform/process.h>
#include <sim/audio_device.h>
#include <sim/clean_run.h>
#include <sim/machine.h>
#include <sim/paced_bus.h>
#include <sim/usb_tap.h>
#include "../../../user/client/include/QelAsioIoctl.h"

namespace e2e_test {

// The outcome of one request: the NTSTATUS the driver completed it with and the bytes it
// reported.
struct io_result {
    NTSTATUS status = STATUS_PENDING;
    DWORD bytes = 0;
};

// A simulated host process. run() executes body on a new thread of the process and waits for
// it to end; handles the body opens stay in the process until it closes them or is killed.
class host_process {
public:
    explicit host_process(const wchar_t *image);
    ~host_process();
    host_process(const host_process &) = delete;
    host_process &operator=(const host_process &) = delete;

    void run(const std::function<void()> &body);
    // Ends the process abruptly: its handles are closed as the I/O manager closes them.
    void kill();
    bool alive() const { return process_ != nullptr && !killed_; }

private:
    platform::process *process_ = nullptr;
    bool killed_ = false;
};

// An overlapped request kept in flight: its OVERLAPPED and buffer stay here until it ends.
struct pending_io {
    OVERLAPPED overlapped = {};
    std::vector<UCHAR> buffer;
    BOOL issued = FALSE;
    DWORD error = 0;

    bool finished() const;
    NTSTATUS status() const;
    // Waits (machine time) for the completion; false on timeout.
    bool wait(DWORD timeout_ms = 10000) const;
};

// Frame k of the device channel's test pattern (channels samples of sample_bytes): every byte of
// every sample changes from frame to frame, so a frame out of place or changed shows.
void channel_pattern(ULONGLONG k, ULONG channels, ULONG sample_bytes, UCHAR *out);

// What the ASIO client's streaming loop saw: the blocks that came back in its READs, the frames
// it wrote, and the status that ended it early (STATUS_SUCCESS when every READ came back).
struct channel_loopback {
    std::vector<UCHAR> looped;
    ULONGLONG written = 0;
    ULONG reads = 0;
    NTSTATUS failure = STATUS_SUCCESS;
};

class ChannelE2ETest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Attaches a simulated device with ovmlsaau installed and returns its PDO (null on failure);
    // with tap, behind a tap that records its packets.
    DEVICE_OBJECT *attach(sim::uac2_options descriptors = {}, sim::audio_device_options options = {},
                          std::shared_ptr<sim::usb_tap> *tap = nullptr);
    // Surprise removal and removal of an attached device.
    NTSTATUS detach(DEVICE_OBJECT *pdo);
    // The "\asio" path of a device's audio interface: its path cut at "\wave", as clients form it.
    static std::wstring channel_path(DEVICE_OBJECT *pdo);

    // Requests on the calling thread's process. A failed open returns INVALID_HANDLE_VALUE.
    static HANDLE open_channel(const std::wstring &path);
    static io_result control(HANDLE handle, DWORD code, const void *input = nullptr, DWORD input_length = 0,
                             void *output = nullptr, DWORD output_length = 0);
    // Issues an overlapped READ or WRITE of length bytes into io (which must outlive it).
    static void read(HANDLE handle, pending_io &io, DWORD length);
    static void write(HANDLE handle, pending_io &io, DWORD length, UCHAR fill);

    // Shorthands of the control codes a test drives most.
    static NTSTATUS acquire(HANDLE handle) { return control(handle, IOCTL_QELASIO_ACQUIRE).status; }
    static NTSTATUS release(HANDLE handle) { return control(handle, IOCTL_QELASIO_RELEASE).status; }
    static NTSTATUS prepare(HANDLE handle, ULONG frames, ULONG capture, ULONG render, USHORT mode = QELASIO_MODE_PCM,
                            ULONG percent = 100);
    static NTSTATUS unprepare(HANDLE handle) { return control(handle, IOCTL_QELASIO_UNPREPARE).status; }

    // The ASIO client's loop on a started channel (as the ASIO driver streams): two READs of
    // buffer_frames in flight, START_CAPTURE, and for every READ that comes back a WRITE of the
    // next buffer_frames, made by block(first frame, frames, out), until reads READs came back or
    // a request failed. While it runs it holds a gate of bus (when given), so that the bus never
    // runs ahead of its answers; at the end it STOPs the channel and waits for its READs.
    static channel_loopback stream_channel(HANDLE handle, ULONG buffer_frames, ULONG frame_bytes, ULONG reads,
                                           sim::paced_bus *bus,
                                           const std::function<void(ULONGLONG, ULONG, UCHAR *)> &block);

    // The ASIO client's loop on a started render-only channel (as the ASIO driver streams a
    // device without inputs): two WRITEs of buffer_frames in flight, and for every WRITE that
    // completes the next one, made by block, until writes WRITEs completed or one failed; the
    // loop holds a gate of bus (when given) and STOPs the channel at the end. run.looped stays
    // empty: what was played is seen on the bus.
    static channel_loopback stream_render(HANDLE handle, ULONG buffer_frames, ULONG frame_bytes, ULONG writes,
                                          sim::paced_bus *bus,
                                          const std::function<void(ULONGLONG, ULONG, UCHAR *)> &block);

    // A streaming request's status once it came back; STATUS_IO_TIMEOUT, and a failure of the
    // test, when it did not.
    static NTSTATUS wait_block(const pending_io &io, const char *what, ULONG index);
    // The end of a streaming loop: its gate released, STOP, and the requests in flight ended.
    static void end_stream(HANDLE handle, sim::paced_bus::gate &gate, pending_io (&in_flight)[2]);

    // Blocks of a pool tag outstanding now.
    static ULONG pool_blocks(ULONG tag);

    std::unique_ptr<sim::machine> machine;
    std::vector<std::shared_ptr<sim::audio_device>> devices;
};

} // namespace e2e_test
