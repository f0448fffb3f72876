// The device channel through the I/O manager: control codes by state and buffer size, ownership,
// PREPARE's checks, READ and WRITE per state, pended requests and their cancellation, CLEANUP's
// walk-back, positions and removal.
#include "DeviceChannelTestFixture.h"
#include "AsyncPoolTags.h"
#include <algorithm>
#include <cstring>
#include <numeric>
#include <platform/clock.h>
#include <platform/pool.h>
#include <platform/thread.h>

namespace channel_test {
namespace {

struct code_row {
    ULONG code;
    ULONG state;  // required state, CHANNEL_CLOSED for any
    ULONG input;  // minimum input bytes
    ULONG output; // minimum output bytes
};

const code_row any_state_codes[] = {
    {IOCTL_QELASIO_GET_RATE_RANGE, CHANNEL_CLOSED, 0, 8},
    {IOCTL_QELASIO_GET_RATE_CAPS, CHANNEL_CLOSED, 20, 20},
    {IOCTL_QELASIO_GET_SAMPLE_RATE, CHANNEL_CLOSED, 0, 4},
    {IOCTL_QELASIO_SET_SAMPLE_RATE, CHANNEL_CLOSED, 4, 0},
    {IOCTL_QELASIO_GET_DSD_SUPPORT, CHANNEL_CLOSED, 0, 4},
    {IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS, CHANNEL_CLOSED, 0, 4},
    {IOCTL_QELASIO_PING, CHANNEL_CLOSED, 0, 0},
    {IOCTL_QELASIO_GET_STREAM_RESET, CHANNEL_CLOSED, 0, 4},
    {IOCTL_QELASIO_START_CAPTURE, CHANNEL_CLOSED, 0, 0},
    {IOCTL_QELASIO_GET_POSITION, CHANNEL_CLOSED, 0, 4},
    {IOCTL_QELASIO_SET_POSITION, CHANNEL_CLOSED, 4, 0},
};

const code_row state_codes[] = {
    {IOCTL_QELASIO_ACQUIRE, CHANNEL_OPEN, 0, 0},      {IOCTL_QELASIO_PREPARE, CHANNEL_ACQUIRED, 18, 0},
    {IOCTL_QELASIO_START, CHANNEL_PREPARED, 0, 0},    {IOCTL_QELASIO_STOP, CHANNEL_RUNNING, 0, 0},
    {IOCTL_QELASIO_UNPREPARE, CHANNEL_PREPARED, 0, 0}, {IOCTL_QELASIO_RELEASE, CHANNEL_ACQUIRED, 0, 0},
};

const ULONG states[] = {CHANNEL_OPEN, CHANNEL_ACQUIRED, CHANNEL_PREPARED, CHANNEL_RUNNING};

// Input for the any-state codes that take one: a supported rate, and a position.
std::vector<UCHAR> input_for(ULONG code, ULONG length)
{
    std::vector<UCHAR> in(length + 1, 0);
    const ULONG value = code == IOCTL_QELASIO_SET_POSITION ? 0 : 48000;
    if (length >= 4) {
        std::memcpy(in.data(), &value, 4);
    }
    return in;
}

TEST_F(ChannelTest, StateCodesInAWrongStateFailBeforeTheLengthIsLookedAt)
{
    for (ULONG state : states) {
        for (const code_row &row : state_codes) {
            if (row.state == state) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << "state " << state << " code 0x" << std::hex << row.code);
            platform::user_file *file = open();
            bring_to(file, state);
            const ULONG users = adapter->capture_users + adapter->render_users;
            for (ULONG length : {0u, 17u, 18u, 64u}) {
                std::vector<UCHAR> in(64, 1);
                io_result r = ioctl(file, row.code, in.data(), length);
                EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
                EXPECT_EQ(0u, r.information);
            }
            EXPECT_EQ(users, static_cast<ULONG>(adapter->capture_users + adapter->render_users));
            EXPECT_EQ(state >= CHANNEL_ACQUIRED ? 1 : 0, channel().OwnerFlag()) << "nothing changed";
            EXPECT_EQ(state == CHANNEL_RUNNING, channel().IsStarted() != FALSE);
            close(file);
            EXPECT_EQ(0, channel().OwnerFlag());
        }
    }
}

TEST_F(ChannelTest, AnyStateCodesProbeTheirBuffersInEveryState)
{
    for (ULONG state : states) {
        platform::user_file *file = open();
        bring_to(file, state);
        for (const code_row &row : any_state_codes) {
            if (row.code == IOCTL_QELASIO_SET_SAMPLE_RATE && state == CHANNEL_RUNNING) {
                continue; // busy while streaming, below
            }
            const ULONG needs = std::max(row.input, row.output);
            for (ULONG size : {0u, needs == 0 ? 0u : needs - 1, needs, needs + 8}) {
                SCOPED_TRACE(testing::Message() << "state " << state << " code 0x" << std::hex << row.code
                                                << std::dec << " size " << size);
                const ULONG in_length = row.input == 0 ? 0 : size;
                const ULONG out_length = row.output == 0 ? 0 : size;
                std::vector<UCHAR> in = input_for(row.code, in_length);
                std::vector<UCHAR> out(needs + 8, 0xCD);
                io_result r = ioctl(file, row.code, in.data(), in_length, out.data(), out_length);
                const bool short_buffer = size < needs;
                EXPECT_EQ(short_buffer ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, r.status);
                EXPECT_EQ(short_buffer ? 0u : row.output, r.information);
                EXPECT_EQ(0xCD, out[row.output]) << "nothing written past the record";
                if (short_buffer) {
                    EXPECT_EQ(0xCD, out[0]) << "nothing written on failure";
                }
            }
        }
        close(file);
    }
}

TEST_F(ChannelTest, UnknownCodesAndTheUnusedFunctionAreInvalidRequests)
{
    platform::user_file *file = open();
    for (ULONG code : {0x222014u, 0x222048u, 0x220000u, ULONG(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_NEITHER, 0))}) {
        SCOPED_TRACE(code);
        UCHAR out[8] = {};
        io_result r = ioctl(file, code, nullptr, 0, out, sizeof(out));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.status);
        EXPECT_EQ(0u, r.information);
    }
    EXPECT_EQ(0, channel().OwnerFlag());
}

