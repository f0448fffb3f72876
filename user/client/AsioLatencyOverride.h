// Latency and channel-name overrides for named devices whose latencies are known from
// measurement rather than from the general formulas.
#pragma once
#include <span>
#include <windows.h>

struct AsioLatencyRateEntry {
    DWORD Rate;              // Hz
    DWORD InputOffsetFrames; // added to the buffer length for the input latency
    DWORD Frames1;           // two measured points (buffer frames, output latency) ...
    DWORD OutputLatency1;
    DWORD Frames2;           // ... between which the output latency is interpolated
    DWORD OutputLatency2;
};

struct AsioLatencyOverride {
    LPCWSTR HardwareIdPattern; // "USB\VID_xxxx&PID_xxxx&MI_00", matched inside the instance ID
    DWORD InputNameCount;
    const LPCWSTR *InputNames;
    DWORD OutputNameCount;
    const LPCWSTR *OutputNames;
    DWORD RateCount;
    const AsioLatencyRateEntry *Rates;
};

// The table the package ships: no device needs an override today.
std::span<const AsioLatencyOverride> AsioShippedLatencyOverrides();
