// The end-to-end fixture: the machine with ovmlsaau installed for the audio class, host
// processes, and the Win32 requests on "\asio" handles.
#include "DeviceChannelE2EFixture.h"
#include <ks.h>
#include <ksmedia.h>
#include <chrono>
#include <thread>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <platform/thread.h>
#include <sim/uac_descriptors.h>

namespace e2e_test {

host_process::host_process(const wchar_t *image) : process_(platform::process_create(image, image)) {}

host_process::~host_process()
{
    if (process_ != nullptr) {
        kill();
        platform::process_dereference(process_);
    }
}

void host_process::run(const std::function<void()> &body)
{
    ASSERT_TRUE(alive());
    platform::thread *t = platform::process_start_thread(process_, body);
    ASSERT_NE(nullptr, t);
    EXPECT_TRUE(platform::process_wait_threads(process_, 20000));
    platform::thread_dereference(t);
}

void host_process::kill()
{
    if (!killed_) {
        killed_ = true;
        platform::process_terminate(process_, 1);
        EXPECT_TRUE(platform::process_wait_threads(process_, 20000));
    }
}

bool pending_io::finished() const
{
    return status() != STATUS_PENDING;
}

NTSTATUS pending_io::status() const
{
    return static_cast<NTSTATUS>(static_cast<LONG_PTR>(
        std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR &>(overlapped.Internal)).load()));
}

bool pending_io::wait(DWORD timeout_ms) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!finished()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ChannelE2ETest::SetUp()
{
    machine = std::make_unique<sim::machine>();
    machine->install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
}

void ChannelE2ETest::TearDown()
{
    // Detaching every device, unloading the driver with its leak checks and the shutdown of
    // the machine fail the test when a request, a context or the adapter was left behind.
    machine.reset();
    devices.clear();
}

DEVICE_OBJECT *ChannelE2ETest::attach(sim::uac2_options descriptors, sim::audio_device_options options,
                                      std::shared_ptr<sim::usb_tap> *tap)
{
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), options);
    std::shared_ptr<sim::usb_device> attached = device;
    if (tap != nullptr) {
        *tap = std::make_shared<sim::usb_tap>(device);
        attached = *tap;
    }
    DEVICE_OBJECT *pdo = nullptr;
    const NTSTATUS status = machine->attach(attached, &pdo);
    EXPECT_EQ(STATUS_SUCCESS, status);
    devices.push_back(device);
    return NT_SUCCESS(status) ? pdo : nullptr;
}

NTSTATUS ChannelE2ETest::detach(DEVICE_OBJECT *pdo)
{
    return machine->detach(pdo);
}

std::wstring ChannelE2ETest::channel_path(DEVICE_OBJECT *pdo)
{
    for (const auto &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo != pdo) {
            continue;
        }
        std::wstring lower;
        for (WCHAR c : entry.user_path) {
            lower.push_back(c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c);
        }
        const size_t cut = lower.rfind(L"\\wave");
        if (cut != std::wstring::npos) {
            return entry.user_path.substr(0, cut) + QELASIO_CHANNEL_FILE_NAME;
        }
    }
    ADD_FAILURE() << "the device has no audio interface";
    return {};
}

HANDLE ChannelE2ETest::open_channel(const std::wstring &path)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

io_result ChannelE2ETest::control(HANDLE handle, DWORD code, const void *input, DWORD input_length, void *output,
                                  DWORD output_length)
{
    pending_io io;
    io.issued = DeviceIoControl(handle, code, const_cast<void *>(input), input_length, output, output_length,
                                nullptr, &io.overlapped);
    io.error = io.issued ? ERROR_SUCCESS : GetLastError();
    // Control codes never pend in this driver; a request still in flight here is a fault.
    EXPECT_TRUE(io.issued || io.error != ERROR_IO_PENDING) << "control code 0x" << std::hex << code << " pended";
    EXPECT_TRUE(io.wait());
    return {io.status(), static_cast<DWORD>(io.overlapped.InternalHigh)};
}

void ChannelE2ETest::read(HANDLE handle, pending_io &io, DWORD length)
{
    io.buffer.assign(length, 0xA5);
    io.issued = ReadFile(handle, io.buffer.data(), length, nullptr, &io.overlapped);
    io.error = io.issued ? ERROR_SUCCESS : GetLastError();
}

void ChannelE2ETest::write(HANDLE handle, pending_io &io, DWORD length, UCHAR fill)
{
    io.buffer.assign(length, fill);
    io.issued = WriteFile(handle, io.buffer.data(), length, nullptr, &io.overlapped);
    io.error = io.issued ? ERROR_SUCCESS : GetLastError();
}

