// CMixSource with a stand-in producer: priming and its failures, bounce sizing on duplex
// devices, direct mixing with channel mapping and saturation, DSD copying, the prefill
// distance and capture-paced writing ahead into queued render transfers.
#include <gtest/gtest.h>
#include <algorithm>
#include <vector>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "AsyncPoolTags.h"
#include "MixSource.h"
#include "TransferEntry.h"

namespace {

// A producer that hands out a fixed run of source bytes and records what it was asked for.
class TestSource : public CMixSource {
public:
    ULONG bits = 16;
    ULONG channels = 2;
    ULONG mode = MIX_MODE_PCM;
    BOOLEAN paced = FALSE;
    std::vector<UCHAR> data;
    size_t position = 0;
    ULONG largest_request = 0;
    ULONG consumed_calls = 0;

    BOOLEAN IsCapturePaced() override { return paced; }
    BOOLEAN started = TRUE;
    BOOLEAN IsSourceStarted() override { return started; }
    PLIST_ENTRY PieceLink(TransferEntry *Entry) override { return &Entry->AsioMixLink; }
    TransferEntry *PieceFromLink(PLIST_ENTRY Link) override
    {
        return CONTAINING_RECORD(Link, TransferEntry, AsioMixLink);
    }
    ULONG GetMode() override { return mode; }
    ULONG GetBitsPerSample() override { return bits; }
    ULONG GetChannels() override { return channels; }
    VOID NotifyConsumed() override { ++consumed_calls; }

    ULONG ReadFrames(ULONG Frames, PUCHAR Destination) override
    {
        largest_request = std::max(largest_request, Frames);
        size_t frame_bytes = static_cast<size_t>(channels) * (bits / 8);
        size_t available = (data.size() - position) / frame_bytes;
        size_t frames = std::min<size_t>(Frames, available);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(position), frames * frame_bytes,
                    Destination);
        position += frames * frame_bytes;
        return static_cast<ULONG>(frames);
    }
};

void put(std::vector<UCHAR> &out, LONG value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<UCHAR>(static_cast<ULONG>(value) >> (8 * i)));
    }
}

// A high-speed duplex device at 48 kHz: 4 channels of 24 bits out, 1 ms capture transfers of
// 2 x 32-bit frames, render transfers of up to 8 ms plus a few feedback frames.
MIX_DEVICE_FORMAT duplex_device()
{
    MIX_DEVICE_FORMAT format{};
    format.RenderChannels = 4;
    format.RenderBitsPerSample = 24;
    format.RenderSampleRate = 48000;
    format.RenderBytesPerFrame = 12;
    format.RenderMaxTransferBytes = 392 * 12;
    format.HasCapture = TRUE;
    format.CaptureBytesPerFrame = 8;
    format.CaptureTransferBytes = 49 * 8;
    format.Timing = MIX_TIMING{8, 8, 1};
    format.PoolType = NonPagedPoolNx;
    return format;
}

class MixSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        source.SetDeviceFormat(duplex_device());
    }
    void TearDown() override
    {
        source.Release();
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        platform::machine_shutdown();
    }

    TestSource source;
};

TEST_F(MixSourceTest, UnsupportedWidthsLeaveTheSourceReleased)
{
    const struct {
        ULONG source_bits;
        ULONG device_bits;
    } rows[] = {{24, 16}, {32, 24}, {8, 16}, {16, 8}, {12, 24}, {0, 32}};
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.source_bits << "->" << row.device_bits);
        MIX_DEVICE_FORMAT format = duplex_device();
        format.RenderBitsPerSample = row.device_bits;
        source.SetDeviceFormat(format);
        source.bits = row.source_bits;
        EXPECT_EQ(STATUS_NOT_SUPPORTED, source.Prime());
        EXPECT_FALSE(source.HasBounceBuffer());
        EXPECT_FALSE(source.IsPrimedForCapture());
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
    }
}

TEST_F(MixSourceTest, AllocationFailureReleases)
{
    source.paced = TRUE;
    platform::pool_fail_tag(ASYNC_TAG);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, source.Prime());
    platform::pool_fail_reset();
    EXPECT_FALSE(source.HasBounceBuffer());
    EXPECT_FALSE(source.IsPrimedForCapture());
    std::vector<UCHAR> transfer(12 * 4, 0x11);
    EXPECT_EQ(0u, source.MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(std::vector<UCHAR>(12 * 4, 0x11), transfer);
    EXPECT_EQ(0u, source.consumed_calls);
}

