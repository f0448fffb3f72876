// Clock entities of revision 2 devices: a clock source answers the sampling-frequency and
// validity controls itself, a clock selector forwards to the clocks behind its input pins.
#pragma once
#include "USBAudioEntity.h"

// Deepest chain of selectors followed before a configuration is taken as cyclic.
constexpr ULONG USBAUDIO_MAX_CLOCK_DEPTH = 8;

class CUSBAudioClock : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;

    // All clock operations send class requests and run at PASSIVE_LEVEL.
    virtual NTSTATUS GetFrequency(PULONG frequency);
    // Range of the clock's rates inside [lower, upper]: both outputs 0 when nothing overlaps.
    virtual NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper);
    virtual NTSTATUS IsFrequencySupported(ULONG rate);
    virtual NTSTATUS SetFrequency(ULONG rate);
    virtual BOOLEAN IsValid();

    // The same operations at a given depth of selector forwarding.
    virtual NTSTATUS GetFrequencyAt(PULONG frequency, ULONG depth) = 0;
    virtual NTSTATUS GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper,
                                         ULONG depth) = 0;
    virtual NTSTATUS IsFrequencySupportedAt(ULONG rate, ULONG depth) = 0;
    virtual NTSTATUS SetFrequencyAt(ULONG rate, ULONG depth) = 0;
    virtual BOOLEAN IsValidAt(ULONG depth) = 0;

protected:
    // Clocks exist only on revision 2 devices.
    NTSTATUS InitClock();
    NTSTATUS Request(UCHAR requestType, UCHAR request, UCHAR control, ULONG length, PVOID buffer,
                     PULONG returned);
};

class CUSBAudioClockSource : public CUSBAudioClock {
public:
    using CUSBAudioClock::CUSBAudioClock;
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;

    NTSTATUS GetFrequencyAt(PULONG frequency, ULONG depth) override;
    NTSTATUS GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper,
                                 ULONG depth) override;
    NTSTATUS IsFrequencySupportedAt(ULONG rate, ULONG depth) override;
    NTSTATUS SetFrequencyAt(ULONG rate, ULONG depth) override;
    BOOLEAN IsValidAt(ULONG depth) override;

private:
    // Reads the sampling-frequency RANGE: on success *range is a zeroed pool buffer (caller
    // frees it with USBAUDIO_TAG) holding *count whole triplets after the 2-byte count.
    NTSTATUS ReadRange(PUCHAR *range, PULONG count);
};

class CUSBAudioClockSelector : public CUSBAudioClock {
public:
    using CUSBAudioClock::CUSBAudioClock;
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;

    NTSTATUS GetFrequencyAt(PULONG frequency, ULONG depth) override;
    NTSTATUS GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper,
                                 ULONG depth) override;
    NTSTATUS IsFrequencySupportedAt(ULONG rate, ULONG depth) override;
    NTSTATUS SetFrequencyAt(ULONG rate, ULONG depth) override;
    BOOLEAN IsValidAt(ULONG depth) override;

    ULONG GetPinCount() const;

private:
    // The 0-based input pin selected now; STATUS_UNSUCCESSFUL when the selector has no pins
    // or answers a pin number it does not have.
    NTSTATUS GetCurrentPin(PULONG pin);
    // The clock behind a 0-based pin, or null when the pin names none.
    CUSBAudioClock *PinClock(ULONG pin);
    // False past the deepest chain of selectors followed (a cyclic configuration).
    BOOLEAN DepthAllowed(ULONG depth);
};
