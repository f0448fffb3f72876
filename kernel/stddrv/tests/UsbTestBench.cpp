// The USB layer's test bench: the raw descriptor device, the bus device object over a
// step-mode host controller, and the completion recorder.
#include "UsbTestBench.h"
#include <algorithm>
#include <platform/pool.h>
#include <platform/usb_host.h>
#include <platform/verifier.h>
#include "StdPoolTags.h"

namespace usb_test {

namespace {

sim::host_controller_options step_bus()
{
    sim::host_controller_options options;
    options.drive = sim::bus_drive::step;
    return options;
}

} // namespace

usb_raw_device::usb_raw_device(bytes device, bytes configuration, sim::usb_speed speed)
    : device_(std::move(device)), configuration_(std::move(configuration)), speed_(speed)
{
}

sim::control_outcome usb_raw_device::handle_control(const sim::setup_packet &setup, std::span<std::uint8_t> data)
{
    if (setup.bmRequestType != 0x80 || setup.bRequest != 6) {
        return {true, 0};
    }
    const bytes *source = nullptr;
    switch (setup.wValue >> 8) {
    case 1:
        source = &device_;
        break;
    case 2:
        source = &configuration_;
        break;
    default:
        return {true, 0};
    }
    std::uint32_t length = static_cast<std::uint32_t>(
        std::min<std::size_t>({source->size(), data.size(), static_cast<std::size_t>(setup.wLength)}));
    std::copy_n(source->begin(), length, data.begin());
    return {false, length};
}

UsbLayerTest::UsbLayerTest() : bus(step_bus())
{
}

UsbLayerTest::~UsbLayerTest()
{
    audio.reset();
    if (pdo != nullptr) {
        platform::usb_delete_bus_pdo(pdo);
    }
    if (port != nullptr) {
        bus.remove(port);
    }
}

void UsbLayerTest::TearDown()
{
    audio.reset();
    EXPECT_EQ(platform::pool_outstanding_blocks(STD_TAG), 0u) << "the layer's pool after its destruction";
    std::string why;
    EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
}

bytes UsbLayerTest::standard_device_descriptor()
{
    return sim::build_uac1_device(sim::standard_uac1_options()).device;
}

NTSTATUS UsbLayerTest::start(std::shared_ptr<sim::usb_device> attached)
{
    device = std::move(attached);
    port = bus.connect(device);
    EXPECT_EQ(platform::usb_create_bus_pdo(port, &pdo), STATUS_SUCCESS);
    audio = std::make_unique<CUSBAudioCL>();
    return audio->Start(pdo);
}

void UsbLayerTest::start_model(sim::device_descriptors descriptors, sim::audio_device_options options)
{
    model = std::make_shared<sim::audio_device>(std::move(descriptors), std::move(options));
    ASSERT_EQ(start(model), STATUS_SUCCESS);
    ASSERT_EQ(audio->Configure(), STATUS_SUCCESS);
}

NTSTATUS UsbLayerTest::start_raw(bytes configuration, sim::usb_speed speed, bytes deviceDescriptor)
{
    return start(std::make_shared<usb_raw_device>(std::move(deviceDescriptor), std::move(configuration), speed));
}

VOID UsbLayerTest::record_completion(NTSTATUS status, ULONG bytes, PVOID clientContext)
{
    static_cast<UsbLayerTest *>(clientContext)->completions.push_back({status, bytes});
}

void UsbLayerTest::run_until_completions(size_t count)
{
    for (int frame = 0; frame < 1000 && completions.size() < count; ++frame) {
        bus.advance(1);
    }
    ASSERT_GE(completions.size(), count) << "transfers did not complete within a second of bus time";
}

} // namespace usb_test
