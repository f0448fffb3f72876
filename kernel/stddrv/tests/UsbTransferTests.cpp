// Isochronous transfers of the USB layer on the simulated bus: render transfers cut by the
// packet pattern, the 80-packet limit, capture packets packed on completion, failed transfers
// and pipe requests, surprise removal, and the pooled IRPs a steady stream reuses.
#include "UsbTestBench.h"
#include <algorithm>
#include <numeric>
#include <platform/pool.h>
#include "StdPoolTags.h"
#include "USBPacketPattern.h"

namespace usb_test {
namespace {

constexpr NTSTATUS NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr ULONG RENDER = 0;
constexpr ULONG CAPTURE = 1;
constexpr std::uint8_t POISON = 0xEE;

class UsbTransferTest : public UsbLayerTest {
protected:
    void start_class1(sim::audio_device_options options = {})
    {
        start_model(sim::build_uac1_device(sim::standard_uac1_options()), std::move(options));
    }
    void start_class2(sim::audio_device_options options = {})
    {
        start_model(sim::build_uac2_device(sim::standard_uac2_options(1)), std::move(options));
    }
    ULONG select(ULONG direction, ULONG rate, ULONG milliseconds)
    {
        ULONG bytes = 0;
        EXPECT_EQ(audio->SelectStreamingFormat(direction, 2, 16, rate, milliseconds, &bytes), STATUS_SUCCESS);
        return bytes;
    }
    void expect_all_returned()
    {
        EXPECT_EQ(audio->OutstandingRequests(), 0);
        EXPECT_EQ(audio->IrpsAllocated(), USBCL_IRP_COUNT) << "completions give their IRPs back to the list";
    }

    std::vector<std::vector<std::uint8_t>> buffers;

    std::uint8_t *buffer(size_t size)
    {
        buffers.emplace_back(size, POISON);
        return buffers.back().data();
    }
};

TEST_F(UsbTransferTest, Render44100AtFullSpeedFollowsThePatternInTwoMillisecondTransfers)
{
    start_class1();
    select(RENDER, 44100, 2);
    const ULONG expected[] = {352, 352, 356, 352, 352, 352, 352, 356, 352, 352};
    ULONG total = 0;
    for (ULONG i = 0; i < RTL_NUMBER_OF(expected); ++i) {
        SCOPED_TRACE(testing::Message() << "transfer " << i);
        ULONG bytes = audio->GetRenderBytesPerTransfer(2);
        EXPECT_EQ(bytes, expected[i]);
        EXPECT_EQ(audio->GetRenderBytesPerTransfer(2), bytes) << "asking does not move the pattern";
        ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(bytes), bytes, record_completion, this), STATUS_SUCCESS);
        EXPECT_EQ(audio->GetRenderPatternPosition(), (2 * (i + 1)) % 10) << "the position wraps every 10 packets";
        total += bytes;
    }
    run_until_completions(RTL_NUMBER_OF(expected));
    for (ULONG i = 0; i < RTL_NUMBER_OF(expected); ++i) {
        EXPECT_EQ(completions[i].status, STATUS_SUCCESS);
        EXPECT_EQ(completions[i].bytes, expected[i]);
    }
    EXPECT_EQ(model->counters().out_bytes, total);
    EXPECT_EQ(model->counters().out_packets, 20u);
    EXPECT_EQ(model->counters().out_invalid, 0u) << "every packet carries whole frames";
    EXPECT_EQ(bus.counters().malformed_urbs, 0u);
    expect_all_returned();
}

