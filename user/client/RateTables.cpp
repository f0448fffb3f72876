// Rate tables and the buffer-size index rule shared by the ASIO driver and the control panel.
#include "RateTables.h"

const RATE_ENTRY g_PcmRates[PCM_RATE_COUNT] = {
    {32000, L"32000 Hz"},   {44100, L"44100 Hz"},   {48000, L"48000 Hz"},   {88200, L"88200 Hz"},
    {96000, L"96000 Hz"},   {176400, L"176400 Hz"}, {192000, L"192000 Hz"}, {352800, L"352800 Hz"},
    {384000, L"384000 Hz"}, {705600, L"705600 Hz"}, {768000, L"768000 Hz"},
};

const RATE_ENTRY g_DsdRates[DRIVER_DSD_RATE_COUNT] = {
    {2822400, L"2.8224MHz"},
    {5644800, L"5.6448MHz"},
    {11289600, L"11.2896MHz"},
    {22579200, nullptr},
};

namespace {

constexpr DWORD kFramesPerStep = 64;

} // namespace

BOOL IsPcmRate(DWORD rate)
{
    for (const RATE_ENTRY &entry : g_PcmRates) {
        if (entry.rate == rate) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL IsLabelledDsdRate(DWORD rate)
{
    for (DWORD i = 0; i < DSD_RATE_COUNT; ++i) {
        if (g_DsdRates[i].rate == rate) {
            return TRUE;
        }
    }
    return FALSE;
}

DWORD RateFamilyFactor(DWORD rate, BOOL dsd)
{
    if (dsd) {
        rate >>= DSD_RATE_SHIFT;
    }
    if (rate < 44100) {
        return 1;
    }
    if (rate % 44100 == 0) {
        return rate / 44100;
    }
    if (rate % 48000 == 0) {
        return rate / 48000;
    }
    return 0;
}

DWORD BufferIndexToFrames(DWORD rate, BOOL dsd, DWORD index)
{
    if (index > BUFFER_INDEX_MAX) {
        return 0;
    }
    const DWORD k = RateFamilyFactor(rate, dsd);
    return (index + 1) * kFramesPerStep * k;
}

LONG BufferFramesToIndex(DWORD rate, BOOL dsd, DWORD frames)
{
    const DWORD k = RateFamilyFactor(rate, dsd);
    if (k == 0 || frames % k != 0) {
        return -1;
    }
    const DWORD base = frames / k;
    if (base % kFramesPerStep != 0 || base < kFramesPerStep || base > kFramesPerStep * (BUFFER_INDEX_MAX + 1)) {
        return -1;
    }
    return (LONG)(base / kFramesPerStep) - 1;
}
