// Fixture of the library's tests: a booted machine, a test lower device with a descriptor set,
// and the audio-class object started on it, with the library's trace provider registered (as
// the driver registers it). Fails a test that leaks library pool or leaves the thread at
// raised IRQL.
#pragma once
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include <platform/pool.h>
#include <platform/trace.h>
#include <platform/verifier.h>
#include <sim/machine.h>
#include "TestLowerDevice.h"
#include "USBAudioCL.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"

namespace usbaudio_test {

class UsbAudioTest : public ::testing::Test {
protected:
    void SetUp() override { TraceStart(&OVMLSAAU_TRACE_GUID); }

    void TearDown() override
    {
        audio.reset();
        lower.reset();
        TraceStop();
        EXPECT_EQ(platform::pool_outstanding_blocks(USBAUDIO_TAG), 0u);
        EXPECT_EQ(platform::pool_outstanding_blocks(USBAUDIO_BOUNCE_TAG), 0u);
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
    }

    void make_device(bytes configuration, bool high_speed, bytes device = device_descriptor(0x3A51, 0x0102))
    {
        lower = std::make_unique<test_lower_device>(std::move(device), std::move(configuration), high_speed);
        audio = std::make_unique<CUSBAudioCL>();
    }

    NTSTATUS start(bytes configuration, bool high_speed, bytes device = device_descriptor(0x3A51, 0x0102))
    {
        make_device(std::move(configuration), high_speed, std::move(device));
        return audio->Start(lower->pdo(), USB_AUDIO_IRP_COUNT);
    }

    // Start and Configure, asserting both succeed.
    void start_configured(bytes configuration, bool high_speed, bytes device = device_descriptor(0x3A51, 0x0102))
    {
        ASSERT_EQ(start(std::move(configuration), high_speed, std::move(device)), STATUS_SUCCESS);
        ASSERT_EQ(audio->Configure(), STATUS_SUCCESS);
    }

    // Answers of a UAC2 clock: CUR frequency and a RANGE of triplets.
    void clock_answers(std::uint8_t clock, std::uint32_t current,
                       const std::vector<std::array<std::uint32_t, 3>> &triplets)
    {
        std::uint16_t index = static_cast<std::uint16_t>(clock << 8);
        lower->answer(0x01, 0x0100, index, le32(current));
        bytes range = {static_cast<std::uint8_t>(triplets.size()), static_cast<std::uint8_t>(triplets.size() >> 8)};
        for (const auto &t : triplets) {
            for (std::uint32_t v : t) {
                bytes b = le32(v);
                range.insert(range.end(), b.begin(), b.end());
            }
        }
        lower->answer(0x02, 0x0100, index, range);
    }

    // Error records the capture took from the library's provider.
    static size_t error_records(const platform::trace_capture &capture)
    {
        const auto records = capture.records();
        return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const platform::trace_record &r) {
            return r.level == TRACE_LEVEL_ERROR;
        }));
    }

    static bytes le32(std::uint32_t v)
    {
        return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 24)};
    }

    size_t count_requests(std::uint8_t request_type, std::uint8_t request, std::uint16_t value) const
    {
        size_t n = 0;
        for (const control_record &c : lower->controls) {
            n += c.request_type == request_type && c.request == request && c.value == value ? 1 : 0;
        }
        return n;
    }

    sim::machine machine;
    std::unique_ptr<test_lower_device> lower;
    std::unique_ptr<CUSBAudioCL> audio;
};

} // namespace usbaudio_test
