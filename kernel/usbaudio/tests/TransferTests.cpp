// Render and capture transfers: transfer sizes and packet layouts from the packet pattern,
// from feedback (with its carry and the high-speed padding), from the captured amount, the
// length-prefixed device, the synced start frame, the packet-count guard, and capture on a
// bulk data endpoint.
#include "UsbAudioTestFixture.h"
#include "UsbAudioQuirks.h"
#include <cstring>

namespace usbaudio_test {
namespace {

constexpr ULONG TEST_TAG = 'tsTA';

struct sent_urb {
    ULONG flags;
    ULONG start_frame;
    ULONG length;
    bool has_mdl;
    std::vector<std::pair<ULONG, ULONG>> packets; // offset, length
    bytes data;                                   // the bounce buffer, when there is one
};

struct completion {
    int calls = 0;
    NTSTATUS status = 0;
    ULONG bytes = 0;
    ULONG frames = 0;
};

VOID record_completion(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG frames)
{
    auto c = static_cast<completion *>(context);
    ++c->calls;
    c->status = status;
    c->bytes = bytes;
    c->frames = frames;
}

ULONG le32_at(const bytes &data, size_t at)
{
    return data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (static_cast<ULONG>(data[at + 3]) << 24);
}

class TransferTest : public UsbAudioTest {
protected:
    void TearDown() override
    {
        if (mdl != nullptr) {
            IoFreeMdl(mdl);
            ExFreePoolWithTag(memory, TEST_TAG);
        }
        UsbAudioTest::TearDown();
    }
    // Starts a render-only device, selects 2 channels at the rate and hooks the transfers.
    void start_render(uac2_layout layout, ULONG bits, ULONG rate, bytes device = device_descriptor(0x3A51, 0x0102))
    {
        layout.capture = false;
        start_configured(uac2_config(layout), layout.high_speed, std::move(device));
        clock_answers(0x28, rate, {{44100, 44100, 0}, {48000, 48000, 0}});
        ULONG channels = 0, container = 0, largest = 0;
        ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, bits, rate, 8, &channels, &container, &largest),
                  STATUS_SUCCESS);
        audio->m_ImplicitFeedback = FALSE;
        ASSERT_FALSE(audio->IsImplicitFeedbackMode());
        memory = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 65536, TEST_TAG));
        ASSERT_NE(memory, nullptr);
        for (ULONG i = 0; i < 65536; ++i) {
            memory[i] = static_cast<UCHAR>(i * 7);
        }
        mdl = IoAllocateMdl(memory, 65536, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        lower->on_transfer = [this](PURB urb) {
            const struct _URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
            sent_urb s = {iso.TransferFlags, iso.StartFrame, iso.TransferBufferLength, iso.TransferBufferMDL != nullptr,
                          {}, {}};
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                s.packets.emplace_back(iso.IsoPacket[i].Offset, iso.IsoPacket[i].Length);
            }
            if (iso.TransferBuffer != nullptr) {
                auto p = static_cast<const std::uint8_t *>(iso.TransferBuffer);
                s.data.assign(p, p + iso.TransferBufferLength);
            }
            EXPECT_EQ(urb->UrbHeader.Length, 152u + 12u * iso.NumberOfPackets);
            sent.push_back(std::move(s));
            return STATUS_SUCCESS;
        };
    }
    NTSTATUS submit(ULONG bytes, ULONG ms)
    {
        return audio->SubmitRenderTransfer(mdl, bytes, ms, record_completion, &done);
    }
    static std::vector<ULONG> offsets(const sent_urb &s)
    {
        std::vector<ULONG> out;
        for (auto &p : s.packets) {
            out.push_back(p.first);
        }
        return out;
    }
    static std::vector<ULONG> lengths(const sent_urb &s)
    {
        std::vector<ULONG> out;
        for (auto &p : s.packets) {
            out.push_back(p.second);
        }
        return out;
    }

    PUCHAR memory = nullptr;
    PMDL mdl = nullptr;
    std::vector<sent_urb> sent;
    completion done;
};

