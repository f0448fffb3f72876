// Audio-class entities: clock requests and RANGE parsing, clock selectors, terminal controls
// and connector state, feature-unit controls, and names.
#include "UsbAudioTestFixture.h"
#include <array>
#include <functional>
#include "USBAudioClock.h"
#include "USBAudioFeatureUnit.h"
#include "USBAudioTerminal.h"

namespace usbaudio_test {
namespace {

constexpr std::uint16_t kClockIndex = 0x2800;

class EntityTest : public UsbAudioTest {
protected:
    CUSBAudioClock *clock() { return audio->FindClock(0x28); }

    // A UAC2 device whose render terminal runs from a selector (ID 0x30) over pins with
    // clock sources 0x28, 0x2A, 0x2B (or the IDs given).
    void start_with_selector(std::vector<std::uint8_t> pins)
    {
        config_builder c;
        c.add_interface(0, 0, 0, 1, 1).ac_header(true);
        c.raw({8, 0x24, 0x0A, 0x28, 0x03, 0x07, 0, 0});
        c.raw({8, 0x24, 0x0A, 0x2A, 0x03, 0x07, 0, 0});
        c.raw({8, 0x24, 0x0A, 0x2B, 0x03, 0x07, 0, 0});
        bytes selector = {static_cast<std::uint8_t>(7 + pins.size()), 0x24, 0x0B, 0x30,
                          static_cast<std::uint8_t>(pins.size())};
        selector.insert(selector.end(), pins.begin(), pins.end());
        selector.insert(selector.end(), {0x03, 0});
        for (std::uint8_t v : selector) {
            c.raw({v});
        }
        c.raw({17, 0x24, 2, 2, 0x01, 0x01, 0, 0x30, 2, 3, 0, 0, 0, 0, 0, 0, 0});
        c.add_interface(1, 0, 0).add_interface(1, 1, 1);
        c.raw({16, 0x24, 1, 2, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0});
        c.raw({6, 0x24, 2, 1, 2, 16});
        c.endpoint(0x01, 0x05, 200, 1);
        ASSERT_EQ(start(c.finish(), true), STATUS_SUCCESS);
    }

    CUSBAudioClockSelector *selector() { return static_cast<CUSBAudioClockSelector *>(audio->FindClock(0x30)); }
};

TEST_F(EntityTest, ClockSourceValidity)
{
    {
        SCOPED_TRACE("no validity control: valid without a request");
        uac2_layout layout;
        layout.clock_controls = 0x03;
        ASSERT_EQ(start(uac2_config(layout), true), STATUS_SUCCESS);
        lower->controls.clear();
        EXPECT_TRUE(clock()->IsValid());
        EXPECT_TRUE(lower->controls.empty());
        audio.reset();
        lower.reset();
    }
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    lower->answer(0x01, 0x0200, kClockIndex, {0});
    EXPECT_FALSE(clock()->IsValid());
    lower->answer(0x01, 0x0200, kClockIndex, {1});
    EXPECT_TRUE(clock()->IsValid());
    lower->forget(0x01, 0x0200, kClockIndex);
    EXPECT_FALSE(clock()->IsValid()); // a failed request counts as not valid
}

TEST_F(EntityTest, ClockFrequencyRequestsUseTheClockAndInterface)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    clock_answers(0x28, 48000, {{44100, 44100, 0}});
    ULONG frequency = 0xDEADBEEF;
    EXPECT_EQ(clock()->GetFrequency(&frequency), STATUS_SUCCESS);
    EXPECT_EQ(frequency, 48000u);
    EXPECT_EQ(clock()->SetFrequency(96000), STATUS_SUCCESS);
    const control_record &set = lower->controls.back();
    EXPECT_EQ(set.request_type, 0x21);
    EXPECT_EQ(set.request, 0x01);
    EXPECT_EQ(set.value, 0x0100);
    EXPECT_EQ(set.index, kClockIndex);
    EXPECT_EQ(set.data, le32(96000));
}

TEST_F(EntityTest, RangeTripletsDecideSupportedRates)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    struct row {
        std::array<std::uint32_t, 3> triplet;
        ULONG rate;
        NTSTATUS expected;
    };
    const row rows[] = {
        {{44100, 44100, 0}, 44100, STATUS_SUCCESS},   {{44100, 44100, 0}, 48000, STATUS_NOT_SUPPORTED},
        {{44100, 96000, 0}, 44100, STATUS_SUCCESS},   {{44100, 96000, 0}, 96000, STATUS_SUCCESS},
        {{44100, 96000, 0}, 48000, STATUS_NOT_SUPPORTED}, {{8000, 192000, 100}, 48000, STATUS_SUCCESS},
        {{8000, 192000, 100}, 44150, STATUS_NOT_SUPPORTED}, {{8000, 192000, 100}, 7900, STATUS_NOT_SUPPORTED},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.triplet[0] << ".." << r.triplet[1] << "/" << r.triplet[2] << " @ "
                                        << r.rate);
        clock_answers(0x28, 48000, {r.triplet});
        EXPECT_EQ(clock()->IsFrequencySupported(r.rate), r.expected);
    }
}

