// Frames per (micro)frame for each render rate. Entry i of a cycle is
// ceil((i + 1) * r) - ceil(i * r) with r the frames per (micro)frame, so that a cycle carries
// exactly rate * cycle / 1000 (or / 8000) frames; the tables are generated at compile time.
#include "PacketPatternTable.h"

namespace {

template <ULONG Cycle> struct PatternCycle {
    ULONG Entries[Cycle];
};

constexpr ULONGLONG CeilDiv(ULONGLONG a, ULONGLONG b)
{
    return (a + b - 1) / b;
}

template <ULONG Cycle> constexpr PatternCycle<Cycle> MakeCycle(ULONG rate, ULONG perSecond)
{
    PatternCycle<Cycle> cycle{};
    for (ULONG i = 0; i < Cycle; ++i) {
        cycle.Entries[i] = static_cast<ULONG>(CeilDiv(static_cast<ULONGLONG>(i + 1) * rate, perSecond) -
                                              CeilDiv(static_cast<ULONGLONG>(i) * rate, perSecond));
    }
    return cycle;
}

template <ULONG Cycle> constexpr ULONGLONG CycleSum(const PatternCycle<Cycle> &cycle)
{
    ULONGLONG sum = 0;
    for (ULONG i = 0; i < Cycle; ++i) {
        sum += cycle.Entries[i];
    }
    return sum;
}

#define USBAUDIO_PATTERN(name, cycle, rate, per)                                                    \
    constexpr PatternCycle<cycle> name = MakeCycle<cycle>(rate, per);                              \
    static_assert(CycleSum(name) * (per) == static_cast<ULONGLONG>(rate) * (cycle), #name " sum")

USBAUDIO_PATTERN(kFs768000, 1, 768000, 1000);
USBAUDIO_PATTERN(kHs768000, 1, 768000, 8000);
// The full-speed 705600 cycle alternates from its second entry on instead of following the
// ceiling rule; it carries the same 3528 frames.
constexpr PatternCycle<5> kFs705600 = {{706, 705, 706, 705, 706}};
static_assert(CycleSum(kFs705600) == 3528, "kFs705600 sum");
USBAUDIO_PATTERN(kHs705600, 5, 705600, 8000);
USBAUDIO_PATTERN(kFs384000, 1, 384000, 1000);
USBAUDIO_PATTERN(kHs384000, 1, 384000, 8000);
USBAUDIO_PATTERN(kFs352800, 5, 352800, 1000);
USBAUDIO_PATTERN(kHs352800, 10, 352800, 8000);
USBAUDIO_PATTERN(kFs192000, 1, 192000, 1000);
USBAUDIO_PATTERN(kHs192000, 1, 192000, 8000);
USBAUDIO_PATTERN(kFs176400, 5, 176400, 1000);
USBAUDIO_PATTERN(kHs176400, 20, 176400, 8000);
USBAUDIO_PATTERN(kFs96000, 1, 96000, 1000);
USBAUDIO_PATTERN(kHs96000, 1, 96000, 8000);
USBAUDIO_PATTERN(kFs88200, 5, 88200, 1000);
USBAUDIO_PATTERN(kHs88200, 40, 88200, 8000);
USBAUDIO_PATTERN(kFs48000, 1, 48000, 1000);
USBAUDIO_PATTERN(kHs48000, 1, 48000, 8000);
USBAUDIO_PATTERN(kFs44100, 10, 44100, 1000);
USBAUDIO_PATTERN(kHs44100, 80, 44100, 8000);
USBAUDIO_PATTERN(kFs32000, 1, 32000, 1000);
USBAUDIO_PATTERN(kHs32000, 1, 32000, 8000);
USBAUDIO_PATTERN(kFs22050, 20, 22050, 1000);
USBAUDIO_PATTERN(kHs22050, 160, 22050, 8000);
USBAUDIO_PATTERN(kFs16000, 1, 16000, 1000);
USBAUDIO_PATTERN(kHs16000, 1, 16000, 8000);
USBAUDIO_PATTERN(kFs11025, 40, 11025, 1000);
USBAUDIO_PATTERN(kHs11025, 320, 11025, 8000);
USBAUDIO_PATTERN(kFs8000, 1, 8000, 1000);
USBAUDIO_PATTERN(kHs8000, 1, 8000, 8000);

#undef USBAUDIO_PATTERN

static_assert(kFs44100.Entries[0] == 45 && kFs44100.Entries[1] == 44, "44.1 kHz full-speed cycle");
static_assert(kHs44100.Entries[0] == 6 && kHs44100.Entries[1] == 6 && kHs44100.Entries[2] == 5,
              "44.1 kHz high-speed cycle");

#define USBAUDIO_ROW(rate, fs, hs) {rate, RTL_NUMBER_OF(fs.Entries), fs.Entries, RTL_NUMBER_OF(hs.Entries), hs.Entries}

constexpr PACKET_PATTERN_ROW kRows[] = {
    USBAUDIO_ROW(768000, kFs768000, kHs768000), USBAUDIO_ROW(705600, kFs705600, kHs705600),
    USBAUDIO_ROW(384000, kFs384000, kHs384000), USBAUDIO_ROW(352800, kFs352800, kHs352800),
    USBAUDIO_ROW(192000, kFs192000, kHs192000), USBAUDIO_ROW(176400, kFs176400, kHs176400),
    USBAUDIO_ROW(96000, kFs96000, kHs96000),    USBAUDIO_ROW(88200, kFs88200, kHs88200),
    USBAUDIO_ROW(48000, kFs48000, kHs48000),    USBAUDIO_ROW(44100, kFs44100, kHs44100),
    USBAUDIO_ROW(32000, kFs32000, kHs32000),    USBAUDIO_ROW(22050, kFs22050, kHs22050),
    USBAUDIO_ROW(16000, kFs16000, kHs16000),    USBAUDIO_ROW(11025, kFs11025, kHs11025),
    USBAUDIO_ROW(8000, kFs8000, kHs8000),
};

#undef USBAUDIO_ROW

static_assert(RTL_NUMBER_OF(kRows) == PACKET_PATTERN_ROW_COUNT, "row count");

} // namespace

const PACKET_PATTERN_ROW *FindPacketPatternRow(ULONG rate)
{
    for (const PACKET_PATTERN_ROW &row : kRows) {
        if (row.Rate == rate) {
            return &row;
        }
    }
    return nullptr;
}

const PACKET_PATTERN_ROW *GetPacketPatternTable()
{
    return kRows;
}
