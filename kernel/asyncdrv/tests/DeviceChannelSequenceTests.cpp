// The device channel under random sequences of control codes, reads, writes, captures and
// closes, and with the capture path racing STOP and cancellation: the owner flag always matches
// the handles' states and no request is ever left behind.
#include "DeviceChannelTestFixture.h"
#include <atomic>
#include <deque>
#include <random>
#include <thread>
#include <platform/thread.h>

namespace channel_test {
namespace {

const ULONG codes[] = {
    IOCTL_QELASIO_GET_RATE_RANGE, IOCTL_QELASIO_GET_RATE_CAPS,  IOCTL_QELASIO_GET_SAMPLE_RATE,
    IOCTL_QELASIO_SET_SAMPLE_RATE, IOCTL_QELASIO_GET_DSD_SUPPORT, 0x222014,
    IOCTL_QELASIO_ACQUIRE,        IOCTL_QELASIO_PREPARE,        IOCTL_QELASIO_START,
    IOCTL_QELASIO_STOP,           IOCTL_QELASIO_UNPREPARE,      IOCTL_QELASIO_RELEASE,
    IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS, IOCTL_QELASIO_PING,  IOCTL_QELASIO_GET_STREAM_RESET,
    IOCTL_QELASIO_START_CAPTURE,  IOCTL_QELASIO_GET_POSITION,   IOCTL_QELASIO_SET_POSITION,
};

ULONG state_of(platform::user_file *file)
{
    auto context = static_cast<DeviceChannelContext *>(platform::user_io_file_object(file)->FsContext2);
    return context != nullptr ? context->State : CHANNEL_CLOSED;
}

class ChannelSequenceTest : public ChannelTest {
protected:
    // Owner flag set exactly when one handle is ACQUIRED or further, never two such handles;
    // streams reserved and FIFOs allocated exactly while that handle is PREPARED or RUNNING.
    void check_owner(const std::vector<platform::user_file *> &open_files)
    {
        int owners = 0;
        bool prepared = false;
        for (platform::user_file *file : open_files) {
            owners += state_of(file) >= CHANNEL_ACQUIRED ? 1 : 0;
            prepared = prepared || state_of(file) >= CHANNEL_PREPARED;
        }
        ASSERT_LE(owners, 1);
        ASSERT_EQ(owners, channel().OwnerFlag());
        ASSERT_EQ(prepared, adapter->capture_users + adapter->render_users > 0) << "streams reserved while prepared";
        ASSERT_EQ(prepared, channel().HasInputFifo() || channel().HasOutputFifo());
    }
};

TEST_F(ChannelSequenceTest, RandomSequencesKeepTheOwnerInvariant)
{
    adapter->dsd_native = true;
    std::mt19937 random(20261209);
    std::vector<platform::user_file *> open_files;
    std::deque<std::unique_ptr<transfer>> transfers;
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    const ULONG hostile[] = {0, 1, 64, 0x60000000, 0xFFFFFFFF, 48000, 12345};
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        if (open_files.empty() || pick(20) == 0) {
            if (open_files.size() < 4) {
                open_files.push_back(open());
            }
        }
        platform::user_file *file = open_files[pick(open_files.size())];
        switch (pick(6)) {
        case 0:
        case 1:
        case 2: {
            const ULONG code = codes[pick(std::size(codes))];
            std::vector<UCHAR> in(24, 0);
            QELASIO_PREPARE_REQUEST request = duplex_request(static_cast<ULONG>(hostile[pick(4)] | 1));
            request.CaptureEnable = static_cast<ULONG>(pick(2));
            request.RenderEnable = static_cast<ULONG>(pick(2));
            request.Mode = static_cast<USHORT>(pick(3));
            std::memcpy(in.data(), &request, sizeof(request));
            if (code != IOCTL_QELASIO_PREPARE) {
                const ULONG value = hostile[pick(std::size(hostile))];
                std::memcpy(in.data(), &value, 4);
            }
            std::vector<UCHAR> out(24, 0);
            const ULONG length = static_cast<ULONG>(pick(25));
            io_result r = ioctl(file, code, in.data(), length, out.data(), length);
            if (!NT_SUCCESS(r.status)) {
                ASSERT_EQ(0u, r.information);
            }
            break;
        }
        case 3: {
            transfers.push_back(std::make_unique<transfer>());
            if (pick(2) == 0) {
                read(file, *transfers.back(), static_cast<ULONG>(pick(200)));
            } else {
                write(file, *transfers.back(), std::vector<UCHAR>(pick(3000), 1));
            }
            break;
        }
        case 4:
            capture(std::vector<UCHAR>(pick(600), 2));
            if (pick(4) == 0 && channel().HasOutputFifo()) {
                std::vector<UCHAR> out(512);
                channel().ReadRender(out.data(), static_cast<ULONG>(out.size()), static_cast<BOOLEAN>(pick(2)));
                channel().RenderConsumed();
            }
            break;
        default:
            if (pick(3) == 0) {
                std::erase(open_files, file);
                close(file); // a dying client: CLEANUP and CLOSE with its requests outstanding
            } else if (pick(5) == 0) {
                platform::user_io_cancel(file, platform::current_thread());
            }
            break;
        }
        check_owner(open_files);
        while (!transfers.empty() && transfers.front()->is_done()) {
            transfers.pop_front();
        }
    }
    for (platform::user_file *file : open_files) {
        close(file);
    }
    for (auto &t : transfers) {
        ASSERT_TRUE(t->wait_done()) << "every request ends once its handle is closed";
    }
    EXPECT_EQ(0u, channel().PendedCount());
}

TEST_F(ChannelSequenceTest, CapturePathRacingStopAndCancelLeavesNoRequestBehind)
{
    platform::user_file *file = open();
    bring_to(file, CHANNEL_RUNNING);
    std::atomic<bool> stop{false};
    std::thread engine([&] {
        std::vector<UCHAR> packet(48, 9);
        while (!stop.load()) {
            capture(packet);
        }
    });
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START_CAPTURE).status);
        std::vector<std::unique_ptr<transfer>> reads;
        for (int i = 0; i < 4; ++i) {
            reads.push_back(std::make_unique<transfer>());
            read(file, *reads.back(), 64 + 32 * i);
        }
        if (round % 2 == 0) {
            platform::user_io_cancel(file, platform::current_thread());
        }
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_STOP).status);
        for (auto &t : reads) {
            ASSERT_TRUE(t->wait_done());
            EXPECT_TRUE(t->status == STATUS_SUCCESS || t->status == STATUS_CANCELLED) << std::hex << t->status;
            EXPECT_EQ(t->status == STATUS_SUCCESS ? t->buffer.size() : 0u, t->information);
        }
        ASSERT_EQ(0u, channel().PendedCount());
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START).status);
    }
    stop = true;
    engine.join();
}

} // namespace
} // namespace channel_test
