// A device in front of another that passes every call on and keeps a copy of the isochronous
// packets that went through it, so that a test sees exactly what the host sent and received.
#pragma once
#include <memory>
#include <mutex>
#include <sim/usb_device.h>

namespace sim {

class usb_tap final : public usb_device {
public:
    struct packet {
        std::uint8_t address = 0;
        std::uint64_t microframe = 0;
        std::vector<std::uint8_t> bytes; // OUT: what was sent; IN: what the device answered
    };

    explicit usb_tap(std::shared_ptr<usb_device> inner) : inner_(std::move(inner)) {}

    usb_speed speed() const override { return inner_->speed(); }
    control_outcome handle_control(const setup_packet &setup, std::span<std::uint8_t> data) override
    {
        return inner_->handle_control(setup, data);
    }
    std::vector<interface_info> interfaces() const override { return inner_->interfaces(); }
    std::optional<endpoint_info> find_endpoint(std::uint8_t address) const override
    {
        return inner_->find_endpoint(address);
    }
    std::uint8_t configuration_value() const override { return inner_->configuration_value(); }
    std::uint8_t current_alternate(std::uint8_t interface_number) const override
    {
        return inner_->current_alternate(interface_number);
    }
    packet_status iso_out(std::uint8_t address, std::uint64_t microframe,
                          std::span<const std::uint8_t> data) override;
    iso_in_result iso_in(std::uint8_t address, std::uint64_t microframe, std::span<std::uint8_t> buffer) override;
    void advance(std::uint64_t microframe) override { inner_->advance(microframe); }
    void clear_halt(std::uint8_t address) override { inner_->clear_halt(address); }
    bool connected() const override { return inner_->connected(); }

    // The packets of one endpoint so far, oldest first.
    std::vector<packet> packets(std::uint8_t address) const;
    // The bytes of one endpoint's packets, back to back.
    std::vector<std::uint8_t> bytes(std::uint8_t address) const;

private:
    std::shared_ptr<usb_device> inner_;
    mutable std::mutex lock_;
    std::vector<packet> packets_;
};

} // namespace sim
