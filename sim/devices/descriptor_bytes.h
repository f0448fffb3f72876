// Little-endian byte helpers shared by the descriptor builders and the device model.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace sim::bytes {

inline void put8(std::vector<std::uint8_t> &b, unsigned v) { b.push_back(static_cast<std::uint8_t>(v)); }
inline void put16(std::vector<std::uint8_t> &b, unsigned v)
{
    put8(b, v & 0xFF);
    put8(b, (v >> 8) & 0xFF);
}
inline void put24(std::vector<std::uint8_t> &b, std::uint32_t v)
{
    put16(b, v & 0xFFFF);
    put8(b, (v >> 16) & 0xFF);
}
inline void put32(std::vector<std::uint8_t> &b, std::uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void append(std::vector<std::uint8_t> &b, std::initializer_list<unsigned> values)
{
    for (unsigned v : values) {
        put8(b, v);
    }
}

// Reads with bounds: an offset past the end reads as zero.
inline std::uint32_t get8(std::span<const std::uint8_t> b, std::size_t at)
{
    return at < b.size() ? b[at] : 0u;
}
inline std::uint32_t get16(std::span<const std::uint8_t> b, std::size_t at)
{
    return get8(b, at) | get8(b, at + 1) << 8;
}
inline std::uint32_t get24(std::span<const std::uint8_t> b, std::size_t at)
{
    return get16(b, at) | get8(b, at + 2) << 16;
}
inline std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at)
{
    return get16(b, at) | get16(b, at + 2) << 16;
}

inline void set16(std::vector<std::uint8_t> &b, std::size_t at, unsigned v)
{
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

} // namespace sim::bytes
