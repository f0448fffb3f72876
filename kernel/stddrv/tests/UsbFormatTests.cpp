// Format selection of the USB layer: formats per direction, the class 1 capture rate that is
// read and set during the search, the nine render rates at both speeds, the sizes a selection
// yields and the format range a direction reports.
#include "UsbTestBench.h"
#include "USBAudioClock.h"
#include "USBAudioEntity.h"
#include "USBPacketPattern.h"

namespace usb_test {
namespace {

constexpr NTSTATUS NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr ULONG RENDER = 0;
constexpr ULONG CAPTURE = 1;
const ULONG kNineRates[] = {96000, 88200, 48000, 44100, 32000, 22050, 16000, 11025, 8000};

USHORT max_packet(const USB_STREAMING_INTERFACE *record, ULONG alternate)
{
    const UCHAR *endpoint = record->Alternates[alternate].Endpoint;
    return static_cast<USHORT>(endpoint[4] | endpoint[5] << 8);
}

class UsbFormatTest : public UsbLayerTest {};

TEST_F(UsbFormatTest, Class1FormatsPerDirection)
{
    sim::audio_device_options device;
    device.initial_rate = 48000;
    start_model(sim::build_uac1_device(sim::standard_uac1_options()), device);
    struct row {
        ULONG direction, channels, bits, rate;
        NTSTATUS expected;
    };
    const row rows[] = {
        {RENDER, 2, 16, 44100, STATUS_SUCCESS}, {RENDER, 2, 16, 48000, STATUS_SUCCESS},
        {RENDER, 2, 24, 48000, NOT_SUPPORTED},  {RENDER, 1, 16, 48000, NOT_SUPPORTED},
        {RENDER, 2, 16, 96000, NOT_SUPPORTED},  {CAPTURE, 2, 16, 48000, STATUS_SUCCESS},
        {CAPTURE, 2, 8, 48000, NOT_SUPPORTED},  {RENDER, 0, 16, 48000, STATUS_SUCCESS},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.direction << ": " << r.channels << " ch " << r.bits << " bits "
                                        << r.rate << " Hz");
        EXPECT_EQ(audio->IsFormatSupported(r.direction, r.channels, r.bits, r.rate), r.expected);
    }
    EXPECT_EQ(model->current_alternate(audio->GetStreamingInterface(RENDER)->InterfaceNumber), 0)
        << "the search selects nothing";
    EXPECT_EQ(model->current_alternate(audio->GetStreamingInterface(CAPTURE)->InterfaceNumber), 0);
}

TEST_F(UsbFormatTest, Class1CaptureWithoutRateControlIsSetDuringTheSearch)
{
    sim::audio_device_options device;
    device.initial_rate = 48000;
    device.uac1_rate_set_without_control = true;
    start_model(sim::build_uac1_device(sim::standard_uac1_options()), device);
    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(CAPTURE);
    EXPECT_EQ(model->stream_rate(capture->InterfaceNumber), 48000u);
    EXPECT_EQ(audio->IsFormatSupported(CAPTURE, 2, 16, 44100), STATUS_SUCCESS);
    EXPECT_EQ(model->stream_rate(capture->InterfaceNumber), 44100u) << "the device was moved to the rate";
    EXPECT_EQ(capture->CurrentAlternate, 0u);
    EXPECT_EQ(model->current_alternate(capture->InterfaceNumber), 0) << "back at alternate 0 after the probe";
    EXPECT_EQ(capture->Pipe, nullptr);
}

TEST_F(UsbFormatTest, Class1CaptureAtAnotherRateIsSkippedWhenTheRateCannotBeSet)
{
    sim::uac1_options options = sim::standard_uac1_options();
    options.rates = {32000, 44100, 48000};
    sim::audio_device_options device;
    device.initial_rate = 48000;
    device.uac1_rate_set_without_control = true;
    start_model(sim::build_uac1_device(options), device);
    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(CAPTURE);
    EXPECT_EQ(audio->IsFormatSupported(CAPTURE, 2, 16, 32000), NOT_SUPPORTED)
        << "32000 is not one of the two rates the device is moved to";
    EXPECT_EQ(model->stream_rate(capture->InterfaceNumber), 48000u);
    ULONG bytes = 0xDEAD;
    EXPECT_EQ(audio->SelectStreamingFormat(CAPTURE, 2, 16, 32000, 1, &bytes), NOT_SUPPORTED);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(capture->CurrentAlternate, 0u);

    // A device that refuses the rate request: the alternate is skipped as well.
    model->add_stall({std::uint8_t{0x22}, std::uint8_t{0x01}, {}, {}, {}, -1});
    EXPECT_EQ(audio->IsFormatSupported(CAPTURE, 2, 16, 44100), NOT_SUPPORTED);
    EXPECT_EQ(model->current_alternate(capture->InterfaceNumber), 0);
}

TEST_F(UsbFormatTest, Class1SelectionSetsTheRateAndSizesTheTransfers)
{
    sim::audio_device_options device;
    device.initial_rate = 48000;
    start_model(sim::build_uac1_device(sim::standard_uac1_options()), device);
    USB_STREAMING_INTERFACE *render = audio->GetStreamingInterface(RENDER);
    ULONG bytes = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, 44100, 2, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(render->CurrentAlternate, 1u);
    EXPECT_EQ(model->current_alternate(render->InterfaceNumber), 1);
    EXPECT_EQ(model->stream_rate(render->InterfaceNumber), 44100u) << "SET_CUR through the endpoint's rate control";
    ASSERT_NE(render->Pipe, nullptr);
    EXPECT_EQ(render->Pipe->EndpointAddress, sim::uac1_ids::render_data_ep);
    EXPECT_EQ(render->BytesPerFrame, 4u);
    EXPECT_EQ(bytes, 2u * max_packet(render, 1));
    EXPECT_EQ(audio->GetRenderPatternPosition(), 0u);
    EXPECT_EQ(audio->GetRenderIntervalFactor(), 1u);
    EXPECT_EQ(audio->GetRenderBytesPerTransfer(2), 88u * 4u);

    ASSERT_EQ(audio->SelectStreamingFormat(RENDER, 0, 0, 0, 2, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(render->CurrentAlternate, 0u);
    EXPECT_EQ(model->current_alternate(render->InterfaceNumber), 0);
    EXPECT_EQ(render->Pipe, nullptr);
    EXPECT_EQ(render->BytesPerFrame, 0u);
    EXPECT_EQ(audio->GetRenderBytesPerTransfer(2), 0u);

    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(CAPTURE);
    ASSERT_EQ(audio->SelectStreamingFormat(CAPTURE, 2, 16, 48000, 3, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 3u * max_packet(capture, 1));
    ASSERT_NE(capture->Pipe, nullptr);
    EXPECT_EQ(capture->Pipe->EndpointAddress, sim::uac1_ids::capture_data_ep);
    EXPECT_EQ(audio->GetStreamPipe(CAPTURE), capture->Pipe);
}

TEST_F(UsbFormatTest, RenderRateOutsideThePatternTableIsRefusedAlthoughTheDeviceOffersIt)
{
    sim::uac1_options options = sim::standard_uac1_options();
    options.continuous_rates = true;
    options.rates = {8000, 96000};
    options.capture_sf_control = true;
    start_model(sim::build_uac1_device(options));
    EXPECT_EQ(audio->IsFormatSupported(RENDER, 2, 16, 46000), STATUS_SUCCESS);
    ULONG bytes = 0xDEAD;
    EXPECT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, 46000, 2, &bytes), NOT_SUPPORTED);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(audio->GetStreamingInterface(RENDER)->CurrentAlternate, 0u);
    EXPECT_EQ(audio->SelectStreamingFormat(CAPTURE, 2, 16, 46000, 2, &bytes), STATUS_SUCCESS)
        << "capture has no pattern table";
}

TEST_F(UsbFormatTest, NineRenderRatesAtFullSpeed)
{
    sim::uac1_options options = sim::standard_uac1_options();
    options.continuous_rates = true;
    options.rates = {8000, 96000};
    start_model(sim::build_uac1_device(options));
    for (ULONG rate : kNineRates) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        ULONG bytes = 0;
        ASSERT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, rate, 1, &bytes), STATUS_SUCCESS);
        EXPECT_EQ(model->stream_rate(audio->GetStreamingInterface(RENDER)->InterfaceNumber), rate);
        const USB_PACKET_PATTERN_ROW *row = UsbFindPacketPattern(rate);
        ASSERT_NE(row, nullptr);
        ULONG sum = 0;
        for (ULONG i = 0; i < row->FullSpeedLength; ++i) {
            sum += row->FullSpeedEntries[i];
        }
        // One row's worth of 1 ms transfers carries the rate exactly.
        EXPECT_EQ(audio->GetRenderBytesPerTransfer(row->FullSpeedLength), sum * 4);
        EXPECT_EQ(static_cast<ULONGLONG>(sum) * 1000, static_cast<ULONGLONG>(rate) * row->FullSpeedLength);
        ASSERT_EQ(audio->SelectStreamingFormat(RENDER, 0, 0, 0, 1, &bytes), STATUS_SUCCESS);
    }
}

