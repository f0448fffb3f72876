// The render packet pattern table: rows, lookup order and cycle contents.
#include <gtest/gtest.h>
#include "PacketPatternTable.h"

namespace {

TEST(PacketPatternTable, RowsCoverTheRenderRatesInLookupOrder)
{
    const ULONG rates[] = {768000, 705600, 384000, 352800, 192000, 176400, 96000, 88200,
                           48000,  44100,  32000,  22050,  16000,  11025,  8000};
    const PACKET_PATTERN_ROW *table = GetPacketPatternTable();
    for (ULONG i = 0; i < PACKET_PATTERN_ROW_COUNT; ++i) {
        SCOPED_TRACE(rates[i]);
        EXPECT_EQ(table[i].Rate, rates[i]);
        EXPECT_EQ(FindPacketPatternRow(rates[i]), &table[i]);
        ULONGLONG fs = 0;
        ULONGLONG hs = 0;
        for (ULONG e = 0; e < table[i].FullSpeedCycle; ++e) {
            fs += table[i].FullSpeedEntries[e];
        }
        for (ULONG e = 0; e < table[i].HighSpeedCycle; ++e) {
            hs += table[i].HighSpeedEntries[e];
        }
        EXPECT_EQ(fs * 1000, static_cast<ULONGLONG>(rates[i]) * table[i].FullSpeedCycle);
        EXPECT_EQ(hs * 8000, static_cast<ULONGLONG>(rates[i]) * table[i].HighSpeedCycle);
    }
    EXPECT_EQ(FindPacketPatternRow(12000), nullptr);
    EXPECT_EQ(FindPacketPatternRow(0), nullptr);
}

TEST(PacketPatternTable, CyclesMatchTheDocumentedEntries)
{
    const PACKET_PATTERN_ROW *r44 = FindPacketPatternRow(44100);
    ASSERT_EQ(r44->FullSpeedCycle, 10u);
    EXPECT_EQ(r44->FullSpeedEntries[0], 45u);
    EXPECT_EQ(r44->FullSpeedEntries[9], 44u);
    ASSERT_EQ(r44->HighSpeedCycle, 80u);
    EXPECT_EQ(r44->HighSpeedEntries[0], 6u);
    EXPECT_EQ(r44->HighSpeedEntries[1], 6u);
    EXPECT_EQ(r44->HighSpeedEntries[2], 5u);
    EXPECT_EQ(r44->HighSpeedEntries[3], 6u);

    const PACKET_PATTERN_ROW *r705 = FindPacketPatternRow(705600);
    const ULONG fs705[] = {706, 705, 706, 705, 706};
    const ULONG hs705[] = {89, 88, 88, 88, 88};
    for (ULONG i = 0; i < 5; ++i) {
        EXPECT_EQ(r705->FullSpeedEntries[i], fs705[i]);
        EXPECT_EQ(r705->HighSpeedEntries[i], hs705[i]);
    }
    const PACKET_PATTERN_ROW *r352 = FindPacketPatternRow(352800);
    EXPECT_EQ(r352->FullSpeedEntries[4], 352u);
    EXPECT_EQ(r352->HighSpeedCycle, 10u);
    EXPECT_EQ(r352->HighSpeedEntries[0], 45u);
    EXPECT_EQ(r352->HighSpeedEntries[9], 44u);
    EXPECT_EQ(FindPacketPatternRow(11025)->HighSpeedCycle, 320u);
    EXPECT_EQ(FindPacketPatternRow(8000)->HighSpeedEntries[0], 1u);
}

} // namespace