TEST_F(ChannelTest, QueriesAnswerTheDeviceAndTheChannel)
{
    adapter->dsd_native = true;
    adapter->has_capture = false;
    platform::user_file *file = open();
    QELASIO_RATE_RANGE range{};
    ASSERT_EQ(8u, ioctl(file, IOCTL_QELASIO_GET_RATE_RANGE, nullptr, 0, &range, sizeof(range)).information);
    EXPECT_EQ(44100u, range.Lowest);
    EXPECT_EQ(96000u, range.Highest);

    QELASIO_RATE_CAPS caps{96000, 9, 9, 9, 9};
    io_result r = ioctl(file, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps));
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(20u, r.information);
    EXPECT_EQ((std::vector<ULONG>{96000, 2, 32, 0, 0}),
              (std::vector<ULONG>{caps.Rate, caps.RenderChannels, caps.RenderBits, caps.CaptureChannels,
                                  caps.CaptureBits}));

    QELASIO_RATE_CAPS unsupported{22050, 9, 9, 9, 9};
    r = ioctl(file, IOCTL_QELASIO_GET_RATE_CAPS, &unsupported, sizeof(unsupported), &unsupported, sizeof(unsupported));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
    EXPECT_EQ(0u, r.information);
    EXPECT_EQ(9u, unsupported.RenderChannels);

    adapter->formats[44100].first = {};
    QELASIO_RATE_CAPS nomatch{44100, 9, 9, 9, 9};
    EXPECT_EQ(STATUS_NO_MATCH,
              ioctl(file, IOCTL_QELASIO_GET_RATE_CAPS, &nomatch, sizeof(nomatch), &nomatch, sizeof(nomatch)).status);

    ULONG value = 7;
    ioctl(file, IOCTL_QELASIO_GET_DSD_SUPPORT, nullptr, 0, &value, 4);
    EXPECT_EQ(1u, value);
    ioctl(file, IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS, nullptr, 0, &value, 4);
    EXPECT_EQ(1u, value);
    ioctl(file, IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &value, 4);
    EXPECT_EQ(48000u, value);
    ULONG rate = 96000;
    EXPECT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, 4).status);
    EXPECT_EQ(96000u, adapter->rate);
    rate = 12345;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ioctl(file, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, 4).status);
}

