// Format and rate selection: alternate search, packet sizes, nominal feedback, device rates,
// the endpoint rate requests of revision 1 devices and the data-range intersection.
#include "UsbAudioTestFixture.h"
#include "PacketPatternTable.h"
#include "USBAudioClock.h"
#include "USBAudioTerminal.h"

namespace usbaudio_test {
namespace {

class FormatTest : public UsbAudioTest {
protected:
    void start_uac2(const uac2_layout &layout = {})
    {
        start_configured(uac2_config(layout), layout.high_speed);
        clock_answers(0x28, 48000, {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}});
    }
    void start_uac1(const uac1_layout &layout = {})
    {
        start_configured(uac1_config(layout), false, device_descriptor(0x3A51, 0x0201, 0x0110));
    }
};

TEST_F(FormatTest, SearchPrefersExactMatchAndFallsBackToTheWidestAlternate)
{
    start_uac2();
    ULONG channels = 0;
    ULONG container = 0;
    ULONG alternate = 99;
    EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_PCM, 2, 24, 48000, &channels, &container,
                                            &alternate),
              STATUS_SUCCESS);
    EXPECT_EQ(alternate, 2u);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(container, 32u);
    EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_PCM, 6, 24, 48000, &channels, &container,
                                            &alternate),
              STATUS_SUCCESS);
    EXPECT_EQ(alternate, 3u);
    EXPECT_EQ(channels, 8u);
    EXPECT_EQ(container, 32u);
    EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_IEEE_FLOAT, 2, 32, 48000, &channels,
                                            &container, &alternate),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_PCM, 2, 16, 22050, &channels, &container,
                                            &alternate),
              STATUS_NOT_SUPPORTED); // the clock does not run at 22050
    EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_PCM, 0, 16, 48000, &channels, &container,
                                            &alternate),
              STATUS_SUCCESS);
    EXPECT_EQ(alternate, 0u);
    EXPECT_EQ(container, 0u);
}

TEST_F(FormatTest, RenderSelectionAtHighSpeedSetsPacketSizesPatternAndNominalFeedback)
{
    start_uac2();
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    audio->m_PatternPosition = 7;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 2, &channels, &container, &largest),
              STATUS_SUCCESS);
    USB_STREAMING_INTERFACE *render = audio->m_pRender;
    EXPECT_EQ(render->CurrentAlternate, 1u);
    ASSERT_NE(render->DataPipe, nullptr);
    EXPECT_EQ(render->DataPipe, audio->FindPipe(0x01));
    ASSERT_NE(render->FeedbackPipe, nullptr);
    EXPECT_EQ(render->BytesPerFrame, 4u);
    EXPECT_EQ(render->NominalPacketBytes, 24u);
    EXPECT_EQ(render->MinimumPacketBytes, 20u);
    EXPECT_EQ(render->MaximumPacketBytes, 28u);
    EXPECT_TRUE(render->ExactRate);
    EXPECT_EQ(render->SampleRate, 48000u);
    EXPECT_EQ(render->LatestFeedbackValue, 393216u);
    EXPECT_EQ(render->FeedbackValueInUse, 0u);
    EXPECT_EQ(audio->m_pPatternRow, FindPacketPatternRow(48000));
    EXPECT_EQ(audio->m_PatternPosition, 0u);
    EXPECT_EQ(audio->m_RenderPacketInterval, 1u);
    EXPECT_EQ(largest, 2u * 8u * 100u); // 8 packets of wMaxPacketSize 100 per ms
    // The clock was set to the rate.
    EXPECT_EQ(count_requests(0x21, 0x01, 0x0100), 1u);

    // Deselecting returns to alternate 0 with no sizes and no pipes.
    ASSERT_EQ(audio->SelectStreamingFormat(0, 0, 0, 0, 0, 2, &channels, &container, &largest), STATUS_SUCCESS);
    EXPECT_EQ(render->CurrentAlternate, 0u);
    EXPECT_EQ(render->DataPipe, nullptr);
    EXPECT_EQ(render->NominalPacketBytes, 0u);
    EXPECT_EQ(largest, 0u);
}

