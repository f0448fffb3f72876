// The WAV writer: header fields for the plain and the extensible layout, chunk sizes with
// the pad byte of an odd data chunk, interleaving, and refusals.
#include <gtest/gtest.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include "wav_writer.h"

namespace {

uint32_t le32(const std::vector<uint8_t> &b, size_t at)
{
    return b.at(at) | (uint32_t)b.at(at + 1) << 8 | (uint32_t)b.at(at + 2) << 16 | (uint32_t)b.at(at + 3) << 24;
}

uint16_t le16(const std::vector<uint8_t> &b, size_t at)
{
    return (uint16_t)(b.at(at) | b.at(at + 1) << 8);
}

std::string tag(const std::vector<uint8_t> &b, size_t at)
{
    return std::string(b.begin() + (ptrdiff_t)at, b.begin() + (ptrdiff_t)at + 4);
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WavFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = ::testing::TempDir() + "ovmrun_wav_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                 ".wav";
    }
    void TearDown() override { std::remove(m_path.c_str()); }
    std::string m_path;
};

TEST(WavHeader, SixteenBitStereoUsesThePlainPcmLayout)
{
    const std::vector<uint8_t> h = ovmrun::wav_header({44100, 2, 16}, 400);
    ASSERT_EQ(44u, h.size());
    EXPECT_EQ("RIFF", tag(h, 0));
    EXPECT_EQ(36u + 400u, le32(h, 4));
    EXPECT_EQ("WAVE", tag(h, 8));
    EXPECT_EQ("fmt ", tag(h, 12));
    EXPECT_EQ(16u, le32(h, 16));
    EXPECT_EQ(1u, le16(h, 20));
    EXPECT_EQ(2u, le16(h, 22));
    EXPECT_EQ(44100u, le32(h, 24));
    EXPECT_EQ(44100u * 4, le32(h, 28));
    EXPECT_EQ(4u, le16(h, 32));
    EXPECT_EQ(16u, le16(h, 34));
    EXPECT_EQ("data", tag(h, 36));
    EXPECT_EQ(400u, le32(h, 40));
}

TEST(WavHeader, WiderSamplesOrMoreChannelsUseTheExtensibleLayout)
{
    struct row {
        ovmrun::wav_format format;
        uint32_t mask;
    };
    for (const row &r : {row{{48000, 2, 24}, 0x3}, row{{96000, 8, 32}, 0xFF}, row{{48000, 3, 16}, 0x7},
                         row{{48000, 18, 32}, 0x3FFFF}, row{{48000, 19, 32}, 0}}) {
        SCOPED_TRACE(std::to_string(r.format.channels) + " x " + std::to_string(r.format.container_bits));
        const uint32_t block = r.format.channels * r.format.container_bits / 8;
        const std::vector<uint8_t> h = ovmrun::wav_header(r.format, 10 * block);
        ASSERT_EQ(68u, h.size());
        EXPECT_EQ(60u + 10 * block, le32(h, 4));
        EXPECT_EQ(40u, le32(h, 16));
        EXPECT_EQ(0xFFFEu, le16(h, 20));
        EXPECT_EQ(r.format.channels, le16(h, 22));
        EXPECT_EQ(r.format.rate, le32(h, 24));
        EXPECT_EQ(r.format.rate * block, le32(h, 28));
        EXPECT_EQ(block, le16(h, 32));
        EXPECT_EQ(r.format.container_bits, le16(h, 34));
        EXPECT_EQ(22u, le16(h, 36));
        EXPECT_EQ(r.format.container_bits, le16(h, 38));
        EXPECT_EQ(r.mask, le32(h, 40));
        const std::vector<uint8_t> pcm = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        EXPECT_EQ(pcm, std::vector<uint8_t>(h.begin() + 44, h.begin() + 60));
        EXPECT_EQ("data", tag(h, 60));
        EXPECT_EQ(10 * block, le32(h, 64));
    }
}

TEST(WavHeader, AnOddDataChunkCountsItsPadByteInTheRiffSizeOnly)
{
    const std::vector<uint8_t> h = ovmrun::wav_header({48000, 1, 24}, 9);
    ASSERT_EQ(68u, h.size());
    EXPECT_EQ(60u + 9 + 1, le32(h, 4));
    EXPECT_EQ(9u, le32(h, 64));
}