TEST_F(ChannelTest, AcquireIsExclusiveAcrossHandles)
{
    platform::user_file *first = open();
    platform::user_file *second = open();
    EXPECT_EQ(STATUS_SUCCESS, ioctl(first, IOCTL_QELASIO_ACQUIRE).status);
    EXPECT_EQ(STATUS_DEVICE_BUSY, ioctl(second, IOCTL_QELASIO_ACQUIRE).status);
    const QELASIO_PREPARE_REQUEST request = duplex_request();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ioctl(second, IOCTL_QELASIO_PREPARE, &request, sizeof(request)).status)
        << "the loser stays OPEN";
    EXPECT_EQ(STATUS_SUCCESS, ioctl(first, IOCTL_QELASIO_RELEASE).status);
    EXPECT_EQ(STATUS_SUCCESS, ioctl(second, IOCTL_QELASIO_ACQUIRE).status);
    EXPECT_EQ(STATUS_DEVICE_BUSY, ioctl(first, IOCTL_QELASIO_ACQUIRE).status);
    close(second);
    EXPECT_EQ(STATUS_SUCCESS, ioctl(first, IOCTL_QELASIO_ACQUIRE).status) << "closing the owner frees the channel";
    EXPECT_EQ(2, adapter->references.load());
}

TEST_F(ChannelTest, PrepareRefusesBadRequestsAndGivesEverythingBack)
{
    struct row {
        const char *what;
        QELASIO_PREPARE_REQUEST request;
        NTSTATUS expected;
    };
    QELASIO_PREPARE_REQUEST base = duplex_request();
    auto with = [&](auto change) {
        QELASIO_PREPARE_REQUEST r = base;
        change(r);
        return r;
    };
    adapter->has_capture = false;
    const row rows[] = {
        {"frames 0", with([](auto &r) { r.BufferFrames = 0; }), STATUS_INVALID_PARAMETER},
        {"no direction", with([](auto &r) { r.CaptureEnable = r.RenderEnable = 0; }), STATUS_INVALID_PARAMETER},
        {"mode 2", with([](auto &r) { r.Mode = 2; }), STATUS_INVALID_PARAMETER},
        {"capture on a render-only device", base, STATUS_INVALID_DEVICE_REQUEST},
        {"DSD on a PCM device", with([](auto &r) { r.CaptureEnable = 0; r.Mode = 1; }),
         STATUS_INVALID_DEVICE_REQUEST},
        {"frames 0x60000000", with([](auto &r) { r.CaptureEnable = 0; r.BufferFrames = 0x60000000; }),
         STATUS_INVALID_PARAMETER},
        // Twice the ASIO driver's longest buffer is the most: a FIFO of 3 x 65537 frames is not
        // taken from non-paged pool.
        {"frames 65537", with([](auto &r) { r.CaptureEnable = 0; r.BufferFrames = 65537; }),
         STATUS_INVALID_PARAMETER},
        {"frames 0xFFFFFFFF", with([](auto &r) { r.CaptureEnable = 0; r.BufferFrames = 0xFFFFFFFF; }),
         STATUS_INVALID_PARAMETER},
    };
    platform::user_file *file = open();
    bring_to(file, CHANNEL_ACQUIRED);
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        io_result result = ioctl(file, IOCTL_QELASIO_PREPARE, &r.request, sizeof(r.request));
        EXPECT_EQ(r.expected, result.status);
        EXPECT_EQ(0, adapter->render_users + adapter->capture_users);
        EXPECT_EQ(0, adapter->dsd_mode);
        EXPECT_FALSE(channel().HasOutputFifo());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, ioctl(file, IOCTL_QELASIO_START).status) << "still ACQUIRED";
    }
    const QELASIO_PREPARE_REQUEST good = with([](auto &r) { r.CaptureEnable = 0; });
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ioctl(file, IOCTL_QELASIO_PREPARE, &good, 17).status);
    adapter->reserve_result = STATUS_DEVICE_BUSY;
    EXPECT_EQ(STATUS_DEVICE_BUSY, ioctl(file, IOCTL_QELASIO_PREPARE, &good, sizeof(good)).status);
    adapter->reserve_result = STATUS_SUCCESS;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_PREPARE, &good, sizeof(good)).status);
    // Render-only at 48 kHz with 8 ms transfers: 3 x max(64, 48 x 8) frames of 8 bytes.
    EXPECT_EQ(3u * 384 * 8, channel().OutputFifo().Size());
    EXPECT_FALSE(channel().HasInputFifo());
}

