// The driver module on a machine: start with the stored rate and its subdevice, rate restore
// rules, rate changes while idle and while a stream runs, removal paths and allocation
// failures at start.
#include "AsyncDriverFixture.h"
#include <algorithm>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <platform/trace.h>
#include <sim/audio_engine.h>
#include "AdapterCommon.h"
#include "AsyncPoolTags.h"
#include "UsbAudioTrace.h"

namespace async_test {
namespace {

KSDATARANGE_AUDIO client_range(ULONG channels, ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = 8;
    range.MaximumBitsPerSample = 32;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

// The first streaming (non-bridge) pin of a data flow, or ~0.
ULONG streaming_pin(sim::wavert_filter &filter, KSPIN_DATAFLOW flow)
{
    ULONG count = 0;
    EXPECT_EQ(STATUS_SUCCESS, filter.pin_count(&count));
    for (ULONG pin = 0; pin < count; ++pin) {
        KSPIN_DATAFLOW pinFlow{};
        KSPIN_COMMUNICATION communication{};
        if (NT_SUCCESS(filter.pin_dataflow(pin, &pinFlow)) && NT_SUCCESS(filter.pin_communication(pin, &communication)) &&
            pinFlow == flow && communication != KSPIN_COMMUNICATION_BRIDGE) {
            return pin;
        }
    }
    return ~0u;
}

bool has_error(const platform::trace_capture &capture)
{
    const auto records = capture.records();
    return std::any_of(records.begin(), records.end(),
                       [](const platform::trace_record &r) { return r.level == TRACE_LEVEL_ERROR; });
}

using StartTest = AsyncDriverTest;

TEST_F(StartTest, StoredRateNamesTheSubdevice)
{
    attach_default();
    store_dword(L"SampleRate", 48000);
    platform::trace_capture capture(&OVMLSAAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    EXPECT_FALSE(has_error(capture));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_48000"}, audio_references());
    ASSERT_NE(nullptr, adapter());
    ULONG rate = 0;
    EXPECT_EQ(STATUS_SUCCESS, adapter()->GetSampleRate(&rate));
    EXPECT_EQ(48000u, rate);
    EXPECT_EQ(std::optional<ULONG>(48000), stored_dword(L"SampleRate"));
}

// A missing, unreadable or unsupported "SampleRate" falls back to 44100, or, on a device
// without 44100, to the first rate of the PCM rate table the device supports; it is stored.
TEST_F(StartTest, RateRestoreFallsBackTo44100OrTheFirstTableRateAndStoresIt)
{
    struct row {
        const char *label;
        std::optional<std::vector<UCHAR>> value; // stored bytes; none: no value
        ULONG type;
        std::vector<std::uint32_t> device_rates;
        ULONG expected;
    };
    const std::vector<std::uint32_t> rates = sim::audio_device_options{}.clock_rates;
    const std::vector<row> rows = {
        {"missing", std::nullopt, REG_DWORD, rates, 44100},
        {"unsupported rate 12345", std::vector<UCHAR>{0x39, 0x30, 0, 0}, REG_DWORD, rates, 44100},
        {"two-byte dword", std::vector<UCHAR>{0x80, 0xBB}, REG_DWORD, rates, 44100},
        {"eight-byte dword", std::vector<UCHAR>{0x80, 0xBB, 0, 0, 0, 0, 0, 0}, REG_DWORD, rates, 44100},
        {"string value", std::vector<UCHAR>{'4', 0, '8', 0, 0, 0}, REG_SZ, rates, 44100},
        {"missing on a 48 kHz-only device", std::nullopt, REG_DWORD, {48000}, 48000},
        {"unsupported on a device of 96 and 48 kHz", std::vector<UCHAR>{0x39, 0x30, 0, 0}, REG_DWORD, {96000, 48000},
         48000},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        sim::audio_device_options options;
        options.clock_rates = r.device_rates;
        attach(sim::build_uac2_device({}), options);
        if (r.value) {
            store_bytes(L"SampleRate", r.type, *r.value);
        }
        ASSERT_EQ(STATUS_SUCCESS, start_driver());
        EXPECT_EQ(std::vector<std::wstring>{r.expected == 44100 ? L"Wave_44100" : L"Wave_48000"}, audio_references());
        EXPECT_EQ(std::optional<ULONG>(r.expected), stored_dword(L"SampleRate"));
        remove_and_unload();
        added = removed = false;
        lower.reset();
        model.reset();
    }
}

TEST_F(StartTest, SupportedRateWithoutANameStartsWithoutSubdevice)
{
    sim::audio_device_options options;
    options.clock_rates = {22050, 44100, 48000, 96000};
    attach(sim::build_uac2_device({}), options);
    store_dword(L"SampleRate", 22050);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    EXPECT_TRUE(audio_references().empty());
    ASSERT_NE(nullptr, adapter());
    ULONG rate = 0;
    adapter()->GetSampleRate(&rate);
    EXPECT_EQ(22050u, rate);
    // The current rate stays as it is; a change to a listed rate brings the subdevice in, with
    // no miniport to unregister first.
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(22050));
    EXPECT_TRUE(audio_references().empty());
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(48000));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_48000"}, audio_references());
    EXPECT_EQ(std::optional<ULONG>(48000), stored_dword(L"SampleRate"));
}

TEST_F(StartTest, RateChangesNeverLeaveTheDeviceWithoutItsSubdevice)
{
    sim::audio_device_options options;
    options.clock_rates = {22050, 44100, 48000, 96000};
    attach(sim::build_uac2_device({}), options);
    store_dword(L"SampleRate", 48000);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    // A rate the device has but no subdevice name is refused before anything is unregistered.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, adapter()->SetSampleRate(22050));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_48000"}, audio_references());
    ULONG rate = 0;
    adapter()->GetSampleRate(&rate);
    EXPECT_EQ(48000u, rate);
    EXPECT_EQ(std::optional<ULONG>(48000), stored_dword(L"SampleRate"));

    // A registration that fails (no memory for the new miniport) is reported; the rate has
    // changed, and the next call at that rate registers the subdevice.
    platform::pool_fail_tag(ASYNC_ADAPTER_TAG);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, adapter()->SetSampleRate(96000));
    platform::pool_fail_reset();
    EXPECT_TRUE(audio_references().empty());
    adapter()->GetSampleRate(&rate);
    EXPECT_EQ(96000u, rate);
    EXPECT_EQ(std::optional<ULONG>(96000), stored_dword(L"SampleRate"));
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(96000));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_96000"}, audio_references());
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(44100));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_44100"}, audio_references());
}

