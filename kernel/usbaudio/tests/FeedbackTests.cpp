// Feedback reads: the read size, the URB of a read, and the decoding and averaging of the
// packets (10.14 and 16.16 values, empty packets, ignored sizes and failed packets).
#include "UsbAudioTestFixture.h"
#include <cstring>

namespace usbaudio_test {
namespace {

struct feedback_packet {
    ULONG length;
    USBD_STATUS status;
    bytes data;
};

struct feedback_result {
    int calls = 0;
    NTSTATUS status = 0;
    ULONG value = 0;
    ULONG start_frame = 0;
    ULONG frames = 99;
};

VOID record_feedback(NTSTATUS status, ULONG value, ULONG startFrame, PVOID context, ULONG frames)
{
    auto r = static_cast<feedback_result *>(context);
    ++r->calls;
    r->status = status;
    r->value = value;
    r->start_frame = startFrame;
    r->frames = frames;
}

class FeedbackTest : public UsbAudioTest {
protected:
    void start_render(uac2_layout layout)
    {
        layout.capture = false;
        start_configured(uac2_config(layout), layout.high_speed);
        clock_answers(0x28, 48000, {{48000, 48000, 0}});
        ULONG channels = 0, container = 0, largest = 0;
        ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 1, &channels, &container, &largest),
                  STATUS_SUCCESS);
        ASSERT_NE(audio->m_pRender->FeedbackPipe, nullptr);
        lower->on_transfer = [this](PURB urb) {
            struct _URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
            flags = iso.TransferFlags;
            packets = iso.NumberOfPackets;
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                offsets.push_back(iso.IsoPacket[i].Offset);
            }
            auto buffer = static_cast<std::uint8_t *>(iso.TransferBuffer);
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                const feedback_packet p = i < answer.size() ? answer[i] : feedback_packet{0, USBD_STATUS_SUCCESS, {}};
                iso.IsoPacket[i].Length = p.length;
                iso.IsoPacket[i].Status = p.status;
                if (!p.data.empty()) {
                    std::memcpy(buffer + iso.IsoPacket[i].Offset, p.data.data(), p.data.size());
                }
            }
            iso.StartFrame = 4242;
            if (empty_transfer) {
                iso.TransferBufferLength = 0;
            } else if (report_received) {
                ULONG received = 0;
                for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                    received += iso.IsoPacket[i].Length;
                }
                iso.TransferBufferLength = received;
            }
            return irp_status;
        };
    }
    NTSTATUS read(ULONG length)
    {
        buffer.assign(length, 0xEE);
        return audio->RecvFeedback(buffer.data(), length, record_feedback, &result);
    }

    std::vector<feedback_packet> answer;
    bool empty_transfer = false;
    bool report_received = false; // the URB's length becomes the bytes received, as on a bus
    NTSTATUS irp_status = STATUS_SUCCESS;
    ULONG flags = 0;
    ULONG packets = 0;
    std::vector<ULONG> offsets;
    bytes buffer;
    feedback_result result;
};

TEST_F(FeedbackTest, BufferSizeCoversFourMillisecondsAndUnsizedReadsAreRefused)
{
    uac2_layout layout;
    layout.feedback_interval = 1;
    start_render(layout);
    EXPECT_EQ(audio->GetFeedbackBufferSize(), 128u);
    ASSERT_EQ(read(128), STATUS_SUCCESS);
    EXPECT_EQ(packets, 32u);
    EXPECT_EQ(offsets[31], 124u);
    EXPECT_EQ(flags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP));
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.frames, 0u);
    EXPECT_EQ(read(4 * 65), STATUS_INVALID_PARAMETER); // beyond a pooled URB
    EXPECT_EQ(audio->RecvFeedback(nullptr, 16, record_feedback, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.calls, 1);
}

TEST_F(FeedbackTest, ReadsWithoutAFeedbackPipeAreRefused)
{
    uac2_layout layout;
    layout.feedback = false;
    layout.capture = false;
    start_configured(uac2_config(layout), true);
    EXPECT_EQ(audio->GetFeedbackBufferSize(), 0u);
    UCHAR data[16];
    EXPECT_EQ(audio->RecvFeedback(data, sizeof(data), record_feedback, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.calls, 0);
}

TEST_F(FeedbackTest, TenFourteenValueIsWidenedToSixteenSixteen)
{
    uac2_layout layout;
    layout.high_speed = false;
    start_render(layout);
    EXPECT_EQ(audio->GetFeedbackBufferSize(), 16u);
    answer = {{3, USBD_STATUS_SUCCESS, {0x66, 0x06, 0x0B}}};
    ASSERT_EQ(read(3), STATUS_SUCCESS);
    EXPECT_EQ(packets, 1u);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.value, 0x2C1998u);
    EXPECT_EQ(result.start_frame, 4242u);
    EXPECT_EQ(audio->m_pRender->LastReceivedFeedback, 0x2C1998u);
}

