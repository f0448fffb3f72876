// The buffer-size rule: index to frames and back for PCM and DSD rates, the rate families and
// the rate tables.
#include <gtest/gtest.h>
#include "RateTables.h"

namespace {

TEST(RateTablesTests, IndexToFramesForPcmAndDsdRates)
{
    struct row {
        DWORD rate;
        BOOL dsd;
        DWORD index;
        DWORD frames;
    };
    const row rows[] = {
        {44100, FALSE, 7, 512},     {48000, FALSE, 0, 64},      {48000, FALSE, 31, 2048},
        {96000, FALSE, 7, 1024},    {88200, FALSE, 31, 4096},   {705600, FALSE, 0, 1024},
        {768000, FALSE, 31, 32768}, {22050, FALSE, 31, 2048},   {32000, FALSE, 7, 512},
        {5644800, TRUE, 7, 2048},   {2822400, TRUE, 0, 128},    {22579200, TRUE, 31, 32768},
        {50000, FALSE, 7, 0},       {44100, FALSE, 32, 0},      {44100, FALSE, 0xFFFFFFFF, 0},
        {2822400, FALSE, 7, 32768},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.rate << (r.dsd ? " DSD" : " PCM") << " index " << r.index);
        EXPECT_EQ(r.frames, BufferIndexToFrames(r.rate, r.dsd, r.index));
    }
}

TEST(RateTablesTests, FramesToIndexAcceptsOnlyLengthsOfTheRule)
{
    struct row {
        DWORD rate;
        BOOL dsd;
        DWORD frames;
        LONG index;
    };
    const row rows[] = {
        {48000, FALSE, 512, 7},    {44100, FALSE, 64, 0},     {44100, FALSE, 2048, 31}, {96000, FALSE, 96, -1},
        {44100, FALSE, 4096, -1},  {88200, FALSE, 130, -1},   {44100, FALSE, 0, -1},    {44100, FALSE, 100, -1},
        {5644800, TRUE, 2048, 7},  {50000, FALSE, 512, -1},   {768000, FALSE, 32768, 31},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.rate << (r.dsd ? " DSD" : " PCM") << " frames " << r.frames);
        EXPECT_EQ(r.index, BufferFramesToIndex(r.rate, r.dsd, r.frames));
    }
}

TEST(RateTablesTests, EveryIndexRoundTripsAtEveryTableRate)
{
    for (const RATE_ENTRY &entry : g_PcmRates) {
        for (DWORD index = 0; index <= BUFFER_INDEX_MAX; ++index) {
            SCOPED_TRACE(testing::Message() << entry.rate << " index " << index);
            EXPECT_EQ((LONG)index, BufferFramesToIndex(entry.rate, FALSE, BufferIndexToFrames(entry.rate, FALSE, index)));
        }
    }
    for (const RATE_ENTRY &entry : g_DsdRates) {
        EXPECT_EQ(7, BufferFramesToIndex(entry.rate, TRUE, BufferIndexToFrames(entry.rate, TRUE, 7)));
    }
}

TEST(RateTablesTests, TablesAndClamp)
{
    EXPECT_TRUE(IsPcmRate(32000));
    EXPECT_TRUE(IsPcmRate(768000));
    EXPECT_FALSE(IsPcmRate(22050));
    EXPECT_TRUE(IsLabelledDsdRate(11289600));
    EXPECT_FALSE(IsLabelledDsdRate(22579200)) << "a host may ask for it, the panel never lists it";
    EXPECT_EQ(nullptr, g_DsdRates[3].label);
    EXPECT_STREQ(L"5.6448MHz", g_DsdRates[1].label);
    EXPECT_EQ(88200u, g_DsdRates[0].rate >> DSD_RATE_SHIFT);
    EXPECT_EQ(31u, ClampBufferIndex(32));
    EXPECT_EQ(31u, ClampBufferIndex(0xFFFFFFFF));
    EXPECT_EQ(30u, ClampBufferIndex(30));
}

} // namespace