TEST_F(StartTest, ClassOneDeviceStarts)
{
    attach(sim::build_uac1_device({}));
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_44100"}, audio_references());
}

TEST_F(StartTest, IdleRateChangeReplacesTheInterfaceAndPersists)
{
    attach_default();
    store_dword(L"SampleRate", 48000);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    size_t events = platform::pnp_interface_events().size();
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(48000));
    EXPECT_EQ(events, platform::pnp_interface_events().size());

    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(96000));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_96000"}, audio_references());
    EXPECT_EQ(std::optional<ULONG>(96000), stored_dword(L"SampleRate"));
    EXPECT_EQ(96000u, model->clock_rate(sim::uac2_ids::render_clock));

    EXPECT_EQ(STATUS_INVALID_PARAMETER, adapter()->SetSampleRate(12345));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_96000"}, audio_references());

    // A second change works on the miniport the first one registered.
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(44100));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_44100"}, audio_references());
}

TEST_F(StartTest, AFilterOpenAcrossARateChangeKeepsItsOwnDescription)
{
    attach_default();
    store_dword(L"SampleRate", 48000);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    std::unique_ptr<sim::wavert_filter> old;
    ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(audio_path(L"Wave_48000"), &old));
    ULONG pin = streaming_pin(*old, KSPIN_DATAFLOW_IN);
    ASSERT_NE(~0u, pin);
    auto rates = [pin](sim::wavert_filter &filter) {
        std::vector<KSDATARANGE_AUDIO> ranges;
        std::vector<bool> attributed;
        EXPECT_EQ(STATUS_SUCCESS, filter.pin_audio_ranges(pin, &ranges, &attributed));
        std::vector<std::pair<ULONG, ULONG>> found;
        for (const KSDATARANGE_AUDIO &range : ranges) {
            found.emplace_back(range.MinimumSampleFrequency, range.MaximumSampleFrequency);
        }
        return found;
    };
    const auto before = rates(*old);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(std::make_pair(48000u, 48000u), before.front());

    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(96000));
    std::unique_ptr<sim::wavert_filter> renamed;
    ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(audio_path(L"Wave_96000"), &renamed));
    const auto after = rates(*renamed);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(std::make_pair(96000u, 96000u), after.front());
    EXPECT_EQ(before, rates(*old)) << "the old filter's description was rebuilt under it";
    // The old miniport and its description go with the last handle on the old filter.
    old.reset();
    EXPECT_EQ(after, rates(*renamed));
}

