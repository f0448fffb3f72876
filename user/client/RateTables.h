// The sample rates the asynchronous stack offers (PCM and DSD, with the panel's labels) and the
// rule that turns a stored buffer-size index into a buffer length in frames and back.
#pragma once
#include <windows.h>

struct RATE_ENTRY {
    DWORD rate;          // Hz
    const WCHAR *label;  // as the panel lists it; null for a rate only a host may ask for
};

inline constexpr DWORD PCM_RATE_COUNT = 11;
inline constexpr DWORD DSD_RATE_COUNT = 3;        // the labelled DSD rates
inline constexpr DWORD DRIVER_DSD_RATE_COUNT = 4; // the labelled ones and 22579200
extern const RATE_ENTRY g_PcmRates[PCM_RATE_COUNT];
extern const RATE_ENTRY g_DsdRates[DRIVER_DSD_RATE_COUNT];

// A DSD rate reaches the device as the rate divided by 32.
inline constexpr DWORD DSD_RATE_SHIFT = 5;

BOOL IsPcmRate(DWORD rate);
// True for the three labelled DSD rates, by which a stored rate is recognised as DSD.
BOOL IsLabelledDsdRate(DWORD rate);

// Buffer-size index: 0..31, default 7. A stored index above the maximum reads as the maximum.
inline constexpr DWORD BUFFER_INDEX_DEFAULT = 7;
inline constexpr DWORD BUFFER_INDEX_MAX = 31;
inline DWORD ClampBufferIndex(DWORD index)
{
    return index > BUFFER_INDEX_MAX ? BUFFER_INDEX_MAX : index;
}

// k of the buffer rule: 1 below 44100 Hz, else the rate over 44100 or 48000, whichever divides
// it; 0 when neither does. A DSD rate is divided by 32 first.
DWORD RateFamilyFactor(DWORD rate, BOOL dsd);
// (index + 1) x 64 x k frames; 0 for an index above 31 or a rate without a factor.
DWORD BufferIndexToFrames(DWORD rate, BOOL dsd, DWORD index);
// The index whose length is frames at rate; -1 when frames is not such a length.
LONG BufferFramesToIndex(DWORD rate, BOOL dsd, DWORD frames);