TEST_F(TransferTest, PatternAt44100FullSpeedFollowsTheCycleAcrossTransfers)
{
    uac2_layout layout;
    layout.high_speed = false;
    layout.feedback = false;
    start_render(layout, 16, 44100);
    ULONG bytes = audio->GetRenderBytesPerTransfer(8, 0);
    EXPECT_EQ(bytes, 1412u);
    ASSERT_EQ(submit(bytes, 8), STATUS_SUCCESS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].flags, ULONG(USBD_START_ISO_TRANSFER_ASAP));
    EXPECT_TRUE(sent[0].has_mdl);
    EXPECT_EQ(sent[0].length, 1412u);
    EXPECT_EQ(lengths(sent[0]), (std::vector<ULONG>{180, 176, 176, 176, 176, 176, 176, 176}));
    EXPECT_EQ(offsets(sent[0]), (std::vector<ULONG>{0, 180, 356, 532, 708, 884, 1060, 1236}));
    EXPECT_EQ(audio->m_PatternPosition, 8u);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.bytes, 1412u);
    EXPECT_EQ(done.frames, 8u);

    // Positions 8, 9, then 0 (45) and 1..5.
    bytes = audio->GetRenderBytesPerTransfer(8, 0);
    EXPECT_EQ(bytes, 1412u);
    ASSERT_EQ(submit(bytes, 8), STATUS_SUCCESS);
    EXPECT_EQ(lengths(sent[1]), (std::vector<ULONG>{176, 176, 180, 176, 176, 176, 176, 176}));
    EXPECT_EQ(audio->m_PatternPosition, 6u);
}

