// CAsioFifo: strict and partial transfers with the balance, wrap-around, hostile sizes and the
// rules of unallocated and stopped FIFOs.
#include <gtest/gtest.h>
#include <algorithm>
#include <numeric>
#include <vector>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/trace.h>
#include <platform/verifier.h>
#include "AsioFifo.h"
#include "AsyncPoolTags.h"
#include "UsbAudioTrace.h"

namespace {

class AsioFifoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        TraceStart(&OVMLSAAU_TRACE_GUID);
    }
    void TearDown() override
    {
        TraceStop();
        input.Free();
        output.Free();
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        platform::machine_shutdown();
    }

    static std::vector<UCHAR> counting(size_t n, UCHAR first = 1)
    {
        std::vector<UCHAR> bytes(n);
        std::iota(bytes.begin(), bytes.end(), first);
        return bytes;
    }

    CAsioFifo input{TRUE};
    CAsioFifo output{FALSE};
};

TEST_F(AsioFifoTest, StrictReadUnderrunIsDroppedFromTheNextWrite)
{
    ASSERT_EQ(STATUS_SUCCESS, output.Allocate(4, 50, 0, NonPagedPoolNx));
    output.Start();
    const auto first = counting(60);
    ASSERT_EQ(60u, output.Write(first.data(), 60, FALSE));
    std::vector<UCHAR> out(100, 0xEE);
    EXPECT_EQ(60u, output.Read(out.data(), 100, FALSE));
    EXPECT_EQ(-40, output.BalanceBytes());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
    EXPECT_EQ(0xEE, out[60]) << "a short read leaves the rest of the destination alone";

    const auto second = counting(100, 101);
    EXPECT_EQ(100u, output.Write(second.data(), 100, FALSE));
    EXPECT_EQ(0, output.BalanceBytes());
    EXPECT_EQ(60u, output.Fill());
    std::vector<UCHAR> stored(60);
    EXPECT_EQ(60u, output.Read(stored.data(), 60, FALSE));
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), second.begin())) << "the last 40 bytes are the dropped ones";
}

// The output FIFO pays an overflow only once the data it holds has gone: a full FIFO whose
// reader cannot keep up keeps playing its data (the writer gets short WRITEs) instead of
// sending fill while its data waits, which would keep it full and silent for good.
TEST_F(AsioFifoTest, StrictWriteOverflowIsPaddedOnceTheOutputHasNoData)
{
    ASSERT_EQ(STATUS_SUCCESS, output.Allocate(2, 50, 0x96, NonPagedPoolNx));
    output.Start();
    const auto filler = counting(70, 200);
    ASSERT_EQ(70u, output.Write(filler.data(), 70, FALSE));
    const auto data = counting(100);
    EXPECT_EQ(30u, output.Write(data.data(), 100, FALSE));
    EXPECT_EQ(70, output.BalanceBytes());
    std::vector<UCHAR> out(60, 0xEE);
    ASSERT_EQ(60u, output.Read(out.data(), 60, FALSE));
    EXPECT_TRUE(std::equal(filler.begin(), filler.begin() + 60, out.begin())) << "data first";
    EXPECT_EQ(70, output.BalanceBytes());
    const auto more = counting(20, 150);
    EXPECT_EQ(20u, output.Write(more.data(), 20, FALSE)) << "room again: stored behind the data";
    std::vector<UCHAR> rest(140, 0xEE);
    ASSERT_EQ(130u, output.Read(rest.data(), 140, FALSE));
    EXPECT_TRUE(std::equal(filler.begin() + 60, filler.end(), rest.begin()));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 30, rest.begin() + 10));
    EXPECT_TRUE(std::equal(more.begin(), more.end(), rest.begin() + 40));
    EXPECT_EQ(std::vector<UCHAR>(70, 0x96), std::vector<UCHAR>(rest.begin() + 60, rest.begin() + 130))
        << "then the lost bytes as fill";
    EXPECT_EQ(0u, output.Fill());
    EXPECT_EQ(-10, output.BalanceBytes()) << "and the shortfall past them is booked";
}