TEST_F(UsbTransferTest, Render44100AtHighSpeedCarries441FramesPerTenMilliseconds)
{
    start_class2();
    select(RENDER, 44100, 1);
    const USB_PACKET_PATTERN_ROW *row = UsbFindPacketPattern(44100);
    ASSERT_NE(row, nullptr);
    ASSERT_EQ(row->HighSpeedLength, 80u);
    const ULONG begins[] = {6, 6, 5, 6, 5, 6, 5};
    for (ULONG i = 0; i < RTL_NUMBER_OF(begins); ++i) {
        EXPECT_EQ(row->HighSpeedEntries[i], begins[i]);
    }
    ULONG total = 0;
    for (ULONG i = 0; i < 10; ++i) {
        ULONG bytes = audio->GetRenderBytesPerTransfer(1);
        ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(bytes), bytes, record_completion, this), STATUS_SUCCESS);
        total += bytes;
    }
    EXPECT_EQ(total, 441u * 4u);
    EXPECT_EQ(audio->GetRenderPatternPosition(), 0u);
    run_until_completions(10);
    EXPECT_EQ(model->counters().out_packets, 80u);
    EXPECT_EQ(model->counters().out_invalid, 0u);
    EXPECT_EQ(bus.counters().malformed_urbs, 0u);
}

TEST_F(UsbTransferTest, RenderTransfersStayWithinEightyPackets)
{
    start_class2();
    select(RENDER, 48000, 10);
    {
        SCOPED_TRACE("10 ms at high speed: 80 packets");
        ULONG bytes = audio->GetRenderBytesPerTransfer(10);
        EXPECT_EQ(bytes, 80u * 6u * 4u);
        ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(bytes), bytes, record_completion, this), STATUS_SUCCESS);
        run_until_completions(1);
        EXPECT_EQ(completions[0].status, STATUS_SUCCESS);
        EXPECT_EQ(completions[0].bytes, bytes);
        EXPECT_EQ(model->counters().out_packets, 80u);
    }
    {
        SCOPED_TRACE("11 ms does not fit one URB");
        ULONG bytes = audio->GetRenderBytesPerTransfer(11);
        EXPECT_EQ(audio->BuildRenderIsochUrb(buffer(bytes), bytes, record_completion, this), STATUS_INVALID_PARAMETER);
        bus.advance(20);
        EXPECT_EQ(completions.size(), 1u) << "nothing was sent, so no callback follows";
    }
    EXPECT_EQ(audio->BuildRenderIsochUrb(buffer(4), 0, record_completion, this), STATUS_INVALID_PARAMETER);
    expect_all_returned();
}

TEST_F(UsbTransferTest, ShortHighSpeedRenderTransferIsPaddedToAWholeFrame)
{
    start_class2();
    select(RENDER, 44100, 1);
    // Three packets' worth (6 + 6 + 5 frames); the transfer still spans eight microframes and
    // the pattern moves past all eight.
    ULONG bytes = 17 * 4;
    ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(bytes), bytes, record_completion, this), STATUS_SUCCESS);
    EXPECT_EQ(audio->GetRenderPatternPosition(), 8u);
    run_until_completions(1);
    EXPECT_EQ(completions[0].status, STATUS_SUCCESS);
    EXPECT_EQ(completions[0].bytes, bytes);
    EXPECT_EQ(model->counters().out_packets, 8u);
    EXPECT_EQ(model->counters().out_bytes, bytes);
    EXPECT_EQ(bus.counters().malformed_urbs, 0u);
}

TEST_F(UsbTransferTest, TransfersWithoutASelectedFormatAreRefused)
{
    start_class1();
    EXPECT_EQ(audio->GetRenderBytesPerTransfer(2), 0u);
    EXPECT_EQ(audio->BuildRenderIsochUrb(buffer(64), 64, record_completion, this), NOT_SUPPORTED);
    EXPECT_EQ(audio->BuildCaptureIsochUrb(buffer(64), 64, record_completion, this), NOT_SUPPORTED);
    bus.advance(5);
    EXPECT_TRUE(completions.empty());
}