TEST_F(StartTest, RateChangeIsRefusedWhileAStreamRuns)
{
    attach_on_bus(sim::build_uac2_device({}));
    store_dword(L"SampleRate", 48000);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    std::unique_ptr<sim::wavert_filter> filter;
    ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(audio_path(L"Wave_48000"), &filter));
    ULONG pin = streaming_pin(*filter, KSPIN_DATAFLOW_IN);
    ASSERT_NE(~0u, pin);

    std::vector<UCHAR> format;
    sim::ks_result probe;
    ASSERT_EQ(STATUS_SUCCESS, filter->intersect(pin, client_range(2, 8000, 192000), &format, &probe));
    std::vector<UCHAR> other;
    EXPECT_EQ(STATUS_NO_MATCH, filter->intersect(pin, client_range(1, 8000, 192000), &other, &probe));
    EXPECT_EQ(STATUS_NO_MATCH, filter->intersect(pin, client_range(2, 96000, 96000), &other, &probe));

    std::unique_ptr<sim::wavert_pin> stream;
    ASSERT_EQ(STATUS_SUCCESS, filter->create_pin(pin, format, &stream));
    std::unique_ptr<sim::wavert_pin> second;
    EXPECT_NE(STATUS_SUCCESS, filter->create_pin(pin, format, &second));
    ASSERT_EQ(STATUS_SUCCESS, stream->allocate_buffer(48000 * 8 / 10, 0));
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_RUN));
    auto common = static_cast<CAdapterCommon *>(adapter());
    EXPECT_EQ(1u, common->RunCount(FALSE));
    EXPECT_EQ(STATUS_DEVICE_BUSY, adapter()->SetSampleRate(96000));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_48000"}, audio_references());

    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_PAUSE));
    EXPECT_EQ(1u, common->RunCount(FALSE)) << "a paused stream keeps the device streaming";
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_ACQUIRE));
    EXPECT_EQ(0u, common->RunCount(FALSE));
    stream.reset();
    filter.reset();
    EXPECT_EQ(STATUS_SUCCESS, adapter()->SetSampleRate(96000));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_96000"}, audio_references());
}

TEST_F(StartTest, SurpriseRemovalThenRemoveUnloadsClean)
{
    attach_default();
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(audio_references().empty());
    auto common = static_cast<CAdapterCommon *>(adapter());
    ASSERT_NE(nullptr, common);
    ULONG channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
    EXPECT_EQ(STATUS_DELETE_PENDING,
              common->GetFormatRange(FALSE, &channels, &minBits, &maxBits, &minRate, &maxRate));
    EXPECT_EQ(STATUS_DELETE_PENDING, common->StartStream(FALSE));
    // An open that reaches the driver after the removal began finds the channel closed.
    EXPECT_EQ(STATUS_DELETE_PENDING, send_create(L"\\asio"));
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_REMOVE_DEVICE));
}