TEST_F(ChannelTest, DsdPrepareFillsWithTheDsdByteAndSetsTheMode)
{
    adapter->dsd_native = true;
    platform::user_file *file = open();
    QELASIO_PREPARE_REQUEST request = duplex_request(16);
    request.Mode = QELASIO_MODE_DSD;
    request.PrefillPercent = 250;
    bring_to(file, CHANNEL_PREPARED, request);
    EXPECT_EQ(1, adapter->dsd_mode);
    EXPECT_TRUE(adapter->dsd_hold);
    EXPECT_EQ(100u, adapter->mix_prefill) << "prefill percent capped";
    EXPECT_EQ(0x96, channel().FillByte());
    // A buffer shorter than a capture transfer (48 frames at 48 kHz) is prefilled and sized by
    // the transfer: one capture completion's read leaves the client's next frames.
    EXPECT_EQ(48u * 8, channel().OutputFifo().Fill()) << "one capture transfer of prefill";
    EXPECT_EQ(3u * 48 * 8, channel().OutputFifo().Size());
    EXPECT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_UNPREPARE).status);
    EXPECT_EQ(0, adapter->dsd_mode);
    EXPECT_FALSE(adapter->dsd_hold);
}

TEST_F(ChannelTest, ReadAndWriteAnswerByChannelState)
{
    platform::user_file *owner = open();
    platform::user_file *other = open();
    transfer t;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, read(other, t, 64)) << "not started";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, write(other, t, std::vector<UCHAR>(64)));
    QELASIO_PREPARE_REQUEST render_only = duplex_request();
    render_only.CaptureEnable = 0;
    bring_to(owner, CHANNEL_RUNNING, render_only);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, read(other, t, 64)) << "no input FIFO";
    // A zero-length request takes the way of any other and completes with nothing.
    transfer empty_write;
    ASSERT_EQ(STATUS_PENDING, write(other, empty_write, {}));
    ASSERT_TRUE(empty_write.wait_done());
    EXPECT_EQ(STATUS_SUCCESS, empty_write.status);
    EXPECT_EQ(0u, empty_write.information);
    EXPECT_EQ(0u, channel().OutputFifo().Fill());
    ASSERT_EQ(STATUS_SUCCESS, ioctl(owner, IOCTL_QELASIO_STOP).status);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(owner, IOCTL_QELASIO_UNPREPARE).status);
    render_only.RenderEnable = 0;
    render_only.CaptureEnable = 1;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(owner, IOCTL_QELASIO_PREPARE, &render_only, sizeof(render_only)).status);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(owner, IOCTL_QELASIO_START).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, write(other, t, std::vector<UCHAR>(64))) << "no output FIFO";
    transfer empty_read;
    ASSERT_EQ(STATUS_PENDING, read(other, empty_read, 0));
    ASSERT_EQ(STATUS_SUCCESS, ioctl(owner, IOCTL_QELASIO_START_CAPTURE).status);
    EXPECT_FALSE(empty_read.is_done()) << "filled by capture data, like any READ";
    capture(std::vector<UCHAR>(64));
    ASSERT_TRUE(empty_read.wait_done());
    EXPECT_EQ(STATUS_SUCCESS, empty_read.status);
    EXPECT_EQ(0u, empty_read.information);
    EXPECT_EQ(64u, channel().InputFifo().Fill()) << "the packet waits for the next READ";
}

