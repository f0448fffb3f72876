// The render packet pattern table: how many audio frames go into each 1 ms frame (full speed)
// or 125 us microframe (high speed) for every supported render rate, as repeating cycles.
#pragma once
#include <ntdef.h>

struct PACKET_PATTERN_ROW {
    ULONG Rate;
    ULONG FullSpeedCycle;
    const ULONG *FullSpeedEntries;
    ULONG HighSpeedCycle;
    const ULONG *HighSpeedEntries;
};

constexpr ULONG PACKET_PATTERN_ROW_COUNT = 15;

// The row of a render rate (exact match), or null for a rate the render path cannot run.
const PACKET_PATTERN_ROW *FindPacketPatternRow(ULONG rate);

// The rows in lookup order (768000 down to 8000).
const PACKET_PATTERN_ROW *GetPacketPatternTable();
