// The tap in front of a simulated device: calls passed on, isochronous packets recorded.
#include <sim/usb_tap.h>

namespace sim {

packet_status usb_tap::iso_out(std::uint8_t address, std::uint64_t microframe, std::span<const std::uint8_t> data)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        packets_.push_back(packet{address, microframe, std::vector<std::uint8_t>(data.begin(), data.end())});
    }
    return inner_->iso_out(address, microframe, data);
}

iso_in_result usb_tap::iso_in(std::uint8_t address, std::uint64_t microframe, std::span<std::uint8_t> buffer)
{
    const iso_in_result result = inner_->iso_in(address, microframe, buffer);
    std::lock_guard<std::mutex> guard(lock_);
    const std::uint32_t length = result.status == packet_status::ok && result.length <= buffer.size() ? result.length : 0;
    packets_.push_back(packet{address, microframe, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + length)});
    return result;
}

std::vector<usb_tap::packet> usb_tap::packets(std::uint8_t address) const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<packet> result;
    for (const packet &p : packets_) {
        if (p.address == address) {
            result.push_back(p);
        }
    }
    return result;
}

std::vector<std::uint8_t> usb_tap::bytes(std::uint8_t address) const
{
    std::vector<std::uint8_t> result;
    for (const packet &p : packets(address)) {
        result.insert(result.end(), p.bytes.begin(), p.bytes.end());
    }
    return result;
}

} // namespace sim
