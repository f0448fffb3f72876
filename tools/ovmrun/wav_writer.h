// WAV files of captured PCM audio: the header for a given format and data size, and the file
// built from per-channel sample bytes (little-endian, packed containers of 2, 3 or 4 bytes).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ovmrun {

struct wav_format {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t container_bits = 0; // 16, 24 or 32
};

// The most data bytes a RIFF file can describe (its sizes are 32-bit).
inline constexpr uint64_t wav_max_data_bytes = 0xFFFFFFFFull - 4096;

// True for 1..65535 channels in 16-, 24- or 32-bit containers at a non-zero rate whose byte
// rate fits 32 bits.
bool wav_format_valid(const wav_format &format);

// The bytes before the samples: RIFF, fmt and the data chunk's header. 16-bit mono or stereo
// uses the plain PCM format; wider samples or more channels use the extensible format with the
// PCM subtype, so that readers take the channel count and valid bits as given. data_bytes is
// the data chunk's size; the RIFF size counts the pad byte an odd data chunk is followed by.
// Empty for an invalid format or a size beyond wav_max_data_bytes.
std::vector<uint8_t> wav_header(const wav_format &format, uint64_t data_bytes);

struct wav_write_result {
    bool ok = false;
    uint64_t frames = 0;   // frames written (the shortest channel's, cut to what RIFF can hold)
    bool truncated = false; // the capture was longer than a WAV file can hold
    std::string error;
};

// Writes the channels interleaved to path. Every channel holds whole samples of the format's
// container; the file gets as many frames as the shortest channel has. A file with no frames
// is still valid.
wav_write_result write_wav_file(const std::string &path, const wav_format &format,
                                std::span<const std::vector<uint8_t>> channels);

} // namespace ovmrun