TEST_F(FormatTest, RenderRateWithoutPatternRowIsRefusedBeforeAnyRequest)
{
    start_uac2();
    lower->controls.clear();
    ULONG interfaces = lower->select_interface_count;
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    EXPECT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 12000, 2, &channels, &container, &largest),
              STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(lower->controls.empty());
    EXPECT_EQ(lower->select_interface_count, interfaces);
    EXPECT_EQ(audio->m_pRender->CurrentAlternate, 0u);
}

TEST_F(FormatTest, HighSpeedDataIntervalFourCarriesEightMicroframesPerPacket)
{
    uac2_layout layout;
    layout.data_interval = 4;
    start_uac2(layout);
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 1, &channels, &container, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(audio->m_pRender->NominalPacketBytes, 48u * 4u);
    EXPECT_EQ(audio->m_RenderPacketInterval, 8u);
    EXPECT_EQ(largest, 193u * 4u); // one packet per ms
    // Feedback stays per microframe, whatever the packet interval.
    EXPECT_EQ(audio->m_pRender->LatestFeedbackValue, 393216u);
}

TEST_F(FormatTest, FullSpeedPacketSizesAndEndpointRate)
{
    uac1_layout layout;
    layout.subframe = 3;
    layout.bits = 24;
    start_uac1(layout);
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 24, 48000, 8, &channels, &container, &largest),
              STATUS_SUCCESS);
    USB_STREAMING_INTERFACE *render = audio->m_pRender;
    EXPECT_EQ(container, 24u);
    EXPECT_EQ(render->NominalPacketBytes, 288u);
    EXPECT_EQ(render->MinimumPacketBytes, 282u);
    EXPECT_EQ(render->MaximumPacketBytes, 294u);
    EXPECT_TRUE(render->ExactRate);
    EXPECT_EQ(render->LatestFeedbackValue, 3145728u);
    EXPECT_EQ(largest, 8u * 294u);
    const control_record &set = lower->controls.back();
    EXPECT_EQ(set.request_type, 0x22);
    EXPECT_EQ(set.request, 0x01);
    EXPECT_EQ(set.value, 0x0100);
    EXPECT_EQ(set.index, 0x01);
    EXPECT_EQ(set.data, (bytes{0x80, 0xBB, 0x00}));

    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 24, 44100, 8, &channels, &container, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(render->NominalPacketBytes, 264u);
    EXPECT_EQ(render->MinimumPacketBytes, 264u);
    EXPECT_EQ(render->MaximumPacketBytes, 270u);
    EXPECT_FALSE(render->ExactRate);
    EXPECT_EQ(audio->m_pPatternRow, FindPacketPatternRow(44100));
    EXPECT_EQ(audio->m_PatternPosition, 0u);
}

