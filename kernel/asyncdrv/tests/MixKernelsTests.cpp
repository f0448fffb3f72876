// Tests of the mix kernels: every conversion pair on known values, saturation at both ends,
// channel mapping, and the sizing and distance arithmetic of the mix sources.
#include <gtest/gtest.h>
#include "MixKernels.h"

#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

Bytes Le16(std::initializer_list<LONG> values)
{
    Bytes out;
    for (LONG v : values) {
        ULONG raw = static_cast<ULONG>(v);
        out.push_back(static_cast<UCHAR>(raw));
        out.push_back(static_cast<UCHAR>(raw >> 8));
    }
    return out;
}

Bytes Le24(std::initializer_list<LONG> values)
{
    Bytes out;
    for (LONG v : values) {
        ULONG raw = static_cast<ULONG>(v);
        out.push_back(static_cast<UCHAR>(raw));
        out.push_back(static_cast<UCHAR>(raw >> 8));
        out.push_back(static_cast<UCHAR>(raw >> 16));
    }
    return out;
}

Bytes Le32(std::initializer_list<LONG> values)
{
    Bytes out;
    for (LONG v : values) {
        ULONG raw = static_cast<ULONG>(v);
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<UCHAR>(raw >> shift));
        }
    }
    return out;
}

struct KernelCase {
    const char *Name;
    PMIX_KERNEL Kernel;
    Bytes Source;
    Bytes Device;
    Bytes Expected;
};

TEST(MixKernels, EveryPairAddsAndSaturatesAtBothEnds)
{
    const KernelCase cases[] = {
        {"16->16", MixAdd16To16,
         Le16({0x1234, -1, 0x7FFF, -0x8000, 0x4000}),
         Le16({0x0001, -1, 0x0001, -1, 0x4000}),
         Le16({0x1235, -2, 0x7FFF, -0x8000, 0x7FFF})},
        {"16->24", MixAdd16To24,
         Le16({0x7FFF, 0x4000, -0x8000, -1, 0x0001}),
         Le24({0x7FFFFF, 0, -1, 0x000010, 0x0000FF}),
         Le24({0x7FFFFF, 0x400000, -0x800000, -0x000100 + 0x10, 0x0001FF})},
        {"16->32", MixAdd16To32,
         Le16({0x7FFF, -0x8000, 0x0001, -1}),
         Le32({0x00010000, -1, 0x12345678, 0x10}),
         Le32({0x7FFFFFFF, -0x7FFFFFFF - 1, 0x12355678, -0x10000 + 0x10})},
        {"24->24", MixAdd24To24,
         Le24({0x123456, 0x7FFFFF, -0x800000, -1}),
         Le24({0x000001, 0x000001, -1, -1}),
         Le24({0x123457, 0x7FFFFF, -0x800000, -2})},
        {"24->32", MixAdd24To32,
         Le24({0x7FFFFF, -0x800000, 0x000001, -1}),
         Le32({0x00000100, -1, 0x00000005, 0}),
         Le32({0x7FFFFFFF, -0x7FFFFFFF - 1, 0x00000105, -0x100})},
        {"32->32", MixAdd32To32,
         Le32({0x7FFFFFFF, -0x7FFFFFFF - 1, 0x00000001, -5}),
         Le32({1, -1, 0x7FFFFFFE, 3}),
         Le32({0x7FFFFFFF, -0x7FFFFFFF - 1, 0x7FFFFFFF, -2})},
    };
    for (const KernelCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Bytes device = c.Device;
        ULONG deviceBytes = static_cast<ULONG>(device.size());
        ULONG sampleBytes = c.Kernel == MixAdd16To24 || c.Kernel == MixAdd24To24 ? 3
                            : c.Kernel == MixAdd16To16                         ? 2
                                                                               : 4;
        ULONG samples = deviceBytes / sampleBytes;
        device.push_back(0xA5);
        c.Kernel(device.data(), c.Source.data(), samples);
        EXPECT_EQ(device.back(), 0xA5) << "wrote past the last sample";
        device.pop_back();
        EXPECT_EQ(device, c.Expected);
    }
}

TEST(MixKernels, DsdCopiesWordsWithoutAdding)
{
    Bytes source = Le32({0x69696969, 0x12345678});
    Bytes device = Le32({0x01010101, 0x7FFFFFFF, 0x55555555});
    MixCopyDsd(device.data(), source.data(), 2);
    EXPECT_EQ(device, Le32({0x69696969, 0x12345678, 0x55555555}));
}

TEST(MixKernels, SelectionCoversTheTableAndRefusesTheRest)
{
    EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, 16, 16), &MixAdd16To16);
    EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, 16, 24), &MixAdd16To24);
    EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, 16, 32), &MixAdd16To32);
    EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, 24, 24), &MixAdd24To24);
    EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, 24, 32), &MixAdd24To32);
    EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, 32, 32), &MixAdd32To32);
    const ULONG widths[] = {0, 8, 12, 16, 20, 24, 32, 64};
    for (ULONG source : widths) {
        for (ULONG device : widths) {
            SCOPED_TRACE(testing::Message() << source << "->" << device);
            bool listed = (source == 16 || source == 24 || source == 32) &&
                          (device == 16 || device == 24 || device == 32) && source <= device;
            EXPECT_EQ(SelectMixKernel(MIX_MODE_PCM, source, device) != NULL, listed);
            EXPECT_EQ(SelectMixKernel(MIX_MODE_DSD, source, device), &MixCopyDsd);
        }
    }
}