TEST_F(ChannelTest, PendedReadIsFilledOnlyAfterStartCapture)
{
    platform::user_file *file = open();
    EXPECT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START_CAPTURE).status) << "nothing to start yet";
    bring_to(file, CHANNEL_RUNNING);
    EXPECT_FALSE(channel().InputFifo().IsStarted()) << "START_CAPTURE before START had no effect";
    transfer first, second;
    ASSERT_EQ(STATUS_PENDING, read(file, first, 96));
    ASSERT_EQ(STATUS_PENDING, read(file, second, 32));
    std::vector<UCHAR> packet(64);
    std::iota(packet.begin(), packet.end(), 1);
    capture(packet);
    EXPECT_FALSE(first.is_done()) << "the input FIFO takes nothing before START_CAPTURE";
    EXPECT_FALSE(channel().IsOutputStarted());

    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START_CAPTURE).status);
    capture(packet);
    EXPECT_FALSE(first.is_done());
    capture(packet);
    ASSERT_TRUE(first.wait_done());
    ASSERT_TRUE(second.wait_done()) << "one packet completes as many READs as it can";
    EXPECT_EQ(STATUS_SUCCESS, first.status);
    EXPECT_EQ(96u, first.information);
    std::vector<UCHAR> expected(packet);
    expected.insert(expected.end(), packet.begin(), packet.begin() + 32);
    EXPECT_EQ(expected, first.buffer);
    EXPECT_EQ(std::vector<UCHAR>(packet.begin() + 32, packet.end()), second.buffer);
    EXPECT_TRUE(channel().IsOutputStarted()) << "the first completed READ starts the render output";
}

TEST_F(ChannelTest, CancelledPendedReadEndsCancelledWithNothing)
{
    platform::user_file *file = open();
    bring_to(file, CHANNEL_RUNNING);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START_CAPTURE).status);
    transfer t;
    ASSERT_EQ(STATUS_PENDING, read(file, t, 128));
    capture(std::vector<UCHAR>(64, 5));
    EXPECT_FALSE(t.is_done());
    platform::user_io_cancel(file, platform::current_thread());
    ASSERT_TRUE(t.wait_done());
    EXPECT_EQ(STATUS_CANCELLED, t.status);
    EXPECT_EQ(0u, t.information);
    EXPECT_EQ(0u, channel().PendedCount());
    EXPECT_TRUE(channel().IsStarted()) << "cancelling a request does not stop the channel";
}

TEST_F(ChannelTest, StopCancelsPendedReadsAndRewindsTheFifos)
{
    platform::user_file *file = open();
    bring_to(file, CHANNEL_RUNNING);
    transfer a, b;
    ASSERT_EQ(STATUS_PENDING, read(file, a, 64));
    ASSERT_EQ(STATUS_PENDING, read(file, b, 64));
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_STOP).status);
    ASSERT_TRUE(a.wait_done());
    ASSERT_TRUE(b.wait_done());
    EXPECT_EQ(STATUS_CANCELLED, a.status);
    EXPECT_EQ(0u, a.information);
    EXPECT_EQ(STATUS_CANCELLED, b.status);
    EXPECT_EQ(64u * 8, channel().OutputFifo().Fill()) << "back at its prefill";
    EXPECT_FALSE(channel().IsOutputStarted());
    EXPECT_EQ(0, adapter->capture_runs + adapter->render_runs);
    EXPECT_FALSE(adapter->mix_started);
    transfer late;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, read(file, late, 64));
}