TEST_F(TransferTest, PatternAt48000HighSpeedGivesSixFramesPerMicroframe)
{
    uac2_layout layout;
    layout.feedback = false;
    start_render(layout, 16, 48000);
    ULONG bytes = audio->GetRenderBytesPerTransfer(2, 0);
    ASSERT_EQ(bytes, 16u * 24u);
    ASSERT_EQ(submit(bytes, 2), STATUS_SUCCESS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(lengths(sent[0]), std::vector<ULONG>(16, 24));
    EXPECT_EQ(done.frames, 2u);
}

TEST_F(TransferTest, FeedbackCarryAddsAFrameWhenItOverflows)
{
    uac2_layout layout;
    layout.high_speed = false;
    start_render(layout, 16, 44100);
    audio->m_pRender->FeedbackValueInUse = 0x2C1999;
    audio->m_pRender->FeedbackCarry = 0;
    for (ULONG i = 0; i < 11; ++i) {
        SCOPED_TRACE(i);
        ULONG bytes = audio->GetRenderBytesPerTransfer(1, 0x2C1999);
        ULONG frames = i < 10 ? 44 : 45;
        ASSERT_EQ(bytes, frames * 4);
        ASSERT_EQ(audio->SubmitRenderTransferSynced(mdl, bytes, 1, record_completion, &done, 1000 + i), STATUS_SUCCESS);
        EXPECT_EQ(sent.back().flags, 0u);
        EXPECT_EQ(sent.back().start_frame, 1000 + i);
        EXPECT_EQ(lengths(sent.back()), std::vector<ULONG>{frames * 4});
        EXPECT_EQ(audio->m_pRender->FeedbackCarry, ((i + 1) * 0x1999) & 0xFFFF);
    }
}

TEST_F(TransferTest, FeedbackOfZeroOrTooLongATransferIsRefusedBeforeAnyUrb)
{
    uac2_layout layout;
    layout.high_speed = false;
    start_render(layout, 16, 44100);
    audio->m_pRender->FeedbackValueInUse = 0;
    EXPECT_EQ(submit(176, 1), STATUS_INVALID_PARAMETER);
    audio->m_pRender->FeedbackValueInUse = 0x2C0000;
    EXPECT_EQ(submit(176 * 65, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(submit(176 * 64, 1), STATUS_SUCCESS);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(submit(0, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->SubmitRenderTransfer(nullptr, 176, 1, record_completion, &done), STATUS_INVALID_PARAMETER);
}

TEST_F(TransferTest, HighSpeedFeedbackPadsToWholeFramesWithEvenlySpreadOffsets)
{
    start_render(uac2_layout{}, 16, 48000);
    audio->m_pRender->FeedbackValueInUse = 0x60000;
    audio->m_pRender->FeedbackCarry = 0x1234;
    ASSERT_EQ(submit(6 * 4, 1), STATUS_SUCCESS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 24u);
    EXPECT_EQ(offsets(sent[0]), (std::vector<ULONG>{0, 4, 8, 12, 16, 20, 24, 24}));
    EXPECT_EQ(lengths(sent[0]), std::vector<ULONG>(8, 0));
    EXPECT_EQ(audio->m_pRender->FeedbackCarry, 0x1234u);

    // A whole millisecond is not padded and takes the lengths from the value.
    ASSERT_EQ(submit(8 * 24, 1), STATUS_SUCCESS);
    EXPECT_EQ(lengths(sent[1]), std::vector<ULONG>(8, 24));
}

TEST_F(TransferTest, ImplicitModeSizesPacketsFromTheCapturedAmount)
{
    uac2_layout layout;
    layout.high_speed = false;
    layout.feedback = false;
    start_render(layout, 24, 48000);
    ASSERT_EQ(audio->m_pRender->NominalPacketBytes, 384u);
    audio->m_ImplicitFeedback = TRUE;
    ASSERT_EQ(submit(3064, 8), STATUS_SUCCESS);
    EXPECT_EQ(lengths(sent.back()), (std::vector<ULONG>{384, 384, 384, 384, 384, 384, 384, 376}));
    ASSERT_EQ(submit(3080, 8), STATUS_SUCCESS);
    EXPECT_EQ(lengths(sent.back()), (std::vector<ULONG>{392, 384, 384, 384, 384, 384, 384, 384}));
    // Far off the nominal amount: whole nominal packets, the last one cut.
    ASSERT_EQ(submit(3072 + 8 * 9, 8), STATUS_SUCCESS);
    EXPECT_EQ(lengths(sent.back()), (std::vector<ULONG>{384, 384, 384, 384, 384, 384, 384, 384, 72}));
    size_t count = sent.size();
    EXPECT_EQ(submit(384 * 65, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sent.size(), count);
}

// Implicit feedback at high speed: the render endpoint takes one packet per P microframes, so
// a transfer of T ms has T x 8 / P packets; P comes from the render data endpoint also when
// the implicit variant selects the format.
class ImplicitIntervalTest : public TransferTest, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(ImplicitIntervalTest, OnePacketPerRenderIntervalAtHighSpeed)
{
    uac2_layout layout;
    layout.data_interval = GetParam();
    layout.feedback = false;
    start_render(layout, 16, 48000);
    ULONG channels = 0, container = 0, nominal = 0, largest = 0;
    LONG below = 0, above = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, 0, 0, 0, 0, 0, &channels, &container, &largest), STATUS_SUCCESS);
    ASSERT_EQ(audio->m_RenderPacketInterval, 1u);
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 2, &channels, &container, &nominal,
                                           &below, &above, &largest),
              STATUS_SUCCESS);
    const ULONG p = 1u << (GetParam() - 1);
    EXPECT_EQ(audio->m_RenderPacketInterval, p);
    EXPECT_EQ(nominal, 2u * 48u * 4u);
    audio->m_ImplicitFeedback = TRUE;
    ASSERT_EQ(submit(nominal, 2), STATUS_SUCCESS);
    EXPECT_EQ(lengths(sent.back()), std::vector<ULONG>(2 * 8 / p, 6 * p * 4));
    // One frame above nominal: a maximum packet first.
    ASSERT_EQ(submit(nominal + 4, 2), STATUS_SUCCESS);
    std::vector<ULONG> expected(2 * 8 / p, 6 * p * 4);
    expected[0] += 4;
    EXPECT_EQ(lengths(sent.back()), expected);
}

INSTANTIATE_TEST_SUITE_P(RenderIntervals, ImplicitIntervalTest, ::testing::Values(2, 4));

TEST_F(TransferTest, LengthPrefixedPacketsCarryTheirByteCount)
{
    uac2_layout layout;
    layout.high_speed = false;
    layout.feedback = false;
    layout.interface_class = 0xFF;
    start_render(layout, 24, 48000, device_descriptor(USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.VendorId, USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.ProductId));
    ASSERT_TRUE(audio->HasLengthPrefixedRender());
    ASSERT_EQ(submit(3072, 8), STATUS_SUCCESS);
    ASSERT_EQ(sent.size(), 1u);
    const sent_urb &s = sent[0];
    EXPECT_FALSE(s.has_mdl);
    EXPECT_EQ(s.length, 3072u + 32u);
    ASSERT_EQ(s.data.size(), 3104u);
    for (ULONG i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s.packets[i], std::make_pair(i * 388, 388u));
        EXPECT_EQ(le32_at(s.data, i * 388), 384u);
        EXPECT_EQ(std::memcmp(&s.data[i * 388 + 4], memory + i * 384, 384), 0);
    }
    EXPECT_EQ(done.bytes, 3072u); // the audio, without the prefixes
}

TEST_F(TransferTest, LengthPrefixedHighSpeedLaysOutTheLastPaddingPacket)
{
    uac2_layout layout;
    layout.feedback = false;
    layout.interface_class = 0xFF;
    start_render(layout, 24, 48000, device_descriptor(USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.VendorId, USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.ProductId));
    ASSERT_EQ(submit(7 * 48, 1), STATUS_SUCCESS);
    const sent_urb &s = sent.at(0);
    EXPECT_EQ(s.length, 7u * 52u + 4u);
    ASSERT_EQ(s.packets.size(), 8u);
    EXPECT_EQ(s.packets[6], std::make_pair(6u * 52u, 52u));
    EXPECT_EQ(s.packets[7], std::make_pair(7u * 52u, 4u));
    EXPECT_EQ(le32_at(s.data, 7 * 52), 0u);
}

