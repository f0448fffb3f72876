// A simulated device that hands the fuzz targets' input to the driver: it forwards everything
// to a device model (a sim::audio_device) except the answers and packets a target scripts,
// which it takes from the input instead: the data of class and vendor IN requests and the
// contents, lengths and status of IN packets on chosen endpoints. Calls come from the host
// controller, serialised per device; the scripts are set between them by the target's thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <sim/usb_device.h>

namespace usbaudio_test {

class fuzz_device final : public sim::usb_device {
public:
    explicit fuzz_device(std::shared_ptr<sim::usb_device> model) : model_(std::move(model)) {}

    sim::usb_device &model() const { return *model_; }

    // A class or vendor IN request: true when the script answered it (stall or the bytes it
    // wrote into data, outcome->length of them); false lets the model answer.
    std::function<bool(const sim::setup_packet &setup, std::span<std::uint8_t> data, sim::control_outcome *outcome)>
        script_control;
    // An IN packet of an endpoint after the model delivered it (its clocks and FIFOs run on
    // either way): the script may replace its bytes in buffer, its length and its status.
    std::function<void(std::uint8_t address, std::span<std::uint8_t> buffer, sim::iso_in_result *result)>
        script_in;

    sim::usb_speed speed() const override { return model_->speed(); }
    sim::control_outcome handle_control(const sim::setup_packet &setup, std::span<std::uint8_t> data) override;
    std::vector<sim::interface_info> interfaces() const override { return model_->interfaces(); }
    std::optional<sim::endpoint_info> find_endpoint(std::uint8_t address) const override
    {
        return model_->find_endpoint(address);
    }
    std::uint8_t configuration_value() const override { return model_->configuration_value(); }
    std::uint8_t current_alternate(std::uint8_t number) const override { return model_->current_alternate(number); }
    sim::packet_status iso_out(std::uint8_t address, std::uint64_t microframe,
                               std::span<const std::uint8_t> packet) override
    {
        return model_->iso_out(address, microframe, packet);
    }
    sim::iso_in_result iso_in(std::uint8_t address, std::uint64_t microframe, std::span<std::uint8_t> buffer) override;
    void advance(std::uint64_t microframe) override { model_->advance(microframe); }
    void clear_halt(std::uint8_t address) override { model_->clear_halt(address); }
    bool connected() const override { return model_->connected(); }

private:
    std::shared_ptr<sim::usb_device> model_;
};

} // namespace usbaudio_test