TEST_F(UsbTransferTest, CaptureTransferWithAShortPacketIsDeliveredPacked)
{
    sim::audio_device_options options;
    options.capture = sim::capture_source::pattern;
    start_class1(options);
    ULONG length = select(CAPTURE, 48000, 4);
    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(CAPTURE);
    ASSERT_NE(capture->Pipe, nullptr);
    ASSERT_GT(capture->Pipe->MaximumPacketSize, 48u * 4u) << "packets have room to spare";
    model->inject_capture_fault(1, {sim::capture_fault_kind::zero_length, 0});
    std::uint8_t *data = buffer(length);
    ASSERT_EQ(audio->BuildCaptureIsochUrb(data, length, record_completion, this), STATUS_SUCCESS);
    run_until_completions(1);
    ASSERT_EQ(completions[0].status, STATUS_SUCCESS);
    ULONG bytes = completions[0].bytes;
    EXPECT_EQ(bytes, model->counters().in_bytes) << "the sum of the packets' lengths";
    EXPECT_EQ(bytes, 3u * 48u * 4u);
    // The samples count up by one, except once where the empty packet's frames are missing.
    ULONG jumps = 0;
    for (ULONG at = 2; at + 1 < bytes; at += 2) {
        std::uint16_t previous = static_cast<std::uint16_t>(data[at - 2] | data[at - 1] << 8);
        std::uint16_t sample = static_cast<std::uint16_t>(data[at] | data[at + 1] << 8);
        if (sample != static_cast<std::uint16_t>(previous + 1)) {
            ++jumps;
        }
    }
    EXPECT_EQ(jumps, 1u);
    expect_all_returned();
}

TEST_F(UsbTransferTest, CaptureTransferOfMoreThanEightyPacketsIsRefused)
{
    start_class2();
    select(CAPTURE, 48000, 10);
    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(CAPTURE);
    ULONG length = 81u * capture->Pipe->MaximumPacketSize;
    EXPECT_EQ(audio->BuildCaptureIsochUrb(buffer(length), length, record_completion, this), STATUS_INVALID_PARAMETER);
    ULONG fits = 80u * capture->Pipe->MaximumPacketSize;
    EXPECT_EQ(audio->BuildCaptureIsochUrb(buffer(fits), fits, record_completion, this), STATUS_SUCCESS);
    run_until_completions(1);
    EXPECT_EQ(completions[0].status, STATUS_SUCCESS);
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(UsbTransferTest, FailedTransferReportsNoBytesAndStreamsAgainAfterAPipeReset)
{
    start_class2();
    ULONG bytes = select(RENDER, 48000, 1);
    ASSERT_GT(bytes, 0u);
    PUSBD_PIPE_INFORMATION pipe = audio->GetStreamPipe(RENDER);
    ASSERT_NE(pipe, nullptr);
    port->fail_transfers(sim::uac2_ids::render_data_ep, 1);
    ULONG length = audio->GetRenderBytesPerTransfer(1);
    ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(length), length, record_completion, this), STATUS_SUCCESS);
    run_until_completions(1);
    EXPECT_FALSE(NT_SUCCESS(completions[0].status));
    EXPECT_EQ(completions[0].bytes, 0u);

    EXPECT_EQ(audio->AbortPipe(pipe), STATUS_SUCCESS);
    EXPECT_EQ(audio->ResetPipe(pipe), STATUS_SUCCESS);
    ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(length), length, record_completion, this), STATUS_SUCCESS);
    run_until_completions(2);
    EXPECT_EQ(completions[1].status, STATUS_SUCCESS);
    EXPECT_EQ(completions[1].bytes, length);
    expect_all_returned();
}