TEST_F(StartTest, SurpriseRemovalWithARunningStreamStopsItBeforeRemove)
{
    attach_on_bus(sim::build_uac2_device({}));
    store_dword(L"SampleRate", 48000);
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    std::unique_ptr<sim::wavert_filter> filter;
    ASSERT_EQ(STATUS_SUCCESS, sim::wavert_filter::open(audio_path(L"Wave_48000"), &filter));
    ULONG pin = streaming_pin(*filter, KSPIN_DATAFLOW_OUT);
    ASSERT_NE(~0u, pin);
    std::vector<UCHAR> format;
    sim::ks_result probe;
    ASSERT_EQ(STATUS_SUCCESS, filter->intersect(pin, client_range(2, 48000, 48000), &format, &probe));
    std::unique_ptr<sim::wavert_pin> stream;
    ASSERT_EQ(STATUS_SUCCESS, filter->create_pin(pin, format, &stream));
    ASSERT_EQ(STATUS_SUCCESS, stream->allocate_buffer(48000 / 10 * 4, 0));
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_RUN));
    auto common = static_cast<CAdapterCommon *>(adapter());
    EXPECT_EQ(1u, common->RunCount(TRUE));

    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_EQ(0u, common->RunCount(TRUE));
    EXPECT_EQ(0u, common->RunCount(FALSE));
    // The pin leaves RUN after removal; nothing is started again.
    EXPECT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_PAUSE));
    EXPECT_EQ(STATUS_SUCCESS, stream->set_state(KSSTATE_ACQUIRE));
    EXPECT_NE(STATUS_SUCCESS, stream->set_state(KSSTATE_PAUSE));
    stream.reset();
    filter.reset();
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_REMOVE_DEVICE));
}

TEST_F(StartTest, QueryRemoveClosesTheDeviceChannelUntilRestart)
{
    attach_default();
    ASSERT_EQ(STATUS_SUCCESS, start_driver());
    EXPECT_EQ(STATUS_SUCCESS, send_create(L"\\asio"));
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(1u, AsyncExtension(fdo())->Removing);
    EXPECT_EQ(STATUS_DELETE_PENDING, send_create(L"\\asio"));
    // A cancelled query-remove leaves the channel closed to new opens.
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(1u, AsyncExtension(fdo())->Removing);
    EXPECT_NE(nullptr, adapter());
    EXPECT_EQ(STATUS_DELETE_PENDING, send_create(L"\\ASIO"));
}

// The DSD-native flag: a non-zero "DSDNativeModeSupported" sets it, zero clears it, and without
// the value the device's answer to vendor mode 0 decides. IAdapterDsd is offered only with it.
TEST_F(StartTest, DsdNativeFlagDecidesTheDsdInterface)
{
    struct row {
        const char *label;
        std::optional<ULONG> stored;
        bool vendorMode;
        ULONG native;
    };
    const std::vector<row> rows = {
        {"absent, vendor mode answers", std::nullopt, true, 1},
        {"absent, vendor mode refused", std::nullopt, false, 0},
        {"set without vendor mode", 1, false, 1},
        {"any non-zero value", 7, false, 1},
        {"zero with vendor mode", 0, true, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        sim::audio_device_options options;
        options.vendor_mode_supported = r.vendorMode;
        attach(sim::build_uac2_device({}), options);
        if (r.stored) {
            store_dword(L"DSDNativeModeSupported", *r.stored);
        }
        ASSERT_EQ(STATUS_SUCCESS, start_driver());
        IAdapterDsd *dsd = reinterpret_cast<IAdapterDsd *>(0x1);
        NTSTATUS status = adapter()->QueryInterface(IID_IAdapterDsd, reinterpret_cast<PVOID *>(&dsd));
        if (r.native != 0) {
            ASSERT_EQ(STATUS_SUCCESS, status);
            ASSERT_NE(nullptr, dsd);
            EXPECT_EQ(1u, dsd->IsDsdSupported());
            EXPECT_EQ(STATUS_SUCCESS, dsd->SetDsdMode(0));
            dsd->Release();
        } else {
            EXPECT_EQ(STATUS_INVALID_PARAMETER, status);
            EXPECT_EQ(nullptr, dsd);
            EXPECT_EQ(STATUS_NOT_SUPPORTED, adapter()->SetDsdMode(1));
            EXPECT_EQ(STATUS_SUCCESS, adapter()->SetDsdMode(0));
        }
        remove_and_unload();
        added = removed = false;
        lower.reset();
        model.reset();
    }
}

// Two devices added before either starts: each adapter starts on its own device, with the rate
// of its own device key.
TEST_F(StartTest, TwoDevicesAddedBeforeEitherStartsEachStartOnTheirOwn)
{
    attach_default();
    store_dword(L"SampleRate", 48000);
    const sim::device_descriptors descriptors = sim::build_uac2_device({});
    sim::audio_device second(descriptors);
    usbaudio_test::test_lower_device secondLower(descriptors.device, descriptors.configuration, true);
    secondLower.attach(&second);
    platform::device_node fields;
    fields.instance_id = L"USB\\VID_3A51&PID_0102\\OVM0002";
    fields.hardware_ids = {L"USB\\VID_3A51&PID_0102"};
    fields.service = L"ovmlsaau";
    platform::pnp_create_node(secondLower.pdo(), fields);
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(secondLower.pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"SampleRate");
    ULONG rate = 96000;
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &rate, sizeof(rate)));
    ZwClose(key);

    ASSERT_EQ(STATUS_SUCCESS, machine.load_driver("ovmlsaau"));
    loaded = true;
    PDRIVER_OBJECT driver = machine.driver("ovmlsaau");
    ASSERT_EQ(STATUS_SUCCESS, driver->DriverExtension->AddDevice(driver, lower->pdo()));
    added = true;
    ASSERT_EQ(STATUS_SUCCESS, driver->DriverExtension->AddDevice(driver, secondLower.pdo()));
    ASSERT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_START_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, send_pnp_to(secondLower.pdo(), IRP_MN_START_DEVICE));

    PADAPTERCOMMON secondAdapter = AsyncExtension(secondLower.pdo()->AttachedDevice)->Adapter;
    ASSERT_NE(nullptr, adapter());
    ASSERT_NE(nullptr, secondAdapter);
    ULONG first = 0;
    rate = 0;
    EXPECT_EQ(STATUS_SUCCESS, adapter()->GetSampleRate(&first));
    EXPECT_EQ(STATUS_SUCCESS, secondAdapter->GetSampleRate(&rate));
    EXPECT_EQ(48000u, first);
    EXPECT_EQ(96000u, rate);
    EXPECT_EQ(48000u, model->clock_rate(sim::uac2_ids::render_clock));
    EXPECT_EQ(96000u, second.clock_rate(sim::uac2_ids::render_clock));
    std::vector<std::wstring> references = audio_references();
    std::sort(references.begin(), references.end());
    EXPECT_EQ((std::vector<std::wstring>{L"Wave_48000", L"Wave_96000"}), references);
    EXPECT_EQ(STATUS_SUCCESS, send_pnp_to(secondLower.pdo(), IRP_MN_REMOVE_DEVICE));
}