TEST_F(MixSourceTest, DirectSourceOnDuplexDeviceGetsWholeRenderTransfers)
{
    // Not capture-paced on a device with capture: it asks for render transfers far larger than
    // one capture transfer, and the bounce buffer must hold them.
    source.data.assign(400 * 4, 0);
    ASSERT_EQ(STATUS_SUCCESS, source.Prime());
    EXPECT_FALSE(source.IsPrimedForCapture());
    EXPECT_EQ(392u, source.GetBounceFrames());

    std::vector<UCHAR> transfer(500 * 12, 0);
    EXPECT_EQ(392u, source.MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(392u, source.largest_request) << "a request must not exceed the bounce buffer";
    EXPECT_EQ(1u, source.consumed_calls);
}

TEST_F(MixSourceTest, DirectMixMapsChannelsAndSaturates)
{
    put(source.data, 0x7FFF, 2);
    put(source.data, 0x4000, 2);
    put(source.data, -0x8000, 2);
    put(source.data, 1, 2);
    ASSERT_EQ(STATUS_SUCCESS, source.Prime());

    std::vector<UCHAR> transfer;
    for (LONG v : {0x7FFFFF, 0, 0x111111, 0x222222, -1, 0x10, 0x333333, 0x444444, 5, 6, 7, 8}) {
        put(transfer, v, 3);
    }
    EXPECT_EQ(2u, source.MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));

    std::vector<UCHAR> expected;
    for (LONG v : {0x7FFFFF, 0x400000, 0x111111, 0x222222, -0x800000, 0x110, 0x333333, 0x444444,
                   5, 6, 7, 8}) {
        put(expected, v, 3);
    }
    EXPECT_EQ(expected, transfer) << "channels 3 and 4 and the unfilled frame stay as they were";
}

TEST_F(MixSourceTest, DsdModeCopiesTheSourceWords)
{
    MIX_DEVICE_FORMAT format = duplex_device();
    format.RenderChannels = 2;
    format.RenderBitsPerSample = 32;
    format.RenderBytesPerFrame = 8;
    source.SetDeviceFormat(format);
    source.mode = MIX_MODE_DSD;
    source.bits = 32;
    for (LONG v : {0x69696969, 0x12345678, 0x0F0F0F0F, 0x7FFFFFFF}) {
        put(source.data, v, 4);
    }
    ASSERT_EQ(STATUS_SUCCESS, source.Prime());
    std::vector<UCHAR> transfer(16, 0x69);
    EXPECT_EQ(2u, source.MixDirect(16, transfer.data()));
    EXPECT_EQ(source.data, transfer);
}

TEST_F(MixSourceTest, PrefillSetsTheWriteAheadDistance)
{
    source.paced = TRUE;
    source.SetPrefillFromBuffer(480 * 12, 12);
    EXPECT_EQ(10u, source.GetPrefillPercent());
    source.SetPrefillFromBuffer(24000 * 12, 12);
    EXPECT_EQ(100u, source.GetPrefillPercent());

    ASSERT_EQ(STATUS_SUCCESS, source.Prime());
    EXPECT_TRUE(source.IsPrimedForCapture());
    EXPECT_EQ(768 * 12, source.GetWriteOffset());

    source.SetPrefillPercent(0);
    source.Reprime();
    EXPECT_EQ(146 * 12, source.GetWriteOffset());
    EXPECT_TRUE(source.HasBounceBuffer()) << "re-priming keeps the bounce buffer";

    source.Release();
    EXPECT_FALSE(source.IsPrimedForCapture());
    EXPECT_FALSE(source.HasBounceBuffer());
}