TEST_F(ChannelTest, CleanupOfARunningHandleWalksBackAndFreesTheChannel)
{
    platform::user_file *owner = open();
    platform::user_file *other = open();
    bring_to(owner, CHANNEL_RUNNING);
    transfer mine, theirs;
    ASSERT_EQ(STATUS_PENDING, read(owner, mine, 64));
    ASSERT_EQ(STATUS_PENDING, read(other, theirs, 64)) << "any handle reads while the owner runs";
    close(owner);
    ASSERT_TRUE(mine.wait_done());
    ASSERT_TRUE(theirs.wait_done());
    EXPECT_EQ(STATUS_CANCELLED, mine.status);
    EXPECT_EQ(STATUS_CANCELLED, theirs.status);
    EXPECT_EQ(0, adapter->capture_runs + adapter->render_runs);
    EXPECT_EQ(0, adapter->capture_users + adapter->render_users);
    EXPECT_FALSE(channel().HasInputFifo());
    EXPECT_EQ(0, channel().OwnerFlag());
    EXPECT_EQ(STATUS_SUCCESS, ioctl(other, IOCTL_QELASIO_ACQUIRE).status);
}

TEST_F(ChannelTest, CleanupOfAnIdleHandleCancelsOnlyItsOwnRequests)
{
    platform::user_file *owner = open();
    platform::user_file *other = open();
    bring_to(owner, CHANNEL_RUNNING);
    transfer mine, theirs;
    ASSERT_EQ(STATUS_PENDING, read(owner, mine, 64));
    ASSERT_EQ(STATUS_PENDING, read(other, theirs, 64));
    close(other);
    ASSERT_TRUE(theirs.wait_done());
    EXPECT_EQ(STATUS_CANCELLED, theirs.status);
    EXPECT_FALSE(mine.is_done());
    EXPECT_TRUE(channel().IsStarted());
    ASSERT_EQ(STATUS_SUCCESS, ioctl(owner, IOCTL_QELASIO_START_CAPTURE).status);
    capture(std::vector<UCHAR>(64, 3));
    ASSERT_TRUE(mine.wait_done());
    EXPECT_EQ(STATUS_SUCCESS, mine.status);
}

TEST_F(ChannelTest, DuplexWritesCompleteAtOnceUntilAStreamReset)
{
    platform::user_file *file = open();
    bring_to(file, CHANNEL_RUNNING);
    transfer w;
    EXPECT_EQ(STATUS_SUCCESS, write(file, w, std::vector<UCHAR>(256, 7)));
    EXPECT_EQ(256u, w.information);
    EXPECT_EQ(64u * 8 + 256, channel().OutputFifo().Fill());
    transfer r;
    ASSERT_EQ(STATUS_PENDING, read(file, r, 64));
    channel().RaiseStreamReset();
    ASSERT_TRUE(r.wait_done());
    EXPECT_EQ(STATUS_CANCELLED, r.status);
    ULONG flag = 0;
    ioctl(file, IOCTL_QELASIO_GET_STREAM_RESET, nullptr, 0, &flag, 4);
    EXPECT_EQ(1u, flag);
    transfer again;
    EXPECT_EQ(STATUS_REINITIALIZATION_NEEDED, read(file, again, 64));
    EXPECT_EQ(STATUS_REINITIALIZATION_NEEDED, write(file, again, std::vector<UCHAR>(64)));
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_STOP).status);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START).status);
    ioctl(file, IOCTL_QELASIO_GET_STREAM_RESET, nullptr, 0, &flag, 4);
    EXPECT_EQ(0u, flag);
}