TEST(MixFrames, StereoIntoFourChannelsLeavesTheExtraChannels)
{
    Bytes source = Le16({0x7FFF, 0x4000, -0x8000, 0x0001});
    Bytes device = Le24({0x7FFFFF, 0, 0x111111, 0x222222, -1, 0x000010, 0x333333, 0x444444});
    MixFrames(MixAdd16To24, device.data(), MIX_LAYOUT{4, 3}, source.data(), MIX_LAYOUT{2, 2}, 2);
    EXPECT_EQ(device, Le24({0x7FFFFF, 0x400000, 0x111111, 0x222222, -0x800000, 0x000110,
                            0x333333, 0x444444}));
}

TEST(MixFrames, ExtraSourceChannelsAreSkipped)
{
    Bytes source = Le32({1, 2, 3, 4, 5, 6, 7, 8});
    Bytes device = Le32({10, 20, 30, 40, 99});
    MixFrames(MixAdd32To32, device.data(), MIX_LAYOUT{2, 4}, source.data(), MIX_LAYOUT{4, 4}, 2);
    EXPECT_EQ(device, Le32({11, 22, 35, 46, 99}));
}

TEST(MixFrames, NoKernelOrNoChannelsWritesNothing)
{
    Bytes source = Le16({1, 2});
    Bytes device = Le16({3, 4});
    MixFrames(NULL, device.data(), MIX_LAYOUT{2, 2}, source.data(), MIX_LAYOUT{2, 2}, 1);
    MixFrames(MixAdd16To16, device.data(), MIX_LAYOUT{2, 2}, source.data(), MIX_LAYOUT{0, 2}, 1);
    EXPECT_EQ(device, Le16({3, 4}));
}

TEST(MixBounce, HoldsTheLargerOfCaptureAndRenderTransfers)
{
    // Duplex high-speed device: 1 ms capture transfers of 8-byte frames at 48 kHz, render
    // transfers up to 8 ms (feedback-sized, a few frames more) of 12-byte frames.
    EXPECT_EQ(MixBounceFrames(48 * 8, 8, 392 * 12, 12), 392u);
    EXPECT_EQ(MixBounceFrames(49 * 8, 8, 0, 12), 49u);
    EXPECT_EQ(MixBounceFrames(49 * 8, 0, 40 * 12, 12), 40u);
    EXPECT_EQ(MixBounceFrames(100, 0, 100, 0), 0u);

    EXPECT_EQ(MixBounceBytes(392, 4), 1568u);
    EXPECT_EQ(MixBounceBytes(5, 3), 16u);
    EXPECT_EQ(MixBounceBytes(0, 3), 0u);
    EXPECT_EQ(MixBounceBytes(0x40000000, 4), 0u) << "a size beyond 32 bits must not wrap";
}

TEST(MixBounce, RequestsAreClampedToTheCapacity)
{
    ULONG capacity = MixBounceFrames(49 * 8, 8, 0, 12);
    EXPECT_EQ(MixClampFrames(392, capacity), capacity);
    EXPECT_EQ(MixClampFrames(10, capacity), 10u);
    EXPECT_EQ(MixClampFrames(0, capacity), 0u);
    EXPECT_EQ(MixClampFrames(10, 0), 0u);
}

TEST(MixPrefill, BufferMillisecondsCappedAtOneHundred)
{
    EXPECT_EQ(MixPrefillPercent(480 * 4, 48000, 4), 10u);
    EXPECT_EQ(MixPrefillPercent(24000 * 4, 48000, 4), 100u) << "500 ms needs 64-bit arithmetic";
    EXPECT_EQ(MixPrefillPercent(4800 * 4 - 1, 48000, 4), 99u);
    EXPECT_EQ(MixPrefillPercent(MAXULONG, 768000, 32), 100u);
    EXPECT_EQ(MixPrefillPercent(1000, 0, 4), 0u);
    EXPECT_EQ(MixPrefillPercent(1000, 48000, 0), 0u);
}

TEST(MixWriteAhead, DistanceRunsFromFloorToSixteenMilliseconds)
{
    const ULONG frame = 12;
    const MIX_TIMING timing{8, 8, 1};
    EXPECT_EQ(MixWriteAheadBytes(frame, 48000, timing, 0), 146u * frame);
    EXPECT_EQ(MixWriteAheadBytes(frame, 48000, timing, 100), 768u * frame);
    EXPECT_EQ(MixWriteAheadBytes(frame, 48000, timing, 50), 457u * frame);
    EXPECT_EQ(MixWriteAheadBytes(frame, 48000, timing, 250), 768u * frame);
    EXPECT_EQ(MixWriteAheadBytes(frame, 44100, timing, 0) % frame, 0u);
}

TEST(MixWriteAhead, ShortCeilingClampsAtTheFloor)
{
    // (2 - 1) x 3 - 2 = 1 ms of ceiling is below the 3 ms floor: the distance stays at the floor
    // for every percent instead of wrapping around.
    const MIX_TIMING timing{3, 2, 1};
    for (ULONG pct : {0u, 50u, 100u}) {
        SCOPED_TRACE(pct);
        EXPECT_EQ(MixWriteAheadBytes(8, 48000, timing, pct), 146u * 8);
    }
    // A negative ceiling difference compares as large and gives the 16 ms cap.
    EXPECT_EQ(MixWriteAheadBytes(8, 48000, MIX_TIMING{1, 1, 1}, 100), 768u * 8);
    EXPECT_EQ(MixWriteAheadBytes(0, 48000, timing, 100), 0u);
}

TEST(MixWriteAhead, AlignmentIsOneCaptureTransfer)
{
    EXPECT_EQ(MixAlignBytes(8, 48000, 1), 48u * 8);
    EXPECT_EQ(MixAlignBytes(8, 44100, 1), 44u * 8);
    EXPECT_EQ(MixAlignBytes(8, 44100, 2), 89u * 8);
}

} // namespace
