// The audio engine's WaveCyclic role through ovmlsau as the machine loads it, on the paced bus:
// the "Wave" filter of a standard device that loops its output back, a format from the port's
// intersection, a render and a capture pin streaming at once through the cyclic buffers and the
// transfer engine, and the captured audio a clean run of what was played.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/ks_client.h>
#include <platform/pool.h>
#include <sim/audio_device.h>
#include <sim/audio_engine.h>
#include <sim/clean_run.h>
#include <sim/machine.h>
#include <sim/package_drivers.h>
#include <sim/paced_bus.h>
#include "StdEnginePacing.h"

namespace {

constexpr ULONG kCapturePin = 0;
constexpr ULONG kRenderPin = 2;
constexpr ULONG kTimeoutMs = 10000;

KSDATARANGE_AUDIO stereo_range()
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 2;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 16;
    range.MinimumSampleFrequency = 44100;
    range.MaximumSampleFrequency = 48000;
    return range;
}

class CyclicEndToEnd : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        sim::install_package_drivers(machine);
        bus = std::make_unique<sim::paced_bus>(machine);
        auto device = std::make_shared<sim::audio_device>(
            GetParam() ? sim::build_uac2_device(sim::standard_uac2_options(1))
                       : sim::build_uac1_device(sim::standard_uac1_options()));
        ASSERT_EQ(STATUS_SUCCESS, machine.attach(device, &pdo));
        std::vector<std::wstring> paths = sim::audio_interfaces();
        ASSERT_EQ(1u, paths.size());
        ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(paths[0], &filter));
    }

    void TearDown() override
    {
        EXPECT_EQ(0u, bus->overruns()) << "the bus ran ahead of the engine or a pin";
        filter.reset();
        if (pdo != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo));
        }
        const std::string path = machine.module_path("ovmlsau");
        EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmlsau"));
        EXPECT_TRUE(platform::pool_leaks(path).empty()) << platform::pool_leak_report(path);
        bus.reset();
    }

    // The started device's adapter: the driver's extension holds it right after portcls's part.
    CAdapterCommon *adapter() const
    {
        auto extension = static_cast<UCHAR *>(pdo->AttachedDevice->DeviceExtension);
        return static_cast<CAdapterCommon *>(
            *reinterpret_cast<PADAPTERCOMMON *>(extension + PORT_CLASS_DEVICE_EXTENSION_SIZE));
    }

    std::vector<UCHAR> intersect(ULONG pin)
    {
        std::vector<UCHAR> format;
        sim::ks_result probe;
        EXPECT_EQ(STATUS_SUCCESS, filter->intersect(pin, stereo_range(), &format, &probe));
        return format;
    }

    sim::machine machine;
    std::unique_ptr<sim::paced_bus> bus;
    DEVICE_OBJECT *pdo = nullptr;
    std::unique_ptr<sim::wavert_filter> filter;
};

TEST_P(CyclicEndToEnd, FilterAnswersItsPinsAndComponentId)
{
    ULONG count = 0;
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_count(&count));
    EXPECT_EQ(4u, count);
    KSPIN_DATAFLOW flow{};
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_dataflow(kCapturePin, &flow));
    EXPECT_EQ(KSPIN_DATAFLOW_OUT, flow);
    ASSERT_EQ(STATUS_SUCCESS, filter->pin_dataflow(kRenderPin, &flow));
    EXPECT_EQ(KSPIN_DATAFLOW_IN, flow);
    KSCOMPONENTID id{};
    ASSERT_EQ(STATUS_SUCCESS, filter->component_id(&id));
    EXPECT_EQ(0xD5A47FA8u, id.Manufacturer.Data1);
    EXPECT_EQ(1u, id.Version);
}

TEST_P(CyclicEndToEnd, IntersectionGivesTheHighestRateAndOnlySupportedFormatsOpen)
{
    std::vector<UCHAR> format = intersect(kRenderPin);
    ASSERT_GE(format.size(), sizeof(KSDATAFORMAT_WAVEFORMATEX));
    const auto *wave = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX *>(format.data());
    EXPECT_EQ(2u, wave->WaveFormatEx.nChannels);
    EXPECT_EQ(16u, wave->WaveFormatEx.wBitsPerSample);
    EXPECT_EQ(48000u, wave->WaveFormatEx.nSamplesPerSec);

    std::unique_ptr<sim::wavecyclic_pin> pin;
    EXPECT_EQ(STATUS_NO_MATCH,
              sim::create_wavecyclic_pin(*filter, kRenderPin, sim::pcm_connection_format(2, 24, 48000), &pin));
    EXPECT_EQ(STATUS_NO_MATCH,
              sim::create_wavecyclic_pin(*filter, kRenderPin, sim::pcm_connection_format(2, 16, 96000), &pin));
    ASSERT_EQ(STATUS_SUCCESS,
              sim::create_wavecyclic_pin(*filter, kRenderPin, sim::pcm_connection_format(2, 16, 44100), &pin));
    std::unique_ptr<sim::wavecyclic_pin> second;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, sim::create_wavecyclic_pin(*filter, kRenderPin, format, &second));
}

