// The device channel tests' fixture: the test device and the request helpers.
#include "DeviceChannelTestFixture.h"
#include <platform/io_driver.h>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "AsyncPoolTags.h"
#include "DeviceChannelTestRouter.h"

namespace channel_test {
namespace {

test_adapter *g_adapter = nullptr;

} // namespace

bool transfer::wait_done()
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), [this] { return done; });
}

bool transfer::is_done()
{
    std::lock_guard<std::mutex> guard(lock);
    return done;
}

void ChannelTest::SetUp()
{
    platform::machine_boot();
    driver = platform::io_create_driver_object(L"ovmchantest", "");
    route_to_channel(driver, &g_adapter);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\OvmChannelTest");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    adapter = std::make_unique<test_adapter>();
    adapter->device = device;
    adapter->channel.Init(adapter.get());
    g_adapter = adapter.get();
}

void ChannelTest::TearDown()
{
    for (platform::user_file *file : files) {
        platform::user_io_close(file);
    }
    files.clear();
    EXPECT_EQ(1, adapter->references.load());
    if (!removed) {
        EXPECT_EQ(0, adapter->channel.OwnerFlag());
    }
    EXPECT_EQ(0, adapter->capture_users + adapter->render_users);
    adapter.reset();
    g_adapter = nullptr;
    IoDeleteDevice(device);
    platform::io_discard_driver_object(driver);
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
    std::string why;
    EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
    platform::machine_shutdown();
}

platform::user_file *ChannelTest::open()
{
    platform::user_file *file = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              platform::user_io_open(L"\\Device\\OvmChannelTest\\asio", GENERIC_READ | GENERIC_WRITE, &file));
    if (file != nullptr) {
        files.push_back(file);
    }
    return file;
}

void ChannelTest::close(platform::user_file *file)
{
    std::erase(files, file);
    platform::user_io_close(file);
}

io_result ChannelTest::ioctl(platform::user_file *file, ULONG code, const void *in, ULONG in_length, void *out,
                             ULONG out_length)
{
    io_result result{STATUS_PENDING, 0xDEAD};
    const NTSTATUS returned = platform::user_io_ioctl(file, code, in, in_length, out, out_length,
                                                      [&](NTSTATUS status, ULONG_PTR information) {
                                                          result = {status, information};
                                                      });
    EXPECT_EQ(returned, result.status) << "control codes never pend";
    return result;
}

NTSTATUS ChannelTest::read(platform::user_file *file, transfer &request, ULONG length)
{
    request.buffer.assign(length, 0xEE);
    return platform::user_io_read(file, request.buffer.data(), length, [&request](NTSTATUS s, ULONG_PTR i) {
        std::lock_guard<std::mutex> guard(request.lock);
        request.status = s;
        request.information = i;
        request.done = true;
        request.changed.notify_all();
    });
}

NTSTATUS ChannelTest::write(platform::user_file *file, transfer &request, std::vector<UCHAR> data)
{
    request.buffer = std::move(data);
    return platform::user_io_write(file, request.buffer.data(), static_cast<ULONG>(request.buffer.size()),
                                   [&request](NTSTATUS s, ULONG_PTR i) {
                                       std::lock_guard<std::mutex> guard(request.lock);
                                       request.status = s;
                                       request.information = i;
                                       request.done = true;
                                       request.changed.notify_all();
                                   });
}

QELASIO_PREPARE_REQUEST ChannelTest::duplex_request(ULONG frames)
{
    QELASIO_PREPARE_REQUEST request{};
    request.BufferFrames = frames;
    request.CaptureEnable = 1;
    request.RenderEnable = 1;
    request.PrefillPercent = 50;
    request.Mode = QELASIO_MODE_PCM;
    return request;
}

void ChannelTest::bring_to(platform::user_file *file, ULONG state, const QELASIO_PREPARE_REQUEST &request)
{
    if (state >= CHANNEL_ACQUIRED) {
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_ACQUIRE).status);
    }
    if (state >= CHANNEL_PREPARED) {
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_PREPARE, &request, sizeof(request)).status);
    }
    if (state >= CHANNEL_RUNNING) {
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START).status);
    }
}

void ChannelTest::capture(const std::vector<UCHAR> &packet)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    adapter->channel.CapturePacket(packet.data(), static_cast<ULONG>(packet.size()));
    KeLowerIrql(old);
}

} // namespace channel_test
