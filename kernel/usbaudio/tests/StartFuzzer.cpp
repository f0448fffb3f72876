// libFuzzer target: arbitrary configuration descriptors through the audio-class start path on
// the test lower device, then the filter descriptor built from whatever topology they give,
// whose connection walk must end. The first input byte picks the bus speed and the device
// identity; the rest is the configuration descriptor the device reports.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sim/machine.h>
#include "FilterTopologyCheck.h"
#include "TestLowerDevice.h"
#include "USBAudioCL.h"
#include "UsbAudioQuirks.h"

namespace {

void exercise(CUSBAudioCL &audio)
{
    ULONG a = 0, b = 0, c = 0, d = 0, e = 0;
    LONG below = 0, above = 0;
    for (ULONG direction = 0; direction < 2; ++direction) {
        audio.GetTerminalFormatRange(direction, &a, &b, &c, &d, &e);
        audio.GetStreamingFormat(direction, 1, 48000, &a, &b);
        audio.IsFormatSupported(direction, 1, 2, 16, 48000);
        audio.SelectStreamingFormat(direction, 1, 2, 16, 48000, 2, &a, &b, &c);
        audio.SelectStreamingFormat(direction, 1, 8, 24, 44100, 8, &a, &b, &c, &below, &above, &d);
        audio.SelectStreamingFormat(direction, 0, 0, 0, 0, 2, &a, &b, &c);
    }
    audio.IsSampleRateSupported(96000);
    audio.SetSampleRate(48000);
}

// Builds the filter (before and after a current rate narrows the ranges) and stops the run
// on a topology whose walk could run away.
void build_filter(CUSBAudioCL &audio)
{
    for (ULONG rate : {0u, 48000u}) {
        audio.m_CurrentSampleRate = rate;
        PCFILTER_DESCRIPTOR filter = {};
        audio.BuildFilter(&filter);
        std::string why;
        if (!usbaudio_test::check_filter_topology(filter, &why)) {
            std::fprintf(stderr, "filter topology: %s\n", why.c_str());
            std::abort();
        }
        audio.FreeFilter(&filter);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static sim::machine machine;
    if (size < 1) {
        return 0;
    }
    bool high_speed = (data[0] & 1) != 0;
    usbaudio_test::bytes device = (data[0] & 2) != 0
                                      ? usbaudio_test::device_descriptor(USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.VendorId,
                                                                         USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS.ProductId)
                                      : usbaudio_test::device_descriptor(0x3A51, 0x0102);
    usbaudio_test::bytes configuration(data + 1, data + size);
    auto lower = std::make_unique<usbaudio_test::test_lower_device>(device, configuration, high_speed);
    // Every clock and endpoint question gets a plausible answer so the selection paths run.
    for (std::uint16_t id = 0; id < 256; id += 1) {
        lower->answer(0x01, 0x0100, static_cast<std::uint16_t>(id << 8), {0x80, 0xBB, 0, 0});
        lower->answer(0x02, 0x0100, static_cast<std::uint16_t>(id << 8),
                      {1, 0, 0x44, 0xAC, 0, 0, 0x00, 0xEE, 0x02, 0, 0x64, 0, 0, 0});
    }
    auto audio = std::make_unique<CUSBAudioCL>();
    if (NT_SUCCESS(audio->Start(lower->pdo(), 4)) && NT_SUCCESS(audio->Configure())) {
        exercise(*audio);
        build_filter(*audio);
    }
    audio.reset();
    lower.reset();
    return 0;
}
