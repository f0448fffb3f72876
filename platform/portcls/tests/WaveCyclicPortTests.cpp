// The WaveCyclic port end to end with a test miniport whose hardware the test moves by hand:
// pins created through the port, state steps, the engine's render and capture requests copied
// through the cyclic buffer only as far as the position allows and bit-exact across its wrap,
// cancellation at STOP and at close, and service groups.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <cwctype>
#include <thread>
#include "WaveCyclicTestMiniport.h"
#include <platform/ks_client.h>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include <sim/audio_engine.h>

using namespace cyclictest;
using sim::wavecyclic_pin;
using sim::wavert_filter;

namespace {

constexpr ULONG test_tag = 0x63796354;
constexpr ULONG port_tag = 0x74506350;
constexpr ULONG timeout_ms = 10000;

std::wstring interface_path(const std::wstring &name)
{
    for (const std::wstring &path : sim::audio_interfaces()) {
        if (path.size() > name.size() &&
            std::equal(name.begin(), name.end(), path.end() - name.size(),
                       [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); })) {
            return path;
        }
    }
    return L"";
}

std::vector<UCHAR> pattern(ULONGLONG first, ULONG frames)
{
    std::vector<UCHAR> bytes((size_t)frames * block);
    sim::wavert_write_pattern(bytes.data(), first, frames, channels, bits);
    return bytes;
}

bool wait_for(const std::function<bool()> &condition)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

class WaveCyclicPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        log().reset();
        adapter = std::make_unique<cyclic_adapter>();
        ASSERT_EQ(STATUS_SUCCESS, adapter->start());
        std::wstring path = interface_path(L"\\Cyclic");
        ASSERT_FALSE(path.empty());
        ASSERT_EQ(STATUS_SUCCESS, wavert_filter::open(path, &filter));
    }

    void TearDown() override
    {
        pin.reset();
        filter.reset();
        adapter.reset();
        EXPECT_EQ(0, platform::portcls_live_objects());
        EXPECT_EQ(0, log().live_miniports.load());
        EXPECT_EQ(0, log().live_streams.load());
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(test_tag));
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(port_tag));
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        platform::machine_shutdown();
    }

    void open(ULONG id)
    {
        ASSERT_EQ(STATUS_SUCCESS,
                  sim::create_wavecyclic_pin(*filter, id, sim::pcm_connection_format(channels, bits, rate), &pin));
    }

    KSAUDIO_POSITION position()
    {
        KSAUDIO_POSITION where{};
        EXPECT_EQ(STATUS_SUCCESS, pin->position(&where));
        return where;
    }

    std::unique_ptr<cyclic_adapter> adapter;
    std::unique_ptr<wavert_filter> filter;
    std::unique_ptr<wavecyclic_pin> pin;
};

TEST_F(WaveCyclicPort, PinWalksTheStreamThroughEveryStateAndBackOnClose)
{
    open(pin_render);
    EXPECT_EQ(10u, log().notification_interval);
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    KSSTATE state{};
    ASSERT_EQ(STATUS_SUCCESS, pin->get_state(&state));
    EXPECT_EQ(KSSTATE_RUN, state);
    pin.reset();
    const std::vector<std::pair<ULONG, KSSTATE>> expected = {
        {pin_render, KSSTATE_ACQUIRE}, {pin_render, KSSTATE_PAUSE}, {pin_render, KSSTATE_RUN},
        {pin_render, KSSTATE_PAUSE},   {pin_render, KSSTATE_ACQUIRE}, {pin_render, KSSTATE_STOP}};
    EXPECT_EQ(expected, log().states);
}

TEST_F(WaveCyclicPort, StreamRequestsAreCheckedBeforeTheyWait)
{
    open(pin_render);
    std::vector<UCHAR> frames = pattern(0, 8);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, pin->submit_write(frames.data(), (ULONG)frames.size()));
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_ACQUIRE));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pin->submit_write(frames.data(), 3));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pin->submit_read(16));
    EXPECT_EQ(0u, pin->in_flight());
}

