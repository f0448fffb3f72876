// The nine-rate packet-pattern table, generated at compile time. Every high-speed row and the
// 88200 full-speed row take entry(i) = ceil((i+1) r) - ceil(i r); the 44100, 22050 and 11025
// full-speed rows round to nearest instead, floor((i+1) r + 1/2) - floor(i r + 1/2), with r
// the frames per (micro)frame. Either way a row carries exactly rate x length / (1000 or 8000)
// frames.
#include "USBPacketPattern.h"

namespace {

template <ULONG Length> struct PatternRow {
    ULONG Entries[Length];
};

enum class Rounding { Ceiling, Nearest };

constexpr ULONGLONG Position(ULONGLONG index, ULONG rate, ULONG perSecond, Rounding rounding)
{
    return rounding == Rounding::Ceiling ? (index * rate + perSecond - 1) / perSecond
                                         : (2 * index * rate + perSecond) / (2ull * perSecond);
}

template <ULONG Length> constexpr PatternRow<Length> MakeRow(ULONG rate, ULONG perSecond, Rounding rounding)
{
    PatternRow<Length> row{};
    for (ULONG i = 0; i < Length; ++i) {
        row.Entries[i] = static_cast<ULONG>(Position(i + 1, rate, perSecond, rounding) -
                                            Position(i, rate, perSecond, rounding));
    }
    return row;
}

template <ULONG Length> constexpr ULONGLONG RowSum(const PatternRow<Length> &row)
{
    ULONGLONG sum = 0;
    for (ULONG i = 0; i < Length; ++i) {
        sum += row.Entries[i];
    }
    return sum;
}

#define STD_PATTERN(name, length, rate, per, rounding)                                             \
    constexpr PatternRow<length> name = MakeRow<length>(rate, per, Rounding::rounding);             \
    static_assert(RowSum(name) * (per) == static_cast<ULONGLONG>(rate) * (length), #name " sum")

STD_PATTERN(kFs96000, 1, 96000, 1000, Ceiling);
STD_PATTERN(kHs96000, 1, 96000, 8000, Ceiling);
STD_PATTERN(kFs88200, 5, 88200, 1000, Ceiling);
STD_PATTERN(kHs88200, 40, 88200, 8000, Ceiling);
STD_PATTERN(kFs48000, 1, 48000, 1000, Ceiling);
STD_PATTERN(kHs48000, 1, 48000, 8000, Ceiling);
STD_PATTERN(kFs44100, 10, 44100, 1000, Nearest);
STD_PATTERN(kHs44100, 80, 44100, 8000, Ceiling);
STD_PATTERN(kFs32000, 1, 32000, 1000, Ceiling);
STD_PATTERN(kHs32000, 1, 32000, 8000, Ceiling);
STD_PATTERN(kFs22050, 20, 22050, 1000, Nearest);
STD_PATTERN(kHs22050, 160, 22050, 8000, Ceiling);
STD_PATTERN(kFs16000, 1, 16000, 1000, Ceiling);
STD_PATTERN(kHs16000, 1, 16000, 8000, Ceiling);
STD_PATTERN(kFs11025, 40, 11025, 1000, Nearest);
STD_PATTERN(kHs11025, 320, 11025, 8000, Ceiling);
STD_PATTERN(kFs8000, 1, 8000, 1000, Ceiling);
STD_PATTERN(kHs8000, 1, 8000, 8000, Ceiling);

#undef STD_PATTERN

static_assert(kFs88200.Entries[0] == 89 && kFs88200.Entries[1] == 88, "88.2 kHz full-speed row");
static_assert(kHs88200.Entries[0] == 12 && kHs88200.Entries[39] == 11, "88.2 kHz high-speed row");
static_assert(kFs44100.Entries[0] == 44 && kFs44100.Entries[4] == 45 && kFs44100.Entries[9] == 44,
              "44.1 kHz full-speed row");
static_assert(kFs22050.Entries[9] == 23 && kFs11025.Entries[19] == 12, "22.05 and 11.025 kHz full-speed rows");
static_assert(kHs44100.Entries[0] == 6 && kHs44100.Entries[1] == 6 && kHs44100.Entries[2] == 5 &&
                  kHs44100.Entries[3] == 6 && kHs44100.Entries[4] == 5,
              "44.1 kHz high-speed row");

#define STD_ROW(rate, fs, hs) {rate, RTL_NUMBER_OF(fs.Entries), fs.Entries, RTL_NUMBER_OF(hs.Entries), hs.Entries}

constexpr USB_PACKET_PATTERN_ROW kRows[] = {
    STD_ROW(96000, kFs96000, kHs96000), STD_ROW(88200, kFs88200, kHs88200), STD_ROW(48000, kFs48000, kHs48000),
    STD_ROW(44100, kFs44100, kHs44100), STD_ROW(32000, kFs32000, kHs32000), STD_ROW(22050, kFs22050, kHs22050),
    STD_ROW(16000, kFs16000, kHs16000), STD_ROW(11025, kFs11025, kHs11025), STD_ROW(8000, kFs8000, kHs8000),
};

#undef STD_ROW

static_assert(RTL_NUMBER_OF(kRows) == USB_PACKET_PATTERN_ROWS, "nine rows");

} // namespace

const USB_PACKET_PATTERN_ROW *UsbFindPacketPattern(ULONG rate)
{
    for (const USB_PACKET_PATTERN_ROW &row : kRows) {
        if (row.Rate == rate) {
            return &row;
        }
    }
    return nullptr;
}

const USB_PACKET_PATTERN_ROW *UsbPacketPatternTable()
{
    return kRows;
}
