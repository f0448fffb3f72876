// The audio-class entity base and the two simplest entities: every class-specific
// AudioControl descriptor (terminal, unit or clock) of the device is one entity object.
#pragma once
#include <wdm.h>

class CUSBAudioCL;

// Class-specific AudioControl descriptor subtypes.
constexpr UCHAR UAC_AC_HEADER = 0x01;
constexpr UCHAR UAC_AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR UAC_AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR UAC_AC_FEATURE_UNIT = 0x06;
constexpr UCHAR UAC1_AC_PROCESSING_UNIT = 0x07;
constexpr UCHAR UAC2_AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR UAC2_AC_CLOCK_SELECTOR = 0x0B;

// Class request codes and request types of the AudioControl interface.
constexpr UCHAR UAC_REQTYPE_GET = 0xA1;
constexpr UCHAR UAC_REQTYPE_SET = 0x21;
constexpr UCHAR UAC2_REQUEST_CUR = 0x01;
constexpr UCHAR UAC2_REQUEST_RANGE = 0x02;

class CUSBAudioEntity {
public:
    // Entities come zero-filled from non-paged pool with the library tag; null on failure.
    static void *operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void *p);

    // descriptor points into the configuration descriptor owned by the layer and has been
    // checked to lie inside it; it is never freed by the entity.
    CUSBAudioEntity(const UCHAR *descriptor, CUSBAudioCL *owner);
    virtual ~CUSBAudioEntity();

    // Resolves IDs into entity pointers once the whole list exists. PASSIVE_LEVEL.
    virtual NTSTATUS Init() = 0;
    virtual void Dump();
    virtual UCHAR GetID();
    // Formats the entity's name into an 8-bit buffer of size bytes, always terminated.
    // STATUS_INVALID_PARAMETER for size 0 or above 0x7FFFFFFF, STATUS_BUFFER_OVERFLOW when cut.
    virtual NTSTATUS GetName(PCHAR buffer, SIZE_T size) = 0;
    // The ID of the source behind input index, or -1 for none.
    virtual LONG GetSourceID(ULONG index) = 0;

    UCHAR GetSubtype() const;
    const UCHAR *GetDescriptor() const { return m_pDescriptor; }

    CUSBAudioEntity *m_pNext;

protected:
    NTSTATUS FormatName(PCSTR prefix, PCHAR buffer, SIZE_T size);

    const UCHAR *m_pDescriptor;
    CUSBAudioCL *m_pAudio;
};

// Units the driver does not use (mixer, selector, effect, extension ...).
class CUSBAudioDummyEntity : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;
};

// A processing unit of a revision 1 device; the driver does not support it, so its Init fails.
class CUSBAudioProcessingUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;
};