// Render transfers of the duplex device queued on the bus: 100 frames of 12 bytes each.
class PacedMixTest : public MixSourceTest {
protected:
    void SetUp() override
    {
        MixSourceTest::SetUp();
        source.paced = TRUE;
        for (int i = 0; i < 4; ++i) {
            TransferEntry entry{};
            entry.BytesRequested = 1200;
            entries.push_back(entry);
        }
        for (int i = 0; i < 4; ++i) {
            buffers.emplace_back(1200, 0);
            entries[i].Buffer = buffers[i].data();
        }
        // Source frame f carries f + 1 on both channels.
        for (LONG f = 0; f < 1000; ++f) {
            put(source.data, f + 1, 2);
            put(source.data, f + 1, 2);
        }
        ASSERT_EQ(STATUS_SUCCESS, source.Prime());
        ASSERT_EQ(146 * 12, source.GetWriteOffset());
        for (TransferEntry &entry : entries) {
            source.QueuePiece(&entry);
        }
    }

    // The first channel of a device frame: transfer t, frame f.
    LONG sample(int t, int f)
    {
        const UCHAR *p = buffers[t].data() + f * 12;
        return static_cast<LONG>(static_cast<ULONG>(p[0]) | (p[1] << 8) | (p[2] << 16)) << 8 >> 8;
    }

    std::vector<TransferEntry> entries;
    std::vector<std::vector<UCHAR>> buffers;
};

TEST_F(PacedMixTest, CapturedFramesAreWrittenAheadOfTheBus)
{
    // Before priming nothing is read: what the source holds has nowhere to go yet.
    EXPECT_EQ(0u, source.MixFromCapture(48 * 8, 7));
    EXPECT_EQ(0u, source.position);
    EXPECT_EQ(1u, source.consumed_calls);
    EXPECT_EQ(std::vector<UCHAR>(1200, 0), buffers[1]);

    // The first completion primes: the next frame is 100, and the oldest transfer leaves.
    source.CommitPiece(100);
    EXPECT_TRUE(source.IsPrimed());
    EXPECT_EQ(146 * 12, source.GetWriteOffset());

    // 146 frames past the start of transfer 1: transfer 2, frame 46.
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 100));
    EXPECT_EQ(0, sample(2, 45));
    EXPECT_EQ(1 << 8, sample(2, 46));
    EXPECT_EQ(48 << 8, sample(2, 93));
    EXPECT_EQ(0, sample(2, 94));
    EXPECT_EQ((146 + 48) * 12, source.GetWriteOffset());

    // The next run crosses from transfer 2 into transfer 3.
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 101));
    EXPECT_EQ(49 << 8, sample(2, 94));
    EXPECT_EQ(54 << 8, sample(2, 99));
    EXPECT_EQ(55 << 8, sample(3, 0));
    EXPECT_EQ(96 << 8, sample(3, 41));
    EXPECT_EQ(0, sample(3, 42));

    // A completion takes its transfer's length off the offset.
    source.CommitPiece(108);
    EXPECT_EQ((146 + 96 - 100) * 12, source.GetWriteOffset());
}

// A transfer whose submission failed leaves the queue: the write-ahead skips it and the next
// completion commits the transfer after it. Withdrawing twice, or a committed piece, is harmless.
TEST_F(PacedMixTest, AWithdrawnPieceIsSkippedAndNeverCommitted)
{
    source.WithdrawPiece(&entries[1]);
    source.WithdrawPiece(&entries[1]);
    source.CommitPiece(100);
    source.WithdrawPiece(&entries[0]);
    EXPECT_EQ(146 * 12, source.GetWriteOffset());
    // 146 frames past the start of transfer 2: transfer 3, frame 46.
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 100));
    EXPECT_EQ(std::vector<UCHAR>(1200, 0), buffers[1]);
    EXPECT_EQ(0, sample(3, 45));
    EXPECT_EQ(1 << 8, sample(3, 46));
    EXPECT_EQ(48 << 8, sample(3, 93));
    source.CommitPiece(108);
    EXPECT_EQ((146 + 48 - 100) * 12, source.GetWriteOffset());
    source.CommitPiece(116);
    source.CommitPiece(124);
    EXPECT_EQ((146 + 48 - 200) * 12, source.GetWriteOffset()) << "only transfers 2 and 3 were left to commit";
}

TEST_F(PacedMixTest, FirstCaptureOffThePrimingFrameMovesOneCaptureTransferAhead)
{
    source.CommitPiece(100);
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 99));
    // 146 + 48 alignment frames: transfer 2, frame 94 on.
    EXPECT_EQ(0, sample(2, 93));
    EXPECT_EQ(1 << 8, sample(2, 94));
    EXPECT_EQ(7 << 8, sample(3, 0));
    EXPECT_EQ((146 + 48 + 48) * 12, source.GetWriteOffset());
    // The alignment is made once only.
    source.MixFromCapture(48 * 8, 50);
    EXPECT_EQ((146 + 48 + 96) * 12, source.GetWriteOffset());
}