TEST_F(FormatTest, CaptureRateConfirmationKeepsPipesValid)
{
    start_uac1();
    USB_STREAMING_INTERFACE *capture = audio->m_pCapture;
    lower->answer(0x81, 0x0100, 0x82, {0x44, 0xAC, 0x00}); // the device runs at 44100
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(1, USB_AUDIO_TAG_PCM, 2, 16, 44100, 8, &channels, &container, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(capture->CurrentAlternate, 1u);
    ASSERT_NE(capture->DataPipe, nullptr);

    // 48000 is listed but the device answers 44100 on both alternates: the search switches to
    // alternate 2 for the question, returns to alternate 1 and binds the fresh pipes.
    EXPECT_EQ(audio->IsFormatSupported(1, USB_AUDIO_TAG_PCM, 2, 16, 48000), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(capture->CurrentAlternate, 1u);
    EXPECT_EQ(capture->DataPipe, audio->FindPipe(0x82));
    EXPECT_EQ(capture->DataPipe->EndpointAddress, 0x82);
    EXPECT_EQ(count_requests(0xA2, 0x81, 0x0100), 3u);
}

TEST_F(FormatTest, SampleRateOnBothRevisions)
{
    start_uac1();
    EXPECT_EQ(audio->SetSampleRate(48000), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(audio->m_CurrentSampleRate, 48000u);
    EXPECT_EQ(audio->IsSampleRateSupported(44100), STATUS_SUCCESS);
    EXPECT_EQ(audio->IsSampleRateSupported(96000), STATUS_INVALID_PARAMETER);
    audio.reset();
    lower.reset();

    start_uac2();
    EXPECT_EQ(audio->SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(audio->m_CurrentSampleRate, 96000u);
    EXPECT_EQ(count_requests(0x21, 0x01, 0x0100), 2u); // render and capture terminals' clock
    EXPECT_EQ(audio->IsSampleRateSupported(96000), STATUS_SUCCESS);
    EXPECT_EQ(audio->IsSampleRateSupported(88200), STATUS_INVALID_PARAMETER);
}

TEST_F(FormatTest, ImplicitVariantReportsTransferWindow)
{
    start_uac1();
    ULONG channels = 0;
    ULONG container = 0;
    ULONG nominal = 0;
    LONG below = 0;
    LONG above = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 8, &channels, &container, &nominal,
                                           &below, &above, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(nominal, 8u * 192u);
    EXPECT_EQ(below, -8);
    EXPECT_EQ(above, 8);
    EXPECT_EQ(largest, 8u * 196u);
    EXPECT_EQ(audio->m_pPatternRow, nullptr); // the pattern is not used in this mode
    EXPECT_EQ(audio->SelectStreamingFormat(0, 0, 0, 0, 0, 8, &channels, &container, &nominal, &below, &above,
                                           &largest),
              STATUS_INVALID_PARAMETER);
}

TEST_F(FormatTest, TerminalFormatRangeAndStreamingFormat)
{
    start_uac2();
    ULONG maxChannels = 9, minBits = 9, maxBits = 9, minRate = 9, maxRate = 9;
    ASSERT_EQ(audio->GetTerminalFormatRange(0, &maxChannels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
    EXPECT_EQ(maxChannels, 8u);
    EXPECT_EQ(minBits, 16u);
    EXPECT_EQ(maxBits, 32u);
    EXPECT_EQ(minRate, 44100u);
    EXPECT_EQ(maxRate, 96000u);
    ULONG channels = 0;
    ULONG container = 0;
    EXPECT_EQ(audio->GetStreamingFormat(0, 1, 48000, &channels, &container), STATUS_SUCCESS);
    EXPECT_EQ(channels, 2u); // alternate 2: the first with the widest subslot
    EXPECT_EQ(container, 32u);
    EXPECT_EQ(audio->GetStreamingFormat(0, 3, 48000, &channels, &container), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(audio->GetStreamingFormat(0, 1, 192000, &channels, &container), STATUS_NO_MATCH);
    audio.reset();
    lower.reset();

    uac1_layout layout;
    layout.capture = false;
    start_uac1(layout);
    ASSERT_EQ(audio->GetTerminalFormatRange(0, &maxChannels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
    EXPECT_EQ(maxChannels, 2u);
    EXPECT_EQ(minBits, 16u);
    EXPECT_EQ(minRate, 44100u);
    EXPECT_EQ(maxRate, 48000u);
    EXPECT_EQ(audio->GetTerminalFormatRange(1, &maxChannels, &minBits, &maxBits, &minRate, &maxRate),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(maxChannels, 0u);
    EXPECT_EQ(audio->GetStreamingFormat(1, 1, 48000, &channels, &container), STATUS_INVALID_DEVICE_REQUEST);
}

// The widest format named by its bit resolution opens that very alternate: asked by container
// bits, the search would find no exact match and fall back to the 8-channel alternate.
TEST_F(FormatTest, StreamingFormatResolutionSelectsTheWidestAlternate)
{
    start_uac2();
    ULONG channels = 0;
    ULONG container = 0;
    ULONG resolution = 0;
    ASSERT_EQ(audio->GetStreamingFormat(0, 1, 48000, &channels, &container, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(resolution, 24u);
    ULONG outChannels = 0;
    ULONG outContainer = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, 1, channels, resolution, 48000, 1, &outChannels, &outContainer, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(audio->m_pRender->CurrentAlternate, 2u);
    EXPECT_EQ(outChannels, channels);
    EXPECT_EQ(outContainer, container);
    audio.reset();
    lower.reset();

    uac1_layout layout;
    layout.capture = false;
    start_uac1(layout);
    ASSERT_EQ(audio->GetStreamingFormat(0, 1, 48000, &channels, &container, &resolution), STATUS_SUCCESS);
    ASSERT_EQ(audio->SelectStreamingFormat(0, 1, channels, resolution, 48000, 1, &outChannels, &outContainer, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(outChannels, channels);
    EXPECT_EQ(outContainer, container);
}

TEST_F(FormatTest, IntersectFormatNarrowsToTheDeviceRates)
{
    uac1_layout layout;
    layout.rates = {32000, 44100, 48000, 96000};
    start_uac1(layout);
    USB_STREAMING_INTERFACE *render = audio->m_pRender;
    render->DataRanges = static_cast<PKSDATARANGE_AUDIO>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSDATARANGE_AUDIO), USBAUDIO_TAG));
    ASSERT_NE(render->DataRanges, nullptr);
    std::memset(render->DataRanges, 0, sizeof(KSDATARANGE_AUDIO));
    render->DataRangeCount = 1;
    render->DataRanges[0].MaximumChannels = 2;
    render->DataRanges[0].MinimumBitsPerSample = 16;
    render->DataRanges[0].MaximumBitsPerSample = 16;
    render->DataRanges[0].MinimumSampleFrequency = 8000;
    render->DataRanges[0].MaximumSampleFrequency = 192000;
    ULONG low = 40000;
    ULONG high = 50000;
    EXPECT_EQ(audio->IntersectFormat(0, 2, 16, 16, &low, &high), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 48000u);
    low = 8000;
    high = 8000;
    EXPECT_EQ(audio->IntersectFormat(0, 2, 16, 16, &low, &high), STATUS_SUCCESS);
    EXPECT_EQ(low, 8000u); // nothing inside: the request stays
    EXPECT_EQ(audio->IntersectFormat(0, 2, 24, 24, &low, &high), STATUS_NO_MATCH);
    EXPECT_EQ(audio->IntersectFormat(0, 2, 16, 16, nullptr, &high), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->IntersectFormat(1, 2, 16, 16, &low, &high), STATUS_NO_MATCH);
}

TEST_F(FormatTest, FullSpeedDataIntervalAboveOneStillCarriesOneFramePerPacket)
{
    uac2_layout layout;
    layout.high_speed = false;
    layout.data_interval = 4;
    layout.feedback = false;
    start_uac2(layout);
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 1, &channels, &container, &largest),
              STATUS_SUCCESS);
    // The pipe runs every frame at full speed, so a packet holds one frame's audio.
    EXPECT_EQ(audio->m_pRender->NominalPacketBytes, 48u * 4u);
    EXPECT_EQ(audio->m_RenderPacketInterval, 1u);
    EXPECT_EQ(audio->m_pRender->DataPipe->Interval, 1);
}

TEST_F(FormatTest, TerminalWithoutItsClockIsRefusedNotFollowed)
{
    bytes config = uac2_config();
    const size_t render_it = 9 + 9 + 9 + 8;
    ASSERT_EQ(config[render_it + 2], 2);
    config[render_it + 7] = 0x77; // the render input terminal's clock names nothing
    start_configured(config, true);
    ASSERT_EQ(audio->m_pRender->Terminal->GetClock(), nullptr);
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ULONG values[5] = {};
    EXPECT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 2, &channels, &container, &largest),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(audio->GetTerminalFormatRange(0, &values[0], &values[1], &values[2], &values[3], &values[4]),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(audio->GetStreamingFormat(0, 1, 48000, &channels, &container), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(audio->SetSampleRate(48000), STATUS_UNSUCCESSFUL);
}

} // namespace
} // namespace usbaudio_test
