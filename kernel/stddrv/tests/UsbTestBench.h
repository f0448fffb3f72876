// Test bench of the standard driver's USB layer: a booted machine, a simulated host controller
// in step mode with one device on it, the platform's bus device object over it, and the layer
// started on that device. Fails a test that leaks the layer's pool or leaves IRQL raised.
#pragma once
#include <gtest/gtest.h>
#include <cstdint>
#include <memory>
#include <vector>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>
#include "USBAudioCL.h"

namespace usb_test {

using bytes = std::vector<std::uint8_t>;

// A device that only answers GET_DESCRIPTOR from the bytes it was given: enough for a start
// on descriptors no well-formed model could be built from.
class usb_raw_device final : public sim::usb_device {
public:
    usb_raw_device(bytes device, bytes configuration, sim::usb_speed speed);
    sim::usb_speed speed() const override { return speed_; }
    sim::control_outcome handle_control(const sim::setup_packet &setup, std::span<std::uint8_t> data) override;
    std::vector<sim::interface_info> interfaces() const override { return {}; }
    std::optional<sim::endpoint_info> find_endpoint(std::uint8_t) const override { return std::nullopt; }
    std::uint8_t configuration_value() const override { return 1; }
    std::uint8_t current_alternate(std::uint8_t) const override { return 0; }
    sim::packet_status iso_out(std::uint8_t, std::uint64_t, std::span<const std::uint8_t>) override
    {
        return sim::packet_status::error;
    }
    sim::iso_in_result iso_in(std::uint8_t, std::uint64_t, std::span<std::uint8_t>) override { return {}; }
    void advance(std::uint64_t) override {}
    void clear_halt(std::uint8_t) override {}
    bool connected() const override { return true; }

private:
    bytes device_;
    bytes configuration_;
    sim::usb_speed speed_;
};

// One completed transfer as the layer's callback reported it.
struct usb_completion {
    NTSTATUS status = 0;
    ULONG bytes = 0;
};

class UsbLayerTest : public ::testing::Test {
protected:
    UsbLayerTest();
    ~UsbLayerTest() override;
    void TearDown() override;

    // Puts a device on the bus and starts the layer on it; Start's status.
    NTSTATUS start(std::shared_ptr<sim::usb_device> device);
    // A simulated audio device of the descriptor set, started and configured (asserted).
    void start_model(sim::device_descriptors descriptors, sim::audio_device_options options = {});
    // Only descriptor bytes behind the device; Start's status.
    NTSTATUS start_raw(bytes configuration, sim::usb_speed speed = sim::usb_speed::full,
                       bytes device = standard_device_descriptor());
    static bytes standard_device_descriptor();

    // The layer's completion callback: appends to completions (client context: the test).
    static USB_COMPLETION_CALLBACK record_completion;
    // Runs the bus until count completions arrived (asserts it happens within a second of bus
    // time).
    void run_until_completions(size_t count);

    sim::machine machine;
    sim::host_controller bus;
    std::shared_ptr<sim::usb_device> device;
    std::shared_ptr<sim::audio_device> model;
    sim::usb_port *port = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::unique_ptr<CUSBAudioCL> audio;
    std::vector<usb_completion> completions;
};

} // namespace usb_test