TEST(WavHeader, FormatsAndSizesAWavFileCannotCarryGiveNoHeader)
{
    EXPECT_TRUE(ovmrun::wav_header({48000, 2, 20}, 0).empty());
    EXPECT_TRUE(ovmrun::wav_header({48000, 2, 8}, 0).empty());
    EXPECT_TRUE(ovmrun::wav_header({48000, 0, 16}, 0).empty());
    EXPECT_TRUE(ovmrun::wav_header({0, 2, 16}, 0).empty());
    EXPECT_TRUE(ovmrun::wav_header({0xFFFFFFFFu, 2, 32}, 0).empty()) << "byte rate beyond 32 bits";
    EXPECT_TRUE(ovmrun::wav_header({48000, 2, 16}, ovmrun::wav_max_data_bytes + 1).empty());
    EXPECT_FALSE(ovmrun::wav_header({48000, 2, 16}, ovmrun::wav_max_data_bytes).empty());
}

TEST_F(WavFile, ChannelsAreInterleavedFrameByFrameUpToTheShortestChannel)
{
    const std::vector<std::vector<uint8_t>> channels = {
        {0x01, 0x02, 0x03, 0x11, 0x12, 0x13, 0x21, 0x22, 0x23},
        {0xA1, 0xA2, 0xA3, 0xB1, 0xB2, 0xB3, 0xC1, 0xC2, 0xC3, 0xD1, 0xD2, 0xD3},
    };
    const ovmrun::wav_write_result result = ovmrun::write_wav_file(m_path, {48000, 2, 24}, channels);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(3u, result.frames);
    EXPECT_FALSE(result.truncated);
    const std::vector<uint8_t> file = read_file(m_path);
    ASSERT_EQ(68u + 18u, file.size());
    EXPECT_EQ(file.size() - 8, le32(file, 4));
    EXPECT_EQ(18u, le32(file, 64));
    const std::vector<uint8_t> data(file.begin() + 68, file.end());
    const std::vector<uint8_t> expected = {0x01, 0x02, 0x03, 0xA1, 0xA2, 0xA3, 0x11, 0x12, 0x13,
                                           0xB1, 0xB2, 0xB3, 0x21, 0x22, 0x23, 0xC1, 0xC2, 0xC3};
    EXPECT_EQ(expected, data);
}

TEST_F(WavFile, OddDataIsFollowedByAPadByteAndPartialSamplesAreDropped)
{
    const std::vector<std::vector<uint8_t>> channels = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
    const ovmrun::wav_write_result result = ovmrun::write_wav_file(m_path, {44100, 1, 24}, channels);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(3u, result.frames);
    const std::vector<uint8_t> file = read_file(m_path);
    ASSERT_EQ(68u + 9u + 1u, file.size());
    EXPECT_EQ(file.size() - 8, le32(file, 4));
    EXPECT_EQ(9u, le32(file, 64));
    EXPECT_EQ(9, file[76]);
    EXPECT_EQ(0, file.back());
}

TEST_F(WavFile, SixteenAndThirtyTwoBitFilesHoldTheirSamplesUnchanged)
{
    for (uint16_t bits : {16, 32}) {
        SCOPED_TRACE(bits);
        std::vector<std::vector<uint8_t>> channels(1);
        for (uint8_t i = 0; i < 4 * bits / 8; ++i) {
            channels[0].push_back((uint8_t)(0xF0 + i));
        }
        const ovmrun::wav_write_result result = ovmrun::write_wav_file(m_path, {192000, 1, bits}, channels);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(4u, result.frames);
        const std::vector<uint8_t> file = read_file(m_path);
        const size_t header = bits == 16 ? 44 : 68;
        ASSERT_EQ(header + channels[0].size(), file.size());
        EXPECT_EQ(channels[0], std::vector<uint8_t>(file.begin() + (ptrdiff_t)header, file.end()));
    }
}

TEST_F(WavFile, NoFramesStillMakeAValidFile)
{
    const std::vector<std::vector<uint8_t>> channels = {{}, {}};
    const ovmrun::wav_write_result result = ovmrun::write_wav_file(m_path, {48000, 2, 16}, channels);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(0u, result.frames);
    const std::vector<uint8_t> file = read_file(m_path);
    ASSERT_EQ(44u, file.size());
    EXPECT_EQ(36u, le32(file, 4));
    EXPECT_EQ(0u, le32(file, 40));
}

TEST_F(WavFile, MismatchedChannelsBadFormatsAndUnwritablePathsAreReported)
{
    const std::vector<std::vector<uint8_t>> one = {{0, 0}};
    ovmrun::wav_write_result result = ovmrun::write_wav_file(m_path, {48000, 2, 16}, one);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    result = ovmrun::write_wav_file(m_path, {48000, 1, 12}, one);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(std::ifstream(m_path).good()) << "nothing is created for a refused format";
    result = ovmrun::write_wav_file(::testing::TempDir() + "no-such-folder/x/run.wav", {48000, 1, 16}, one);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(std::string::npos, result.error.find("no-such-folder"));
}

} // namespace