// A source whose producer has not started is primed all the same: it reads nothing, its
// transfers leave as silence and its offset follows the bus, so that its first frame, when it
// comes, is written at the prefill distance and none is lost. Past the last queued transfer
// nothing is written, and nothing is read either: the frames stay with the producer until a
// transfer has room for them.
TEST_F(PacedMixTest, NothingIsWrittenPastTheQueueOrBeforeTheSourceStarts)
{
    source.started = FALSE;
    EXPECT_FALSE(source.WaitPrimed(0));
    source.CommitPiece(100);
    EXPECT_TRUE(source.IsPrimed());
    EXPECT_TRUE(source.WaitPrimed(0));
    EXPECT_EQ(0u, source.MixFromCapture(48 * 8, 100));
    EXPECT_EQ(0u, source.position);
    EXPECT_EQ((146 + 48) * 12, source.GetWriteOffset());
    source.started = TRUE;
    source.CommitPiece(108);
    // Transfers 2 and 3 remain (200 frames) and the offset is 94 frames into them.
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 101));
    EXPECT_EQ(0, sample(2, 93));
    EXPECT_EQ(1 << 8, sample(2, 94));
    EXPECT_EQ(7 << 8, sample(3, 0));
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 102));
    EXPECT_EQ(10u, source.MixFromCapture(48 * 8, 103));
    EXPECT_EQ(0u, source.MixFromCapture(48 * 8, 104));
    EXPECT_EQ((48u + 48 + 10) * 4, source.position) << "what has no room was not taken";
    EXPECT_EQ(106 << 8, sample(3, 99));
    // A transfer queued later takes the frames that waited.
    source.QueuePiece(&entries[0]);
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 105));
    EXPECT_EQ(107 << 8, sample(0, 0));
    EXPECT_EQ(154 << 8, sample(0, 47));
    source.Reprime();
    EXPECT_FALSE(source.WaitPrimed(0));
}

TEST_F(PacedMixTest, ACaptureBehindTheBusWritesNothingUntilItCatchesUp)
{
    source.CommitPiece(100);
    source.CommitPiece(108);
    source.CommitPiece(116);
    EXPECT_EQ((146 - 200) * 12, source.GetWriteOffset());
    EXPECT_EQ(0u, source.MixFromCapture(48 * 8, 100));
    EXPECT_EQ(-6 * 12, source.GetWriteOffset());
    EXPECT_EQ(0u, source.MixFromCapture(48 * 8, 101));
    EXPECT_EQ(48u, source.MixFromCapture(48 * 8, 102));
    EXPECT_EQ(0, sample(3, 41));
    EXPECT_NE(0, sample(3, 42));
}

TEST_F(PacedMixTest, CaptureReadsWaitForPrimingAndAreClampedToTheRoomAheadAndTheBounceBuffer)
{
    source.MixFromCapture(5000 * 8, 99);
    EXPECT_EQ(0u, source.largest_request) << "nothing is read before priming";
    source.CommitPiece(100);
    source.MixFromCapture(5000 * 8, 100);
    EXPECT_EQ(300u - 146u, source.largest_request) << "three transfers are queued, 146 frames taken";
    // A long transfer queued behind them: more room ahead than the bounce buffer holds.
    buffers[0].resize(6000);
    entries[0].Buffer = buffers[0].data();
    entries[0].BytesRequested = 6000;
    source.QueuePiece(&entries[0]);
    source.largest_request = 0;
    source.MixFromCapture(5000 * 8, 101);
    EXPECT_EQ(source.GetBounceFrames(), source.largest_request);
}

TEST_F(PacedMixTest, DirectMixingSkipsACapturePacedSource)
{
    std::vector<UCHAR> transfer(1200, 0);
    EXPECT_EQ(0u, source.MixDirect(1200, transfer.data()));
    EXPECT_EQ(std::vector<UCHAR>(1200, 0), transfer);
    EXPECT_EQ(0u, source.position);
}

} // namespace
