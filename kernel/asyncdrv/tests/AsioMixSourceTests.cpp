// CAsioMixSource over a device channel's FIFOs: direct mode on a render-only channel (whole
// render transfers on a duplex device, partial reads), capture-paced mode with strict reads
// that book a shortfall in the balance, and priming that does not wait for the output FIFO to
// start, which is not read until it has.
#include <gtest/gtest.h>
#include <vector>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "AsioMixSource.h"
#include "AsyncPoolTags.h"
#include "TransferEntry.h"

namespace {

void put(std::vector<UCHAR> &out, LONG value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<UCHAR>(static_cast<ULONG>(value) >> (8 * i)));
    }
}

// 48 kHz, 4 channels of packed 24 bits out; 1 ms capture transfers of 49 frames of 8 bytes and
// render transfers of up to 392 frames.
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

class AsioMixSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        channel = new CDeviceChannel();
        source = new CAsioMixSource();
        source->Attach(channel);
        source->SetDeviceFormat(duplex_device());
        source->SetChannelFormat(4, 24, MIX_MODE_PCM);
    }
    void TearDown() override
    {
        delete source;
        delete channel;
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        platform::machine_shutdown();
    }

    // Output FIFO of 1200 frames holding frames [0, frames) of a ramp on channel 1.
    void fill_output(ULONG frames)
    {
        ASSERT_EQ(STATUS_SUCCESS, channel->OutputFifo().Allocate(12, 1200, 0, NonPagedPoolNx));
        std::vector<UCHAR> data;
        for (ULONG f = 0; f < frames; ++f) {
            put(data, static_cast<LONG>(f + 1), 3);
            put(data, 0, 3);
            put(data, 0x333333, 3);
            put(data, -0x333333, 3);
        }
        ASSERT_EQ(data.size(), channel->OutputFifo().Write(data.data(), static_cast<ULONG>(data.size()), TRUE));
    }

    CDeviceChannel *channel = nullptr;
    CAsioMixSource *source = nullptr;
};

TEST_F(AsioMixSourceTest, RenderOnlyChannelOnADuplexDeviceMixesWholeRenderTransfers)
{
    fill_output(1000);
    channel->OutputFifo().Start();
    ASSERT_EQ(STATUS_SUCCESS, source->Prime());
    EXPECT_FALSE(source->IsPrimedForCapture()) << "no input FIFO: direct mode";
    EXPECT_EQ(392u, source->GetBounceFrames());

    // A feedback-sized render transfer of 392 frames, far beyond one capture transfer.
    std::vector<UCHAR> transfer(392 * 12, 0);
    EXPECT_EQ(392u, source->MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(392u, transfer[391 * 12] | transfer[391 * 12 + 1] << 8);
    EXPECT_EQ(0x33, transfer[391 * 12 + 6]);
    EXPECT_EQ((1000u - 392) * 12, channel->OutputFifo().Fill());

    // Larger than the bounce buffer: clamped to it.
    std::vector<UCHAR> large(500 * 12, 0);
    EXPECT_EQ(392u, source->MixDirect(static_cast<ULONG>(large.size()), large.data()));
    EXPECT_EQ(std::vector<UCHAR>(108 * 12, 0), std::vector<UCHAR>(large.begin() + 392 * 12, large.end()));

    // A partial read takes what is there and books nothing.
    EXPECT_EQ(1000u - 784, source->MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(0, channel->OutputFifo().BalanceBytes());
}

TEST_F(AsioMixSourceTest, AnOutputFifoThatHasNotStartedGivesNothing)
{
    fill_output(100);
    ASSERT_EQ(STATUS_SUCCESS, source->Prime());
    EXPECT_FALSE(source->IsSourceStarted());
    std::vector<UCHAR> transfer(48 * 12, 0);
    EXPECT_EQ(0u, source->MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(std::vector<UCHAR>(48 * 12, 0), transfer);
}

TEST_F(AsioMixSourceTest, CapturePacedReadsAreStrictAndBeginWhenTheOutputStarts)
{
    ASSERT_EQ(STATUS_SUCCESS, channel->InputFifo().Allocate(8, 300, 0, NonPagedPoolNx));
    fill_output(10);
    source->SetPrefillPercent(0);
    ASSERT_EQ(STATUS_SUCCESS, source->Prime());
    EXPECT_TRUE(source->IsPrimedForCapture());

    std::vector<UCHAR> buffer(4 * 392 * 12, 0);
    std::vector<TransferEntry> entries(4);
    for (ULONG i = 0; i < 4; ++i) {
        entries[i].Buffer = buffer.data() + i * 392 * 12;
        entries[i].BytesRequested = 392 * 12;
        source->QueuePiece(&entries[i]);
    }
    // Primed by the first completion although the output FIFO has not started (no READ
    // completed yet): until it starts nothing is read from it, and nothing booked.
    source->CommitPiece(8);
    ASSERT_TRUE(source->IsPrimed());
    EXPECT_EQ(0u, source->MixFromCapture(48 * 8, 8));
    EXPECT_EQ(10u * 12, channel->OutputFifo().Fill());
    EXPECT_EQ(0, channel->OutputFifo().BalanceBytes());
    channel->OutputFifo().Start();

    // 48 frames asked, 10 there: the missing 38 frames are booked for the client's next writes.
    EXPECT_EQ(10u, source->MixFromCapture(48 * 8, 9));
    EXPECT_EQ(-38 * 12, channel->OutputFifo().BalanceBytes());
    // Written 146 + 48 frames past the start of the oldest queued transfer (transfer 1): the
    // offset moved on with the capture before the FIFO started.
    const UCHAR *written = buffer.data() + 1 * 392 * 12 + (146 + 48) * 12;
    EXPECT_EQ(1, written[0]);
    EXPECT_EQ(10, written[9 * 12]);
    EXPECT_EQ(0, written[10 * 12]);
}

} // namespace