TEST_F(EntityTest, FrequencyRangeIsNarrowedToTheBounds)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    ULONG low = 1;
    ULONG high = 1;
    clock_answers(0x28, 48000, {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}});
    EXPECT_EQ(clock()->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 96000u);
    EXPECT_EQ(clock()->GetFrequencyRange(&low, &high, 48000, 48000), STATUS_SUCCESS);
    EXPECT_EQ(low, 48000u);
    EXPECT_EQ(high, 48000u);
    clock_answers(0x28, 48000, {{8000, 192000, 1}});
    EXPECT_EQ(clock()->GetFrequencyRange(&low, &high, 44100, 96000), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 96000u);
    clock_answers(0x28, 48000, {});
    EXPECT_EQ(clock()->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(low, 0u);
    EXPECT_EQ(high, 0u);
}

TEST_F(EntityTest, OversizedOrShortRangeAnswersAreHandled)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    lower->answer(0x02, 0x0100, kClockIndex, {0x56, 0x15}); // 5462 sub-ranges
    lower->controls.clear();
    EXPECT_EQ(clock()->IsFrequencySupported(48000), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lower->controls.size(), 1u); // refused before the second request
    EXPECT_EQ(lower->controls[0].length, 16u);

    // Three sub-ranges announced, one delivered: only the delivered triplet counts.
    bytes short_answer = {3, 0};
    for (std::uint32_t v : {44100u, 44100u, 0u}) {
        bytes b = le32(v);
        short_answer.insert(short_answer.end(), b.begin(), b.end());
    }
    lower->answer(0x02, 0x0100, kClockIndex, short_answer);
    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(clock()->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 44100u);
    EXPECT_EQ(clock()->IsFrequencySupported(0), STATUS_NOT_SUPPORTED);
}

TEST_F(EntityTest, SelectorWithOnePinSendsNoSelectorRequest)
{
    start_with_selector({0x28});
    clock_answers(0x28, 48000, {{44100, 96000, 0}});
    lower->controls.clear();
    ULONG frequency = 0;
    EXPECT_EQ(selector()->GetFrequency(&frequency), STATUS_SUCCESS);
    EXPECT_EQ(frequency, 48000u);
    EXPECT_EQ(selector()->SetFrequency(96000), STATUS_SUCCESS);
    for (const control_record &c : lower->controls) {
        EXPECT_NE(c.index, 0x3000) << "selector request";
    }
}

TEST_F(EntityTest, SelectorSetFrequencyTriesPinsInOrder)
{
    start_with_selector({0x28, 0x2A, 0x2B});
    clock_answers(0x28, 44100, {{44100, 44100, 0}});
    clock_answers(0x2A, 48000, {{48000, 48000, 0}});
    clock_answers(0x2B, 96000, {{96000, 96000, 0}});
    lower->answer(0x01, 0x0100, 0x3000, {1});
    EXPECT_EQ(selector()->SetFrequency(96000), STATUS_SUCCESS);
    const control_record &last = lower->controls.back();
    EXPECT_EQ(last.index, 0x3000);
    EXPECT_EQ(last.data, bytes{3});
    ULONG frequency = 0;
    EXPECT_EQ(selector()->GetFrequency(&frequency), STATUS_SUCCESS);
    EXPECT_EQ(frequency, 96000u);
    EXPECT_EQ(selector()->SetFrequency(22050), STATUS_NOT_SUPPORTED);

    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(selector()->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 96000u);
}