NTSTATUS ChannelE2ETest::prepare(HANDLE handle, ULONG frames, ULONG capture, ULONG render, USHORT mode,
                                 ULONG percent)
{
    QELASIO_PREPARE_REQUEST request = {frames, capture, render, percent, mode};
    return control(handle, IOCTL_QELASIO_PREPARE, &request, sizeof(request)).status;
}

void channel_pattern(ULONGLONG k, ULONG channels, ULONG sample_bytes, UCHAR *out)
{
    for (ULONG c = 0; c < channels; ++c) {
        const ULONG value = static_cast<ULONG>(k + 1) * 0x9E3779B1u ^ ((c + 3) * 0x7F4A7C15u);
        for (ULONG b = 0; b < sample_bytes; ++b) {
            *out++ = static_cast<UCHAR>(value >> (8 * (b % 4)));
        }
    }
}

channel_loopback ChannelE2ETest::stream_channel(HANDLE handle, ULONG buffer_frames, ULONG frame_bytes, ULONG reads,
                                                sim::paced_bus *bus,
                                                const std::function<void(ULONGLONG, ULONG, UCHAR *)> &block)
{
    channel_loopback run;
    const ULONG bytes = buffer_frames * frame_bytes;
    pending_io in[2];
    sim::paced_bus::gate gate;
    if (bus != nullptr) {
        // Answered: both READs are back in the driver, so every block that came back has been
        // followed by its WRITE.
        gate = bus->hold([&in] { return !in[0].finished() && !in[1].finished(); });
    }
    read(handle, in[0], bytes);
    read(handle, in[1], bytes);
    run.failure = control(handle, IOCTL_QELASIO_START_CAPTURE).status;
    for (ULONG i = 0; NT_SUCCESS(run.failure) && run.reads < reads; ++i) {
        pending_io &io = in[i % 2];
        run.failure = wait_block(io, "READ", run.reads);
        if (!NT_SUCCESS(run.failure)) {
            break;
        }
        EXPECT_EQ(bytes, io.overlapped.InternalHigh);
        run.looped.insert(run.looped.end(), io.buffer.begin(), io.buffer.end());
        pending_io out;
        out.buffer.resize(bytes);
        block(run.written, buffer_frames, out.buffer.data());
        run.written += buffer_frames;
        out.issued = WriteFile(handle, out.buffer.data(), bytes, nullptr, &out.overlapped);
        run.failure = wait_block(out, "WRITE", run.reads);
        if (NT_SUCCESS(run.failure)) {
            ++run.reads;
            read(handle, io, bytes);
        }
    }
    end_stream(handle, gate, in);
    return run;
}

channel_loopback ChannelE2ETest::stream_render(HANDLE handle, ULONG buffer_frames, ULONG frame_bytes, ULONG writes,
                                               sim::paced_bus *bus,
                                               const std::function<void(ULONGLONG, ULONG, UCHAR *)> &block)
{
    channel_loopback run;
    const ULONG bytes = buffer_frames * frame_bytes;
    pending_io out[2];
    sim::paced_bus::gate gate;
    if (bus != nullptr) {
        // Answered: both WRITEs are in the driver, so every one that completed has been followed.
        gate = bus->hold([&out] { return !out[0].finished() && !out[1].finished(); });
    }
    auto issue = [&](pending_io &io) {
        io.buffer.resize(bytes);
        block(run.written, buffer_frames, io.buffer.data());
        run.written += buffer_frames;
        io.overlapped = {};
        io.issued = WriteFile(handle, io.buffer.data(), bytes, nullptr, &io.overlapped);
    };
    issue(out[0]);
    issue(out[1]);
    for (ULONG i = 0; run.reads < writes; ++i) {
        pending_io &io = out[i % 2];
        run.failure = wait_block(io, "WRITE", run.reads);
        if (!NT_SUCCESS(run.failure)) {
            break;
        }
        EXPECT_EQ(bytes, io.overlapped.InternalHigh);
        ++run.reads;
        issue(io);
    }
    end_stream(handle, gate, out);
    return run;
}

NTSTATUS ChannelE2ETest::wait_block(const pending_io &io, const char *what, ULONG index)
{
    if (!io.wait()) {
        ADD_FAILURE() << what << " " << index << " did not come back";
        return STATUS_IO_TIMEOUT;
    }
    return io.status();
}

void ChannelE2ETest::end_stream(HANDLE handle, sim::paced_bus::gate &gate, pending_io (&in_flight)[2])
{
    // The stop drains the transfers in flight, which needs the bus to run on.
    gate.release();
    EXPECT_EQ(STATUS_SUCCESS, control(handle, IOCTL_QELASIO_STOP).status);
    for (pending_io &io : in_flight) {
        EXPECT_TRUE(io.wait());
    }
}

ULONG ChannelE2ETest::pool_blocks(ULONG tag)
{
    return platform::pool_outstanding_blocks(tag);
}

} // namespace e2e_test
