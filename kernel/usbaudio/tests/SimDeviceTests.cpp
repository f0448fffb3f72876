// The library against the simulated device models: the default devices of both generations,
// the varieties of real devices (vendor alternates, wide multichannel alternates, a clock
// selector with an unconnected input, an output sized for the nominal packet), the vendor-class
// quirk, the malformed descriptor sets the models offer, and the fuzz corpus seeded from them.
#include "UsbAudioTestFixture.h"
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sim/audio_device.h>
#include <sim/device_varieties.h>
#include "USBAudioClock.h"
#include "USBAudioTerminal.h"
#include "UsbAudioQuirks.h"

namespace usbaudio_test {
namespace {

class SimDeviceTest : public UsbAudioTest {
protected:
    NTSTATUS start_model(sim::device_descriptors descriptors, sim::audio_device_options options = {})
    {
        model = std::make_unique<sim::audio_device>(descriptors, options);
        make_device(descriptors.configuration, model->speed() == sim::usb_speed::high, descriptors.device);
        lower->attach(model.get());
        NTSTATUS status = audio->Start(lower->pdo(), USB_AUDIO_IRP_COUNT);
        return NT_SUCCESS(status) ? audio->Configure() : status;
    }

    NTSTATUS start_variety(const std::string &name)
    {
        for (sim::device_variety &v : sim::device_varieties()) {
            if (v.name == name) {
                return start_model(v.descriptors, v.options);
            }
        }
        ADD_FAILURE() << "no variety " << name;
        return STATUS_UNSUCCESSFUL;
    }