TEST_F(WaveCyclicPort, RenderFillsAheadOfThePlayPositionAndStaysBitExactAcrossTheWrap)
{
    open(pin_render);
    const ULONG size = log().buffer_size;
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_ACQUIRE));
    for (ULONG i = 0; i < 3; ++i) {
        std::vector<UCHAR> chunk = pattern(i * 240, 240);
        ASSERT_EQ(STATUS_PENDING, pin->submit_write(chunk.data(), (ULONG)chunk.size()));
    }
    // The buffer takes all but one frame before anything has played.
    KSAUDIO_POSITION where = position();
    EXPECT_EQ(0u, where.PlayOffset);
    EXPECT_EQ(size - block, where.WriteOffset);
    EXPECT_TRUE(pin->wait_in_flight(2, timeout_ms));
    EXPECT_EQ(2u, pin->in_flight());

    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    ASSERT_TRUE(advance(false, 960));
    ASSERT_TRUE(wait_for([&] { return position().WriteOffset == size - block + 960; }));
    EXPECT_EQ(960u, position().PlayOffset);
    EXPECT_TRUE(pin->wait_in_flight(1, timeout_ms));

    // The hardware never plays past what the port has written.
    ASSERT_TRUE(advance(false, 1200));
    ASSERT_TRUE(wait_for([&] { return position().WriteOffset == 2880; }));
    ASSERT_TRUE(advance(false, 720));
    EXPECT_TRUE(pin->wait_in_flight(0, timeout_ms));
    EXPECT_EQ(STATUS_SUCCESS, pin->take_completed(nullptr));
    where = position();
    EXPECT_EQ(2880u, where.PlayOffset);
    EXPECT_EQ(2880u, where.WriteOffset);
    std::lock_guard<std::mutex> guard(log().lock);
    ASSERT_EQ(2880u, log().played.size());
    EXPECT_EQ(pattern(0, 720), log().played);
}

TEST_F(WaveCyclicPort, CaptureReadsOnlyWhatTheDeviceHasWrittenInOrder)
{
    open(pin_capture);
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    for (ULONG i = 0; i < 4; ++i) {
        ASSERT_EQ(STATUS_PENDING, pin->submit_read(960));
    }
    ASSERT_TRUE(advance(true, 1000));
    EXPECT_TRUE(pin->wait_in_flight(3, timeout_ms));
    KSAUDIO_POSITION where = position();
    EXPECT_EQ(1000u, where.PlayOffset);
    EXPECT_EQ(1000u, where.WriteOffset);
    EXPECT_EQ(3u, pin->in_flight());

    ASSERT_TRUE(advance(true, 1600));
    ASSERT_TRUE(wait_for([&] { return position().WriteOffset == 2600; }));
    ASSERT_TRUE(advance(true, 1240));
    EXPECT_TRUE(pin->wait_in_flight(0, timeout_ms));
    std::vector<UCHAR> captured;
    EXPECT_EQ(STATUS_SUCCESS, pin->take_completed(&captured));
    ASSERT_EQ(3840u, captured.size());
    EXPECT_EQ(pattern(0, 960), captured);
    EXPECT_GT(log().copies_from, 4u);
}

TEST_F(WaveCyclicPort, StopAndCloseCancelWaitingRequests)
{
    open(pin_render);
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_PAUSE));
    std::vector<UCHAR> chunk = pattern(0, 480);
    for (ULONG i = 0; i < 3; ++i) {
        ASSERT_EQ(STATUS_PENDING, pin->submit_write(chunk.data(), (ULONG)chunk.size()));
    }
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_STOP));
    EXPECT_TRUE(pin->wait_in_flight(0, timeout_ms));
    EXPECT_EQ(STATUS_CANCELLED, pin->take_completed(nullptr));

    // Counters start over with the next run.
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_ACQUIRE));
    KSAUDIO_POSITION where = position();
    EXPECT_EQ(0u, where.PlayOffset);
    EXPECT_EQ(0u, where.WriteOffset);
    for (ULONG i = 0; i < 3; ++i) {
        ASSERT_EQ(STATUS_PENDING, pin->submit_write(chunk.data(), (ULONG)chunk.size()));
    }
    EXPECT_EQ(3u, pin->in_flight());
    pin.reset();
}