// The input FIFO pays its overflow ahead of its data.
TEST_F(AsioFifoTest, InputBalancePadsWithFillBytesBeforeData)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(2, 50, 0x96, NonPagedPoolNx));
    input.Start();
    std::vector<UCHAR> full(100, 0x11);
    ASSERT_EQ(100u, input.Write(full.data(), 100, FALSE));
    const auto data = counting(30);
    ASSERT_EQ(0u, input.Write(data.data(), 30, FALSE)) << "nothing stored, the overflow is booked";
    EXPECT_EQ(30, input.BalanceBytes());
    std::vector<UCHAR> out(100);
    EXPECT_EQ(100u, input.Read(out.data(), 100, FALSE));
    EXPECT_EQ(std::vector<UCHAR>(30, 0x96), std::vector<UCHAR>(out.begin(), out.begin() + 30));
    EXPECT_EQ(std::vector<UCHAR>(70, 0x11), std::vector<UCHAR>(out.begin() + 30, out.end()));
}

TEST_F(AsioFifoTest, WrapAroundKeepsTheByteOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(1, 10, 0, NonPagedPoolNx));
    input.Start();
    std::vector<UCHAR> all;
    std::vector<UCHAR> got;
    for (int round = 0; round < 7; ++round) {
        const auto chunk = counting(7, static_cast<UCHAR>(round * 7));
        ASSERT_EQ(7u, input.Write(chunk.data(), 7, TRUE));
        all.insert(all.end(), chunk.begin(), chunk.end());
        std::vector<UCHAR> out(7);
        ASSERT_EQ(7u, input.Read(out.data(), 7, TRUE));
        got.insert(got.end(), out.begin(), out.end());
    }
    EXPECT_EQ(all, got);
    EXPECT_EQ(0, input.BalanceBytes());
}

TEST_F(AsioFifoTest, PartialTransfersBookNothing)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(4, 4, 0, NonPagedPoolNx));
    input.Start();
    std::vector<UCHAR> big(40, 1);
    EXPECT_EQ(16u, input.Write(big.data(), 40, TRUE));
    EXPECT_EQ(16u, input.Read(big.data(), 40, TRUE));
    EXPECT_EQ(0, input.BalanceBytes());
}

TEST_F(AsioFifoTest, HostileSizesAreRefusedNotWrapped)
{
    struct row {
        ULONG frame_bytes;
        ULONG64 frames;
        NTSTATUS expected;
    } rows[] = {
        {8, 0, STATUS_INVALID_PARAMETER},
        {0, 64, STATUS_INVALID_PARAMETER},
        {8, 3ull * 0x60000000, STATUS_INVALID_PARAMETER},
        {8, 3ull * 0xFFFFFFFF, STATUS_INVALID_PARAMETER},
        {1, 0xFFFFFFFF, STATUS_INVALID_PARAMETER}, // the round-up to 4 would wrap to 0
        {8, 0x20000000, STATUS_INVALID_PARAMETER}, // exactly 4 GiB
        {3, 5, STATUS_SUCCESS},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.frame_bytes << " x " << r.frames);
        EXPECT_EQ(r.expected, input.Allocate(r.frame_bytes, r.frames, 0, NonPagedPoolNx));
        EXPECT_EQ(NT_SUCCESS(r.expected) ? r.frame_bytes * r.frames : 0u, input.Size());
        input.Free();
    }
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
}

TEST_F(AsioFifoTest, SecondAllocateIsRefused)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(4, 4, 0, NonPagedPoolNx));
    platform::trace_capture capture(&OVMLSAAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, input.Allocate(4, 8, 0, NonPagedPoolNx));
    EXPECT_EQ(16u, input.Size());
    const auto records = capture.records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                            [](const platform::trace_record &r) { return r.level == TRACE_LEVEL_ERROR; }));
}

TEST_F(AsioFifoTest, UnallocatedFifoTakesGivesAndStartsNothing)
{
    UCHAR bytes[8] = {};
    input.Start();
    output.Start();
    EXPECT_FALSE(input.IsStarted());
    EXPECT_EQ(0u, input.Write(bytes, 8, FALSE));
    EXPECT_EQ(0u, output.Read(bytes, 8, FALSE));
    input.Skip(100);
    EXPECT_EQ(0, input.BalanceBytes());
    EXPECT_EQ(0, output.BalanceBytes());
}