TEST_F(TransferTest, MissingRecordsAndPipesAreRefused)
{
    uac2_layout layout;
    layout.capture = false;
    start_configured(uac2_config(layout), true);
    UCHAR buffer[64];
    EXPECT_EQ(audio->SubmitCaptureTransfer(buffer, sizeof(buffer), record_completion, &done, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->SubmitRenderTransfer(reinterpret_cast<PMDL>(buffer), 64, 1, record_completion, &done),
              STATUS_NOT_SUPPORTED); // alternate 0 has no data pipe
    start_configured(uac2_config(), true);
    EXPECT_EQ(audio->SubmitCaptureTransfer(buffer, sizeof(buffer), record_completion, &done, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(done.calls, 0);
}

// A capture-only revision 2 device whose streaming alternate moves its data over a bulk
// endpoint (0x82, 512 bytes).
bytes bulk_capture_config()
{
    config_builder c;
    c.add_interface(0, 0, 0, 1, 1).ac_header(true);
    c.raw({8, 0x24, 0x0A, 0x28, 0x03, 0x07, 0, 0});
    c.raw({17, 0x24, 2, 1, 0x01, 0x02, 0, 0x28, 2, 3, 0, 0, 0, 0, 0, 0, 0});
    c.raw({12, 0x24, 3, 22, 0x01, 0x01, 0, 1, 0x28, 0, 0, 0});
    c.add_interface(1, 0, 0);
    c.add_interface(1, 1, 1);
    c.raw({16, 0x24, 1, 22, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0});
    c.raw({6, 0x24, 2, 1, 2, 16});
    c.endpoint(0x82, 0x02, 512, 0);
    c.raw({8, 0x25, 1, 0, 0, 0, 0, 0});
    return c.finish();
}

// Capture on a bulk pipe goes out as one bulk-or-interrupt URB for the whole buffer; its
// completion reports the bytes received, start frame 0 and no frames, and the isochronous
// packet window does not apply to it.
TEST_F(TransferTest, CaptureOnABulkEndpointUsesOneBulkTransfer)
{
    start_configured(bulk_capture_config(), true);
    clock_answers(0x28, 48000, {{48000, 48000, 0}});
    ASSERT_NE(audio->m_pCapture, nullptr);
    ULONG channels = 0, container = 0, largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(1, USB_AUDIO_TAG_PCM, 2, 16, 48000, 1, &channels, &container, &largest),
              STATUS_SUCCESS);
    ASSERT_NE(audio->m_pCapture->DataPipe, nullptr);
    ASSERT_EQ(audio->m_pCapture->DataPipe->PipeType, UsbdPipeTypeBulk);

    std::vector<UCHAR> buffer(1024, 0xEE);
    ULONG received = 1000; // far beyond any isochronous packet of the format
    int transfers = 0;
    lower->on_transfer = [&](PURB urb) {
        ++transfers;
        const struct _URB_BULK_OR_INTERRUPT_TRANSFER &bulk = urb->UrbBulkOrInterruptTransfer;
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        EXPECT_EQ(bulk.PipeHandle, audio->m_pCapture->DataPipe->PipeHandle);
        EXPECT_EQ(bulk.TransferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | 0x4));
        EXPECT_EQ(bulk.TransferBuffer, buffer.data());
        EXPECT_EQ(bulk.TransferBufferMDL, nullptr);
        EXPECT_EQ(bulk.TransferBufferLength, buffer.size());
        std::memset(bulk.TransferBuffer, 0x5A, received);
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = received;
        return received != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    };
    ASSERT_EQ(audio->SubmitCaptureTransfer(buffer.data(), static_cast<ULONG>(buffer.size()), record_completion, &done,
                                           1234),
              STATUS_SUCCESS);
    EXPECT_EQ(transfers, 1);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.bytes, 1000u);
    EXPECT_EQ(done.frames, 0u);
    EXPECT_EQ(buffer[999], 0x5A);
    EXPECT_EQ(buffer[1000], 0xEE);

    // A failed bulk transfer reports no bytes.
    received = 0;
    ASSERT_EQ(audio->SubmitCaptureTransfer(buffer.data(), static_cast<ULONG>(buffer.size()), record_completion, &done,
                                           0),
              STATUS_SUCCESS);
    EXPECT_EQ(done.calls, 2);
    EXPECT_EQ(done.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(done.bytes, 0u);
}

} // namespace
} // namespace usbaudio_test
