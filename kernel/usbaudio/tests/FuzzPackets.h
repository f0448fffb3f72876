// The IN packets the engine fuzz targets take from their input: on each scripted endpoint, while
// input is left, every packet is decoded from one byte and what follows it. Bits 0-2 choose the
// length (the model's, 0, the packet's whole capacity, the model's -1, +1, -4, +4, or the next
// byte), bit 3 takes the packet's bytes from the input instead of the model, and bits 4-7 the
// status (0-12 ok, 13 and 14 a transaction error, 15 a stall). A length never exceeds the
// packet's capacity: a device cannot send more than its endpoint's packet size. Once the input
// is used up the model's packets pass unchanged.
#pragma once
#include <algorithm>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>
#include <sim/usb_device.h>
#include "FuzzDevice.h"
#include "FuzzInput.h"

namespace usbaudio_test {

class fuzz_packets {
public:
    // Scripts the packets of endpoints on device (for as long as this object lives).
    fuzz_packets(fuzz_device &device, std::initializer_list<std::uint8_t> endpoints)
        : device_(device), endpoints_(endpoints)
    {
        device_.script_in = [this](std::uint8_t address, std::span<std::uint8_t> buffer, sim::iso_in_result *result) {
            std::lock_guard<std::mutex> guard(lock_);
            if (input_ != nullptr && !input_->empty() &&
                std::find(endpoints_.begin(), endpoints_.end(), address) != endpoints_.end()) {
                decode(*input_, buffer, result);
                ++scripted_;
            }
        };
    }
    ~fuzz_packets() { device_.script_in = nullptr; }
    fuzz_packets(const fuzz_packets &) = delete;
    fuzz_packets &operator=(const fuzz_packets &) = delete;

    // The input the next packets come from; null lets the model's packets pass.
    void use(fuzz_input *input)
    {
        std::lock_guard<std::mutex> guard(lock_);
        input_ = input;
    }
    ULONG scripted() const { return scripted_; }

    // One input: at most scripted_steps steps while the input lasts, with packets from it, then
    // settling_steps steps of the model's packets only.
    void run(fuzz_input &input, ULONG scripted_steps, ULONG settling_steps, const std::function<void()> &step)
    {
        use(&input);
        for (ULONG i = 0; i < scripted_steps && !input.empty(); ++i) {
            step();
        }
        use(nullptr);
        for (ULONG i = 0; i < settling_steps; ++i) {
            step();
        }
    }

private:
    static void decode(fuzz_input &input, std::span<std::uint8_t> buffer, sim::iso_in_result *result)
    {
        const std::uint8_t kind = input.byte();
        const long model = result->length;
        const long capacity = static_cast<long>(buffer.size());
        long length = model;
        switch (kind & 7) {
        case 1:
            length = 0;
            break;
        case 2:
            length = capacity;
            break;
        case 3:
            length = model - 1;
            break;
        case 4:
            length = model + 1;
            break;
        case 5:
            length = model - 4;
            break;
        case 6:
            length = model + 4;
            break;
        case 7:
            length = input.byte();
            break;
        default:
            break;
        }
        length = std::clamp(length, 0L, capacity);
        if ((kind & 8) != 0 && length != 0) {
            std::vector<std::uint8_t> bytes = input.bytes(static_cast<std::size_t>(length));
            std::copy(bytes.begin(), bytes.end(), buffer.begin());
        }
        const std::uint8_t status = kind >> 4;
        result->length = static_cast<std::uint32_t>(length);
        result->status = status <= 12   ? sim::packet_status::ok
                         : status <= 14 ? sim::packet_status::error
                                        : sim::packet_status::stall;
    }

    fuzz_device &device_;
    std::vector<std::uint8_t> endpoints_;
    std::mutex lock_;
    fuzz_input *input_ = nullptr;
    ULONG scripted_ = 0;
};

} // namespace usbaudio_test
