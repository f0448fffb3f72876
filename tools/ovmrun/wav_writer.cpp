// WAV header layout and the interleaving writer.
#include "wav_writer.h"
#include <algorithm>
#include <cstdio>
#include <memory>

namespace ovmrun {

namespace {

constexpr uint16_t format_pcm = 1;
constexpr uint16_t format_extensible = 0xFFFE;
constexpr uint32_t plain_fmt_bytes = 16;
constexpr uint32_t extensible_fmt_bytes = 40;
constexpr uint16_t extensible_extra_bytes = 22;
// Speaker positions defined for the channel mask; more channels than that get no mask.
constexpr uint16_t max_masked_channels = 18;
// The PCM subtype GUID in its on-disk byte order.
constexpr uint8_t pcm_subtype[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                     0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put16(std::vector<uint8_t> &out, uint32_t value)
{
    out.push_back((uint8_t)value);
    out.push_back((uint8_t)(value >> 8));
}

void put32(std::vector<uint8_t> &out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void put_tag(std::vector<uint8_t> &out, const char (&tag)[5])
{
    out.insert(out.end(), tag, tag + 4);
}

bool uses_extensible(const wav_format &format)
{
    return format.container_bits != 16 || format.channels > 2;
}

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

} // namespace

bool wav_format_valid(const wav_format &format)
{
    const bool bits = format.container_bits == 16 || format.container_bits == 24 || format.container_bits == 32;
    const uint64_t byte_rate = (uint64_t)format.rate * format.channels * (format.container_bits / 8);
    return bits && format.channels != 0 && format.rate != 0 && byte_rate <= 0xFFFFFFFFull;
}

std::vector<uint8_t> wav_header(const wav_format &format, uint64_t data_bytes)
{
    std::vector<uint8_t> out;
    if (!wav_format_valid(format) || data_bytes > wav_max_data_bytes) {
        return out;
    }
    const bool extensible = uses_extensible(format);
    const uint32_t fmt_bytes = extensible ? extensible_fmt_bytes : plain_fmt_bytes;
    const uint32_t block = (uint32_t)format.channels * (format.container_bits / 8);
    const uint32_t pad = (uint32_t)(data_bytes & 1);
    put_tag(out, "RIFF");
    put32(out, (uint32_t)(4 + (8 + fmt_bytes) + (8 + data_bytes + pad)));
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put32(out, fmt_bytes);
    put16(out, extensible ? format_extensible : format_pcm);
    put16(out, format.channels);
    put32(out, format.rate);
    put32(out, format.rate * block);
    put16(out, block);
    put16(out, format.container_bits);
    if (extensible) {
        put16(out, extensible_extra_bytes);
        put16(out, format.container_bits); // valid bits: the whole container carries the signal
        put32(out, format.channels <= max_masked_channels ? (1u << format.channels) - 1 : 0);
        out.insert(out.end(), std::begin(pcm_subtype), std::end(pcm_subtype));
    }
    put_tag(out, "data");
    put32(out, (uint32_t)data_bytes);
    return out;
}

wav_write_result write_wav_file(const std::string &path, const wav_format &format,
                                std::span<const std::vector<uint8_t>> channels)
{
    wav_write_result result;
    if (!wav_format_valid(format) || channels.size() != format.channels) {
        result.error = "the captured audio has no format a WAV file can carry";
        return result;
    }
    const size_t width = format.container_bits / 8;
    const uint64_t block = (uint64_t)width * format.channels;
    uint64_t frames = UINT64_MAX;
    for (const std::vector<uint8_t> &channel : channels) {
        frames = std::min<uint64_t>(frames, channel.size() / width);
    }
    const uint64_t max_frames = wav_max_data_bytes / block;
    if (frames > max_frames) {
        frames = max_frames;
        result.truncated = true;
    }
    const uint64_t data_bytes = frames * block;
    std::vector<uint8_t> header = wav_header(format, data_bytes);

    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        result.error = "cannot create " + path;
        return result;
    }
    bool good = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size();
    // Interleaved in slices, so that a long capture never needs a second copy in memory.
    constexpr uint64_t slice_frames = 4096;
    std::vector<uint8_t> slice;
    for (uint64_t first = 0; good && first < frames; first += slice_frames) {
        const uint64_t count = std::min(slice_frames, frames - first);
        slice.resize(count * block);
        uint8_t *at = slice.data();
        for (uint64_t f = first; f < first + count; ++f) {
            for (const std::vector<uint8_t> &channel : channels) {
                std::copy_n(channel.data() + f * width, width, at);
                at += width;
            }
        }
        good = std::fwrite(slice.data(), 1, slice.size(), file.get()) == slice.size();
    }
    if (good && (data_bytes & 1) != 0) {
        good = std::fputc(0, file.get()) != EOF;
    }
    if (std::fclose(file.release()) != 0) {
        good = false;
    }
    if (!good) {
        result.error = "writing " + path + " failed";
        return result;
    }
    result.ok = true;
    result.frames = frames;
    return result;
}

} // namespace ovmrun