TEST_F(ChannelTest, RenderOnlyWritesAreDrainedAndStartTheOutputWhenFull)
{
    adapter->has_capture = false;
    adapter->render_ms = 1;
    platform::user_file *file = open();
    QELASIO_PREPARE_REQUEST request = duplex_request(16); // FIFO of 3 x 48 frames = 1152 bytes
    request.CaptureEnable = 0;
    bring_to(file, CHANNEL_RUNNING, request);
    ASSERT_EQ(1152u, channel().OutputFifo().Size());
    transfer first, second;
    ASSERT_EQ(STATUS_PENDING, write(file, first, std::vector<UCHAR>(1000, 1)));
    ASSERT_TRUE(first.wait_done());
    EXPECT_EQ(STATUS_SUCCESS, first.status);
    EXPECT_EQ(1000u, first.information);
    EXPECT_FALSE(channel().IsOutputStarted());
    ASSERT_EQ(STATUS_PENDING, write(file, second, std::vector<UCHAR>(400, 2)));
    LARGE_INTEGER millisecond;
    millisecond.QuadPart = -platform::ticks_per_ms;
    for (int i = 0; i < 10000 && !channel().IsOutputStarted(); ++i) {
        KeDelayExecutionThread(KernelMode, FALSE, &millisecond);
    }
    EXPECT_TRUE(channel().IsOutputStarted()) << "started once full for the first time";
    EXPECT_FALSE(second.is_done());
    std::vector<UCHAR> out(400);
    EXPECT_EQ(400u, channel().ReadRender(out.data(), 400, TRUE));
    channel().RenderConsumed();
    ASSERT_TRUE(second.wait_done());
    EXPECT_EQ(400u, second.information);
    EXPECT_EQ(1000u, channel().OutputFifo().Fill());
}

TEST_F(ChannelTest, PositionCountsFramesFromTheFirstCompletedRead)
{
    platform::clock_use_manual(true);
    platform::user_file *file = open();
    bring_to(file, CHANNEL_RUNNING);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START_CAPTURE).status);
    transfer t;
    ASSERT_EQ(STATUS_PENDING, read(file, t, 64));
    platform::clock_advance(5 * platform::ticks_per_ms);
    capture(std::vector<UCHAR>(64));
    ASSERT_TRUE(t.wait_done());
    platform::clock_advance(10 * platform::ticks_per_ms);
    ULONG position = 0;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_GET_POSITION, nullptr, 0, &position, 4).status);
    EXPECT_EQ(480u, position);

    const ULONG ahead = 100000;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_POSITION, &ahead, 4).status);
    EXPECT_EQ(0, channel().InputFifo().BalanceBytes()) << "a host ahead of the device changes nothing";
    EXPECT_EQ(64u * 8, channel().OutputFifo().Fill());

    const ULONG behind = 400;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_POSITION, &behind, 4).status);
    EXPECT_EQ(-80 * 8, channel().InputFifo().BalanceBytes()) << "80 frames of capture skipped";
    EXPECT_EQ(64u * 8 + 80 * 8, channel().OutputFifo().Fill()) << "80 frames of fill inserted";

    // A host at 0 against a large elapsed value saturates instead of wrapping.
    platform::clock_advance(3600LL * 24 * 30 * platform::ticks_per_second);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_GET_POSITION, nullptr, 0, &position, 4).status);
    const ULONG zero = 0;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_POSITION, &zero, 4).status);
    EXPECT_GT(0, channel().InputFifo().BalanceBytes());
    EXPECT_LE(-0x7FFFFFFF, channel().InputFifo().BalanceBytes());
    platform::clock_use_manual(false);
}

TEST_F(ChannelTest, StartFollowsARateChangeMadeWhilePrepared)
{
    platform::user_file *file = open();
    bring_to(file, CHANNEL_PREPARED);
    ULONG rate = 96000;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, 4).status);
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START).status);
    EXPECT_EQ(96000u, channel().Rate());
    EXPECT_EQ(STATUS_DEVICE_BUSY, ioctl(open(), IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, 4).status)
        << "another handle cannot change the rate while the owner streams";
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_STOP).status);

    adapter->formats[44100] = {{2, 24}, {2, 24}};
    rate = 44100;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, 4).status);
    EXPECT_EQ(STATUS_REINITIALIZATION_NEEDED, ioctl(file, IOCTL_QELASIO_START).status)
        << "FIFOs sized for 8-byte frames cannot carry 6-byte frames";
    EXPECT_FALSE(channel().IsStarted());
    EXPECT_EQ(0, adapter->capture_runs + adapter->render_runs);
    EXPECT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_UNPREPARE).status);
}

