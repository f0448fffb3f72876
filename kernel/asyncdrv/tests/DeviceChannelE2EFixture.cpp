// The end-to-end fixture: the machine with ovmlsaau installed for the audio class, host
// processes, and the Win32 requests on "\asio" handles.
#include "DeviceChannelE2EFixture.h"
#include <ks.h>
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

DEVICE_OBJECT *ChannelE2ETest::attach(sim::uac2_options descriptors, sim::audio_device_options options)
{
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), options);
    DEVICE_OBJECT *pdo = nullptr;
    const NTSTATUS status = machine->attach(device, &pdo);
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

ULONG ChannelE2ETest::pool_blocks(ULONG tag)
{
    return platform::pool_outstanding_blocks(tag);
}

} // namespace e2e_test