TEST_F(WaveCyclicPort, RequestsFailOnceTheStreamLosesItsPosition)
{
    open(pin_render);
    ASSERT_EQ(STATUS_SUCCESS, pin->set_state(KSSTATE_RUN));
    std::vector<UCHAR> chunk = pattern(0, 240);
    for (ULONG i = 0; i < 3; ++i) {
        ASSERT_EQ(STATUS_PENDING, pin->submit_write(chunk.data(), (ULONG)chunk.size()));
    }
    EXPECT_TRUE(pin->wait_in_flight(2, timeout_ms));
    log().position_result = STATUS_DEVICE_REMOVED;
    ASSERT_TRUE(advance(false, 480));
    EXPECT_TRUE(pin->wait_in_flight(0, timeout_ms));
    EXPECT_EQ(STATUS_DEVICE_REMOVED, pin->take_completed(nullptr));
    pin->submit_write(chunk.data(), (ULONG)chunk.size());
    EXPECT_TRUE(pin->wait_in_flight(0, timeout_ms));
    EXPECT_EQ(STATUS_DEVICE_REMOVED, pin->take_completed(nullptr));
}

TEST_F(WaveCyclicPort, FailedStreamCreationGivesTheInstanceBack)
{
    // STATUS_NOT_SUPPORTED too: it is the miniport's failure, not a sign to try another kind of
    // pin (which once released the port a second time).
    for (NTSTATUS failure : {STATUS_INVALID_PARAMETER, STATUS_NOT_SUPPORTED}) {
        SCOPED_TRACE(failure);
        log().new_stream_result = failure;
        EXPECT_EQ(failure, sim::create_wavecyclic_pin(*filter, pin_render,
                                                      sim::pcm_connection_format(channels, bits, rate), &pin));
    }
    log().new_stream_result = STATUS_SUCCESS;
    open(pin_render);
    std::unique_ptr<wavecyclic_pin> second;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              sim::create_wavecyclic_pin(*filter, pin_render, sim::pcm_connection_format(channels, bits, rate),
                                         &second));
    EXPECT_EQ(STATUS_NO_MATCH,
              sim::create_wavecyclic_pin(*filter, pin_capture, sim::pcm_connection_format(channels, bits, 44100),
                                         &second));
}

// A sink that counts its services.
class counting_sink final : public IServiceSink {
public:
    STDMETHODIMP QueryInterface(REFIID, void **object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++references; }
    STDMETHODIMP_(ULONG) Release() override { return (ULONG)--references; }
    STDMETHODIMP_(void) RequestService() override
    {
        irql = KeGetCurrentIrql();
        ++services;
    }
    std::atomic<LONG> references{1};
    std::atomic<ULONG> services{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
};

TEST(WaveCyclicServiceGroup, MembersRunInTheGroupsDpcUntilTheyLeave)
{
    platform::machine_boot();
    {
        PSERVICEGROUP group = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, PcNewServiceGroup(&group, nullptr));
        counting_sink first, second;
        ASSERT_EQ(STATUS_SUCCESS, group->AddMember(&first));
        ASSERT_EQ(STATUS_SUCCESS, group->AddMember(&second));
        EXPECT_EQ(2, first.references.load());
        group->RequestService();
        EXPECT_TRUE(wait_for([&] { return first.services == 1 && second.services == 1; }));
        EXPECT_EQ(DISPATCH_LEVEL, first.irql.load());

        group->RemoveMember(&first);
        EXPECT_EQ(1, first.references.load());
        group->RequestDelayedService((ULONGLONG)-10000LL);
        EXPECT_TRUE(wait_for([&] { return second.services == 2; }));
        EXPECT_EQ(1u, first.services.load());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, group->AddMember(nullptr));
        group->Release();
        EXPECT_EQ(1, second.references.load());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, PcNewServiceGroup(nullptr, nullptr));
    }
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(port_tag));
    platform::machine_shutdown();
}

} // namespace
