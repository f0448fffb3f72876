// The audio-class entities this driver models: the entity base, input and output terminals
// and the feature unit. Each is one class-specific AudioControl descriptor of the device.
#pragma once
#include <wdm.h>

class CUSBAudioCL;
class CUSBAudioClock;

// Class-specific AudioControl descriptor subtypes.
constexpr UCHAR UAC_AC_HEADER = 0x01;
constexpr UCHAR UAC_AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR UAC_AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR UAC_AC_MIXER_UNIT = 0x04;
constexpr UCHAR UAC_AC_SELECTOR_UNIT = 0x05;
constexpr UCHAR UAC_AC_FEATURE_UNIT = 0x06;
constexpr UCHAR UAC_AC_UNIT_7 = 0x07;
constexpr UCHAR UAC_AC_UNIT_8 = 0x08;
constexpr UCHAR UAC2_AC_EXTENSION_UNIT = 0x09;
constexpr UCHAR UAC2_AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR UAC2_AC_CLOCK_SELECTOR = 0x0B;
constexpr UCHAR UAC2_AC_CLOCK_MULTIPLIER = 0x0C;
constexpr UCHAR UAC2_AC_RATE_CONVERTER = 0x0D;

class CUSBAudioEntity {
public:
    // Entities come zero-filled from non-paged pool; null on failure.
    static void *operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void *p);

    // descriptor lies wholly inside the owner's configuration descriptor, which outlives the
    // entity; the entity never frees it.
    CUSBAudioEntity(const UCHAR *descriptor, CUSBAudioCL *owner);
    virtual ~CUSBAudioEntity();
    // Resolves the IDs the descriptor names once the whole entity list exists.
    // STATUS_NOT_SUPPORTED when an ID names no suitable entity. PASSIVE_LEVEL.
    virtual NTSTATUS Init() = 0;

    UCHAR GetID() const;
    UCHAR GetSubtype() const;
    const UCHAR *GetDescriptor() const { return m_pDescriptor; }

    CUSBAudioEntity *m_pNext;

protected:
    const UCHAR *m_pDescriptor;
    CUSBAudioCL *m_pAudio;
};

// A terminal: on a class 2 device it is driven by a clock entity.
class CUSBAudioTerminal : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    // The clock entity (class 2), or null.
    CUSBAudioClock *GetClock() const { return m_pClock; }

protected:
    // Resolves the clock named at offset; STATUS_NOT_SUPPORTED when it names no clock.
    NTSTATUS ResolveClock(ULONG offset);

    CUSBAudioClock *m_pClock;
};

class CUSBAudioInputTerminal : public CUSBAudioTerminal {
public:
    using CUSBAudioTerminal::CUSBAudioTerminal;
    NTSTATUS Init() override;
};

class CUSBAudioOutputTerminal : public CUSBAudioTerminal {
public:
    using CUSBAudioTerminal::CUSBAudioTerminal;
    NTSTATUS Init() override;
    CUSBAudioEntity *GetSource() const { return m_pSource; }

private:
    CUSBAudioEntity *m_pSource;
};

class CUSBAudioFeatureUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Init() override;
    CUSBAudioEntity *GetSource() const { return m_pSource; }

private:
    CUSBAudioEntity *m_pSource;
};
