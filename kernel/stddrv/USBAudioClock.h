// Clock entities of class 2 devices: a clock source answers sampling-frequency requests
// itself; a clock selector forwards them to the clocks behind its input pins.
#pragma once
#include "USBAudioEntity.h"

// Deepest chain of selectors followed before a configuration is taken as cyclic.
constexpr ULONG USB_CLOCK_MAX_DEPTH = 8;

class CUSBAudioClock : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    // Clocks exist only on class 2 devices: STATUS_NOT_SUPPORTED otherwise.
    NTSTATUS Init() override;

    // Class requests to the clock; PASSIVE_LEVEL.
    virtual NTSTATUS GetFrequency(PULONG frequency) = 0;
    // The smallest minimum and the largest maximum of the clock's rate ranges.
    virtual NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum) = 0;
    // STATUS_SUCCESS when the clock can run at rate, else STATUS_NOT_SUPPORTED or the failed
    // request's status.
    virtual NTSTATUS IsFrequencySupported(ULONG rate) = 0;
    virtual NTSTATUS SetFrequency(ULONG rate) = 0;

protected:
    // A class request to this clock (wValue 0x0100, wIndex = ID << 8 | AudioControl interface).
    NTSTATUS Request(UCHAR requestType, UCHAR request, USHORT length, PVOID buffer, PULONG returned);
};

class CUSBAudioClockSource : public CUSBAudioClock {
public:
    using CUSBAudioClock::CUSBAudioClock;
    NTSTATUS GetFrequency(PULONG frequency) override;
    NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum) override;
    NTSTATUS IsFrequencySupported(ULONG rate) override;
    NTSTATUS SetFrequency(ULONG rate) override;

private:
    // Reads the RANGE answer: on success *range is a pool block (caller frees it with the
    // layer's tag) holding *count whole subranges after the 2-byte count.
    NTSTATUS ReadRange(PUCHAR *range, PULONG count);
};

class CUSBAudioClockSelector : public CUSBAudioClock {
public:
    using CUSBAudioClock::CUSBAudioClock;
    NTSTATUS GetFrequency(PULONG frequency) override;
    NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum) override;
    NTSTATUS IsFrequencySupported(ULONG rate) override;
    NTSTATUS SetFrequency(ULONG rate) override;

    // The same operations with the depth of selectors already passed through.
    NTSTATUS GetFrequencyAt(PULONG frequency, ULONG depth);
    NTSTATUS GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG depth);
    NTSTATUS IsFrequencySupportedAt(ULONG rate, ULONG depth);
    NTSTATUS SetFrequencyAt(ULONG rate, ULONG depth);

private:
    ULONG PinCount() const;
    // The clock behind 1-based input pin, or null.
    CUSBAudioClock *PinClock(ULONG pin);
};