TEST_F(UsbTransferTest, PipeRequestsCheckTheirArgumentsAndIrql)
{
    start_class2();
    select(CAPTURE, 48000, 1);
    PUSBD_PIPE_INFORMATION pipe = audio->GetStreamPipe(CAPTURE);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(audio->ResetPipe(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->AbortPipe(nullptr), STATUS_INVALID_PARAMETER);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS reset = audio->ResetPipe(pipe);
    NTSTATUS abort = audio->AbortPipe(pipe);
    KeLowerIrql(old);
    EXPECT_EQ(reset, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(abort, STATUS_UNSUCCESSFUL);
}

TEST_F(UsbTransferTest, AbortCompletesPendingCaptureTransfersWithoutData)
{
    start_class2();
    ULONG length = select(CAPTURE, 48000, 2);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(audio->BuildCaptureIsochUrb(buffer(length), length, record_completion, this), STATUS_SUCCESS);
    }
    EXPECT_EQ(audio->OutstandingRequests(), 3);
    EXPECT_EQ(audio->AbortPipe(audio->GetStreamPipe(CAPTURE)), STATUS_SUCCESS);
    run_until_completions(3);
    for (const usb_completion &c : completions) {
        EXPECT_FALSE(NT_SUCCESS(c.status));
        EXPECT_EQ(c.bytes, 0u);
    }
    expect_all_returned();
}

TEST_F(UsbTransferTest, SurpriseRemovalFailsPendingAndNewTransfers)
{
    start_class1();
    ULONG capture = select(CAPTURE, 48000, 2);
    select(RENDER, 48000, 2);
    ULONG render = audio->GetRenderBytesPerTransfer(2);
    ASSERT_EQ(audio->BuildCaptureIsochUrb(buffer(capture), capture, record_completion, this), STATUS_SUCCESS);
    ASSERT_EQ(audio->BuildRenderIsochUrb(buffer(render), render, record_completion, this), STATUS_SUCCESS);
    bus.disconnect(port);
    run_until_completions(2);
    for (const usb_completion &c : completions) {
        EXPECT_FALSE(NT_SUCCESS(c.status));
        EXPECT_EQ(c.bytes, 0u);
    }
    // A submission after the removal is sent and fails through the callback.
    NTSTATUS status = audio->BuildCaptureIsochUrb(buffer(capture), capture, record_completion, this);
    if (NT_SUCCESS(status)) {
        run_until_completions(3);
        EXPECT_FALSE(NT_SUCCESS(completions[2].status));
        EXPECT_EQ(completions[2].bytes, 0u);
    }
    expect_all_returned();
}

// A stream that resubmits from its completions, as the adapter's engine does.
struct resubmitting_stream {
    struct slot {
        resubmitting_stream *owner;
        std::vector<std::uint8_t> data;
    };
    CUSBAudioCL *audio;
    slot slots[4];
    ULONG completed = 0;
    ULONG failures = 0;
    ULONG wanted = 0;

    NTSTATUS submit(slot &s)
    {
        ULONG length = audio->GetRenderBytesPerTransfer(1);
        return audio->BuildRenderIsochUrb(s.data.data(), length, done, &s);
    }

    static VOID done(NTSTATUS status, ULONG bytes, PVOID context)
    {
        auto s = static_cast<slot *>(context);
        resubmitting_stream *self = s->owner;
        ++self->completed;
        self->failures += NT_SUCCESS(status) ? 0 : 1;
        if (self->completed + RTL_NUMBER_OF(self->slots) <= self->wanted && !NT_SUCCESS(self->submit(*s))) {
            ++self->failures;
        }
    }
};

TEST_F(UsbTransferTest, SteadyStreamReusesItsPooledIrpsAndAllocatesNothingPerTransfer)
{
    start_class2();
    select(RENDER, 44100, 1);
    resubmitting_stream stream{audio.get()};
    stream.wanted = 200;
    for (auto &slot : stream.slots) {
        slot.owner = &stream;
        slot.data.assign(1024, 0);
        ASSERT_EQ(stream.submit(slot), STATUS_SUCCESS);
    }
    for (int frame = 0; frame < 400 && stream.completed < 20; ++frame) {
        bus.advance(1);
    }
    ULONG blocksAtStart = platform::pool_outstanding_blocks(STD_TAG);
    for (int frame = 0; frame < 2000 && stream.completed < stream.wanted; ++frame) {
        bus.advance(1);
    }
    EXPECT_EQ(stream.completed, stream.wanted);
    EXPECT_EQ(stream.failures, 0u);
    EXPECT_EQ(platform::pool_outstanding_blocks(STD_TAG), blocksAtStart);
    expect_all_returned();
}

} // namespace
} // namespace usb_test
