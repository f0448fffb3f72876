// The fuzz targets' reader of their input: bytes, little-endian words and small choices taken
// from the front, zeros once the input is used up, so that every input decodes to something.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace usbaudio_test {

// The number of entries of a table of choices.
template <typename T, std::size_t N>
constexpr std::uint32_t count_of(const T (&)[N])
{
    return static_cast<std::uint32_t>(N);
}

class fuzz_input {
public:
    fuzz_input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::size_t left() const { return at_ < size_ ? size_ - at_ : 0; }

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16() | (static_cast<std::uint32_t>(u16()) << 16)); }
    bool flag() { return (byte() & 1) != 0; }
    // One of count choices (0 when count is 0).
    std::uint32_t choice(std::uint32_t count) { return count != 0 ? byte() % count : 0; }

    // A 32-bit value that is mostly small: a byte below 0xF0 gives byte - 2 (so -2 ... 237,
    // the edges of every index and count), otherwise the next four bytes as they stand.
    std::uint32_t number()
    {
        std::uint8_t b = byte();
        return b < 0xF0 ? static_cast<std::uint32_t>(static_cast<int>(b) - 2) : u32();
    }
    // A size up to limit, mostly near the interesting ones: a byte below 0xC0 gives itself,
    // otherwise a 16-bit value cut to limit.
    std::uint32_t size(std::uint32_t limit)
    {
        std::uint8_t b = byte();
        std::uint32_t n = b < 0xC0 ? b : u16();
        return n <= limit ? n : limit;
    }
    // The next count bytes (zeros past the end).
    std::vector<std::uint8_t> bytes(std::size_t count)
    {
        std::vector<std::uint8_t> out(count, 0);
        std::size_t have = left() < count ? left() : count;
        if (have != 0) {
            std::memcpy(out.data(), data_ + at_, have);
            at_ += have;
        }
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace usbaudio_test
