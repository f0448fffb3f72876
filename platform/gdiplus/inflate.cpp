// The zlib inflater of the stand-in's image decoder: stored, fixed-code and dynamic-code
// deflate blocks, decoded with canonical Huffman codes read one bit at a time from the
// least significant end of each byte.
#include "image_codecs.h"

namespace platform::gdiplus {
namespace {

constexpr int max_bits = 15;
constexpr int literal_codes = 288;
constexpr int distance_codes = 30;

const std::uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const std::uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const std::uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                         193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const std::uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block sends the code lengths of its code-length code.
const std::uint8_t length_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A canonical code: how many symbols have each length, and the symbols in code order.
struct huffman {
    std::uint16_t count[max_bits + 1] = {};
    std::uint16_t symbol[literal_codes] = {};
};

class reader {
public:
    reader(const std::uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool bits(int need, std::uint32_t *value)
    {
        std::uint32_t result = 0;
        for (int i = 0; i < need; ++i) {
            if (m_byte >= m_size) {
                return false;
            }
            result |= (std::uint32_t)((m_data[m_byte] >> m_bit) & 1) << i;
            if (++m_bit == 8) {
                m_bit = 0;
                ++m_byte;
            }
        }
        *value = result;
        return true;
    }

    // Discards the bits left in the current byte.
    void align()
    {
        if (m_bit != 0) {
            m_bit = 0;
            ++m_byte;
        }
    }

    bool bytes(size_t count, const std::uint8_t **start)
    {
        if (m_bit != 0 || count > m_size - m_byte) {
            return false;
        }
        *start = m_data + m_byte;
        m_byte += count;
        return true;
    }

    size_t position() const { return m_byte; }

private:
    const std::uint8_t *m_data;
    size_t m_size;
    size_t m_byte = 0;
    int m_bit = 0;
};

// Builds the code from the symbols' lengths. False for a set of lengths that claims more
// codes than exist; an incomplete set is allowed (a block may use a single distance code).
bool build(huffman *code, const std::uint8_t *lengths, int symbols)
{
    for (int i = 0; i < symbols; ++i) {
        ++code->count[lengths[i]];
    }
    code->count[0] = 0;
    int left = 1;
    for (int length = 1; length <= max_bits; ++length) {
        left = (left << 1) - code->count[length];
        if (left < 0) {
            return false;
        }
    }
    std::uint16_t offset[max_bits + 2] = {};
    for (int length = 1; length <= max_bits; ++length) {
        offset[length + 1] = (std::uint16_t)(offset[length] + code->count[length]);
    }
    for (int i = 0; i < symbols; ++i) {
        if (lengths[i] != 0) {
            code->symbol[offset[lengths[i]]++] = (std::uint16_t)i;
        }
    }
    return true;
}

// The next symbol: codes of each length are consecutive numbers, the first of a length
// following the last of the shorter ones doubled.
bool decode(reader &in, const huffman &code, int *symbol)
{
    int value = 0;
    int first = 0;
    int index = 0;
    for (int length = 1; length <= max_bits; ++length) {
        std::uint32_t bit = 0;
        if (!in.bits(1, &bit)) {
            return false;
        }
        value |= (int)bit;
        const int count = code.count[length];
        if (value - first < count) {
            *symbol = code.symbol[index + value - first];
            return true;
        }
        index += count;
        first = (first + count) << 1;
        value <<= 1;
    }
    return false;
}

bool inflate_codes(reader &in, const huffman &literals, const huffman &distances, size_t limit,
                   std::vector<std::uint8_t> *out)
{
    for (;;) {
        int symbol = 0;
        if (!decode(in, literals, &symbol)) {
            return false;
        }
        if (symbol < 256) {
            if (out->size() >= limit) {
                return false;
            }
            out->push_back((std::uint8_t)symbol);
            continue;
        }
        if (symbol == 256) {
            return true;
        }
        symbol -= 257;
        if (symbol >= 29) {
            return false;
        }
        std::uint32_t extra = 0;
        if (!in.bits(length_extra[symbol], &extra)) {
            return false;
        }
        const size_t length = length_base[symbol] + extra;
        int distance_symbol = 0;
        if (!decode(in, distances, &distance_symbol) || distance_symbol >= distance_codes ||
            !in.bits(distance_extra[distance_symbol], &extra)) {
            return false;
        }
        const size_t distance = distance_base[distance_symbol] + extra;
        if (distance > out->size() || length > limit - out->size()) {
            return false;
        }
        const size_t from = out->size() - distance;
        for (size_t i = 0; i < length; ++i) {
            out->push_back((*out)[from + i]);
        }
    }
}

bool inflate_stored(reader &in, size_t limit, std::vector<std::uint8_t> *out)
{
    in.align();
    const std::uint8_t *header = nullptr;
    if (!in.bytes(4, &header)) {
        return false;
    }
    const unsigned length = header[0] | (header[1] << 8);
    const unsigned complement = header[2] | (header[3] << 8);
    const std::uint8_t *data = nullptr;
    if ((length ^ 0xFFFF) != complement || length > limit - out->size() || !in.bytes(length, &data)) {
        return false;
    }
    out->insert(out->end(), data, data + length);
    return true;
}

bool inflate_fixed(reader &in, size_t limit, std::vector<std::uint8_t> *out)
{
    std::uint8_t lengths[literal_codes];
    for (int i = 0; i < literal_codes; ++i) {
        lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    }
    huffman literals;
    build(&literals, lengths, literal_codes);
    std::uint8_t distance_lengths[distance_codes];
    for (std::uint8_t &length : distance_lengths) {
        length = 5;
    }
    huffman distances;
    build(&distances, distance_lengths, distance_codes);
    return inflate_codes(in, literals, distances, limit, out);
}

bool inflate_dynamic(reader &in, size_t limit, std::vector<std::uint8_t> *out)
{
    std::uint32_t literal_count = 0;
    std::uint32_t distance_count = 0;
    std::uint32_t length_count = 0;
    if (!in.bits(5, &literal_count) || !in.bits(5, &distance_count) || !in.bits(4, &length_count)) {
        return false;
    }
    literal_count += 257;
    distance_count += 1;
    length_count += 4;
    if (literal_count > 286 || distance_count > distance_codes) {
        return false;
    }
    std::uint8_t lengths[literal_codes + distance_codes] = {};
    for (std::uint32_t i = 0; i < length_count; ++i) {
        std::uint32_t length = 0;
        if (!in.bits(3, &length)) {
            return false;
        }
        lengths[length_order[i]] = (std::uint8_t)length;
    }
    huffman length_code;
    if (!build(&length_code, lengths, 19)) {
        return false;
    }
    std::uint8_t all[literal_codes + distance_codes] = {};
    const std::uint32_t total = literal_count + distance_count;
    for (std::uint32_t i = 0; i < total;) {
        int symbol = 0;
        if (!decode(in, length_code, &symbol)) {
            return false;
        }
        if (symbol < 16) {
            all[i++] = (std::uint8_t)symbol;
            continue;
        }
        std::uint32_t repeat = 0;
        std::uint8_t value = 0;
        if (symbol == 16) {
            if (i == 0 || !in.bits(2, &repeat)) {
                return false;
            }
            value = all[i - 1];
            repeat += 3;
        } else if (symbol == 17) {
            if (!in.bits(3, &repeat)) {
                return false;
            }
            repeat += 3;
        } else {
            if (!in.bits(7, &repeat)) {
                return false;
            }
            repeat += 11;
        }
        if (repeat > total - i) {
            return false;
        }
        for (; repeat > 0; --repeat) {
            all[i++] = value;
        }
    }
    if (all[256] == 0) {
        return false; // no end-of-block code
    }
    huffman literals;
    huffman distances;
    if (!build(&literals, all, (int)literal_count) || !build(&distances, all + literal_count, (int)distance_count)) {
        return false;
    }
    return inflate_codes(in, literals, distances, limit, out);
}

std::uint32_t adler32(const std::vector<std::uint8_t> &data)
{
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (std::uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

} // namespace

bool zlib_inflate(const std::uint8_t *data, size_t size, size_t limit, std::vector<std::uint8_t> *out)
{
    out->clear();
    if (size < 6) {
        return false;
    }
    const unsigned method = data[0];
    const unsigned flags = data[1];
    if ((method & 0x0F) != 8 || (method >> 4) > 7 || ((method << 8) | flags) % 31 != 0 || (flags & 0x20) != 0) {
        return false;
    }
    reader in(data + 2, size - 2);
    for (;;) {
        std::uint32_t last = 0;
        std::uint32_t type = 0;
        if (!in.bits(1, &last) || !in.bits(2, &type)) {
            return false;
        }
        const bool done = type == 0   ? inflate_stored(in, limit, out)
                          : type == 1 ? inflate_fixed(in, limit, out)
                          : type == 2 ? inflate_dynamic(in, limit, out)
                                      : false;
        if (!done) {
            return false;
        }
        if (last != 0) {
            break;
        }
    }
    in.align();
    const std::uint8_t *trailer = nullptr;
    if (!in.bytes(4, &trailer)) {
        return false;
    }
    const std::uint32_t expected = ((std::uint32_t)trailer[0] << 24) | ((std::uint32_t)trailer[1] << 16) |
                                   ((std::uint32_t)trailer[2] << 8) | trailer[3];
    return expected == adler32(*out);
}

} // namespace platform::gdiplus