TEST_F(ChannelTest, RenderOnlyFifoIsSizedForTheRateItStartsAt)
{
    platform::user_file *file = open();
    QELASIO_PREPARE_REQUEST request = duplex_request(64);
    request.CaptureEnable = 0;
    bring_to(file, CHANNEL_PREPARED, request);
    // 8 ms transfers of 8-byte frames: three of them, or three buffers when those are larger.
    ASSERT_EQ(3u * 384 * 8, channel().OutputFifo().Size());
    struct row {
        ULONG rate;
        ULONG bytes;
    };
    for (const row &r : {row{96000, 3 * 768 * 8}, row{44100, 3 * 360 * 8}, row{44100, 3 * 360 * 8}}) {
        SCOPED_TRACE(r.rate);
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_SAMPLE_RATE, &r.rate, 4).status);
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START).status);
        EXPECT_EQ(r.bytes, channel().OutputFifo().Size());
        ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_STOP).status);
    }

    // Without memory for the new FIFO the start fails and the channel keeps the old one.
    const ULONG rate = 96000;
    ASSERT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, 4).status);
    platform::pool_fail_tag(ASYNC_TAG);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ioctl(file, IOCTL_QELASIO_START).status);
    platform::pool_fail_reset();
    EXPECT_EQ(3u * 360 * 8, channel().OutputFifo().Size());
    EXPECT_FALSE(channel().IsStarted());
    EXPECT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_UNPREPARE).status);
    EXPECT_EQ(0, adapter->render_users);
}

TEST_F(ChannelTest, FailedStartUndoesWhatItStarted)
{
    platform::user_file *file = open();
    bring_to(file, CHANNEL_PREPARED);
    adapter->start_result = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ioctl(file, IOCTL_QELASIO_START).status);
    EXPECT_EQ(0, adapter->capture_runs + adapter->render_runs);
    adapter->start_result = STATUS_SUCCESS;
    adapter->mix_result = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, ioctl(file, IOCTL_QELASIO_START).status);
    EXPECT_EQ(0, adapter->capture_runs + adapter->render_runs);
    EXPECT_FALSE(channel().IsStarted());
    adapter->mix_result = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, ioctl(file, IOCTL_QELASIO_START).status) << "still PREPARED";
}

TEST_F(ChannelTest, RemovalStopsTheChannelAndClosesItToEveryRequest)
{
    platform::user_file *owner = open();
    bring_to(owner, CHANNEL_RUNNING);
    transfer t;
    ASSERT_EQ(STATUS_PENDING, read(owner, t, 64));
    adapter->PrepareRemoval();
    ASSERT_TRUE(t.wait_done());
    EXPECT_EQ(STATUS_CANCELLED, t.status);
    EXPECT_EQ(0, adapter->capture_runs + adapter->render_runs);
    EXPECT_EQ(0, adapter->capture_users + adapter->render_users);
    EXPECT_EQ(STATUS_DELETE_PENDING, ioctl(owner, IOCTL_QELASIO_PING).status);
    transfer late;
    EXPECT_EQ(STATUS_DELETE_PENDING, read(owner, late, 64));
    platform::user_file *file = nullptr;
    EXPECT_EQ(STATUS_DELETE_PENDING,
              platform::user_io_open(L"\\Device\\OvmChannelTest\\asio", GENERIC_READ | GENERIC_WRITE, &file));
    close(owner); // CLEANUP is refused; CLOSE still frees the context
    EXPECT_EQ(1, adapter->references.load());
    removed = true; // the owner flag stays with the removed device
}

} // namespace
} // namespace channel_test
