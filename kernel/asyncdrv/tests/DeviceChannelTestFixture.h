// Fixture of the device channel tests: a booted machine, a device whose dispatch routes "\asio"
// opens and channel requests to the channel of a stand-in adapter as the driver's router does,
// user-mode handles on it, and a stand-in for the engine's capture path. Fails a test that
// leaks the driver's pool, keeps an adapter reference or breaks a kernel rule.
#pragma once
#include <gtest/gtest.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>
#include <platform/user_io.h>
#include "DeviceChannelTestAdapter.h"

namespace channel_test {

struct io_result {
    NTSTATUS status;
    ULONG_PTR information;
};

// A READ or WRITE that may complete later, with its buffer.
struct transfer {
    std::vector<UCHAR> buffer;
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    bool wait_done();
    bool is_done();
};

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    platform::user_file *open();
    void close(platform::user_file *file);
    io_result ioctl(platform::user_file *file, ULONG code, const void *in = nullptr, ULONG in_length = 0,
                    void *out = nullptr, ULONG out_length = 0);
    NTSTATUS read(platform::user_file *file, transfer &request, ULONG length);
    NTSTATUS write(platform::user_file *file, transfer &request, std::vector<UCHAR> data);
    // Brings a fresh handle's channel to a state (OPEN, ACQUIRED, PREPARED, RUNNING).
    void bring_to(platform::user_file *file, ULONG state, const QELASIO_PREPARE_REQUEST &request);
    void bring_to(platform::user_file *file, ULONG state) { bring_to(file, state, duplex_request()); }
    static QELASIO_PREPARE_REQUEST duplex_request(ULONG frames = 64);
    // The engine's capture path: one packet at DISPATCH_LEVEL.
    void capture(const std::vector<UCHAR> &packet);

    CDeviceChannel &channel() { return adapter->channel; }

    std::unique_ptr<test_adapter> adapter;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::vector<platform::user_file *> files;
    bool removed = false;
};

} // namespace channel_test
