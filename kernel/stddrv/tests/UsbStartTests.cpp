// Start and configuration of the USB layer: both standard devices, the audio-control walk and
// the units it refuses, and descriptor sets a broken or hostile device may send.
#include "UsbTestBench.h"
#include <algorithm>
#include <platform/pool.h>
#include <platform/trace.h>
#include <platform/usb_host.h>
#include <random>
#include "StdPoolTags.h"
#include "StdTrace.h"
#include "USBAudioClock.h"
#include "USBAudioEntity.h"

namespace usb_test {
namespace {

constexpr NTSTATUS NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002);

// Offset of the AudioControl header in a configuration, and its total-length field.
size_t header_offset(const bytes &c)
{
    for (size_t at = 0; at + 2 < c.size(); at += c[at]) {
        if (c[at + 1] == 0x24 && c[at + 2] == 1) {
            return at;
        }
        if (c[at] == 0) {
            break;
        }
    }
    ADD_FAILURE() << "no AudioControl header";
    return 0;
}

// Appends class-specific AudioControl descriptors at the end of the header's area, growing the
// header's and the configuration's total lengths.
bytes with_ac_descriptors(bytes c, const bytes &descriptors)
{
    size_t header = header_offset(c);
    size_t field = header + ((c[header + 3] | c[header + 4] << 8) == 0x0200 ? 6 : 5);
    size_t total = c[field] | c[field + 1] << 8;
    c.insert(c.begin() + static_cast<std::ptrdiff_t>(header + total), descriptors.begin(), descriptors.end());
    total += descriptors.size();
    c[field] = static_cast<std::uint8_t>(total);
    c[field + 1] = static_cast<std::uint8_t>(total >> 8);
    c[2] = static_cast<std::uint8_t>(c.size());
    c[3] = static_cast<std::uint8_t>(c.size() >> 8);
    return c;
}

ULONG entity_count(CUSBAudioCL &audio)
{
    ULONG n = 0;
    for (CUSBAudioEntity *e = audio.GetEntities(); e != nullptr; e = e->m_pNext) {
        ++n;
    }
    return n;
}

// With the driver's trace provider registered, as DriverEntry registers it.
class UsbStartTest : public UsbLayerTest {
protected:
    void SetUp() override { TraceStart(&OVMLSAU_TRACE_GUID); }
    void TearDown() override
    {
        UsbLayerTest::TearDown();
        TraceStop();
    }

    static size_t error_records(const platform::trace_capture &capture)
    {
        const auto records = capture.records();
        return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const platform::trace_record &r) {
            return r.level == TRACE_LEVEL_ERROR;
        }));
    }
};

TEST_F(UsbStartTest, StandardClass1DeviceStartsAndConfiguresAtFullSpeed)
{
    start_model(sim::build_uac1_device(sim::standard_uac1_options()));
    EXPECT_FALSE(audio->IsUac2());
    EXPECT_FALSE(audio->IsHighSpeed());
    EXPECT_EQ(audio->GetProductId(), 0x0201);
    EXPECT_EQ(audio->GetStreamingInterfaceCount(), 2u);
    USB_STREAMING_INTERFACE *render = audio->GetStreamingInterface(0);
    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(1);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(render->Direction, USB_STREAM_RENDER);
    EXPECT_EQ(capture->Direction, USB_STREAM_CAPTURE);
    EXPECT_EQ(render->AlternateCount, 2u);
    EXPECT_EQ(capture->AlternateCount, 2u);
    ASSERT_NE(render->Terminal, nullptr);
    ASSERT_NE(capture->Terminal, nullptr);
    EXPECT_EQ(render->Terminal->GetID(), sim::uac1_ids::render_usb_in);
    EXPECT_EQ(capture->Terminal->GetID(), sim::uac1_ids::capture_usb_out);
    EXPECT_EQ(render->Terminal->GetClock(), nullptr);
    // Alternate 0 everywhere: no pipes, the device agrees.
    EXPECT_EQ(render->CurrentAlternate, 0u);
    EXPECT_EQ(render->Pipe, nullptr);
    EXPECT_EQ(capture->Pipe, nullptr);
    EXPECT_EQ(model->current_alternate(render->InterfaceNumber), 0);
    EXPECT_EQ(model->configuration_value(), 1);
    EXPECT_EQ(audio->IrpsAllocated(), USBCL_IRP_COUNT);
    EXPECT_EQ(audio->OutstandingRequests(), 0);
    EXPECT_EQ(platform::usb_bus_pdo_interface_references(pdo), 1);
    EXPECT_EQ(audio->Start(pdo), STATUS_INVALID_DEVICE_STATE) << "one device per layer";
    EXPECT_EQ(audio->GetStreamingInterfaceCount(), 2u);
    audio.reset();
    EXPECT_EQ(platform::usb_bus_pdo_interface_references(pdo), 0) << "the bus interface is released with the layer";
}