TEST_F(UsbFormatTest, NineRenderRatesAtHighSpeedSetTheClock)
{
    sim::uac2_options options = sim::standard_uac2_options(1);
    options.max_rate = 96000;
    sim::audio_device_options device;
    device.clock_rates = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
    start_model(sim::build_uac2_device(options), device);
    for (ULONG rate : kNineRates) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        ULONG bytes = 0;
        ASSERT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, rate, 2, &bytes), STATUS_SUCCESS);
        EXPECT_EQ(model->clock_rate(sim::uac2_ids::render_clock), rate);
        USB_STREAMING_INTERFACE *render = audio->GetStreamingInterface(RENDER);
        EXPECT_EQ(bytes, 2u * 8u * max_packet(render, render->CurrentAlternate));
        const USB_PACKET_PATTERN_ROW *row = UsbFindPacketPattern(rate);
        ULONG sum = 0;
        for (ULONG i = 0; i < row->HighSpeedLength; ++i) {
            sum += row->HighSpeedEntries[i];
        }
        EXPECT_EQ(static_cast<ULONGLONG>(sum) * 8000, static_cast<ULONGLONG>(rate) * row->HighSpeedLength);
        // A row covers whole milliseconds (one row, or eight single-entry rounds).
        ULONG ms = row->HighSpeedLength >= 8 ? row->HighSpeedLength / 8 : 1;
        ULONG rounds = row->HighSpeedLength >= 8 ? 1 : 8;
        EXPECT_EQ(audio->GetRenderBytesPerTransfer(ms), sum * rounds * 4);
    }
}