    std::unique_ptr<sim::audio_device> model;
};

// A vendor-class alternate (no format descriptors) last on each streaming interface is
// skipped by every walk over the alternates: formats, ranges, rates, selection, intersection.
TEST_F(SimDeviceTest, VendorAlternateIsSkippedByEveryWalk)
{
    for (const char *name : {"Uac1VendorAlternateLast", "Uac2VendorAlternateLast"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(start_variety(name), STATUS_SUCCESS);
        if (audio->IsUac2()) {
            ASSERT_EQ(audio->SetSampleRate(48000), STATUS_SUCCESS);
        } else {
            audio->m_CurrentSampleRate = 48000;
        }
        EXPECT_EQ(audio->IsSampleRateSupported(48000), STATUS_SUCCESS);
        for (ULONG direction : {0u, 1u}) {
            USB_STREAMING_INTERFACE *record = audio->GetRecord(direction);
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->AlternateCount, audio->IsUac2() ? 5u : 3u);
            ULONG maxChannels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
            EXPECT_EQ(audio->GetTerminalFormatRange(direction, &maxChannels, &minBits, &maxBits, &minRate, &maxRate),
                      STATUS_SUCCESS);
            EXPECT_EQ(minBits, 16u);
            ULONG channels = 0, container = 0, largest = 0;
            EXPECT_EQ(audio->GetStreamingFormat(direction, USB_AUDIO_TAG_PCM, 48000, &channels, &container),
                      STATUS_SUCCESS);
            EXPECT_EQ(audio->SelectStreamingFormat(direction, USB_AUDIO_TAG_PCM, 2, 16, 48000, 1, &channels, &container,
                                                   &largest),
                      STATUS_SUCCESS);
            EXPECT_EQ(record->CurrentAlternate, 1u);
            EXPECT_EQ(audio->BuildDataRanges(record), STATUS_SUCCESS);
            EXPECT_EQ(record->DataRangeCount, audio->IsUac2() ? 3u : 1u);
            ULONG low = 48000, high = 48000;
            EXPECT_EQ(audio->IntersectFormat(direction, 2, 16, 16, &low, &high), STATUS_SUCCESS);
            EXPECT_EQ(low, 48000u);
            EXPECT_EQ(high, 48000u);
        }
        audio.reset();
        lower.reset();
        model.reset();
    }
}

TEST_F(SimDeviceTest, DefaultUac2DeviceSelectsFormatsAndRates)
{
    ASSERT_EQ(start_model(sim::build_uac2_device({})), STATUS_SUCCESS);
    ASSERT_NE(audio->m_pRender, nullptr);
    ASSERT_NE(audio->m_pCapture, nullptr);
    EXPECT_TRUE(audio->IsUac2());
    EXPECT_TRUE(audio->m_ImplicitFeedback);
    EXPECT_EQ(audio->m_pRender->Terminal->GetID(), sim::uac2_ids::render_usb_in);
    EXPECT_EQ(audio->m_pCapture->Terminal->GetID(), sim::uac2_ids::capture_usb_out);

    EXPECT_EQ(audio->IsSampleRateSupported(96000), STATUS_SUCCESS);
    EXPECT_EQ(audio->IsSampleRateSupported(12345), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(model->clock_rate(sim::uac2_ids::render_clock), 96000u);
    ULONG frequency = 0;
    ASSERT_NE(audio->m_pRender->Terminal->GetClock(), nullptr);
    EXPECT_EQ(audio->m_pRender->Terminal->GetClock()->GetFrequency(&frequency), STATUS_SUCCESS);
    EXPECT_EQ(frequency, 96000u);
    EXPECT_TRUE(audio->m_pRender->Terminal->GetClock()->IsValid());

    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 24, 48000, 2, &channels, &container, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(container, 32u);
    EXPECT_EQ(model->current_alternate(audio->m_pRender->InterfaceNumber), audio->m_pRender->CurrentAlternate);
    EXPECT_EQ(model->stream_rate(audio->m_pRender->InterfaceNumber), 48000u);
    EXPECT_NE(audio->m_pRender->DataPipe, nullptr);
    EXPECT_NE(audio->m_pRender->FeedbackPipe, nullptr);
    EXPECT_EQ(audio->m_pRender->NominalPacketBytes, 6u * 8u);
    EXPECT_EQ(audio->m_pRender->LatestFeedbackValue, audio->NominalFeedback(48000));

    ULONG maxChannels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
    EXPECT_EQ(audio->GetTerminalFormatRange(1, &maxChannels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
    EXPECT_EQ(maxChannels, 8u);
    EXPECT_EQ(minRate, 44100u);
    EXPECT_EQ(maxRate, 192000u);
}

// Of the alternates that match, the one whose endpoint carries the rate is chosen: the widest
// one at 48 kHz, the 18-channel one at 96 kHz and the 10-channel one at 192 kHz; a rate none of
// them carries fails with the usual status, and data ranges leave out what cannot stream.
TEST_F(SimDeviceTest, ChosenAlternateCarriesTheRate)
{
    ASSERT_EQ(start_variety("WideMultichannelAlternates"), STATUS_SUCCESS);
    struct row {
        ULONG rate;
        ULONG channels;
    };
    for (const row r : {row{48000, 34}, row{96000, 18}, row{192000, 10}}) {
        SCOPED_TRACE(r.rate);
        ULONG channels = 0, container = 0, alternate = 0, largest = 0;
        ASSERT_EQ(audio->GetStreamingFormat(0, USB_AUDIO_TAG_PCM, r.rate, &channels, &container), STATUS_SUCCESS);
        EXPECT_EQ(channels, r.channels);
        EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_PCM, 34, 24, r.rate, &channels,
                                                &container, &alternate),
                  STATUS_SUCCESS);
        EXPECT_EQ(channels, r.channels);
        ASSERT_EQ(audio->SelectStreamingFormat(1, USB_AUDIO_TAG_PCM, r.channels, 24, r.rate, 1, &channels, &container,
                                               &largest),
                  STATUS_SUCCESS);
        EXPECT_LE(audio->m_pCapture->MaximumPacketBytes, audio->m_pCapture->DataPipe->MaximumPacketSize);
        audio->m_CurrentSampleRate = r.rate;
        ASSERT_EQ(audio->BuildDataRanges(audio->m_pRender), STATUS_SUCCESS);
        ULONG widest = 0;
        for (ULONG i = 0; i < audio->m_pRender->DataRangeCount; ++i) {
            widest = std::max(widest, audio->m_pRender->DataRanges[i].MaximumChannels);
        }
        EXPECT_EQ(widest, r.channels);
    }
    audio.reset();
    lower.reset();
    sim::uac2_options narrow;
    narrow.render_formats = {{8, 4, 24, false, 48000}, {2, 4, 24, false, 48000}};
    ASSERT_EQ(start_model(sim::build_uac2_device(narrow)), STATUS_SUCCESS);
    ULONG channels = 0, container = 0, alternate = 0;
    EXPECT_EQ(audio->GetStreamingFormat(0, USB_AUDIO_TAG_PCM, 96000, &channels, &container), STATUS_NO_MATCH);
    EXPECT_EQ(audio->SearchAlternateSetting(audio->m_pRender, USB_AUDIO_TAG_PCM, 2, 24, 96000, &channels, &container,
                                            &alternate),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(audio->IsFormatSupported(0, USB_AUDIO_TAG_PCM, 2, 24, 48000), STATUS_SUCCESS);
}

// Three pins, the first an external clock with nothing connected (its RANGE stalls): rates
// are set through the other pins, and the range and the data ranges come from them.
// A render packet never exceeds the endpoint's wMaxPacketSize: an adaptive output declaring
// room for the nominal 48 frames gets no frame above nominal in implicit-feedback mode.
TEST_F(SimDeviceTest, RenderPacketsStayWithinTheEndpoint)
{
    struct row {
        const char *variety;
        ULONG maximum;
        LONG above;
    };
    for (const row r : {row{"Uac1AdaptiveOutput", 49 * 4, 8}, row{"Uac1AdaptiveOutputNominalPacketsOnly", 48 * 4, 0}}) {
        SCOPED_TRACE(r.variety);
        ASSERT_EQ(start_variety(r.variety), STATUS_SUCCESS);
        ASSERT_TRUE(audio->IsImplicitFeedbackMode());
        ULONG channels = 0, container = 0, nominal = 0, largest = 0;
        LONG below = 0, above = 0;
        ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 8, &channels, &container, &nominal,
                                               &below, &above, &largest),
                  STATUS_SUCCESS);
        EXPECT_EQ(audio->m_pRender->MaximumPacketBytes, r.maximum);
        EXPECT_EQ(nominal, 8u * 48u * 4u);
        EXPECT_EQ(below, -8);
        EXPECT_EQ(above, r.above);
        audio.reset();
        lower.reset();
        model.reset();
    }
}

TEST_F(SimDeviceTest, ClockSelectorDeviceSetsRatesThroughItsPins)
{
    ASSERT_EQ(start_variety("ClockSelectorFirstInputFails"), STATUS_SUCCESS);
    CUSBAudioClock *clock = audio->m_pRender->Terminal->GetClock();
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->GetSubtype(), UAC2_AC_CLOCK_SELECTOR);
    EXPECT_EQ(audio->SetSampleRate(44100), STATUS_SUCCESS);
    ULONG frequency = 0;
    EXPECT_EQ(clock->GetFrequency(&frequency), STATUS_SUCCESS);
    EXPECT_EQ(frequency, 44100u);
    EXPECT_TRUE(clock->IsValid());
    EXPECT_EQ(model->clock_rate(sim::uac2_ids::selector_pin_clock), 44100u);
    ULONG low = 0, high = 0;
    EXPECT_EQ(clock->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 192000u);
    ASSERT_EQ(audio->BuildDataRanges(audio->m_pCapture), STATUS_SUCCESS);
    EXPECT_EQ(audio->m_pCapture->DataRangeCount, 3u);
    ULONG channels = 0, container = 0;
    EXPECT_EQ(audio->GetStreamingFormat(1, USB_AUDIO_TAG_PCM, 44100, &channels, &container), STATUS_SUCCESS);
}

TEST_F(SimDeviceTest, DefaultUac1DeviceSetsEndpointRatesAndConfirmsCaptureRates)
{
    sim::uac1_options options;
    options.capture_sf_control = false;
    ASSERT_EQ(start_model(sim::build_uac1_device(options)), STATUS_SUCCESS);
    EXPECT_FALSE(audio->IsUac2());
    EXPECT_FALSE(audio->IsHighSpeed());
    EXPECT_EQ(audio->SetSampleRate(48000), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(audio->m_CurrentSampleRate, 48000u);
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    ASSERT_EQ(audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 44100, 8, &channels, &container, &largest),
              STATUS_SUCCESS);
    EXPECT_EQ(model->stream_rate(audio->m_pRender->InterfaceNumber), 44100u);
    EXPECT_EQ(audio->m_pRender->NominalPacketBytes, 44u * 4u);
    EXPECT_FALSE(audio->m_pRender->ExactRate);

    model->set_endpoint_rate(sim::uac1_ids::capture_data_ep, 48000);
    EXPECT_EQ(audio->IsFormatSupported(1, USB_AUDIO_TAG_PCM, 2, 16, 48000), STATUS_SUCCESS);
    EXPECT_EQ(audio->IsFormatSupported(1, USB_AUDIO_TAG_PCM, 2, 16, 44100), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(model->current_alternate(audio->m_pCapture->InterfaceNumber), 0u);
}

TEST_F(SimDeviceTest, VendorClassQuirkIsRecognisedByIdentity)
{
    sim::uac2_options options;
    options.vendor_class = true;
    options.vendor_id = USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.VendorId;
    options.product_id = USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.ProductId;
    ASSERT_EQ(start_model(sim::build_uac2_device(options)), STATUS_SUCCESS);
    EXPECT_EQ(audio->m_StreamingInterfaceCount, 2u);
    audio.reset();
    lower.reset();
    // The maker's other products with vendor-class interfaces are not the quirk device.
    options.product_id = 0x0102;
    EXPECT_EQ(start_model(sim::build_uac2_device(options)), STATUS_NOT_SUPPORTED);
}

// The default simulated devices carry the maker's vendor ID, and none of them is mistaken for
// a quirk device: each starts as a plain audio-class device.
TEST_F(SimDeviceTest, DefaultDevicesAreTheMakersAndNoQuirkDevice)
{
    struct row {
        const char *name;
        sim::device_descriptors descriptors;
        USHORT product;
    };
    const row rows[] = {
        {"asynchronous", sim::build_uac2_device({}), 0x0102},
        {"standard class 1", sim::build_uac1_device(sim::standard_uac1_options()), 0x0201},
        {"standard class 2", sim::build_uac2_device(sim::standard_uac2_options(1)), 0x0202},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(start_model(r.descriptors), STATUS_SUCCESS);
        EXPECT_EQ(audio->GetVendorId(), USB_AUDIO_MAKER_VENDOR_ID);
        EXPECT_EQ(audio->GetProductId(), r.product);
        EXPECT_FALSE(audio->HasLengthPrefixedRender());
        for (const USB_AUDIO_DEVICE_ID &quirk : {USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS, USB_AUDIO_QUIRK_OTHER_VENDOR_CLASS,
                                                 USB_AUDIO_QUIRK_FULL_CONFIGURATION}) {
            EXPECT_FALSE(quirk.VendorId == audio->GetVendorId() && quirk.ProductId == audio->GetProductId());
        }
        audio.reset();
        lower.reset();
        model.reset();
        audio = std::make_unique<CUSBAudioCL>();
    }
}

TEST_F(SimDeviceTest, MalformedDescriptorSetsFailWithAStatus)
{
    using sim::malformation;
    struct row {
        malformation kind;
        bool uac1;
        NTSTATUS expected; // STATUS_PENDING: any status, as long as nothing breaks
    };
    const row rows[] = {
        {malformation::no_ac_header, false, STATUS_NOT_SUPPORTED},
        {malformation::header_total_past_interface, false, STATUS_NOT_SUPPORTED},
        {malformation::zero_length_entity, false, STATUS_PENDING},
        {malformation::truncated_entity, false, STATUS_PENDING},
        {malformation::fu_control_size_zero, true, STATUS_PENDING},
        {malformation::output_terminal_source_dangling, false, STATUS_PENDING},
        {malformation::selector_cycle, false, STATUS_PENDING},
        {malformation::as_interface_gap, false, STATUS_PENDING},
        {malformation::alternate_gap, false, STATUS_PENDING},
        {malformation::data_interval_16, false, STATUS_PENDING},
        {malformation::device_descriptor_17, false, STATUS_NOT_SUPPORTED},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(static_cast<int>(r.kind));
        sim::uac2_options options;
        options.clock_selector = r.kind == malformation::selector_cycle;
        sim::device_descriptors set =
            r.uac1 ? sim::build_uac1_device({}) : sim::build_uac2_device(options);
        set = sim::apply_malformation(set, r.kind);
        model = std::make_unique<sim::audio_device>(set);
        make_device(set.configuration, model->speed() == sim::usb_speed::high, set.device);
        lower->attach(model.get());
        NTSTATUS status = audio->Start(lower->pdo(), USB_AUDIO_IRP_COUNT);
        if (NT_SUCCESS(status)) {
            status = audio->Configure();
        }
        if (NT_SUCCESS(status)) {
            ULONG frequency = 0;
            ULONG channels = 0, container = 0, largest = 0;
            audio->SetSampleRate(48000);
            audio->SelectStreamingFormat(0, USB_AUDIO_TAG_PCM, 2, 16, 48000, 2, &channels, &container, &largest);
            if (audio->m_pRender != nullptr && audio->m_pRender->Terminal->GetClock() != nullptr) {
                audio->m_pRender->Terminal->GetClock()->GetFrequency(&frequency);
            }
        }
        if (r.expected != STATUS_PENDING) {
            EXPECT_EQ(status, r.expected);
        }
        audio.reset();
        lower.reset();
        model.reset();
        EXPECT_EQ(platform::pool_outstanding_blocks(USBAUDIO_TAG), 0u);
        audio = std::make_unique<CUSBAudioCL>();
    }
}

// The fuzz target's seed corpus holds every variety's descriptor set as the target reads its
// input (a first byte with the bus speed in bit 0, then the configuration descriptor), and
// each of them starts and configures the library. OVM_WRITE_FUZZ_SEEDS=1 writes the seeds anew.
TEST_F(SimDeviceTest, FuzzCorpusSeedsEveryVariety)
{
    for (sim::device_variety &v : sim::device_varieties()) {
        SCOPED_TRACE(v.name);
        std::string file = "variety";
        for (char ch : v.name) {
            if (std::isupper(static_cast<unsigned char>(ch))) {
                file += '_';
            }
            file += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        const std::string path = std::string(USBAUDIO_FUZZ_CORPUS) + "/" + file;
        bytes seed = {static_cast<std::uint8_t>(v.descriptors.speed == sim::usb_speed::high ? 1 : 0)};
        seed.insert(seed.end(), v.descriptors.configuration.begin(), v.descriptors.configuration.end());
        if (std::getenv("OVM_WRITE_FUZZ_SEEDS") != nullptr) {
            std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(seed.data()),
                                                         static_cast<std::streamsize>(seed.size()));
        }
        std::ifstream in(path, std::ios::binary);
        const bytes stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(stored, seed) << path << " is missing or stale: run with OVM_WRITE_FUZZ_SEEDS=1";
        EXPECT_EQ(start_model(v.descriptors, v.options), STATUS_SUCCESS);
        audio.reset();
        lower.reset();
        model.reset();
    }
}

} // namespace
} // namespace usbaudio_test