TEST_P(CyclicEndToEnd, RenderLoopsBackIntoCaptureAsACleanRun)
{
    std::unique_ptr<sim::wavecyclic_pin> render;
    std::unique_ptr<sim::wavecyclic_pin> capture;
    ASSERT_EQ(STATUS_SUCCESS, sim::create_wavecyclic_pin(*filter, kCapturePin, intersect(kCapturePin), &capture));
    ASSERT_EQ(STATUS_SUCCESS, sim::create_wavecyclic_pin(*filter, kRenderPin, intersect(kRenderPin), &render));
    CAdapterCommon *engine = adapter();
    ASSERT_NE(nullptr, engine);
    sim::paced_bus::gate streaming =
        bus->hold([&] { return render->caught_up() && capture->caught_up() && stddrv_test::std_engine_settled(*engine); });
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));

    const ULONG rate = render->rate();
    const ULONG block = render->block_align();
    std::atomic<bool> rendered{false};
    std::thread player([&] { rendered = render->render_pattern(rate * 3 / 2, rate / 100, 4, kTimeoutMs); });
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_RUN));
    std::vector<UCHAR> captured;
    bool recorded = capture->capture_frames(rate, rate / 100, 8, kTimeoutMs, &captured);
    // What was recorded came while every client kept up; the rest of the pattern plays freely.
    streaming.release();
    player.join();
    ASSERT_TRUE(rendered);
    ASSERT_TRUE(recorded);

    KSAUDIO_POSITION played{};
    ASSERT_EQ(STATUS_SUCCESS, render->position(&played));
    EXPECT_GT(played.PlayOffset, 0u);
    EXPECT_LE(played.PlayOffset, played.WriteOffset);

    // Silence, then the pattern from its first frame on, unchanged, to the last frame recorded.
    const sim::clean_run run = sim::check_clean_run(
        captured, block, render->frames_rendered(),
        [&](ULONGLONG k, UCHAR *out) { sim::wavert_write_pattern(out, k, 1, render->channels(), render->bits()); });
    EXPECT_TRUE(run.clean) << run.why;
    EXPECT_GT(run.frames, rate / 2);
    render.reset();
    capture.reset();
}

TEST_P(CyclicEndToEnd, RemovalMidStreamFailsTheRequestsAndThePinsStillClose)
{
    std::unique_ptr<sim::wavecyclic_pin> render;
    std::unique_ptr<sim::wavecyclic_pin> capture;
    ASSERT_EQ(STATUS_SUCCESS, sim::create_wavecyclic_pin(*filter, kCapturePin, intersect(kCapturePin), &capture));
    ASSERT_EQ(STATUS_SUCCESS, sim::create_wavecyclic_pin(*filter, kRenderPin, intersect(kRenderPin), &render));
    ASSERT_EQ(STATUS_SUCCESS, render->set_state(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, capture->set_state(KSSTATE_RUN));
    const ULONG rate = render->rate();
    ASSERT_TRUE(render->render_pattern(rate / 10, rate / 100, 4, kTimeoutMs));
    std::vector<UCHAR> captured;
    ASSERT_TRUE(capture->capture_frames(rate / 20, rate / 100, 4, kTimeoutMs, &captured));
    for (ULONG i = 0; i < 4; ++i) {
        ASSERT_EQ(STATUS_PENDING, capture->submit_read(rate / 100 * capture->block_align()));
    }

    ASSERT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    pdo = nullptr;
    EXPECT_TRUE(capture->wait_in_flight(0, kTimeoutMs));
    EXPECT_FALSE(NT_SUCCESS(capture->take_completed(nullptr)));
    EXPECT_FALSE(render->render_pattern(rate / 10, rate / 100, 1, kTimeoutMs));
    EXPECT_EQ(0u, render->in_flight());
    // The pins walk back to STOP on close although the device is gone.
    render.reset();
    capture.reset();
    filter.reset();
    EXPECT_EQ(0, platform::portcls_live_objects());
}

INSTANTIATE_TEST_SUITE_P(StandardDevices, CyclicEndToEnd, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Uac2" : "Uac1"; });

} // namespace