TEST_F(UsbStartTest, StandardClass2DeviceStartsWithItsClockAtHighSpeed)
{
    platform::trace_capture errors(&OVMLSAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    start_model(sim::build_uac2_device(sim::standard_uac2_options(1)));
    EXPECT_EQ(error_records(errors), 0u) << "a clean start traces no error";
    EXPECT_TRUE(audio->IsUac2());
    EXPECT_TRUE(audio->IsHighSpeed());
    EXPECT_EQ(audio->GetProductId(), 0x0202);
    USB_STREAMING_INTERFACE *render = audio->GetStreamingInterface(0);
    USB_STREAMING_INTERFACE *capture = audio->GetStreamingInterface(1);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(render->Terminal->GetID(), sim::uac2_ids::render_usb_in);
    EXPECT_EQ(capture->Terminal->GetID(), sim::uac2_ids::capture_usb_out);
    CUSBAudioClock *clock = render->Terminal->GetClock();
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->GetID(), sim::uac2_ids::render_clock);
    ULONG rate = 0;
    EXPECT_EQ(clock->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(clock->IsFrequencySupported(44100), STATUS_SUCCESS);
    EXPECT_EQ(clock->IsFrequencySupported(44000), NOT_SUPPORTED);
}

TEST_F(UsbStartTest, ClockSelectorForwardsToThePinThatSupportsTheRate)
{
    sim::uac2_options options = sim::standard_uac2_options(1);
    options.clock_selector = true;
    options.selector_pins = 2;
    start_model(sim::build_uac2_device(options));
    CUSBAudioClock *clock = audio->GetStreamingInterface(0)->Terminal->GetClock();
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->GetSubtype(), UAC2_AC_CLOCK_SELECTOR);
    EXPECT_EQ(clock->SetFrequency(44100), STATUS_SUCCESS);
    ULONG rate = 0;
    EXPECT_EQ(clock->GetFrequency(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 44100u);
    ULONG low = 0, high = 0;
    EXPECT_EQ(clock->GetFrequencyRange(&low, &high), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 192000u);
}

TEST_F(UsbStartTest, ClockSelectorThatNamesItselfEndsItsSearchInsteadOfRecursing)
{
    sim::uac2_options options = sim::standard_uac2_options(1);
    options.clock_selector = true;
    options.selector_pins = 2;
    bytes c = sim::build_uac2_device(options).configuration;
    size_t at = 0;
    for (; at < c.size() && !(c[at + 1] == 0x24 && c[at + 2] == UAC2_AC_CLOCK_SELECTOR); at += c[at]) {
    }
    ASSERT_LT(at, c.size());
    c[at + 5] = c[at + 3];
    c[at + 6] = c[at + 3];
    ASSERT_EQ(start_raw(c, sim::usb_speed::high), STATUS_SUCCESS);
    CUSBAudioClock *clock = audio->GetStreamingInterface(0)->Terminal->GetClock();
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->IsFrequencySupported(48000), NOT_SUPPORTED);
    EXPECT_EQ(clock->SetFrequency(48000), NOT_SUPPORTED);
    ULONG low = 1, high = 1;
    EXPECT_EQ(clock->GetFrequencyRange(&low, &high), NOT_SUPPORTED);
    EXPECT_EQ(low, 0u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(audio->IsFormatSupported(0, 2, 16, 48000), NOT_SUPPORTED);
}

TEST_F(UsbStartTest, DeviceWithOneDirectionOnlyDoesNotStart)
{
    sim::uac1_options renderOnly = sim::standard_uac1_options();
    renderOnly.capture = false;
    platform::trace_capture errors(&OVMLSAU_TRACE_GUID, TRACE_LEVEL_ERROR);
    EXPECT_EQ(start_raw(sim::build_uac1_device(renderOnly).configuration), NOT_SUPPORTED);
    EXPECT_NE(error_records(errors), 0u) << "the refusal is traced";
    EXPECT_EQ(audio->GetStreamingInterfaceCount(), 0u) << "a failed start leaves no model";
    EXPECT_EQ(entity_count(*audio), 0u);
}

TEST_F(UsbStartTest, CaptureOnlyDeviceDoesNotStart)
{
    sim::uac2_options captureOnly = sim::standard_uac2_options(1);
    captureOnly.render = false;
    EXPECT_EQ(start_raw(sim::build_uac2_device(captureOnly).configuration, sim::usb_speed::high), NOT_SUPPORTED);
}

TEST_F(UsbStartTest, Class1MixerUnitRefusesTheDevice)
{
    sim::uac1_options options = sim::standard_uac1_options();
    options.mixer_unit = true;
    EXPECT_EQ(start_raw(sim::build_uac1_device(options).configuration), NOT_IMPLEMENTED);
}

TEST_F(UsbStartTest, Class1ProcessingUnitRefusesTheDevice)
{
    sim::uac1_options options = sim::standard_uac1_options();
    options.processing_unit = true;
    EXPECT_EQ(start_raw(sim::build_uac1_device(options).configuration), NOT_IMPLEMENTED);
}

TEST_F(UsbStartTest, Class1SubtypeNineOrAboveEndsTheWalkBeforeAnyLaterUnit)
{
    bytes base = sim::build_uac1_device(sim::standard_uac1_options()).configuration;
    const bytes unknown = {5, 0x24, 0x09, 40, 1};
    const bytes mixer = {10, 0x24, 0x04, 41, 1, 1, 2, 3, 0, 0};
    {
        SCOPED_TRACE("mixer unit after the walk ended");
        bytes c = with_ac_descriptors(base, unknown);
        c = with_ac_descriptors(c, mixer);
        ASSERT_EQ(start_raw(c), STATUS_SUCCESS);
        EXPECT_EQ(entity_count(*audio), 6u) << "two terminals and a feature unit per direction";
        EXPECT_EQ(audio->FindEntity(40), nullptr);
    }
}

TEST_F(UsbStartTest, Class1MixerUnitAtTheEndStillRefusesTheDevice)
{
    const bytes mixer = {10, 0x24, 0x04, 41, 1, 1, 2, 3, 0, 0};
    bytes c = with_ac_descriptors(sim::build_uac1_device(sim::standard_uac1_options()).configuration, mixer);
    EXPECT_EQ(start_raw(c), NOT_IMPLEMENTED);
}

TEST_F(UsbStartTest, Class2UnitsThisDriverDoesNotRunRefuseTheDevice)
{
    for (std::uint8_t subtype : {4, 5, 7, 8, 9, 12, 13}) {
        SCOPED_TRACE(testing::Message() << "subtype " << int{subtype});
        sim::uac2_options options = sim::standard_uac2_options(1);
        options.extra_units = {subtype};
        auto layer = std::make_unique<CUSBAudioCL>();
        auto raw = std::make_shared<usb_raw_device>(standard_device_descriptor(),
                                                    sim::build_uac2_device(options).configuration,
                                                    sim::usb_speed::high);
        sim::usb_port *p = bus.connect(raw);
        PDEVICE_OBJECT busPdo = nullptr;
        ASSERT_EQ(platform::usb_create_bus_pdo(p, &busPdo), STATUS_SUCCESS);
        EXPECT_EQ(layer->Start(busPdo), NOT_IMPLEMENTED);
        layer.reset();
        platform::usb_delete_bus_pdo(busPdo);
        bus.remove(p);
    }
}

// Starts the layer on descriptor bytes and returns its status; the layer is destroyed again.
class UsbHostileDescriptorTest : public UsbLayerTest {
protected:
    NTSTATUS start_once(const bytes &device, const bytes &configuration, sim::usb_speed speed)
    {
        auto raw = std::make_shared<usb_raw_device>(device, configuration, speed);
        sim::usb_port *p = bus.connect(raw);
        PDEVICE_OBJECT busPdo = nullptr;
        EXPECT_EQ(platform::usb_create_bus_pdo(p, &busPdo), STATUS_SUCCESS);
        auto layer = std::make_unique<CUSBAudioCL>();
        NTSTATUS status = layer->Start(busPdo);
        layer.reset();
        platform::usb_delete_bus_pdo(busPdo);
        bus.remove(p);
        EXPECT_EQ(platform::pool_outstanding_blocks(STD_TAG), 0u);
        return status;
    }
};

TEST_F(UsbHostileDescriptorTest, MalformedSetsOfRealDevicesAreRefused)
{
    struct row {
        const char *name;
        sim::malformation kind;
        bool uac2;
    };
    const row rows[] = {
        {"no AC header, class 1", sim::malformation::no_ac_header, false},
        {"no AC header, class 2", sim::malformation::no_ac_header, true},
        {"header total past the interface", sim::malformation::header_total_past_interface, false},
        {"zero-length entity", sim::malformation::zero_length_entity, false},
        {"gap in the streaming interfaces", sim::malformation::as_interface_gap, true},
        {"gap in the alternates", sim::malformation::alternate_gap, false},
        {"17-byte device descriptor", sim::malformation::device_descriptor_17, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        sim::device_descriptors set = r.uac2 ? sim::build_uac2_device(sim::standard_uac2_options(1))
                                             : sim::build_uac1_device(sim::standard_uac1_options());
        set = sim::apply_malformation(set, r.kind);
        EXPECT_EQ(start_once(set.device, set.configuration, set.speed), NOT_SUPPORTED);
    }
}

TEST_F(UsbHostileDescriptorTest, ConfigurationTotalLengthThatLiesIsRefused)
{
    sim::device_descriptors set = sim::build_uac1_device(sim::standard_uac1_options());
    {
        SCOPED_TRACE("total below the header");
        bytes c = set.configuration;
        c[2] = 8;
        c[3] = 0;
        EXPECT_EQ(start_once(set.device, c, sim::usb_speed::full), NOT_SUPPORTED);
    }
    {
        SCOPED_TRACE("total beyond what the device sends");
        bytes c = set.configuration;
        size_t total = c.size() + 16;
        c[2] = static_cast<std::uint8_t>(total);
        c[3] = static_cast<std::uint8_t>(total >> 8);
        EXPECT_EQ(start_once(set.device, c, sim::usb_speed::full), NOT_SUPPORTED);
    }
    {
        SCOPED_TRACE("not a configuration descriptor");
        bytes c = set.configuration;
        c[1] = 0x07;
        EXPECT_EQ(start_once(set.device, c, sim::usb_speed::full), NOT_SUPPORTED);
    }
}

TEST_F(UsbHostileDescriptorTest, EveryTruncationOfAStandardSetFailsCleanly)
{
    for (bool uac2 : {false, true}) {
        sim::device_descriptors set = uac2 ? sim::build_uac2_device(sim::standard_uac2_options(1))
                                           : sim::build_uac1_device(sim::standard_uac1_options());
        // The capture data endpoint is the set's last endpoint: every cut before its end
        // leaves a direction without a usable alternate.
        const bytes &full = set.configuration;
        size_t lastEndpointEnd = 0;
        for (size_t at = 0; at < full.size(); at += full[at]) {
            if (full[at + 1] == 5) {
                lastEndpointEnd = at + full[at];
            }
        }
        for (size_t length = 9; length < full.size(); ++length) {
            SCOPED_TRACE(testing::Message() << (uac2 ? "class 2" : "class 1") << " cut to " << length);
            bytes c(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
            c[2] = static_cast<std::uint8_t>(length);
            c[3] = static_cast<std::uint8_t>(length >> 8);
            NTSTATUS status = start_once(set.device, c, set.speed);
            if (length < lastEndpointEnd) {
                EXPECT_EQ(status, NOT_SUPPORTED);
            }
        }
    }
}

TEST_F(UsbHostileDescriptorTest, ShortEndpointAndEntityDescriptorsAreNotRead)
{
    sim::device_descriptors set = sim::build_uac1_device(sim::standard_uac1_options());
    bytes c = set.configuration;
    // The data endpoint of the first streaming interface's alternate 1 becomes 5 bytes long;
    // the two bytes freed join a harmless unknown descriptor.
    size_t at = 0;
    int interfaces = 0;
    for (; at < c.size(); at += c[at]) {
        if (c[at + 1] == 4 && c[at + 2] == 1 && c[at + 3] == 1) {
            interfaces = 1;
        }
        if (interfaces == 1 && c[at + 1] == 5) {
            break;
        }
    }
    ASSERT_LT(at, c.size());
    std::uint8_t original = c[at];
    c[at] = 5;
    c[at + 5] = static_cast<std::uint8_t>(original - 5);
    c[at + 6] = 0xFF;
    EXPECT_EQ(start_once(set.device, c, sim::usb_speed::full), NOT_SUPPORTED);

    // A terminal cut to 3 bytes has no ID: the streaming interface links to nothing.
    bytes d = set.configuration;
    size_t header = header_offset(d);
    size_t it = header + d[header];
    ASSERT_EQ(d[it + 2], 2) << "the first entity is an input terminal";
    std::uint8_t length = d[it];
    d[it] = 3;
    d[it + 3] = static_cast<std::uint8_t>(length - 3);
    d[it + 4] = 0xFE;
    EXPECT_EQ(start_once(set.device, d, sim::usb_speed::full), NOT_SUPPORTED);
}

TEST_F(UsbHostileDescriptorTest, RandomlyDamagedSetsNeverCrashOrLeak)
{
    std::mt19937 random(0x5EED27);
    for (bool uac2 : {false, true}) {
        sim::device_descriptors set = uac2 ? sim::build_uac2_device(sim::standard_uac2_options(1))
                                           : sim::build_uac1_device(sim::standard_uac1_options());
        for (int round = 0; round < 150; ++round) {
            bytes c = set.configuration;
            int flips = 1 + static_cast<int>(random() % 4);
            for (int f = 0; f < flips; ++f) {
                size_t at = 4 + random() % (c.size() - 4);
                c[at] = static_cast<std::uint8_t>(random());
            }
            SCOPED_TRACE(testing::Message() << (uac2 ? "class 2" : "class 1") << " round " << round);
            start_once(set.device, c, set.speed);
        }
    }
}

} // namespace
} // namespace usb_test
