// libFuzzer target: arbitrary configuration descriptors and class-request answers through the
// standard driver's own USB layer: start, configuration, the format queries and selections the
// adapter and miniport make, and the render sizing of a selected format. Input: one byte of
// flags (bit 0 high speed, bit 1 a USB 1.1 device, bits 2-3 the number of answers that
// follow), each answer as request, wIndex (16 bits), length and data, then the configuration
// descriptor the device reports.
#include <memory>
#include <platform/pool.h>
#include <sim/machine.h>
#include "FuzzInput.h"
#include "FuzzProcess.h"
#include "StdPoolTags.h"
#include "TestLowerDevice.h"
#include "USBAudioCL.h"

namespace {

constexpr std::uint16_t CONTROL_VALUE = 0x0100;

void exercise(CUSBAudioCL &audio)
{
    ULONG a = 0, b = 0, c = 0, d = 0, e = 0;
    for (ULONG direction = 0; direction < 2; ++direction) {
        audio.GetFormatRange(direction, &a, &b, &c, &d, &e);
        for (ULONG rate : {44100u, 48000u, 96000u}) {
            audio.IsFormatSupported(direction, 2, 16, rate);
            audio.IsFormatSupported(direction, 2, 24, rate);
        }
        ULONG bytes = 0;
        if (NT_SUCCESS(audio.SelectStreamingFormat(direction, 2, 16, 48000, 10, &bytes)) && direction == 0) {
            audio.GetRenderBytesPerTransfer(10);
        }
        audio.GetStreamPipe(direction);
        audio.SelectStreamingFormat(direction, 0, 0, 0, 10, &bytes);
    }
}

// The plausible answer to a clock (class 2: frequency, range) or endpoint rate (class 1)
// question: 48000 Hz, or 44100 and 48000 Hz for a range. False for any other request.
bool plausible_answer(std::uint8_t request, std::uint16_t index, usbaudio_test::bytes *answer)
{
    if (request == 0x01 && (index & 0xFF) == 0) {
        *answer = {0x80, 0xBB, 0, 0};
    } else if (request == 0x02 && (index & 0xFF) == 0) {
        *answer = {2, 0, 0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0x80, 0xBB, 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0};
    } else if (request == 0x81 && index < 256) {
        *answer = {0x80, 0xBB, 0};
    } else {
        return false;
    }
    return true;
}

// Gives every plausible question its answer.
void answer_plausibly(usbaudio_test::test_lower_device &lower)
{
    usbaudio_test::bytes answer;
    for (std::uint16_t id = 0; id < 256; ++id) {
        for (std::uint8_t request : {0x01, 0x02}) {
            plausible_answer(request, static_cast<std::uint16_t>(id << 8), &answer);
            lower.answer(request, CONTROL_VALUE, static_cast<std::uint16_t>(id << 8), answer);
        }
        plausible_answer(0x81, id, &answer);
        lower.answer(0x81, CONTROL_VALUE, id, answer);
    }
}

// Puts back the plausible answer of one question, or none where it has none.
void restore_answer(usbaudio_test::test_lower_device &lower, std::uint8_t request, std::uint16_t index)
{
    usbaudio_test::bytes answer;
    lower.forget(request, CONTROL_VALUE, index);
    if (plausible_answer(request, index, &answer)) {
        lower.answer(request, CONTROL_VALUE, index, answer);
    }
}

constexpr const char *TARGET = "stdusb_fuzz";

// One lower device for every input: the descriptors change, the plausible answers to every
// clock and endpoint rate question stay, so that the selections run; an input's own answers
// replace them for that input.
struct start_bench {
    start_bench() { answer_plausibly(lower); }
    sim::machine machine;
    usbaudio_test::test_lower_device lower{{}, {}, false};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    usbaudio_test::fuzz_input input(data, size);
    std::uint8_t flags = input.byte();
    usbaudio_test::bytes device = usbaudio_test::device_descriptor(0x3A51, 0x0201, (flags & 2) != 0 ? 0x0110 : 0x0200);
    std::vector<std::pair<std::pair<std::uint8_t, std::uint16_t>, usbaudio_test::bytes>> answers;
    for (ULONG i = 0; i < ((flags >> 2) & 3u); ++i) {
        std::uint8_t request = input.byte();
        std::uint16_t index = input.u16();
        answers.push_back({{request, index}, input.bytes(input.byte() % 17)});
    }
    usbaudio_test::bytes configuration = input.bytes(input.left());

    usbaudio_test::test_lower_device *lower = &usbaudio_test::fuzz_bench<start_bench>().lower;
    lower->device = device;
    lower->configuration = configuration;
    lower->high_speed = (flags & 1) != 0;
    lower->controls.clear();
    for (auto &[key, bytes] : answers) {
        lower->answer(key.first, CONTROL_VALUE, key.second, bytes);
    }

    const ULONG before = platform::pool_outstanding_blocks(STD_TAG);
    {
        auto audio = std::make_unique<CUSBAudioCL>();
        if (NT_SUCCESS(audio->Start(lower->pdo())) && NT_SUCCESS(audio->Configure())) {
            exercise(*audio);
        }
    }
    // The input's answers go, and so do the values its SET CUR requests left to be read back.
    for (auto &[key, bytes] : answers) {
        restore_answer(*lower, key.first, key.second);
    }
    for (const usbaudio_test::control_record &record : lower->controls) {
        if ((record.request_type & 0x80) == 0 && record.request == 0x01) {
            restore_answer(*lower, (record.request_type & 0x1F) == 2 ? 0x81 : 0x01, record.index);
        }
    }
    if (platform::pool_outstanding_blocks(STD_TAG) != before) {
        usbaudio_test::fuzz_stop(TARGET, "pool leak: %s", platform::pool_leak_report("").c_str());
    }
    usbaudio_test::fuzz_check_thread(TARGET);
    return 0;
}