// The selector's range asks every pin and keeps the answers of those that reply: an external
// clock with nothing connected (its RANGE stalls) on the first or last pin takes nothing away.
TEST_F(EntityTest, SelectorRangeKeepsThePinsThatAnswer)
{
    using range = std::vector<std::array<std::uint32_t, 3>>;
    struct row {
        const char *label;
        std::vector<std::pair<std::uint8_t, range>> answers;
        NTSTATUS status;
        ULONG low, high;
    };
    const row rows[] = {
        {"first pin silent", {{0x2A, {{44100, 48000, 0}}}, {0x2B, {{96000, 192000, 0}}}}, STATUS_SUCCESS, 44100, 192000},
        {"last pin silent", {{0x28, {{32000, 32000, 0}}}, {0x2A, {{48000, 48000, 0}}}}, STATUS_SUCCESS, 32000, 48000},
        {"no pin answers", {}, STATUS_PENDING, 0, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        start_with_selector({0x28, 0x2A, 0x2B});
        for (const auto &[clock, triplets] : r.answers) {
            clock_answers(clock, triplets[0][0], triplets);
        }
        ULONG low = 1;
        ULONG high = 1;
        NTSTATUS status = selector()->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF);
        if (r.status == STATUS_PENDING) {
            EXPECT_FALSE(NT_SUCCESS(status));
        } else {
            EXPECT_EQ(status, r.status);
        }
        EXPECT_EQ(low, r.low);
        EXPECT_EQ(high, r.high);
        audio.reset();
        lower.reset();
    }
}