TEST_F(UsbFormatTest, Class2RateTheClockDoesNotRunIsRefused)
{
    sim::audio_device_options device;
    device.clock_rates = {44100, 48000};
    start_model(sim::build_uac2_device(sim::standard_uac2_options(1)), device);
    ULONG bytes = 0;
    EXPECT_EQ(audio->IsFormatSupported(CAPTURE, 2, 16, 32000), NOT_SUPPORTED);
    EXPECT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, 32000, 2, &bytes), NOT_SUPPORTED);
    ASSERT_EQ(audio->SelectStreamingFormat(CAPTURE, 2, 16, 44100, 1, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(model->clock_rate(sim::uac2_ids::render_clock), 44100u);
}

TEST_F(UsbFormatTest, RenderPacketsLargerThanTheEndpointAreRefused)
{
    // The standard class 2 device sizes its endpoints for 48000; its clock runs 96000 too.
    start_model(sim::build_uac2_device(sim::standard_uac2_options(1)));
    ULONG bytes = 0;
    EXPECT_EQ(audio->IsFormatSupported(RENDER, 2, 16, 96000), STATUS_SUCCESS);
    EXPECT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, 96000, 2, &bytes), NOT_SUPPORTED);
    EXPECT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, 48000, 2, &bytes), STATUS_SUCCESS);
}

TEST_F(UsbFormatTest, SamplesInWiderSubslotsAreNotOfferedAsPacked)
{
    sim::uac2_options options = sim::standard_uac2_options(1);
    options.render_formats = {{2, 2, 16}, {2, 4, 24}};
    start_model(sim::build_uac2_device(options));
    EXPECT_EQ(audio->IsFormatSupported(RENDER, 2, 16, 48000), STATUS_SUCCESS);
    EXPECT_EQ(audio->IsFormatSupported(RENDER, 2, 24, 48000), NOT_SUPPORTED);
}

TEST_F(UsbFormatTest, RenderIntervalOfTwoMicroframesCarriesTwoEntriesPerPacket)
{
    start_model(sim::build_uac2_device(sim::standard_uac2_options(2)));
    ULONG bytes = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(RENDER, 2, 16, 48000, 2, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(audio->GetRenderIntervalFactor(), 2u);
    EXPECT_EQ(audio->GetRenderBytesPerTransfer(2), 96u * 4u) << "2 ms of audio, whatever the packet period";
    USB_STREAMING_INTERFACE *render = audio->GetStreamingInterface(RENDER);
    EXPECT_EQ(bytes, 2u * 4u * max_packet(render, render->CurrentAlternate));
}

TEST_F(UsbFormatTest, FormatRangesOfBothClasses)
{
    {
        SCOPED_TRACE("class 1");
        start_model(sim::build_uac1_device(sim::standard_uac1_options()));
        ULONG channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
        ASSERT_EQ(audio->GetFormatRange(RENDER, &channels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
        EXPECT_EQ(channels, 2u);
        EXPECT_EQ(minBits, 16u);
        EXPECT_EQ(maxBits, 16u);
        EXPECT_EQ(minRate, 44100u);
        EXPECT_EQ(maxRate, 48000u);
    }
}

TEST_F(UsbFormatTest, Class2FormatRangeComesFromTheClock)
{
    sim::uac2_options options = sim::standard_uac2_options(1);
    options.capture_formats = {{2, 2, 16}, {1, 3, 24}};
    sim::audio_device_options device;
    device.clock_rates = {32000, 44100, 48000};
    start_model(sim::build_uac2_device(options), device);
    ULONG channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
    ASSERT_EQ(audio->GetFormatRange(CAPTURE, &channels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(minBits, 16u);
    EXPECT_EQ(maxBits, 24u);
    EXPECT_EQ(minRate, 32000u);
    EXPECT_EQ(maxRate, 48000u);
}

} // namespace
} // namespace usb_test
