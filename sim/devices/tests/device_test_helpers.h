// Helpers shared by the device model tests: control requests in one line and a configured,
// streaming-ready device.
#pragma once
#include <sim/audio_device.h>

#include <cstdint>
#include <vector>

namespace sim::test {

struct reply {
    bool stall = false;
    std::vector<std::uint8_t> data;
};

inline reply get(audio_device &d, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                 std::uint16_t index, std::uint16_t length, std::size_t space = 0)
{
    std::vector<std::uint8_t> buffer(space == 0 ? length : space, 0xEE);
    const control_outcome o = d.handle_control({type, request, value, index, length}, buffer);
    buffer.resize(o.length);
    return {o.stall, buffer};
}

inline bool set(audio_device &d, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::vector<std::uint8_t> data)
{
    const control_outcome o = d.handle_control(
        {type, request, value, index, static_cast<std::uint16_t>(data.size())}, data);
    return !o.stall;
}

inline std::vector<std::uint8_t> le(std::uint32_t v, std::size_t n)
{
    std::vector<std::uint8_t> b;
    for (std::size_t i = 0; i < n; ++i) {
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    return b;
}

inline std::uint32_t read_le(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t n)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n && at + i < b.size(); ++i) {
        v |= std::uint32_t{b[at + i]} << (8 * i);
    }
    return v;
}

// SET_CONFIGURATION 1 and SET_INTERFACE for each (interface, alternate) pair.
inline bool configure(audio_device &d, std::initializer_list<std::pair<int, int>> alts)
{
    bool ok = set(d, 0x00, 0x09, 1, 0, {});
    for (auto [number, alt] : alts) {
        ok = ok && set(d, 0x01, 0x0B, static_cast<std::uint16_t>(alt), static_cast<std::uint16_t>(number), {});
    }
    return ok;
}

} // namespace sim::test
