// CMixSource with a stand-in producer: priming and its failures, bounce sizing on duplex
// devices, direct mixing with channel mapping and saturation, DSD copying and the prefill
// distance.
#include <gtest/gtest.h>
#include <algorithm>
#include <vector>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "AsyncPoolTags.h"
#include "MixSource.h"

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
    BOOLEAN IsSourceStarted() override { return TRUE; }
    PLIST_ENTRY PieceLink(TransferEntry *) override { return NULL; }
    TransferEntry *PieceFromLink(PLIST_ENTRY) override { return NULL; }
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
    source.SetPrefillFromBuffer(480 * 12);
    EXPECT_EQ(10u, source.GetPrefillPercent());
    source.SetPrefillFromBuffer(24000 * 12);
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

} // namespace