TEST_F(FeedbackTest, EmptyPacketsRepeatAndOddOrFailedPacketsDoNotCount)
{
    start_render(uac2_layout{});
    audio->m_pRender->LastReceivedFeedback = 0;
    answer = {{4, USBD_STATUS_SUCCESS, {0x00, 0x00, 0x30, 0x00}},
              {0, USBD_STATUS_SUCCESS, {}},
              {4, USBD_STATUS_SUCCESS, {0x00, 0x20, 0x30, 0x00}},
              {2, USBD_STATUS_SUCCESS, {0xFF, 0xFF}},
              {4, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, {0xFF, 0xFF, 0xFF, 0xFF}}};
    ASSERT_EQ(read(20), STATUS_SUCCESS);
    EXPECT_EQ(result.value, (0x300000u + 0x300000u + 0x302000u) / 3);
    EXPECT_EQ(audio->m_pRender->LastReceivedFeedback, 0x302000u);

    // Leading empty packets count the last received value; a read of nothing repeats it.
    answer = {{0, USBD_STATUS_SUCCESS, {}}, {4, USBD_STATUS_SUCCESS, {0x00, 0x00, 0x31, 0x00}}};
    ASSERT_EQ(read(8), STATUS_SUCCESS);
    EXPECT_EQ(result.value, (0x302000u + 0x310000u) / 2);
    empty_transfer = true;
    ASSERT_EQ(read(8), STATUS_SUCCESS);
    EXPECT_EQ(result.value, 0x310000u);
}

// A host controller reports the bytes received in the URB's length; packets keep their
// offsets, so a value behind an empty packet lies past that count and must still be read.
TEST_F(FeedbackTest, PacketsBehindAnEmptyOneCountWhenTheHostReportsBytesReceived)
{
    start_render(uac2_layout{});
    audio->m_pRender->LastReceivedFeedback = 0x300000;
    report_received = true;
    answer = {{4, USBD_STATUS_SUCCESS, {0x00, 0x00, 0x30, 0x00}},
              {0, USBD_STATUS_SUCCESS, {}},
              {4, USBD_STATUS_SUCCESS, {0x00, 0x40, 0x30, 0x00}},
              {0, USBD_STATUS_SUCCESS, {}}};
    ASSERT_EQ(read(16), STATUS_SUCCESS);
    EXPECT_EQ(result.value, (0x300000u * 2 + 0x304000u * 2) / 4);
    EXPECT_EQ(audio->m_pRender->LastReceivedFeedback, 0x304000u);
}

TEST_F(FeedbackTest, ZeroValuesLeaveLastReceivedAndFailuresReportZero)
{
    start_render(uac2_layout{});
    audio->m_pRender->LastReceivedFeedback = 0x60000;
    answer = {{4, USBD_STATUS_SUCCESS, {0, 0, 0, 0}}};
    ASSERT_EQ(read(4), STATUS_SUCCESS);
    EXPECT_EQ(result.value, 0u);
    EXPECT_EQ(audio->m_pRender->LastReceivedFeedback, 0x60000u);

    answer = {{4, USBD_STATUS_SUCCESS, {0, 0, 7, 0}}};
    irp_status = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(read(4), STATUS_SUCCESS);
    EXPECT_EQ(result.calls, 2);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.value, 0u);
    EXPECT_EQ(result.start_frame, 0u);
    EXPECT_EQ(audio->m_pRender->LastReceivedFeedback, 0x60000u);
}

// A render selection starts the feedback afresh also from alternate 0, which has no feedback
// pipe: the previous stream's last value must not stand in for a first empty packet.
TEST_F(FeedbackTest, SelectionFromAlternateZeroClearsThePreviousStreamsValues)
{
    start_render(uac2_layout{});
    ULONG channels = 0, container = 0, largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, 0, 0, 0, 0, 0, &channels, &container, &largest), STATUS_SUCCESS);
    ASSERT_EQ(audio->m_pRender->FeedbackPipe, nullptr);
    audio->m_pRender->LastReceivedFeedback = 0x58333;
    audio->m_pRender->FeedbackValueInUse = 0x58333;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 1, &channels, &container, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(audio->m_pRender->LastReceivedFeedback, 0u);
    EXPECT_EQ(audio->m_pRender->FeedbackValueInUse, 0u);
    EXPECT_EQ(audio->m_pRender->LatestFeedbackValue, audio->NominalFeedback(48000));
    answer = {{0, USBD_STATUS_SUCCESS, {}}};
    report_received = true;
    ASSERT_EQ(read(4), STATUS_SUCCESS);
    EXPECT_EQ(result.value, 0u) << "an empty first packet repeats no value of the stream before";
}

} // namespace
} // namespace usbaudio_test