TEST_F(StartTest, RemovalRequestsBeforeAnyStartAreHandled)
{
    // A lower driver that fails START leaves the device added but never started; PnP then
    // sends its removal requests to the driver.
    attach_default();
    ASSERT_EQ(STATUS_SUCCESS, machine.load_driver("ovmlsaau"));
    loaded = true;
    PDRIVER_OBJECT driver = machine.driver("ovmlsaau");
    ASSERT_EQ(STATUS_SUCCESS, driver->DriverExtension->AddDevice(driver, device_pdo()));
    added = true;
    EXPECT_EQ(nullptr, adapter());
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(1u, AsyncExtension(fdo())->Removing);
    EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_REMOVE_DEVICE));
}

TEST_F(StartTest, AllocationFailuresAtStartFailCleanly)
{
    // Each of the first allocations of the start fails in turn; every failed start must leave
    // nothing behind, and a start that survives the failure must still remove cleanly.
    ULONG failed = 0;
    for (ULONG n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        attach_default();
        ASSERT_EQ(STATUS_SUCCESS, machine.load_driver("ovmlsaau"));
        loaded = true;
        PDRIVER_OBJECT driver = machine.driver("ovmlsaau");
        ASSERT_EQ(STATUS_SUCCESS, driver->DriverExtension->AddDevice(driver, lower->pdo()));
        added = true;
        platform::trace_capture capture(&OVMLSAAU_TRACE_GUID, TRACE_LEVEL_ERROR);
        NTSTATUS status = send_pnp(IRP_MN_START_DEVICE, n);
        if (!NT_SUCCESS(status)) {
            ++failed;
            EXPECT_TRUE(has_error(capture));
            EXPECT_EQ(nullptr, adapter());
            EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_ADAPTER_TAG));
        }
        remove_and_unload();
        added = removed = false;
        lower.reset();
        model.reset();
    }
    EXPECT_GT(failed, 5u);
}

} // namespace
} // namespace async_test