TEST_F(AsioFifoTest, AllocateStartsEveryRunFieldAfresh)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(4, 4, 0, NonPagedPoolNx));
    input.Start();
    UCHAR bytes[40] = {};
    input.Write(bytes, 40, FALSE);
    input.Free();
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(4, 8, 0, NonPagedPoolNx));
    EXPECT_FALSE(input.IsStarted());
    EXPECT_EQ(0u, input.Fill());
    EXPECT_EQ(0, input.BalanceBytes());
}

TEST_F(AsioFifoTest, StoppedFifosFollowTheirDirection)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(1, 16, 0, NonPagedPoolNx));
    ASSERT_EQ(STATUS_SUCCESS, output.Allocate(1, 16, 0, NonPagedPoolNx));
    UCHAR bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0u, input.Write(bytes, 8, FALSE)) << "a stopped input takes no capture data";
    EXPECT_EQ(8u, output.Write(bytes, 8, FALSE)) << "an output always accepts";
    EXPECT_EQ(0u, output.Read(bytes, 8, FALSE)) << "a stopped output gives nothing";
    EXPECT_EQ(0, output.BalanceBytes());
}

TEST_F(AsioFifoTest, PrefillAndResetUseTheFillByte)
{
    ASSERT_EQ(STATUS_SUCCESS, output.Allocate(2, 8, 0x96, NonPagedPoolNx));
    output.Prefill(6);
    output.Start();
    UCHAR data[4] = {1, 2, 3, 4};
    output.Write(data, 4, FALSE);
    std::vector<UCHAR> out(10);
    ASSERT_EQ(10u, output.Read(out.data(), 10, FALSE));
    EXPECT_EQ((std::vector<UCHAR>{0x96, 0x96, 0x96, 0x96, 0x96, 0x96, 1, 2, 3, 4}), out);
    output.Reset();
    EXPECT_FALSE(output.IsStarted());
    EXPECT_EQ(6u, output.Fill());
    output.Prefill(1000);
    EXPECT_EQ(16u, output.Fill()) << "a prefill above the size is the size";
}

TEST_F(AsioFifoTest, BalanceSaturatesInsteadOfWrapping)
{
    ASSERT_EQ(STATUS_SUCCESS, output.Allocate(8, 16, 0, NonPagedPoolNx));
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(8, 16, 0, NonPagedPoolNx));
    input.Start();
    output.Skip(0xFFFFFFFF);
    EXPECT_EQ(0x7FFFFFFF, output.BalanceBytes());
    output.Skip(0xFFFFFFFF);
    EXPECT_EQ(0x7FFFFFFF, output.BalanceBytes());
    input.Skip(0xFFFFFFFF);
    input.Skip(0xFFFFFFFF);
    EXPECT_EQ(-0x7FFFFFFF, input.BalanceBytes());
    UCHAR data[8] = {};
    EXPECT_EQ(8u, input.Write(data, 8, FALSE)) << "dropped against the balance";
    EXPECT_EQ(-0x7FFFFFFF + 8, input.BalanceBytes());
}

TEST_F(AsioFifoTest, BalanceMovesTheSmallerDebtAcrossInFrames)
{
    ASSERT_EQ(STATUS_SUCCESS, input.Allocate(4, 4, 0, NonPagedPoolNx));  // 16 bytes, 4-byte frames
    ASSERT_EQ(STATUS_SUCCESS, output.Allocate(8, 4, 0, NonPagedPoolNx)); // 32 bytes, 8-byte frames
    input.Start();
    output.Start();
    std::vector<UCHAR> bytes(200);
    input.Write(bytes.data(), 16, FALSE);
    input.Write(bytes.data(), 40, FALSE); // +40: 10 input frames lost
    output.Read(bytes.data(), 48, FALSE); // -48: 6 output frames missed
    CAsioFifo::Balance(input, output);
    EXPECT_EQ(40 - 6 * 4, input.BalanceBytes());
    EXPECT_EQ(0, output.BalanceBytes());

    CAsioFifo::Balance(input, output);
    EXPECT_EQ(16, input.BalanceBytes()) << "nothing while both are within their sizes";
}

} // namespace