TEST_F(EntityTest, SelectorAnsweringAPinItDoesNotHaveFails)
{
    start_with_selector({0x28, 0x2A, 0x2B});
    clock_answers(0x28, 44100, {{44100, 44100, 0}});
    for (std::uint8_t pin : {0, 4, 255}) {
        SCOPED_TRACE(static_cast<int>(pin));
        lower->answer(0x01, 0x0100, 0x3000, {pin});
        ULONG frequency = 0;
        EXPECT_EQ(selector()->GetFrequency(&frequency), STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(selector()->IsValid());
    }
}

TEST_F(EntityTest, SelectorCycleIsRefused)
{
    start_with_selector({0x30});
    ULONG frequency = 0;
    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(selector()->GetFrequency(&frequency), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(selector()->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(selector()->IsFrequencySupported(48000), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(selector()->SetFrequency(48000), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(selector()->IsValid());
}

TEST_F(EntityTest, TerminalControlsAndConnectorState)
{
    bytes config = uac2_config();
    ASSERT_EQ(start(config, true), STATUS_SUCCESS);
    auto *speaker = static_cast<CUSBAudioTerminal *>(audio->FindEntity(20));
    ASSERT_NE(speaker, nullptr);
    EXPECT_EQ(speaker->GetControls(), 0x0004u);
    EXPECT_TRUE(speaker->HasControl(1));
    EXPECT_FALSE(speaker->HasControl(0));
    EXPECT_FALSE(speaker->HasControl(5)); // output terminals have controls 0..4
    EXPECT_EQ(speaker->GetConnectorState(), -1); // request stalls
    lower->answer(0x01, 0x0200, 0x1400, {2, 3, 0, 0, 0, 0});
    EXPECT_EQ(speaker->GetConnectorState(), 1);
    lower->answer(0x01, 0x0200, 0x1400, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(speaker->GetConnectorState(), 0);

    // A connector field of 10b is invalid: no request, state unknown.
    audio.reset();
    lower.reset();
    size_t ot = 9 + 9 + 9 + 8 + 17 + 18;
    config[ot + 9] = 0x08;
    ASSERT_EQ(start(config, true), STATUS_SUCCESS);
    lower->controls.clear();
    EXPECT_EQ(static_cast<CUSBAudioTerminal *>(audio->FindEntity(20))->GetConnectorState(), -1);
    EXPECT_TRUE(lower->controls.empty());
}

TEST_F(EntityTest, FeatureUnitControlsOfBothRevisions)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    auto *unit = static_cast<CUSBAudioFeatureUnit *>(audio->FindEntity(10));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->GetChannelCount(), 3u);
    EXPECT_TRUE(unit->HasControl(0, UAC_FU_MUTE, UAC_FU_MODE_WRITE));
    EXPECT_TRUE(unit->HasControl(2, UAC_FU_VOLUME, UAC_FU_MODE_READ));
    EXPECT_FALSE(unit->HasControl(3, UAC_FU_VOLUME, UAC_FU_MODE_READ));
    UCHAR volume[2] = {0x00, 0xF6};
    EXPECT_EQ(unit->Request(1, UAC_FU_VOLUME, UAC_FU_DIRECTION_SET, 1, volume, 2), STATUS_SUCCESS);
    EXPECT_EQ(lower->controls.back().value, 0x0201);
    EXPECT_EQ(lower->controls.back().index, 0x0A00);
    EXPECT_EQ(unit->Request(1, UAC_FU_VOLUME, UAC_FU_DIRECTION_SET, 1, volume, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(unit->Request(1, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, 3, volume, 2), STATUS_NOT_SUPPORTED);
    audio.reset();
    lower.reset();

    uac1_layout layout;
    layout.fu_control_size = 2;
    ASSERT_EQ(start(uac1_config(layout), false), STATUS_SUCCESS);
    unit = static_cast<CUSBAudioFeatureUnit *>(audio->FindEntity(2));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->GetChannelCount(), 3u);
    EXPECT_TRUE(unit->HasControl(1, UAC_FU_VOLUME, UAC_FU_MODE_READ)); // bit 1 of the first byte
    EXPECT_TRUE(unit->HasControlOnAnyChannel(UAC_FU_MUTE));
    UCHAR value[2] = {};
    unit->Request(0, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, 4, value, 2);
    EXPECT_EQ(lower->controls.back().request, 0x84); // GET_RES
    EXPECT_EQ(lower->controls.back().request_type, 0xA1);
}

// A failed request or an impossible answer leaves an error record; a plain "no" of the device
// (a rate outside its range, a clock not valid yet) and a control the unit lacks do not.
TEST_F(EntityTest, FailuresAreTracedAsErrorsAndPlainAnswersAreNot)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    auto *speaker = static_cast<CUSBAudioTerminal *>(audio->FindEntity(20));
    auto *unit = static_cast<CUSBAudioFeatureUnit *>(audio->FindEntity(10));
    ASSERT_NE(speaker, nullptr);
    ASSERT_NE(unit, nullptr);
    struct row {
        const char *name;
        std::function<void()> act;
        bool error;
    };
    const row rows[] = {
        {"5462 sub-ranges",
         [&] {
             lower->answer(0x02, 0x0100, kClockIndex, {0x56, 0x15});
             EXPECT_EQ(clock()->IsFrequencySupported(48000), STATUS_UNSUCCESSFUL);
         },
         true},
        {"validity request stalls", [&] { EXPECT_FALSE(clock()->IsValid()); }, true},
        {"connector request stalls", [&] { EXPECT_EQ(speaker->GetConnectorState(), -1); }, true},
        {"rate outside the range",
         [&] {
             clock_answers(0x28, 48000, {{44100, 44100, 0}});
             EXPECT_EQ(clock()->IsFrequencySupported(48000), STATUS_NOT_SUPPORTED);
         },
         false},
        {"clock not valid yet",
         [&] {
             lower->answer(0x01, 0x0200, kClockIndex, {0});
             EXPECT_FALSE(clock()->IsValid());
         },
         false},
        {"control the unit lacks",
         [&] {
             UCHAR volume[2] = {};
             EXPECT_EQ(unit->Request(3, UAC_FU_VOLUME, UAC_FU_DIRECTION_GET, 1, volume, 2), STATUS_NOT_SUPPORTED);
         },
         false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        platform::trace_capture capture(&OVMLSAAU_TRACE_GUID, TRACE_LEVEL_ERROR);
        r.act();
        EXPECT_EQ(error_records(capture) != 0, r.error);
    }
}

TEST_F(EntityTest, NamesAreBoundedAndTerminated)
{
    ASSERT_EQ(start(uac2_config(), true), STATUS_SUCCESS);
    CUSBAudioEntity *entity = audio->FindEntity(0x28);
    char name[16];
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(entity->GetName(name, 8), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(name, "ClockSo");
    EXPECT_EQ(name[8], 'x');
    EXPECT_EQ(entity->GetName(name, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(entity->GetName(name, static_cast<SIZE_T>(0x80000000)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(entity->GetName(name, sizeof(name)), STATUS_SUCCESS);
    EXPECT_STREQ(name, "ClockSource(40)");
    EXPECT_EQ(audio->FindEntity(0), nullptr);
}

} // namespace
} // namespace usbaudio_test
