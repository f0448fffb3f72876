// The render packet-pattern table of the standard driver: for each of its nine render rates,
// how many audio frames each packet carries, as a repeating row per bus speed (one entry per
// 1 ms frame at full speed, per 125 us microframe at high speed).
#pragma once
#include <ntdef.h>

struct USB_PACKET_PATTERN_ROW {
    ULONG Rate;
    ULONG FullSpeedLength;
    const ULONG *FullSpeedEntries;
    ULONG HighSpeedLength;
    const ULONG *HighSpeedEntries;
};

constexpr ULONG USB_PACKET_PATTERN_ROWS = 9;

// The row of a render rate (exact match), or null for a rate this driver cannot render.
const USB_PACKET_PATTERN_ROW *UsbFindPacketPattern(ULONG rate);
// The rows in table order: 96000, 88200, 48000, 44100, 32000, 22050, 16000, 11025, 8000.
const USB_PACKET_PATTERN_ROW *UsbPacketPatternTable();
